#include "terminal/terminal_peer.hpp"

#include "activity/event_log.hpp"
#include "core/host_loop.hpp"
#include "signaling/signaling_message.hpp"

#include <cmath>
#include <limits>

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
    const auto& t = m.type;
    if (t == "term_list") {
        subscribe();
        auto current = mServices.store.payload();
        mLastPushed = current;
        sendSessions(current);
    } else if (t == "term_create" || t == "term_kill") {
        if (!m.sdp) {
            return;
        }
        bool creating = t == "term_create";
        auto name = *m.sdp;
        auto done = [self = mLifetime.weak(), name, creating](std::optional<TmuxFailure> failure) {
            auto* owner = self.lock();
            if (!owner) {
                return;
            }
            auto& peer = *owner;
            if (failure) {
                peer.mSend(SignalingMessage{.type = "term_error", .sdp = failure->text()});
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
    } else if (t == "term_attach") {
        // Missing sizes count as 0 (the attachment's minimum then applies).
        auto columns = m.x ? wholeNumber(*m.x) : 0, rows = m.y ? wholeNumber(*m.y) : 0;
        if (m.sdp && columns && rows) {
            attach(*m.sdp, *columns, *rows);
        }
    } else if (t == "term_detach") {
        if (mAttachment) {
            mAttachment->close(Reason::Detached);
        }
    }
}

void TerminalPeer::write(std::string_view bytes) {
    if (mAttachment) {
        mAttachment->write(bytes);
    }
}

void TerminalPeer::resize(int columns, int rows) {
    if (mAttachment) {
        mAttachment->resize(columns, rows);
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
        [send = mSendOutput](std::string_view bytes) { return (*send)(bytes); },
        [self = mLifetime.weak()](const std::string& session, Reason reason) {
            if (auto* peer = self.lock()) {
                peer->attachmentEnded(session, reason);
            }
        });
    if (auto* failure = std::get_if<TmuxFailure>(&started)) {
        mSend(SignalingMessage{.type = "term_error", .sdp = failure->text()});
        return;
    }
    mAttachment = std::get<std::shared_ptr<TerminalAttachment>>(std::move(started));
    mServices.log.record(LoggedEvent::Kind::SessionOpened, name, mLabel);
    mServices.store.addHolder(name, mLabel);
    mSend(SignalingMessage{.type = "term_attached", .sdp = name});
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
    mSend(SignalingMessage{
        .type = "term_detached", .sdp = session, .key = std::string(TerminalAttachment::rawValue(reason))});
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
    mSend(SignalingMessage{.type = "term_sessions", .sdp = std::move(text)});
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
