#pragma once

#include "access/auth_messages.hpp"
#include "client/media_reader.hpp"
#include "client/reference_client.hpp"
#include "core/process_runner.hpp"
#include "integration/host_harness.hpp"

#include <future>

namespace pelorn::test {

inline const std::string password = "correct horse";

// The owner approves the one waiting device once the host asks.
inline nlohmann::json approveWhenAsked(const Home& home) {
    for (int i = 0; i < 500; ++i) {
        auto pending = ctl(home, {"--json", "approvals"});
        if (pending.succeeded() && pending.out != "null\n") {
            auto request = nlohmann::json::parse(pending.out);
            EXPECT_TRUE(ctl(home, {"approve", request["deviceId"].get<std::string>()}).succeeded());
            return request;
        }
        std::this_thread::sleep_for(20ms);
    }
    ADD_FAILURE() << "no approval request came";
    return nullptr;
}

// Asks for the screen and connects to the media port the host announces; null when none came.
inline std::unique_ptr<client::MediaReader> startScreen(client::Session& session) {
    session.connection().send(SignalingMessage{.type = "screen_start"});
    std::optional<SignalingMessage> announced;
    for (int i = 0; i < 10 && !(announced && announced->type == "media_port"); ++i) {
        announced = session.connection().receive();
    }
    if (!announced || announced->type != "media_port" || !announced->port) {
        return nullptr;
    }
    return client::MediaReader::connect("127.0.0.1", static_cast<std::uint16_t>(*announced->port));
}

struct OnlineHost {
    // With a session bus and environment of a desktop session the test made, the host runs in it.
    explicit OnlineHost(std::string sessionBus = {}, std::vector<std::string> extraEnv = {})
        : home{{}, std::move(sessionBus), std::move(extraEnv)} {
        waitUntilServing(home, host.pid());
        home.signIn("Owner@Example.COM");
        auto set = ctl(home, {"password", "set"}, password + "\n");
        EXPECT_TRUE(set.succeeded()) << set.err;
        EXPECT_TRUE(ctl(home, {"online"}).succeeded());
        auto status = statusJson(home);
        EXPECT_TRUE(status["signalingPort"].is_number()) << status.dump();
        port = status["signalingPort"].is_number() ? status["signalingPort"].get<std::uint16_t>() : 0;
    }
    // The host's tmux server lives in the home's private folder; it goes with the test.
    ~OnlineHost() {
        ProcessOptions options;
        options.environment = home.env();
        runProcess({"tmux", "kill-server"}, options);
    }

    std::unique_ptr<client::Session> connect(client::Credentials& credentials) {
        auto opened = client::Connection::open("127.0.0.1", port);
        if (auto* error = std::get_if<std::string>(&opened)) {
            ADD_FAILURE() << "connect: " << *error;
            return nullptr;
        }
        return std::make_unique<client::Session>(
            std::move(std::get<std::unique_ptr<client::Connection>>(opened)), credentials);
    }

    // Waits until the host's output holds `line`.
    bool logged(const std::string& line, std::chrono::milliseconds limit = 10s) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (host.output().find(line) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }

    nlohmann::json approveWhenAsked() { return test::approveWhenAsked(home); }

    // The companion client's device record, kept in the home's folder under `file`.
    std::unique_ptr<client::Credentials> device(const std::string& file) {
        auto loaded = client::Credentials::load(home.dir / file, "iPad", "iPad13,4");
        EXPECT_TRUE(std::holds_alternative<client::Credentials>(loaded));
        return std::holds_alternative<client::Credentials>(loaded)
                   ? std::make_unique<client::Credentials>(std::get<client::Credentials>(std::move(loaded)))
                   : nullptr;
    }

    Home home;
    HostProcess host{home, "host"};
    std::uint16_t port = 0;

    // A client the owner has approved, authorised and ready for messages.
    std::unique_ptr<client::Session> authorised(client::Credentials& credentials) {
        auto session = connect(credentials);
        if (!session) {
            return nullptr;
        }
        auto result = std::async(std::launch::async, [&] { return session->authenticate(password); });
        approveWhenAsked();
        auto r = result.get();
        if (!r || r->state != AuthResult::State::Authorized) {
            ADD_FAILURE() << "not authorised";
            return nullptr;
        }
        return session;
    }
};

} // namespace pelorn::test
