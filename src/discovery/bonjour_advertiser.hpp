#pragma once

#include "discovery/service_publisher.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace asio {
class io_context;
}

namespace pelorn {

class HostLoop;
class TcpConnection;
class TcpListener;

// The LAN signaling listener and its DNS-SD announcement: while online, companion clients find the
// host as "_pelorn._tcp" and every connection goes to the signaling server. Host loop only.
class BonjourAdvertiser {
public:
    static constexpr std::uint16_t defaultPort = 8765;
    static constexpr const char* serviceType = "_pelorn._tcp";

    struct Wiring {
        HostLoop& loop;
        asio::io_context& io;
        ServicePublisher& publisher;
        std::function<std::string()> deviceId;
        std::function<std::string()> computerName;
        std::function<void(std::shared_ptr<TcpConnection>)> onConnection;
    };

    BonjourAdvertiser(Wiring wiring, std::uint16_t port);
    ~BonjourAdvertiser();

    void start(const std::string& owner);
    void stop();

    bool isListening() const { return mListener != nullptr; }
    // The bound port while listening (the system's choice when created with port 0).
    std::optional<std::uint16_t> listeningPort() const;

    // 8765, or PELORN_SIGNALING_PORT when it holds a port number (tests run several hosts at once).
    static std::uint16_t configuredPort();
    // "Pelorn-" + the computer's name, cut to DNS-SD's 63-byte label limit on a character boundary.
    static std::string instanceName(const std::string& computerName);

    BonjourAdvertiser(const BonjourAdvertiser&) = delete;
    BonjourAdvertiser& operator=(const BonjourAdvertiser&) = delete;

private:
    Wiring mWiring;
    const std::uint16_t mPort;
    std::unique_ptr<TcpListener> mListener;
    std::unique_ptr<ServicePublisher::Registration> mRegistration;
};

} // namespace pelorn
