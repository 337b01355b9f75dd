#pragma once

#include "core/host_loop.hpp"
#include "core/subscription.hpp"

#include <map>
#include <nlohmann/json.hpp>
#include <string>

namespace pelorn {

// In-process notifications by name. Posting is allowed from any thread; observers are called on
// the host loop, in a later turn than the post.
class NotificationCenter {
public:
    using Callback = std::function<void(const nlohmann::json& info)>;

    explicit NotificationCenter(HostLoop& loop);
    static NotificationCenter& shared();

    void post(std::string name, nlohmann::json info = {});
    // Host loop only.
    [[nodiscard]] Subscription observe(const std::string& name, Callback callback);

    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

private:
    HostLoop& mLoop;
    // Held by pointer so a delivery already posted finds out the centre is gone.
    std::shared_ptr<std::map<std::string, SubscriberList<nlohmann::json>>> mObservers;
};

} // namespace pelorn
