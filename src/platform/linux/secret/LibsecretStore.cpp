#include "platform/linux/secret/LibsecretStore.h"

#include "platform/linux/GDeadline.h"

#include <QStringDecoder>

#include <libsecret/secret.h>

namespace selvina::platform {

namespace {

const SecretSchema* schema()
{
    static const SecretSchema s = {
        kSecretService,
        SECRET_SCHEMA_DONT_MATCH_NAME,
        {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING}, {"account", SECRET_SCHEMA_ATTRIBUTE_STRING}, {nullptr, {}}},
        0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    return &s;
}

} // namespace

LibsecretStore::LibsecretStore(std::chrono::milliseconds timeout) : m_timeout(timeout) {}

std::optional<QString> LibsecretStore::read(const QString& account)
{
    const QByteArray acc = account.toUtf8();
    GError* error = nullptr;
    gchar* secret = nullptr;
    {
        GDeadline deadline(m_timeout);
        secret = secret_password_lookup_sync(schema(), deadline.cancellable(), &error, "service", kSecretService,
                                             "account", acc.constData(), nullptr);
    }
    if (error) {
        g_error_free(error);
        if (secret)
            secret_password_free(secret);
        return std::nullopt;
    }
    if (!secret)
        return std::nullopt;
    const QByteArray bytes(secret);
    secret_password_free(secret);
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder.decode(bytes);
    if (decoder.hasError() || text.isEmpty())
        return std::nullopt;
    return text;
}

bool LibsecretStore::write(const QString& value, const QString& account)
{
    const QString trimmed = value.trimmed();
    if (trimmed.isEmpty())
        return remove(account);
    const QByteArray acc = account.toUtf8();
    const QByteArray secret = trimmed.toUtf8();
    const QByteArray label = QStringLiteral("Selvina Voice: %1").arg(account).toUtf8();
    GError* error = nullptr;
    gboolean stored = FALSE;
    {
        GDeadline deadline(m_timeout);
        // Storing with the same attributes replaces the existing item.
        stored = secret_password_store_sync(schema(), SECRET_COLLECTION_DEFAULT, label.constData(),
                                            secret.constData(), deadline.cancellable(), &error, "service",
                                            kSecretService, "account", acc.constData(), nullptr);
    }
    if (error) {
        g_error_free(error);
        return false;
    }
    return stored;
}

bool LibsecretStore::remove(const QString& account)
{
    const QByteArray acc = account.toUtf8();
    GError* error = nullptr;
    {
        GDeadline deadline(m_timeout);
        // FALSE without an error means there was nothing to remove, which counts as success.
        secret_password_clear_sync(schema(), deadline.cancellable(), &error, "service", kSecretService, "account",
                                   acc.constData(), nullptr);
    }
    if (error) {
        g_error_free(error);
        return false;
    }
    return true;
}

} // namespace selvina::platform
