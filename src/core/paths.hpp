#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace pelorn {

// The XDG base directories, resolved from the environment at each call. Absent when neither the
// XDG variable nor HOME says where the directory is.
std::optional<std::filesystem::path> configHome();
std::optional<std::filesystem::path> dataHome();
std::optional<std::filesystem::path> runtimeDir();

// "$XDG_DATA_HOME/Pelorn": the activity log and the file secret store live here.
std::optional<std::filesystem::path> appDataDir();

// Where runtimeDir() is trusted from: $XDG_RUNTIME_DIR itself, or /tmp, under which the fallback
// folder must prove to be this user's own.
std::filesystem::path runtimeRoot();
// "runtimeDir()/pelorn": the control socket and the terminal launchers.
std::filesystem::path appRuntimeDir();
// Makes every folder from below `root` down to `dir` one that only this user can use: created
// 0700 when missing, otherwise accepted only when it is a real folder (not a link) that this user
// owns and nobody else can enter. `root` itself is created when missing, as it is. The error says
// which folder was refused and why.
std::optional<std::string> makePrivateFolders(const std::filesystem::path& root,
                                              const std::filesystem::path& dir);

} // namespace pelorn
