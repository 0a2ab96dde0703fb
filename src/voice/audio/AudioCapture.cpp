#include "voice/audio/AudioCapture.h"

namespace selvina::voice {

QString MicrophoneCaptureError::description() const
{
    switch (m_kind) {
    case Kind::unsupportedInputFormat:
        return QStringLiteral("Mikrofon zgłosił format, którego nie umiem przetworzyć: ") + m_detail;
    case Kind::engineFailed:
        return QStringLiteral("Nie udało się uruchomić nasłuchu: ") + m_detail;
    case Kind::accessDenied:
        return QStringLiteral("Brak zgody na dostęp do mikrofonu. Serwer dźwięku odmówił nagrywania: odblokuj "
                              "mikrofon w ustawieniach dźwięku pulpitu (na przykład w programie pavucontrol).");
    case Kind::noInputDevice:
        return QStringLiteral("Nie widzę żadnego mikrofonu. Podłącz urządzenie wejściowe i spróbuj ponownie.");
    }
    return {};
}

} // namespace selvina::voice
