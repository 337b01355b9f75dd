#pragma once

namespace pelorn {

class AuthManager;
class ControlCommands;
class FirebaseAuth;
class UpdateChecker;

struct AccountCommandTargets {
    AuthManager& auth;
    FirebaseAuth* cloud;              // null while the cloud is not configured
    UpdateChecker* updates = nullptr; // null when no website is configured
};

// sign-in google [--print-link], sign-out, update check, and the account in "status".
void registerAccountCommands(ControlCommands& commands, AccountCommandTargets targets);

} // namespace pelorn
