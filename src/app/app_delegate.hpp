#pragma once

#include "app/control/control_commands.hpp"

#include <filesystem>
#include <functional>
#include <memory>

namespace asio {
class io_context;
}

namespace pelorn {

class ControlServer;
class EventLog;
class HostIdentity;
class HostLoop;
class ServerController;
class Settings;
struct HostServices;

// The launch and termination sequences that wire the long-lived services together, the control
// socket, and the relay of text-focus changes to the client.
class AppDelegate {
public:
    struct Wiring {
        HostLoop& loop;
        asio::io_context& io;
        Settings& settings;
        EventLog& log;
        ServerController& controller;
        HostIdentity& identity;
        HostServices& services;
        std::filesystem::path controlSocket;
    };

    // `quit` ends the host loop; the caller then runs applicationWillTerminate.
    AppDelegate(Wiring wiring, std::function<void()> quit);
    ~AppDelegate();

    void applicationDidFinishLaunching();
    void applicationWillTerminate();
    void handleTextFocusChange(bool focused);
    // More commands may be added until launch starts the control socket.
    ControlCommands& commands() { return mCommands; }

    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

private:
    void terminateOtherInstances();
    void startControlServer();

    Wiring mWiring;
    std::function<void()> mQuit;
    ControlCommands mCommands;
    std::unique_ptr<ControlServer> mControlServer;
    bool mTerminated = false;
};

struct CloudConfig;
// Reads the cloud configuration, once per process (later calls do nothing) and before any service
// that uses it is built: the launch's first step.
void configureCloudBackend();
// Whether cloud features may run: a project file was found and read at launch.
bool isCloudConfigured();
// The configuration read at launch; null while the cloud is not configured.
const CloudConfig* cloudConfig();

} // namespace pelorn
