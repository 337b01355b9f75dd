#include "signaling/frame.hpp"
#include "signaling/signaling_message.hpp"

#include <algorithm>
#include <gtest/gtest.h>

using namespace pelorn;

namespace {

struct Collected {
    std::vector<std::string> frames;
    std::function<void(std::string_view)> sink() {
        return [this](std::string_view f) { frames.emplace_back(f); };
    }
};

std::string prefix(std::uint32_t n) {
    return frameText(std::string(n, 'x')).substr(0, 4);
}

} // namespace

TEST(FrameFormat, PrefixIsBigEndianLengthFollowedByTheText) {
    auto f = frameText("{\"type\":\"a\"}");
    ASSERT_EQ(f.size(), 16u);
    EXPECT_EQ(f.substr(0, 4), std::string("\0\0\0\x0c", 4));
    EXPECT_EQ(prefix(0x01020304), "\x01\x02\x03\x04");
    EXPECT_EQ(f.substr(4), "{\"type\":\"a\"}");
    EXPECT_FALSE(frameMessage(SignalingMessage{.type = "t", .x = NAN}));
}

// However the bytes are cut, every frame comes out once, whole, when its last byte arrives.
TEST(FrameReading, FramesComeOutWholeHoweverTheBytesAreCut) {
    auto data = frameText("first") + frameText("") + *frameMessage(SignalingMessage{.type = "mouse_event"});
    const std::size_t ends[] = {9, 13, data.size()}; // where each frame's last byte is
    for (std::size_t piece : {data.size(), std::size_t{7}, std::size_t{1}}) {
        FrameReader reader;
        Collected got;
        for (std::size_t at = 0; at < data.size(); at += piece) {
            EXPECT_EQ(reader.feed(std::string_view(data).substr(at, piece), got.sink()),
                      FrameReader::Status::Ok);
            auto fed = std::min(at + piece, data.size());
            EXPECT_EQ(got.frames.size(),
                      std::count_if(std::begin(ends), std::end(ends), [&](auto e) { return e <= fed; }));
        }
        EXPECT_EQ(got.frames, (std::vector<std::string>{"first", "", R"({"type":"mouse_event"})"})) << piece;
        EXPECT_EQ(reader.buffered(), 0u);
    }
}

TEST(FrameReading, LengthAtTheLimitIsAcceptedAndOneMoreIsRefused) {
    {
        FrameReader reader;
        Collected got;
        EXPECT_EQ(reader.feed(prefix(maxFrameLength), got.sink()), FrameReader::Status::Ok);
        EXPECT_EQ(reader.feed(std::string(maxFrameLength, 'y'), got.sink()), FrameReader::Status::Ok);
        ASSERT_EQ(got.frames.size(), 1u);
        EXPECT_EQ(got.frames[0].size(), maxFrameLength);
    }
    FrameReader reader;
    Collected got;
    EXPECT_EQ(reader.feed(frameText("ok") + prefix(maxFrameLength + 1) + frameText("after"), got.sink()),
              FrameReader::Status::Oversized);
    EXPECT_EQ(got.frames, std::vector<std::string>{"ok"});
    EXPECT_EQ(reader.refusedLength(), maxFrameLength + 1);
    // Once refused, nothing more is buffered or delivered.
    EXPECT_EQ(reader.feed(frameText("later"), got.sink()), FrameReader::Status::Oversized);
    EXPECT_EQ(reader.buffered(), 0u);
    EXPECT_EQ(got.frames.size(), 1u);
}

TEST(FrameReading, HugeLengthPrefixIsRefusedBeforeAnythingIsBuffered) {
    FrameReader reader;
    Collected got;
    EXPECT_EQ(reader.feed(std::string("\xff\xff\xff\xff", 4), got.sink()), FrameReader::Status::Oversized);
    EXPECT_EQ(reader.buffered(), 0u);
}
