#include "signaling/signaling_message.hpp"

#include "core/json.hpp"

#include <cmath>
#include <limits>

namespace pelorn {

namespace {

// Integral doubles are written as integers ("1", not "1.0"): the shortest JSON form of the number.
bool putDouble(nlohmann::json& object, const char* key, const std::optional<double>& value) {
    if (!value) {
        return true;
    }
    double d = *value;
    if (!std::isfinite(d)) {
        return false;
    }
    constexpr double exactIntegerLimit = 9007199254740992.0; // 2^53
    if (std::trunc(d) == d && std::fabs(d) < exactIntegerLimit) {
        object[key] = static_cast<std::int64_t>(d);
    } else {
        object[key] = d;
    }
    return true;
}

template <typename T> void putValue(nlohmann::json& object, const char* key, const std::optional<T>& value) {
    if (value) {
        object[key] = *value;
    }
}

template <typename T, typename F> bool take(std::optional<T>& out, const F& field) {
    if (field.failed()) {
        return false;
    }
    if (field.value) {
        out = static_cast<T>(*field.value);
    }
    return true;
}

} // namespace

std::optional<std::string> SignalingMessage::encode() const {
    nlohmann::json object = {{"type", type}};
    putValue(object, "sdp", sdp);
    putValue(object, "sdpMid", sdpMid);
    putValue(object, "sdpMLineIndex", sdpMLineIndex);
    putValue(object, "button", button);
    putValue(object, "action", action);
    putValue(object, "key", key);
    putValue(object, "port", port);
    if (!putDouble(object, "x", x) || !putDouble(object, "y", y) || !putDouble(object, "deltaY", deltaY)) {
        return std::nullopt;
    }
    return json::dump(object);
}

std::optional<SignalingMessage> SignalingMessage::decode(std::string_view text) {
    auto parsed = json::parse(text);
    if (!parsed || !parsed->is_object()) {
        return std::nullopt;
    }
    const auto& o = *parsed;
    auto type = json::stringMember(o, "type");
    if (!type.value) {
        return std::nullopt;
    }
    SignalingMessage m;
    m.type = *type.value;
    using Limits32 = std::numeric_limits<std::int32_t>;
    using Limits64 = std::numeric_limits<std::int64_t>;
    bool ok =
        take(m.sdp, json::stringMember(o, "sdp")) && take(m.sdpMid, json::stringMember(o, "sdpMid")) &&
        take(m.sdpMLineIndex, json::integerMember(o, "sdpMLineIndex", Limits32::min(), Limits32::max())) &&
        take(m.x, json::doubleMember(o, "x")) && take(m.y, json::doubleMember(o, "y")) &&
        take(m.button, json::stringMember(o, "button")) && take(m.action, json::stringMember(o, "action")) &&
        take(m.deltaY, json::doubleMember(o, "deltaY")) && take(m.key, json::stringMember(o, "key")) &&
        take(m.port, json::integerMember(o, "port", Limits64::min(), Limits64::max()));
    if (!ok) {
        return std::nullopt;
    }
    return m;
}

std::optional<SignalingMessage> payloadMessage(std::string type, const nlohmann::json& payload) {
    auto text = json::dump(payload);
    if (!text) {
        return std::nullopt;
    }
    SignalingMessage m;
    m.type = std::move(type);
    m.sdp = std::move(*text);
    return m;
}

} // namespace pelorn

namespace pelorn {

std::optional<int> wholeNumber(double value) {
    if (!std::isfinite(value)) {
        return std::nullopt;
    }
    double t = std::trunc(value);
    if (t < std::numeric_limits<int>::min() || t > std::numeric_limits<int>::max()) {
        return std::nullopt;
    }
    return static_cast<int>(t);
}

} // namespace pelorn
