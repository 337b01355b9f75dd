#pragma once

// A WebRTC session between the host's manager on the real engine and headless Chromium as the
// companion client, for tests and the benchmark. The page (tests/webrtc/browser_client.html)
// reaches the host through a relay carrying signaling messages, runs the master-password handshake
// on "control" with WebCrypto and, once authorised, asks for the privacy screen and the terminal
// sessions of a tmux server of the session's own. Chromium gathers candidates only with a default route: see
// routeToLoopback().
#include "core/atomic_file.hpp"
#include "core/process_runner.hpp"
#include "signaling/lan_protocol.hpp"
#include "support/access_host.hpp"
#include "support/browser_relay.hpp"
#include "support/headless_chromium.hpp"
#include "support/private_tmux.hpp"
#include "support/webrtc_session.hpp"
#include "terminal/terminal_peer.hpp"
#include "terminal/terminal_session_store.hpp"

namespace pelorn::test {

// In the test's own network namespace the default route leads nowhere but loopback.
inline bool routeToLoopback() {
    return runProcess({"ip", "route", "replace", "default", "dev", "lo"}).succeeded();
}

struct BrowserSession : AccessHost {
    struct Input : InputTarget {
        void handleMouseEvent(const std::string& action, double, double, const std::optional<std::string>&,
                              std::optional<double>) override {
            events.push_back("mouse " + action);
        }
        void handleKeyEvent(const std::string& key) override { events.push_back("key " + key); }
        void pressCommandShortcut(const std::string& key) override { events.push_back("cmd " + key); }
        std::vector<std::string> events;
    };

    WebRTCManager::Dependencies dependencies() {
        return {loop,
                engine,
                telemetry,
                *log,
                {},
                [this](WebRTCManager::FrameSink sink) { capture = std::move(sink); },
                [this] { capture = nullptr; },
                [this] { privacy.push_back("off"); },
                [] {},
                [this](const SignalingMessage& m) { relay.send(m); },
                true,
                &services,
                &center,
                &input,
                &terminals,
                [this] { privacy.push_back("on"); }};
    }

    // False when Chromium could not be started. A driving page also attaches to the tmux session
    // "work", types in it, moves the pointer and turns the screen off and on again.
    bool openBrowser(bool drive = false) {
        browser =
            std::make_unique<HeadlessChromium>("http://127.0.0.1:" + std::to_string(relay.port()) +
                                               "/?password=correct%20horse" + (drive ? "&drive=1" : ""));
        return browser->started();
    }

    // One frame of the moving picture once the screen is on; an approval the page asked for is given.
    bool step() {
        if (capture) {
            capture(nextFrame ? nextFrame() : picture.next(), std::chrono::nanoseconds(0));
        }
        // The loop's timers (statistics, grace periods) run on real time here.
        auto now = std::chrono::steady_clock::now();
        loop.advance(std::chrono::duration_cast<std::chrono::milliseconds>(now - lastStep));
        lastStep = now;
        if (approvals.pending().get()) {
            approvals.resolve(true);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
        return true;
    }
    // Pumps the loop, with frames going, until the page's report satisfies `done`.
    bool until(const std::function<bool(const nlohmann::json&)>& done,
               std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        return pumpUntil(
            loop,
            [&] {
                auto report = relay.report();
                return step() && report.is_object() && done(report);
            },
            limit);
    }
    static bool has(const nlohmann::json& list, const std::string& item) {
        return list.is_array() && std::find(list.begin(), list.end(), item) != list.end();
    }
    bool logged(const std::string& start) {
        auto all = lines.lines();
        return std::any_of(all.begin(), all.end(),
                           [&](const std::string& l) { return l.starts_with(start); });
    }
    std::string why() {
        std::string hostLog;
        for (const auto& line : lines.lines()) {
            hostLog += line + "\n";
        }
        return relay.report().dump() + "\nthe host's log:\n" + hostLog +
               (browser ? browser->output().substr(0, 4000) : "");
    }

    LogCapture lines;
    Settings settings{std::nullopt};
    ConnectionTelemetry telemetry{settings};
    GstWebRTCEngine engine{loop};
    Input input;
    // The real terminal service on a tmux server of the session's own.
    PrivateTmux tmux;
    TerminalSessionStore store{loop, pool, tmux.tmux, settings, [](const auto&) { return std::nullopt; }};
    TerminalPeers terminals{{loop, store, tmux.tmux, *log}};
    std::vector<std::string> privacy; // "on", "off" as the client asked
    BrowserRelay relay{
        readWholeFile(std::string(PELORN_TESTS_DIR) + "/webrtc/browser_client.html").value_or(""),
        [this](const SignalingMessage& m) {
            // On the relay's thread: to the manager, as the LAN server would.
            loop.post([this, m] {
                if (m.type == "answer" && m.sdp) {
                    manager.applyAnswer(*m.sdp);
                } else if (m.type == "candidate" && m.sdp && m.sdpMLineIndex) {
                    manager.addRemoteCandidate(*m.sdp, m.sdpMid.value_or(""), *m.sdpMLineIndex);
                }
            });
        }};
    MovingPicture picture{640, 360};
    // What goes on screen instead of the moving picture, when set.
    std::function<VideoFrameView()> nextFrame;
    std::chrono::steady_clock::time_point lastStep = std::chrono::steady_clock::now();
    WebRTCManager::FrameSink capture;
    WebRTCManager manager{dependencies()};
    std::unique_ptr<HeadlessChromium> browser;
};

} // namespace pelorn::test
