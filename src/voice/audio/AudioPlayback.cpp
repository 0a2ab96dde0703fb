#include "voice/audio/AudioPlayback.h"

namespace selvina::voice {

QString SpeakerPlaybackError::description() const
{
    switch (m_kind) {
    case Kind::engineFailed:
        return QStringLiteral("Nie udało się uruchomić odtwarzania: ") + m_detail;
    case Kind::noOutputDevice:
        return QStringLiteral("Nie widzę żadnego urządzenia odtwarzającego. Podłącz głośniki lub słuchawki.");
    }
    return {};
}

} // namespace selvina::voice
