#include "app/control/access_commands.hpp"

#include "access/device_approval_coordinator.hpp"
#include "access/master_password_store.hpp"
#include "access/session_authenticator.hpp"
#include "access/trusted_device_store.hpp"
#include "activity/logged_event.hpp"
#include "app/control/control_commands.hpp"
#include "core/log.hpp"

namespace pelorn {

namespace {

nlohmann::json approvalData(const PendingApproval& p) {
    return {{"deviceId", p.deviceId},
            {"deviceName", p.deviceName},
            {"deviceModel", p.deviceModel},
            {"via", p.via}};
}

std::string approvalText(const PendingApproval& p) {
    return "device: " + p.deviceName + "\nmodel: " + p.deviceModel + "\nid: " + p.deviceId +
           "\nvia: " + p.via;
}

void password(AuthServices& access, const ControlRequest& request, ControlCommands::Reply reply) {
    if (request.args.size() != 1 || request.args[0] != "set" || !request.input) {
        reply(ControlResponse::failure("usage: password set (the new password on stdin)"));
        return;
    }
    access.passwords.setPassword(
        *request.input, [reply](std::optional<MasterPasswordStore::Failure> failure) {
            if (failure) {
                reply(ControlResponse::failure(std::string(MasterPasswordStore::text(*failure))));
            } else {
                reply(ControlResponse::success("master password set"));
            }
        });
}

ControlResponse approvals(AuthServices& access) {
    const auto& pending = access.approvals.pending().get();
    if (!pending) {
        return ControlResponse::success("no device is waiting for approval", nullptr);
    }
    return ControlResponse::success(approvalText(*pending), approvalData(*pending));
}

// The answer names the device it is meant for, so a look-alike request that replaced the one the
// owner read is never answered by mistake.
ControlResponse answer(AuthServices& access, const ControlRequest& request, bool approved) {
    auto pending = access.approvals.pending().get();
    if (!pending) {
        return ControlResponse::failure("no device is waiting for approval");
    }
    if (request.args.size() != 1) {
        return ControlResponse::failure(std::string("usage: ") + (approved ? "approve" : "deny") +
                                        " DEVICE-ID (the id pelornctl approvals shows)");
    }
    if (request.args[0] != pending->deviceId) {
        return ControlResponse::failure("the waiting device is " + pending->deviceName + " (id " +
                                        pending->deviceId + "), not " + request.args[0] +
                                        "; nothing was answered");
    }
    access.approvals.resolve(approved);
    return ControlResponse::success((approved ? "approved " : "denied ") + pending->deviceName,
                                    approvalData(*pending));
}

ControlResponse devices(AuthServices& access, const ControlRequest& request) {
    if (request.args.size() == 2 && request.args[0] == "remove") {
        const auto& id = request.args[1];
        auto device = access.devices.device(id);
        if (!device) {
            return ControlResponse::failure("no approved device has the id " + id);
        }
        access.devices.remove(id);
        return ControlResponse::success("removed " + device->name);
    }
    if (!request.args.empty()) {
        return ControlResponse::failure("usage: devices [remove ID]");
    }
    const auto& connected = access.devices.connected().get();
    std::string text;
    auto data = nlohmann::json::array();
    for (const auto& d : access.devices.devices().get()) {
        bool isConnected = connected.count(d.id) > 0;
        text += (text.empty() ? "" : "\n") + d.id + "  " + d.name + "  " + d.model + "  " +
                (isConnected ? "connected" : "last seen " + iso8601(d.lastSeenAt)) + "  approved " +
                iso8601(d.approvedAt);
        data.push_back({{"id", d.id},
                        {"name", d.name},
                        {"model", d.model},
                        {"connected", isConnected},
                        {"lastSeenAt", iso8601(d.lastSeenAt)},
                        {"approvedAt", iso8601(d.approvedAt)}});
    }
    return ControlResponse::success(text.empty() ? "no approved devices" : text, data);
}

} // namespace

Subscription registerAccessCommands(ControlCommands& commands, AuthServices& access) {
    commands.add("password", [&access](const ControlRequest& r, ControlCommands::Reply reply) {
        password(access, r, reply);
    });
    commands.add("approvals", [&access](const ControlRequest&, ControlCommands::Reply reply) {
        reply(approvals(access));
    });
    commands.add("approve", [&access](const ControlRequest& r, ControlCommands::Reply reply) {
        reply(answer(access, r, true));
    });
    commands.add("deny", [&access](const ControlRequest& r, ControlCommands::Reply reply) {
        reply(answer(access, r, false));
    });
    commands.add("devices", [&access](const ControlRequest& r, ControlCommands::Reply reply) {
        reply(devices(access, r));
    });
    return access.approvals.pending().subscribe([](const std::optional<PendingApproval>& pending) {
        if (pending) {
            Log::shared().info("🔔 PELORN: \"" + pending->deviceName + "\" (" + pending->deviceModel +
                               ") asks to connect over " + pending->via +
                               " - answer with: pelornctl approve " + pending->deviceId +
                               " | pelornctl deny " + pending->deviceId);
        }
    });
}

} // namespace pelorn
