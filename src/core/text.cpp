#include "core/text.hpp"

#include <unicode/locid.h>
#include <unicode/unistr.h>

namespace pelorn {

std::string lowercased(std::string_view utf8) {
    auto text =
        icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
    std::string out;
    text.toLower(icu::Locale::getRoot()).toUTF8String(out);
    return out;
}

} // namespace pelorn
