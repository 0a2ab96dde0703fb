// selvina-chat: types into a running assistant's text channel — each line of standard input (or
// each argument) goes out as "chat.in"; every "chat.out" is printed as one JSON line.
// Thread: main thread.
#include "platform/linux/dbus/DBusNotificationBus.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

using namespace selvina;

namespace {

const QString kInbound = QStringLiteral("pl.korlund.selvinavoice.chat.in");
const QString kOutbound = QStringLiteral("pl.korlund.selvinavoice.chat.out");

constexpr int kQuietMs = 1500;        // no output for this long after the answer: done
constexpr int kNoEchoMs = 5000;       // nobody took our line: no assistant is listening
constexpr int kLongestWaitMs = 180'000;

void usage()
{
    std::fputs("Użycie: selvina-chat [--wait SEKUNDY] [TEKST...]\n"
               "Wysyła każdą linię wejścia (albo każdy argument) do kanału tekstowego Selvina Voice\n"
               "i wypisuje każdą odpowiedź jako linię JSON {\"rodzaj\":…,\"tresc\":…}.\n"
               "Bez --wait kończy, gdy na ostatnią linię przyszła odpowiedź i zapadła cisza;\n"
               "z --wait kończy tyle sekund po końcu wejścia.\n",
               stderr);
}

class Chat : public QObject {
public:
    Chat(platform::DBusNotificationBus& bus, std::optional<int> waitMs) : m_bus(bus), m_waitMs(waitMs)
    {
        m_sinceOutput.start();
        m_check.setInterval(100);
        QObject::connect(&m_check, &QTimer::timeout, this, [this] { checkDone(); });
    }

    bool listen()
    {
        return m_bus.subscribe(kOutbound, [this](const QVariantMap& payload) { print(payload); }) != 0;
    }

    void send(const QString& line)
    {
        if (line.isEmpty())
            return;
        if (!m_bus.post(kInbound, {{QStringLiteral("text"), line}}))
            std::fputs("selvina-chat: nie udało się wysłać linii przez szynę sesji D-Bus\n", stderr);
        ++m_sent;
    }

    void inputEnded()
    {
        m_inputEnded.start();
        m_check.start();
    }

private:
    void print(const QVariantMap& payload)
    {
        const QString kind = payload.value(QStringLiteral("rodzaj")).toString();
        const QString text = payload.value(QStringLiteral("tresc")).toString();
        const QJsonObject line{{QStringLiteral("rodzaj"), kind}, {QStringLiteral("tresc"), text}};
        const QByteArray bytes = QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
        std::fflush(stdout);
        m_sinceOutput.restart();
        if (kind == u"user")
            ++m_echoed;
        else if (kind == u"state")
            m_state = text;
    }

    void checkDone()
    {
        const qint64 sinceEnd = m_inputEnded.elapsed();
        if (m_waitMs) {
            if (sinceEnd >= *m_waitMs)
                QCoreApplication::quit();
            return;
        }
        const bool answered = m_echoed >= m_sent && m_state != u"thinking" && m_state != u"speaking";
        const bool nobodyListens = m_echoed == 0 && m_sent > 0 && sinceEnd >= kNoEchoMs;
        if ((answered && m_sinceOutput.elapsed() >= kQuietMs) || nobodyListens || sinceEnd >= kLongestWaitMs)
            QCoreApplication::quit();
    }

    platform::DBusNotificationBus& m_bus;
    std::optional<int> m_waitMs;
    int m_sent = 0;
    int m_echoed = 0;
    QString m_state;
    QElapsedTimer m_sinceOutput;
    QElapsedTimer m_inputEnded;
    QTimer m_check;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::optional<int> waitMs;
    QStringList lines;
    const QStringList args = QCoreApplication::arguments().mid(1);
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == u"--wait") {
            bool ok = false;
            const double seconds = i + 1 < args.size() ? args[i + 1].toDouble(&ok) : 0;
            if (!ok || seconds < 0 || seconds > 86400) {
                usage();
                return 2;
            }
            waitMs = int(seconds * 1000);
            ++i;
        } else if (args[i] == u"--help" || args[i] == u"-h") {
            usage();
            return 0;
        } else {
            lines.append(args[i]);
        }
    }

    platform::DBusNotificationBus bus;
    Chat chat(bus, waitMs);
    if (!chat.listen()) {
        std::fputs("selvina-chat: szyna sesji D-Bus jest nieosiągalna (DBUS_SESSION_BUS_ADDRESS)\n", stderr);
        return 1;
    }

    if (!lines.isEmpty()) {
        for (const QString& line : lines)
            chat.send(line);
        chat.inputEnded();
        return app.exec();
    }

    ::fcntl(STDIN_FILENO, F_SETFL, ::fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);
    QByteArray pending;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (n > 0) {
                pending.append(buffer, n);
                qsizetype end;
                while ((end = pending.indexOf('\n')) >= 0) {
                    chat.send(QString::fromUtf8(pending.left(end)).trimmed());
                    pending.remove(0, end + 1);
                }
                continue;
            }
            if (n == 0) {
                input.setEnabled(false);
                chat.send(QString::fromUtf8(pending).trimmed());
                pending.clear();
                chat.inputEnded();
            }
            return; // EAGAIN or an error: wait for the next wake-up
        }
    });
    return app.exec();
}
