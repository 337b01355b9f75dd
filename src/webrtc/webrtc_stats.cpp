#include "webrtc/webrtc_stats.hpp"

namespace pelorn {

namespace {

// A value in its textual form, "?" when absent.
std::string text(const nlohmann::json& values, const char* key) {
    auto it = values.find(key);
    if (it == values.end() || it->is_null()) {
        return "?";
    }
    if (it->is_string()) {
        return it->get<std::string>();
    }
    if (it->is_boolean()) {
        return it->get<bool>() ? "true" : "false";
    }
    if (it->is_number_integer() || it->is_number_unsigned()) {
        return std::to_string(it->get<std::int64_t>());
    }
    if (it->is_number_float()) {
        double value = it->get<double>();
        if (value == static_cast<double>(static_cast<std::int64_t>(value))) {
            return std::to_string(static_cast<std::int64_t>(value));
        }
        return std::to_string(value);
    }
    return it->dump();
}

std::string string(const nlohmann::json& values, const char* key) {
    auto it = values.find(key);
    return it != values.end() && it->is_string() ? it->get<std::string>() : std::string();
}

double number(const nlohmann::json& values, const char* key) {
    auto it = values.find(key);
    return it != values.end() && it->is_number() ? it->get<double>() : 0.0;
}

std::string candidateType(const StatsReport& report, const std::string& id) {
    auto it = report.find(id);
    if (it == report.end()) {
        return "?";
    }
    auto type = string(it->second.values, "candidateType");
    return type.empty() ? "?" : type;
}

const StatsObject* selectedPair(const StatsReport& report) {
    for (const auto& [id, object] : report) {
        if (object.type == "transport") {
            auto selected = report.find(string(object.values, "selectedCandidatePairId"));
            if (selected != report.end() && selected->second.type == "candidate-pair") {
                return &selected->second;
            }
        }
    }
    return nullptr;
}

const StatsObject* succeededNominatedPair(const StatsReport& report) {
    const StatsObject* best = nullptr;
    for (const auto& [id, object] : report) {
        auto nominated = object.values.find("nominated");
        if (object.type != "candidate-pair" || nominated == object.values.end() || !nominated->is_boolean() ||
            !nominated->get<bool>() || string(object.values, "state") != "succeeded") {
            continue;
        }
        if (!best || number(object.values, "bytesSent") > number(best->values, "bytesSent")) {
            best = &object;
        }
    }
    return best;
}

std::string pairTypes(const StatsReport& report, const StatsObject& pair) {
    return candidateType(report, string(pair.values, "localCandidateId")) + "→" +
           candidateType(report, string(pair.values, "remoteCandidateId"));
}

std::string lossReason(const std::string& state) {
    if (state == "failed") {
        return "connectivity check failed (blocked by NAT/firewall - e.g. CGNAT/symmetric NAT)";
    }
    if (state == "frozen" || state == "waiting") {
        return "never tried (lower priority / not reached)";
    }
    if (state == "in-progress") {
        return "still checking when ICE settled";
    }
    if (state == "cancelled") {
        return "cancelled (superseded by the winning pair)";
    }
    return "state=" + state;
}

} // namespace

std::optional<PathClassification> classifyPath(const StatsReport& report) {
    const StatsObject* pair = selectedPair(report);
    if (!pair) {
        pair = succeededNominatedPair(report);
    }
    if (!pair) {
        return std::nullopt;
    }
    PathClassification result;
    result.localType = candidateType(report, string(pair->values, "localCandidateId"));
    result.remoteType = candidateType(report, string(pair->values, "remoteCandidateId"));
    result.path = result.localType == "relay" || result.remoteType == "relay" ? "relay" : "direct";
    return result;
}

std::optional<ReceiverProgress> receiverProgress(const StatsReport& report) {
    for (const auto& [id, object] : report) {
        if (object.type != "remote-inbound-rtp" || !object.values.contains("extendedHighestSequenceNumber")) {
            continue;
        }
        auto sent = report.find(string(object.values, "localId"));
        if (sent == report.end() || !sent->second.values.contains("packetsSent")) {
            continue;
        }
        const auto& through = object.values["extendedHighestSequenceNumber"];
        const auto& packets = sent->second.values["packetsSent"];
        if (through.is_number_integer() && packets.is_number_integer()) {
            return ReceiverProgress{packets.get<std::int64_t>(), through.get<std::int64_t>()};
        }
    }
    return std::nullopt;
}

std::vector<std::string> outgoingVideoLines(const StatsReport& report) {
    std::vector<std::string> lines;
    for (const auto& [id, object] : report) {
        if (object.type != "outbound-rtp" ||
            (string(object.values, "kind") != "video" && string(object.values, "mediaType") != "video")) {
            continue;
        }
        const auto& v = object.values;
        lines.push_back("📊 Mac OUT video: framesEncoded=" + text(v, "framesEncoded") +
                        " framesSent=" + text(v, "framesSent") + " bytesSent=" + text(v, "bytesSent") +
                        " size=" + text(v, "frameWidth") + "x" + text(v, "frameHeight") +
                        " limit=" + text(v, "qualityLimitationReason"));
    }
    return lines;
}

std::vector<std::string> candidatePairLines(const StatsReport& report, bool final) {
    std::vector<const StatsObject*> pairs;
    for (const auto& [id, object] : report) {
        if (object.type == "candidate-pair") {
            pairs.push_back(&object);
        }
    }
    if (pairs.empty()) {
        return {"🔬 PAIRS: none reported yet"};
    }
    std::vector<std::string> lines;
    for (const auto* pair : pairs) {
        const auto& v = pair->values;
        auto nominated = v.find("nominated");
        bool isNominated = nominated != v.end() && nominated->is_boolean() && nominated->get<bool>();
        lines.push_back("🔬 PAIR " + pairTypes(report, *pair) + " state=" + text(v, "state") +
                        " nominated=" + (isNominated ? "true" : "false") +
                        " bytesSent=" + text(v, "bytesSent") + " bytesReceived=" + text(v, "bytesReceived"));
    }
    if (!final) {
        return lines;
    }
    const StatsObject* winner = selectedPair(report);
    if (!winner) {
        for (const auto* pair : pairs) {
            if (string(pair->values, "state") == "succeeded") {
                winner = pair;
                break;
            }
        }
    }
    if (!winner) {
        lines.push_back("🔬 ICE SETTLED - no succeeded pair found");
        return lines;
    }
    lines.push_back("🔬 ICE SETTLED - winner: " + pairTypes(report, *winner) + " (selected, " +
                    text(winner->values, "bytesSent") + " bytes sent / " +
                    text(winner->values, "bytesReceived") + " bytes recv)");
    for (const auto* pair : pairs) {
        if (pair != winner) {
            lines.push_back("🔬   " + pairTypes(report, *pair) + ": " +
                            lossReason(string(pair->values, "state")));
        }
    }
    return lines;
}

} // namespace pelorn
