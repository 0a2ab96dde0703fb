#include "settingspanes/PluginsPane.h"

#include "plugins/PluginCatalog.h"
#include "settings/ReasoningPreferences.h"
#include "settingspanes/PaneWidgets.h"
#include "settingswindow/Announcement.h"
#include "settingswindow/PaneWidgets.h"
#include "settingswindow/SettingsNavigation.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>

namespace selvina::settingspanes {

namespace {

using settingswindow::Miejsce;
using settingswindow::paragraph;
using plugins::PluginCatalog;
using plugins::PluginStore;

const QString kWarning = QStringLiteral("⚠ ");
const QString kRowHelp = QStringLiteral("Każda wtyczka ma własną stronę: przełącznik, wybór narzędzi i usuwanie. Wejdź w "
                                        "wiersz albo naciśnij go klawiszem spacji.");
const QString kInstallHelp = QStringLiteral("Pobierają się z rejestru npm, z weryfikacją sumy kontrolnej. Nie jadą w pakiecie "
                                            "aplikacji, więc aktualizacja adaptera nie wymaga nowego wydania Selvina.");

QString engineWord(settings::ReasoningPreferences& reasoning)
{
    return reasoning.activeEngine() == settings::ReasoningPreferences::Engine::codex ? QStringLiteral("Codex")
                                                                                   : QStringLiteral("Claude");
}

// Empties a layout, deleting its widgets and nested layouts.
void clear(QLayout* layout)
{
    while (QLayoutItem* item = layout->takeAt(0)) {
        if (QWidget* w = item->widget())
            delete w;
        else if (QLayout* inner = item->layout())
            clear(inner);
        delete item;
    }
}

// Shown, or about to be: a widget added to a shown parent appears only on the next turn of the
// event loop, so it is not visible yet right after a rebuild, but it takes the focus once it is.
bool willShow(const QWidget* w, const QWidget* within)
{
    for (; w != nullptr && w != within; w = w->parentWidget())
        if (w->isHidden() && w->testAttribute(Qt::WA_WState_ExplicitShowHide))
            return false;
    return true;
}

// Rebuilding a section under the keyboard focus would drop Orca's place: the control of the same
// name gets the focus back; when it is gone, the first of the preferred names (the control that
// took its place), else the note that says what happened, else the first control there is.
class FocusKeeper {
public:
    explicit FocusKeeper(QWidget* within, bool take = false)
        : m_within(within)
    {
        if (QWidget* f = QApplication::focusWidget(); f != nullptr && within->isAncestorOf(f))
            m_preferred.append(f->accessibleName());
        else if (!take)
            m_within = nullptr;
    }
    ~FocusKeeper()
    {
        if (m_within == nullptr)
            return;
        const QList<QWidget*> all = m_within->findChildren<QWidget*>();
        const auto takes = [this](QWidget* w) { return willShow(w, m_within) && (w->focusPolicy() & Qt::TabFocus); };
        for (const QString& name : std::as_const(m_preferred))
            for (QWidget* w : all)
                if (!name.isEmpty() && w->accessibleName() == name && takes(w)) {
                    w->setFocus(Qt::OtherFocusReason);
                    return;
                }
        if (m_note != nullptr && takes(m_note)) {
            m_note->setFocus(Qt::OtherFocusReason);
            return;
        }
        for (QWidget* w : all)
            if (takes(w)) {
                w->setFocus(Qt::OtherFocusReason);
                return;
            }
    }

    void prefer(const QStringList& names) { m_preferred += names; }
    void orNote(QWidget* note) { m_note = note; }
    // The rebuild placed the focus itself.
    void dismiss() { m_within = nullptr; }

private:
    QWidget* m_within;
    QStringList m_preferred;
    QWidget* m_note = nullptr;
};

QVBoxLayout* titledColumn(QVBoxLayout* into, const QString& title)
{
    QVBoxLayout* contents = nullptr;
    into->addWidget(settingswindow::section(title, contents));
    return contents;
}

// A running operation, as a bar without an end that Tab stops at and Orca names.
QProgressBar* busyIndicator(const QString& name)
{
    auto* bar = new QProgressBar;
    bar->setRange(0, 0);
    bar->setAccessibleName(name);
    bar->setFocusPolicy(Qt::StrongFocus);
    return bar;
}

// Vetted only when installed from the registry under the package name of a vetted catalogue
// entry at the catalogue's version: an archive, an address or a stranger of the same readable
// name may carry any name.
bool isVetted(const PluginStore& store, const PluginStore::Installed& p)
{
    return p.pakiet && p.zrodlo == QLatin1String("katalog")
        && std::any_of(store.available().begin(), store.available().end(),
                       [&](const PluginStore::Available& a) { return a.pakiet == *p.pakiet && a.sprawdzony; });
}

void refusedSwitch(QWidget* source)
{
    settingswindow::announce(source, QStringLiteral("Nie udało się zapisać zmiany w pliku plugins.json, więc wtyczka "
                                                    "została taka, jaka była."));
}

const PluginStore::Installed* installedNamed(const PluginStore& store, const QString& name)
{
    for (const PluginStore::Installed& p : store.installed())
        if (p.nazwa == name)
            return &p;
    return nullptr;
}

} // namespace

QString nazwaCzytelna(const QString& name)
{
    static const QHash<QString, QString> names{
        {QStringLiteral("filesystem"), QStringLiteral("Pliki")},
        {QStringLiteral("memory"), QStringLiteral("Pamięć")},
        {QStringLiteral("sequential-thinking"), QStringLiteral("Myślenie krok po kroku")},
    };
    return names.value(name, name);
}

QSet<QString> selectionAfterSwitch(const PluginStore::Narzedzia& tools, const QString& tool, bool on)
{
    QSet<QString> chosen;
    if (tools.wybrane) {
        chosen = *tools.wybrane;
    } else {
        for (const PluginStore::Tool& t : tools.wszystkie)
            chosen.insert(t.nazwa);
    }
    if (on)
        chosen.insert(tool);
    else
        chosen.remove(tool);
    return chosen;
}

void DeferredRebuild::schedule()
{
    if (std::exchange(m_queued, true))
        return;
    QMetaObject::invokeMethod(m_owner, [this] { flush(); }, Qt::QueuedConnection);
}

void DeferredRebuild::flush()
{
    if (!std::exchange(m_queued, false))
        return;
    m_rebuild();
}

// --- the list ---

PluginsPane::PluginsPane(PluginCatalog& catalog, PluginStore& store, settings::ReasoningPreferences& reasoning,
                         settingswindow::NawigacjaUstawien& nawigacja, QWidget* parent)
    : QWidget(parent), m_catalog(catalog), m_store(store), m_reasoning(reasoning), m_nawigacja(nawigacja)
{
    setAccessibleName(title());
    m_pages = new QVBoxLayout(this);
    m_pages->setContentsMargins(0, 0, 0, 0);

    m_list = new QWidget;
    m_list->setAccessibleName(title());
    auto* column = new QVBoxLayout(m_list);
    column->addWidget(paragraph(QStringLiteral(
        "Wtyczka wnosi asystentowi umiejętności. Wyłączona nie jest uruchamiana wcale — nie chodzi o ukrycie jej przed "
        "modelem, tylko o to, żeby cudzy kod nie chodził w tle z dostępem do Twoich danych. Zmiana obowiązuje od "
        "następnego polecenia.")));
    // Everything below the introduction is rebuilt with the lists, so that the order of creation,
    // which Tab follows, stays the order on the page.
    m_lists = new QVBoxLayout;
    column->addLayout(m_lists);
    column->addStretch();
    m_pages->addWidget(m_list);
    m_shown = m_list;

    connect(&m_store, &PluginStore::stateChanged, this, [this] { m_rebuild.schedule(); });
    // A failed operation of the user's (install, removal, an own plug-in) is said when it ends,
    // wherever the focus is; the background ones stay on the page.
    connect(&m_store, &PluginStore::operationFinished, this, [this](const QString& command) {
        // A removal carried out after a task is said by the application, with the window open or not.
        static const QStringList background{QStringLiteral("lista"), QStringLiteral("aktualizuj-wszystko"),
                                            QStringLiteral("domyslne"), QStringLiteral("narzedzia"),
                                            QStringLiteral("usun-po-zadaniu")};
        if (const auto& failure = m_store.failure(); failure && !background.contains(command))
            settingswindow::announce(this, *failure);
    });
    connect(&m_catalog, &PluginCatalog::pluginsChanged, this, [this] { m_rebuild.schedule(); });
    connect(&m_reasoning, &settings::ReasoningPreferences::enginesChanged, this, [this] { m_rebuild.schedule(); });
    connect(&m_reasoning, &settings::ReasoningPreferences::changed, this, [this] { m_rebuild.schedule(); });
    connect(&m_nawigacja, &settingswindow::NawigacjaUstawien::changed, this, &PluginsPane::followNavigation);
    connect(&m_store, &PluginStore::outcome, this, [this](const QString& command, const QString& subject, const std::optional<QString>& failure) {
        if (command == QLatin1String("usun-po-zadaniu"))
            return; // said by the application
        if (command == QLatin1String("zainstaluj"))
            settingswindow::announce(this, failure.value_or(QStringLiteral("Zainstalowano wtyczkę %1.").arg(nazwaCzytelna(subject))));
        else if (command == QLatin1String("usun"))
            settingswindow::announce(this, failure.value_or(QStringLiteral("Usunięto wtyczkę %1.").arg(nazwaCzytelna(subject))));
        else if (command == QLatin1String("usun-odlozone"))
            settingswindow::announce(this, QStringLiteral("Wtyczki %1 może teraz używać trwające zadanie, więc usunę ją, "
                                                          "gdy żadne zadanie nie będzie trwało. Powiem, kiedy to zrobię.")
                                               .arg(nazwaCzytelna(subject)));
        else if (failure && shownPlugin() != subject) // the plug-in's page, gone meanwhile, would have said it
            settingswindow::announce(this, *failure);
    });
    rebuildList();
    followNavigation();
    m_store.refresh();
}

PluginsPane::~PluginsPane() = default;

std::optional<QString> PluginsPane::shownPlugin() const
{
    if (m_page != nullptr && m_shown == m_page)
        return m_page->wtyczka();
    return std::nullopt;
}

void PluginsPane::followNavigation()
{
    const Miejsce& here = m_nawigacja.biezace();
    const auto* name = std::get_if<QString>(&here.where);
    if (name == nullptr) {
        if (m_shown != m_list) {
            // Back from a page (a removal, say): the focus must not stay on a page going away.
            QWidget* focus = QApplication::focusWidget();
            m_takeFocus = isVisible() && (focus == nullptr || (m_page != nullptr && m_page->isAncestorOf(focus)));
            showOnly(m_list);
            if (m_takeFocus)
                m_rebuild.schedule();
        }
        return;
    }
    if (m_page != nullptr && m_page->wtyczka() == *name && m_shown == m_page)
        return;
    if (m_page != nullptr) {
        m_pages->removeWidget(m_page);
        m_page->hide();
        m_page->deleteLater();
    }
    m_page = new PluginPage(*name, m_catalog, m_store, m_nawigacja);
    m_pages->addWidget(m_page);
    showOnly(m_page);
    // The page's first stop, so that Orca starts reading the page rather than the sidebar.
    if (isVisible())
        m_page->setFocus(Qt::OtherFocusReason);
}

void PluginsPane::showOnly(QWidget* shown)
{
    m_shown = shown;
    for (QWidget* w : {m_list, static_cast<QWidget*>(m_page)})
        if (w != nullptr)
            w->setVisible(w == shown);
}

void PluginsPane::rebuildList()
{
    FocusKeeper keeper(m_list, std::exchange(m_takeFocus, false));
    const QString subject = m_store.busy().value_or(m_subject);
    clear(m_lists);

    // Built-in: the engine-to-engine plug-in, there only when both agents are.
    QVBoxLayout* builtIn = titledColumn(m_lists, QStringLiteral("Wbudowane"));
    const PluginCatalog::Plugin* agent = nullptr;
    for (const PluginCatalog::Plugin& p : m_catalog.plugins())
        if (p.origin.kind == PluginCatalog::Origin::Kind::builtIn && p.id == QLatin1String("agent"))
            agent = &p;
    if (agent != nullptr) {
        QCheckBox* box = settingswindow::toggle(agent->name, agent->summary, builtIn);
        box->setChecked(agent->enabled);
        const QString id = agent->id;
        connect(box, &QCheckBox::toggled, this, [this, id](bool on) {
            if (!m_catalog.setEnabled(id, on ? PluginCatalog::Switch::on : PluginCatalog::Switch::off)) {
                refusedSwitch(this);
                m_rebuild.schedule(); // the switch shows again what is stored
            }
        });
    } else {
        builtIn->addWidget(paragraph(QStringLiteral(
            "Drugi agent pojawi się tutaj, gdy na komputerze będą zainstalowane i zalogowane oba: Claude Code i Codex CLI. "
            "Wtedy czynny agent będzie mógł oddać mu zadanie.")));
    }

    QVBoxLayout* installed = titledColumn(m_lists, QStringLiteral("Zainstalowane"));
    // A catalogue name goes only to what was installed from the catalogue (an archive or a stranger
    // goes by its package's name), so an entry of that name is the catalogue's own, installed.
    QSet<QString> installedNames;
    QString subjectRow;
    for (const PluginStore::Installed& p : m_store.installed()) {
        installedNames.insert(p.nazwa);
        QString text = QStringLiteral("%1 %2 — %3")
                           .arg(nazwaCzytelna(p.nazwa), p.wersja,
                                isVetted(m_store, p) ? QStringLiteral("sprawdzona") : QStringLiteral("niesprawdzona"));
        if (m_store.hasDeferredRemoval(p.nazwa))
            text += QStringLiteral(", do usunięcia po zadaniu");
        if (p.nazwa == subject)
            subjectRow = text;
        auto* row = settingswindow::button(text, kRowHelp);
        row->setFlat(true);
        row->setStyleSheet(QStringLiteral("text-align: left"));
        const QString name = p.nazwa;
        connect(row, &QPushButton::clicked, this, [this, name] { m_nawigacja.idzDo(Miejsce::named(name)); });
        installed->addWidget(row);
    }
    if (m_store.installed().isEmpty())
        installed->addWidget(paragraph(QStringLiteral("Nie zainstalowano jeszcze żadnej wtyczki.")));
    else // said with each row, which it explains; no Tab stop of its own
        installed->addWidget(settingswindow::passiveText(kRowHelp));

    QVBoxLayout* available = titledColumn(m_lists, QStringLiteral("Do zainstalowania"));
    bool any = false;
    for (const PluginStore::Available& a : m_store.available()) {
        if (installedNames.contains(a.nazwa))
            continue;
        any = true;
        QString text = QStringLiteral("%1 %2 (%3)").arg(nazwaCzytelna(a.nazwa), a.wersja, a.pakiet);
        if (a.domyslnie)
            text += QStringLiteral(", z kompletu domyślnego");
        text += QLatin1Char('.');
        if (!a.obejmuje.isEmpty())
            text += QStringLiteral(" Obejmuje: %1.").arg(a.obejmuje.join(QStringLiteral(", ")));
        if (!a.wada.isEmpty())
            text += QStringLiteral(" Znane wady: ") + a.wada.join(QLatin1Char(' '));
        available->addWidget(paragraph(text));
        if (m_store.busy() == a.nazwa) {
            available->addWidget(busyIndicator(QStringLiteral("Instaluję %1…").arg(nazwaCzytelna(a.nazwa))));
        } else {
            auto* install = settingswindow::button(QStringLiteral("Zainstaluj %1").arg(nazwaCzytelna(a.nazwa)), kInstallHelp);
            install->setEnabled(!m_store.busy());
            // Exactly the package the catalogue vetted: the registry may hold a stranger under the
            // plug-in's readable name.
            const QString name = a.nazwa;
            const QString pakiet = a.pakiet;
            connect(install, &QPushButton::clicked, this, [this, name, pakiet] {
                m_subject = name;
                m_store.perform(name, {QStringLiteral("zainstaluj"), pakiet});
            });
            available->addWidget(install);
        }
    }
    if (!any)
        available->addWidget(paragraph(QStringLiteral("Wszystkie wtyczki z katalogu są już zainstalowane.")));
    // Said with each install button; a Tab stop only when there is none.
    available->addWidget(any ? settingswindow::passiveText(kInstallHelp) : paragraph(kInstallHelp));
    // An operation the rows above do not show: an own plug-in being added, or one being removed.
    if (const auto& busy = m_store.busy();
        busy && std::none_of(m_store.available().begin(), m_store.available().end(),
                             [&](const PluginStore::Available& a) { return a.nazwa == *busy && !installedNames.contains(a.nazwa); })) {
        m_lists->addWidget(busyIndicator(QStringLiteral("Trwa operacja na wtyczce %1…").arg(nazwaCzytelna(*busy))));
    }

    if (const auto& failure = m_store.failure()) {
        QLabel* note = paragraph(*failure);
        m_lists->addWidget(note);
        keeper.orNote(note);
    }
    // After an install or a removal, the focus goes to what took the pressed control's place.
    if (!subject.isEmpty())
        keeper.prefer({QStringLiteral("Instaluję %1…").arg(nazwaCzytelna(subject)),
                       QStringLiteral("Trwa operacja na wtyczce %1…").arg(nazwaCzytelna(subject)), subjectRow,
                       // A failed install: its button is back, and the failure was said already.
                       QStringLiteral("Zainstaluj %1").arg(nazwaCzytelna(subject))});

    QVBoxLayout* own = titledColumn(m_lists, QStringLiteral("Własna wtyczka"));
    auto* add = settingswindow::button(QStringLiteral("Dodaj wtyczkę…"), QStringLiteral("Otwiera okno, w którym podasz adres wtyczki"));
    own->addWidget(add);
    own->addWidget(paragraph(kWarning + QStringLiteral("Wtyczka to CUDZY KOD, który uruchomi się z Twoimi uprawnieniami. "
                                                       "Dodawaj tylko to, czemu ufasz.")));
    connect(add, &QPushButton::clicked, this, &PluginsPane::addOwn, Qt::QueuedConnection);

    m_lists->addWidget(paragraph(QStringLiteral(
        "Wtyczki zainstalowane działają pod OBOMA agentami — to osobne programy, które oba potrafią uruchomić. "
        "Pracujesz teraz na %1.").arg(engineWord(m_reasoning))));
}

void PluginsPane::addOwn()
{
    QDialog sheet(this);
    sheet.setWindowTitle(QStringLiteral("Dodaj wtyczkę"));
    auto* column = new QVBoxLayout(&sheet);
    column->addWidget(paragraph(QStringLiteral(
        "Podaj nazwę pakietu npm — można z wersją po małpie — albo adres archiwum. Możesz też wskazać archiwum z dysku "
        "przyciskiem pod polem. Zależności dociągnie npm z kompletu, więc nie musisz mieć go w systemie.")));
    auto* address = new QLineEdit;
    address->setAccessibleName(QStringLiteral("Pakiet npm albo adres archiwum"));
    column->addWidget(address);
    auto* pick = settingswindow::button(QStringLiteral("Wybierz plik z dysku…"),
                                        QStringLiteral("Otwiera okno wyboru pliku. Wybrana ścieżka wpisze się w pole adresu, "
                                                       "instalacja ruszy dopiero po zatwierdzeniu"));
    column->addWidget(pick);
    connect(pick, &QPushButton::clicked, &sheet, [&sheet, address] {
        QFileDialog chooser(&sheet, QStringLiteral("Wybierz archiwum wtyczki"));
        chooser.setFileMode(QFileDialog::ExistingFile);
        chooser.setNameFilter(QStringLiteral("Archiwa pakietów npm (*.tgz *.tar.gz)"));
        chooser.setLabelText(QFileDialog::Accept, QStringLiteral("Wybierz"));
        if (chooser.exec() == QDialog::Accepted && !chooser.selectedFiles().isEmpty())
            address->setText(chooser.selectedFiles().first());
        address->setFocus();
    });
    auto* buttons = new QDialogButtonBox;
    QPushButton* cancel = buttons->addButton(QStringLiteral("Anuluj"), QDialogButtonBox::RejectRole);
    QPushButton* confirm = buttons->addButton(QStringLiteral("Dodaj"), QDialogButtonBox::AcceptRole);
    cancel->setAccessibleName(cancel->text());
    confirm->setAccessibleName(confirm->text());
    confirm->setEnabled(false);
    connect(address, &QLineEdit::textChanged, confirm, [confirm](const QString& text) { confirm->setEnabled(!text.trimmed().isEmpty()); });
    connect(buttons, &QDialogButtonBox::accepted, &sheet, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &sheet, &QDialog::reject);
    column->addWidget(buttons);
    address->setFocus();
    if (sheet.exec() != QDialog::Accepted)
        return;
    const QString what = address->text().trimmed();
    m_subject = what;
    m_store.perform(what, {QStringLiteral("zainstaluj"), what});
}

// --- one plug-in ---

PluginPage::PluginPage(QString wtyczka, PluginCatalog& catalog, PluginStore& store,
                       settingswindow::NawigacjaUstawien& nawigacja, QWidget* parent)
    : QWidget(parent), m_wtyczka(std::move(wtyczka)), m_catalog(catalog), m_store(store), m_nawigacja(nawigacja)
{
    setAccessibleName(QStringLiteral("Wtyczka %1").arg(nazwaCzytelna(m_wtyczka)));
    setFocusPolicy(Qt::NoFocus);
    auto* outer = new QVBoxLayout(this);
    m_content = new QVBoxLayout;
    outer->addLayout(m_content);
    outer->addStretch();
    connect(&m_store, &PluginStore::stateChanged, this, [this] { m_rebuild.schedule(); });
    connect(&m_catalog, &PluginCatalog::pluginsChanged, this, [this] { m_rebuild.schedule(); });
    connect(&m_store, &PluginStore::outcome, this, [this](const QString& command, const QString& subject, const std::optional<QString>& failure) {
        // A plug-in that does not answer, a selection not stored: the switches alone would not say it.
        if (subject == m_wtyczka && failure && (command == QLatin1String("narzedzia") || command == QLatin1String("ustaw-narzedzia")))
            settingswindow::announce(this, *failure);
    });
    connect(&m_store, &PluginStore::operationFinished, this, [this](const QString& command) {
        if (command == QLatin1String("narzedzia") && !m_store.narzedzia().contains(m_wtyczka) && !m_noAnswer) {
            m_noAnswer = true;
            m_rebuild.schedule();
        }
    });
    rebuild();
}

void PluginPage::rebuild()
{
    FocusKeeper keeper(this);
    // The plug-in switched off or on as a whole: the other button takes the pressed one's place.
    keeper.prefer({QStringLiteral("Włącz wtyczkę"), QStringLiteral("Wyłącz mimo to")});
    clear(m_content);
    const PluginStore::Installed* plugin = installedNamed(m_store, m_wtyczka);
    if (plugin == nullptr) {
        // Also the page opened before the store's first list arrived.
        m_content->addWidget(paragraph(QStringLiteral("Wtyczka %1 nie jest zainstalowana.").arg(m_wtyczka)));
        return;
    }
    if (!std::exchange(m_asked, true))
        m_store.wczytajNarzedzia(m_wtyczka);
    const auto tools = m_store.narzedzia().constFind(m_wtyczka);
    const bool known = tools != m_store.narzedzia().constEnd();
    const bool switchedOff = m_catalog.disabled().contains(m_wtyczka) || (known && tools->wybrane && tools->wybrane->isEmpty());

    // The rows in a form, the paragraphs under it: a wrapped label inside a form row loses its
    // last lines when the page is rebuilt.
    QVBoxLayout* aboutColumn = titledColumn(m_content, nazwaCzytelna(m_wtyczka));
    auto* about = new QFormLayout;
    aboutColumn->addLayout(about);
    const auto row = [about](const QString& label, const QString& value) {
        auto* field = new QLineEdit(value);
        field->setReadOnly(true);
        addRow(about, label, field);
    };
    row(QStringLiteral("Stan"), switchedOff ? QStringLiteral("wyłączona") : QStringLiteral("włączona"));
    row(QStringLiteral("Pochodzenie"), plugin->pakiet ? QStringLiteral("%1 (%2)").arg(*plugin->pakiet, plugin->zrodlo) : plugin->zrodlo);
    row(QStringLiteral("Wersja"), plugin->wersja);
    if (plugin->opis)
        aboutColumn->addWidget(paragraph(*plugin->opis));
    aboutColumn->addWidget(paragraph(QStringLiteral(
        "Wtyczka jest włączona dopóty, dopóki ma choć jedno narzędzie — to poniższe przełączniki nią rządzą i osobnego "
        "włącznika nie ma. Wyłączona NIE JEST uruchamiana: jej proces nie powstaje i nie dostaje dostępu do niczego. To "
        "nie jest ukrycie narzędzi przed asystentem, tylko niewpuszczenie cudzego kodu do systemu. Zmiana obowiązuje od "
        "następnego polecenia.\n\nUsunięcie kasuje pliki wtyczki z dysku razem z Twoim wyborem narzędzi. Zainstalować ją "
        "można ponownie, ale wybór trzeba będzie złożyć od nowa.")));

    if (m_catalog.disabled().contains(m_wtyczka)) {
        auto* on = settingswindow::button(QStringLiteral("Włącz wtyczkę"),
                                          QStringLiteral("Wtyczka była wyłączona w całości; znów będzie uruchamiana z wybranymi narzędziami"));
        connect(on, &QPushButton::clicked, this, [this] {
            if (!m_catalog.setEnabled(m_wtyczka, PluginCatalog::Switch::on))
                refusedSwitch(this);
        });
        aboutColumn->addWidget(on);
    }

    QVBoxLayout* toolColumn = titledColumn(m_content, QStringLiteral("Narzędzia"));
    if (!known && !m_noAnswer) {
        toolColumn->addWidget(paragraph(QStringLiteral("Pytam wtyczkę, co potrafi…")));
    } else if (!known) {
        QLabel* note = paragraph(m_store.failure().value_or(QStringLiteral("Wtyczka nie podała swoich narzędzi.")));
        toolColumn->addWidget(note);
        keeper.orNote(note);
        if (!m_catalog.disabled().contains(m_wtyczka)) {
            auto* off = settingswindow::button(QStringLiteral("Wyłącz mimo to"),
                                               QStringLiteral("Wtyczka nie będzie uruchamiana, choć nie znamy jej narzędzi"));
            connect(off, &QPushButton::clicked, this, [this] {
                if (!m_catalog.setEnabled(m_wtyczka, PluginCatalog::Switch::off))
                    refusedSwitch(this);
            });
            toolColumn->addWidget(off);
        }
    } else {
        int enabled = 0;
        for (const PluginStore::Tool& tool : tools->wszystkie) {
            const bool on = !tools->wybrane || tools->wybrane->contains(tool.nazwa);
            enabled += on ? 1 : 0;
            QCheckBox* box = settingswindow::toggle(tool.nazwa, tool.opis, toolColumn);
            box->setChecked(on);
            const QString name = tool.nazwa;
            connect(box, &QCheckBox::toggled, this, [this, name](bool now) {
                const auto current = m_store.narzedzia().constFind(m_wtyczka);
                if (current != m_store.narzedzia().constEnd())
                    m_store.ustawNarzedzia(m_wtyczka, selectionAfterSwitch(*current, name, now));
            });
        }
        toolColumn->addWidget(paragraph(QStringLiteral("Włączone narzędzia: %1 z %2").arg(enabled).arg(tools->wszystkie.size())));
        if (enabled == 0)
            toolColumn->addWidget(paragraph(kWarning + QStringLiteral(
                "Bez żadnego narzędzia wtyczka jest wyłączona i nie jest uruchamiana. Włącz choć jedno, żeby wróciła do pracy.")));
        auto* all = settingswindow::button(QStringLiteral("Włącz wszystkie"), QString());
        auto* none = settingswindow::button(QStringLiteral("Wyłącz wszystkie"),
                                            QStringLiteral("Wyłącza całą wtyczkę — bez narzędzi nie ma po co jej uruchamiać"));
        connect(all, &QPushButton::clicked, this, [this] { m_store.ustawNarzedzia(m_wtyczka, std::nullopt); });
        connect(none, &QPushButton::clicked, this, [this] { m_store.ustawNarzedzia(m_wtyczka, QSet<QString>{}); });
        toolColumn->addWidget(all);
        toolColumn->addWidget(none);
        toolColumn->addWidget(paragraph(QStringLiteral(
            "Wyłączone narzędzia znikają z pola widzenia asystenta — nie zobaczy ich i nie użyje. To nie przyspiesza pracy: "
            "narzędzia wtyczek i tak są dociągane dopiero wtedy, gdy asystent ich poszuka. Chodzi o to, czego cudzy kod NIE "
            "MOŻE tknąć.\n\nZdjęcie WSZYSTKICH narzędzi wyłącza całą wtyczkę — jej proces przestaje być uruchamiany. "
            "Chowanie narzędzi przy żywym procesie dawałoby cały koszt i całe ryzyko bez jednej korzyści. Drogą powrotną "
            "jest włączenie choćby jednego narzędzia.")));
    }

    QVBoxLayout* removal = titledColumn(m_content, QStringLiteral("Usuwanie"));
    if (!m_pytamOUsuniecie) {
        auto* remove = settingswindow::button(QStringLiteral("Usuń wtyczkę"), QStringLiteral("Skasuje pliki tej wtyczki. Zapyta o potwierdzenie"));
        remove->setEnabled(!m_store.busy());
        connect(remove, &QPushButton::clicked, this, [this] { askToRemove(true); });
        removal->addWidget(remove);
    } else {
        removal->addWidget(paragraph(QStringLiteral("Pliki wtyczki zostaną skasowane z dysku.")));
        auto* keep = settingswindow::button(QStringLiteral("Zachowaj"), QString());
        auto* confirm = settingswindow::button(QStringLiteral("Usuń pliki wtyczki"), QString());
        connect(keep, &QPushButton::clicked, this, [this] { askToRemove(false); });
        connect(confirm, &QPushButton::clicked, this, [this] {
            const QString name = m_wtyczka;
            auto& nawigacja = m_nawigacja;
            m_store.perform(name, {QStringLiteral("usun"), name});
            nawigacja.usunZHistorii(Miejsce::named(name)); // may delete this page
        });
        removal->addWidget(keep);
        removal->addWidget(confirm);
    }
    if (const QString target = std::exchange(m_focusAfterRebuild, QString()); !target.isEmpty()) {
        keeper.dismiss();
        for (QPushButton* b : findChildren<QPushButton*>())
            if (b->accessibleName() == target)
                b->setFocus(Qt::OtherFocusReason);
    }
}

void PluginPage::askToRemove(bool asking)
{
    m_pytamOUsuniecie = asking;
    // The question (or the button again) takes the focus, so that Orca reads where the user is.
    m_focusAfterRebuild = asking ? QStringLiteral("Zachowaj") : QStringLiteral("Usuń wtyczkę");
    m_rebuild.schedule();
}

} // namespace selvina::settingspanes
