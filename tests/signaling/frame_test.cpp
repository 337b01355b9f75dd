#include "signaling/frame.hpp"
#include "signaling/signaling_message.hpp"

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

TEST(FrameReading, MessagesMergedInOneChunkAreEachReadOnce) {
    FrameReader reader;
    Collected got;
    auto data = frameText("first") + frameText("second") + frameText("");
    EXPECT_EQ(reader.feed(data, got.sink()), FrameReader::Status::Ok);
    EXPECT_EQ(got.frames, (std::vector<std::string>{"first", "second", ""}));
    EXPECT_EQ(reader.buffered(), 0u);
}

TEST(FrameReading, AMessageSplitAtEveryByteIsReadOnceWhenComplete) {
    auto message = *frameMessage(SignalingMessage{.type = "mouse_event", .x = 0.5});
    auto data = message + message;
    FrameReader reader;
    Collected got;
    for (char c : data) {
        reader.feed(std::string_view(&c, 1), got.sink());
    }
    ASSERT_EQ(got.frames.size(), 2u);
    EXPECT_EQ(SignalingMessage::decode(got.frames[1])->x, 0.5);
}

TEST(FrameReading, ZeroLengthFrameIsAnEmptyTextAndTheNextFrameStillArrives) {
    FrameReader reader;
    Collected got;
    reader.feed(frameText("") + frameText("{\"type\":\"screen_stop\"}"), got.sink());
    ASSERT_EQ(got.frames.size(), 2u);
    EXPECT_FALSE(SignalingMessage::decode(got.frames[0]));
    EXPECT_EQ(SignalingMessage::decode(got.frames[1])->type, "screen_stop");
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

TEST(FrameReading, PartialFrameIsHeldUntilTheRestArrives) {
    FrameReader reader;
    Collected got;
    auto f = frameText("0123456789");
    reader.feed(std::string_view(f).substr(0, 7), got.sink());
    EXPECT_TRUE(got.frames.empty());
    EXPECT_EQ(reader.buffered(), 7u);
    reader.feed(std::string_view(f).substr(7), got.sink());
    EXPECT_EQ(got.frames, std::vector<std::string>{"0123456789"});
}
