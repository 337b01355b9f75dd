#pragma once

#include <optional>
#include <string>

namespace pelorn {

// Runs one shell command line with administrator rights after asking the owner. The error's
// description when it did not run or failed.
class PrivilegedRunner {
public:
    virtual ~PrivilegedRunner() = default;
    virtual std::optional<std::string> run(const std::string& commandLine) = 0;
};

} // namespace pelorn
