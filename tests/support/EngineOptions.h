// The options every engine test starts from: the loopback service's address, a fixed key, no
// back-off jitter, the test's clock, and a ping interval long enough for a clock moved by hours.
// Thread: the test's main thread.
#pragma once

#include "LoopbackRealtimeServer.h"
#include "voice/OpenAIRealtimeEngine.h"

namespace selvina::testing {

inline voice::OpenAIRealtimeEngine::Options engineOptions(const LoopbackRealtimeServer& server, Clock& clock,
                                                          std::optional<QString> key = QStringLiteral("sk-test"))
{
    voice::OpenAIRealtimeEngine::Options o;
    o.model = QStringLiteral("test-model");
    o.apiKey = [key] { return key; };
    o.realtimeURL = server.realtimeUrl();
    o.jitter = [] { return 1.0; };
    o.pingInterval = std::chrono::hours(24);
    o.clock = &clock;
    return o;
}

} // namespace selvina::testing
