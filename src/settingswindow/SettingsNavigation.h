// The settings window's panes, their search and the browser-like history of where the user went.
// Thread: main thread.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <variant>
#include <vector>

namespace selvina::settingswindow {

// In sidebar order.
enum class Pane { startup, reasoning, speech, plugins, privacy, developer, about };

struct PaneInfo {
    Pane pane;
    const char* rawValue;
    QString title;
    QStringList keywords;
};

// All seven, in sidebar order.
const std::vector<PaneInfo>& paneTable();
const PaneInfo& paneInfo(Pane pane);

// Case and diacritics dropped, white space trimmed: "  Zawołanie " → "zawolanie".
QString foldForSearch(const QString& text);
// The panes whose title or a keyword contains the folded query, in sidebar order; all for a blank one.
std::vector<Pane> matchingPanes(const QString& query);

// A pane, or a named place inside one (one plug-in's page).
struct Miejsce {
    std::variant<Pane, QString> where;

    static Miejsce panel(Pane pane) { return {pane}; }
    static Miejsce named(QString name) { return {std::move(name)}; }
    bool isPanel() const { return std::holds_alternative<Pane>(where); }
    bool operator==(const Miejsce&) const = default;
};

class NawigacjaUstawien : public QObject {
    Q_OBJECT
public:
    explicit NawigacjaUstawien(QObject* parent = nullptr);

    const std::vector<Miejsce>& historia() const { return m_historia; }
    int pozycja() const { return m_pozycja; }
    const Miejsce& biezace() const { return m_historia[std::size_t(m_pozycja)]; }
    bool mozeWstecz() const { return m_pozycja > 0; }
    bool mozeDalej() const { return m_pozycja + 1 < int(m_historia.size()); }
    // The nearest pane at or before the current entry; the start-up pane when there is none.
    Pane panelDoPodswietlenia() const;

    void idzDo(const Miejsce& miejsce);
    // Every entry equal to `miejsce` goes; the current one stays the same place where it can.
    void usunZHistorii(const Miejsce& miejsce);
    void wstecz();
    void dalej();

Q_SIGNALS:
    // After every change of the history or of the position.
    void changed();

private:
    std::vector<Miejsce> m_historia;
    int m_pozycja = 0;
};

} // namespace selvina::settingswindow
