// config.json written the one safe way: the whole object replaced at once (a temporary file renamed
// over it), readable by its owner alone, every key another part wrote kept, and a file that does not
// parse moved aside rather than overwritten.
// Thread: any (a small file; callers on the main thread write on a user action).
#pragma once

#include <QJsonValue>
#include <QString>

#include <optional>

namespace selvina::settings {

struct ConfigWrite {
    bool written = false;
    // Where a config.json that did not parse was put ("config.json.uszkodzony"); empty otherwise.
    QString movedAside;
    // Polish, for the user: why nothing was written (a full disk, a folder without write access, …);
    // or, when written after moving a broken file aside, what happened to it. Empty otherwise.
    QString sentence;
};

// Sets `key` to `value` in the JSON object of `path`; an undefined value removes the key.
ConfigWrite writeConfigKey(const QString& path, const QString& key, const QJsonValue& value);

} // namespace selvina::settings
