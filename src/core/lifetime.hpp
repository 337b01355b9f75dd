#pragma once

#include <memory>

namespace pelorn {

// Lets work that finishes later (a posted task, a connection's callback, a result from the task
// pool) find out whether the object that started it still exists.
//
// The owner holds a Lifetime<Owner>{this} as a member and hands out weak() copies; any thread may
// carry a copy. Contract: lock() is called, and the owner it returns used, only on the owner's own
// thread (the host loop for every owner in this program), where the owner is also destroyed, so it
// cannot disappear between lock() and the end of that call. Work on another thread posts to the
// owner's thread first and locks there. end() lets an owner that starts tearing down before its
// destructor (or early in it) turn away everything that arrives from then on.
template <typename Owner> class Lifetime {
public:
    class Weak {
    public:
        Weak() = default;
        // The owner while it lives; null once it is gone. Owner's thread only.
        Owner* lock() const {
            auto owner = mOwner.lock();
            return owner ? *owner : nullptr;
        }

    private:
        friend class Lifetime;
        explicit Weak(std::weak_ptr<Owner*> owner) : mOwner(std::move(owner)) {}
        std::weak_ptr<Owner*> mOwner;
    };

    explicit Lifetime(Owner* owner) : mOwner(std::make_shared<Owner*>(owner)) {}
    ~Lifetime() = default;

    Weak weak() const { return Weak(mOwner); }
    void end() { mOwner.reset(); }

    Lifetime(const Lifetime&) = delete;
    Lifetime& operator=(const Lifetime&) = delete;

private:
    std::shared_ptr<Owner*> mOwner;
};

} // namespace pelorn
