#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelorn {

// One request line and one reply line of JSON on the control socket.
struct ControlRequest {
    std::string command;
    std::vector<std::string> args;
    std::optional<std::string> input; // what the caller read from its stdin, for commands that take it
};

struct ControlResponse {
    bool ok = false;
    std::string text;    // what pelornctl prints
    nlohmann::json data; // what pelornctl prints with --json
    std::string error;   // the one-line reason when !ok

    static ControlResponse success(std::string text, nlohmann::json data = nullptr);
    static ControlResponse failure(std::string error);
};

// A request longer than this is refused: nothing legitimate comes close.
constexpr std::size_t maxControlLine = 1 << 20;
// Replies carry what the host holds, the whole activity log included: the client reads this much,
// which a month of entries of bounded size stays far below.
constexpr std::size_t maxControlReply = 64 << 20;

std::string encodeRequest(const ControlRequest& request);
std::optional<ControlRequest> decodeRequest(std::string_view line);
std::string encodeResponse(const ControlResponse& response);
std::optional<ControlResponse> decodeResponse(std::string_view line);

// $XDG_RUNTIME_DIR/pelorn/control.sock
std::filesystem::path controlSocketPath();

} // namespace pelorn
