// The key field on its own, with a keyring the test answers for: a save waits for the keyring
// without a second one racing it, a missing keyring leads to the file only on the user's word, and an
// empty field removes the key only after a yes.
#include "TestSupport.h"

#include "settingspanes/ApiKeyField.h"

#include <QApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPromise>
#include <QPushButton>

#include <gtest/gtest.h>

namespace selvina::settingspanes {
namespace {

using platform::SecretOutcome;
using namespace selvina::testing;

template <typename W>
W* named(QWidget& in, const QString& name)
{
    for (W* w : in.findChildren<W*>())
        if (w->accessibleName() == name || (std::is_same_v<W, QPushButton> && w->property("text").toString() == name))
            return w;
    return nullptr;
}

bool noteSays(QWidget& in, const QString& part)
{
    return waitFor([&] {
        for (QLabel* l : in.findChildren<QLabel*>())
            if (l->isVisibleTo(&in) && l->text().contains(part))
                return true;
        return false;
    });
}

TEST(ApiKeyField, OneSaveAtATimeTheFileOnlyOnTheUsersWordAndRemovingOnlyAfterAYes)
{
    QTemporaryDir dir;
    const QString config = dir.filePath(QStringLiteral("config.json"));
    writeFile(config, R"({"reasoning_engine": "claude"})");
    QStringList stored;
    std::shared_ptr<QPromise<SecretOutcome>> pending;
    ApiKeyField::Services services;
    services.provider = QStringLiteral("Anthropic");
    services.configFile = config;
    services.fileKey = QStringLiteral("anthropic_api_key");
    services.store = [&](const QString& value) {
        stored << value;
        pending = std::make_shared<QPromise<SecretOutcome>>();
        pending->start();
        return pending->future();
    };
    ApiKeyField field(services);
    field.show();
    auto* text = named<QLineEdit>(field, QStringLiteral("Klucz Anthropic"));
    auto* save = named<QPushButton>(field, QStringLiteral("Zapisz klucz"));
    ASSERT_TRUE(text && save);

    // Pasted with blanks around it, saved twice in a row: one store, of the trimmed key. The button
    // pressed waits disabled, and the focus waits in the field, not wherever Qt would send it.
    QApplication::setActiveWindow(&field);
    ASSERT_TRUE(waitFor([&] { return field.isActiveWindow(); }));
    text->setText(QStringLiteral("  sk-ant-0123456789\n"));
    save->setFocus();
    save->click();
    Q_EMIT text->returnPressed();
    EXPECT_EQ(stored, QStringList{QStringLiteral("sk-ant-0123456789")});
    EXPECT_FALSE(save->isEnabled());
    EXPECT_TRUE(text->hasFocus()) << (QApplication::focusWidget() ? QApplication::focusWidget()->accessibleName().toStdString() : "none");

    // No keyring: said, and the file is offered, not used.
    pending->addResult(SecretOutcome::noService);
    pending->finish();
    ASSERT_TRUE(noteSays(field, QStringLiteral("Na tym komputerze nie działa pęk kluczy systemu")));
    EXPECT_TRUE(noteSays(field, QStringLiteral("Klucza nie zapisałam.")));
    EXPECT_EQ(QJsonDocument::fromJson(readFile(config)).object().size(), 1);
    auto* toFile = named<QPushButton>(field, QStringLiteral("Zapisz w pliku config.json"));
    ASSERT_TRUE(toFile && toFile->isVisibleTo(&field));
    toFile->click();
    EXPECT_EQ(QJsonDocument::fromJson(readFile(config)).object(),
              (QJsonObject{{"reasoning_engine", "claude"}, {"anthropic_api_key", "sk-ant-0123456789"}}));
    EXPECT_TRUE(noteSays(field, QStringLiteral("zapisany w pliku")));
    EXPECT_TRUE(text->text().isEmpty());
    EXPECT_FALSE(toFile->isVisibleTo(&field));

    // An empty field asks first; "Nie" keeps the key.
    const auto answer = [&](QMessageBox::StandardButton button) {
        QMessageBox* box = nullptr;
        if (!waitFor([&] { return (box = field.findChild<QMessageBox*>()) != nullptr && box->isVisible(); }))
            return false;
        box->button(button)->click();
        return true;
    };
    save->click();
    ASSERT_TRUE(answer(QMessageBox::No));
    EXPECT_TRUE(noteSays(field, QStringLiteral("Klucz został, nic nie zmieniłam.")));
    EXPECT_EQ(stored.size(), 1);
    settle();
    save->click();
    ASSERT_TRUE(answer(QMessageBox::Yes));
    EXPECT_EQ(stored.size(), 2);
    EXPECT_EQ(stored.last(), QString());
    pending->addResult(SecretOutcome::done);
    pending->finish();
    EXPECT_TRUE(noteSays(field, QStringLiteral("Klucz Anthropic usunięty z pęku kluczy systemu.")));
}

// A service that does not answer leaves the key unverified: kept, with a warning.
TEST(ApiKeyField, AnUnansweredCheckStoresTheKeyWithAWarning)
{
    QStringList stored;
    ApiKeyField::Services services;
    services.provider = QStringLiteral("OpenAI");
    services.check = [](QString) -> QCoro::Task<settings::KeyCheck> {
        co_return settings::KeyCheck{settings::KeyCheck::Verdict::unverified, 0, QStringLiteral("OpenAI nie odpowiedziało w ciągu 15 s")};
    };
    services.store = [&stored](const QString& value) {
        stored << value;
        return QtFuture::makeReadyFuture(SecretOutcome::done);
    };
    ApiKeyField field(services);
    field.show();
    named<QLineEdit>(field, QStringLiteral("Klucz OpenAI"))->setText(QStringLiteral("sk-0123456789"));
    named<QPushButton>(field, QStringLiteral("Zapisz klucz"))->click();
    EXPECT_TRUE(noteSays(field, QStringLiteral("Nie udało się sprawdzić klucza: OpenAI nie odpowiedziało w ciągu 15 s. "
                                               "Zapisałam go mimo to;")));
    EXPECT_TRUE(noteSays(field, QStringLiteral("zapisany w pęku kluczy systemu, kończy się na …456789.")));
    EXPECT_EQ(stored, QStringList{QStringLiteral("sk-0123456789")});
}

} // namespace
} // namespace selvina::settingspanes
