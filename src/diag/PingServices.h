#pragma once
// What a ping run takes from the outside world: the name service, the ICMP echo service and its pauses.
// A default-constructed set is the real one; tests replace members to run without network or waiting.
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/IcmpEcho.h"
#include "platform/Resolver.h"

// Sends one echo request to an address of either family with the 1000 ms time-out.
using PingEchoFunction = std::function<IcmpEchoResult(const IpAddress& destination)>;

struct PingServices {
    // Host name -> first address (either family) and canonical name; on failure sets the thread's last
    // socket error.
    std::function<std::optional<ResolvedHost>(std::string_view name)> resolveName = ResolveHostByName;
    // Address -> host name; nullopt when it has none.
    std::function<std::optional<std::string>(const IpAddress& address)> reverseLookup = ReverseLookup;
    // Opens the echo service for one run; it is closed when the returned function is destroyed.
    std::function<PingEchoFunction()> openEcho = OpenIcmpEcho;
    // Empty: the run's own pause, which a stop request cuts short. Tests record the pause instead of waiting.
    std::function<void(std::chrono::milliseconds)> pause;

    static PingEchoFunction OpenIcmpEcho();
};
