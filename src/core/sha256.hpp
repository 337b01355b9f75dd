#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace pelorn {

std::array<std::uint8_t, 32> sha256(std::string_view bytes);
// Lower-case hexadecimal digits, two per byte.
std::string hexLower(const std::uint8_t* bytes, std::size_t count);

} // namespace pelorn
