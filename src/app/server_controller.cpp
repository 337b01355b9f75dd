#include "app/server_controller.hpp"

#include "activity/event_log.hpp"
#include "app/host_services.hpp"
#include "core/host_loop.hpp"
#include "core/log.hpp"
#include "core/settings.hpp"
#include "core/text.hpp"
#include "signaling/lan_protocol.hpp"
#include "signaling/signaling_message.hpp"

namespace pelorn {

std::string ownerEmail(Settings& settings) {
    return lowercased(settings.string("userEmail"));
}

ServerController::ServerController(HostLoop& loop, Settings& settings, EventLog& log, HostServices& services)
    : mLoop(loop), mSettings(settings), mLog(log), mServices(services) {
}

void ServerController::goOnline() {
    auto email = ownerEmail(mSettings);
    if (email.empty()) {
        mLastError.set(signInRequiredText);
        Log::shared().info("⚠️ Go Online blocked - not signed in.");
        return;
    }
    mLastError.set(std::nullopt);
    mServices.closedLid.engageIfRequested();
    mServices.advertiser.start(email);
    mServices.presence.publish(true);
    mServices.presence.startHeartbeat();
    mServices.presence.cleanupStaleRecords();
    mServices.remoteSessions.startListening();
    mServices.power.beginOnlineAvailability();
    mIsOnline.set(true);
    mLog.record(LoggedEvent::Kind::MacOnline);
    Log::shared().info("🟢 Pelorn online - advertising as " + email);
}

void ServerController::goOffline() {
    mServices.webrtc.sendHostOffline();
    mServices.signaling.send(msg::bare(msg::hostOffline));
    // Streaming stops in a later turn, after the LAN client below is already gone.
    mLoop.post([&screen = mServices.screen] { screen.stop(); });
    mServices.signaling.disconnect();
    mServices.advertiser.stop();
    mServices.remoteSessions.stopListening();
    mServices.presence.stopHeartbeat();
    mServices.presence.publish(false);
    mServices.closedLid.disengage();
    mServices.power.endOnlineAvailability();
    mIsOnline.set(false);
    mLog.record(LoggedEvent::Kind::MacOffline);
    Log::shared().info("🔴 Pelorn offline - connection killed");
}

void ServerController::toggleOnline() {
    if (mIsOnline.get()) {
        goOffline();
    } else {
        goOnline();
    }
}

} // namespace pelorn
