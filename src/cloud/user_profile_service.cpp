#include "cloud/user_profile_service.hpp"

#include "cloud/firebase_auth.hpp"
#include "core/log.hpp"
#include "core/settings.hpp"
#include "core/text.hpp"

#include <fstream>
#include <sys/utsname.h>
#include <unicode/locid.h>

namespace pelorn {

using firestore::Document;
using firestore::Error;

UserProfileService::UserProfileService(Dependencies deps) : mDeps(std::move(deps)) {
}

UserProfileService::~UserProfileService() {
    if (mAuthHandle) {
        mDeps.auth->removeAuthStateListener(*mAuthHandle);
    }
}

void UserProfileService::installAuthListener() {
    if (!mDeps.database || !mDeps.auth || mAuthHandle) {
        return;
    }
    auto self = mLifetime.weak();
    mAuthHandle = mDeps.auth->addAuthStateListener([self](const std::optional<CloudUser>& user) {
        if (auto* profile = self.lock(); profile && user) {
            profile->publishProfile();
        }
    });
}

void UserProfileService::publishProfile() {
    auto email = lowercased(mDeps.settings.string("userEmail"));
    auto user = mDeps.auth ? mDeps.auth->currentUser() : std::nullopt;
    if (!mDeps.database || email.empty() || !user) {
        return;
    }
    firestore::Fields fields{
        {"uid", user->uid},
        {"email", email},
        {"displayName", mDeps.settings.string("userName")},
        {"country", mDeps.country},
        {"lastLoginAt", firestore::ServerTimestamp{}},
        {"lastPlatform", "mac"},
        {"macAppVersion", mDeps.appVersion},
        {"macOSVersion", mDeps.systemVersion},
        {"updatedAt", firestore::ServerTimestamp{}},
    };
    mDeps.database->mergeInTransaction(
        std::string(collectionName) + "/" + email,
        [fields](const firestore::Result<std::optional<Document>>& read) {
            auto* existing = std::get_if<std::optional<Document>>(&read);
            auto out = fields;
            // The first sign-in (or one whose read failed) marks when the account began.
            if (!existing || !*existing) {
                out.emplace("createdOn", firestore::ServerTimestamp{});
                out.emplace("firstLoginAt", firestore::ServerTimestamp{});
            }
            return out;
        },
        [email](const std::optional<Error>& error) {
            if (error) {
                Log::shared().info("⚠️ User profile write failed (" + email +
                                   "): " + error->description());
            } else {
                Log::shared().info("✅ User profile published for " + email);
            }
        });
}

std::string systemVersionString() {
    std::string pretty;
    for (const char* file : {"/etc/os-release", "/usr/lib/os-release"}) {
        std::ifstream in(file);
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("PRETTY_NAME=", 0) == 0) {
                pretty = line.substr(12);
                if (pretty.size() >= 2 && (pretty.front() == '"' || pretty.front() == '\'') &&
                    pretty.back() == pretty.front()) {
                    pretty = pretty.substr(1, pretty.size() - 2);
                }
                break;
            }
        }
        if (!pretty.empty()) {
            break;
        }
    }
    utsname names{};
    std::string kernel = uname(&names) == 0 ? std::string(names.sysname) + " " + names.release : "";
    if (pretty.empty()) {
        return kernel.empty() ? "Linux" : kernel;
    }
    return kernel.empty() ? pretty : pretty + ", " + kernel;
}

std::string localeCountry() {
    return icu::Locale::getDefault().getCountry();
}

} // namespace pelorn
