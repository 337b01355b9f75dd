#include "core/paths.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
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

std::optional<std::string> makePrivateFolder(const std::filesystem::path& dir) {
    if (::mkdir(dir.c_str(), 0700) == 0) {
        return std::nullopt;
    }
    if (errno != EEXIST) {
        return "cannot create " + dir.string() + ": " + std::strerror(errno);
    }
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) {
        return "cannot inspect " + dir.string() + ": " + std::strerror(errno);
    }
    if (!S_ISDIR(st.st_mode)) {
        return dir.string() + " is not a folder";
    }
    if (st.st_uid != ::geteuid()) {
        return dir.string() + " belongs to another user";
    }
    if ((st.st_mode & 077) != 0) {
        return dir.string() + " is open to other users";
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

std::filesystem::path runtimeRoot() {
    return fromEnv("XDG_RUNTIME_DIR").value_or("/tmp");
}

std::filesystem::path appRuntimeDir() {
    return *runtimeDir() / "pelorn";
}

std::optional<std::string> makePrivateFolders(const std::filesystem::path& root,
                                              const std::filesystem::path& dir) {
    std::error_code ec;
    std::filesystem::create_directories(root, ec);
    auto below = dir.lexically_relative(root);
    if (below.empty() || *below.begin() == "..") {
        return dir.string() + " is not under " + root.string();
    }
    auto at = root;
    for (const auto& part : below) {
        if (part == ".") {
            continue;
        }
        at /= part;
        if (auto error = makePrivateFolder(at)) {
            return error;
        }
    }
    return std::nullopt;
}

std::optional<std::filesystem::path> appDataDir() {
    if (auto dir = dataHome()) {
        return *dir / "Pelorn";
    }
    return std::nullopt;
}

} // namespace pelorn
