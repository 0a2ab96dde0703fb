// The user's preferences store ("user defaults"), keys exactly as the features name them.
// Thread: main thread.
#pragma once

#include <QString>
#include <QVariant>

namespace selvina::platform {

class Preferences {
public:
    virtual ~Preferences() = default;
    // An invalid QVariant when the key is not set.
    virtual QVariant value(const QString& key) const = 0;
    virtual void setValue(const QString& key, const QVariant& value) = 0;
    virtual void remove(const QString& key) = 0;
    // Takes in what others wrote to the store since it was last read.
    virtual void refresh() {}
};

} // namespace selvina::platform
