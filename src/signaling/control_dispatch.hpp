#pragma once

#include "signaling/lan_targets.hpp"

#include <functional>

namespace pelorn {

struct SignalingMessage;

// What one transport (the LAN connection, the WebRTC data channels) does with each kind of message
// an authorised client sends. A kind whose handler is empty is not taken on that transport.
struct ControlHandlers {
    InputTarget* input = nullptr;
    std::function<void()> screenStart;
    std::function<void()> screenStop;
    std::function<void()> privacyOn;
    std::function<void()> privacyOff;
    // Every "term_…" message, "terminal_input" and "terminal_resize".
    std::function<void(const SignalingMessage&)> terminal;
    // The WebRTC answer and candidates, which come over the LAN connection.
    std::function<void(const SignalingMessage&)> answer;
    std::function<void(const SignalingMessage&)> candidate;
    // "request_restart": the client saw the media stall.
    std::function<void()> requestRestart;
};

// The one table from message type to action, for every transport. False when the type is not one
// the handlers take (the transport reports it as unknown).
bool dispatchControlMessage(const SignalingMessage& message, const ControlHandlers& handlers);

} // namespace pelorn
