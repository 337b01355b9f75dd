#pragma once

#include "core/host_loop.hpp"
#include "core/log.hpp"

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace pelorn::test {

// Collects the lines the code logs while it lives.
class LogCapture {
public:
    LogCapture() {
        Log::shared().setSink([this](std::string_view line, bool systemLog) {
            lines.emplace_back(line);
            systemFlags.push_back(systemLog);
        });
    }
    ~LogCapture() { Log::shared().setSink({}); }

    bool contains(const std::string& line) const {
        for (const auto& l : lines) {
            if (l == line) {
                return true;
            }
        }
        return false;
    }
    int count(const std::string& line) const {
        int n = 0;
        for (const auto& l : lines) {
            n += l == line;
        }
        return n;
    }

    std::vector<std::string> lines;
    std::vector<bool> systemFlags;
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
