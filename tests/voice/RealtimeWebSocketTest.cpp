#include "voice/RealtimeWebSocket.h"

#include "ManualClock.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <memory>

using namespace selvina;
using namespace selvina::voice;
using namespace selvina::testing;
using Kind = RealtimeTransportEvent::Kind;
using Handshake = LoopbackRealtimeServer::Handshake;
using namespace std::chrono_literals;

namespace {

// Pings, back-offs and the handshake limit run on a clock the test moves.
class Transport : public ::testing::Test {
protected:
    std::unique_ptr<RealtimeWebSocket> make(int maxAttempts = 8, qint64 maxMessage = 32 * 1024 * 1024,
                                            std::optional<QUrl> url = std::nullopt)
    {
        auto socket = std::make_unique<RealtimeWebSocket>(RealtimeWebSocket::Configuration{
            .url = url.value_or(server.realtimeUrl()), .headers = {{"Authorization", "Bearer sk-test"}},
            .maxReconnectAttempts = maxAttempts, .clock = &clock, .maxMessageBytes = maxMessage,
            .jitter = [] { return 1.0; }});
        QObject::connect(socket.get(), &RealtimeWebSocket::transportEvent,
                         [this](const RealtimeTransportEvent& e) { events.append(e); });
        return socket;
    }
    int count(Kind k) const
    {
        return int(std::count_if(events.begin(), events.end(), [k](const auto& e) { return e.kind == k; }));
    }
    std::optional<QString> last(Kind k) const
    {
        for (auto it = events.rbegin(); it != events.rend(); ++it)
            if (it->kind == k)
                return it->text;
        return std::nullopt;
    }
    // Lets the reconnect scheduled with the `n`-th interruption run: the clock passes its back-off.
    bool reconnectAfter(int n)
    {
        if (!waitFor([&] { return count(Kind::interrupted) >= n || count(Kind::closed) > 0; }))
            return false;
        clock.advance(15s);
        return true;
    }
    // The first start while the server hangs; the outcome lands in `result`.
    QCoro::Task<> startHung(RealtimeWebSocket& socket, std::optional<Status<RealtimeTransportError>>& result)
    {
        server.setHandshake(Handshake::hang);
        auto pending = socket.start().then([&](auto r) { result = r; });
        EXPECT_TRUE(waitFor([&] { return server.connectionCount() == 1; }));
        return pending;
    }

    ManualClock clock;
    LoopbackRealtimeServer server;
    QList<RealtimeTransportEvent> events;
};

} // namespace

// An open connection carries frames both ways until the user's stop ends the session for good.
TEST_F(Transport, OpensSendsAndReceivesTextAndBinaryFramesUntilStopped)
{
    auto socket = make();
    const auto started = runTask(socket->start());
    ASSERT_TRUE(started && started->ok());
    EXPECT_TRUE(runTask(socket->start())->ok()); // a second start returns at once
    EXPECT_EQ(server.handshakeCount(), 1);
    EXPECT_EQ(count(Kind::opened), 1);

    ASSERT_TRUE(socket->send(R"({"type":"response.create"})").ok());
    ASSERT_TRUE(waitFor([&] { return server.frames().size() == 1; }));
    EXPECT_EQ(server.frames()[0]["type"], "response.create");

    server.sendText(R"({"type":"session.created"})");
    server.sendBinary(QByteArray(R"({"type":"response.text.delta","delta":"zażółć"})"));
    server.sendBinary(QByteArray("\xff\xfe\x00", 3)); // not UTF-8: dropped
    server.sendText(R"({"type":"end"})");
    ASSERT_TRUE(waitFor([&] { return count(Kind::text) == 3; }));
    EXPECT_EQ(events[2].text, QStringLiteral(R"({"type":"response.text.delta","delta":"zażółć"})"));

    // A 200 kB frame (an audio delta of several seconds) arrives whole.
    const QByteArray big = R"({"type":"response.audio.delta","delta":")" + QByteArray(200000, 'A') + R"("})";
    server.sendText(big);
    ASSERT_TRUE(waitFor([&] { return count(Kind::text) == 4; }));
    EXPECT_EQ(last(Kind::text)->size(), big.size());

    socket->stop();
    ASSERT_EQ(events.last().kind, Kind::closed);
    EXPECT_FALSE(events.last().text);
    EXPECT_EQ(socket->send("{}").error().description(), "Brak połączenia z OpenAI.");
    EXPECT_FALSE(runTask(socket->start())->ok()); // a finished socket is not restarted
    ASSERT_TRUE(waitFor([&] { return !server.hasClient(); }));
}

// A first connection that fails (refused at once when nobody listens) ends start() with the error and
// one closed event, and nothing retries.
TEST_F(Transport, FirstConnectionFailures)
{
    const QString key = "OpenAI odrzuciło klucz API. Sprawdź zmienną OPENAI_API_KEY albo plik ~/.config/selvina-voice/config.json.";
    const QString invalid = "Problem z siecią: nieprawidłowa odpowiedź serwera";
    const struct {
        int status; // a refused handshake, or 0 for the raw reply
        const char* raw;
        QString description;
    } cases[] = {
        {401, nullptr, key},
        {403, nullptr, key},
        {429, nullptr, "OpenAI odrzuciło połączenie, kod 429."},
        {0, "\x16\x03\x01 garbage\r\n\r\n", invalid}, // not HTTP at all
        {0, "HTTP/1.1 101 OK\r\nUpgrade: websocket\r\nSec-WebSocket-Accept: AAAA\r\n\r\n", invalid},
        {0, "HTTP/1.1 302 Found\r\nLocation: /\r\n\r\n", "Problem z siecią: nieoczekiwana odpowiedź serwera, kod 302"},
        {-1, nullptr, "Problem z siecią: serwer odmówił połączenia"}, // nobody listens on the discard port
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.description.toStdString());
        events.clear();
        if (c.status > 0)
            server.setHandshake(Handshake::refuse, c.status);
        else if (c.raw)
            server.setRawReply([raw = QByteArray(c.raw)](const QByteArray&) { return raw; });
        auto socket = c.status < 0 ? make(1, 1024, QUrl(QStringLiteral("ws://127.0.0.1:9/v1/realtime?model=m"))) : make(1);
        const auto r = runTask(socket->start());
        ASSERT_TRUE(r && !r->ok());
        EXPECT_EQ(r->error().description(), c.description);
        ASSERT_EQ(events.size(), 1);
        EXPECT_EQ(events[0].kind, Kind::closed);
        EXPECT_EQ(events[0].text, c.description);
        EXPECT_FALSE(socket->isRunning());
    }
}

// A server that accepts TCP but never answers the upgrade: the 60 s handshake limit, or the user's stop.
TEST_F(Transport, HungFirstHandshakeEndsAtTheLimitOrOnStop)
{
    auto socket = make();
    std::optional<Status<RealtimeTransportError>> hung;
    auto pending = startHung(*socket, hung);
    clock.advance(59s);
    EXPECT_FALSE(hung);
    clock.advance(1s);
    ASSERT_TRUE(waitFor([&] { return hung.has_value(); }));
    ASSERT_FALSE(hung->ok());
    EXPECT_EQ(hung->error().description(), "Problem z siecią: przekroczono czas oczekiwania na serwer");

    auto stopped = make();
    std::optional<Status<RealtimeTransportError>> result;
    auto stopping = startHung(*stopped, result);
    stopped->stop(QStringLiteral("użytkownik zakończył"));
    ASSERT_TRUE(waitFor([&] { return result.has_value(); }));
    EXPECT_EQ(result->error(), RealtimeTransportError::notConnected());
    EXPECT_EQ(events.last().kind, Kind::closed);
    EXPECT_EQ(events.last().text, QStringLiteral("użytkownik zakończył"));
    const int closed = count(Kind::closed);
    stopped->stop(QStringLiteral("drugi raz")); // not running: nothing more
    EXPECT_EQ(count(Kind::closed), closed);
}

// Every way an open connection is lost is reported as an interruption with its cause, then reconnected.
TEST_F(Transport, LostConnectionsAreReportedAndReconnected)
{
    auto socket = make(8, 4096);
    ASSERT_TRUE(runTask(socket->start())->ok());
    const struct {
        std::function<void()> lose;
        QString text;
    } cases[] = {
        {[&] { server.closeClient(1000); }, "Problem z siecią: serwer zamknął połączenie, kod 1000"},
        {[&] { server.closeClient(1011, "server_error"); }, "Problem z siecią: server_error"},
        {[&] { server.dropClient(); }, "Problem z siecią: serwer zerwał połączenie"}, // no close frame
        {[&] {
             server.sendText(QByteArray(3000, ' ') + R"({"type":"ok"})"); // under the limit: delivered
             server.sendText(R"({"type":"x","delta":")" + QByteArray(5000, 'A') + R"("})");
         },
         "Problem z siecią: serwer przysłał za dużą wiadomość"},
        {[&] {
             server.stopAnswering();
             clock.advance(20s); // the ping goes out
             EXPECT_TRUE(socket->awaitingPong());
             clock.advance(20s); // a whole interval without its pong
         },
         "Problem z siecią: brak odpowiedzi na ping"},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        c.lose();
        ++n;
        ASSERT_TRUE(waitFor([&] { return count(Kind::interrupted) == n; }));
        EXPECT_EQ(last(Kind::interrupted), c.text);
        ASSERT_TRUE(reconnectAfter(n));
        ASSERT_TRUE(waitFor([&] { return count(Kind::opened) == n + 1; }));
        EXPECT_EQ(server.handshakeCount(), n + 1);
    }
    EXPECT_EQ(count(Kind::text), 1);
    // A peer that answers keeps the connection through many ping intervals.
    for (int i = 0; i < 5; ++i) {
        clock.advance(20s);
        ASSERT_TRUE(waitFor([&] { return !socket->awaitingPong(); }));
    }
    clock.advance(20s);
    EXPECT_EQ(count(Kind::interrupted), n);
}

// Reconnects that keep failing end the session after the last attempt, also when every upgrade
// succeeds and closes at once: the counter is reset only by a connection that stayed up.
TEST_F(Transport, GivesUpAfterTheLastFailedReconnect)
{
    auto socket = make();
    ASSERT_TRUE(runTask(socket->start())->ok());
    server.setHandshake(Handshake::refuse, 503);
    server.closeClient(1001);
    for (int n = 1; n <= 8; ++n)
        ASSERT_TRUE(reconnectAfter(n));
    ASSERT_TRUE(waitFor([&] { return count(Kind::closed) == 1; }));
    EXPECT_EQ(count(Kind::interrupted), 8); // the lost connection, then seven refused reconnects; the eighth gives up
    EXPECT_EQ(events[2].text, QStringLiteral("OpenAI odrzuciło połączenie, kod 503."));
    EXPECT_EQ(events.last().kind, Kind::closed); // its sentence is the engine test's give-up row
    EXPECT_EQ(server.connectionCount(), 9);
    EXPECT_FALSE(socket->send("{}").ok());

    events.clear();
    server.setHandshake(Handshake::accept);
    QObject::connect(&server, &LoopbackRealtimeServer::clientConnected, &server, [this] { server.closeClient(1000); });
    auto flapping = make(3);
    ASSERT_TRUE(runTask(flapping->start())->ok());
    for (int n = 1; n <= 3; ++n)
        ASSERT_TRUE(reconnectAfter(n));
    ASSERT_TRUE(waitFor([&] { return count(Kind::closed) == 1; }));
    EXPECT_EQ(count(Kind::interrupted), 3);
}

// A proper upgrade followed by a frame no server may send: a reserved opcode, a continuation with
// nothing to continue, a fragmented ping, a masked frame (also one whose mask key has only begun to
// arrive). The connection is lost at once: the client closes with 1002 and delivers nothing.
TEST_F(Transport, ProtocolErrorsAfterTheUpgrade)
{
    const QByteArray frames[] = {QByteArray("\x83\x00", 2), QByteArray("\x80\x01x", 3), QByteArray("\x09\x00", 2),
                                 QByteArray("\x81\x82\x01\x02\x03\x04\x7a\x7b", 8), QByteArray("\x81\x85\x01\x02", 4)};
    for (const QByteArray& frame : frames) {
        SCOPED_TRACE(frame.toHex().toStdString());
        events.clear();
        server.setRawReply([frame](const QByteArray& r) { return LoopbackRealtimeServer::upgradeReply(r) + frame; });
        const qsizetype from = server.rawReceived().size();
        auto socket = make(1);
        ASSERT_TRUE(runTask(socket->start())->ok());
        ASSERT_TRUE(reconnectAfter(1));
        ASSERT_TRUE(waitFor([&] { return count(Kind::closed) == 1 && server.rawReceived().size() >= from + 8; }));
        EXPECT_EQ(last(Kind::interrupted), "Problem z siecią: błąd protokołu WebSocket");
        EXPECT_EQ(count(Kind::text), 0);
        // The client's own close frame: masked, two bytes of payload holding the code.
        const QByteArray fromClient = server.rawReceived().mid(from);
        const auto* b = reinterpret_cast<const uchar*>(fromClient.constData());
        ASSERT_EQ(b[0], 0x88);
        EXPECT_EQ(((b[6] ^ b[2]) << 8) | (b[7] ^ b[3]), 1002);
    }
}

// The back-off's bases, cap and truncation; closes that are no refusal (the refusals are the engine's).
TEST(TransportRules, BackoffAndWhatIsNoRefusalClose)
{
    const qint64 expected[] = {500, 1000, 2000, 4000, 8000, 15000, 15000, 15000};
    for (int attempt = 1; attempt <= 8; ++attempt)
        EXPECT_EQ(RealtimeWebSocket::backoffMs(attempt, 1.0), expected[attempt - 1]);
    EXPECT_EQ(RealtimeWebSocket::backoffMs(1, 0.8), 400);
    EXPECT_EQ(RealtimeWebSocket::backoffMs(6, 1.2), 18000);
    EXPECT_EQ(RealtimeWebSocket::backoffMs(1, 0.8333333), 416); // truncated, not rounded
    EXPECT_FALSE(isRefusalClose(1000, QStringLiteral("x.invalid_api_key")));
    EXPECT_FALSE(isRefusalClose(3000, QStringLiteral("invalid_request_error.rate_limit_exceeded")));
}
