#include "client/reference_client.hpp"

#include "access/security.hpp"
#include "core/atomic_file.hpp"
#include "core/base64.hpp"
#include "core/json.hpp"
#include "core/uuid.hpp"
#include "signaling/lan_protocol.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pelorn::client {

namespace {

using Clock = std::chrono::steady_clock;

std::optional<Bytes> decodeBytes(const nlohmann::json& object, const char* key) {
    auto text = json::stringMember(object, key).value;
    return text ? base64::decode(*text) : std::nullopt;
}

} // namespace

// --- Connection

std::variant<std::unique_ptr<Connection>, std::string> Connection::open(const std::string& host,
                                                                        std::uint16_t port) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int status = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (status != 0) {
        return std::string(::gai_strerror(status));
    }
    std::string error = "no address";
    int fd = -1;
    for (auto* a = found; a && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd >= 0 && ::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            error = std::strerror(errno);
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(found);
    if (fd < 0) {
        return error;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return std::unique_ptr<Connection>(new Connection(fd));
}

Connection::~Connection() {
    ::close(mFd);
}

bool Connection::wait(short events, Clock::time_point deadline) {
    for (;;) {
        if (mPump) {
            mPump();
        }
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left < 0) {
            return false;
        }
        pollfd p{mFd, events, 0};
        int ready = ::poll(&p, 1, mPump ? std::min<long>(left, 1) : left);
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
}

bool Connection::send(const SignalingMessage& message) {
    auto frame = frameMessage(message);
    return frame && sendRaw(*frame);
}

bool Connection::sendRaw(std::string_view bytes, std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    while (!bytes.empty()) {
        ssize_t n = ::send(mFd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!wait(POLLOUT, deadline)) {
                return false;
            }
        } else {
            return false;
        }
    }
    return true;
}

std::optional<std::string> Connection::receiveFrame(std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    while (mFrames.empty() && !mClosed) {
        char buffer[65536];
        ssize_t n = ::recv(mFd, buffer, sizeof buffer, 0);
        if (n > 0) {
            auto status = mReader.feed(std::string_view(buffer, static_cast<std::size_t>(n)),
                                       [this](std::string_view frame) { mFrames.emplace_back(frame); });
            mClosed = status != FrameReader::Status::Ok;
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            mClosed = true;
        } else if (!wait(POLLIN, deadline)) {
            break;
        }
    }
    if (mFrames.empty()) {
        return std::nullopt;
    }
    auto frame = std::move(mFrames.front());
    mFrames.pop_front();
    return frame;
}

std::optional<SignalingMessage> Connection::receive(std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    while (auto frame = receiveFrame(std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()))) {
        if (auto message = SignalingMessage::decode(*frame)) {
            return message;
        }
    }
    return std::nullopt;
}

bool Connection::waitForClose(std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    while (!mClosed && Clock::now() < deadline) {
        receiveFrame(std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()));
    }
    return mClosed;
}

// --- Credentials

Credentials::Credentials(std::string deviceId, std::string deviceName, std::string deviceModel)
    : mDeviceId(std::move(deviceId)), mDeviceName(std::move(deviceName)),
      mDeviceModel(std::move(deviceModel)) {
}

std::variant<Credentials, std::string> Credentials::load(const std::filesystem::path& path,
                                                         std::string deviceName, std::string deviceModel) {
    Credentials c(randomUuid(), std::move(deviceName), std::move(deviceModel));
    c.mPath = path;
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        return c;
    }
    auto text = readWholeFile(path);
    auto parsed = text ? json::parse(*text) : std::nullopt;
    auto id = parsed && parsed->is_object() ? json::stringMember(*parsed, "deviceId").value : std::nullopt;
    if (!id || id->empty()) {
        return "not a device file: " + path.string();
    }
    c.mDeviceId = *id;
    c.mToken = decodeBytes(*parsed, "deviceToken");
    return c;
}

std::optional<std::string> Credentials::save() const {
    if (!mPath) {
        return std::nullopt;
    }
    nlohmann::json out = {{"deviceId", mDeviceId}};
    if (mToken) {
        out["deviceToken"] = base64::encode(*mToken);
    }
    return writeFileAtomically(*mPath, out.dump(2) + "\n", 0600);
}

const Bytes& Credentials::verifierKey(const std::string& password, const Bytes& salt, std::uint32_t rounds) {
    if (!mKey || mKey->password != password || mKey->salt != salt || mKey->rounds != rounds) {
        mKey = VerifierKey{password, salt, rounds, deriveVerifierKey(password, salt, rounds)};
    }
    return mKey->key;
}

// --- Handshake payloads

std::optional<AuthChallenge> decodeChallenge(std::string_view text) {
    auto parsed = json::parse(text);
    if (!parsed || !parsed->is_object()) {
        return std::nullopt;
    }
    const auto& o = *parsed;
    auto v = json::integerMember(o, "v", 0, INT32_MAX).value;
    auto macId = json::stringMember(o, "macId").value;
    auto macName = json::stringMember(o, "macName").value;
    auto masterSet = json::boolMember(o, "masterSet").value;
    auto salt = json::stringMember(o, "salt").value;
    auto rounds = json::integerMember(o, "rounds", 0, UINT32_MAX).value;
    auto nonce = json::stringMember(o, "nonce").value;
    if (!v || !macId || !macName || !masterSet || !salt || !rounds || !nonce) {
        return std::nullopt;
    }
    return AuthChallenge{static_cast<int>(*v),
                         *macId,
                         *macName,
                         *masterSet,
                         *salt,
                         static_cast<std::uint32_t>(*rounds),
                         *nonce};
}

nlohmann::json responsePayload(const AuthResponse& r) {
    nlohmann::json out = {{"v", 1},
                          {"proof", r.proof},
                          {"deviceId", r.deviceId},
                          {"deviceName", r.deviceName},
                          {"deviceModel", r.deviceModel}};
    if (r.deviceProof) {
        out["deviceProof"] = *r.deviceProof;
    }
    return out;
}

// --- Session

Session::Session(std::unique_ptr<Connection> connection, Credentials& credentials)
    : mConnection(std::move(connection)), mCredentials(credentials) {
}

bool Session::receiveOne(Clock::time_point deadline) {
    auto message =
        mConnection->receive(std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()));
    if (!message) {
        return false;
    }
    if (message->type == msg::authChallenge && message->sdp) {
        if (auto challenge = decodeChallenge(*message->sdp)) {
            mChallenge = challenge;
            mNonce = base64::decode(challenge->nonce).value_or(Bytes{});
        }
    } else if (message->type == msg::authResult && message->sdp) {
        if (auto result = AuthResult::decode(*message->sdp)) {
            if (result->nonce) {
                mNonce = base64::decode(*result->nonce).value_or(mNonce);
            }
            mResults.push_back(std::move(*result));
        }
    } else {
        mBacklog.push_back(std::move(*message));
    }
    return true;
}

std::optional<AuthChallenge> Session::awaitChallenge(std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    while (!mChallenge && receiveOne(deadline)) {
    }
    return mChallenge;
}

bool Session::sendProof(const std::string& proof) {
    AuthResponse response{proof, mCredentials.deviceId(), mCredentials.deviceName(),
                          mCredentials.deviceModel(), std::nullopt};
    if (mCredentials.token()) {
        response.deviceProof = base64::encode(keyedProof(*mCredentials.token(), deviceProofLabel, mNonce));
    }
    auto message = payloadMessage(std::string(msg::authResponse), responsePayload(response));
    return message && mConnection->send(*message);
}

std::optional<AuthResult> Session::nextResult(std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    while (mResultsTaken == mResults.size() && receiveOne(deadline)) {
    }
    if (mResultsTaken == mResults.size()) {
        return std::nullopt;
    }
    return mResults[mResultsTaken++];
}

std::optional<AuthResult> Session::authenticate(const std::string& password,
                                                std::chrono::milliseconds approvalWait) {
    if (!awaitChallenge()) {
        return std::nullopt;
    }
    auto salt = base64::decode(mChallenge->salt);
    if (!salt) {
        return std::nullopt;
    }
    const auto& key = mCredentials.verifierKey(password, *salt, mChallenge->rounds);
    if (!sendProof(base64::encode(keyedProof(key, masterProofLabel, mNonce)))) {
        return std::nullopt;
    }
    auto result = nextResult();
    if (result && result->state == AuthResult::State::AwaitingApproval) {
        result = nextResult(approvalWait);
    }
    if (result && result->state == AuthResult::State::Authorized && result->deviceToken) {
        mCredentials.setToken(base64::decode(*result->deviceToken));
    }
    if (result && result->state == AuthResult::State::Authorized) {
        mCredentials.save();
    }
    return result;
}

std::optional<SignalingMessage> Session::next(std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    while (mBacklog.empty() && receiveOne(deadline)) {
    }
    if (mBacklog.empty()) {
        return std::nullopt;
    }
    auto message = std::move(mBacklog.front());
    mBacklog.pop_front();
    return message;
}

} // namespace pelorn::client
