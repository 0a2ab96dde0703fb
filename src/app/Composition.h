// Composition: builds everything one conversation needs — the engine, the audio, the tools and the
// gate — or says that only the preview can run, and what is missing for more.
// Thread: main thread.
#pragma once

#include "agent/AgentBridge.h"
#include "settings/Configuration.h"
#include "capture/ScreenCapture.h"
#include "core/Clock.h"
#include "conversation/Coordinator.h"
#include "core/Session.h"
#include "core/WriteFailure.h"
#include "platform/AudioDevices.h"
#include "platform/SystemLog.h"
#include "tools/AccessibilityTree.h"
#include "tools/SelvinaTool.h"

#include <QStringList>

#include <functional>
#include <memory>
#include <mutex>
#include <variant>
#include <vector>

namespace selvina::settings {
class SpeechPreferences;
}

namespace selvina::app {

// What the process owns and every conversation is built from.
struct CompositionContext {
    settings::ConfigurationSources sources;
    platform::SystemLog* systemLog = nullptr;
    platform::AudioDevices* audioDevices = nullptr; // the sound server; unused by the text channel
    settings::SpeechPreferences* speech = nullptr;
    std::optional<QByteArray> workSound{};
    bool textChannel = false;
    Clock* clock = nullptr; // the assembly's one clock; required
    std::shared_ptr<tools::AccessibilityAccess> accessibility{}; // the screen tools' worker and tree
    agent::AgentBridge* agent = nullptr; // the process's agent bridge; none: no delegate_task
    std::shared_ptr<capture::ScreenCapture> screenCapture{}; // none: no visual tools
    WriteFailureNotice* writeFailures = nullptr; // the audit log's failures; none: only logged
};

// Progress notes of the agent layer on their way to the controller, which may not exist yet or
// any more. Callable from any thread.
class ProgressRelay {
public:
    using Callback = std::function<void(const QString&)>;
    void setHandlers(Callback handler, Callback activityHandler);
    void progress(const QString& text) const;
    void activity(const QString& text) const;

private:
    void invoke(Callback ProgressRelay::*which, const QString& text) const;
    mutable std::mutex m_mutex;
    Callback m_handler;
    Callback m_activityHandler;
};

class Composition {
public:
    struct Preview {
        QStringList missing;
    };
    using Made = std::variant<std::unique_ptr<conversation::Coordinator>, Preview>;

    static Made makeCoordinator(SessionModel& session, const CompositionContext& context);

    // The tools offered to the model, in the table's order; absent ones join as they are built.
    static std::vector<std::shared_ptr<tools::SelvinaTool>> tools(voice::VoiceEngine* voice,
                                                                 const settings::Configuration& configuration,
                                                                 const ProgressRelay::Callback& onProgress,
                                                                 const ProgressRelay::Callback& onActivity,
                                                                 const std::shared_ptr<tools::AccessibilityAccess>& accessibility,
                                                                 agent::AgentBridge* agent,
                                                                 const std::shared_ptr<capture::ScreenCapture>& screenCapture,
                                                                 Clock& clock);
};

} // namespace selvina::app
