#include "signaling/frame.hpp"

#include "signaling/signaling_message.hpp"

namespace pelorn {

std::string frameText(std::string_view json) {
    auto n = static_cast<std::uint32_t>(json.size());
    std::string out;
    out.reserve(frameHeaderLength + json.size());
    out.push_back(static_cast<char>(n >> 24));
    out.push_back(static_cast<char>(n >> 16));
    out.push_back(static_cast<char>(n >> 8));
    out.push_back(static_cast<char>(n));
    out.append(json);
    return out;
}

std::optional<std::string> frameMessage(const SignalingMessage& message) {
    auto text = message.encode();
    if (!text) {
        return std::nullopt;
    }
    return frameText(*text);
}

FrameReader::Status FrameReader::feed(std::span<const std::uint8_t> bytes,
                                      const std::function<void(std::string_view)>& onFrame) {
    return feed(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), onFrame);
}

FrameReader::Status FrameReader::feed(std::string_view bytes,
                                      const std::function<void(std::string_view)>& onFrame) {
    if (mFailed) {
        return Status::Oversized;
    }
    mBuffer.append(bytes);
    for (;;) {
        std::string_view pending(mBuffer.data() + mStart, mBuffer.size() - mStart);
        if (pending.size() < frameHeaderLength) {
            break;
        }
        auto* p = reinterpret_cast<const unsigned char*>(pending.data());
        std::uint32_t n = (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) |
                          (std::uint32_t(p[2]) << 8) | std::uint32_t(p[3]);
        if (n > mLimit) {
            mFailed = true;
            mRefusedLength = n;
            mBuffer.clear();
            mBuffer.shrink_to_fit();
            mStart = 0;
            return Status::Oversized;
        }
        if (pending.size() < frameHeaderLength + n) {
            break;
        }
        mStart += frameHeaderLength + n;
        onFrame(pending.substr(frameHeaderLength, n));
    }
    // Drop what was consumed once it is at least half the buffer, so copying stays linear.
    if (mStart == mBuffer.size()) {
        mBuffer.clear();
        mStart = 0;
    } else if (mStart > mBuffer.size() / 2) {
        mBuffer.erase(0, mStart);
        mStart = 0;
    }
    return Status::Ok;
}

} // namespace pelorn
