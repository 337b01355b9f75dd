#include "app/control/desktop_commands.hpp"

#include "app/autostart.hpp"
#include "app/control/control_commands.hpp"

namespace pelorn {

void registerDesktopCommands(ControlCommands& commands, const Autostart& autostart,
                             std::function<bool()> showWindow) {
    commands.add("show",
                 [showWindow = std::move(showWindow)](const ControlRequest&, ControlCommands::Reply reply) {
                     if (showWindow && showWindow()) {
                         reply(ControlResponse::success("window shown"));
                     } else {
                         reply(ControlResponse::failure("this host runs without a window"));
                     }
                 });
    commands.add("autostart", [&autostart](const ControlRequest& request, ControlCommands::Reply reply) {
        auto said = [&] {
            bool on = autostart.isOn();
            return ControlResponse::success(std::string("start at login: ") + (on ? "on" : "off"),
                                            {{"on", on}});
        };
        if (request.args.empty()) {
            reply(said());
            return;
        }
        if (request.args.size() != 1 || (request.args[0] != "on" && request.args[0] != "off")) {
            reply(ControlResponse::failure("usage: autostart [on|off]"));
            return;
        }
        if (auto error = autostart.set(request.args[0] == "on")) {
            reply(ControlResponse::failure(*error));
            return;
        }
        reply(said());
    });
}

} // namespace pelorn
