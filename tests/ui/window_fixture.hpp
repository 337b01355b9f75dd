#pragma once

// The window against a host of real access services, a real event log and a real controller (its
// services recorded), through the real WindowHost and command table, on a manual clock. The host
// loop and Qt share the test's thread: pumping runs both.
#include "account/update_checker.hpp"
#include "app/autostart.hpp"
#include "app/control/access_commands.hpp"
#include "app/control/control_commands.hpp"
#include "app/control/desktop_commands.hpp"
#include "app/control/host_commands.hpp"
#include "app/control/terminal_commands.hpp"
#include "app/server_controller.hpp"
#include "app/window_host.hpp"
#include "core/host_identity.hpp"
#include "core/settings.hpp"
#include "support/access_host.hpp"
#include "support/private_tmux.hpp"
#include "support/recording_services.hpp"
#include "terminal/terminal_session_store.hpp"
#include "ui/main_window.hpp"
#include "ui/pages.hpp"
#include "ui/password_form.hpp"
#include "ui/sections.hpp"
#include "ui/ui_app.hpp"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <filesystem>
#include <gtest/gtest.h>
#include <thread>

namespace pelorn::test {

using ui::MainShell;
using ui::MainWindow;
using ui::UiApp;

struct WindowFixture : PrivateTmux, AccessHost {
    explicit WindowFixture(bool seedPassword = true) : AccessHost(seedPassword) {
        settings.set("isAuthenticated", true);
        settings.set("userEmail", "Ann@Example.com");
        settings.set("userName", "Ann Owner");
        registerHostCommands(
            commands, {loop, controller, *log, identity, recorder, [this] { asked.push_back("quit"); }});
        // The commands whose own tests live with their subsystems: here it is enough to see the
        // window ask for them.
        commands.add("keep-awake", [this](const ControlRequest& r, ControlCommands::Reply reply) {
            asked.push_back("keep-awake " + r.args.at(0));
            settings.set("keepMacAwake", r.args.at(0) == "on");
            reply(ControlResponse::success("ok"));
        });
        commands.add("closed-lid", [this](const ControlRequest& r, ControlCommands::Reply reply) {
            asked.push_back("closed-lid " + r.args.at(0));
            closedLidRequested.set(r.args.at(0) == "on");
            reply(ControlResponse::success("ok"));
        });
        commands.add("sign-in", [this](const ControlRequest& r, ControlCommands::Reply reply) {
            std::string line = "sign-in";
            for (const auto& arg : r.args) {
                line += " " + arg;
            }
            asked.push_back(line);
            if (r.args.at(0) == "cancel") {
                reply(ControlResponse::success("cancelled"));
                return;
            }
            signInReply = std::move(reply);
        });
        commands.add("sign-out", [this](const ControlRequest&, ControlCommands::Reply reply) {
            asked.push_back("sign-out");
            settings.set("isAuthenticated", false);
            reply(ControlResponse::success("signed out"));
        });
        commands.add("account", [this](const ControlRequest& r, ControlCommands::Reply reply) {
            asked.push_back("account " + r.args.at(0) + " " + r.args.at(1));
            deleting.set(true);
            deleteReply = [this, reply = std::move(reply)](ControlResponse response) {
                deleting.set(false);
                reply(std::move(response));
            };
        });
        // The real checker, its manifest the test's.
        commands.add("update", [this](const ControlRequest& r, ControlCommands::Reply reply) {
            if (r.args.at(0) == "skip") {
                updates.skip();
                reply(ControlResponse::success("skipped"));
                return;
            }
            updates.check(true, [reply = std::move(reply)] { reply(ControlResponse::success("checked")); });
        });
        registerTerminalCommands(commands, {loop, sessions, settings, center, *log});
        registerDesktopCommands(commands, autostart, {});
        loop.runPending(); // the stores have loaded
    }

    // The window goes first, while the services its views use are still there.
    ~WindowFixture() {
        app.reset();
        settle();
    }

    // Runs the host loop and the UI until `done`, or false after `limit`.
    bool pumpUntil(const std::function<bool()>& done,
                   std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            pool.waitIdle();
            loop.runPending();
            QCoreApplication::processEvents();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }
    // Lets everything already under way settle.
    void settle() {
        for (int i = 0; i < 20; ++i) {
            pool.waitIdle();
            loop.runPending();
            QCoreApplication::processEvents();
        }
    }

    // The window, made once the host is as the test wants it.
    UiApp& open() {
        app.reset(); // one window at a time watches the host
        app = std::make_unique<UiApp>(host, false);
        EXPECT_TRUE(pumpUntil([&] { return window().state() != nullptr; }));
        return *app;
    }
    MainWindow& window() { return app->window(); }
    MainShell& shell() { return *window().shell(); }

    // The button of a confirmation with this text.
    static QAbstractButton* button(QMessageBox* box, const QString& text) {
        for (auto* b : box->buttons()) {
            if (b->text() == text) {
                return b;
            }
        }
        return nullptr;
    }

    // The text of the button Return presses; empty when there is none.
    static QString defaultButtonText(QMessageBox* box) {
        return box->defaultButton() ? box->defaultButton()->text() : QString();
    }

    // Saves what `widget` shows under build/screenshots/; false when it drew nothing.
    static bool screenshot(QWidget& widget, const std::string& name) {
        QPixmap picture = widget.grab();
        std::filesystem::create_directories(PELORN_SCREENSHOTS_DIR);
        return !picture.isNull() && picture.width() > 100 &&
               picture.save(
                   QString::fromStdString(std::string(PELORN_SCREENSHOTS_DIR) + "/" + name + ".png"));
    }

    Settings settings{std::nullopt};
    HostIdentity identity{settings, "/nonexistent/machine-id"};
    Journal journal;
    RecordingServices recorder{journal};
    HostServices hostServices = recorder.services();
    ServerController controller{loop, settings, *log, hostServices};
    ControlCommands commands;
    Subscription accessCommands = registerAccessCommands(commands, services);
    Published<bool> closedLidRequested;
    Published<std::optional<std::string>> closedLidError;
    std::vector<std::string> asked;
    ControlCommands::Reply signInReply;
    ControlCommands::Reply deleteReply;
    Published<bool> deleting;
    std::string manifest = R"({"version":"0.1.0","url":"https://example.org/pelorn.deb"})";
    UpdateChecker updates{loop,
                          pool,
                          settings,
                          [this](const HttpRequest&) {
                              std::lock_guard lock(manifestMutex);
                              return HttpResponse{200, manifest, {}};
                          },
                          "https://example.org",
                          "0.1.0"};
    std::mutex manifestMutex;
    std::vector<std::string> openedExternally;
    Autostart autostart{AccessHost::dir / "autostart", "/usr/bin/pelorn-host"};
    bool screenCapture = true;
    bool input = true;
    std::vector<std::filesystem::path> openedInTerminal;
    TerminalSessionStore sessions{loop, pool, tmux, settings, [this](const std::filesystem::path& script) {
                                      openedInTerminal.push_back(script);
                                      return std::optional<std::string>();
                                  }};
    WindowHost host{{loop,
                     settings,
                     commands,
                     controller.isOnline(),
                     controller.lastError(),
                     *passwords,
                     *devices,
                     approvals,
                     *log,
                     closedLidRequested,
                     closedLidError,
                     [this] { return settings.boolean("keepMacAwake"); },
                     [this] { return screenCapture; },
                     [this] { return input; },
                     sessions,
                     tmux,
                     &updates,
                     &deleting,
                     UiLinks{"https://pelorn.example", "https://apps.example/pelorn", "help@pelorn.example"},
                     [this] { return autostart.isOn(); },
                     [this](const std::string& url) { openedExternally.push_back(url); }}};
    std::unique_ptr<UiApp> app;
};

} // namespace pelorn::test
