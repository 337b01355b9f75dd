#pragma once

// The companion client's side of the LAN protocol, for tests, benchmarks and by-hand use: a framed
// connection, the device's credentials, and the master-password handshake.
#include "access/auth_messages.hpp"
#include "signaling/frame.hpp"
#include "signaling/signaling_message.hpp"

#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace pelorn::client {

using namespace std::chrono_literals;

// One TCP connection carrying length-prefixed messages. Blocking calls with time limits; `pump`,
// when set, runs at least every millisecond while a call waits, so a test can drive a host loop
// on the same thread.
class Connection {
public:
    using Pump = std::function<void()>;

    static std::variant<std::unique_ptr<Connection>, std::string> open(const std::string& host,
                                                                       std::uint16_t port);
    ~Connection();

    void setPump(Pump pump) { mPump = std::move(pump); }

    bool send(const SignalingMessage& message);
    // Writes bytes as they are (framing faults on purpose). False when the host went away.
    bool sendRaw(std::string_view bytes, std::chrono::milliseconds limit = 10s);
    // The next frame's text; absent on timeout or once the host closed the connection.
    std::optional<std::string> receiveFrame(std::chrono::milliseconds limit = 10s);
    // The next frame that decodes as a message; frames that do not are skipped.
    std::optional<SignalingMessage> receive(std::chrono::milliseconds limit = 10s);
    // Waits for the host to close the connection, discarding what arrives. True when it did.
    bool waitForClose(std::chrono::milliseconds limit = 10s);
    bool isClosed() const { return mClosed; }
    int fd() const { return mFd; }

    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

private:
    explicit Connection(int fd) : mFd(fd) {}
    // Waits for `events` on the socket, pumping meanwhile. False on timeout.
    bool wait(short events, std::chrono::steady_clock::time_point deadline);

    int mFd;
    Pump mPump;
    FrameReader mReader;
    std::deque<std::string> mFrames;
    bool mClosed = false;
};

// Who this device is and its token from the host, saved as a 0600 JSON file. The verifier key
// derived for the host's salt is kept in memory only, so reconnecting with the same password does
// not pay for the derivation again.
class Credentials {
public:
    struct VerifierKey {
        std::string password;
        Bytes salt;
        std::uint32_t rounds = 0;
        Bytes key;
    };

    Credentials(std::string deviceId, std::string deviceName, std::string deviceModel);
    // Reads `path` when it exists (a missing file is a new device with a fresh id); saving writes it.
    static std::variant<Credentials, std::string> load(const std::filesystem::path& path,
                                                       std::string deviceName, std::string deviceModel);
    std::optional<std::string> save() const;

    const std::string& deviceId() const { return mDeviceId; }
    const std::string& deviceName() const { return mDeviceName; }
    const std::string& deviceModel() const { return mDeviceModel; }
    const std::optional<Bytes>& token() const { return mToken; }
    void setToken(std::optional<Bytes> token) { mToken = std::move(token); }
    // The key for this password, salt and count, derived now unless it is the one kept.
    const Bytes& verifierKey(const std::string& password, const Bytes& salt, std::uint32_t rounds);

private:
    std::optional<std::filesystem::path> mPath;
    std::string mDeviceId;
    std::string mDeviceName;
    std::string mDeviceModel;
    std::optional<Bytes> mToken;
    std::optional<VerifierKey> mKey;
};

std::optional<AuthChallenge> decodeChallenge(std::string_view text);
// An auth_response's payload.
nlohmann::json responsePayload(const AuthResponse& response);

// One connection's client side: the challenge, the proofs, the results, and the messages that
// arrive around them.
class Session {
public:
    Session(std::unique_ptr<Connection> connection, Credentials& credentials);

    // The host sends its challenge on connect; absent when none came in time.
    std::optional<AuthChallenge> awaitChallenge(std::chrono::milliseconds limit = 10s);
    // Sends proofs for the current nonce and returns the host's answer, waiting through
    // "awaiting_approval" for up to `approvalWait`. A new token is kept and saved.
    std::optional<AuthResult> authenticate(const std::string& password,
                                           std::chrono::milliseconds approvalWait = 70s);
    // Sends a response with the given proof text as it stands (a wrong or malformed proof).
    bool sendProof(const std::string& proof);
    // The next auth_result, skipping nothing else (other messages wait in the backlog).
    std::optional<AuthResult> nextResult(std::chrono::milliseconds limit = 10s);

    // The next message that is not part of the handshake.
    std::optional<SignalingMessage> next(std::chrono::milliseconds limit = 10s);

    Connection& connection() { return *mConnection; }
    const std::vector<AuthResult>& results() const { return mResults; }
    const std::optional<AuthChallenge>& challenge() const { return mChallenge; }

private:
    // Receives one message and files it: a challenge or result updates the state, anything else
    // goes to the backlog. False on timeout or close.
    bool receiveOne(std::chrono::steady_clock::time_point deadline);

    std::unique_ptr<Connection> mConnection;
    Credentials& mCredentials;
    std::optional<AuthChallenge> mChallenge;
    Bytes mNonce;
    std::vector<AuthResult> mResults;
    std::size_t mResultsTaken = 0;
    std::deque<SignalingMessage> mBacklog;
};

} // namespace pelorn::client
