#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace pelorn {

// One DNS-SD service to announce on the local network.
struct DnsService {
    std::string name;
    std::string type;
    std::uint16_t port = 0;
    std::vector<std::pair<std::string, std::string>> txt;
};

// Announces DNS-SD services. The platform adapter is avahi; tests may use their own.
class ServicePublisher {
public:
    struct Events {
        // The service is announced under `name` (also after a rename).
        std::function<void(const std::string& name)> onEstablished;
        // Another host holds the name; the service is announced again as `newName`.
        std::function<void(const std::string& oldName, const std::string& newName)> onRenamed;
        // Announcing failed or stopped working; nothing retries.
        std::function<void(const std::string& error)> onFailed;
    };

    // Withdraws the service when destroyed; no event follows.
    class Registration {
    public:
        virtual ~Registration() = default;
    };

    virtual ~ServicePublisher() = default;
    // Host loop; events arrive on the host loop.
    virtual std::unique_ptr<Registration> publish(DnsService service, Events events) = 0;
};

} // namespace pelorn
