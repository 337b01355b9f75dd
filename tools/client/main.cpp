// pelorn-client: plays the companion client on the LAN. Connects, proves the master password
// (read as one line from stdin), keeps the device token in a file, sends messages and prints what
// the host sends as JSON lines.
#include "client/reference_client.hpp"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <iostream>

using namespace pelorn;
using namespace pelorn::client;

namespace {

enum Exit { Ok = 0, NotAuthorized = 1, NoConnection = 2, Usage = 64 };

int usage(FILE* out) {
    std::fputs("usage: pelorn-client --token FILE [--host HOST] [--port PORT] [--name NAME] [--model MODEL]\n"
               "                     [--send JSON]... [--listen SECONDS]\n"
               "  The master password is read as one line from stdin. FILE keeps the device id and the\n"
               "  host's device token (0600); a missing FILE is a new device.\n"
               "  --send     a message to send once authorised, e.g. '{\"type\":\"screen_start\"}'\n"
               "  --listen   print the host's messages for this long after the sends (default 0)\n"
               "Exit: 0 authorised, 1 not authorised, 2 no connection, 64 usage.\n",
               out);
    return out == stderr ? Usage : Ok;
}

void print(const SignalingMessage& message) {
    if (auto text = message.encode()) {
        std::printf("%s\n", text->c_str());
        std::fflush(stdout);
    }
}

} // namespace

int main(int argc, char** argv) {
    std::string host = "127.0.0.1", name = "pelorn-client", model = "reference";
    std::optional<std::filesystem::path> tokenFile;
    unsigned port = 8765, listenSeconds = 0;
    std::vector<SignalingMessage> sends;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            return usage(stdout);
        }
        if (i + 1 >= argc) {
            return usage(stderr);
        }
        std::string_view value = argv[++i];
        auto number = [&](unsigned& out, unsigned max) {
            auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), out);
            return error == std::errc() && end == value.data() + value.size() && out <= max;
        };
        if (arg == "--host") {
            host = value;
        } else if (arg == "--port") {
            if (!number(port, 65535)) {
                return usage(stderr);
            }
        } else if (arg == "--token") {
            tokenFile = std::string(value);
        } else if (arg == "--name") {
            name = value;
        } else if (arg == "--model") {
            model = value;
        } else if (arg == "--listen") {
            if (!number(listenSeconds, 86400)) {
                return usage(stderr);
            }
        } else if (arg == "--send") {
            auto message = SignalingMessage::decode(value);
            if (!message) {
                std::fprintf(stderr, "pelorn-client: not a message: %s\n", argv[i]);
                return Usage;
            }
            sends.push_back(std::move(*message));
        } else {
            return usage(stderr);
        }
    }
    if (!tokenFile) {
        return usage(stderr);
    }
    std::string password;
    std::getline(std::cin, password);

    auto loaded = Credentials::load(*tokenFile, name, model);
    if (auto* error = std::get_if<std::string>(&loaded)) {
        std::fprintf(stderr, "pelorn-client: %s\n", error->c_str());
        return Usage;
    }
    auto& credentials = std::get<Credentials>(loaded);
    auto opened = Connection::open(host, static_cast<std::uint16_t>(port));
    if (auto* error = std::get_if<std::string>(&opened)) {
        std::fprintf(stderr, "pelorn-client: cannot connect to %s port %u: %s\n", host.c_str(), port,
                     error->c_str());
        return NoConnection;
    }
    Session session(std::move(std::get<std::unique_ptr<Connection>>(opened)), credentials);
    auto result = session.authenticate(password);
    for (const auto& r : session.results()) {
        std::fprintf(stderr, "auth: %s\n", std::string(AuthResult::value(r.state)).c_str());
    }
    if (!result || result->state != AuthResult::State::Authorized) {
        std::fprintf(stderr, "pelorn-client: not authorised%s\n", result ? "" : " (no answer)");
        return NotAuthorized;
    }
    if (auto error = credentials.save()) {
        std::fprintf(stderr, "pelorn-client: could not save %s: %s\n", tokenFile->c_str(), error->c_str());
    }
    for (const auto& m : sends) {
        session.connection().send(m);
    }
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(listenSeconds);
    while (std::chrono::steady_clock::now() < until) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (auto m = session.next(left)) {
            print(*m);
        } else if (session.connection().isClosed()) {
            std::fputs("pelorn-client: the host closed the connection\n", stderr);
            break;
        }
    }
    return Ok;
}
