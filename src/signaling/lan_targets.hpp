#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace pelorn {

struct SignalingMessage;

// The services an authorised LAN client drives. Each subsystem implements its interface; until it
// exists, a stand-in does nothing.

class InputTarget {
public:
    virtual ~InputTarget() = default;
    virtual void handleMouseEvent(const std::string& action, double x, double y,
                                  const std::optional<std::string>& button, std::optional<double> deltaY) = 0;
    virtual void handleKeyEvent(const std::string& key) = 0;
    virtual void pressCommandShortcut(const std::string& key) = 0;
};

class ScreenTarget {
public:
    virtual ~ScreenTarget() = default;
    // Starts streaming and (re)starts the session ceiling, whose expiry calls onLimit.
    virtual void startSharing(std::function<void()> onLimit) = 0;
    virtual void stopSharing() = 0;
    virtual void privacyOn() = 0;
    virtual void privacyOff() = 0;
};

class WebRTCTarget {
public:
    virtual ~WebRTCTarget() = default;
    virtual void applyAnswer(const std::string& sdp) = 0;
    virtual void addRemoteCandidate(const std::string& sdp, const std::string& sdpMid,
                                    std::int32_t sdpMLineIndex) = 0;
};

// One client's terminal multiplexer: every "term_" and "terminal_" message goes to it.
class TerminalEndpoint {
public:
    virtual ~TerminalEndpoint() = default;
    virtual void handle(const SignalingMessage& message) = 0;
    // The transport's queue has drained after its output sender said to wait; reading goes on.
    virtual void outputDrained() = 0;
    // Detaches the client; the sessions keep running.
    virtual void stop() = 0;
};

// Sends one "terminal_output" message; called from the attachment's reading thread. Returns false
// when the client is not keeping up: the peer stops reading its terminal until outputDrained().
using TerminalOutputSender = std::function<bool(const SignalingMessage& output)>;

class TerminalTarget {
public:
    virtual ~TerminalTarget() = default;
    virtual std::unique_ptr<TerminalEndpoint> createPeer(std::string label,
                                                         std::function<void(const SignalingMessage&)> send,
                                                         TerminalOutputSender sendOutput) = 0;
};

} // namespace pelorn
