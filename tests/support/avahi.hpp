#pragma once

#include "core/process_runner.hpp"

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace pelorn::test {

// True when scripts/test-env started a loopback-only avahi-daemon for the tests.
inline bool haveLoopbackAvahi() {
    const char* avahi = std::getenv("PELORN_TEST_AVAHI");
    return avahi && std::string_view(avahi) == "loopback";
}

// The resolved "=" lines `avahi-browse -r -t -p _pelorn._tcp` prints, one per service and address.
inline std::vector<std::string> browsePelornServices() {
    ProcessOptions options;
    options.timeout = std::chrono::seconds(10);
    auto r = runProcess({"avahi-browse", "-r", "-t", "-p", "_pelorn._tcp"}, options);
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < r.out.size()) {
        auto end = r.out.find('\n', at);
        auto line = r.out.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (line.rfind("=;", 0) == 0) {
            lines.push_back(line);
        }
        at = end == std::string::npos ? r.out.size() : end + 1;
    }
    return lines;
}

} // namespace pelorn::test
