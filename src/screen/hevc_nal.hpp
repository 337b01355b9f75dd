#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pelorn {

// One encoded HEVC picture in the form the media stream carries: the parameter sets (VPS, SPS,
// PPS in the order they came) apart, and every other NAL unit preceded by its length as a 4-byte
// big-endian integer, with no start codes. Access unit delimiters are left out.
struct LengthPrefixedUnit {
    std::vector<std::string> parameterSets;
    std::string nalUnits;
};

// From an Annex-B byte stream (NAL units after 00 00 01 or 00 00 00 01 start codes).
LengthPrefixedUnit fromAnnexB(std::string_view annexB);

// Back to Annex-B: each length-prefixed unit after a 4-byte start code. A unit cut short ends it.
std::string toAnnexB(std::string_view lengthPrefixed);

// Appends `n` as a 4-byte big-endian integer, the length form of the media stream.
void appendLength(std::string& out, std::size_t n);

// The HEVC NAL unit type of a unit's first byte.
inline int hevcNalType(unsigned char firstByte) {
    return (firstByte >> 1) & 0x3f;
}

} // namespace pelorn
