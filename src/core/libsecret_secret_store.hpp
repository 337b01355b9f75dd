#pragma once

#include "core/secret_store.hpp"

#include <chrono>

namespace pelorn {

class GlibThread;

// Items in the desktop's Secret Service (gnome-keyring, KWallet) through libsecret, with the
// attributes "service" and "account". Every call is bounded by a timeout, because a locked keyring
// may sit behind a prompt nobody answers.
class LibsecretSecretStore final : public SecretStore {
public:
    static constexpr std::chrono::milliseconds defaultTimeout{3000};

    LibsecretSecretStore(GlibThread& glib, std::chrono::milliseconds timeout = defaultTimeout);

    // Whether a Secret Service answers on the session bus within the timeout.
    static bool isAvailable(GlibThread& glib, std::chrono::milliseconds timeout, std::string& why);

    ReadResult read(const std::string& service, const std::string& account) override;
    WriteResult write(const std::string& service, const std::string& account,
                      std::span<const std::uint8_t> data) override;
    bool remove(const std::string& service, const std::string& account) override;
    const char* backendName() const override { return "secret-service"; }

private:
    GlibThread& mGlib;
    std::chrono::milliseconds mTimeout;
};

} // namespace pelorn
