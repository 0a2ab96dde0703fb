#include "platform/linux/secret/LibsecretStore.h"

#include <QStringDecoder>

#include <libsecret/secret.h>

#include <atomic>
#include <condition_variable>
#include <memory>
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

// libsecret's synchronous calls can block for good: when an unlock prompt ends without an answer
// (cancelled at the call's deadline, or dismissed), libsecret 0.20 finishes its prompt task without
// a result ("g_task_return_error: assertion 'error != NULL' failed") and the call waits on it
// forever. So each call runs on a thread of its own with a cancellable; the caller cancels it at the
// deadline and waits a grace more. A call that does not come back then is left behind with its
// thread, and the caller goes on as if the keyring had not answered. The connection to the service
// is dropped with it, and after any failed call: its session may no longer wrap secrets ("The
// session wrapping the secret does not exist"), or the daemon behind it may have died of the
// dismissed prompt, and the next call opens a new one. A few calls may be left behind; after that
// no call is started until one of them comes back.
constexpr auto kGrace = std::chrono::milliseconds(1500);
constexpr int kMostLeftBehind = 4;
std::atomic<int> g_leftBehind{0};

template <typename Call>
auto bounded(std::chrono::milliseconds deadline, Call call) -> std::optional<decltype(call(nullptr))>
{
    using T = decltype(call(nullptr));
    if (g_leftBehind.load() >= kMostLeftBehind)
        return std::nullopt;
    struct Shared {
        ~Shared() { g_object_unref(cancellable); }
        GCancellable* cancellable = g_cancellable_new();
        std::mutex mutex;
        std::condition_variable answered;
        std::optional<T> value;
        bool leftBehind = false;
    };
    auto shared = std::make_shared<Shared>();
    std::thread([shared, call = std::move(call)]() mutable {
        T value = call(shared->cancellable);
        std::lock_guard lock(shared->mutex);
        if (shared->leftBehind) {
            --g_leftBehind;
            return;
        }
        shared->value = std::move(value);
        shared->answered.notify_one();
    }).detach();
    std::unique_lock lock(shared->mutex);
    const auto answered = [&] { return shared->value.has_value(); };
    if (!shared->answered.wait_for(lock, deadline, answered)) {
        lock.unlock(); // the cancellation's handlers run here
        g_cancellable_cancel(shared->cancellable);
        lock.lock();
        if (!shared->answered.wait_for(lock, kGrace, answered)) {
            shared->leftBehind = true;
            ++g_leftBehind;
            secret_service_disconnect();
            return std::nullopt;
        }
    }
    return std::move(shared->value);
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

// What a change that ended with `error` (freed here) comes to; the connection is dropped for the next call.
SecretOutcome failedWith(GError* error, bool expired)
{
    const SecretOutcome outcome = outcomeOf(error, expired);
    g_error_free(error);
    secret_service_disconnect();
    return outcome;
}

} // namespace

LibsecretStore::LibsecretStore(std::chrono::milliseconds timeout, std::chrono::milliseconds writeTimeout)
    : m_timeout(timeout), m_writeTimeout(writeTimeout)
{
}

std::optional<QString> LibsecretStore::read(const QString& account)
{
    const auto secret = bounded(m_timeout, [acc = account.toUtf8()](GCancellable* cancellable) -> std::optional<QByteArray> {
        GError* error = nullptr;
        gchar* secret = secret_password_lookup_sync(schema(), cancellable, &error, "service", kSecretService, "account",
                                                    acc.constData(), nullptr);
        std::optional<QByteArray> bytes;
        if (!error && secret)
            bytes = QByteArray(secret);
        if (error) {
            g_error_free(error);
            secret_service_disconnect();
        }
        if (secret)
            secret_password_free(secret);
        return bytes;
    });
    if (!secret || !*secret)
        return std::nullopt;
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder.decode(**secret);
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
    const QByteArray label = QStringLiteral("Selvina Voice: %1").arg(account).toUtf8();
    // A locked keyring shows its unlock prompt within this call: the user's time to type the password.
    const auto outcome = bounded(m_writeTimeout, [acc = account.toUtf8(), secret = trimmed.toUtf8(), label](GCancellable* cancellable) {
        GError* error = nullptr;
        // Storing with the same attributes replaces the existing item.
        const gboolean stored = secret_password_store_sync(schema(), SECRET_COLLECTION_DEFAULT, label.constData(),
                                                           secret.constData(), cancellable, &error, "service",
                                                           kSecretService, "account", acc.constData(), nullptr);
        if (error)
            return failedWith(error, g_cancellable_is_cancelled(cancellable));
        // Without an error, a store that did not happen is an unlock prompt the user dismissed.
        return stored ? SecretOutcome::done : SecretOutcome::locked;
    });
    return outcome.value_or(SecretOutcome::timedOut);
}

SecretOutcome LibsecretStore::erase(const QString& account)
{
    const auto outcome = bounded(m_writeTimeout, [acc = account.toUtf8()](GCancellable* cancellable) {
        GError* error = nullptr;
        // FALSE without an error means there was nothing to remove, which counts as success.
        secret_password_clear_sync(schema(), cancellable, &error, "service", kSecretService, "account", acc.constData(),
                                   nullptr);
        if (error)
            return failedWith(error, g_cancellable_is_cancelled(cancellable));
        return SecretOutcome::done;
    });
    return outcome.value_or(SecretOutcome::timedOut);
}

} // namespace selvina::platform
