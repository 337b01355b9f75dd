#include "access/session_authenticator.hpp"

#include "access/auth_throttle.hpp"
#include "access/device_approval_coordinator.hpp"
#include "access/master_password_store.hpp"
#include "access/trusted_device_store.hpp"
#include "activity/event_log.hpp"
#include "core/base64.hpp"
#include "core/log.hpp"
#include "core/text.hpp"
#include "core/uuid.hpp"
#include "signaling/lan_protocol.hpp"
#include "signaling/signaling_message.hpp"

namespace pelorn {

namespace {

constexpr std::size_t nonceLength = 32;
using State = AuthResult::State;

} // namespace

std::string_view phrase(Transport transport) {
    return transport == Transport::Lan ? "your network" : "the internet";
}

SessionAuthenticator::SessionAuthenticator(Transport transport, Send send, AuthServices& services)
    : mTransport(transport), mSend(std::move(send)), mServices(services), mNonce(randomBytes(nonceLength)) {
}

std::shared_ptr<SessionAuthenticator> SessionAuthenticator::create(Transport transport, Send send,
                                                                   AuthServices& services) {
    // The constructor is private (approval completions hold it weakly), so make_shared cannot reach it.
    return std::shared_ptr<SessionAuthenticator>(
        new SessionAuthenticator(transport, std::move(send), services));
}

std::string SessionAuthenticator::over() const {
    return "over " + std::string(phrase(mTransport));
}

std::string SessionAuthenticator::freshNonce() {
    mNonce = randomBytes(nonceLength);
    return base64::encode(mNonce);
}

void SessionAuthenticator::sendResult(const AuthResult& result) {
    if (auto message = resultMessage(result)) {
        mSend(*message);
    }
}

void SessionAuthenticator::sendChallenge() {
    auto record = mServices.passwords.currentRecord();
    AuthChallenge challenge;
    challenge.macId = mServices.macId();
    challenge.macName = mServices.macName();
    challenge.masterSet = record.has_value();
    challenge.salt = record ? base64::encode(record->salt) : "";
    challenge.rounds = record ? record->rounds : MasterPasswordStore::rounds;
    challenge.nonce = base64::encode(mNonce);
    if (auto message = challengeMessage(challenge)) {
        mSend(*message);
    }
}

bool SessionAuthenticator::handle(const SignalingMessage& message) {
    if (message.type.rfind("auth_", 0) != 0) {
        return false;
    }
    if (message.type == msg::authHello) {
        if (!mIsAuthorized && !mAwaitingApproval && !mInvalidated) {
            sendChallenge();
        }
    } else if (message.type == msg::authResponse && message.sdp) {
        if (auto response = AuthResponse::decode(*message.sdp)) {
            // What the peer calls itself reaches the log, the owner's prompt and the device list:
            // bounded and with control characters shown, not obeyed.
            response->deviceId = shownText(response->deviceId);
            response->deviceName = shownText(response->deviceName);
            response->deviceModel = shownText(response->deviceModel);
            check(*response);
        }
    }
    return true;
}

void SessionAuthenticator::check(const AuthResponse& response) {
    if (mIsAuthorized || mAwaitingApproval || mInvalidated) {
        return;
    }
    if (!mServices.passwords.currentRecord()) {
        sendResult({State::NoMasterPassword});
        return;
    }
    if (auto seconds = mServices.throttle.remainingLockout()) {
        sendResult({State::Locked, std::nullopt, *seconds, std::nullopt, freshNonce()});
        return;
    }
    if (!masterProofMatches(response)) {
        wrongPassword(response);
        return;
    }
    mServices.throttle.clear();
    mDeviceId = response.deviceId;
    mDeviceName = response.deviceName;
    if (deviceProofMatches(response)) {
        mServices.devices.markSeen(response.deviceId, response.deviceName, response.deviceModel);
        authorize(std::nullopt);
        return;
    }
    askOwner(response);
}

bool SessionAuthenticator::masterProofMatches(const AuthResponse& response) {
    auto proof = base64::decode(response.proof);
    auto record = mServices.passwords.currentRecord();
    return proof && record && constantTimeEquals(keyedProof(record->key, masterProofLabel, mNonce), *proof);
}

bool SessionAuthenticator::deviceProofMatches(const AuthResponse& response) {
    auto proof = response.deviceProof ? base64::decode(*response.deviceProof) : std::nullopt;
    auto device = proof ? mServices.devices.device(response.deviceId) : std::nullopt;
    return device && constantTimeEquals(keyedProof(device->token, deviceProofLabel, mNonce), *proof);
}

void SessionAuthenticator::wrongPassword(const AuthResponse& response) {
    auto nonce = freshNonce();
    auto failure = mServices.throttle.recordFailure();
    if (failure.locked) {
        Log::shared().info("🔐 PELORN AUTH: wrong password via " + std::string(phrase(mTransport)) +
                           " - locked " + std::to_string(failure.seconds) + "s");
        mServices.log.record(LoggedEvent::Kind::PasswordLocked, response.deviceName, over());
        sendResult({State::Locked, std::nullopt, failure.seconds, std::nullopt, nonce});
        return;
    }
    auto left = mServices.throttle.attemptsLeft();
    Log::shared().info("🔐 PELORN AUTH: wrong password via " + std::string(phrase(mTransport)) + " - " +
                       std::to_string(left) + " left");
    mServices.log.record(LoggedEvent::Kind::PasswordFailed, response.deviceName,
                         std::to_string(left) + " attempt" + (left == 1 ? "" : "s") + " left");
    sendResult({State::WrongPassword, left, std::nullopt, std::nullopt, nonce});
}

void SessionAuthenticator::askOwner(const AuthResponse& response) {
    mAwaitingApproval = true;
    freshNonce(); // not sent: a proof made for the old nonce cannot be replayed after the decision
    sendResult({State::AwaitingApproval});
    Log::shared().info("🔐 PELORN AUTH: new device " + response.deviceName + " asking via " +
                       std::string(phrase(mTransport)));
    PendingApproval pending{randomUuid(), response.deviceId, response.deviceName, response.deviceModel,
                            std::string(phrase(mTransport))};
    mServices.approvals.request(std::move(pending), [weak = weak_from_this(), response](bool approved) {
        if (auto self = weak.lock()) {
            self->decide(approved, response);
        }
    });
}

void SessionAuthenticator::decide(bool approved, const AuthResponse& response) {
    if (mInvalidated) {
        return;
    }
    mAwaitingApproval = false;
    if (approved) {
        auto token = mServices.devices.approve(response.deviceId, response.deviceName, response.deviceModel);
        mServices.log.record(LoggedEvent::Kind::DeviceApproved, response.deviceName,
                             "first connection " + over());
        authorize(std::move(token));
        return;
    }
    Log::shared().info("🔐 PELORN AUTH: " + response.deviceName + " denied");
    mServices.log.record(LoggedEvent::Kind::DeviceDenied, response.deviceName, over());
    sendResult({State::Denied, std::nullopt, std::nullopt, std::nullopt, freshNonce()});
}

void SessionAuthenticator::authorize(std::optional<Bytes> token) {
    mIsAuthorized = true;
    // First, so that a client this one replaces is recorded as gone before this one as connected
    // (the same device reconnecting stays marked connected).
    if (mOnAuthorized) {
        mOnAuthorized();
    }
    if (mDeviceId) {
        mServices.devices.setConnected(*mDeviceId, true);
    }
    AuthResult result{State::Authorized};
    if (token) {
        result.deviceToken = base64::encode(*token);
    }
    sendResult(result);
    Log::shared().info("🔐 PELORN AUTH: authorised via " + std::string(phrase(mTransport)));
    mServices.log.record(LoggedEvent::Kind::DeviceConnected, mDeviceName, over());
}

void SessionAuthenticator::invalidate() {
    mInvalidated = true;
    if (mAwaitingApproval && mDeviceId) {
        mServices.approvals.cancel(*mDeviceId);
    }
    if (mIsAuthorized && mDeviceId) {
        mServices.devices.setConnected(*mDeviceId, false);
        mServices.log.record(LoggedEvent::Kind::DeviceDisconnected, mDeviceName, over());
    }
    mIsAuthorized = false;
}

} // namespace pelorn
