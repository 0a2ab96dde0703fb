// The per-user secret store (the desktop keyring): API keys kept out of plain files.
// Thread: any; calls may block briefly on the session bus (bounded by the backend's time-out).
#pragma once

#include <QString>

#include <optional>

namespace selvina::platform {

// What a change of the store came to, for a result the user is told.
enum class SecretOutcome {
    done,
    noService, // no Secret Service answers on the session bus
    locked,    // the keyring stayed locked (its unlock prompt was dismissed or could not be shown)
    timedOut,  // the service took longer than the store's time limit
    failed     // any other refusal
};

class SecretStore {
public:
    virtual ~SecretStore() = default;
    // The secret's text; absent when missing, empty, undecodable, locked or on any error.
    virtual std::optional<QString> read(const QString& account) = 0;
    // Trims the value; an empty value removes the item. True on success.
    virtual bool write(const QString& value, const QString& account) = 0;
    // True when the item is gone afterwards (also when there was none).
    virtual bool remove(const QString& account) = 0;
    // write() and remove() with the reason of a failure; stores that cannot tell answer failed.
    virtual SecretOutcome store(const QString& value, const QString& account)
    {
        return write(value, account) ? SecretOutcome::done : SecretOutcome::failed;
    }
    virtual SecretOutcome erase(const QString& account)
    {
        return remove(account) ? SecretOutcome::done : SecretOutcome::failed;
    }
};

inline constexpr const char* kSecretService = "pl.korlund.selvinavoice";
inline constexpr const char* kOpenAIAccount = "openai-api-key";
inline constexpr const char* kAnthropicAccount = "anthropic-api-key";

} // namespace selvina::platform
