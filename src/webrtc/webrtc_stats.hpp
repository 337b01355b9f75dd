#pragma once

#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace pelorn {

// One object of a statistics report under the standard WebRTC names ("candidate-pair",
// "bytesSent", …); values as JSON scalars.
struct StatsObject {
    std::string type;
    nlohmann::json values = nlohmann::json::object();
};
// By report id.
using StatsReport = std::map<std::string, StatsObject>;

struct PathClassification {
    std::string path; // "direct" or "relay"
    std::string localType;
    std::string remoteType;
    bool operator==(const PathClassification&) const = default;
};

// The path the media takes: the transport's selected pair, else the nominated succeeded pair
// (the busiest of several); relayed when either end is a relay candidate. Absent when the report
// names no such pair.
std::optional<PathClassification> classifyPath(const StatsReport& report);

// How far the client has acknowledged the video: the packets sent, and the highest sequence number
// its latest receiver report covers. Absent before its first report. The first climbs while the
// second stands still when the client has stopped reporting (frozen, asleep, gone).
struct ReceiverProgress {
    std::int64_t packetsSent = 0;
    std::int64_t reportedThrough = 0;
    bool operator==(const ReceiverProgress&) const = default;
};
std::optional<ReceiverProgress> receiverProgress(const StatsReport& report);

// "📊 Mac OUT video: …" for each outgoing video stream.
std::vector<std::string> outgoingVideoLines(const StatsReport& report);

// "🔬 PAIR …" for every candidate pair; the final dump also names the winner and why each other
// pair lost.
std::vector<std::string> candidatePairLines(const StatsReport& report, bool final);

} // namespace pelorn
