#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace pelorn {

// Writes the whole file or nothing: a temporary file in the same folder, flushed to disk, then
// renamed over the target. Returns an error text on failure.
std::optional<std::string> writeFileAtomically(const std::filesystem::path& path, std::string_view contents,
                                               mode_t mode = 0644);

// The whole file, or absent when it cannot be read.
std::optional<std::string> readWholeFile(const std::filesystem::path& path);

} // namespace pelorn
