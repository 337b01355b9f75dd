#pragma once

#include "core/subscription.hpp"

namespace pelorn {

class ControlCommands;
struct AuthServices;

// The owner's access commands: password, approvals, approve, deny, devices. Returns the
// subscription that prints each new approval request to stdout for an owner watching a headless
// host; keep it as long as the commands.
[[nodiscard]] Subscription registerAccessCommands(ControlCommands& commands, AuthServices& access);

} // namespace pelorn
