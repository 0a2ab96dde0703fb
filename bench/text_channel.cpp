// Round trips through the real selvina-voice in text mode: a typed question (chat.in posted →
// the user item reaches the service) and a tool call (function_call_arguments.done sent →
// function_call_output received, for system_info). Prints median and p95 in milliseconds.
#include "AssistantProcess.h"
#include "platform/linux/dbus/DBusNotificationBus.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>

#include <algorithm>
#include <cstdio>

using selvina::testing::LoopbackRealtimeServer;
using selvina::testing::AssistantProcess;

namespace {

constexpr int kRounds = 60;

void print(const char* what, std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    if (ms.empty()) {
        std::printf("%-44s no samples\n", what);
        return;
    }
    const double median = ms[ms.size() / 2];
    const double p95 = ms[std::min(ms.size() - 1, std::size_t(double(ms.size()) * 0.95))];
    std::printf("%-44s median %7.2f ms   p95 %7.2f ms   (%zu rounds)\n", what, median, p95, ms.size());
}

bool wait(const std::function<bool()>& c, int ms = 10000)
{
    return LoopbackRealtimeServer::waitFor(c, std::chrono::milliseconds(ms));
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QElapsedTimer clock;
    clock.start();
    qint64 arrivedNs = 0;
    int userItems = 0;
    int outputs = 0;
    int responses = 0;
    LoopbackRealtimeServer* server = nullptr;
    AssistantProcess assistant(QStringLiteral(SELVINA_VOICE_BIN), [&](const QJsonObject& f) {
        const QString type = f["type"].toString();
        if (type == u"conversation.item.create") {
            const QString item = f["item"].toObject()["type"].toString();
            arrivedNs = clock.nsecsElapsed();
            userItems += item == u"message";
            outputs += item == u"function_call_output";
        } else if (type == u"response.create") {
            ++responses;
            server->sendText(R"({"type":"response.created","response":{"id":"r"}})");
            server->sendText(R"({"type":"response.done","response":{"status":"completed"}})");
        }
    });
    server = &assistant.server();
    if (!assistant.startBus() || !assistant.startAssistant() || !wait([&] { return responses == 1; })) {
        std::fputs("bench_text_channel: the assistant did not come up\n", stderr);
        return 1;
    }
    selvina::platform::DBusNotificationBus bus(QDBusConnection::connectToBus(assistant.busAddress(), QStringLiteral("bench")));

    std::vector<double> chat;
    for (int i = 0; i < kRounds; ++i) {
        const int before = userItems;
        const int answered = responses;
        const qint64 sent = clock.nsecsElapsed();
        bus.post(QStringLiteral("pl.korlund.selvinavoice.chat.in"), {{QStringLiteral("text"), QStringLiteral("Pytanie %1").arg(i)}});
        if (!wait([&] { return userItems > before; }))
            break;
        chat.push_back(double(arrivedNs - sent) / 1e6);
        wait([&] { return responses > answered; });
        LoopbackRealtimeServer::waitFor([] { return false; }, std::chrono::milliseconds(5));
    }

    std::vector<double> tool;
    for (int i = 0; i < kRounds; ++i) {
        const int before = outputs;
        const int answered = responses;
        const QByteArray call = QByteArrayLiteral(R"({"type":"response.function_call_arguments.done","call_id":"b)")
            + QByteArray::number(i) + R"(","name":"system_info","arguments":"{\"query\":\"datetime\"}"})";
        const qint64 sent = clock.nsecsElapsed();
        server->sendText(call);
        if (!wait([&] { return outputs > before; }))
            break;
        tool.push_back(double(arrivedNs - sent) / 1e6);
        wait([&] { return responses > answered; });
        LoopbackRealtimeServer::waitFor([] { return false; }, std::chrono::milliseconds(5));
    }

    print("text channel: chat.in → user item at service", chat);
    print("tool: arguments.done → function_call_output", tool);
    assistant.stopAssistant();
    return 0;
}
