#include "app/control/power_commands.hpp"

#include "app/control/control_commands.hpp"
#include "app/server_controller.hpp"
#include "power/closed_lid_mode_manager.hpp"
#include "power/power_manager.hpp"

namespace pelorn {

namespace {

std::optional<bool> onOff(const ControlRequest& request) {
    if (request.args.size() == 1 && (request.args[0] == "on" || request.args[0] == "off")) {
        return request.args[0] == "on";
    }
    return std::nullopt;
}

nlohmann::json closedLidData(const ClosedLidModeManager& m) {
    const auto& error = m.lastError().get();
    return {{"requested", m.isRequested().get()},
            {"active", m.isActive().get()},
            {"lastError", error ? nlohmann::json(*error) : nlohmann::json(nullptr)}};
}

} // namespace

void registerPowerCommands(ControlCommands& commands, PowerCommandTargets targets) {
    auto t = std::make_shared<PowerCommandTargets>(targets);
    commands.add("keep-awake", [t](const ControlRequest& request, ControlCommands::Reply reply) {
        auto on = onOff(request);
        if (!on) {
            reply(ControlResponse::failure("usage: keep-awake on|off"));
            return;
        }
        t->power.setKeepAwake(*on);
        reply(ControlResponse::success(
            std::string("keep awake: ") + (*on ? "on" : "off"),
            {{"keepAwake", t->power.keepAwakeRequested()}, {"held", t->power.assertionID() != 0}}));
    });
    commands.add("closed-lid", [t](const ControlRequest& request, ControlCommands::Reply reply) {
        auto on = onOff(request);
        if (!on) {
            reply(ControlResponse::failure("usage: closed-lid on|off"));
            return;
        }
        auto& lid = t->closedLid;
        lid.setRequested(*on);
        // As the switch does: asked for while online, it takes effect at once.
        if (*on && t->controller.isOnline().get()) {
            lid.engageIfRequested();
        }
        if (const auto& error = lid.lastError().get()) {
            reply(ControlResponse::failure(*error));
            return;
        }
        reply(ControlResponse::success(
            std::string("closed-lid mode: ") + (lid.isRequested().get() ? "on" : "off"), closedLidData(lid)));
    });
    commands.addStatusPart([t](nlohmann::json& data, std::string& text) {
        bool keepAwake = t->power.keepAwakeRequested();
        const auto& lid = t->closedLid;
        data["keepAwake"] = keepAwake;
        data["closedLid"] = closedLidData(lid);
        text += std::string("\nkeep awake: ") + (keepAwake ? "on" : "off") +
                "\nclosed-lid mode: " + (lid.isRequested().get() ? "on" : "off") +
                (lid.isActive().get() ? " (in force)" : "");
        if (const auto& error = lid.lastError().get()) {
            text += "\nclosed-lid mode: " + *error;
        }
    });
}

} // namespace pelorn
