#include "core/atomic_file.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace pelorn {

namespace {

std::string errorText(const char* step) {
    return std::string(step) + ": " + std::strerror(errno);
}

bool writeAll(int fd, std::string_view contents) {
    while (!contents.empty()) {
        ssize_t n = ::write(fd, contents.data(), contents.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        contents.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

} // namespace

std::optional<std::string> writeFileAtomically(const std::filesystem::path& path, std::string_view contents,
                                               mode_t mode) {
    std::string tmp = path.string() + ".XXXXXX";
    int fd = ::mkstemp(tmp.data());
    if (fd < 0) {
        return errorText("create temporary file");
    }
    std::optional<std::string> error;
    if (::fchmod(fd, mode) != 0) {
        error = errorText("set mode");
    } else if (!writeAll(fd, contents)) {
        error = errorText("write");
    } else if (::fsync(fd) != 0) {
        error = errorText("sync");
    }
    if (::close(fd) != 0 && !error) {
        error = errorText("close");
    }
    if (!error && ::rename(tmp.c_str(), path.c_str()) != 0) {
        error = errorText("rename");
    }
    if (error) {
        ::unlink(tmp.c_str());
    }
    return error;
}

std::optional<std::string> readWholeFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream out;
    out << in.rdbuf();
    if (in.bad()) {
        return std::nullopt;
    }
    return std::move(out).str();
}

} // namespace pelorn
