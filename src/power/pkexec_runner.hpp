#pragma once

#include "power/privileged_runner.hpp"

#include <string>
#include <vector>

namespace pelorn {

// polkit's pkexec running `/bin/sh -c LINE`; pkexec's "dismissed" status is a cancellation.
class PkexecRunner final : public PrivilegedRunner {
public:
    // The program and arguments put before `/bin/sh -c LINE`.
    explicit PkexecRunner(std::vector<std::string> elevate = {"pkexec"}) : mElevate(std::move(elevate)) {}
    std::optional<std::string> run(const std::string& commandLine) override;

private:
    std::vector<std::string> mElevate;
};

} // namespace pelorn
