// The per-user secret store (the desktop keyring): API keys kept out of plain files.
// Thread: any; calls may block briefly on the session bus (bounded by the backend's time-out).
#pragma once

#include <QString>

#include <optional>

namespace selvina::platform {

class SecretStore {
public:
    virtual ~SecretStore() = default;
    // The secret's text; absent when missing, empty, undecodable, locked or on any error.
    virtual std::optional<QString> read(const QString& account) = 0;
    // Trims the value; an empty value removes the item. True on success.
    virtual bool write(const QString& value, const QString& account) = 0;
    // True when the item is gone afterwards (also when there was none).
    virtual bool remove(const QString& account) = 0;
};

inline constexpr const char* kSecretService = "pl.korlund.selvinavoice";
inline constexpr const char* kOpenAIAccount = "openai-api-key";
inline constexpr const char* kAnthropicAccount = "anthropic-api-key";

} // namespace selvina::platform
