#include "app/control/desktop_commands.hpp"

#include "app/autostart.hpp"
#include "app/control/control_commands.hpp"
#include "core/log.hpp"
#include "core/settings.hpp"

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

namespace {

constexpr const char* streamDisplayKey = "streamDisplay";

} // namespace

void registerDisplayCommand(ControlCommands& commands, Settings& settings,
                            std::function<std::optional<std::vector<X11Monitor>>()> monitors) {
    commands.add("display", [&settings, monitors = std::move(monitors)](const ControlRequest& request,
                                                                        ControlCommands::Reply reply) {
        if (request.args.size() > 1) {
            reply(ControlResponse::failure("usage: display [NAME|--primary]"));
            return;
        }
        auto found = monitors();
        if (!found) {
            reply(ControlResponse::failure(
                "choosing a monitor works on X11 sessions only; this desktop streams its primary monitor"));
            return;
        }
        if (!request.args.empty()) {
            const auto& name = request.args[0];
            bool known = std::any_of(found->begin(), found->end(),
                                     [&](const X11Monitor& m) { return m.name == name; });
            if (name != "--primary" && !known) {
                std::string names;
                for (const auto& m : *found) {
                    names += (names.empty() ? "" : ", ") + m.name;
                }
                reply(ControlResponse::failure("no monitor " + name + " (the monitors: " + names + ")"));
                return;
            }
            settings.set(streamDisplayKey, name == "--primary" ? "" : name);
            Log::shared().info("🖥️ PELORN: the owner chose " +
                               (name == "--primary" ? "the primary monitor" : "monitor " + name) +
                               " for the stream");
        }
        auto streamed = chooseMonitor(*found, settings.string(streamDisplayKey));
        std::string text;
        auto list = nlohmann::json::array();
        for (const auto& m : *found) {
            bool isStreamed = streamed && streamed->name == m.name;
            text += (text.empty() ? "" : "\n") + m.name + " " + std::to_string(m.width) + "x" +
                    std::to_string(m.height) + "+" + std::to_string(m.x) + "+" + std::to_string(m.y) +
                    (m.primary ? " primary" : "") + (isStreamed ? " - streamed" : "");
            list.push_back({{"name", m.name},
                            {"width", m.width},
                            {"height", m.height},
                            {"x", m.x},
                            {"y", m.y},
                            {"primary", m.primary},
                            {"streamed", isStreamed}});
        }
        reply(ControlResponse::success(text.empty() ? "no monitors" : text, {{"monitors", list}}));
    });
}

} // namespace pelorn
