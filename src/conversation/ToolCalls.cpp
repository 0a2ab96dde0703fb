// The tool-call half of the conversation: calls, their watchdog, Escape, the work sound and the
// mark moving to the corner.
#include "conversation/Coordinator.h"

#include "core/Trace.h"

namespace selvina::conversation {

const QString Coordinator::kInterruptedByUserText =
    QStringLiteral("Zadanie zostało przerwane przez użytkownika, zanim się skończyło.");

QString Coordinator::watchdogText()
{
    return QStringLiteral("Zadanie nie zostało wykonane: warstwa namysłu nie odpowiedziała ") + QStringLiteral("przez ")
        + QString::number(std::chrono::seconds(kToolWatchdog).count()) + QStringLiteral(" sekund.");
}

void Coordinator::onToolCall(const QString& id, const QString& name, const QString& argumentsJSON)
{
    trace(QStringLiteral("narzędzie ") + name + QStringLiteral(" argumenty: ") + argumentsJSON.left(120));
    m_voice->suspendTurnDetection();
    const ToolCallTracker::Run run = m_calls.begin(id, name);
    m_awaitingModel = false;
    recomputeState();
    // Last: a tool that answers without suspending delivers (and sets awaitingModel) right here.
    runCall(QPointer<Coordinator>(this), m_executor, id, name, argumentsJSON, run.token, run.cancellation);
}

// The executor is held by the task: a tool still running when the conversation closes keeps what
// it uses alive until it returns.
QCoro::Task<> Coordinator::runCall(QPointer<Coordinator> self, std::shared_ptr<tools::ToolExecutor> executor,
                                   QString id, QString name, QString argumentsJSON, quint64 token,
                                   std::shared_ptr<tools::CallCancellation> cancellation)
{
    auto executing = executor->execute(std::move(name), std::move(argumentsJSON), std::move(cancellation));
    const QString output = co_await executing;
    if (self)
        self->finishCall(id, token, output);
}

// The first answer of a run wins: the tool's, the watchdog's. A call that Escape or the end of the
// conversation took out has been answered already (or needs no answer) and is dropped.
void Coordinator::finishCall(const QString& id, quint64 token, const QString& output)
{
    const std::optional<QString> name = m_calls.claimAnswer(id, token);
    if (!name) {
        trace(QStringLiteral("narzędzie: spóźniony wynik wywołania %1 pominięty").arg(id));
        return;
    }
    deliverToolResult(QPointer<Coordinator>(this), m_voice, id, *name, output, token);
}

QCoro::Task<> Coordinator::deliverToolResult(QPointer<Coordinator> self, std::shared_ptr<voice::VoiceEngine> voice,
                                             QString id, QString name, QString output, quint64 token)
{
    trace(QStringLiteral("narzędzie ") + name + QStringLiteral(" wynik: ")
          + QString(output.left(200)).replace(QLatin1Char('\n'), QLatin1Char(' ')));
    self->reportToObserver(ChatKind::toolResult, name + QStringLiteral(": ") + output);

    auto sending = voice->sendToolResult(id, std::move(output));
    co_await sending;
    if (!self || self->m_stopped)
        co_return;

    self->m_awaitingModel = true;
    self->m_calls.finish(id, token);
    self->recomputeState();
    if (self->m_calls.empty())
        voice->resumeTurnDetection();
}

void Coordinator::reportActivity(const QString& text)
{
    trace(QStringLiteral("narzędzie agenta: ") + text);
    reportToObserver(ChatKind::toolCall, QStringLiteral("agent → ") + text);
}

QCoro::Task<> Coordinator::interruptSpeech()
{
    // A second Escape while the first is still being handled adds nothing.
    if (m_interrupting || m_stopped)
        co_return;
    m_interrupting = true;
    QPointer<Coordinator> self(this);
    auto voice = m_voice;
    auto playback = m_playback;

    QStringList cancelled;
    if (!m_calls.empty()) {
        trace(QStringLiteral("przerwanie klawiszem: anuluję %1 narzędzi").arg(m_calls.size()));
        cancelled = m_calls.cancelAll();
        voice->resumeTurnDetection();
    }
    co_await silence(self, voice, playback);
    if (!self || m_stopped) {
        if (self)
            m_interrupting = false;
        co_return;
    }

    m_awaitingModel = false;
    m_speechAudible = false;
    ++m_speechGeneration;
    recomputeState();

    for (const QString& id : cancelled) {
        auto sending = voice->sendToolResult(id, kInterruptedByUserText);
        co_await sending;
        if (!self || self->m_stopped) {
            if (self)
                self->m_interrupting = false;
            co_return;
        }
    }
    if (!cancelled.isEmpty()) {
        m_awaitingModel = true;
        recomputeState();
    }
    m_interrupting = false;
}

void Coordinator::refreshWorkSound()
{
    const bool working = !m_calls.empty();
    refreshWorkVisual(working);
    if (working == m_workSoundPlaying)
        return;
    m_workSoundPlaying = working;
    ++m_workSoundGeneration;
    m_workSoundDelay.reset();
    if (working) {
        workSoundAfterDrain(QPointer<Coordinator>(this), m_playback, m_workSoundGeneration);
    } else {
        m_playback->stopWorkSound();
    }
}

QCoro::Task<> Coordinator::workSoundAfterDrain(QPointer<Coordinator> self,
                                               std::shared_ptr<voice::AudioPlayback> playback, qint64 generation)
{
    co_await playback->waitUntilDrained();
    if (!self || self->m_workSoundGeneration != generation)
        co_return;
    self->m_workSoundDelay = self->clock().after(kWorkSoundDelay, [self = self.data(), generation] {
        if (self->m_workSoundGeneration != generation || self->m_calls.empty()
            || !self->m_options.workSound)
            return;
        self->m_playback->startWorkSound(*self->m_options.workSound);
    });
}

void Coordinator::refreshWorkVisual(bool working)
{
    // A pending move is kept while work goes on: the mark moves 0.8 s after the first call, not
    // after the last state change.
    if (!working)
        m_workVisualEntry.reset();
    m_session.setWorking(working);
    if (working && !m_session.compact() && !m_workVisualEntry) {
        m_workVisualEntry = clock().after(kWorkVisualDelay, [this] {
            if (m_calls.empty())
                return;
            trace(QStringLiteral("praca trwa dłużej niż 0.8 s — znak jedzie do rogu"));
            m_session.setCompact(true);
            m_workVisualEntry.reset();
        });
    }
    if (!working)
        m_session.setCompact(false);
}

} // namespace selvina::conversation
