// What the user hears when one of our files cannot be written (a full or read-only disk), and the
// append that never leaves half a line behind.
// Thread: WriteFailureNotice::failed/succeeded from any thread; `say` runs on the notice's (main)
// thread. appendWhole on whatever thread writes the file.
#pragma once

#include <QMutex>
#include <QObject>
#include <QSet>
#include <QString>

#include <functional>
#include <optional>

namespace selvina {

// "na dysku nie ma miejsca", "dysk jest tylko do odczytu", …: why writing into `folder` fails, from
// the error of the write (0: not known, the file system is asked).
QString diskProblem(const QString& folder, int error = 0);

// Appends `bytes` to the open file `fd` (opened O_APPEND) whole or not at all: a write cut short
// by a full disk is taken back. None on success, else the errno.
std::optional<int> appendWhole(int fd, const QByteArray& bytes);

class WriteFailureNotice : public QObject {
    Q_OBJECT
public:
    explicit WriteFailureNotice(QObject* parent = nullptr) : QObject(parent) {}
    void setSay(std::function<void(const QString& sentence)> say);

    // A write of the file `path` (`what`: "ustawień", "dziennika rozmowy", …, the genitive) has
    // failed: said once, until a write of it succeeds again. `error`: the errno, 0 when not known.
    void failed(const QString& what, const QString& path, int error = 0);
    void succeeded(const QString& path);

    static QString sentence(const QString& what, const QString& problem);

private:
    QMutex m_mutex;
    QSet<QString> m_told; // paths whose failure has been said
    std::function<void(const QString&)> m_say;
};

} // namespace selvina
