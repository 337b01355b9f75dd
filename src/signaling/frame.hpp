#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace pelorn {

struct SignalingMessage;

// LAN framing: a 4-byte big-endian length, then that many bytes of JSON text.
constexpr std::size_t frameHeaderLength = 4;
// Nothing legitimate comes near this; without a bound one client could make the host buffer 4 GiB.
constexpr std::uint32_t maxFrameLength = 16 * 1024 * 1024;
// Before a connection is authorised only the handshake is read, a few hundred bytes a message.
constexpr std::uint32_t maxHandshakeFrameLength = 64 * 1024;

// The prefix and the text as one buffer, so they go out in one send.
std::string frameText(std::string_view json);
// Absent when the message cannot be encoded.
std::optional<std::string> frameMessage(const SignalingMessage& message);

// Reassembles frames from a byte stream fed in arbitrary chunks.
class FrameReader {
public:
    enum class Status { Ok, Oversized };

    explicit FrameReader(std::uint32_t limit = maxFrameLength) : mLimit(limit) {}
    // Applies to the frames not yet started.
    void setLimit(std::uint32_t limit) { mLimit = limit; }
    std::uint32_t limit() const { return mLimit; }

    // Calls onFrame with each complete frame's text, in order. Returns Oversized when a length
    // prefix exceeds the limit; the reader then ignores all further input, and its owner closes
    // the connection.
    Status feed(std::span<const std::uint8_t> bytes, const std::function<void(std::string_view)>& onFrame);
    Status feed(std::string_view bytes, const std::function<void(std::string_view)>& onFrame);

    // Bytes held for an incomplete frame.
    std::size_t buffered() const { return mBuffer.size() - mStart; }
    // The refused length, once Oversized.
    std::uint32_t refusedLength() const { return mRefusedLength; }

private:
    std::uint32_t mLimit;
    std::string mBuffer;
    std::size_t mStart = 0; // consumed prefix of mBuffer, dropped in bulk
    bool mFailed = false;
    std::uint32_t mRefusedLength = 0;
};

} // namespace pelorn
