// pelornctl: drives the running host over its control socket.
#include "app/control/control_client.hpp"
#include "app/control/control_protocol.hpp"

#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

using namespace pelorn;

namespace {

constexpr auto requestTimeout = std::chrono::seconds(30);
constexpr auto signInTimeout = std::chrono::seconds(610);
constexpr auto deletionTimeout = std::chrono::seconds(90);

enum Exit { Ok = 0, Refused = 1, NotRunning = 2, Usage = 64 };

int usage(FILE* out) {
    std::fputs("usage: pelornctl [--json] COMMAND [ARGS] | --version\n"
               "  status          online state, last error, device id, computer name\n"
               "  online          go online (needs a signed-in account)\n"
               "  offline         go offline\n"
               "  logs [--export] the activity log, newest first (--export: the copy text)\n"
               "  logs clear      delete every entry (what happens next is still recorded)\n"
               "  password set    set the master password (one line read from stdin)\n"
               "  approvals       the device waiting for approval, if any\n"
               "  approve ID      approve the waiting device (its id as approvals shows it)\n"
               "  deny ID         turn the waiting device away\n"
               "  devices         the approved devices\n"
               "  devices remove ID\n"
               "                  revoke a device; its connections close\n"
               "  sessions        the tmux sessions: name, status, idle line\n"
               "  sessions new [NAME]\n"
               "                  start a session (a suggested name without NAME)\n"
               "  sessions end NAME\n"
               "                  end a session\n"
               "  lifetime [HOURS]\n"
               "                  idle time before host-made sessions end: never, 1, 3, 6, 12, 24\n"
               "  keep-awake on|off\n"
               "                  keep the computer awake (also while offline)\n"
               "  autostart [on|off]\n"
               "                  start the host when you log in to the desktop\n"
               "  show            bring the host's window to the front\n"
               "  display [NAME|--primary]\n"
               "                  the monitors and which one is streamed, or stream and drive another\n"
               "                  (--primary: the primary monitor, whichever that is)\n"
               "  closed-lid on|off\n"
               "                  keep running with the lid closed while online (asks for the\n"
               "                  administrator password)\n"
               "  sign-in google|apple [--print-link]\n"
               "                  sign in with Google or Apple in the browser (--print-link: print the\n"
               "                  link to open instead, and return at once)\n"
               "  sign-in cancel  abandon the sign-in that waits for the browser\n"
               "  open-url URL    hand the host a link of its own scheme (Apple's sign-in comes back\n"
               "                  this way; the desktop entry's URL handler runs it)\n"
               "  sign-out        sign out\n"
               "  account delete --yes\n"
               "                  delete your account for good, on every device (goes offline first)\n"
               "  update check    look for a newer release on the product's website\n"
               "  update skip     stop offering the release on offer (unless it is required)\n"
               "  quit            stop the host\n",
               out);
    return out == stderr ? Usage : Ok;
}

void printLine(const std::string& text) {
    if (!text.empty()) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fputc('\n', stdout);
    }
}

// One line from stdin without its line ending; typed without echo when stdin is a terminal.
std::optional<std::string> readPasswordLine() {
    bool terminal = ::isatty(STDIN_FILENO);
    termios saved{};
    if (terminal && ::tcgetattr(STDIN_FILENO, &saved) == 0) {
        std::fputs("New master password: ", stderr);
        termios quiet = saved;
        quiet.c_lflag &= ~ECHO;
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    } else {
        terminal = false;
    }
    std::string line;
    bool got = static_cast<bool>(std::getline(std::cin, line));
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fputc('\n', stderr);
    }
    if (!got && line.empty()) {
        return std::nullopt;
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

} // namespace

int main(int argc, char** argv) {
    bool asJson = false;
    ControlRequest request;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            return usage(stdout);
        }
        if (arg == "--version" && request.command.empty()) {
            std::printf("pelornctl %s\n", PELORN_VERSION);
            return Ok;
        }
        if (arg == "--json") {
            asJson = true;
        } else if (request.command.empty()) {
            request.command = arg;
        } else {
            request.args.push_back(arg);
        }
    }
    if (request.command.empty()) {
        return usage(stderr);
    }
    if (request.command == "password" && request.args == std::vector<std::string>{"set"}) {
        auto line = readPasswordLine();
        if (!line) {
            std::fputs("pelornctl: no password on stdin\n", stderr);
            return Usage;
        }
        request.input = std::move(*line);
    }
    auto socket = controlSocketPath();
    // Signing in waits for the person at the browser, as long as the host's own limit.
    bool waitsForBrowser = request.command == "sign-in" && request.args.size() == 1;
    // A deletion may wait for the backend up to its own limit.
    bool deletes = request.command == "account";
    auto result = sendControlRequest(socket, request,
                                     waitsForBrowser ? signInTimeout
                                     : deletes       ? deletionTimeout
                                                     : requestTimeout);
    if (auto* failure = std::get_if<ControlClientFailure>(&result)) {
        if (failure->error == ControlClientError::NotRunning) {
            std::fprintf(stderr, "pelornctl: the host is not running (%s: %s)\n", socket.c_str(),
                         failure->detail.c_str());
            return NotRunning;
        }
        std::fprintf(stderr, "pelornctl: %s\n", failure->detail.c_str());
        return Refused;
    }
    const auto& response = std::get<ControlResponse>(result);
    if (!response.ok) {
        std::fprintf(stderr, "pelornctl: %s\n", response.error.c_str());
        return Refused;
    }
    if (asJson) {
        printLine(response.data.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    } else {
        printLine(response.text);
    }
    return Ok;
}
