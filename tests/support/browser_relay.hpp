#pragma once

// The browser's way to the host in tests: an HTTP stub on loopback that serves the test page and
// carries signaling messages (the LAN protocol's JSON, one per request) between the page and the
// host, plus the reports and marks the page posts about what it saw.
#include "core/json.hpp"
#include "signaling/signaling_message.hpp"
#include "support/http_stub.hpp"

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace pelorn::test {

class BrowserRelay {
public:
    // `deliver` gets the page's signaling messages on the relay's thread.
    BrowserRelay(std::string page, std::function<void(const SignalingMessage&)> deliver)
        : mPage(std::move(page)), mDeliver(std::move(deliver)) {}

    std::uint16_t port() const { return mStub.port(); }

    // Queued until the page next polls.
    void send(const SignalingMessage& message) {
        std::lock_guard lock(mMutex);
        mToPage.push_back(message.encode().value_or("{}"));
    }
    // The page's newest report, null before the first.
    nlohmann::json report() const {
        std::lock_guard lock(mMutex);
        return mReport;
    }
    // What the page marked as it happened ({"name": …, "at": epoch milliseconds, …}), oldest first.
    std::vector<nlohmann::json> events() const {
        std::lock_guard lock(mMutex);
        return mEvents;
    }

    BrowserRelay(const BrowserRelay&) = delete;
    BrowserRelay& operator=(const BrowserRelay&) = delete;

private:
    HttpStub::Reply handle(const HttpStub::Request& request) {
        if (request.method == "GET" && (request.target == "/" || request.target.starts_with("/?"))) {
            return {200, mPage, "text/html; charset=utf-8"};
        }
        std::lock_guard lock(mMutex);
        if (request.target.starts_with("/poll")) {
            std::string messages = "[";
            for (std::size_t i = 0; i < mToPage.size(); ++i) {
                messages += (i ? "," : "") + mToPage[i];
            }
            mToPage.clear();
            return {200, messages + "]"};
        }
        auto parsed = json::parse(request.body);
        auto type = parsed && parsed->is_object() ? parsed->value("type", "") : "";
        if (type == "report") {
            mReport = *parsed;
        } else if (type == "event") {
            mEvents.push_back(*parsed);
        } else if (auto message = SignalingMessage::decode(request.body)) {
            mDeliver(*message);
        }
        return {};
    }

    std::string mPage;
    std::function<void(const SignalingMessage&)> mDeliver;
    mutable std::mutex mMutex;
    std::vector<std::string> mToPage;
    nlohmann::json mReport;
    std::vector<nlohmann::json> mEvents;
    HttpStub mStub{
        [this](const HttpStub::Request& request) { return handle(request); }}; // the last: it calls in
};

} // namespace pelorn::test
