// ApiKeyField: where the user types an API key ("Klucz OpenAI", "Klucz Anthropic") and saves it into
// the desktop's keyring, or removes it; which key is in use shows as its last six characters. An
// OpenAI key is first shown to the service, so that a mistyped one is refused here and not in the
// middle of the first conversation. Every result is said and stays in the field's note.
// Thread: main thread; the keyring and the service are waited for without blocking it.
#pragma once

#include "settings/Configuration.h"
#include "settings/ConfigFile.h"
#include "settings/ModelCatalog.h"

#include <QFuture>
#include <QPointer>
#include <QWidget>

#include <qcoro/qcorotask.h>

#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;

namespace selvina::settingspanes {

class ApiKeyField : public QWidget {
    Q_OBJECT
public:
    struct Services {
        QString provider;   // "OpenAI" or "Anthropic": the field is "Klucz " + provider
        QString configFile; // config.json, offered when there is no keyring
        QString fileKey;    // its key: "openai_api_key" or "anthropic_api_key"
        // Asks the service about a key; none: stored without asking.
        std::function<QCoro::Task<settings::KeyCheck>(QString key)> check;
        // Into the keyring; an empty value removes the item.
        std::function<QFuture<platform::SecretOutcome>(QString value)> store;
        // The key in use now and where it comes from.
        std::function<settings::ResolvedKey()> current;
        // Whether the field shows the summary of the key in use itself (a pane may show it already).
        bool showsSummary = true;
    };

    explicit ApiKeyField(Services services, QWidget* parent = nullptr);

    // The focus into the text field (the menu's "Wpisz klucz OpenAI…").
    void focusField();
    // Shows which key is in use now.
    void showSummary();

Q_SIGNALS:
    // A key was stored or removed: what reads keys may read them again.
    void keyChanged();

private:
    void save();
    void remove();
    void saveToFile();
    void report(const QString& sentence);
    void setBusy(bool busy);
    // While a save or removal runs, a press says so instead of racing it: true when busy.
    bool answeredBusy();
    static QCoro::Task<> saveChecked(QPointer<ApiKeyField> self, QString key);
    static QCoro::Task<> storeInKeyring(QPointer<ApiKeyField> self, QString value, QString warning);
    QString removedSentence() const;

    Services m_services;
    QLineEdit* m_field = nullptr;
    QPushButton* m_save = nullptr;
    QPushButton* m_remove = nullptr;
    QPushButton* m_toFile = nullptr; // only while the keyring is missing
    QLabel* m_summary = nullptr;
    QLabel* m_note = nullptr;
    QString m_pendingForFile; // the key the keyring could not take, until it goes into the file
    bool m_busy = false;
};

} // namespace selvina::settingspanes
