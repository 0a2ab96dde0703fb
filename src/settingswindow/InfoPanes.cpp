#include "settingswindow/InfoPanes.h"

#include "settings/LaunchPreferences.h"
#include "settingswindow/PaneWidgets.h"

#include <QClipboard>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QFormLayout>
#include <QGuiApplication>
#include <QUrl>

namespace selvina::settingswindow {

DeveloperPane::DeveloperPane(settings::DeveloperPreferences& developer, QString runLogPath, QWidget* parent)
    : QWidget(parent), m_runLogPath(std::move(runLogPath))
{
    setAccessibleName(QStringLiteral("Developer"));
    auto* column = new QVBoxLayout(this);
    QVBoxLayout* box = nullptr;
    column->addWidget(section(QStringLiteral("Diagnostyka"), box));
    QCheckBox* preview = toggle(QStringLiteral("Podgląd przebiegu"),
                                QStringLiteral("Pokazuje pod znakiem listę kroków rozmowy i zapisuje ją do pliku"), box);
    preview->setChecked(developer.showDebugPanel());
    connect(preview, &QCheckBox::toggled, &developer, &settings::DeveloperPreferences::setShowDebugPanel);
    connect(&developer, &settings::DeveloperPreferences::showDebugPanelChanged, preview, [preview](bool on) {
        const QSignalBlocker blocker(preview);
        preview->setChecked(on);
    });
    // Heard with the toggle it explains, shown under it.
    const QString previewNote = QStringLiteral(
        "Okno pojawia się pod znakiem w rogu — wyłącznie na czas pracy, nie przez całą rozmowę. Widać w nim, który krok "
        "trwa i jak długo: bez tego „długo miele i nic nie robi” jest nie do rozstrzygnięcia, bo nie wiadomo, czy myśli "
        "model głosowy, czy wisi narzędzie w warstwie namysłu.");
    preview->setAccessibleDescription(preview->accessibleDescription() + QStringLiteral(". ") + previewNote);
    box->addWidget(passiveText(previewNote));

    column->addWidget(section(QStringLiteral("Dziennik"), box));
    m_size = paragraph(QString());
    box->addWidget(m_size);
    const QString logNote = QStringLiteral(
        "Dziennik zawiera TREŚĆ rozmowy: to, co powiedział asystent, wywołania narzędzi i ich wyniki — a więc także "
        "fragmenty wiadomości i innych danych, o które pytałeś. Zapis działa tylko przy włączonym podglądzie i nie "
        "kasuje się sam. Przed wysłaniem komuś pliku warto go przejrzeć.");
    auto* reveal = button(QStringLiteral("Pokaż w menedżerze plików"), logNote);
    reveal->setToolTip(QString());
    box->addWidget(reveal);
    connect(reveal, &QPushButton::clicked, this, [this] { revealInFileManager(m_runLogPath); });
    box->addWidget(passiveText(logNote));
    column->addStretch(1);
    refreshSize();
}

void DeveloperPane::showEvent(QShowEvent* event)
{
    refreshSize();
    QWidget::showEvent(event);
}

void DeveloperPane::refreshSize()
{
    const QString text = QStringLiteral("Plik dziennika: ")
                         + settings::DeveloperPreferences::logSize(m_runLogPath).value_or(QStringLiteral("pusty"));
    m_size->setText(text);
    m_size->setAccessibleName(text);
}

void DeveloperPane::revealInFileManager(const QString& path)
{
    const QUrl folder = QUrl::fromLocalFile(QFileInfo(path).absolutePath());
    if (!QFileInfo::exists(path)) {
        QDesktopServices::openUrl(folder);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.FileManager1"),
                                                       QStringLiteral("/org/freedesktop/FileManager1"),
                                                       QStringLiteral("org.freedesktop.FileManager1"),
                                                       QStringLiteral("ShowItems"));
    call << QStringList{QUrl::fromLocalFile(path).toString()} << QString();
    // Never waited for: a file manager that is slow to start must not hold the window up.
    auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, [folder](QDBusPendingCallWatcher* w) {
        if (w->isError())
            QDesktopServices::openUrl(folder);
        w->deleteLater();
    });
}

namespace {

QString firstLineValue(const QString& path, const QString& prefix)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    for (const QByteArray& raw : f.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed();
    }
    return {};
}

QString unquoted(QString value)
{
    if (value.size() >= 2 && (value.startsWith(u'"') || value.startsWith(u'\'')) && value.endsWith(value.front()))
        value = value.mid(1, value.size() - 2);
    return value;
}

QLabel* row(QFormLayout* form, const QString& name, const QString& value)
{
    QLabel* label = paragraph(value);
    label->setAccessibleName(name + QStringLiteral(": ") + value);
    // The caption would label the value as well, and Orca would say the name twice.
    auto* caption = new QLabel(name);
    form->addRow(caption, label);
    caption->setBuddy(nullptr);
    return label;
}

} // namespace

AboutInfo AboutInfo::ofThisBuild(const QString& buildInfoPath, const QString& osRelease)
{
    AboutInfo info;
    info.version = firstLineValue(buildInfoPath, QStringLiteral("wersja "));
    info.build = firstLineValue(buildInfoPath, QStringLiteral("commit "));
    info.system = unquoted(firstLineValue(osRelease, QStringLiteral("PRETTY_NAME=")));
    if (info.system.isEmpty())
        info.system = QStringLiteral("Linux");
    return info;
}

QString AboutInfo::versionLine() const
{
    return QStringLiteral("Selvina Voice ") + (version.isEmpty() ? QStringLiteral("?") : version) + QStringLiteral(" (budowa ")
           + (build.isEmpty() ? QStringLiteral("?") : build) + QStringLiteral(")");
}

AboutPane::AboutPane(AboutInfo info, QWidget* parent) : QWidget(parent), m_info(std::move(info))
{
    setAccessibleName(QStringLiteral("O aplikacji"));
    auto* column = new QVBoxLayout(this);
    QVBoxLayout* box = nullptr;
    column->addWidget(section(QStringLiteral("Wersja"), box));
    box->addWidget(paragraph(m_info.versionLine()));
    box->addWidget(paragraph(m_info.system));
    auto* copy = button(QStringLiteral("Skopiuj dane wersji"), QStringLiteral("Wersja i system do wklejenia w zgłoszeniu"));
    box->addWidget(copy);
    connect(copy, &QPushButton::clicked, this, [this] {
        QGuiApplication::clipboard()->setText(m_info.versionLine() + QLatin1Char('\n') + m_info.system);
    });
    const QString host = QUrl(m_info.updateFeed).host();
    box->addWidget(paragraph(
        QStringLiteral("Asystent głosowy dla osób niewidomych i słabowidzących.\n\n")
        + (host.isEmpty() ? QStringLiteral("Aktualizacje są wyłączone — brak adresu serwera.")
                          : QStringLiteral("Aktualizuje się sama, po cichu, a instalację odkłada do końca rozmowy. ")
                                + QStringLiteral("Nowe wydania pobiera z ") + host)));

    column->addWidget(section(QStringLiteral("Dokąd wychodzą dane"), box));
    auto* form = new QFormLayout;
    box->addLayout(form);
    row(form, QStringLiteral("Rozmowa"), QStringLiteral("OpenAI"));
    m_tasks = row(form, QStringLiteral("Zadania"), QStringLiteral("Anthropic"));
    box->addWidget(paragraph(QStringLiteral(
        "MÓWIENIE. Dopóki nie zawołasz, dźwięk NIE OPUSZCZA tego komputera: zawołania nasłuchuje własne rozpoznawanie "
        "mowy Selvina, działające na tym komputerze. Po zawołaniu dźwięk rozmowy idzie do OpenAI i wraca stamtąd jako "
        "głos.\n\n"
        "ZADANIA. Polecenie i to, co znajdą narzędzia, trafia do agenta — do Anthropic albo do OpenAI, zależnie od "
        "wybranego orkiestratora. Znaczy to, że treść wiadomości, wydarzeń z kalendarza czy obrazu z kamery, które "
        "właśnie sprawdzasz, wychodzi poza ten komputer.")));
    m_keys = paragraph(QString());
    box->addWidget(m_keys);
    box->addWidget(paragraph(QStringLiteral(
        "NIE PROWADZIMY własnego serwera i nie zbieramy o Tobie niczego. Dziennik pracy leży wyłącznie na tym dysku, "
        "w katalogu ~/.local/state/selvina-voice. Warunki dostawców obowiązują niezależnie od tego, co pisze tutaj.")));

    column->addWidget(section(QStringLiteral("Z czego korzysta"), box));
    form = new QFormLayout;
    box->addLayout(form);
    row(form, QStringLiteral("Aktualizacje"),
        QStringLiteral("własne, z wydaniami podpisanymi minisign i sprawdzanymi biblioteką libsodium; "
                       "instalację z pakietu aktualizuje apt"));
    row(form, QStringLiteral("Agenci"), QStringLiteral("Claude Code, Codex CLI"));
    row(form, QStringLiteral("Wtyczki"), QStringLiteral("Model Context Protocol"));
    box->addWidget(paragraph(QStringLiteral(
        "Wtyczki instalowane przez Ciebie to CUDZY KOD, który uruchamia się z Twoimi uprawnieniami. Za nie nie "
        "odpowiadamy — patrz Wtyczki, gdzie każdą da się wyłączyć albo usunąć. Składniki wymienione wyżej mają własne "
        "licencje i pozostają własnością ich autorów.")));

    column->addWidget(section(QStringLiteral("Warunki"), box));
    box->addWidget(paragraph(QStringLiteral(
        "To nie jest formalność. Asystent steruje prawdziwym domem i wykonuje prawdziwe polecenia: potrafi otworzyć "
        "zamek, wyłączyć ogrzewanie, wysłać wiadomość albo skasować plik. Rozpoznawanie mowy bywa mylne, a model bywa w "
        "błędzie — przy rzeczach, których nie da się cofnąć, Selvina pyta o potwierdzenie, ale nie zastępuje to Twojej "
        "uwagi.\n\n"
        "NIE JEST URZĄDZENIEM MEDYCZNYM ani systemem bezpieczeństwa. Nie polegaj na niej tam, gdzie w grę wchodzi "
        "zdrowie, życie albo ochrona mienia.")));
    column->addStretch(1);
}

void AboutPane::showEvent(QShowEvent* event)
{
    if (m_info.taskProvider) {
        const QString tasks = m_info.taskProvider();
        m_tasks->setText(tasks);
        m_tasks->setAccessibleName(QStringLiteral("Zadania: ") + tasks);
    }
    // Said of the keyring only while it holds every key in use.
    const QString keys = m_info.keysInKeyring && m_info.keysInKeyring()
        ? QStringLiteral("TWOJE KLUCZE zostają w pęku kluczy systemu (Secret Service). Nie wysyłamy ich nigdzie poza "
                         "dostawcę, do którego należą.")
        : QStringLiteral("TWOICH KLUCZY nie wysyłamy nigdzie poza dostawcę, do którego należą.");
    m_keys->setText(keys);
    m_keys->setAccessibleName(keys);
    QWidget::showEvent(event);
}

} // namespace selvina::settingswindow
