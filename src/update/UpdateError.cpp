#include "update/UpdateError.h"

namespace selvina::update {

int UpdateError::code() const
{
    switch (m_kind) {
    case Kind::folderNotWritable:
        return 1003;
    case Kind::packageManaged:
        return 1005;
    default:
        return 2001 + int(m_kind);
    }
}

QString UpdateError::description() const
{
    switch (m_kind) {
    case Kind::feedUnreadable:
        return QStringLiteral("Nie mogę odczytać listy wydań: ") + m_detail;
    case Kind::downloadFailed:
        return QStringLiteral("Nie udało się pobrać aktualizacji: ") + m_detail;
    case Kind::tooLarge:
        return QStringLiteral("Pobierana aktualizacja jest większa, niż zapowiedziano — przerywam.");
    case Kind::truncated:
        return QStringLiteral("Pobrana aktualizacja jest niepełna.");
    case Kind::writeFailed:
        return QStringLiteral("Nie mogę zapisać aktualizacji na dysku: ") + m_detail;
    case Kind::badSignature:
        return QStringLiteral("Podpis aktualizacji się nie zgadza: ") + m_detail;
    case Kind::versionMismatch:
        return QStringLiteral("Podpis aktualizacji dotyczy innej wersji, niż zapowiedziano.");
    case Kind::unpackFailed:
        return QStringLiteral("Nie udało się rozpakować aktualizacji: ") + m_detail;
    case Kind::switchFailed:
        return QStringLiteral("Nie udało się przełączyć na nową wersję: ") + m_detail;
    case Kind::folderNotWritable:
        return QStringLiteral("Nie mogę się aktualizować, bo nie mam prawa zapisu w katalogu, w którym jestem "
                              "zainstalowana. Zainstaluj Selvina Voice w katalogu domowym poleceniem install-user "
                              "i uruchom stamtąd.");
    case Kind::packageManaged:
        return QStringLiteral("Jest nowsza wersja Selvina Voice. Zainstalował mnie menedżer pakietów, więc "
                              "zaktualizuj system, a ja uruchomię się ponownie sama, gdy skończymy rozmawiać.");
    }
    return {};
}

} // namespace selvina::update
