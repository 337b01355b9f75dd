// libFuzzer target over what an unauthenticated LAN client controls: the byte stream cut into
// frames, each frame decoded as a message, and handshake payloads decoded as responses.
#include "access/auth_messages.hpp"
#include "signaling/frame.hpp"
#include "signaling/signaling_message.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);

    // The stream as the server reads it, in two reads split where the first byte says, so frames
    // that straddle reads are covered too.
    pelorn::FrameReader reader;
    std::size_t split = size ? data[0] % (size + 1) : 0;
    auto onFrame = [](std::string_view frame) {
        if (auto message = pelorn::SignalingMessage::decode(frame)) {
            if (message->sdp) {
                pelorn::AuthResponse::decode(*message->sdp);
            }
            message->encode();
        }
    };
    if (reader.feed(bytes.substr(0, split), onFrame) == pelorn::FrameReader::Status::Ok) {
        reader.feed(bytes.substr(split), onFrame);
    }

    // The same bytes as one message and as one handshake payload.
    if (auto message = pelorn::SignalingMessage::decode(bytes)) {
        auto again = message->encode();
        if (again && !pelorn::SignalingMessage::decode(*again)) {
            __builtin_trap(); // what we encode must decode
        }
    }
    pelorn::AuthResponse::decode(bytes);
    pelorn::AuthResult::decode(bytes);
    return 0;
}
