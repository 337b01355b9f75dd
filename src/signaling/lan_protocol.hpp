#pragma once

#include "signaling/signaling_message.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The vocabulary of the control channel: every message type, named once, and a typed view of what
// each one carries. A view's from() reads a SignalingMessage and is absent when a member the
// message needs is missing or unusable (the message is then ignored); message() builds the one
// the host sends.
namespace pelorn::msg {

// ---- Client to host.
inline constexpr std::string_view authHello = "auth_hello";       // sdp: JSON payload
inline constexpr std::string_view authResponse = "auth_response"; // sdp: JSON payload
inline constexpr std::string_view answer = "answer";
inline constexpr std::string_view candidate = "candidate";
inline constexpr std::string_view screenStart = "screen_start";
inline constexpr std::string_view screenStop = "screen_stop";
inline constexpr std::string_view privacyOn = "privacy_on";
inline constexpr std::string_view privacyOff = "privacy_off";
inline constexpr std::string_view keyEvent = "key_event";
inline constexpr std::string_view cmdKey = "cmd_key";
inline constexpr std::string_view mouseEvent = "mouse_event";
inline constexpr std::string_view termList = "term_list";
inline constexpr std::string_view termCreate = "term_create";
inline constexpr std::string_view termKill = "term_kill";
inline constexpr std::string_view termAttach = "term_attach";
inline constexpr std::string_view termDetach = "term_detach";
inline constexpr std::string_view terminalInput = "terminal_input";
inline constexpr std::string_view terminalResize = "terminal_resize";
inline constexpr std::string_view requestRestart = "request_restart"; // over WebRTC: the media stalled

// ---- Host to client.
inline constexpr std::string_view offer = "offer";                  // sdp: the WebRTC offer
inline constexpr std::string_view authChallenge = "auth_challenge"; // sdp: JSON payload
inline constexpr std::string_view authResult = "auth_result";       // sdp: JSON payload
inline constexpr std::string_view mediaPort = "media_port";
inline constexpr std::string_view screenLimitReached = "screen_limit_reached";
inline constexpr std::string_view hostOffline = "host_offline";
inline constexpr std::string_view textFocus = "text_focus";
inline constexpr std::string_view textBlur = "text_blur";
inline constexpr std::string_view termSessions = "term_sessions"; // sdp: JSON payload
inline constexpr std::string_view termAttached = "term_attached";
inline constexpr std::string_view termDetached = "term_detached";
inline constexpr std::string_view termError = "term_error";
inline constexpr std::string_view terminalOutput = "terminal_output";

// A message with nothing but its type.
SignalingMessage bare(std::string_view type);
// A message whose one member is `sdp` (a name, an error text or a JSON payload).
SignalingMessage withSdp(std::string_view type, std::string sdp);

// "answer": the client's SDP answer.
struct Answer {
    std::string sdp;
    static std::optional<Answer> from(const SignalingMessage& m);
};

// "candidate": one remote ICE candidate.
struct Candidate {
    std::string sdp;
    std::string sdpMid;
    std::int32_t sdpMLineIndex = 0;
    static std::optional<Candidate> from(const SignalingMessage& m);
};

// "key_event" and "cmd_key": the key (`key`).
struct Key {
    std::string key;
    static std::optional<Key> from(const SignalingMessage& m);
};

// "mouse_event": an action at a position in [0, 1] of the screen; missing members take the
// defaults below.
struct MouseEvent {
    std::string action = "move";
    double x = 0.5;
    double y = 0.5;
    std::optional<std::string> button;
    std::optional<double> deltaY;
    static MouseEvent from(const SignalingMessage& m);
};

// "term_create" and "term_kill": the session's name (`sdp`).
struct TermName {
    std::string name;
    static std::optional<TermName> from(const SignalingMessage& m);
};

// "term_attach": the session (`sdp`) and the client's size (`x` columns, `y` rows). A missing
// size counts as 0, so the attachment's minimum applies; one that is not a usable whole number
// makes the message unusable.
struct TermAttach {
    std::string name;
    int columns = 0;
    int rows = 0;
    static std::optional<TermAttach> from(const SignalingMessage& m);
};

// "terminal_input": keystrokes, base64 in `sdp`.
struct TerminalInput {
    std::string bytes;
    static std::optional<TerminalInput> from(const SignalingMessage& m);
};

// "terminal_resize": `x` columns, `y` rows, both required.
struct TerminalResize {
    int columns = 0;
    int rows = 0;
    static std::optional<TerminalResize> from(const SignalingMessage& m);
};

// "terminal_output": what the attached terminal printed, base64 in `sdp`.
SignalingMessage terminalOutputMessage(std::string_view bytes);

// "term_detached": the session (`sdp`) and why (`key`: "detached", "ended", "replaced").
SignalingMessage termDetachedMessage(const std::string& session, std::string_view reason);

// "media_port": the port of the screen stream.
SignalingMessage mediaPortMessage(std::uint16_t port);

} // namespace pelorn::msg
