#pragma once

#include "cloud/firestore.hpp"
#include "core/lifetime.hpp"

#include <functional>
#include <optional>
#include <string>

namespace pelorn {

class FirebaseAuth;
class Settings;

// The owner's profile record, "users"/{e-mail}: who signed in, from which version of the host on
// which system, and when; written at each sign-in.
class UserProfileService {
public:
    struct Dependencies {
        Settings& settings;
        Firestore* database; // null: the cloud is not configured and nothing is written
        FirebaseAuth* auth;
        std::string appVersion; // "0.1.0 (0.1.0)"
        std::string systemVersion;
        std::string country; // the locale's region, or empty
    };
    static constexpr const char* collectionName = "users";

    explicit UserProfileService(Dependencies deps);
    ~UserProfileService();
    static UserProfileService& shared();

    // Publishes the profile at every change to a signed-in user from now on (and at once when one
    // is signed in already). Once; later calls do nothing.
    void installAuthListener();
    void publishProfile();

    UserProfileService(const UserProfileService&) = delete;
    UserProfileService& operator=(const UserProfileService&) = delete;

private:
    Dependencies mDeps;
    std::optional<int> mAuthHandle;
    Lifetime<UserProfileService> mLifetime{this};
};

// "PRETTY_NAME of os-release, kernel release", e.g. "Debian GNU/Linux 12 (bookworm), Linux 6.1.0-18-amd64".
std::string systemVersionString();
// The region of the user's locale ("FR" for fr_FR.UTF-8), or empty.
std::string localeCountry();

} // namespace pelorn
