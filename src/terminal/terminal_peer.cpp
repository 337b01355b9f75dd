#include "terminal/terminal_peer.hpp"

#include "activity/event_log.hpp"
#include "core/host_loop.hpp"
#include "signaling/lan_protocol.hpp"

#include <unordered_map>

namespace pelorn {

namespace {

using Reason = TerminalAttachment::ExitReason;

} // namespace

TerminalPeer::TerminalPeer(Services services, std::string label,
                           std::function<void(const SignalingMessage&)> send, TerminalOutputSender sendOutput)
    : mServices(services), mLabel(std::move(label)), mSend(std::move(send)),
      mSendOutput(std::make_shared<const TerminalOutputSender>(std::move(sendOutput))) {
}

TerminalPeer::~TerminalPeer() {
    stop();
}

void TerminalPeer::handle(const SignalingMessage& m) {
    using Handler = void (TerminalPeer::*)(const SignalingMessage&);
    static const std::unordered_map<std::string_view, Handler> handlers = {
        {msg::termList, &TerminalPeer::onList},         {msg::termCreate, &TerminalPeer::onCreateOrKill},
        {msg::termKill, &TerminalPeer::onCreateOrKill}, {msg::termAttach, &TerminalPeer::onAttach},
        {msg::termDetach, &TerminalPeer::onDetach},     {msg::terminalInput, &TerminalPeer::onInput},
        {msg::terminalResize, &TerminalPeer::onResize},
    };
    if (auto handler = handlers.find(m.type); handler != handlers.end()) {
        (this->*handler->second)(m);
    }
}

void TerminalPeer::onList(const SignalingMessage&) {
    subscribe();
    auto current = mServices.store.payload();
    mLastPushed = current;
    sendSessions(current);
}

void TerminalPeer::onCreateOrKill(const SignalingMessage& m) {
    auto request = msg::TermName::from(m);
    if (!request) {
        return;
    }
    bool creating = m.type == msg::termCreate;
    auto name = request->name;
    auto done = [self = mLifetime.weak(), name, creating](std::optional<TmuxFailure> failure) {
        auto* owner = self.lock();
        if (!owner) {
            return;
        }
        auto& peer = *owner;
        if (failure) {
            peer.mSend(msg::withSdp(msg::termError, failure->text()));
            peer.pushIfChanged();
            return;
        }
        auto valid = Tmux::validateName(name); // the name as created: without surrounding spaces
        auto* trimmed = std::get_if<std::string>(&valid);
        peer.mServices.log.record(creating ? LoggedEvent::Kind::SessionCreated
                                           : LoggedEvent::Kind::SessionEnded,
                                  creating && trimmed ? *trimmed : name);
        peer.mServices.store.refresh();
    };
    if (creating) {
        mServices.store.create(name, std::move(done));
    } else {
        mServices.store.kill(name, std::move(done));
    }
}

void TerminalPeer::onAttach(const SignalingMessage& m) {
    if (auto request = msg::TermAttach::from(m)) {
        attach(request->name, request->columns, request->rows);
    }
}

void TerminalPeer::onDetach(const SignalingMessage&) {
    if (mAttachment) {
        mAttachment->close(Reason::Detached);
    }
}

void TerminalPeer::onInput(const SignalingMessage& m) {
    auto input = msg::TerminalInput::from(m);
    if (input && mAttachment) {
        mAttachment->write(input->bytes);
    }
}

void TerminalPeer::onResize(const SignalingMessage& m) {
    auto size = msg::TerminalResize::from(m);
    if (size && mAttachment) {
        mAttachment->resize(size->columns, size->rows);
    }
}

void TerminalPeer::outputDrained() {
    if (mAttachment) {
        mAttachment->resumeReading();
    }
}

void TerminalPeer::subscribe() {
    if (mSubscribed) {
        return;
    }
    mSubscribed = true;
    mServices.store.addWatcher();
    mSessionsSubscription = mServices.store.sessions().subscribe([this](const auto&) { pushIfChanged(); });
    mAvailableSubscription = mServices.store.available().subscribe([this](bool) { pushIfChanged(); });
}

void TerminalPeer::attach(const std::string& name, int columns, int rows) {
    if (auto old = std::exchange(mAttachment, nullptr)) {
        old->close(Reason::Replaced);
    }
    auto started = TerminalAttachment::start(
        mServices.loop, mServices.tmux, name, columns, rows, mLabel,
        // The reading thread never touches the peer: it holds the sender itself.
        [send = mSendOutput](std::string_view bytes) { return (*send)(msg::terminalOutputMessage(bytes)); },
        [self = mLifetime.weak()](const std::string& session, Reason reason) {
            if (auto* peer = self.lock()) {
                peer->attachmentEnded(session, reason);
            }
        });
    if (auto* failure = std::get_if<TmuxFailure>(&started)) {
        mSend(msg::withSdp(msg::termError, failure->text()));
        return;
    }
    mAttachment = std::get<std::shared_ptr<TerminalAttachment>>(std::move(started));
    mServices.log.record(LoggedEvent::Kind::SessionOpened, name, mLabel);
    mServices.store.addHolder(name, mLabel);
    mSend(msg::withSdp(msg::termAttached, name));
    mServices.store.refresh(); // does nothing while a refresh is in flight
}

void TerminalPeer::attachmentEnded(const std::string& session, Reason reason) {
    if (reason != Reason::Replaced) {
        mAttachment.reset();
    }
    if (reason == Reason::Detached) {
        mServices.log.record(LoggedEvent::Kind::SessionClosed, session, mLabel);
    }
    mServices.store.removeHolder(session, mLabel);
    mSend(msg::termDetachedMessage(session, TerminalAttachment::rawValue(reason)));
    mServices.store.refresh();
}

void TerminalPeer::pushIfChanged() {
    if (!mSubscribed) {
        return;
    }
    auto current = mServices.store.payload();
    if (mLastPushed && *mLastPushed == current) {
        return;
    }
    mLastPushed = current;
    sendSessions(current);
}

void TerminalPeer::sendSessions(const TermSessionsPayload& payload) {
    std::string text;
    try {
        text = nlohmann::json(payload).dump();
    } catch (const nlohmann::json::exception&) {
        return; // a name that is not UTF-8 cannot be encoded; nothing is sent
    }
    mSend(msg::withSdp(msg::termSessions, std::move(text)));
}

void TerminalPeer::stop() {
    if (auto attachment = std::exchange(mAttachment, nullptr)) {
        attachment->close(Reason::Detached);
    }
    if (mSubscribed) {
        mSubscribed = false;
        mSessionsSubscription.reset();
        mAvailableSubscription.reset();
        mServices.store.removeWatcher();
    }
}

std::unique_ptr<TerminalEndpoint> TerminalPeers::createPeer(std::string label,
                                                            std::function<void(const SignalingMessage&)> send,
                                                            TerminalOutputSender sendOutput) {
    return std::make_unique<TerminalPeer>(mServices, std::move(label), std::move(send),
                                          std::move(sendOutput));
}

} // namespace pelorn
