#include "discovery/avahi_publisher.hpp"

#include "core/host_loop.hpp"
#include "core/lifetime.hpp"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>
#include <cstdlib>
#include <string_view>

namespace pelorn {

namespace {

class AvahiRegistration final : public ServicePublisher::Registration {
public:
    AvahiRegistration(HostLoop& loop, DnsService service, ServicePublisher::Events events)
        : mLoop(loop), mService(std::move(service)), mEvents(std::move(events)) {
        mPoll = avahi_threaded_poll_new();
        if (!mPoll) {
            report([](AvahiRegistration& r) { r.failed("could not start the avahi thread"); });
            return;
        }
        int error = 0;
        // Callbacks may run inside avahi_client_new, before the thread starts; they use the client
        // they are given, never mClient.
        mClient = avahi_client_new(avahi_threaded_poll_get(mPoll), AvahiClientFlags(0), &clientChanged, this,
                                   &error);
        if (!mClient) {
            report(
                [message = std::string(avahi_strerror(error))](AvahiRegistration& r) { r.failed(message); });
            return;
        }
        if (avahi_threaded_poll_start(mPoll) < 0) {
            report([](AvahiRegistration& r) { r.failed("could not start the avahi thread"); });
        }
    }

    ~AvahiRegistration() override {
        mLifetime.end();
        if (mPoll) {
            avahi_threaded_poll_stop(mPoll);
        }
        // Freeing the client also frees its entry group, which withdraws the service.
        if (mClient) {
            avahi_client_free(mClient);
        }
        if (mPoll) {
            avahi_threaded_poll_free(mPoll);
        }
    }

    AvahiRegistration(const AvahiRegistration&) = delete;
    AvahiRegistration& operator=(const AvahiRegistration&) = delete;

private:
    // Avahi thread (or inside avahi_client_new).
    static void clientChanged(AvahiClient* client, AvahiClientState state, void* context) {
        auto* self = static_cast<AvahiRegistration*>(context);
        switch (state) {
        case AVAHI_CLIENT_S_RUNNING:
            self->addService(client);
            break;
        case AVAHI_CLIENT_S_COLLISION:
        case AVAHI_CLIENT_S_REGISTERING:
            // The host name is being (re)registered; the service follows once it runs again.
            if (self->mGroup) {
                avahi_entry_group_reset(self->mGroup);
            }
            break;
        case AVAHI_CLIENT_FAILURE:
            self->reportFailure(avahi_strerror(avahi_client_errno(client)));
            break;
        case AVAHI_CLIENT_CONNECTING:
            break;
        }
    }

    static void groupChanged(AvahiEntryGroup* group, AvahiEntryGroupState state, void* context) {
        auto* self = static_cast<AvahiRegistration*>(context);
        self->mGroup = group;
        auto* client = avahi_entry_group_get_client(group);
        switch (state) {
        case AVAHI_ENTRY_GROUP_ESTABLISHED:
            self->report([name = self->mName](AvahiRegistration& r) {
                if (r.mEvents.onEstablished) {
                    r.mEvents.onEstablished(name);
                }
            });
            break;
        case AVAHI_ENTRY_GROUP_COLLISION:
            self->rename(client);
            break;
        case AVAHI_ENTRY_GROUP_FAILURE:
            self->reportFailure(avahi_strerror(avahi_client_errno(client)));
            break;
        case AVAHI_ENTRY_GROUP_UNCOMMITED:
        case AVAHI_ENTRY_GROUP_REGISTERING:
            break;
        }
    }

    void addService(AvahiClient* client) {
        if (mName.empty()) {
            mName = mService.name;
        }
        if (!mGroup) {
            mGroup = avahi_entry_group_new(client, &groupChanged, this);
            if (!mGroup) {
                reportFailure(avahi_strerror(avahi_client_errno(client)));
                return;
            }
        }
        if (!avahi_entry_group_is_empty(mGroup)) {
            return;
        }
        AvahiStringList* txt = nullptr;
        for (const auto& [key, value] : mService.txt) {
            txt = avahi_string_list_add_pair(txt, key.c_str(), value.c_str());
        }
        int result = avahi_entry_group_add_service_strlst(
            mGroup, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0), mName.c_str(),
            mService.type.c_str(), nullptr, nullptr, mService.port, txt);
        avahi_string_list_free(txt);
        if (result == AVAHI_ERR_COLLISION) {
            rename(client); // a service of this host already holds the name
            return;
        }
        if (result >= 0) {
            result = avahi_entry_group_commit(mGroup);
        }
        if (result < 0) {
            reportFailure(avahi_strerror(result));
        }
    }

    void rename(AvahiClient* client) {
        char* alternative = avahi_alternative_service_name(mName.c_str());
        std::string oldName = std::exchange(mName, alternative);
        avahi_free(alternative);
        report([oldName, newName = mName](AvahiRegistration& r) {
            if (r.mEvents.onRenamed) {
                r.mEvents.onRenamed(oldName, newName);
            }
        });
        if (mGroup) {
            avahi_entry_group_reset(mGroup);
        }
        addService(client);
    }

    void reportFailure(std::string message) {
        report([message = std::move(message)](AvahiRegistration& r) { r.failed(message); });
    }

    // Host loop.
    void failed(const std::string& message) {
        if (!mFailed && mEvents.onFailed) {
            mFailed = true;
            mEvents.onFailed(message);
        }
    }

    // Runs `what` on the host loop unless the registration has been withdrawn by then. Called on
    // the avahi thread too, so it copies the handle made at construction, never the Lifetime.
    template <class F> void report(F what) {
        mLoop.post([self = mSelf, what = std::move(what)] {
            if (auto* registration = self.lock()) {
                what(*registration);
            }
        });
    }

    HostLoop& mLoop;
    const DnsService mService;
    const ServicePublisher::Events mEvents;
    Lifetime<AvahiRegistration> mLifetime{this};
    const Lifetime<AvahiRegistration>::Weak mSelf = mLifetime.weak();
    AvahiThreadedPoll* mPoll = nullptr;
    AvahiClient* mClient = nullptr;
    // Avahi thread:
    AvahiEntryGroup* mGroup = nullptr;
    std::string mName;
    // Host loop:
    bool mFailed = false;
};

} // namespace

std::unique_ptr<ServicePublisher::Registration> AvahiPublisher::publish(DnsService service, Events events) {
    return std::make_unique<AvahiRegistration>(mLoop, std::move(service), std::move(events));
}

} // namespace pelorn

namespace pelorn {

namespace {

class DisabledRegistration final : public ServicePublisher::Registration {
public:
    DisabledRegistration(HostLoop& loop, ServicePublisher::Events events) {
        loop.post([self = mLifetime.weak(), onFailed = std::move(events.onFailed)] {
            if (self.lock() && onFailed) {
                onFailed("DNS-SD is turned off (PELORN_DNS_SD=off)");
            }
        });
    }

private:
    Lifetime<DisabledRegistration> mLifetime{this};
};

class DisabledPublisher final : public ServicePublisher {
public:
    explicit DisabledPublisher(HostLoop& loop) : mLoop(loop) {}
    std::unique_ptr<Registration> publish(DnsService, Events events) override {
        return std::make_unique<DisabledRegistration>(mLoop, std::move(events));
    }

private:
    HostLoop& mLoop;
};

} // namespace

std::unique_ptr<ServicePublisher> systemServicePublisher(HostLoop& loop) {
    const char* setting = std::getenv("PELORN_DNS_SD");
    if (setting && std::string_view(setting) == "off") {
        return std::make_unique<DisabledPublisher>(loop);
    }
    return std::make_unique<AvahiPublisher>(loop);
}

} // namespace pelorn
