#include "signaling/lan_protocol.hpp"

#include "core/base64.hpp"

namespace pelorn::msg {

namespace {

// A size member as a whole number; a missing one counts as `missing`.
std::optional<int> sizeMember(const std::optional<double>& value, std::optional<int> missing) {
    return value ? wholeNumber(*value) : missing;
}

} // namespace

SignalingMessage bare(std::string_view type) {
    return SignalingMessage{.type = std::string(type)};
}

SignalingMessage withSdp(std::string_view type, std::string sdp) {
    return SignalingMessage{.type = std::string(type), .sdp = std::move(sdp)};
}

std::optional<Answer> Answer::from(const SignalingMessage& m) {
    if (!m.sdp) {
        return std::nullopt;
    }
    return Answer{*m.sdp};
}

std::optional<Candidate> Candidate::from(const SignalingMessage& m) {
    if (!m.sdp || !m.sdpMid || !m.sdpMLineIndex) {
        return std::nullopt;
    }
    return Candidate{*m.sdp, *m.sdpMid, *m.sdpMLineIndex};
}

std::optional<Key> Key::from(const SignalingMessage& m) {
    if (!m.key) {
        return std::nullopt;
    }
    return Key{*m.key};
}

MouseEvent MouseEvent::from(const SignalingMessage& m) {
    MouseEvent event;
    event.action = m.action.value_or(event.action);
    event.x = m.x.value_or(event.x);
    event.y = m.y.value_or(event.y);
    event.button = m.button;
    event.deltaY = m.deltaY;
    return event;
}

std::optional<TermName> TermName::from(const SignalingMessage& m) {
    if (!m.sdp) {
        return std::nullopt;
    }
    return TermName{*m.sdp};
}

std::optional<TermAttach> TermAttach::from(const SignalingMessage& m) {
    auto columns = sizeMember(m.x, 0), rows = sizeMember(m.y, 0);
    if (!m.sdp || !columns || !rows) {
        return std::nullopt;
    }
    return TermAttach{*m.sdp, *columns, *rows};
}

std::optional<TerminalInput> TerminalInput::from(const SignalingMessage& m) {
    auto bytes = m.sdp ? base64::decode(*m.sdp) : std::nullopt;
    if (!bytes) {
        return std::nullopt;
    }
    return TerminalInput{std::string(bytes->begin(), bytes->end())};
}

std::optional<TerminalResize> TerminalResize::from(const SignalingMessage& m) {
    auto columns = sizeMember(m.x, std::nullopt), rows = sizeMember(m.y, std::nullopt);
    if (!columns || !rows) {
        return std::nullopt;
    }
    return TerminalResize{*columns, *rows};
}

SignalingMessage terminalOutputMessage(std::string_view bytes) {
    return withSdp(terminalOutput, base64::encode(bytes));
}

SignalingMessage termDetachedMessage(const std::string& session, std::string_view reason) {
    return SignalingMessage{.type = std::string(termDetached), .sdp = session, .key = std::string(reason)};
}

SignalingMessage mediaPortMessage(std::uint16_t port) {
    return SignalingMessage{.type = std::string(mediaPort), .port = port};
}

} // namespace pelorn::msg
