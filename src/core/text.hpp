#pragma once

#include <string>
#include <string_view>

namespace pelorn {

// Unicode lower case, independent of the locale (as e-mail owner keys need).
std::string lowercased(std::string_view utf8);

} // namespace pelorn
