// The JSON-lines protocol between the application and the agent sidecar: line framing, the
// messages the application writes and the lines it reads.
// Thread: any (plain values); a LineBuffer belongs to the one reader of a process's output.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <optional>

namespace selvina::agent {

// Splits a byte stream at line feeds. Lines that are empty or not valid UTF-8 are dropped; a
// carriage return before the line feed stays (JSON reads it as white space). A line longer than
// the limit is dropped whole (its bytes are not kept), so a child that never ends a line cannot
// exhaust the memory; answers of many megabytes still pass.
class LineBuffer {
public:
    static constexpr qsizetype kDefaultLimit = 64 * 1024 * 1024;
    explicit LineBuffer(qsizetype limit = kDefaultLimit) : m_limit(limit) {}

    QStringList consume(QByteArrayView bytes);
    qsizetype pendingSize() const { return m_pending.size(); }
    qsizetype oversizedLines() const { return m_oversized; }

private:
    qsizetype m_limit;
    QByteArray m_pending;
    qsizetype m_scanned = 0;   // bytes of m_pending already known to hold no line feed
    bool m_skipping = false;   // inside a line that went over the limit
    qsizetype m_oversized = 0; // lines dropped for their length
};

// What the application sends. Every field is required; there are no others.
namespace message {
QJsonObject run(const QString& id, const QString& task);
QJsonObject confirm(const QString& id, bool approved);
QJsonObject cancel(const QString& id);
QJsonObject shutdown();
} // namespace message

// Compact JSON plus one line feed; none when the object cannot be encoded (text that is not
// valid UTF-16 cannot travel as UTF-8 JSON unchanged).
std::optional<QByteArray> encodeLine(const QJsonObject& message);

// A fresh random task identifier: canonical UUID text, upper-case.
QString makeTaskId();

struct IncomingLine {
    QString type;
    std::optional<QString> id;
    std::optional<QString> text;
    std::optional<QString> intent;
    std::optional<QString> error;

    // None for anything but a JSON object with a string "type" whose known fields are strings
    // (or null, which counts as absent). Other keys are ignored.
    static std::optional<IncomingLine> decode(const QString& line);
};

// The raw-line trace of terminal lines: true when the line holds "finished" or "failed" as a
// JSON string token anywhere.
bool mentionsTerminalType(const QString& line);

} // namespace selvina::agent
