#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace pelorn {

// The system's way to keep the computer awake: an inhibition held until released.
class PowerInhibitor {
public:
    enum class Kind {
        KeepAwake,     // the screen and the system stay on (the owner's switch)
        OnlineNetwork, // the system does not sleep while the host is online
        OnlineSystem,
    };

    virtual ~PowerInhibitor() = default;
    // A handle (never 0) for the inhibition, or the system's error text.
    virtual std::variant<std::uint32_t, std::string> acquire(Kind kind, const std::string& why) = 0;
    // The error text when the release failed; the handle is gone either way.
    virtual std::optional<std::string> release(std::uint32_t handle) = 0;
};

} // namespace pelorn
