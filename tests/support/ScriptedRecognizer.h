// Stand-ins for the wake-phrase listener's recogniser and microphone: the test says what was heard
// and when audio blocks arrive; opens and closes finish at once unless the test holds the close.
// Thread: the test's main thread.
#pragma once

#include "activation/SpeechRecognizer.h"
#include "activation/WakeAudioInput.h"

#include <QFutureInterface>
#include <QPromise>

#include <optional>

namespace selvina::testing {

class ScriptedRecognizer final : public activation::SpeechRecognizer {
public:
    struct State {
        bool available = true;
        int tasksStarted = 0;
        Handler handler;
    };
    explicit ScriptedRecognizer(State& state) : m_state(state) {}
    bool isAvailable() const override { return m_state.available; }
    bool recognizesOnDevice() const override { return true; }
    QString unavailableReason() const override { return QStringLiteral("Brak pliku modelu zawołania."); }
    void startTask(Handler handler) override
    {
        ++m_state.tasksStarted;
        m_state.handler = std::move(handler);
    }
    void append(const float*, std::size_t) noexcept override {}
    void cancelTask() override { m_state.handler = nullptr; }

private:
    State& m_state;
};

class ScriptedInput final : public activation::WakeAudioInput {
public:
    struct State {
        std::optional<platform::AudioDeviceError> refusal; // the next opens fail so
        int opens = 0;
        int closes = 0;
        bool holdCloses = false;                          // closes wait for releaseClose()
        std::optional<QPromise<void>> heldClose;
        Samples samples;
        std::function<void()> devicesChanged;

        void deliver(int blocks)
        {
            const float block[160] = {};
            for (int i = 0; i < blocks && samples; ++i)
                samples(block, 160);
        }
        void releaseClose()
        {
            heldClose->finish();
            heldClose.reset();
        }
    };
    explicit ScriptedInput(State& state) : m_state(state) {}
    QFuture<Status<platform::AudioDeviceError>> open(Samples samples) override
    {
        ++m_state.opens;
        if (m_state.refusal)
            return QtFuture::makeReadyFuture(Status<platform::AudioDeviceError>(*m_state.refusal));
        m_state.samples = std::move(samples);
        return QtFuture::makeReadyFuture(Status<platform::AudioDeviceError>(Ok{}));
    }
    QFuture<void> close() override
    {
        ++m_state.closes;
        m_state.samples = nullptr;
        if (!m_state.holdCloses)
            return QtFuture::makeReadyFuture();
        m_state.heldClose.emplace();
        m_state.heldClose->start();
        return m_state.heldClose->future();
    }
    void setDevicesChanged(std::function<void()> handler) override { m_state.devicesChanged = std::move(handler); }

private:
    State& m_state;
};

} // namespace selvina::testing
