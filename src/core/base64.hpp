#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pelorn::base64 {

// Standard alphabet, with padding, no line breaks.
std::string encode(std::span<const std::uint8_t> bytes);
std::string encode(std::string_view bytes);

// Strict: the length is a multiple of four, only the standard alphabet, '=' only as the final
// one or two characters, no white space. Absent otherwise.
std::optional<std::vector<std::uint8_t>> decode(std::string_view text);

// The URL-safe alphabet ('-' and '_' for '+' and '/') without padding, as JWT segments and PKCE use.
std::string encodeUrl(std::span<const std::uint8_t> bytes);
// Strict: only that alphabet, no '=', no length that no byte string encodes to.
std::optional<std::vector<std::uint8_t>> decodeUrl(std::string_view text);

} // namespace pelorn::base64
