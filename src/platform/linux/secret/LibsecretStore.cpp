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

// The reason behind a GLib error of a libsecret call; `expired`: the call's deadline went off.
SecretOutcome outcomeOf(const GError* error, bool expired)
{
    if (expired || g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED) || g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT)
        || g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_TIMEOUT) || g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NO_REPLY))
        return SecretOutcome::timedOut;
    if (g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN)
        || g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER)
        || g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND)
        || g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_SPAWN_EXEC_FAILED)
        || g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_SPAWN_CHILD_EXITED)
        || g_error_matches(error, G_IO_ERROR, G_IO_ERROR_NOT_FOUND) || g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CLOSED)
        || g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_DISCONNECTED) || g_error_matches(error, G_IO_ERROR, G_IO_ERROR_FAILED_HANDLED))
        return SecretOutcome::noService;
    if (g_error_matches(error, SECRET_ERROR, SECRET_ERROR_IS_LOCKED))
        return SecretOutcome::locked;
    return SecretOutcome::failed;
}

} // namespace

LibsecretStore::LibsecretStore(std::chrono::milliseconds timeout, std::chrono::milliseconds writeTimeout)
    : m_timeout(timeout), m_writeTimeout(writeTimeout)
{
}

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
    return store(value, account) == SecretOutcome::done;
}

bool LibsecretStore::remove(const QString& account)
{
    return erase(account) == SecretOutcome::done;
}

SecretOutcome LibsecretStore::store(const QString& value, const QString& account)
{
    const QString trimmed = value.trimmed();
    if (trimmed.isEmpty())
        return erase(account);
    const QByteArray acc = account.toUtf8();
    const QByteArray secret = trimmed.toUtf8();
    const QByteArray label = QStringLiteral("Selvina Voice: %1").arg(account).toUtf8();
    GError* error = nullptr;
    gboolean stored = FALSE;
    bool expired = false;
    {
        // A locked keyring shows its unlock prompt within this call: the user's time to type the password.
        GDeadline deadline(m_writeTimeout);
        // Storing with the same attributes replaces the existing item.
        stored = secret_password_store_sync(schema(), SECRET_COLLECTION_DEFAULT, label.constData(),
                                            secret.constData(), deadline.cancellable(), &error, "service",
                                            kSecretService, "account", acc.constData(), nullptr);
        expired = deadline.expired();
    }
    if (error) {
        const SecretOutcome outcome = outcomeOf(error, expired);
        g_error_free(error);
        return outcome;
    }
    // Without an error, a store that did not happen is an unlock prompt the user dismissed.
    return stored ? SecretOutcome::done : SecretOutcome::locked;
}

SecretOutcome LibsecretStore::erase(const QString& account)
{
    const QByteArray acc = account.toUtf8();
    GError* error = nullptr;
    bool expired = false;
    {
        GDeadline deadline(m_writeTimeout);
        // FALSE without an error means there was nothing to remove, which counts as success.
        secret_password_clear_sync(schema(), deadline.cancellable(), &error, "service", kSecretService, "account",
                                   acc.constData(), nullptr);
        expired = deadline.expired();
    }
    if (error) {
        const SecretOutcome outcome = outcomeOf(error, expired);
        g_error_free(error);
        return outcome;
    }
    return SecretOutcome::done;
}

} // namespace selvina::platform
