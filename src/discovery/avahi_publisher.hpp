#pragma once

#include "discovery/service_publisher.hpp"

namespace pelorn {

class HostLoop;

// Announces services through avahi-daemon over its D-Bus API. Each registration has its own avahi
// client on its own avahi thread; what it learns is posted to the host loop.
class AvahiPublisher final : public ServicePublisher {
public:
    explicit AvahiPublisher(HostLoop& loop) : mLoop(loop) {}
    std::unique_ptr<Registration> publish(DnsService service, Events events) override;

private:
    HostLoop& mLoop;
};

} // namespace pelorn

namespace pelorn {

// avahi, unless PELORN_DNS_SD is "off": then every registration fails at once with a line saying
// so (test machines whose avahi-daemon would announce on a real network).
std::unique_ptr<ServicePublisher> systemServicePublisher(HostLoop& loop);

} // namespace pelorn
