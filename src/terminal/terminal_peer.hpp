#pragma once

#include "core/lifetime.hpp"
#include "core/subscription.hpp"
#include "signaling/lan_targets.hpp"
#include "terminal/terminal_attachment.hpp"
#include "terminal/terminal_session_store.hpp"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace pelorn {

class EventLog;
class HostLoop;
struct SignalingMessage;

// The terminal side of one connected client: answers its "term_" messages, keeps its session list
// current and holds at most one attachment for it. It knows nothing of the transport beyond the
// two senders. Host loop only, except that output flows from the reading thread to sendOutput.
class TerminalPeer final : public TerminalEndpoint {
public:
    struct Services {
        HostLoop& loop;
        TerminalSessionStore& store;
        const Tmux& tmux;
        EventLog& log;
    };

    TerminalPeer(Services services, std::string label, std::function<void(const SignalingMessage&)> send,
                 TerminalOutputSender sendOutput);
    ~TerminalPeer() override;

    // Every "term_" and "terminal_" message; others are ignored.
    void handle(const SignalingMessage& message) override;
    void outputDrained() override;
    void stop() override;

    const std::shared_ptr<TerminalAttachment>& attachment() const { return mAttachment; }
    bool isSubscribed() const { return mSubscribed; }

    TerminalPeer(const TerminalPeer&) = delete;
    TerminalPeer& operator=(const TerminalPeer&) = delete;

private:
    void onList(const SignalingMessage& m);
    void onCreateOrKill(const SignalingMessage& m);
    void onAttach(const SignalingMessage& m);
    void onDetach(const SignalingMessage& m);
    void onInput(const SignalingMessage& m);
    void onResize(const SignalingMessage& m);
    void subscribe();
    void attach(const std::string& name, int columns, int rows);
    void attachmentEnded(const std::string& session, TerminalAttachment::ExitReason reason);
    void pushIfChanged();
    void sendSessions(const TermSessionsPayload& payload);

    Services mServices;
    const std::string mLabel;
    std::function<void(const SignalingMessage&)> mSend;
    std::shared_ptr<const TerminalOutputSender> mSendOutput;
    bool mSubscribed = false;
    Subscription mSessionsSubscription;
    Subscription mAvailableSubscription;
    std::optional<TermSessionsPayload> mLastPushed;
    std::shared_ptr<TerminalAttachment> mAttachment;
    // Lets tmux results and attachment exits that arrive late notice the peer is gone.
    Lifetime<TerminalPeer> mLifetime{this};
};

// What the signaling server asks for: a peer for each authorised client.
class TerminalPeers final : public TerminalTarget {
public:
    explicit TerminalPeers(TerminalPeer::Services services) : mServices(services) {}
    std::unique_ptr<TerminalEndpoint> createPeer(std::string label,
                                                 std::function<void(const SignalingMessage&)> send,
                                                 TerminalOutputSender sendOutput) override;

private:
    TerminalPeer::Services mServices;
};

} // namespace pelorn
