#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

namespace pelorn {

// Ends a subscription when destroyed. Safe to outlive what it subscribed to.
class Subscription {
public:
    Subscription() = default;
    explicit Subscription(std::function<void()> cancel) : mCancel(std::move(cancel)) {}
    Subscription(Subscription&& other) noexcept : mCancel(std::exchange(other.mCancel, {})) {}
    Subscription& operator=(Subscription&& other) noexcept {
        if (this != &other) {
            reset();
            mCancel = std::exchange(other.mCancel, {});
        }
        return *this;
    }
    ~Subscription() { reset(); }

    void reset() {
        if (auto cancel = std::exchange(mCancel, {})) {
            cancel();
        }
    }

    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;

private:
    std::function<void()> mCancel;
};

// Callbacks keyed by subscription; used on one thread (the host loop). A callback may end its own
// or another subscription while being called.
template <typename... Args> class SubscriberList {
public:
    using Callback = std::function<void(const Args&...)>;

    [[nodiscard]] Subscription add(Callback callback) {
        auto id = mState->nextId++;
        mState->callbacks.emplace(id, std::make_shared<Callback>(std::move(callback)));
        return Subscription([weak = std::weak_ptr<State>(mState), id] {
            if (auto state = weak.lock()) {
                state->callbacks.erase(id);
            }
        });
    }

    void notify(const Args&... args) const {
        std::vector<std::pair<std::uint64_t, std::weak_ptr<Callback>>> snapshot(mState->callbacks.begin(),
                                                                                mState->callbacks.end());
        for (auto& [id, weak] : snapshot) {
            auto callback = weak.lock();
            if (callback && mState->callbacks.count(id)) {
                (*callback)(args...);
            }
        }
    }

    std::size_t size() const { return mState->callbacks.size(); }

private:
    struct State {
        std::uint64_t nextId = 1;
        std::map<std::uint64_t, std::shared_ptr<Callback>> callbacks;
    };
    std::shared_ptr<State> mState = std::make_shared<State>();
};

} // namespace pelorn
