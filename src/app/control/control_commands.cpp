#include "app/control/control_commands.hpp"

namespace pelorn {

void ControlCommands::add(std::string name, Handler handler) {
    mHandlers[std::move(name)] = std::move(handler);
}

void ControlCommands::dispatch(const ControlRequest& request, Reply reply) const {
    auto it = mHandlers.find(request.command);
    if (it == mHandlers.end()) {
        reply(ControlResponse::failure("unknown command: " + request.command));
        return;
    }
    it->second(request, std::move(reply));
}

} // namespace pelorn
