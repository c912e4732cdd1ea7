// Connecting to a host with several addresses: IPv6 sockets end to end, and an address that never
// answers must not hold the connection up while a later one works.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/Resolver.h"
#include "platform/Socket.h"
#include "platform/SocketError.h"
#include "platform/WinsockErrorName.h"

namespace {

using Clock = std::chrono::steady_clock;

long Millis(Clock::duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

bool HasIPv6Loopback() {
    Socket probe;
    return probe.Create(0, Socket::kStream, "::1");
}

std::vector<IpAddress> Addresses(const std::vector<std::string>& texts) {
    std::vector<IpAddress> addresses;
    for (const std::string& text : texts) {
        addresses.push_back(*ParseIpLiteral(text));
    }
    return addresses;
}

TEST(HappyEyeballs, IPv6SocketsConnectAcceptAndNameBothEnds) {
    if (!HasIPv6Loopback()) {
        GTEST_SKIP() << "no ::1 on this machine";
    }
    Socket listener;
    ASSERT_TRUE(listener.Create(0, Socket::kStream, "::1"));
    ASSERT_TRUE(listener.Listen(5));
    const std::uint16_t port = listener.LocalAddress()->port;
    EXPECT_EQ(listener.LocalAddress()->address, "::1");

    // A socket created as today (IPv4 by default) connects to an IPv6 host all the same.
    Socket client;
    ASSERT_TRUE(client.Create());
    ASSERT_TRUE(client.SetNoDelay(true));
    ASSERT_TRUE(client.Connect("::1", port));
    Socket server;
    ASSERT_TRUE(listener.Accept(server));
    EXPECT_EQ(client.PeerAddress()->address, "::1");
    EXPECT_EQ(client.PeerAddress()->port, port);
    EXPECT_EQ(server.PeerAddress()->port, client.LocalAddress()->port);
    EXPECT_EQ(server.PeerAddress()->address, "::1");
    ASSERT_EQ(client.Send("v6", 2), 2);
    char bytes[2];
    ASSERT_EQ(server.Receive(bytes, 2), 2);
    EXPECT_EQ(std::string(bytes, 2), "v6");

    Socket any;
    ASSERT_TRUE(any.Create(0, Socket::kStream, "::"));
    EXPECT_EQ(any.LocalAddress()->address, "::");
}

// Listeners sharing one port on several loopback addresses: 127.0.0.1 accepts, 127.0.0.2 and ::1 are
// silent (backlog 0 with its one place taken: the kernel drops further handshakes unanswered, as a
// distant host that never answers would), 127.0.0.3 refuses (nothing listens there).
struct LoopbackHosts {
    Socket working;
    std::vector<std::unique_ptr<Socket>> held;
    std::uint16_t port = 0;
    bool ipv6 = false;

    LoopbackHosts() {
        EXPECT_TRUE(working.Create(0, Socket::kStream, "127.0.0.1"));
        EXPECT_TRUE(working.Listen(5));
        port = working.LocalAddress()->port;
        MakeSilent("127.0.0.2");
        ipv6 = HasIPv6Loopback() && MakeSilent("::1");
    }
    bool MakeSilent(const std::string& address) {
        auto listener = std::make_unique<Socket>();
        auto filler = std::make_unique<Socket>();
        if (!listener->Create(port, Socket::kStream, address) || !listener->Listen(0) || !filler->Create() ||
            !filler->Connect(address, port)) {
            return false;
        }
        held.push_back(std::move(listener));
        held.push_back(std::move(filler));
        return true;
    }
};

TEST(HappyEyeballs, SilentAddressesDoNotHoldUpOneThatAnswers) {
    struct Row {
        std::vector<std::string> addresses;
        int timeoutMs;
        std::string peer;   // empty: the connect fails
        std::string error;  // its WinSock name then
    };
    const std::vector<Row> rows = {
        {{"127.0.0.1"}, 20000, "127.0.0.1", ""},
        {{"127.0.0.2", "127.0.0.1"}, 20000, "127.0.0.1", ""},
        {{"::1", "127.0.0.1"}, 20000, "127.0.0.1", ""},
        {{"127.0.0.3", "127.0.0.1"}, 20000, "127.0.0.1", ""},
        {{"::1", "127.0.0.2", "127.0.0.3", "127.0.0.1"}, 20000, "127.0.0.1", ""},
        {{"127.0.0.1", "127.0.0.2"}, 20000, "127.0.0.1", ""},
        {{"127.0.0.3"}, 20000, "", "WSAECONNREFUSED"},
        {{"127.0.0.3", "127.0.0.3"}, 20000, "", "WSAECONNREFUSED"},
        {{"127.0.0.2"}, 600, "", "WSAETIMEDOUT"},
        {{"127.0.0.2", "127.0.0.3"}, 600, "", "WSAETIMEDOUT"},
        {{}, 20000, "", "WSANO_DATA"},
    };
    LoopbackHosts hosts;
    for (const Row& row : rows) {
        std::string trace;
        bool needsIPv6 = false;
        for (const std::string& address : row.addresses) {
            trace += address + " ";
            needsIPv6 = needsIPv6 || address.find(':') != std::string::npos;
        }
        SCOPED_TRACE(trace);
        if (needsIPv6 && !hosts.ipv6) {
            std::cout << "[ SKIPPED  ] row " << trace << ": no ::1 on this machine\n";
            continue;
        }
        Socket client;
        ASSERT_TRUE(client.Create());
        client.SetTimeout(row.timeoutMs);
        const auto start = Clock::now();
        const bool connected = client.Connect(Addresses(row.addresses), hosts.port);
        const long elapsed = Millis(Clock::now() - start);
        if (row.peer.empty()) {
            EXPECT_FALSE(connected);
            EXPECT_EQ(WinsockErrorName(), row.error);
            EXPECT_LT(elapsed, 10000);
            continue;
        }
        ASSERT_TRUE(connected) << WinsockErrorName();
        // A generous bound, far below the time-out: the silent addresses were not waited out.
        EXPECT_LT(elapsed, 5000);
        EXPECT_EQ(client.PeerAddress()->address, row.peer);
        Socket accepted;
        ASSERT_TRUE(hosts.working.Accept(accepted));
        ASSERT_EQ(client.Send("x", 1), 1);
        char byte = 0;
        EXPECT_EQ(accepted.Receive(&byte, 1), 1);
    }
}

TEST(HappyEyeballs, InterruptEndsEveryAttemptAtOnce) {
    LoopbackHosts hosts;
    Socket client;
    ASSERT_TRUE(client.Create());
    auto stop = std::make_shared<SocketInterrupt>();
    client.SetInterrupts(stop);
    client.SetTimeout(20000);
    bool connected = true;
    int error = 0;
    std::thread worker([&] {
        connected = client.Connect(Addresses({"127.0.0.2", "127.0.0.2", "127.0.0.2"}), hosts.port);
        error = LastSocketError();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    const auto start = Clock::now();
    stop->Trigger();
    worker.join();
    EXPECT_LT(Millis(Clock::now() - start), 2000);
    EXPECT_FALSE(connected);
    EXPECT_EQ(error, wsa::kInterrupted);
}

}  // namespace
