#pragma once

#include <string>
#include <string_view>

namespace pelorn {

// Unicode lower case, independent of the locale (as e-mail owner keys need).
std::string lowercased(std::string_view utf8);
// Without Unicode white space (newlines included) at either end.
std::string trimmed(std::string_view utf8);
// Valid UTF-8: each invalid sequence becomes U+FFFD.
std::string validUtf8(std::string_view bytes);
// Unicode code points.
std::size_t codePointCount(std::string_view utf8);

} // namespace pelorn
