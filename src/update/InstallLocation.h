// Where this build runs from. A user-local install is <root>/<build>/bin/selvina-voice with
// <root>/current a link to the build that starts and <root>/launch the launcher; during the first
// start of a new build <root>/previous links to the one before, which the launcher starts again
// if the new one does not come up.
// Thread: any.
#pragma once

#include "core/Result.h"
#include "update/UpdateError.h"

#include <QString>

namespace selvina::update {

struct InstallLocation {
    enum class Kind { userLocal, packageManaged, elsewhere };
    Kind kind = Kind::elsewhere;
    QString root;           // userLocal: the folder of the builds; else the build's own folder
    QString buildDirectory; // the running build's folder (above bin/)

    // From the folder of the running binary.
    static InstallLocation of(const QString& binaryDirectory);
    bool isWritable() const;
    QString launcher() const;
    // Points `current` at `build` (a folder name under the root) and `previous` at the running build.
    Status<UpdateError> switchTo(const QString& build) const;
    // Leaves a sign for the launcher that this build has started once.
    void markStarted() const;
};

// Makes `link` point at `target` by renaming a fresh link over it (never a moment without it).
bool replaceLink(const QString& link, const QString& target);

} // namespace selvina::update
