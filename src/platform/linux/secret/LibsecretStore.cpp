#include "platform/linux/secret/LibsecretStore.h"

#include <QStringDecoder>

#include <libsecret/secret.h>

#include <condition_variable>
#include <mutex>
#include <thread>

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

// Cancels the libsecret call when it outlives the time-out: a locked keyring may wait for a
// password prompt that nobody can see, and a dead daemon may never answer.
class Deadline {
public:
    explicit Deadline(std::chrono::milliseconds timeout) : m_cancellable(g_cancellable_new())
    {
        m_thread = std::thread([this, timeout] {
            std::unique_lock lock(m_mutex);
            if (!m_cv.wait_for(lock, timeout, [this] { return m_done; }))
                g_cancellable_cancel(m_cancellable);
        });
    }
    ~Deadline()
    {
        {
            std::lock_guard lock(m_mutex);
            m_done = true;
        }
        m_cv.notify_one();
        m_thread.join();
        g_object_unref(m_cancellable);
    }
    GCancellable* cancellable() const { return m_cancellable; }

private:
    GCancellable* m_cancellable;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_done = false;
    std::thread m_thread;
};

} // namespace

LibsecretStore::LibsecretStore(std::chrono::milliseconds timeout) : m_timeout(timeout) {}

std::optional<QString> LibsecretStore::read(const QString& account)
{
    const QByteArray acc = account.toUtf8();
    GError* error = nullptr;
    gchar* secret = nullptr;
    {
        Deadline deadline(m_timeout);
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
        Deadline deadline(m_timeout);
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
        Deadline deadline(m_timeout);
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
