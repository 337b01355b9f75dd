#pragma once

#include "app/control/control_protocol.hpp"

#include <chrono>
#include <filesystem>
#include <string>
#include <variant>

namespace pelorn {

enum class ControlClientError { NotRunning, NoAnswer, BadReply };

struct ControlClientFailure {
    ControlClientError error;
    std::string detail;
};

// Sends one request to the running host and waits for its reply. Blocking.
std::variant<ControlResponse, ControlClientFailure> sendControlRequest(const std::filesystem::path& socket,
                                                                       const ControlRequest& request,
                                                                       std::chrono::milliseconds timeout);

} // namespace pelorn
