#include "webrtc/sdp.hpp"

#include <regex>

namespace pelorn {

std::string raiseH264Level(const std::string& sdp) {
    static const std::regex level("profile-level-id=([0-9a-fA-F]{4})[0-9a-fA-F]{2}");
    return std::regex_replace(sdp, level, "profile-level-id=$0134");
}

std::string candidateClass(const std::string& candidateLine) {
    if (candidateLine.find("typ relay") != std::string::npos) {
        return "relay (TURN)";
    }
    if (candidateLine.find("typ srflx") != std::string::npos) {
        return "srflx (STUN)";
    }
    if (candidateLine.find("typ host") != std::string::npos) {
        return "host (LAN)";
    }
    return "other";
}

} // namespace pelorn
