#include "diag/PingServices.h"

#include <memory>

PingEchoFunction PingServices::OpenIcmpEcho() {
    // Shared only because std::function must be copyable; the run holds the one copy.
    auto echo = std::make_shared<IcmpEcho>();
    return [echo](in_addr destination) { return echo->Send(destination); };
}
