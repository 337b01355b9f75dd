#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pelorn {

// Unicode lower case, independent of the locale (as e-mail owner keys need).
std::string lowercased(std::string_view utf8);
// Without Unicode white space (newlines included) at either end.
std::string trimmed(std::string_view utf8);
// Valid UTF-8: each invalid sequence becomes U+FFFD.
std::string validUtf8(std::string_view bytes);
// Text from outside (a peer's device name, a message type) as it may be shown and stored: valid
// UTF-8, control characters (ESC included) written as \xNN or \u{N}, and at most `maxCharacters`
// code points, a longer text cut on a character boundary and ended with "…".
std::string shownText(std::string_view bytes, std::size_t maxCharacters = 128);
// Unicode code points.
std::size_t codePointCount(std::string_view utf8);
std::u32string codePoints(std::string_view utf8);
std::string utf8Of(char32_t codePoint);
// Unicode canonical composition.
std::string nfc(std::string_view utf8);
// User-perceived characters (extended grapheme clusters), each as UTF-8, in order.
std::vector<std::string> graphemeClusters(std::string_view utf8);
std::size_t graphemeCount(std::string_view utf8);

} // namespace pelorn
