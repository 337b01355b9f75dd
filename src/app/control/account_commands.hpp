#pragma once

namespace pelorn {

class AuthManager;
class ControlCommands;
class FirebaseAuth;

struct AccountCommandTargets {
    AuthManager& auth;
    FirebaseAuth* cloud; // null while the cloud is not configured
};

// sign-in google [--print-link], sign-out, and the account in "status".
void registerAccountCommands(ControlCommands& commands, AccountCommandTargets targets);

} // namespace pelorn
