#pragma once

#include <string>

namespace pelorn {

// Raises the H.264 level of every "profile-level-id" in an offer to 5.2 (level byte 0x34),
// keeping profile and constraint flags: the client's decoder then accepts the large screen sizes
// the direct profile sends.
std::string raiseH264Level(const std::string& sdp);

// What kind of local candidate a candidate line is, for the log: "relay (TURN)", "srflx (STUN)",
// "host (LAN)" or "other".
std::string candidateClass(const std::string& candidateLine);

} // namespace pelorn
