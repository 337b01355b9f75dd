// The arithmetic and texts of the WebRTC peer that need no engine: fitting the source to a quality
// profile, the offer's H.264 level, candidate classes, and which path a statistics report says was
// taken.
#include "webrtc/sdp.hpp"
#include "webrtc/video_quality_profile.hpp"
#include "webrtc/webrtc_stats.hpp"

#include <gtest/gtest.h>

using namespace pelorn;

namespace {

TEST(VideoQualityProfileTest, TheSourceIsFittedInsideTheCapWithoutScalingUp) {
    struct Case {
        VideoSize source;
        VideoSize direct;
        VideoSize relay;
    };
    std::vector<Case> cases{
        {{2940, 1912}, {2768, 1800}, {1660, 1080}},
        {{3456, 2234}, {2784, 1800}, {1670, 1080}},
        {{2560, 1600}, {2560, 1600}, {1728, 1080}},
        {{1440, 900}, {1440, 900}, {1440, 900}},
        {{1366, 768}, {1366, 768}, {1366, 768}},
        {{1081, 607}, {1080, 606}, {1080, 606}}, // odd sides come down to even ones
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fittedSize(VideoQualityProfile::direct, c.source), c.direct) << c.source.width;
        EXPECT_EQ(fittedSize(VideoQualityProfile::relay, c.source), c.relay) << c.source.width;
    }
    EXPECT_EQ(profileLine(VideoQualityProfile::direct, "path change"),
              "🎚️ PELORN QUALITY: DIRECT profile - 1800p @ 40 Mbps (path change)");
    EXPECT_EQ(profileLine(VideoQualityProfile::relay, "initial default"),
              "🎚️ PELORN QUALITY: RELAY profile - 1080p @ 24 Mbps (initial default)");
}

TEST(SdpTest, TheOfferCarriesLevelFivePointTwoAndCandidatesAreClassed) {
    EXPECT_EQ(raiseH264Level("a=fmtp:96 packetization-mode=1;profile-level-id=42e01f\r\n"),
              "a=fmtp:96 packetization-mode=1;profile-level-id=42e034\r\n");
    EXPECT_EQ(raiseH264Level("profile-level-id=640c1f;x profile-level-id=42001F"),
              "profile-level-id=640c34;x profile-level-id=420034");
    EXPECT_EQ(raiseH264Level("a=rtpmap:96 VP8/90000\r\n"), "a=rtpmap:96 VP8/90000\r\n");

    EXPECT_EQ(candidateClass("candidate:1 1 UDP 1 10.0.0.2 5000 typ relay raddr 1.2.3.4"), "relay (TURN)");
    EXPECT_EQ(candidateClass("candidate:1 1 UDP 1 1.2.3.4 5000 typ srflx raddr 10.0.0.2"), "srflx (STUN)");
    EXPECT_EQ(candidateClass("candidate:1 1 UDP 1 10.0.0.2 5000 typ host"), "host (LAN)");
    EXPECT_EQ(candidateClass("candidate:1 1 UDP 1 10.0.0.2 5000 typ prflx"), "other");
}

class PathTest : public ::testing::Test {
protected:
    void candidate(const std::string& id, const std::string& type) {
        report[id] = {"local-candidate", {{"candidateType", type}}};
    }
    void pair(const std::string& id, const std::string& local, const std::string& remote,
              const std::string& state, bool nominated, double bytesSent) {
        report[id] = {"candidate-pair",
                      {{"localCandidateId", local},
                       {"remoteCandidateId", remote},
                       {"state", state},
                       {"nominated", nominated},
                       {"bytesSent", bytesSent},
                       {"bytesReceived", 10}}};
    }
    StatsReport report;
};

TEST_F(PathTest, TheSelectedPairDecidesElseTheBusiestNominatedOne) {
    candidate("L-host", "host");
    candidate("L-relay", "relay");
    candidate("R-host", "host");
    candidate("R-srflx", "srflx");
    EXPECT_EQ(classifyPath(report), std::nullopt) << "no pair at all";

    pair("P1", "L-host", "R-srflx", "succeeded", true, 100);
    pair("P2", "L-relay", "R-host", "succeeded", true, 5000);
    pair("P3", "L-host", "R-host", "succeeded", false, 9000); // not nominated
    EXPECT_EQ(classifyPath(report), (PathClassification{"relay", "relay", "host"}))
        << "the busiest nominated";

    report["T"] = {"transport", {{"selectedCandidatePairId", "P1"}}};
    EXPECT_EQ(classifyPath(report), (PathClassification{"direct", "host", "srflx"}))
        << "the transport's choice";

    StatsReport unsettled;
    unsettled["P"] = {"candidate-pair", {{"nominated", true}, {"state", "in-progress"}}};
    EXPECT_EQ(classifyPath(unsettled), std::nullopt);
}

} // namespace
