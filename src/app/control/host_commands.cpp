#include "app/control/host_commands.hpp"

#include "activity/event_log.hpp"
#include "app/control/control_commands.hpp"
#include "app/host_services.hpp"
#include "app/server_controller.hpp"
#include "core/host_identity.hpp"

#include <algorithm>
#include <unistd.h>

namespace pelorn {

namespace {

nlohmann::json statusData(HostCommandTargets& t) {
    const auto& lastError = t.controller.lastError().get();
    auto port = t.advertiser.listeningPort();
    return {{"online", t.controller.isOnline().get()},
            {"lastError", lastError ? nlohmann::json(*lastError) : nlohmann::json(nullptr)},
            {"deviceId", t.identity.deviceId()},
            {"computerName", computerName()},
            {"pid", ::getpid()},
            {"signalingPort", port ? nlohmann::json(*port) : nlohmann::json(nullptr)}};
}

std::string statusText(const nlohmann::json& data) {
    return std::string("online: ") + (data["online"].get<bool>() ? "yes" : "no") + "\n" +
           "last error: " + (data["lastError"].is_string() ? data["lastError"].get<std::string>() : "none") +
           "\n" + "device id: " + data["deviceId"].get<std::string>() + "\n" +
           "computer name: " + data["computerName"].get<std::string>() + "\n" + "signaling port: " +
           (data["signalingPort"].is_number() ? std::to_string(data["signalingPort"].get<int>()) : "closed");
}

ControlResponse status(HostCommandTargets& t, const ControlCommands& commands) {
    auto data = statusData(t);
    auto text = statusText(data);
    for (const auto& part : commands.statusParts()) {
        part(data, text);
    }
    return ControlResponse::success(text, data);
}

// Going online can fail only for want of a signed-in account; the caller hears the same text the
// window shows.
ControlResponse online(HostCommandTargets& t) {
    t.controller.goOnline();
    if (!t.controller.isOnline().get()) {
        return ControlResponse::failure(t.controller.lastError().get().value_or("could not go online"));
    }
    return ControlResponse::success("online", statusData(t));
}

ControlResponse logs(HostCommandTargets& t, const ControlRequest& request) {
    if (request.args == std::vector<std::string>{"clear"}) {
        t.log.clear();
        return ControlResponse::success("cleared");
    }
    const auto& events = t.log.events().get();
    bool exportForm = std::find(request.args.begin(), request.args.end(), "--export") != request.args.end();
    if (exportForm) {
        return ControlResponse::success(exportText(events));
    }
    std::string text;
    auto data = nlohmann::json::array();
    for (const auto& e : events) {
        text += (text.empty() ? "" : "\n") + e.sentence();
        data.push_back(encodeEvents({e})[0]);
    }
    return ControlResponse::success(text, data);
}

} // namespace

void registerHostCommands(ControlCommands& commands, HostCommandTargets targets) {
    auto t = std::make_shared<HostCommandTargets>(std::move(targets));
    commands.add("status", [t, &commands](const ControlRequest&, ControlCommands::Reply reply) {
        reply(status(*t, commands));
    });
    commands.add("online", [t](const ControlRequest&, ControlCommands::Reply reply) { reply(online(*t)); });
    commands.add("offline", [t](const ControlRequest&, ControlCommands::Reply reply) {
        t->controller.goOffline();
        reply(ControlResponse::success("offline", statusData(*t)));
    });
    commands.add("logs", [t](const ControlRequest& r, ControlCommands::Reply reply) { reply(logs(*t, r)); });
    commands.add("quit", [t](const ControlRequest&, ControlCommands::Reply reply) {
        reply(ControlResponse::success("quitting"));
        t->quit();
    });
}

} // namespace pelorn
