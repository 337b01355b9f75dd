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

    struct ProbeLimits {
        std::chrono::milliseconds answer{2000}; // each exchange with the service
        // How long a prompt to unlock the default keyring may wait for the person; zero: no prompt.
        std::chrono::milliseconds prompt{0};
    };

    // Whether the Secret Service can keep this host's secrets now, judged by what the host does
    // with it: its default keyring is unlocked (or gets unlocked at a prompt within the limit) and
    // an item written there reads back. `why` says what failed.
    static bool isUsable(GlibThread& glib, ProbeLimits limits, std::string& why);

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
