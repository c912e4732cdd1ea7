#include "platform/Resolver.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/SocketError.h"
#include "platform/WinsockErrorName.h"

namespace {

TEST(Resolver, AddressLiteralsAreTakenAsTheyAre) {
    struct Row {
        std::string text;
        bool literal;
        int family;
        std::string written;  // FormatIpAddress of the result
    };
    const std::vector<Row> rows = {
        {"192.0.2.7", true, AF_INET, "192.0.2.7"},
        {"::1", true, AF_INET6, "::1"},
        {"2001:DB8:0:0:0:0:0:5", true, AF_INET6, "2001:db8::5"},
        {"::ffff:192.0.2.7", true, AF_INET6, "192.0.2.7"},
        {"fe80::1%lo", true, AF_INET6, "fe80::1%lo"},
        {"[::1]", false, 0, ""},
        {"::1:", false, 0, ""},
        {"1:2:3:4:5:6:7:8:9", false, 0, ""},
        {"2001:db8::g", false, 0, ""},
        {"1.2.3", false, 0, ""},
        {"localhost", false, 0, ""},
        {"", false, 0, ""},
        {std::string("::1\0x", 5), false, 0, ""},
        {std::string(300, ':'), false, 0, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        const auto parsed = ParseIpLiteral(row.text);
        ASSERT_EQ(parsed.has_value(), row.literal);
        if (parsed) {
            EXPECT_EQ(parsed->Family(), row.family);
            EXPECT_EQ(FormatIpAddress(*parsed), row.written);
            // A literal resolves to itself alone.
            const auto resolved = ResolveAddresses(row.text);
            ASSERT_TRUE(resolved);
            ASSERT_EQ(resolved->size(), 1u);
            EXPECT_EQ(FormatIpAddress(resolved->front()), row.written);
        }
    }
}

TEST(Resolver, NamesResolveToEveryAddressOfBothFamilies) {
    const auto resolved = ResolveAddresses("localhost");
    ASSERT_TRUE(resolved);
    ASSERT_FALSE(resolved->empty());
    for (const IpAddress& address : *resolved) {
        const std::string text = FormatIpAddress(address);
        EXPECT_TRUE(text == "127.0.0.1" || text == "::1") << text;
    }
    for (const char* unknown : {"no-such-host.invalid", "x.INVALID."}) {
        SCOPED_TRACE(unknown);
        EXPECT_FALSE(ResolveAddresses(unknown));
        EXPECT_EQ(WinsockErrorName(), "WSAHOST_NOT_FOUND");
    }
}

// The ping's lookup gives the address a connection would try first, of either family, with a name to show.
TEST(Resolver, ThePingsLookupPicksTheAddressAConnectionTriesFirst) {
    for (const char* host : {"localhost"}) {
        SCOPED_TRACE(host);
        const auto resolved = ResolveHostByName(host);
        const auto addresses = ResolveAddresses(host);
        ASSERT_TRUE(resolved);
        ASSERT_TRUE(addresses);
        EXPECT_EQ(FormatIpAddress(resolved->address), FormatIpAddress(addresses->front()));
        EXPECT_FALSE(resolved->canonicalName.empty());
    }
    for (const char* unknown : {"no-such-host.invalid", ""}) {
        SCOPED_TRACE(unknown);
        EXPECT_FALSE(ResolveHostByName(unknown));
        EXPECT_EQ(WinsockErrorName(), "WSAHOST_NOT_FOUND");
    }
}

TEST(Resolver, TheIPv4LookupTakesOnlyIPv4) {
    struct Row {
        const char* host;
        const char* expected;  // dotted, or the last socket error's name
    };
    const Row rows[] = {
        {"192.0.2.7", "192.0.2.7"},
        {"localhost", "127.0.0.1"},
        {"::1", "WSANO_DATA"},
        {"no-such-host.invalid", "WSAHOST_NOT_FOUND"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.host);
        const auto address = ResolveIPv4(row.host);
        EXPECT_EQ(address ? FormatIPv4(*address) : WinsockErrorName(), row.expected);
    }
}

TEST(Resolver, EndpointsAreBracketedSoThatThePortStandsApart) {
    struct Row {
        std::string address;
        std::uint16_t port;
        std::string logged;
    };
    const std::vector<Row> rows = {
        {"127.0.0.1", 21, "[127.0.0.1:21]"},
        {"::1", 2121, "[::1]:2121"},
        {"2001:db8::5", 65535, "[2001:db8::5]:65535"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(BracketedEndpoint(row.address, row.port), row.logged);
    }
}

}  // namespace
