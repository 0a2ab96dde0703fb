#include "settingswindow/SettingsNavigation.h"

#include <algorithm>

namespace selvina::settingswindow {

namespace {

QStringList words(std::initializer_list<const char*> list)
{
    QStringList out;
    for (const char* w : list)
        out.append(QString::fromUtf8(w));
    return out;
}

} // namespace

const std::vector<PaneInfo>& paneTable()
{
    static const std::vector<PaneInfo> table = {
        {Pane::startup, "startup", QStringLiteral("Uruchamianie"),
         words({"autostart", "start", "logowanie", "uruchamianie", "przy starcie", "systemu", "elementy logowania", "skrót",
                "skrot", "klawisz", "kombinacja", "hej selvina", "zawołanie", "zawolanie", "wywołanie"})},
        {Pane::reasoning, "reasoning", QStringLiteral("Inteligencja"),
         words({"agent", "claude", "codex", "silnik", "namysł", "rozumowanie", "poziom", "model", "myślenie", "effort", "opus",
                "sonnet", "klucz", "openai", "api", "inteligencja"})},
        {Pane::speech, "speech", QStringLiteral("Mowa"),
         words({"głos", "tempo", "szybkość", "mowa", "model", "słuch", "mikrofon", "cisza", "czułość", "odszumianie", "vad",
                "próbka"})},
        {Pane::plugins, "plugins", QStringLiteral("Wtyczki"),
         words({"wtyczki", "mcp", "adaptery", "narzędzia", "rozszerzenia", "skróty", "safari", "poczta", "kontakty", "dom"})},
        {Pane::privacy, "privacy", QStringLiteral("Uprawnienia"),
         words({"uprawnienia", "zgody", "mikrofon", "dostępność", "ekran", "dysk", "kontakty", "kalendarz", "sieć",
                "automatyzacja", "prywatność"})},
        {Pane::developer, "developer", QStringLiteral("Developer"), words({"debug", "podgląd", "przebieg", "dziennik", "log"})},
        {Pane::about, "about", QStringLiteral("O aplikacji"),
         words({"wersja", "o aplikacji", "licencja", "prawa", "gwarancja", "dane", "prywatność", "aktualizacje", "informacje"})},
    };
    return table;
}

const PaneInfo& paneInfo(Pane pane)
{
    return paneTable()[std::size_t(pane)];
}

QString foldForSearch(const QString& text)
{
    // Decomposition drops the accents of ą, ę, ó, ś, ż, ź, ć, ń; ł has none to drop.
    const QString decomposed = text.trimmed().toLower().normalized(QString::NormalizationForm_KD);
    QString out;
    out.reserve(decomposed.size());
    for (const QChar c : decomposed) {
        if (c.category() == QChar::Mark_NonSpacing)
            continue;
        out.append(c == u'ł' ? QChar(u'l') : c);
    }
    return out;
}

std::vector<Pane> matchingPanes(const QString& query)
{
    const QString q = foldForSearch(query);
    std::vector<Pane> out;
    for (const PaneInfo& info : paneTable()) {
        const bool hit = q.isEmpty() || foldForSearch(info.title).contains(q)
                         || std::any_of(info.keywords.begin(), info.keywords.end(),
                                        [&](const QString& k) { return foldForSearch(k).contains(q); });
        if (hit)
            out.push_back(info.pane);
    }
    return out;
}

NawigacjaUstawien::NawigacjaUstawien(QObject* parent) : QObject(parent), m_historia{Miejsce::panel(Pane::startup)} {}

Pane NawigacjaUstawien::panelDoPodswietlenia() const
{
    for (int i = m_pozycja; i >= 0; --i)
        if (const Pane* pane = std::get_if<Pane>(&m_historia[std::size_t(i)].where))
            return *pane;
    return Pane::startup;
}

void NawigacjaUstawien::idzDo(const Miejsce& miejsce)
{
    if (biezace() == miejsce)
        return;
    m_historia.resize(std::size_t(m_pozycja) + 1);
    m_historia.push_back(miejsce);
    m_pozycja = int(m_historia.size()) - 1;
    Q_EMIT changed();
}

void NawigacjaUstawien::usunZHistorii(const Miejsce& miejsce)
{
    const auto before = m_historia;
    const int beforePozycja = m_pozycja;
    const int kept = int(std::count_if(before.begin(), before.begin() + m_pozycja + 1,
                                       [&](const Miejsce& m) { return !(m == miejsce); }));
    std::erase(m_historia, miejsce);
    if (m_historia.empty()) {
        m_historia = {Miejsce::panel(Pane::startup)};
        m_pozycja = 0;
    } else {
        m_pozycja = std::max(std::min(kept, int(m_historia.size())) - 1, 0);
    }
    if (m_historia != before || m_pozycja != beforePozycja)
        Q_EMIT changed();
}

void NawigacjaUstawien::wstecz()
{
    if (!mozeWstecz())
        return;
    --m_pozycja;
    Q_EMIT changed();
}

void NawigacjaUstawien::dalej()
{
    if (!mozeDalej())
        return;
    ++m_pozycja;
    Q_EMIT changed();
}

} // namespace selvina::settingswindow
