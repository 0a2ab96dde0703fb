// Every file-system location of the application: configuration, logs, resources.
// Thread: any; values are computed once per process on first use.
#pragma once

#include <QString>

namespace selvina::paths {

// ~/.config/selvina-voice
QString configDirectory();
// $XDG_STATE_HOME/selvina-voice, default ~/.local/state/selvina-voice
QString logDirectory();
// share/selvina-voice beside the binaries in a build tree, else <prefix>/share/selvina-voice
QString resourceDirectory();

QString configFile(const QString& name);  // a file inside configDirectory()
QString logFile(const QString& name);     // a file inside logDirectory()

// Uncached forms, for code that is handed an explicit home folder (tests, tools).
QString configDirectoryFor(const QString& home);
QString logDirectoryFor(const QString& home, const QString& xdgStateHome);

} // namespace selvina::paths
