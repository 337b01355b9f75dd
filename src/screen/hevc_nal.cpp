#include "screen/hevc_nal.hpp"

namespace pelorn {

namespace {

constexpr int vpsType = 32, spsType = 33, ppsType = 34, audType = 35;

// The offset just after the next start code at or after `from`; npos when there is none.
std::size_t nextStart(std::string_view s, std::size_t from, std::size_t& codeAt) {
    for (std::size_t i = from; i + 2 < s.size(); ++i) {
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
            codeAt = i;
            return i + 3;
        }
    }
    codeAt = s.size();
    return std::string_view::npos;
}

} // namespace

void appendLength(std::string& out, std::size_t n) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<char>((n >> shift) & 0xff));
    }
}

LengthPrefixedUnit fromAnnexB(std::string_view annexB) {
    LengthPrefixedUnit unit;
    std::size_t codeAt = 0;
    std::size_t start = nextStart(annexB, 0, codeAt);
    while (start != std::string_view::npos) {
        std::size_t nextCode = 0;
        std::size_t next = nextStart(annexB, start, nextCode);
        std::string_view nal = annexB.substr(start, nextCode - start);
        // Zero bytes before the next start code (a 4-byte code's first, or padding) are not the unit's.
        while (!nal.empty() && nal.back() == 0) {
            nal.remove_suffix(1);
        }
        if (!nal.empty()) {
            int type = hevcNalType(static_cast<unsigned char>(nal[0]));
            if (type == vpsType || type == spsType || type == ppsType) {
                unit.parameterSets.emplace_back(nal);
            } else if (type != audType) {
                appendLength(unit.nalUnits, nal.size());
                unit.nalUnits.append(nal);
            }
        }
        start = next;
    }
    return unit;
}

std::string toAnnexB(std::string_view lengthPrefixed) {
    static constexpr std::string_view startCode("\0\0\0\1", 4);
    std::string out;
    for (std::size_t at = 0; at + 4 <= lengthPrefixed.size();) {
        std::size_t length = 0;
        for (int i = 0; i < 4; ++i) {
            length = length << 8 | static_cast<unsigned char>(lengthPrefixed[at + i]);
        }
        at += 4;
        if (length > lengthPrefixed.size() - at) {
            break;
        }
        out.append(startCode).append(lengthPrefixed.substr(at, length));
        at += length;
    }
    return out;
}

} // namespace pelorn
