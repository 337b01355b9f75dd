#include "core/notification_center.hpp"

namespace pelorn {

NotificationCenter::NotificationCenter(HostLoop& loop)
    : mLoop(loop), mObservers(std::make_shared<std::map<std::string, SubscriberList<nlohmann::json>>>()) {
}

NotificationCenter& NotificationCenter::shared() {
    static NotificationCenter instance(HostLoop::shared());
    return instance;
}

void NotificationCenter::post(std::string name, nlohmann::json info) {
    mLoop.post([weak = std::weak_ptr(mObservers), name = std::move(name), info = std::move(info)] {
        if (auto observers = weak.lock()) {
            auto it = observers->find(name);
            if (it != observers->end()) {
                it->second.notify(info);
            }
        }
    });
}

Subscription NotificationCenter::observe(const std::string& name, Callback callback) {
    return (*mObservers)[name].add(std::move(callback));
}

} // namespace pelorn
