#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

typedef struct _GDBusConnection GDBusConnection;
typedef struct _GVariant GVariant;
typedef struct _GVariantBuilder GVariantBuilder;

namespace pelorn {

// One session with the desktop portal (org.freedesktop.portal.Desktop) on a private connection:
// its requests, which answer through a Request object's Response signal, and its closing. Calls
// block. Not thread-safe; its owner locks.
class PortalSession {
public:
    static constexpr const char* portalName = "org.freedesktop.portal.Desktop";
    static constexpr const char* portalPath = "/org/freedesktop/portal/desktop";
    static constexpr int callTimeoutMs = 10000;
    // Requests the desktop answers without asking anybody.
    static constexpr auto quickAnswer = std::chrono::seconds(10);

    // What a request answered: its results (owned), or why there are none.
    struct Answer {
        std::uint32_t response = 2; // 0 granted, 1 cancelled by the user, 2 ended otherwise
        GVariant* results = nullptr;
        bool heard = false;
        Answer() = default;
        Answer(Answer&& other) noexcept;
        Answer& operator=(Answer&&) = delete;
        ~Answer();
        bool granted() const { return heard && response == 0; }
        // Why `step` was not granted, for the log and the caller.
        std::string refusal(const std::string& step) const;
    };
    // Builds a method's arguments from the session's handle and its options (the handle token
    // already in them).
    using Arguments = GVariant* (*)(const std::string& session, GVariantBuilder* options);

    // An empty address means the session bus of the environment.
    explicit PortalSession(std::string busAddress);
    ~PortalSession();

    // The connection, opened when there is none; null with `error` set when the bus is not there.
    GDBusConnection* connect(std::string& error);
    // A request of `interface`'s `method`, waited for up to `limit`, or until `cancel` is set.
    Answer request(const char* interface, const char* method, Arguments arguments, GVariantBuilder* options,
                   std::chrono::milliseconds limit, const std::atomic<bool>* cancel = nullptr);
    // Creates the session through `interface`; why not, if it was not created.
    std::optional<std::string> create(const char* interface);
    // A method of `interface` that answers at once; false when the portal refused it.
    bool call(const char* interface, const char* method, GVariant* arguments);
    // The portal's version of `interface`; 0 when it does not offer it.
    std::uint32_t version(const char* interface);
    const std::string& handle() const { return mHandle; }
    GDBusConnection* connection() const { return mConnection; }
    // Ends the session, if there is one.
    void close();

    PortalSession(const PortalSession&) = delete;
    PortalSession& operator=(const PortalSession&) = delete;

private:
    std::string mBusAddress;
    GDBusConnection* mConnection = nullptr;
    std::string mHandle;
    unsigned mRequests = 0;
};

} // namespace pelorn
