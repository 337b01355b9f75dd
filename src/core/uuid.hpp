#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pelorn {

// A new random (version 4) UUID in its standard upper-case text form.
std::string randomUuid();

// The canonical upper-case form of a hyphenated UUID text, or absent when it is not one.
std::optional<std::string> canonicalUuid(std::string_view text);

} // namespace pelorn
