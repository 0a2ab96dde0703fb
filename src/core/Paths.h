// Every file-system location of the application: configuration, logs, resources.
// Thread: any; values are computed once per process on first use.
#pragma once

#include <QString>
#include <QStringList>

namespace selvina::paths {

// ~/.config/selvina-voice
QString configDirectory();
// $XDG_STATE_HOME/selvina-voice, default ~/.local/state/selvina-voice
QString logDirectory();
// share/selvina-voice beside the binaries in a build tree, else <prefix>/share/selvina-voice
QString resourceDirectory();
// The program runs from a build tree (CMakeCache.txt beside its bin folder), not an installation.
bool runsFromBuildTree();

// The wake-phrase detector's weights among the resources, and the user's recorded phrase
// (configDirectory()/wake-profile.json).
QString wakeModelFile();
QString wakeProfileFile();

// The user's XDG autostart folder ($XDG_CONFIG_HOME/autostart, default ~/.config/autostart) and
// the system ones ($XDG_CONFIG_DIRS, default /etc/xdg, each + /autostart), most important first.
// Read from the environment on every call.
QString autostartDirectory();
QStringList systemAutostartDirectories();

// The command that starts this program and outlives an update of it, for the autostart entry:
// `program` (this build's binary) inside a user-local install (<home>/.local/lib/selvina-voice/<build>/)
// gives that install's launcher, <home>/.local/bin/selvina-voice (else <root>/launch); any other
// program, the package's /usr/bin/selvina-voice included, stays as it is.
QString stableProgram(const QString& program, const QString& home);

QString configFile(const QString& name);  // a file inside configDirectory()
QString logFile(const QString& name);     // a file inside logDirectory()

// Uncached forms, for code that is handed an explicit home folder (tests, tools).
QString configDirectoryFor(const QString& home);
QString logDirectoryFor(const QString& home, const QString& xdgStateHome);

} // namespace selvina::paths
