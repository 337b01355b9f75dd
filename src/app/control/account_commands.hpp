#pragma once

namespace pelorn {

class AccountDeletionService;
class AppleSignIn;
class AuthManager;
class ControlCommands;
class FirebaseAuth;
class UpdateChecker;

struct AccountCommandTargets {
    AuthManager& auth;
    FirebaseAuth* cloud;              // null while the cloud is not configured
    UpdateChecker* updates = nullptr; // null when no website is configured
    AccountDeletionService* deletion = nullptr;
    AppleSignIn* apple = nullptr;
    bool packaged = false; // a distribution's package: updates come from its package manager
};

// The text that asks the owner to confirm a deletion.
inline constexpr const char* accountDeletionWarning =
    "Deleting your account removes it, this computer's registration and your access permanently, on "
    "every device. This cannot be undone.";

// sign-in google|apple [--print-link], open-url URL (the Apple sign-in's way back), sign-out,
// account delete --yes, update check, and the account in "status".
void registerAccountCommands(ControlCommands& commands, AccountCommandTargets targets);

} // namespace pelorn
