#pragma once

#include <filesystem>
#include <optional>

namespace pelorn {

// The XDG base directories, resolved from the environment at each call. Absent when neither the
// XDG variable nor HOME says where the directory is.
std::optional<std::filesystem::path> configHome();
std::optional<std::filesystem::path> dataHome();
std::optional<std::filesystem::path> runtimeDir();

// "$XDG_DATA_HOME/Pelorn": the activity log and the file secret store live here.
std::optional<std::filesystem::path> appDataDir();

} // namespace pelorn
