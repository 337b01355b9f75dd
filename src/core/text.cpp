#include "core/text.hpp"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

namespace pelorn {

namespace {

icu::UnicodeString fromUtf8(std::string_view utf8) {
    return icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
}

} // namespace

std::string lowercased(std::string_view utf8) {
    auto text = fromUtf8(utf8);
    std::string out;
    text.toLower(icu::Locale::getRoot()).toUTF8String(out);
    return out;
}

std::string trimmed(std::string_view utf8) {
    auto u = fromUtf8(utf8);
    int32_t start = 0, end = u.length();
    while (start < end && u_isUWhiteSpace(u.char32At(start))) {
        start = u.moveIndex32(start, 1);
    }
    while (end > start && u_isUWhiteSpace(u.char32At(u.moveIndex32(end, -1)))) {
        end = u.moveIndex32(end, -1);
    }
    std::string out;
    u.tempSubStringBetween(start, end).toUTF8String(out);
    return out;
}

std::string validUtf8(std::string_view bytes) {
    std::string out;
    fromUtf8(bytes).toUTF8String(out);
    return out;
}

std::size_t codePointCount(std::string_view utf8) {
    return static_cast<std::size_t>(fromUtf8(utf8).countChar32());
}

} // namespace pelorn
