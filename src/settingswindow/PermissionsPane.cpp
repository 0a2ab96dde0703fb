#include "settingswindow/PermissionsPane.h"

#include "settingswindow/Announcement.h"
#include "settingswindow/PaneWidgets.h"

#include <QApplication>
#include <QHBoxLayout>

namespace selvina::settingswindow {

using diagnostics::Permission;

namespace {

const QString kAutomation = QStringLiteral("Automatyzacja: ");
// Granted, they reach only applications started afterwards.
const QStringList kRestartSet = {QStringLiteral("Dostępność")};

} // namespace

PermissionGroups PermissionGroups::of(const std::vector<Permission>& permissions)
{
    PermissionGroups g;
    for (const Permission& p : permissions) {
        if (p.granted == false)
            g.missing.push_back(p);
        else if (p.granted == true)
            g.granted.push_back(p);
        else if (p.name.startsWith(kAutomation))
            g.onUse.push_back(p);
        else
            g.unknown.push_back(p);
    }
    return g;
}

QString PermissionGroups::headline() const
{
    const std::size_t all = missing.size() + unknown.size() + onUse.size() + granted.size();
    if (!missing.empty())
        return QStringLiteral("Brakuje %1 z %2").arg(missing.size()).arg(all);
    if (!unknown.empty())
        return QStringLiteral("Komplet zgód, %1 nierozstrzygniętych").arg(unknown.size());
    return QStringLiteral("Wszystkie %1 uprawnień nadane").arg(all);
}

bool PermissionGroups::needsRestart() const
{
    return std::any_of(missing.begin(), missing.end(), [](const Permission& p) { return kRestartSet.contains(p.name); });
}

PermissionsPane::PermissionsPane(AuditFactory makeAudit, std::function<void()> restart, QWidget* parent)
    : QWidget(parent), m_makeAudit(std::move(makeAudit)), m_restart(std::move(restart))
{
    setAccessibleName(QStringLiteral("Uprawnienia"));
    m_column = new QVBoxLayout(this);
    rebuild();
    // Something fixed in the desktop's settings shows up on coming back.
    connect(qApp, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
        if (state == Qt::ApplicationActive && isVisible())
            refresh();
    });
}

void PermissionsPane::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    refresh();
}

QCoro::Task<> PermissionsPane::refresh()
{
    if (m_refreshing || !m_makeAudit)
        co_return;
    QPointer<PermissionsPane> self(this);
    m_refreshing = true;
    if (!m_audit)
        m_audit = m_makeAudit();
    const std::shared_ptr<diagnostics::PermissionAudit> audit = m_audit;
    std::vector<Permission> found = co_await audit->check();
    if (!self)
        co_return;
    m_refreshing = false;
    m_permissions = std::move(found);
    rebuild();
    Q_EMIT refreshed();
}

QCoro::Task<> PermissionsPane::ask(QString name)
{
    if (!m_audit)
        co_return;
    QPointer<PermissionsPane> self(this);
    const std::shared_ptr<diagnostics::PermissionAudit> audit = m_audit;
    m_asking = name;
    rebuild();
    const diagnostics::Outcome outcome = co_await audit->requestOutcome(name);
    if (!self)
        co_return;
    co_await refresh();
    if (!self)
        co_return;
    if (m_asking == name)
        m_asking.clear();
    rebuild();
    // The row has its new state, but the focus may be elsewhere: the result is said.
    for (const Permission& p : m_permissions)
        if (p.name == name)
            announce(this, p.name + QStringLiteral(": ")
                               + (p.granted == true ? QStringLiteral("nadane.")
                                  : p.granted == false ? QStringLiteral("brak zgody.")
                                                       : QStringLiteral("nierozstrzygnięte.")));
    if (outcome == diagnostics::Outcome::denied || outcome == diagnostics::Outcome::needsSettings)
        audit->openSettings(name);
}

void PermissionsPane::rebuild()
{
    // Focus stays where it was: rebuilding must not throw the screen reader to the top. It goes to
    // the control of the same name, else to what replaced the one pressed ("Trwa pytanie o zgodę").
    FocusKeeper keeper(this);
    delete m_content;
    m_content = new QWidget;
    m_column->addWidget(m_content);
    auto* column = new QVBoxLayout(m_content);
    const PermissionGroups g = PermissionGroups::of(m_permissions);

    QVBoxLayout* box = nullptr;
    column->addWidget(section(QStringLiteral("Podsumowanie"), box));
    box->addWidget(paragraph((g.missing.empty() ? QStringLiteral("✓ ") : QStringLiteral("⚠ "))
                             + (m_permissions.empty() ? QStringLiteral("Sprawdzam…") : g.headline())));
    if (!g.missing.empty()) {
        auto* all = button(QStringLiteral("Otwórz panele wszystkich brakujących"), QString());
        connect(all, &QPushButton::clicked, this, [this] {
            if (m_audit)
                for (const Permission& p : m_permissions)
                    if (p.granted != true)
                        m_audit->openSettings(p.name);
        });
        box->addWidget(all);
    }
    if (g.needsRestart() && m_restart) {
        auto* restart = button(QStringLiteral("Uruchom Selvina ponownie"),
                               QStringLiteral("Zamyka i uruchamia aplikację, żeby zgody nadane przed chwilą zaczęły obowiązywać"));
        connect(restart, &QPushButton::clicked, this, [this] { m_restart(); });
        box->addWidget(restart);
    }
    // The footer explains the buttons and the refresh: heard with "Odśwież", shown under it.
    const QString footer = QStringLiteral(
        "Przycisk przy pozycji wykonuje prawdziwą próbę w danym obszarze albo otwiera ustawienia pulpitu, w których to "
        "się naprawia. Lista odświeża się sama, gdy tu wrócisz.");
    auto* again = button(QStringLiteral("Odśwież"), footer);
    again->setToolTip(QString());
    connect(again, &QPushButton::clicked, this, [this] { refresh(); });
    box->addWidget(again);
    box->addWidget(passiveText(footer));

    struct Group {
        const std::vector<Permission>& list;
        const char* title;
        const char* stateWord;
        QString footer;
    };
    const Group groups[] = {
        {g.missing, "Brakuje", "brak zgody",
         QStringLiteral("Te zgody zostały odmówione albo nigdy nie padły. Do czasu ich nadania asystent będzie zgłaszał "
                        "usterki, które usterkami nie są.")},
        {g.unknown, "Nierozstrzygnięte", "nierozstrzygnięte",
         QStringLiteral("Stanu nie dało się ustalić: sprawdzenie nie odpowiedziało w wyznaczonym czasie albo usługi, którą "
                        "sprawdza, nie ma teraz w systemie. Przycisk przy pozycji ponawia próbę od razu.")},
        {g.onUse, "Poznamy przy użyciu", "poznamy przy pierwszym użyciu",
         QStringLiteral("Systemu nie da się o to zapytać, dopóki sterowana aplikacja jest ZAMKNIĘTA — odpowiada wtedy „nie "
                        "ma takiego procesu”, a nie „nie ma zgody”. To nie jest usterka i nie wymaga niczego od Ciebie: przy "
                        "pierwszym poleceniu, które tej aplikacji dotyczy, system zapyta sam. Przycisk niżej robi to samo od "
                        "razu, jeśli wolisz mieć to za sobą.")},
        {g.granted, "Nadane", "nadane", QStringLiteral("Nic tu nie trzeba robić.")},
    };
    for (const Group& group : groups) {
        if (group.list.empty())
            continue;
        column->addWidget(section(QString::fromUtf8(group.title), box));
        for (const Permission& p : group.list)
            addRow(box, p, group.stateWord);
        // "Nothing to do here" needs no stop of its own; the others are read as a paragraph.
        box->addWidget(&group.list == &g.granted ? passiveText(group.footer) : paragraph(group.footer));
    }
    column->addStretch(1);
}

void PermissionsPane::addRow(QVBoxLayout* into, const Permission& p, const char* stateWord)
{
    // A row is a layout, not a widget: Orca reads an unnamed container around a focused label as
    // the text of the whole group, once more.
    auto* h = new QHBoxLayout;
    const bool granted = p.granted == true;
    const QString text = p.name + QStringLiteral(", ") + QString::fromUtf8(stateWord);
    // Orca reads a label's name and never its description: the meaning and the remedy are in the
    // text itself, which is also the name.
    QStringList detail;
    if (granted) {
        detail << p.remedy;
    } else {
        detail << QStringLiteral("Bez tego ") + p.impact + QStringLiteral(".");
        if (p.granted == false && kRestartSet.contains(p.name))
            detail << QStringLiteral("Po włączeniu aplikacje uruchomione wcześniej trzeba uruchomić ponownie.");
        if (!p.remedy.trimmed().isEmpty())
            detail << QStringLiteral("Jak to naprawić: ") + p.remedy.trimmed();
    }
    detail.removeAll(QString());
    QLabel* label = paragraph(detail.isEmpty() ? text : text + QStringLiteral(".\n") + detail.join(QLatin1Char('\n')));
    label->setAccessibleName(detail.isEmpty() ? text : text + QStringLiteral(". ") + detail.join(QLatin1Char(' ')));
    h->addWidget(label, 1);
    if (m_asking == p.name) {
        h->addWidget(paragraph(QStringLiteral("Trwa pytanie o zgodę")));
    } else if (!granted && m_audit && m_audit->isRequestable(p.name)) {
        auto* ask = button(QStringLiteral("Poproś o dostęp"),
                           QStringLiteral("Wykona prawdziwą próbę w tym obszarze, żeby asystent naprawił to sam. Gdy to "
                                          "nie wystarczy, otworzy ustawienia pulpitu."));
        ask->setAccessibleName(QStringLiteral("Poproś o dostęp: ") + p.name);
        connect(ask, &QPushButton::clicked, this, [this, name = p.name] { this->ask(name); });
        h->addWidget(ask);
    } else if (!granted && m_audit && m_audit->hasPanel(p.name)) {
        auto* give = button(QStringLiteral("Nadaj…"), QStringLiteral("Otwiera ustawienia pulpitu: ") + p.remedy);
        give->setAccessibleName(QStringLiteral("Nadaj: ") + p.name);
        connect(give, &QPushButton::clicked, this, [this, name = p.name] {
            if (m_audit)
                m_audit->openSettings(name);
        });
        h->addWidget(give);
    }
    into->addLayout(h);
}

} // namespace selvina::settingswindow
