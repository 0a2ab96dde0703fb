#include "activation/WakeWord.h"

#include "core/HandOff.h"
#include "core/SidecarLog.h"

#include <QPointer>
#include <QRegularExpression>

#include <qcoro/qcorofuture.h>
#include <qcoro/qcorotask.h>

namespace selvina::activation {

namespace {

QString trueFalse(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

// Lower case without diacritics: "Łódź" → "lodz". "ł" has no decomposition of its own.
QString folded(const QString& text)
{
    const QString decomposed = text.toLower().normalized(QString::NormalizationForm_D);
    QString out;
    out.reserve(decomposed.size());
    for (QChar c : decomposed) {
        if (c.category() == QChar::Mark_NonSpacing)
            continue;
        out.append(c == QChar(0x0142) ? QChar(u'l') : c);
    }
    return out;
}

} // namespace

WakeWord::WakeWord(std::unique_ptr<SpeechRecognizer> recognizer, std::unique_ptr<WakeAudioInput> input,
                   Clock& clock, std::function<void()> wake, Options options)
    : m_recognizer(std::move(recognizer)), m_input(std::move(input)), m_clock(clock), m_wake(std::move(wake)),
      m_options(std::move(options)), m_released(QtFuture::makeReadyFuture())
{
    m_input->setDevicesChanged([this] {
        if (!m_isRunning)
            return;
        log(QStringLiteral("[wybudzanie] urządzenie wejściowe zmieniło się — podnoszę tor"));
        rebuild();
    });
}

WakeWord::~WakeWord()
{
    stop();
}

void WakeWord::log(const QString& line) const
{
    if (m_options.log)
        m_options.log(line);
    else
        logLine(line);
}

bool WakeWord::isWakePhrase(const QString& text)
{
    static const QRegularExpression notLetter(QStringLiteral("[^a-z ]"));
    static const QStringList openers{QStringLiteral("hej"), QStringLiteral("hey"), QStringLiteral("ej"),
                                     QStringLiteral("ok"), QStringLiteral("okej"), QStringLiteral("halo")};
    static const QString name = QStringLiteral("sel"); // the first three letters of "Selvina"
    const QStringList words = folded(text).replace(notLetter, QStringLiteral(" ")).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (qsizetype i = 0; i < words.size(); ++i) {
        if (!openers.contains(words[i]))
            continue;
        for (qsizetype j = i + 1; j < words.size() && j <= i + 2; ++j)
            if (words[j].startsWith(name))
                return true;
    }
    return false;
}

void WakeWord::start()
{
    if (m_isRunning || m_opening)
        return;
    m_alreadyWoken = false;
    m_silentRounds = 0;
    const bool available = m_recognizer->isAvailable();
    log(QStringLiteral("[wybudzanie] rozpoznawanie pl-PL: istnieje=true dostępne=%1 naUrządzeniu=%2")
            .arg(trueFalse(available), trueFalse(available && m_recognizer->recognizesOnDevice())));
    if (!available) {
        // The detector's model is read once at start-up: nothing changes by waiting, so the listener
        // stays off and says why once, instead of retrying for ever.
        const QString reason = m_recognizer->unavailableReason();
        log(QStringLiteral("[wybudzanie] rozpoznawanie niedostępne dla pl-PL: %1 — nasłuch zostaje wyłączony").arg(reason));
        if (!m_toldUnavailable && m_options.onUnavailable) {
            m_toldUnavailable = true;
            m_options.onUnavailable(reason);
        }
        return;
    }
    startListening();
}

QCoro::Task<void> WakeWord::startListening()
{
    const int generation = ++m_generation;
    m_opening = true;
    m_buffersSeen.store(0);
    QPointer<WakeWord> self(this);
    // The task starts before any audio flows, so it hears nothing recorded before this start.
    m_recognizer->startTask([this, self, generation](const RecognitionUpdate& update) {
        // `this` outlives every call: the destructor cancels the task, after which none comes.
        QMetaObject::invokeMethod(
            this,
            handoff::queued(this,
                            [this, self, generation, update] {
                                if (self && generation == m_generation)
                                    handle(update);
                            }),
            Qt::QueuedConnection);
    });
    SpeechRecognizer* recognizer = m_recognizer.get();
    std::atomic<std::int64_t>* seen = &m_buffersSeen;
    const Status<platform::AudioDeviceError> opened =
        co_await m_input->open([recognizer, seen](const float* samples, std::size_t count) {
            recognizer->append(samples, count);
            seen->fetch_add(1, std::memory_order_relaxed);
        });
    if (!self || generation != m_generation)
        co_return; // stopped meanwhile: its close follows this open and releases the device
    m_opening = false;
    if (!opened) {
        m_recognizer->cancelTask();
        m_released = m_input->close();
        using Kind = platform::AudioDeviceError::Kind;
        switch (opened.error().kind()) {
        case Kind::noDevice:
            logRetry(QStringLiteral("[wybudzanie] brak urządzenia wejściowego — ponowię za 3 s"));
            scheduleRetry();
            break;
        case Kind::accessDenied:
            // Waiting does not bring the access back; the prerequisite check of the microphone says
            // what to do, and the next start tries again.
            log(QStringLiteral("[wybudzanie] BRAK dostępu do mikrofonu: %1").arg(opened.error().description()));
            break;
        case Kind::failed:
            logRetry(QStringLiteral("[wybudzanie] silnik audio nie wystartował: %1 — ponowię za 3 s").arg(opened.error().description()));
            scheduleRetry();
            break;
        }
        co_return;
    }
    m_isRunning = true;
    m_lastRetry.clear();
    log(QStringLiteral("[wybudzanie] nasłuch działa — czekam na „hej Selvina”"));
    startWatchdog();
}

void WakeWord::handle(const RecognitionUpdate& update)
{
    const QString text = update.text.toLower();
    if (!text.isEmpty()) {
        if (m_options.traceHeardText)
            log(QStringLiteral("[wybudzanie] słyszę: ") + text.right(kTraceCharacters));
        else
            log(QStringLiteral("[wybudzanie] słyszę wypowiedź (%1 znaków)").arg(text.size()));
    }
    if (isWakePhrase(text)) {
        if (std::exchange(m_alreadyWoken, true))
            return;
        log(QStringLiteral("[wybudzanie] TRAFIENIE — otwieram sesję"));
        stop();
        // The conversation opens its own capture: it starts once this one has let the device go.
        whenReleased(this, [this] {
            if (m_wake)
                m_wake();
        });
        return;
    }
    if (!update.error && !update.isFinal)
        return;
    if (m_isRunning) {
        // Recogniser tasks end by themselves; the next one follows at once.
        stop();
        startListening();
    }
}

void WakeWord::stop()
{
    ++m_generation;
    m_retry.reset();
    m_watchdog.reset();
    m_recognizer->cancelTask();
    if (m_isRunning || m_opening)
        m_released = m_input->close();
    m_isRunning = false;
    m_opening = false;
}

bool WakeWord::holdsMicrophone() const
{
    return m_isRunning || m_opening || !m_released.isFinished();
}

void WakeWord::whenReleased(QObject* context, std::function<void()> then)
{
    m_released.then(context, [then = std::move(then)] { then(); });
}

void WakeWord::logRetry(const QString& line)
{
    // A machine without a microphone retries all day: the log says why once, and again only when
    // the reason changes or after the listener has run.
    if (line != std::exchange(m_lastRetry, line))
        log(line);
}

void WakeWord::scheduleRetry()
{
    m_retry = m_clock.after(kRetryDelay, [this] {
        if (!m_alreadyWoken)
            startListening();
    });
}

std::chrono::milliseconds WakeWord::watchdogDelay() const
{
    const auto delay = kWatchdogFirst * (1 << std::min(m_silentRounds, 5));
    return std::min<std::chrono::milliseconds>(delay, kWatchdogLongest);
}

void WakeWord::startWatchdog()
{
    m_watchdog = m_clock.after(watchdogDelay(), [this] { checkWatchdog(0); });
}

void WakeWord::checkWatchdog(std::int64_t seenBefore)
{
    if (!m_isRunning)
        return;
    const std::int64_t seen = m_buffersSeen.load();
    if (seen != seenBefore) {
        if (m_silentRounds >= 1)
            log(QStringLiteral("[wybudzanie] dźwięk wrócił — nasłuch znów słyszy"));
        m_silentRounds = 0;
        m_watchdog = m_clock.after(kWatchdogFirst, [this, seen] { checkWatchdog(seen); });
        return;
    }
    ++m_silentRounds;
    if (m_silentRounds == 1 || m_silentRounds % 10 == 0)
        log(QStringLiteral("[wybudzanie] urządzenie milczy (próba %1) — podnoszę tor od nowa").arg(m_silentRounds));
    // A rebuild that the debounce refuses would leave the path without a watchdog: keep watching.
    if (!rebuild())
        startWatchdog();
}

bool WakeWord::rebuild()
{
    const auto now = m_clock.now();
    if (m_lastRebuild && now - *m_lastRebuild <= kRebuildDebounce)
        return false;
    m_lastRebuild = now;
    stop();
    startListening();
    return true;
}

} // namespace selvina::activation
