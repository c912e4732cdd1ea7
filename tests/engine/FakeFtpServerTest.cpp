// Proves the scripted server itself: segments arrive separately, urgent bytes are recorded in order, and
// passive and active data connections carry exact bytes.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/FakeFtpServer.h"

namespace {

using Ms = FakeFtpServer::Ms;

// A bare blocking client socket with bounded reads.
class RawClient {
  public:
    RawClient() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
    ~RawClient() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool Connect(std::uint16_t port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        return ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    void Send(std::string_view bytes, int flags = 0) {
        ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), flags | MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    // One recv, waiting at most 2 s; "" on timeout or close.
    std::string ReceiveOnce() {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 2000) != 1) {
            return {};
        }
        char buffer[65536];
        ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
    }
    // Reads until `n` bytes arrived, the peer closed, or 2 s passed without data.
    std::string ReceiveUpTo(std::size_t n) {
        std::string all;
        while (all.size() < n) {
            std::string piece = ReceiveOnce();
            if (piece.empty()) {
                break;
            }
            all += piece;
        }
        return all;
    }
    std::string ReceiveToEnd() { return ReceiveUpTo(std::string::npos); }
    int Fd() const { return fd_; }

  private:
    int fd_;
};

std::uint16_t PortFromPasv(const std::string& reply) {
    std::size_t open = reply.find('(');
    std::vector<int> numbers;
    std::size_t at = open + 1;
    while (numbers.size() < 6) {
        std::size_t used = 0;
        numbers.push_back(std::stoi(reply.substr(at), &used));
        at += used + 1;
    }
    return static_cast<std::uint16_t>(numbers[4] * 256 + numbers[5]);
}

TEST(FakeFtpServerTest, ScriptedSegmentsArriveAsSeparateReads) {
    FakeFtpServer server;
    server.OnConnect().Segments({"220 gr", "eeting\r", "\n"});
    server.Expect("USER anonymous").Reply("331 need pass\n").Delay(Ms(50)).Reply("230-a\r\n230 b\r\n");
    RawClient client;
    ASSERT_TRUE(client.Connect(server.Port()));

    EXPECT_EQ(client.ReceiveOnce(), "220 gr");
    EXPECT_EQ(client.ReceiveOnce(), "eeting\r");
    EXPECT_EQ(client.ReceiveOnce(), "\n");
    client.Send("USER anonymous\r\n");
    EXPECT_EQ(client.ReceiveOnce(), "331 need pass\n");
    EXPECT_EQ(client.ReceiveOnce(), "230-a\r\n230 b\r\n");
    EXPECT_TRUE(server.WaitForScriptDone());
    EXPECT_TRUE(server.Problems().empty());
}

TEST(FakeFtpServerTest, RecordsUrgentDataMarkInOrder) {
    FakeFtpServer server;
    server.Expect("ABOR").Reply("426 aborted\r\n226 abort ok\r\n");
    RawClient client;
    ASSERT_TRUE(client.Connect(server.Port()));
    EXPECT_EQ(client.ReceiveOnce(), "220 FakeFtpServer ready\r\n");

    client.Send("\xff\xf4");
    client.Send("\xff\xf2", MSG_OOB);
    client.Send("ABOR\r\n");
    EXPECT_EQ(client.ReceiveUpTo(27), "426 aborted\r\n226 abort ok\r\n");

    EXPECT_EQ(server.ControlBytes(), std::string("\xff\xf4\xff\xf2"
                                                 "ABOR\r\n"));
    // Linux marks the last byte of an urgent send: the DM.
    EXPECT_EQ(server.UrgentOffsets(), std::vector<std::size_t>{3});
    EXPECT_EQ(server.Commands(), std::vector<std::string>{"ABOR"});
}

TEST(FakeFtpServerTest, UnscriptedCommandsGetFallbackOrDefaultAndAreReported) {
    FakeFtpServer server;
    server.Expect("USER a").Line("331 p");
    server.OnVerb("noop").Line("200 fine");
    RawClient client;
    ASSERT_TRUE(client.Connect(server.Port()));
    client.ReceiveOnce();

    client.Send("NOOP\r\n");
    EXPECT_EQ(client.ReceiveOnce(), "200 fine\r\n");
    client.Send("SYST\r\n");
    EXPECT_EQ(client.ReceiveOnce(), "502 Unscripted command\r\n");
    client.Send("USER a\r\n");
    EXPECT_EQ(client.ReceiveOnce(), "331 p\r\n");
    ASSERT_EQ(server.Problems().size(), 1u);
    EXPECT_EQ(server.Problems()[0], "unscripted command 'SYST' while expecting 'USER a'");
}

TEST(FakeFtpServerTest, UnsolicitedReplyAndCloseThenNextConnection) {
    FakeFtpServer server;
    {
        RawClient client;
        ASSERT_TRUE(client.Connect(server.Port()));
        client.ReceiveOnce();
        ASSERT_TRUE(server.WaitForScriptDone());
        server.Now().Line("421 timeout").Close();
        EXPECT_EQ(client.ReceiveToEnd(), "421 timeout\r\n");
    }
    EXPECT_TRUE(server.WaitForClose());
    RawClient second;
    ASSERT_TRUE(second.Connect(server.Port()));
    EXPECT_EQ(second.ReceiveOnce(), "220 FakeFtpServer ready\r\n");
    EXPECT_EQ(server.ConnectionsAccepted(), 2);
}

TEST(FakeFtpServerTest, PassiveDataToHostileNamedAddressAndUpload) {
    FakeFtpServer server;
    server.Expect("PASV").Pasv("227 Entering Passive Mode ({h1},{h2},{h3},{h4},{p1},{p2})\r\n", "10.0.0.5");
    server.Expect("RETR f").Line("150 go").DataSegments({"ab", "c\r\n"}).DataClose().Line("226 done");
    server.Expect("PASV").Pasv();
    server.Expect("STOR g").Line("150 send").DataReceiveAll().Line("226 stored");
    RawClient control;
    ASSERT_TRUE(control.Connect(server.Port()));
    control.ReceiveOnce();

    control.Send("PASV\r\n");
    std::string reply = control.ReceiveOnce();
    ASSERT_EQ(reply.rfind("227 Entering Passive Mode (10,0,0,5,", 0), 0u) << reply;
    // The named host is not where the listener is: the data goes to the control peer.
    RawClient data;
    ASSERT_TRUE(data.Connect(PortFromPasv(reply)));
    control.Send("RETR f\r\n");
    EXPECT_EQ(control.ReceiveOnce(), "150 go\r\n");
    EXPECT_EQ(data.ReceiveOnce(), "ab");
    EXPECT_EQ(data.ReceiveToEnd(), "c\r\n");
    EXPECT_EQ(control.ReceiveOnce(), "226 done\r\n");

    control.Send("PASV\r\n");
    reply = control.ReceiveOnce();
    {
        RawClient upload;
        ASSERT_TRUE(upload.Connect(PortFromPasv(reply)));
        control.Send("STOR g\r\n");
        EXPECT_EQ(control.ReceiveOnce(), "150 send\r\n");
        upload.Send(std::string("\0\x01\xffz", 4));
    }
    EXPECT_EQ(control.ReceiveOnce(), "226 stored\r\n");
    EXPECT_EQ(server.DataReceived(), std::vector<std::string>{std::string("\0\x01\xffz", 4)});
    EXPECT_EQ(server.DataConnectionsOpened(), 2);
    EXPECT_TRUE(server.Problems().empty());
}

TEST(FakeFtpServerTest, ActiveModeConnectsToPortAddress) {
    FakeFtpServer server;
    server.ExpectVerb("PORT").Line("200 ok");
    server.Expect("LIST").Line("150 here").DataSend("line\r\n").DataClose().Line("226 done");
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 5), 0);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    unsigned port = ntohs(address.sin_port);

    RawClient control;
    ASSERT_TRUE(control.Connect(server.Port()));
    control.ReceiveOnce();
    control.Send("PORT 127,0,0,1," + std::to_string(port / 256) + "," + std::to_string(port % 256) + "\r\n");
    EXPECT_EQ(control.ReceiveOnce(), "200 ok\r\n");
    control.Send("LIST\r\n");
    pollfd p{listener, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    int data = ::accept(listener, nullptr, nullptr);
    ::close(listener);
    std::string received;
    char buffer[64];
    for (ssize_t n; (n = ::recv(data, buffer, sizeof buffer, 0)) > 0;) {
        received.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(data);
    EXPECT_EQ(received, "line\r\n");
    EXPECT_EQ(control.ReceiveUpTo(20), "150 here\r\n226 done\r\n");
    EXPECT_EQ(server.LastPortTarget(), "127.0.0.1:" + std::to_string(port));
}

TEST(FakeFtpServerTest, StalledDownloadGivesWayToAbor) {
    FakeFtpServer server;
    std::string big(32 << 20, 'x');
    server.Expect("PASV").Pasv();
    server.Expect("RETR big").Line("150 go").DataSend(big);
    server.Expect("ABOR").DataClose().Reply("426 aborted\r\n226 abort ok\r\n");
    RawClient control;
    ASSERT_TRUE(control.Connect(server.Port()));
    control.ReceiveOnce();
    control.Send("PASV\r\n");
    RawClient data;
    ASSERT_TRUE(data.Connect(PortFromPasv(control.ReceiveOnce())));
    control.Send("RETR big\r\n");
    EXPECT_EQ(control.ReceiveOnce(), "150 go\r\n");
    EXPECT_FALSE(data.ReceiveOnce().empty());

    control.Send("ABOR\r\n");  // and never read the data again
    EXPECT_EQ(control.ReceiveUpTo(27), "426 aborted\r\n226 abort ok\r\n");
    EXPECT_LT(server.DataBytesSent(), big.size());
}

}  // namespace
