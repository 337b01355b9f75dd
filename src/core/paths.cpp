#include "core/paths.hpp"

#include <cstdlib>
#include <string>
#include <unistd.h>

namespace pelorn {

namespace {

std::optional<std::filesystem::path> fromEnv(const char* name) {
    const char* value = std::getenv(name);
    // The XDG rules ignore relative paths.
    if (value && value[0] == '/') {
        return std::filesystem::path(value);
    }
    return std::nullopt;
}

std::optional<std::filesystem::path> underHome(const char* relative) {
    if (auto home = fromEnv("HOME")) {
        return *home / relative;
    }
    return std::nullopt;
}

} // namespace

std::optional<std::filesystem::path> configHome() {
    if (auto dir = fromEnv("XDG_CONFIG_HOME")) {
        return dir;
    }
    return underHome(".config");
}

std::optional<std::filesystem::path> dataHome() {
    if (auto dir = fromEnv("XDG_DATA_HOME")) {
        return dir;
    }
    return underHome(".local/share");
}

std::optional<std::filesystem::path> runtimeDir() {
    if (auto dir = fromEnv("XDG_RUNTIME_DIR")) {
        return dir;
    }
    // Without a session runtime directory, a per-user folder in /tmp keeps the control socket
    // apart from other users' (its mode is checked where it is created).
    return std::filesystem::path("/tmp") / ("pelorn-runtime-" + std::to_string(getuid()));
}

std::optional<std::filesystem::path> appDataDir() {
    if (auto dir = dataHome()) {
        return *dir / "Pelorn";
    }
    return std::nullopt;
}

} // namespace pelorn
