#include "webrtc/remote_control.hpp"

#include "access/auth_messages.hpp"
#include "access/session_authenticator.hpp"
#include "access/trusted_device_store.hpp"
#include "core/log.hpp"
#include "core/notification_center.hpp"
#include "core/text.hpp"
#include "signaling/control_dispatch.hpp"
#include "signaling/lan_protocol.hpp"
#include "signaling/signaling_message.hpp"

namespace pelorn {

namespace {

// One "terminal_output" on the terminal channel; dropped, as on any closed channel, when it is not
// open. False when the channel's queue is past the high-water mark.
bool sendOutput(const std::shared_ptr<PeerConnection>& connection, bool open,
                const SignalingMessage& output) {
    auto text = output.encode();
    if (!connection || !open || !text) {
        return true;
    }
    connection->sendText(RemoteControl::terminalLabel, *text);
    return connection->bufferedAmount(RemoteControl::terminalLabel) <= RemoteControl::terminalHighWater;
}

} // namespace

RemoteControl::RemoteControl(Dependencies deps) : mDeps(std::move(deps)) {
    mRevocations = mDeps.notifications.observe(TrustedDeviceStore::revokedNotification,
                                               [this](const nlohmann::json& id) {
                                                   if (id.is_string()) {
                                                       onDeviceRevoked(id.get<std::string>());
                                                   }
                                               });
}

RemoteControl::~RemoteControl() {
    detach();
}

bool RemoteControl::isAuthorized() const {
    return mAuth && mAuth->isAuthorized();
}

void RemoteControl::channelStateChanged(const std::string& label, DataChannelState state) {
    if (label == controlLabel && state == DataChannelState::Open) {
        beginAuthentication();
    }
    if (label == terminalLabel) {
        *mTerminalOpen = state == DataChannelState::Open;
    }
}

void RemoteControl::beginAuthentication() {
    if (isAuthorized()) {
        return;
    }
    if (mAuth) {
        mAuth->invalidate();
    }
    auto self = mLifetime.weak();
    mAuth = SessionAuthenticator::create(
        Transport::Remote,
        [self](const SignalingMessage& message) {
            if (auto* control = self.lock()) {
                control->sendControlMessage(message);
            }
        },
        mDeps.auth);
    mAuth->sendChallenge();
}

void RemoteControl::messageReceived(const std::string&, const std::string& text) {
    if (auto message = SignalingMessage::decode(text)) {
        handle(*message);
    }
}

void RemoteControl::handle(const SignalingMessage& message) {
    if (mAuth && mAuth->handle(message)) {
        return;
    }
    if (!isAuthorized()) {
        Log::shared().info("🔒 Dropped " + shownText(message.type) + " from unauthenticated remote peer");
        return;
    }
    ControlHandlers handlers;
    handlers.input = &mDeps.input;
    handlers.screenStart = mDeps.startScreen;
    handlers.screenStop = mDeps.stopScreen;
    handlers.privacyOn = mDeps.privacyOn;
    handlers.privacyOff = mDeps.privacyOff;
    handlers.requestRestart = [this] {
        Log::shared().info("🔄 iPad reported media stall - forcing ICE restart");
        mDeps.requestRestart();
    };
    handlers.terminal = [this](const SignalingMessage& m) { terminalMessage(m); };
    if (!dispatchControlMessage(message, handlers)) {
        Log::shared().info("⚠️ Unknown control message: " + shownText(message.type));
    }
}

void RemoteControl::terminalMessage(const SignalingMessage& message) {
    // Input and resizing go to an attachment, which only a "term_" message can have made.
    if (message.type.rfind("term_", 0) == 0) {
        ensureTerminal();
    }
    if (mTerminal) {
        mTerminal->handle(message);
    }
}

void RemoteControl::ensureTerminal() {
    if (mTerminal) {
        return;
    }
    std::string label = unknownDeviceLabel;
    if (mAuth && mAuth->deviceId()) {
        if (auto device = mDeps.auth.devices.device(*mAuth->deviceId())) {
            label = device->name;
        }
    }
    auto self = mLifetime.weak();
    auto* loop = &mDeps.loop;
    mTerminal = mDeps.terminal.createPeer(
        label,
        [self, loop](const SignalingMessage& message) {
            loop->post([self, message] {
                if (auto* control = self.lock()) {
                    control->sendControlMessage(message);
                }
            });
        },
        [self, loop, peer = mDeps.peer, open = mTerminalOpen](const SignalingMessage& output) {
            // The attachment's reading thread: the channel is reached through the peer, which
            // outlives this call, not through the control object.
            if (sendOutput(peer(), *open, output)) {
                return true;
            }
            loop->post([self] {
                if (auto* control = self.lock()) {
                    control->waitForDrain();
                }
            });
            return false;
        });
}

void RemoteControl::waitForDrain() {
    auto self = mLifetime.weak();
    mDrain.startRepeating(mDeps.loop, drainPoll, [self] {
        auto* control = self.lock();
        if (!control) {
            return;
        }
        auto connection = control->mDeps.peer();
        if (connection && connection->bufferedAmount(terminalLabel) > terminalLowWater) {
            return;
        }
        control->mDrain.cancel();
        if (control->mTerminal) {
            control->mTerminal->outputDrained();
        }
    });
}

void RemoteControl::sendControlMessage(const SignalingMessage& message) {
    auto connection = mDeps.peer();
    if (!connection || connection->channelState(controlLabel) != DataChannelState::Open) {
        return;
    }
    if (auto text = message.encode()) {
        connection->sendText(controlLabel, *text);
    }
}

void RemoteControl::sendHostOffline() {
    sendControlMessage(msg::bare(msg::hostOffline));
}

bool RemoteControl::sendTerminalOutput(const SignalingMessage& output) {
    return sendOutput(mDeps.peer(), *mTerminalOpen, output);
}

void RemoteControl::detach() {
    mDrain.cancel();
    if (auto terminal = std::move(mTerminal)) {
        terminal->stop();
    }
    *mTerminalOpen = false;
    if (auto auth = std::move(mAuth)) {
        auth->invalidate();
    }
}

void RemoteControl::onDeviceRevoked(const std::string& deviceId) {
    if (!mAuth || mAuth->deviceId() != deviceId) {
        return;
    }
    if (auto message = resultMessage(AuthResult{AuthResult::State::Revoked})) {
        sendControlMessage(*message);
    }
    mDeps.endSession();
}

} // namespace pelorn
