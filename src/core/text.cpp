#include "core/text.hpp"

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
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

std::string shownText(std::string_view bytes, std::size_t maxCharacters) {
    // A character is at most four bytes, so this much always holds one more than is kept.
    auto text = fromUtf8(bytes.substr(0, (maxCharacters + 1) * 4));
    std::string out;
    std::size_t kept = 0;
    for (int32_t i = 0; i < text.length(); i = text.moveIndex32(i, 1), ++kept) {
        if (kept == maxCharacters) {
            out += "…";
            break;
        }
        UChar32 c = text.char32At(i);
        if (u_charType(c) == U_CONTROL_CHAR) {
            char escaped[16];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(c)); // all below 0x100
            out += escaped;
        } else {
            icu::UnicodeString(c).toUTF8String(out);
        }
    }
    return out;
}

std::size_t codePointCount(std::string_view utf8) {
    return static_cast<std::size_t>(fromUtf8(utf8).countChar32());
}

std::u32string codePoints(std::string_view utf8) {
    auto text = fromUtf8(utf8);
    std::u32string out;
    for (int32_t i = 0; i < text.length(); i = text.moveIndex32(i, 1)) {
        out.push_back(static_cast<char32_t>(text.char32At(i)));
    }
    return out;
}

std::string utf8Of(char32_t codePoint) {
    std::string out;
    icu::UnicodeString(static_cast<UChar32>(codePoint)).toUTF8String(out);
    return out;
}

std::string nfc(std::string_view utf8) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* normalizer = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) {
        throw std::runtime_error("Unicode normalisation is unavailable");
    }
    icu::UnicodeString composed = normalizer->normalize(fromUtf8(utf8), status);
    if (U_FAILURE(status)) {
        throw std::runtime_error("Unicode normalisation failed");
    }
    std::string out;
    composed.toUTF8String(out);
    return out;
}

std::vector<std::string> graphemeClusters(std::string_view utf8) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> it(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status)) {
        throw std::runtime_error("grapheme segmentation is unavailable");
    }
    icu::UnicodeString text = fromUtf8(utf8);
    it->setText(text);
    std::vector<std::string> clusters;
    for (int32_t start = it->first(), end = it->next(); end != icu::BreakIterator::DONE;
         start = end, end = it->next()) {
        text.tempSubStringBetween(start, end).toUTF8String(clusters.emplace_back());
    }
    return clusters;
}

std::size_t graphemeCount(std::string_view utf8) {
    return graphemeClusters(utf8).size();
}

} // namespace pelorn
