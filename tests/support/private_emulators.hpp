#pragma once

// Both cloud emulators started by this process for itself, for programs in a network namespace of
// their own that cannot reach the ones scripts/test-env starts: they listen on this namespace's
// loopback, and FIREBASE_AUTH_EMULATOR_HOST and FIRESTORE_EMULATOR_HOST name them from then on.
#include "core/process_runner.hpp"
#include "support/test_support.hpp"

#include <csignal>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace pelorn::test {

class PrivateEmulators {
public:
    // Starts what this machine has; the tests that need one skip or fail without it, as elsewhere.
    PrivateEmulators() {
        start("start-auth-emulator", "auth", "FIREBASE_AUTH_EMULATOR_HOST");
        start("start-firestore-emulator", "firestore", "FIRESTORE_EMULATOR_HOST");
    }
    ~PrivateEmulators() {
        for (int pid : mPids) {
            ::kill(-pid, SIGKILL);
        }
    }

    PrivateEmulators(const PrivateEmulators&) = delete;
    PrivateEmulators& operator=(const PrivateEmulators&) = delete;

private:
    void start(const std::string& script, const std::string& folder, const char* variable) {
        std::istringstream lines(
            runProcess({std::string(PELORN_TESTS_DIR) + "/../scripts/" + script, (mDir / folder).string()})
                .out);
        std::string host;
        std::string pid;
        std::getline(lines, host);
        std::getline(lines, pid);
        if (host.empty() || pid.empty()) {
            ::unsetenv(variable);
            return;
        }
        mPids.push_back(std::stoi(pid));
        ::setenv(variable, host.c_str(), 1);
    }

    TempDir mDir;
    std::vector<int> mPids;
};

} // namespace pelorn::test
