// SecretStore over the Secret Service (gnome-keyring, KWallet) through libsecret's synchronous API.
// Thread: any; each call is bounded by a time-out so a hung or prompting keyring cannot stall it,
// also where libsecret itself would never return (see LibsecretStore.cpp).
#pragma once

#include "platform/SecretStore.h"

#include <chrono>

namespace selvina::platform {

class LibsecretStore final : public SecretStore {
public:
    // `timeout` bounds a read; `writeTimeout` a change, which may wait for the user to unlock the keyring.
    explicit LibsecretStore(std::chrono::milliseconds timeout = std::chrono::milliseconds(3000),
                            std::chrono::milliseconds writeTimeout = std::chrono::milliseconds(120'000));

    std::optional<QString> read(const QString& account) override;
    bool write(const QString& value, const QString& account) override;
    bool remove(const QString& account) override;
    SecretOutcome store(const QString& value, const QString& account) override;
    SecretOutcome erase(const QString& account) override;

private:
    std::chrono::milliseconds m_timeout;
    std::chrono::milliseconds m_writeTimeout;
};

} // namespace selvina::platform
