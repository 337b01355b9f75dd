#pragma once

#include "access/auth_throttle.hpp"
#include "access/device_approval_coordinator.hpp"
#include "access/master_password_store.hpp"
#include "access/session_authenticator.hpp"
#include "access/trusted_device_store.hpp"
#include "activity/event_log.hpp"
#include "core/file_secret_store.hpp"
#include "core/host_loop.hpp"
#include "core/json.hpp"
#include "core/notification_center.hpp"
#include "core/task_pool.hpp"
#include "support/test_support.hpp"

namespace pelorn::test {

// The host's access-control services, real, on a manual clock, with files in a temporary folder.
struct AccessHost {
    // Fewer rounds than the host writes keep the tests quick; the store reads any count.
    static constexpr std::uint32_t testRounds = 1000;
    static inline const std::string password = "correct horse";

    explicit AccessHost(bool seedPassword = true) : withPassword(seedPassword) {}

    // Runs before the password store loads, so it finds the verifier already stored.
    bool seed() {
        if (!withPassword) {
            return false;
        }
        auto salt = randomBytes(32);
        MasterPasswordStore::Record record{salt, deriveVerifierKey(password, salt, testRounds), testRounds,
                                           loop.wallNow()};
        auto text = *json::dump(record.toJson());
        return secrets
            .write(MasterPasswordStore::service, MasterPasswordStore::account,
                   Bytes(text.begin(), text.end()))
            .ok;
    }

    bool withPassword;
    TempDir dir;
    FileSecretStore secrets{dir / "secrets"};
    HostLoop loop{HostLoop::TimeMode::Manual};
    TaskPool pool{1};
    std::shared_ptr<EventLog> log = EventLog::create(loop, pool, std::nullopt);
    NotificationCenter center{loop};
    bool seeded = seed();
    std::shared_ptr<MasterPasswordStore> passwords = MasterPasswordStore::create(loop, pool, secrets);
    std::shared_ptr<TrustedDeviceStore> devices = TrustedDeviceStore::create(loop, secrets, *log, center);
    AuthThrottle throttle{loop};
    DeviceApprovalCoordinator approvals{loop};
    AuthServices services{*passwords,
                          throttle,
                          *devices,
                          approvals,
                          *log,
                          [] { return std::string("MAC-ID"); },
                          [] { return std::string("Studio"); }};
};

} // namespace pelorn::test
