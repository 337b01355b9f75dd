#include "app/control/control_client.hpp"
#include "app/control/control_commands.hpp"
#include "app/control/control_server.hpp"
#include "core/host_loop.hpp"
#include "net/io_thread.hpp"
#include "support/test_support.hpp"

#include <cstring>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace pelorn;
using namespace std::chrono_literals;

namespace {

// A real host loop on its own thread, so requests are served while the test thread waits.
struct ControlSocketTest : ::testing::Test {
    ControlSocketTest() {
        commands.add("echo", [](const ControlRequest& r, ControlCommands::Reply reply) {
            std::string joined;
            for (auto& a : r.args) {
                joined += a + ",";
            }
            reply(ControlResponse::success(joined + r.input.value_or(""), {{"args", r.args}}));
        });
        commands.add("later", [this](const ControlRequest&, ControlCommands::Reply reply) {
            loop.runAfter(10ms, [reply] { reply(ControlResponse::failure("no, later")); });
        });
        loopThread = std::thread([this] { loop.run(); });
        EXPECT_FALSE(server.start(path));
    }
    ~ControlSocketTest() override {
        server.stop();
        loop.quit();
        loopThread.join();
    }

    std::variant<ControlResponse, ControlClientFailure> send(ControlRequest request) {
        return sendControlRequest(path, request, 5s);
    }

    test::TempDir dir;
    std::filesystem::path path = dir / "run/pelorn/control.sock";
    HostLoop loop{HostLoop::TimeMode::Real};
    IoThread io;
    ControlCommands commands;
    ControlServer server{loop, io.context(), commands};
    std::thread loopThread;
};

} // namespace

TEST_F(ControlSocketTest, RequestsReachTheirHandlersOverAnOwnerOnlySocket) {
    auto result = send({"echo", {"a", "b"}, "stdin text"});
    ASSERT_TRUE(std::holds_alternative<ControlResponse>(result));
    auto& r = std::get<ControlResponse>(result);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.text, "a,b,stdin text");
    EXPECT_EQ(r.data["args"], nlohmann::json({"a", "b"}));
    EXPECT_EQ(std::get<ControlResponse>(send({"later", {}, std::nullopt})).error, "no, later");
    EXPECT_EQ(std::get<ControlResponse>(send({"frobnicate", {}, std::nullopt})).error,
              "unknown command: frobnicate");

    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(path.parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(ControlSocketTest, GarbageRequestGetsAnErrorAndTheServerCarriesOn) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path.c_str());
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    std::string garbage = "{not json\n";
    ASSERT_EQ(::send(fd, garbage.data(), garbage.size(), 0), static_cast<ssize_t>(garbage.size()));
    char buffer[512] = {};
    ssize_t n = ::recv(fd, buffer, sizeof buffer - 1, 0);
    ::close(fd);
    ASSERT_GT(n, 0);
    auto reply = decodeResponse(std::string_view(buffer, static_cast<size_t>(n - 1)));
    ASSERT_TRUE(reply);
    EXPECT_FALSE(reply->ok);
    EXPECT_TRUE(std::get<ControlResponse>(send({"echo", {}, std::nullopt})).ok);
}

// Stopping removes the socket, unless a newer host has bound the path since.
TEST_F(ControlSocketTest, StoppingRemovesOnlyItsOwnSocket) {
    ControlServer newer{loop, io.context(), commands};
    ASSERT_FALSE(newer.start(path)); // replaces the path, as a second host does
    server.stop();
    EXPECT_TRUE(std::get<ControlResponse>(send({"echo", {}, std::nullopt})).ok);
    newer.stop();
    EXPECT_FALSE(std::filesystem::exists(path));
    auto result = send({"echo", {}, std::nullopt});
    ASSERT_TRUE(std::holds_alternative<ControlClientFailure>(result));
    EXPECT_EQ(std::get<ControlClientFailure>(result).error, ControlClientError::NotRunning);
}

namespace {

sockaddr_un unixAddress(const std::filesystem::path& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path.c_str());
    return addr;
}

// Runs `body` in a child process as the user nobody and returns what it wrote to the descriptor
// it is given. The test has threads, so the child makes system calls only: no allocation.
std::string asNobody(const std::function<void(int out)>& body) {
    int pipeFds[2];
    EXPECT_EQ(::pipe(pipeFds), 0);
    pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFds[0]);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(3);
        }
        body(pipeFds[1]);
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    std::string out;
    char buffer[256];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) {
        out.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return out;
}

} // namespace

// Both ends check who is at the other: the host serves only its own user, and pelornctl sends
// nothing (a password least of all) to a socket another user serves.
TEST_F(ControlSocketTest, NeitherEndTalksToAnotherUser) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as another user";
    }
    // Open the folders and the socket up, so only the peer checks stand in the way.
    for (auto& p : {dir.path(), path.parent_path().parent_path(), path.parent_path(), path}) {
        std::filesystem::permissions(p, std::filesystem::perms::all);
    }
    auto hostAddress = unixAddress(path);
    const std::string request = encodeRequest({"echo", {}, std::nullopt});
    auto served = asNobody([&](int out) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&hostAddress), sizeof hostAddress) != 0) {
            return;
        }
        (void)!::write(fd, request.data(), request.size());
        char c = 0;
        while (::read(fd, &c, 1) == 1 && c != '\n') {
            (void)!::write(out, &c, 1);
        }
    });
    EXPECT_NE(served.find("refused: the host belongs to another user"), std::string::npos) << served;

    // A socket of nobody's: it says "ready" once listening, then how many bytes it heard.
    auto foreign = dir / "foreign.sock";
    auto foreignAddress = unixAddress(foreign);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    auto heard = std::async(std::launch::async, [&] {
        return asNobody([&](int out) {
            ::close(ready[0]);
            int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
            if (::bind(listener, reinterpret_cast<sockaddr*>(&foreignAddress), sizeof foreignAddress) != 0 ||
                ::listen(listener, 1) != 0 || ::chmod(foreignAddress.sun_path, 0777) != 0) {
                return;
            }
            (void)!::write(ready[1], "r", 1);
            ::close(ready[1]);
            int fd = ::accept(listener, nullptr, nullptr);
            char buffer[256];
            pollfd p{fd, POLLIN, 0};
            char count = '0';
            while (::poll(&p, 1, 2000) > 0 && ::read(fd, buffer, sizeof buffer) > 0) {
                count = '+';
            }
            (void)!::write(out, &count, 1);
        });
    });
    // The write end stays open here until the child has it (it forks on the other thread).
    pollfd readable{ready[0], POLLIN, 0};
    char r = 0;
    bool listening = ::poll(&readable, 1, 5000) == 1 && ::read(ready[0], &r, 1) == 1;
    ::close(ready[0]);
    ::close(ready[1]);
    ASSERT_TRUE(listening);
    auto result = sendControlRequest(foreign, {"password", {"set"}, "secret password"}, 5s);
    ASSERT_TRUE(std::holds_alternative<ControlClientFailure>(result));
    EXPECT_NE(std::get<ControlClientFailure>(result).detail.find("is served by another user (uid 65534)"),
              std::string::npos);
    EXPECT_EQ(heard.get(), "0"); // not a byte
}

TEST(ControlSocketFolder, AFolderOthersCanUseIsRefused) {
    test::TempDir dir;
    HostLoop loop{HostLoop::TimeMode::Manual};
    IoThread io;
    ControlCommands commands;
    ControlServer server{loop, io.context(), commands};
    std::filesystem::create_directories(dir / "open");
    std::filesystem::permissions(dir / "open", std::filesystem::perms::all);
    auto refused = server.start(dir / "open/control.sock");
    ASSERT_TRUE(refused);
    EXPECT_NE(refused->find("open is open to other users"), std::string::npos) << *refused;

    std::filesystem::create_directory_symlink(dir / "elsewhere", dir / "linked");
    std::filesystem::create_directories(dir / "elsewhere");
    refused = server.start(dir / "linked/control.sock");
    ASSERT_TRUE(refused);
    EXPECT_NE(refused->find("linked is not a folder"), std::string::npos) << *refused;

    if (::geteuid() == 0) {
        std::filesystem::create_directories(dir / "theirs");
        std::filesystem::permissions(dir / "theirs", std::filesystem::perms::owner_all);
        ASSERT_EQ(::chown((dir / "theirs").c_str(), 65534, 65534), 0);
        refused = server.start(dir / "theirs/control.sock");
        ASSERT_TRUE(refused);
        EXPECT_NE(refused->find("theirs belongs to another user"), std::string::npos) << *refused;
    }
    EXPECT_FALSE(server.start(dir / "fresh/control.sock"));
    EXPECT_EQ(std::filesystem::status(dir / "fresh").permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_all);
}

TEST(ControlProtocol, RequestsWithWrongMemberTypesAreRefused) {
    EXPECT_FALSE(decodeRequest(R"({"command":1})"));
    EXPECT_FALSE(decodeRequest(R"({"command":"status","args":"x"})"));
    EXPECT_FALSE(decodeRequest(R"({"command":"status","args":[1]})"));
    EXPECT_FALSE(decodeRequest(R"({"command":"status","input":false})"));
    auto r = decodeRequest(encodeRequest({"logs", {"--export"}, std::nullopt}));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->args, std::vector<std::string>{"--export"});
}
