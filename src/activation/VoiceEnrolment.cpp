#include "activation/VoiceEnrolment.h"

#include "core/SidecarLog.h"

#include <QPointer>

#include <qcoro/qcorofuture.h>

namespace selvina::activation {

namespace {
constexpr std::size_t kRate = 16000;
} // namespace

VoiceEnrolment::VoiceEnrolment(std::unique_ptr<WakeAudioInput> input, Clock& clock, Steps steps)
    : m_clock(clock), m_steps(std::move(steps)),
      m_buffer(std::size_t(kRecordingLength.count()) * kRate / 1000 + kRate / 2), m_input(std::move(input))
{
}

VoiceEnrolment::~VoiceEnrolment()
{
    ++m_generation;
    m_input->close();
}

void VoiceEnrolment::start()
{
    if (m_running)
        return;
    m_running = true;
    m_index = 0;
    m_attempt = 0;
    m_kept.clear();
    QPointer<VoiceEnrolment> self(this);
    m_steps.say(QStringLiteral("Nauczę się, jak wołasz mnie swoim głosem. Po każdym sygnale powiedz „hej Selvina”, "
                               "tak jak zwykle. Nagram to %1 razy.")
                    .arg(kRecordings),
                [self] {
                    if (self)
                        self->prompt();
                });
}

void VoiceEnrolment::prompt()
{
    QPointer<VoiceEnrolment> self(this);
    m_steps.say(QStringLiteral("Nagranie %1 z %2.").arg(m_index + 1).arg(kRecordings), [self] {
        if (self)
            self->record();
    });
}

void VoiceEnrolment::record()
{
    m_steps.startSignal();
    m_stopRecording = m_clock.after(kSignalFadeOut, [this] { openAndRecord(); });
}

void VoiceEnrolment::openAndRecord()
{
    const int generation = ++m_generation;
    m_filled.store(0);
    float* buffer = m_buffer.data();
    const std::size_t capacity = m_buffer.size();
    std::atomic<std::size_t>* filled = &m_filled;
    QPointer<VoiceEnrolment> self(this);
    m_input->open([buffer, capacity, filled](const float* samples, std::size_t count) {
        std::size_t at = filled->load(std::memory_order_relaxed);
        const std::size_t n = std::min(count, capacity - at);
        std::copy(samples, samples + n, buffer + at);
        filled->store(at + n, std::memory_order_release);
    }).then(this, [this, self, generation](const Status<platform::AudioDeviceError>& opened) {
        if (!self || generation != m_generation)
            return;
        if (!opened) {
            end(QStringLiteral("Nie mogę nagrywać: ") + opened.error().description(), false);
            return;
        }
        logLine(QStringLiteral("[wybudzanie] nauka głosu: nagranie %1 trwa").arg(m_index + 1));
        m_stopRecording = m_clock.after(kRecordingLength, [this, self, generation] {
            m_input->close().then(this, [this, self, generation] {
                if (self && generation == m_generation)
                    recorded();
            });
        });
    });
}

void VoiceEnrolment::recorded()
{
    Recording recording(m_buffer.begin(), m_buffer.begin() + std::ptrdiff_t(m_filled.load(std::memory_order_acquire)));
    if (std::optional<QString> problem = m_steps.check(recording, m_index + 1)) {
        if (++m_attempt >= kAttemptsPerRecording) {
            end(*problem + QStringLiteral(" Przerywam naukę; rozpoznawanie zostaje takie jak było."), false);
            return;
        }
        QPointer<VoiceEnrolment> self(this);
        m_steps.say(*problem + QStringLiteral(" Powtórzmy."), [self] {
            if (self)
                self->prompt();
        });
        return;
    }
    m_kept.push_back(std::move(recording));
    m_attempt = 0;
    if (++m_index < kRecordings) {
        prompt();
        return;
    }
    if (std::optional<QString> problem = m_steps.adapt(m_kept)) {
        end(*problem + QStringLiteral(" Rozpoznawanie zostaje takie jak było; naukę możesz powtórzyć z menu."), false);
        return;
    }
    end(QStringLiteral("Gotowe. Od teraz lepiej rozpoznam, jak mnie wołasz."), true);
}

void VoiceEnrolment::end(const QString& sentence, bool kept)
{
    ++m_generation;
    m_stopRecording.reset();
    m_input->close();
    QPointer<VoiceEnrolment> self(this);
    m_steps.say(sentence, [self, kept] {
        if (!self)
            return;
        self->m_running = false;
        if (self->m_steps.finished)
            self->m_steps.finished(kept);
    });
}

} // namespace selvina::activation
