#include "app/Composition.h"

#include "app/ConversationInstructions.h"
#include "conversation/SilentAudio.h"
#include "core/Trace.h"
#include "safety/AuditLog.h"
#include "safety/HostAllowlist.h"
#include "safety/VoiceSafetyGate.h"
#include "settings/SpeechPreferences.h"
#include "tools/DelegateTaskTool.h"
#include "tools/ScreenTools.h"
#include "tools/SystemInfoTool.h"
#include "tools/VisualTools.h"
#include "voice/OpenAIRealtimeEngine.h"
#include "voice/audio/EchoReference.h"
#include "voice/audio/MicrophoneCapture.h"
#include "voice/audio/SpeakerPlayback.h"

#include <QThreadPool>

namespace selvina::app {

using conversation::Coordinator;

void ProgressRelay::setHandlers(Callback handler, Callback activityHandler)
{
    std::lock_guard lock(m_mutex);
    m_handler = std::move(handler);
    m_activityHandler = std::move(activityHandler);
}

void ProgressRelay::progress(const QString& text) const
{
    invoke(&ProgressRelay::m_handler, text);
}

void ProgressRelay::activity(const QString& text) const
{
    invoke(&ProgressRelay::m_activityHandler, text);
}

// The callback is read under the lock and called outside it: it may take its time or call back.
void ProgressRelay::invoke(Callback ProgressRelay::*which, const QString& text) const
{
    Callback callback;
    {
        std::lock_guard lock(m_mutex);
        callback = this->*which;
    }
    if (callback)
        callback(text);
}

std::vector<std::shared_ptr<tools::SelvinaTool>> Composition::tools(voice::VoiceEngine* voice,
                                                                   const settings::Configuration& configuration,
                                                                   const ProgressRelay::Callback& onProgress,
                                                                   const ProgressRelay::Callback& onActivity,
                                                                   const std::shared_ptr<tools::AccessibilityAccess>& accessibility,
                                                                   agent::AgentBridge* agent,
                                                                   const std::shared_ptr<capture::ScreenCapture>& screenCapture,
                                                                   Clock& clock)
{
    std::vector<std::shared_ptr<tools::SelvinaTool>> list;
    if (accessibility) {
        list.push_back(std::make_shared<tools::ReadScreenTool>(accessibility));
        list.push_back(std::make_shared<tools::ControlUITool>(accessibility));
    }
    if (screenCapture)
        list.push_back(std::make_shared<tools::ScreenshotTool>(screenCapture));
    list.push_back(std::make_shared<tools::SystemInfoTool>());
    if (screenCapture && voice != nullptr)
        list.push_back(std::make_shared<tools::DescribeVisualTool>(screenCapture, voice));
    if (screenCapture && configuration.openAIKey.value) {
        tools::AnalyzeVisualTool::Options vision;
        vision.apiKey = *configuration.openAIKey.value;
        vision.model = configuration.visionModel;
        vision.endpoint = configuration.endpointURL(QStringLiteral("/v1/chat/completions"));
        vision.clock = &clock;
        list.push_back(std::make_shared<tools::AnalyzeVisualTool>(screenCapture, std::move(vision)));
    }
    if (voice != nullptr && agent != nullptr)
        list.push_back(std::make_shared<tools::DelegateTaskTool>(agent, onProgress, onActivity));
    return list;
}

Composition::Made Composition::makeCoordinator(SessionModel& session, const CompositionContext& context)
{
    const settings::Configuration configuration = settings::Configuration::load(context.sources);
    if (!configuration.openAIKey.value)
        return Preview{{QStringLiteral("klucz OpenAI (rozmowa głosowa i opis obrazu)")}};

    platform::SystemLog& systemLog = *context.systemLog;
    auto gate = std::make_shared<safety::VoiceSafetyGate>(
        std::make_shared<safety::SilentConfirmation>(),
        std::make_shared<const safety::HostAllowlist>(safety::HostAllowlist::defaultConfigPath()),
        std::make_shared<safety::AuditLog>(safety::AuditLog::defaultFilePath(), context.writeFailures), systemLog,
        safety::VoiceSafetyGate::Options());

    // What is stored now, edits made since the last conversation included.
    if (context.speech)
        context.speech->reload();
    const voice::SpeechSettings speech = context.speech ? context.speech->snapshot() : voice::SpeechSettings();

    voice::OpenAIRealtimeEngine::Options engineOptions;
    engineOptions.model = configuration.realtimeModel;
    engineOptions.voice = speech.voice;
    engineOptions.apiKey = [sources = context.sources] { return settings::Configuration::resolveOpenAIKey(sources).value; };
    engineOptions.speech = speech;
    engineOptions.realtimeURL = configuration.realtimeURL(configuration.realtimeModel);
    engineOptions.clock = context.clock;
    auto engine = std::make_shared<voice::OpenAIRealtimeEngine>(engineOptions);

    auto relay = std::make_shared<ProgressRelay>();
    auto registry = std::make_shared<tools::ToolRegistry>();
    registry->registerTools(tools(
        engine.get(), configuration, [relay](const QString& text) { relay->progress(text); },
        [relay](const QString& text) { relay->activity(text); }, context.accessibility, context.agent,
        context.screenCapture, *context.clock));

    std::shared_ptr<voice::AudioCapture> capture;
    std::shared_ptr<voice::AudioPlayback> playback;
    if (context.textChannel || context.audioDevices == nullptr) {
        capture = std::make_shared<conversation::SilentCapture>();
        playback = std::make_shared<conversation::SilentPlayback>();
    } else {
        // The speakers write what they play into the reference the microphone's echo canceller reads.
        auto echo = std::make_shared<voice::EchoReference>();
        capture = std::make_shared<voice::MicrophoneCapture>(*context.audioDevices, echo, systemLog, *context.clock);
        playback = std::make_shared<voice::SpeakerPlayback>(*context.audioDevices, echo, systemLog);
    }

    auto executor = std::make_shared<tools::ToolExecutor>(registry, gate);

    Coordinator::Options options;
    options.instructions = conversationInstructions();
    options.workSound = context.workSound;
    options.clock = context.clock;
    auto coordinator = std::make_unique<Coordinator>(session, engine, capture, playback, registry, executor,
                                                     conversation::AssistantAudio::played, systemLog,
                                                     std::move(options));

    QPointer<Coordinator> weak(coordinator.get());
    relay->setHandlers(
        [weak](const QString& text) {
            QMetaObject::invokeMethod(QCoreApplication::instance(), [weak, text] {
                if (!weak)
                    return;
                trace(QStringLiteral("postęp: ") + text);
                weak->reportToObserver(ChatKind::state, text);
            });
        },
        [weak](const QString& text) {
            QMetaObject::invokeMethod(QCoreApplication::instance(), [weak, text] {
                if (weak)
                    weak->reportActivity(text);
            });
        });
    return coordinator;
}

} // namespace selvina::app
