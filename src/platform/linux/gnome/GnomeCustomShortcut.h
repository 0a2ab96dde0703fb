// The invocation shortcut as a GNOME custom keybinding: GNOME 43 on Wayland lets no application
// bind a global key, but its settings daemon runs a command for a key the user binds in the
// keyboard settings. With the user's consent Selvina adds one entry of its own there (running
// `selvina-voice`, whose second start wakes the first), shows it and removes it again. The
// keybinding list is shared with the user's own bindings: only our path is ever added to it or
// taken out, every other entry stays as it was.
// Thread: created and used on the main thread; the reads and writes of GNOME's settings run on a
// worker thread, and their results come back through futures.
#pragma once

#include <QFuture>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <mutex>

namespace selvina::platform {

class GnomeCustomShortcut {
public:
    static const QString kPath; // our entry's settings path
    static const QString kListSchema;  // org.gnome.settings-daemon.plugins.media-keys
    static const QString kEntrySchema; // its relocatable custom-keybinding schema

    struct State {
        bool available = false; // GNOME's settings schemas are installed
        bool ours = false;      // our path is in the list
        QString binding;        // "<Control><Alt><Super>space"; empty when not ours
        QString command;
    };
    enum class Outcome { done, noSchema, badKey, failed };

    // Offered where no other way to a global key exists: GNOME on Wayland.
    static bool offered(const QProcessEnvironment& environment);
    // GNOME's accelerator text for a stored combination; empty for a key without a name.
    static QString acceleratorFor(std::uint32_t keyCode, std::uint32_t modifiers);
    // The Polish sentence for an outcome of add() or remove().
    static QString sentenceFor(Outcome outcome, bool adding, const QString& spokenCombination);

    // `program`: what the binding runs (the installed launcher's name by default), with "--skrot":
    // the running assistant then treats the start as its shortcut (open, or close the conversation).
    explicit GnomeCustomShortcut(const QString& program = QStringLiteral("selvina-voice"));

    QFuture<State> read();
    // Adds our path to the list (once) and writes its name, command and key.
    QFuture<Outcome> add(std::uint32_t keyCode, std::uint32_t modifiers);
    // Takes our path out of the list and clears its keys; the rest of the list is untouched.
    QFuture<Outcome> remove();

private:
    QString m_command;
    std::shared_ptr<std::mutex> m_serial = std::make_shared<std::mutex>(); // one write at a time
};

} // namespace selvina::platform
