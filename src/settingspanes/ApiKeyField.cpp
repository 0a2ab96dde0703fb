#include "settingspanes/ApiKeyField.h"

#include "core/SidecarLog.h"
#include "settings/SpeechPreferences.h"
#include "settingspanes/PaneWidgets.h"
#include "settingswindow/Announcement.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include <qcoro/qcorofuture.h>

namespace selvina::settingspanes {

namespace {

using platform::SecretOutcome;

QString keyringProblem(SecretOutcome outcome)
{
    switch (outcome) {
    case SecretOutcome::done:
        break;
    case SecretOutcome::noService:
        return QStringLiteral("Na tym komputerze nie działa pęk kluczy systemu (usługa Secret Service, na przykład "
                              "gnome-keyring).");
    case SecretOutcome::locked:
        return QStringLiteral("Pęk kluczy systemu jest zablokowany i nie został odblokowany. Odblokuj go hasłem "
                              "logowania, gdy o nie zapyta, albo w programie Hasła i klucze, i spróbuj jeszcze raz.");
    case SecretOutcome::timedOut:
        return QStringLiteral("Pęk kluczy systemu nie odpowiedział na czas.");
    case SecretOutcome::failed:
        return QStringLiteral("Pęk kluczy systemu odmówił zapisu.");
    }
    return {};
}

} // namespace

ApiKeyField::ApiKeyField(Services services, QWidget* parent) : QWidget(parent), m_services(std::move(services))
{
    const QString name = QStringLiteral("Klucz ") + m_services.provider;
    auto* form = new QFormLayout(this);
    form->setContentsMargins(0, 0, 0, 0);
    m_summary = makeNote({}, NoteFocus::reachable);
    form->addRow(m_summary);
    m_field = addRow(form, name + QLatin1Char(':'), new QLineEdit);
    m_field->setEchoMode(QLineEdit::Password);
    m_field->setAccessibleDescription(QStringLiteral("Wklej klucz i naciśnij Enter albo przycisk Zapisz klucz. "
                                                     "Klucz trafia do pęku kluczy systemu, nie do pliku."));
    auto* buttons = new QHBoxLayout;
    m_save = new QPushButton(QStringLiteral("Zapisz klucz"));
    m_remove = new QPushButton(QStringLiteral("Usuń klucz"));
    m_remove->setAccessibleDescription(QStringLiteral("Usuwa klucz ") + m_services.provider
                                       + QStringLiteral(" z pęku kluczy systemu, po potwierdzeniu."));
    m_toFile = new QPushButton(QStringLiteral("Zapisz w pliku config.json"));
    m_toFile->setAccessibleDescription(QStringLiteral("Zapisuje klucz w pliku ") + m_services.configFile
                                       + QStringLiteral(", czytelnym tylko dla Ciebie."));
    m_toFile->hide();
    for (QPushButton* b : {m_save, m_remove, m_toFile})
        buttons->addWidget(b);
    buttons->addStretch(1);
    form->addRow(buttons);
    m_note = makeNote({}, NoteFocus::reachable);
    form->addRow(m_note);
    showSummary();

    connect(m_save, &QPushButton::clicked, this, &ApiKeyField::save);
    connect(m_field, &QLineEdit::returnPressed, this, &ApiKeyField::save);
    connect(m_remove, &QPushButton::clicked, this, &ApiKeyField::remove);
    connect(m_toFile, &QPushButton::clicked, this, &ApiKeyField::saveToFile);
}

void ApiKeyField::focusField()
{
    m_field->setFocus(Qt::OtherFocusReason);
}

void ApiKeyField::showSummary()
{
    const app::ResolvedKey key = m_services.current ? m_services.current() : app::ResolvedKey{};
    const auto summary = settings::SpeechPreferences::summaryOf(key.value);
    QString text = QStringLiteral("Nie ma klucza ") + m_services.provider + QLatin1Char('.');
    if (summary) {
        text = QStringLiteral("Używany klucz ") + m_services.provider + QStringLiteral(" kończy się na ") + *summary
               + QStringLiteral("; pochodzi z: ") + app::describe(key.source) + QLatin1Char('.');
    }
    setNote(m_summary, m_services.showsSummary ? text : QString());
    m_summary->setAccessibleName(text);
}

void ApiKeyField::report(const QString& sentence)
{
    logLine(QStringLiteral("[klucze] ") + sentence);
    setNote(m_note, sentence, NoteReport::silent);
    m_note->setAccessibleName(sentence);
    settingswindow::announce(m_note, sentence);
}

void ApiKeyField::setBusy(bool busy)
{
    // A second save while one runs would race it to the keyring: the buttons wait for the first.
    m_busy = busy;
    // A disabled button loses the focus to whatever Qt finds next (the window's toolbar): the focus
    // waits in the field instead, where the answer is heard and a refused key can be corrected.
    if (busy && (m_save->hasFocus() || m_remove->hasFocus() || m_toFile->hasFocus()))
        m_field->setFocus(Qt::OtherFocusReason);
    for (QPushButton* b : {m_save, m_remove, m_toFile})
        b->setEnabled(!busy);
}

void ApiKeyField::save()
{
    if (m_busy)
        return;
    const QString key = m_field->text().trimmed();
    if (key.isEmpty()) {
        remove();
        return;
    }
    setBusy(true);
    m_toFile->hide();
    if (m_services.check) {
        report(QStringLiteral("Sprawdzam klucz w ") + m_services.provider + QStringLiteral("…"));
        saveChecked(QPointer<ApiKeyField>(this), key);
    } else {
        storeInKeyring(QPointer<ApiKeyField>(this), key, {});
    }
}

QCoro::Task<> ApiKeyField::saveChecked(QPointer<ApiKeyField> self, QString key)
{
    const settings::KeyCheck check = co_await self->m_services.check(key);
    if (!self)
        co_return;
    if (check.verdict == settings::KeyCheck::Verdict::refused) {
        self->setBusy(false);
        self->report(self->m_services.provider + QStringLiteral(" odrzuciło ten klucz (kod ") + QString::number(check.status)
                     + QStringLiteral("), więc go nie zapisałam. Sprawdź, czy skopiowałeś go w całości."));
        co_return;
    }
    QString warning;
    if (check.verdict == settings::KeyCheck::Verdict::unverified)
        warning = QStringLiteral("Nie udało się sprawdzić klucza: ") + check.problem
                  + QStringLiteral(". Zapisałam go mimo to; jeśli jest błędny, rozmowa tego nie ukryje. ");
    co_await storeInKeyring(self, key, warning);
}

QCoro::Task<> ApiKeyField::storeInKeyring(QPointer<ApiKeyField> self, QString value, QString warning)
{
    if (!self)
        co_return;
    self->setBusy(true);
    const SecretOutcome outcome = co_await self->m_services.store(value);
    if (!self)
        co_return;
    self->setBusy(false);
    const bool removing = value.isEmpty();
    if (outcome == SecretOutcome::done) {
        self->m_field->clear();
        self->showSummary();
        Q_EMIT self->keyChanged();
        if (removing) {
            self->report(self->removedSentence());
        } else {
            const auto summary = settings::SpeechPreferences::summaryOf(value);
            self->report(warning + QStringLiteral("Klucz ") + self->m_services.provider
                         + QStringLiteral(" zapisany w pęku kluczy systemu, kończy się na ") + summary.value_or(QString())
                         + QStringLiteral(". Następna rozmowa go użyje."));
        }
        co_return;
    }
    QString sentence = keyringProblem(outcome) + QLatin1Char(' ')
                       + (removing ? QStringLiteral("Klucza nie usunęłam.") : QStringLiteral("Klucza nie zapisałam."));
    if (outcome == SecretOutcome::noService && !removing) {
        // Only on the user's word: a file is weaker than a keyring.
        self->m_pendingForFile = value;
        self->m_toFile->show();
        sentence += QStringLiteral(" Możesz zapisać go w pliku config.json, czytelnym tylko dla Ciebie: przycisk "
                                   "Zapisz w pliku config.json.");
    }
    self->report(warning + sentence);
}

QString ApiKeyField::removedSentence() const
{
    const app::ResolvedKey still = m_services.current ? m_services.current() : app::ResolvedKey{};
    QString sentence = QStringLiteral("Klucz ") + m_services.provider + QStringLiteral(" usunięty z pęku kluczy systemu.");
    if (still.value)
        sentence += QStringLiteral(" Nadal działa klucz z: ") + app::describe(still.source) + QLatin1Char('.');
    return sentence;
}

void ApiKeyField::remove()
{
    if (m_busy)
        return;
    // Window-modal and answered by its signal: no nested event loop while the user decides.
    auto* box = new QMessageBox(QMessageBox::Question, QStringLiteral("Usunąć klucz?"),
                                QStringLiteral("Usunąć klucz ") + m_services.provider + QStringLiteral(" z pęku kluczy systemu?"),
                                QMessageBox::Yes | QMessageBox::No, this);
    box->setDefaultButton(QMessageBox::No);
    box->setAttribute(Qt::WA_DeleteOnClose);
    connect(box, &QMessageBox::finished, this, [this](int answer) {
        if (answer != QMessageBox::Yes) {
            report(QStringLiteral("Klucz został, nic nie zmieniłam."));
            return;
        }
        m_field->clear();
        storeInKeyring(QPointer<ApiKeyField>(this), QString(), {});
    });
    box->open();
}

void ApiKeyField::saveToFile()
{
    if (m_busy || m_pendingForFile.isEmpty())
        return;
    const settings::ConfigWrite written =
        settings::writeConfigKey(m_services.configFile, m_services.fileKey, QJsonValue(m_pendingForFile));
    if (!written.written) {
        report(written.sentence);
        return;
    }
    m_pendingForFile.clear();
    m_field->clear();
    m_toFile->hide();
    showSummary();
    Q_EMIT keyChanged();
    report((written.sentence.isEmpty() ? QString() : written.sentence + QLatin1Char(' ')) + QStringLiteral("Klucz ")
           + m_services.provider + QStringLiteral(" zapisany w pliku ") + m_services.configFile
           + QStringLiteral(", czytelnym tylko dla Ciebie. Następna rozmowa go użyje."));
}

} // namespace selvina::settingspanes
