#pragma once

// An internet session for tests and the benchmark: the host's remote session manager and WebRTC
// peer on the real engine, and a companion of the same account, meeting through the Firebase
// Auth and Cloud Firestore emulators (on loopback, in the process's own network namespace). The
// companion is webrtcbin with the cloud signalling's answering end, or headless Chromium driving
// the emulators' REST interfaces from the test page.
#include "cloud/firebase_auth.hpp"
#include "cloud/firestore.hpp"
#include "remote/firestore_signaling.hpp"
#include "remote/remote_session_manager.hpp"
#include "support/browser_session.hpp"
#include "support/emulators.hpp"

namespace pelorn::test {

struct InternetSession : BrowserSession {
    // The webrtcbin companion: its answering end of the session's signalling and its handshake on
    // "control" as a new device; once authorised it asks for the screen.
    struct Companion {
        Companion(InternetSession& s, const std::string& sessionId)
            : session(s), signaling(*s.companionDb, sessionId, FirestoreSignaling::Role::Ios) {
            signaling.ownerEmail = s.email;
            signaling.onOffer = [this](const std::string& sdp) { signaling.sendAnswer(client.answer(sdp)); };
            signaling.onCandidate = [this](const std::string& line, const std::optional<std::string>&,
                                           std::int32_t index) { client.addCandidate(index, line); };
            signaling.listenForSessionDocument();
            signaling.listenForCandidates();
        }
        // Candidates out, the handshake answered; true once the screen is asked for.
        bool step() {
            for (const auto& c : client.takeCandidates()) {
                signaling.sendCandidate(FirestoreSignaling::Role::Ios, c.line, std::nullopt, c.mLineIndex);
            }
            auto messages = client.messages();
            for (; handled < messages.size(); ++handled) {
                const auto& m = messages[handled];
                if (m.starts_with("control ")) {
                    answer(*SignalingMessage::decode(m.substr(8)));
                }
            }
            return screenAsked;
        }
        void answer(const SignalingMessage& m) {
            auto payload = m.sdp ? json::parse(*m.sdp) : std::nullopt;
            if (m.type == "auth_challenge" && payload) {
                auto salt = base64::decode((*payload)["salt"].get<std::string>());
                auto nonce = base64::decode((*payload)["nonce"].get<std::string>());
                auto key = deriveVerifierKey(password, *salt, (*payload)["rounds"].get<std::uint32_t>());
                nlohmann::json response = {
                    {"v", 1},
                    {"proof", base64::encode(keyedProof(key, masterProofLabel, *nonce))},
                    {"deviceId", "WEBRTCBIN-1"},
                    {"deviceName", "webrtcbin"},
                    {"deviceModel", "gstreamer"}};
                client.send("control",
                            *SignalingMessage{.type = "auth_response", .sdp = response.dump()}.encode());
            } else if (m.type == "auth_result" && payload && (*payload)["state"] == "authorized") {
                client.send("control", *SignalingMessage{.type = "screen_start"}.encode());
                screenAsked = true;
            }
            results.push_back(m.type == "auth_result" && payload
                                  ? "auth_result " + (*payload)["state"].get<std::string>()
                                  : m.type);
        }

        InternetSession& session;
        WebRTCTestClient client;
        FirestoreSignaling signaling;
        std::size_t handled = 0;
        bool screenAsked = false;
        std::vector<std::string> results; // what came on "control", in order
    };

    // Signs the host and the companion in at the Auth emulator as one account and opens their
    // database clients; the host listens for requests. Empty when done, else why not.
    std::string start() {
        const char* auth = std::getenv("FIREBASE_AUTH_EMULATOR_HOST");
        const char* firestore = std::getenv("FIRESTORE_EMULATOR_HOST");
        if (!auth || !firestore || !emulatorAnswers(auth) || !emulatorAnswers(firestore)) {
            return "both cloud emulators are needed";
        }
        authHost = auth;
        firestoreHost = firestore;
        for (auto* account : {&hostAuth, &companionAuth}) {
            auto& keyring = account == &hostAuth ? hostSecrets : companionSecrets;
            *account = std::make_unique<FirebaseAuth>(FirebaseAuth::Dependencies{
                loop, pool, keyring, "fake-api-key", authEmulatorEndpoints(authHost), performHttp});
            auto user = startSignedIn(loop, **account, googleToken);
            if (auto* why = std::get_if<std::string>(&user)) {
                return "the sign-in failed: " + *why;
            }
        }
        hostDb = database(*hostAuth);
        companionDb = database(*companionAuth);
        settings.set("userEmail", email);
        manager.setUp();
        remote = std::make_unique<RemoteSessionManager>(RemoteSessionManager::Dependencies{
            loop, settings, hostDb.get(), [this] { return deviceId; }, peer});
        remote->startListening();
        // Owners' hosts listen long before a companion asks; a request written while a fresh
        // emulator still sets up the host's query can go unheard, so the host's stream is waited
        // for: a query of the test's own on it is answered after the host's, which went first.
        bool answered = false;
        auto probe = hostDb->addSnapshotListener(
            FirestoreQuery("sessions").where("macDeviceId", deviceId).where("ownerEmail", email),
            [&](const firestore::Result<QuerySnapshot>&) { answered = true; });
        if (!pumpUntil(
                loop, [&] { return answered; }, std::chrono::seconds(30))) {
            return "the database did not answer the host's query";
        }
        return {};
    }

    // The companion's request for a session with this host, written at the database's time; false
    // when the database did not take it.
    bool request(const std::string& id) {
        std::optional<std::optional<firestore::Error>> done;
        companionDb->setMerge(
            FirestoreSignaling::documentPath(id),
            {{"ownerEmail", email}, {"macDeviceId", deviceId}, {"createdAt", firestore::ServerTimestamp{}}},
            [&](const std::optional<firestore::Error>& e) { done = e; });
        return pumpUntil(loop, [&] { return done.has_value(); }) && !*done;
    }
    // The companion ends the session.
    bool endRequest(const std::string& id) {
        std::optional<std::optional<firestore::Error>> done;
        companionDb->deleteDocument(FirestoreSignaling::documentPath(id),
                                    [&](const std::optional<firestore::Error>& e) { done = e; });
        return pumpUntil(loop, [&] { return done.has_value(); }) && !*done;
    }

    // Chromium as the companion of session `id`, through the emulators' REST interfaces.
    bool openCloudBrowser(const std::string& id) {
        browser = std::make_unique<HeadlessChromium>("http://127.0.0.1:" + std::to_string(relay.port()) +
                                                     "/?password=correct%20horse&firestore=" + firestoreHost +
                                                     "&auth=" + authHost + "&token=" + googleToken +
                                                     "&device=" + deviceId + "&session=" + id);
        return browser->started();
    }

    std::unique_ptr<Firestore> database(FirebaseAuth& account) {
        return std::make_unique<Firestore>(Firestore::Dependencies{
            loop, "demo-pelorn", firestoreHost, true,
            [&account](bool force, std::function<void(std::optional<std::string>)> done) {
                account.idTokenForRequest(force, std::move(done));
            }});
    }

    std::string authHost;
    std::string firestoreHost;
    std::string email = uniqueName("owner") + "@example.com";
    std::string googleToken = googleIdToken(uniqueName("sub"), email, "Ann Owner");
    std::string deviceId = uniqueName("DEVICE-");
    FileSecretStore hostSecrets{dir / "host-secrets"};
    FileSecretStore companionSecrets{dir / "companion-secrets"};
    std::unique_ptr<FirebaseAuth> hostAuth;
    std::unique_ptr<FirebaseAuth> companionAuth;
    std::unique_ptr<Firestore> hostDb;
    std::unique_ptr<Firestore> companionDb;
    WebRTCSessionPeer peer{manager};
    std::unique_ptr<RemoteSessionManager> remote;
};

} // namespace pelorn::test
