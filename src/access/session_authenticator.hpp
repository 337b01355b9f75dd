#pragma once

#include "access/auth_messages.hpp"
#include "access/security.hpp"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace pelorn {

class AuthThrottle;
class DeviceApprovalCoordinator;
class EventLog;
class MasterPasswordStore;
class TrustedDeviceStore;
struct SignalingMessage;

enum class Transport { Lan, Remote };
// "your network" or "the internet": used in log lines, event details and the approval prompt.
std::string_view phrase(Transport transport);

// The services a handshake consults, shared by every connection's authenticator.
struct AuthServices {
    MasterPasswordStore& passwords;
    AuthThrottle& throttle;
    TrustedDeviceStore& devices;
    DeviceApprovalCoordinator& approvals;
    EventLog& log;
    std::function<std::string()> macId;
    std::function<std::string()> macName;

    static AuthServices& shared();
};

// The master-password handshake of one connection. Its owner passes every incoming message to
// handle() first and serves nothing else until isAuthorized(). Host loop only.
class SessionAuthenticator : public std::enable_shared_from_this<SessionAuthenticator> {
public:
    using Send = std::function<void(const SignalingMessage&)>;

    static std::shared_ptr<SessionAuthenticator> create(Transport transport, Send send,
                                                        AuthServices& services);

    void sendChallenge();
    // True when the message belongs to the handshake (its type begins with "auth_").
    bool handle(const SignalingMessage& message);
    // The connection closed or was replaced; nothing this authenticator does has effect afterwards.
    void invalidate();

    // Called as the handshake succeeds, before the result is sent and the device marked connected.
    void onAuthorized(std::function<void()> callback) { mOnAuthorized = std::move(callback); }
    bool isAuthorized() const { return mIsAuthorized; }
    bool isAwaitingApproval() const { return mAwaitingApproval; }
    const std::optional<std::string>& deviceId() const { return mDeviceId; }
    const std::optional<std::string>& deviceName() const { return mDeviceName; }
    Transport transport() const { return mTransport; }

    SessionAuthenticator(const SessionAuthenticator&) = delete;
    SessionAuthenticator& operator=(const SessionAuthenticator&) = delete;

private:
    SessionAuthenticator(Transport transport, Send send, AuthServices& services);
    void check(const AuthResponse& response);
    bool masterProofMatches(const AuthResponse& response);
    bool deviceProofMatches(const AuthResponse& response);
    void wrongPassword(const AuthResponse& response);
    void askOwner(const AuthResponse& response);
    void decide(bool approved, const AuthResponse& response);
    void authorize(std::optional<Bytes> token);
    void sendResult(const AuthResult& result);
    std::string freshNonce();
    std::string over() const;

    const Transport mTransport;
    Send mSend;
    AuthServices& mServices;
    std::function<void()> mOnAuthorized;
    Bytes mNonce;
    bool mIsAuthorized = false;
    bool mAwaitingApproval = false;
    bool mInvalidated = false;
    std::optional<std::string> mDeviceId;
    std::optional<std::string> mDeviceName;
};

} // namespace pelorn
