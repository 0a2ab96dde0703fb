// The assistant's own sounds: the work loop and the two cues, from WAV files among the resources.
// Thread: main.
#pragma once

#include "platform/AudioDevices.h"
#include "platform/SystemLog.h"

#include <QByteArray>
#include <QCoroTask>
#include <QString>

#include <memory>
#include <optional>

namespace selvina::voice {

class SpeakerPlayback;

// PCM16 of "praca.wav", loaded once per process; none when the file is missing or not a WAV.
const std::optional<QByteArray>& workSoundLoop();

enum class Cue { interrupted, end };

// Plays a cue on a stream of its own, independent of any conversation's playback, and closes the
// stream again once the cue has been heard (an idle open stream would keep the sound card awake).
// Destroying the player stops a cue still sounding and closes its stream at once: a play() still
// suspended then ends without touching the player, its stream or the devices again.
class CuePlayer {
public:
    CuePlayer(platform::AudioDevices& devices, platform::SystemLog& log, QString resourceFolder);
    ~CuePlayer();
    // Failures go to the log only: a cue is a courtesy, never a reason to stop.
    QCoro::Task<> play(Cue cue);

private:
    struct State; // shared with the cues still playing, so they can tell the player has gone

    platform::AudioDevices& m_devices;
    platform::SystemLog& m_log;
    QString m_folder;
    std::shared_ptr<State> m_state;
};

} // namespace selvina::voice
