#pragma once

#include "core/host_loop.hpp"
#include "core/log.hpp"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace pelorn::test {

// Appends what a child's output pipe holds right now to `into`, without waiting.
inline void appendAvailable(int fd, std::string& into) {
    pollfd p{fd, POLLIN, 0};
    char buffer[512];
    while (::poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) {
        auto n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            return;
        }
        into.append(buffer, static_cast<std::size_t>(n));
    }
}

// The process's resident memory in KiB (VmRSS), or -1 when it cannot be read.
inline long residentKiB(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

// Collects the lines the code logs while it lives. Other threads log too, so every look is under
// the lock and hands out a copy.
class LogCapture {
public:
    LogCapture() {
        Log::shared().setSink([this](std::string_view line, bool systemLog) {
            std::lock_guard lock(mMutex);
            mLines.emplace_back(line);
            mSystemFlags.push_back(systemLog);
        });
    }
    ~LogCapture() { Log::shared().setSink({}); }

    std::vector<std::string> lines() const {
        std::lock_guard lock(mMutex);
        return mLines;
    }
    std::vector<bool> systemFlags() const {
        std::lock_guard lock(mMutex);
        return mSystemFlags;
    }
    void clear() {
        std::lock_guard lock(mMutex);
        mLines.clear();
        mSystemFlags.clear();
    }
    bool contains(const std::string& line) const { return count(line) > 0; }
    int count(const std::string& line) const {
        std::lock_guard lock(mMutex);
        return static_cast<int>(std::count(mLines.begin(), mLines.end(), line));
    }

private:
    mutable std::mutex mMutex;
    std::vector<std::string> mLines;
    std::vector<bool> mSystemFlags;
};

// A fresh folder, removed with everything in it at the end of the test.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "pelorn-test.XXXXXX").string();
        mPath = ::mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(mPath, ec);
    }
    const std::filesystem::path& path() const { return mPath; }
    std::filesystem::path operator/(const std::string& name) const { return mPath / name; }

private:
    std::filesystem::path mPath;
};

// Runs what other threads posted to `loop` until `done` holds; false when it never did in time.
inline bool pumpUntil(HostLoop& loop, const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        if (loop.runPending() == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    return true;
}

} // namespace pelorn::test
