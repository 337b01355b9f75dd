#pragma once

#include "core/subscription.hpp"

namespace pelorn {

// A value the UI and the control socket observe. Changed on the host loop only; every set
// notifies, as the window re-renders on each change.
template <typename T> class Published {
public:
    Published() = default;
    explicit Published(T initial) : mValue(std::move(initial)) {}

    const T& get() const { return mValue; }

    void set(T value) {
        mValue = std::move(value);
        mSubscribers.notify(mValue);
    }

    // Observing does not change the value, so a read-only view may subscribe.
    // Changes the value in place (no copy of a large value), then notifies.
    template <typename F> void update(F&& mutate) {
        mutate(mValue);
        mSubscribers.notify(mValue);
    }

    [[nodiscard]] Subscription subscribe(typename SubscriberList<T>::Callback callback) const {
        return mSubscribers.add(std::move(callback));
    }

private:
    T mValue{};
    mutable SubscriberList<T> mSubscribers;
};

} // namespace pelorn
