// A test suite on one private PulseAudio server, this process's own while the suite runs: the null
// sink selvina_null (48 kHz stereo) is the default speakers, its monitor remapped as selvina_mic the
// default microphone, and a silent stream keeps the sink awake. Each case gets the server's devices.
// Thread: the test's main thread.
#pragma once

#include "PrivatePulseServer.h"
#include "platform/fake/MemoryStores.h"
#include "platform/linux/pulse/PulseAudioDevices.h"

#include <QThread>

#include <gtest/gtest.h>

namespace selvina::testing {

class PulseSuite : public ::testing::Test {
public:
    static void SetUpTestSuite()
    {
        s_pulse = new PrivatePulseServer(
            QStringLiteral("load-module module-null-sink sink_name=selvina_null rate=48000 channels=2\n"
                           "load-module module-remap-source master=selvina_null.monitor source_name=selvina_mic\n"
                           "set-default-sink selvina_null\nset-default-source selvina_mic"));
        s_pulse->useInThisProcess();
        s_pulse->keepAwake();
    }
    static void TearDownTestSuite()
    {
        delete s_pulse;
        s_pulse = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(s_pulse->up()) << "no sound server"; }

    // Everything the speakers play from now on, as mono float at 24 kHz.
    static std::unique_ptr<QProcess> startRecorder()
    {
        auto recorder = s_pulse->recordMono(QStringLiteral("selvina_null.monitor"));
        QThread::msleep(150);
        return recorder;
    }
    // What `recorder` took down, once it is stopped.
    static QByteArray recorded(std::unique_ptr<QProcess> recorder)
    {
        recorder->terminate();
        recorder->waitForFinished(2000);
        return recorder->readAllStandardOutput();
    }

    static inline PrivatePulseServer* s_pulse = nullptr;
    platform::fake::MemorySystemLog m_log;
    platform::PulseAudioDevices m_devices{QStringLiteral("test")};
};

} // namespace selvina::testing
