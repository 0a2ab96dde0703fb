// SecretStore over the Secret Service (gnome-keyring, KWallet) through libsecret's synchronous API.
// Thread: any; each call is bounded by a time-out so a hung or prompting keyring cannot stall it.
#pragma once

#include "platform/SecretStore.h"

#include <chrono>

namespace selvina::platform {

class LibsecretStore final : public SecretStore {
public:
    explicit LibsecretStore(std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));

    std::optional<QString> read(const QString& account) override;
    bool write(const QString& value, const QString& account) override;
    bool remove(const QString& account) override;

private:
    std::chrono::milliseconds m_timeout;
};

} // namespace selvina::platform
