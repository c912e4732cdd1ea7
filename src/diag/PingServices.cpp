#include "diag/PingServices.h"

#include <netinet/in.h>

#include <cstring>
#include <memory>

namespace {
// An IPv4 address written into IPv6 (::ffff:192.0.2.7) is pinged over IPv4: ICMPv6 cannot reach it.
IpAddress Unmapped(const IpAddress& address) {
    if (!address.IsIPv6()) {
        return address;
    }
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address.storage);
    if (!IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
        return address;
    }
    IpAddress v4;
    auto& sa = reinterpret_cast<sockaddr_in&>(v4.storage);
    sa.sin_family = AF_INET;
    std::memcpy(&sa.sin_addr, v6.sin6_addr.s6_addr + 12, sizeof sa.sin_addr);
    v4.length = sizeof sa;
    return v4;
}

// The run's sockets, one per family, each opened when first needed: a run pings one address, so only one
// of them ever opens.
struct EchoSockets {
    std::unique_ptr<IcmpEcho> v4;
    std::unique_ptr<IcmpEcho> v6;

    IcmpEchoResult Send(const IpAddress& destination) {
        const IpAddress target = Unmapped(destination);
        std::unique_ptr<IcmpEcho>& echo = target.IsIPv6() ? v6 : v4;
        if (!echo) {
            echo = std::make_unique<IcmpEcho>(target.Family());
        }
        return echo->Send(target);
    }
};
}  // namespace

PingEchoFunction PingServices::OpenIcmpEcho() {
    // Shared only because std::function must be copyable; the run holds the one copy.
    auto sockets = std::make_shared<EchoSockets>();
    return [sockets](const IpAddress& destination) { return sockets->Send(destination); };
}
