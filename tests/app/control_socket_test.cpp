#include "app/control/control_client.hpp"
#include "app/control/control_commands.hpp"
#include "app/control/control_server.hpp"
#include "core/host_loop.hpp"
#include "net/io_thread.hpp"
#include "support/test_support.hpp"

#include <cstring>
#include <gtest/gtest.h>
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

TEST_F(ControlSocketTest, PeerOfAnotherUserIsRefusedEvenWhenTheSocketIsReachable) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to connect as another user";
    }
    // Open the folder and socket up, so only the peer check stands in the way.
    std::filesystem::permissions(dir.path(), std::filesystem::perms::all);
    std::filesystem::permissions(path.parent_path().parent_path(), std::filesystem::perms::all);
    std::filesystem::permissions(path.parent_path(), std::filesystem::perms::all);
    std::filesystem::permissions(path, std::filesystem::perms::all);
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFds[0]);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(3);
        }
        auto result = sendControlRequest(path, {"echo", {}, std::nullopt}, 5s);
        std::string verdict = "no reply";
        if (auto* r = std::get_if<ControlResponse>(&result)) {
            verdict = r->ok ? "served" : r->error;
        }
        (void)!::write(pipeFds[1], verdict.data(), verdict.size());
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    char buffer[256] = {};
    ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer - 1);
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0),
              "refused: the host belongs to another user");
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
