#include "discovery/bonjour_advertiser.hpp"

#include "core/log.hpp"
#include "net/tcp_connection.hpp"
#include "net/tcp_listener.hpp"

#include <charconv>
#include <cstdlib>
#include <cstring>

namespace pelorn {

namespace {

constexpr std::size_t maxInstanceBytes = 63;

} // namespace

BonjourAdvertiser::BonjourAdvertiser(Wiring wiring, std::uint16_t port)
    : mWiring(std::move(wiring)), mPort(port) {
}

BonjourAdvertiser::~BonjourAdvertiser() = default;

std::uint16_t BonjourAdvertiser::configuredPort() {
    const char* text = std::getenv("PELORN_SIGNALING_PORT");
    if (!text || !*text) {
        return defaultPort;
    }
    unsigned value = 0;
    auto end = text + std::strlen(text);
    auto [at, error] = std::from_chars(text, end, value);
    if (error != std::errc() || at != end || value > 65535) {
        Log::shared().info(std::string("⚠️ PELORN_SIGNALING_PORT is not a port number: ") + text +
                           "; using " + std::to_string(defaultPort));
        return defaultPort;
    }
    return static_cast<std::uint16_t>(value);
}

std::string BonjourAdvertiser::instanceName(const std::string& computerName) {
    std::string name = "Pelorn-" + (computerName.empty() ? std::string("Mac") : computerName);
    if (name.size() > maxInstanceBytes) {
        std::size_t cut = maxInstanceBytes;
        // Step back over UTF-8 continuation bytes so no character is split.
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) {
            --cut;
        }
        name.resize(cut);
    }
    return name;
}

std::optional<std::uint16_t> BonjourAdvertiser::listeningPort() const {
    if (!mListener) {
        return std::nullopt;
    }
    return mListener->port();
}

void BonjourAdvertiser::start(const std::string& owner) {
    auto& log = Log::shared();
    if (owner.empty()) {
        log.info("⚠️ Bonjour advertising skipped - no signed-in account.");
        return;
    }
    // A second start replaces the first instead of failing against our own port.
    stop();
    auto opened = TcpListener::open(mWiring.io, mWiring.loop, mPort);
    if (auto* error = std::get_if<std::string>(&opened)) {
        log.info("❌ Failed to create listener: " + *error);
        return;
    }
    mListener = std::move(std::get<std::unique_ptr<TcpListener>>(opened));
    auto port = mListener->port();

    DnsService service{instanceName(mWiring.computerName()),
                       serviceType,
                       port,
                       {{"owner", owner}, {"deviceId", mWiring.deviceId()}}};
    ServicePublisher::Events events{
        [port](const std::string&) {
            Log::shared().info("✅ Bonjour advertising started on port " + std::to_string(port));
        },
        [](const std::string& oldName, const std::string& newName) {
            Log::shared().info("⚠️ Bonjour name \"" + oldName + "\" is taken; advertising as \"" +
                               newName + "\"");
        },
        [](const std::string& error) { Log::shared().info("❌ Bonjour failed: " + error); }};

    mListener->start(
        [onConnection = mWiring.onConnection](std::shared_ptr<TcpConnection> connection) {
            Log::shared().info("📱 iPhone connected!");
            onConnection(std::move(connection));
        },
        [](const std::string& error) { Log::shared().info("❌ Bonjour failed: " + error); });
    mRegistration = mWiring.publisher.publish(std::move(service), std::move(events));
}

void BonjourAdvertiser::stop() {
    mRegistration.reset();
    mListener.reset();
}

} // namespace pelorn
