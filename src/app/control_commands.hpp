#pragma once

#include "app/control_protocol.hpp"

#include <functional>
#include <map>
#include <string>

namespace pelorn {

// The control socket's command table. A handler runs on the host loop and calls `reply` exactly
// once, now or later.
class ControlCommands {
public:
    using Reply = std::function<void(ControlResponse)>;
    using Handler = std::function<void(const ControlRequest&, Reply)>;

    void add(std::string name, Handler handler);
    void dispatch(const ControlRequest& request, Reply reply) const;

private:
    std::map<std::string, Handler> mHandlers;
};

} // namespace pelorn
