#include "diag/PingServices.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/IcmpStatus.h"

namespace {

// The real echo service of one run takes an address of either family; an IPv4 address written as IPv6
// goes over IPv4, where it can be answered.
TEST(PingServices, TheRealEchoAnswersLoopbackOfEitherFamily) {
    struct Row {
        const char* address;
        int family;  // whose right to ping the row needs
    };
    const Row rows[] = {
        {"127.0.0.1", AF_INET},
        {"::1", AF_INET6},
        {"::ffff:127.0.0.1", AF_INET},
    };
    const PingEchoFunction echo = PingServices::OpenIcmpEcho();
    int pinged = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.address);
        if (!IcmpEcho(row.family).Kind()) {
            continue;
        }
        const auto address = ParseIpLiteral(row.address);
        ASSERT_TRUE(address);
        EXPECT_EQ(echo(*address).status, ip::kSuccess);
        ++pinged;
    }
    if (pinged == 0) {
        GTEST_SKIP() << "no right to send ICMP echoes here";
    }
}

}  // namespace
