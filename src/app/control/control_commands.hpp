#pragma once

#include "app/control/control_protocol.hpp"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace pelorn {

// The control socket's command table. A handler runs on the host loop and calls `reply` exactly
// once, now or later.
class ControlCommands {
public:
    using Reply = std::function<void(ControlResponse)>;
    using Handler = std::function<void(const ControlRequest&, Reply)>;

    void add(std::string name, Handler handler);
    void dispatch(const ControlRequest& request, Reply reply) const;

    // What a subsystem adds to "status": fields of the JSON answer and lines of the text.
    using StatusPart = std::function<void(nlohmann::json& data, std::string& text)>;
    void addStatusPart(StatusPart part) { mStatusParts.push_back(std::move(part)); }
    const std::vector<StatusPart>& statusParts() const { return mStatusParts; }

private:
    std::map<std::string, Handler> mHandlers;
    std::vector<StatusPart> mStatusParts;
};

} // namespace pelorn
