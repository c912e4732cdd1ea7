#include "engine/BufferedSocket.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/SocketError.h"
#include "platform/WinsockErrorName.h"

namespace {

// A BufferedSocket connected over loopback to a plain socket that plays the peer.
struct Link {
    Socket listener;
    BufferedSocket client;
    Socket peer;
    explicit Link(int capacity = 4096) {
        EXPECT_TRUE(listener.Create(0, Socket::kStream, "127.0.0.1"));
        EXPECT_TRUE(listener.Listen(5));
        EXPECT_TRUE(client.Create());
        EXPECT_TRUE(client.AllocateBuffer(capacity));
        EXPECT_TRUE(client.Connect("127.0.0.1", listener.LocalAddress()->port));
        EXPECT_TRUE(listener.Accept(peer));
        client.SetTimeout(2000);
        peer.SetTimeout(2000);
    }
    void PeerSends(std::string_view bytes) {
        ASSERT_EQ(peer.Send(bytes.data(), bytes.size()), static_cast<long>(bytes.size()));
    }
    std::string PeerReceives(std::size_t n) {
        std::string got;
        char buffer[1024];
        while (got.size() < n) {
            const long rc = peer.Receive(buffer, sizeof buffer);
            if (rc <= 0) {
                break;
            }
            got.append(buffer, static_cast<std::size_t>(rc));
        }
        return got;
    }
};

TEST(BufferedSocket, ReadLineSplitsAtCrAndSkipsTheByteAfterIt) {
    struct Result {
        int rc;
        std::string line;
    };
    struct Case {
        const char* what;
        std::string bytes;
        bool closeAfter;
        int size;
        std::vector<Result> expected;
    };
    const std::string l255(255, 'a');
    const std::string l256(256, 'b');
    const std::vector<Case> cases = {
        {"CR LF lines", "one\r\ntwo\r\n", false, 256, {{3, "one"}, {3, "two"}}},
        {"empty line", "\r\nx\r\n", false, 256, {{0, ""}, {1, "x"}}},
        // The byte after CR is skipped whatever it is; a lone LF stays inside the line.
        {"CR then other byte", "ab\rXcd\r\n", false, 256, {{2, "ab"}, {2, "cd"}}},
        {"LF inside a line", "a\nb\r\n", false, 256, {{3, "a\nb"}}},
        {"NUL kept", std::string("a\0b\r\n", 5), false, 256, {{3, std::string("a\0b", 3)}}},
        {"255 characters fit", l255 + "\r\n", false, 256, {{255, l255}}},
        // The CR that found no room is consumed with the line; its LF starts the next read.
        {"256 characters do not",
         l256 + "\r\nok\r\n",
         false,
         256,
         {{-1, std::string(255, 'b')}, {3, "\nok"}}},
        {"257 characters do not", l256 + "cd\r\n", false, 256, {{-1, std::string(255, 'b')}, {1, "d"}}},
        {"partial line at close", "abc", true, 256, {{-1, "abc"}}},
        {"CR as the last byte before close", "abc\r", true, 256, {{3, "abc"}, {-1, ""}}},
        {"LF-only lines never end", "x\ny\n", true, 256, {{-1, "x\ny\n"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Link link;
        link.PeerSends(c.bytes);
        if (c.closeAfter) {
            link.peer.Close();
        }
        std::string line;
        for (const auto& want : c.expected) {
            EXPECT_EQ(link.client.ReadLine(line, c.size), want.rc);
            EXPECT_EQ(line, want.line);
        }
    }
}

TEST(BufferedSocket, ReadLineAssemblesALineFromSmallReceives) {
    // A 4-byte buffer forces a refill inside the line and between CR and LF.
    Link link(4);
    std::thread sender([&] {
        for (const char c : std::string("220 hello\r\n")) {
            link.PeerSends(std::string(1, c));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    std::string line;
    EXPECT_EQ(link.client.ReadLine(line, 256), 9);
    EXPECT_EQ(line, "220 hello");
    sender.join();
    EXPECT_EQ(link.client.Count(), 0);  // the LF was consumed
}

TEST(BufferedSocket, ReceiveBlockReportsCountCloseAndError) {
    Link link(8);
    link.PeerSends("0123456789");
    EXPECT_EQ(link.client.ReceiveBlock(), 8);
    EXPECT_EQ(std::string(link.client.Buffer(), 8), "01234567");
    EXPECT_EQ(link.client.ReceiveBlock(), 2);
    EXPECT_EQ(link.client.Position(), 0);
    link.peer.Close();
    EXPECT_EQ(link.client.ReceiveBlock(), 0);
    EXPECT_EQ(link.client.Count(), 2);  // unchanged by a failed receive

    BufferedSocket unbuffered;
    EXPECT_EQ(unbuffered.ReceiveBlock(), -1);
    Link silent;
    silent.client.SetTimeout(100);
    EXPECT_EQ(silent.client.ReceiveBlock(), -1);
    EXPECT_EQ(WinsockErrorName(), "WSAETIMEDOUT");
}

TEST(BufferedSocket, SendLineAndSendBlock) {
    Link link(16);
    const std::string longest(BufferedSocket::kMaxLineText, 'c');
    EXPECT_EQ(link.client.SendLine(longest), 512);
    EXPECT_EQ(link.PeerReceives(512), longest + "\r\n");
    EXPECT_EQ(link.client.SendLine(longest + "c"), -1);
    EXPECT_EQ(LastSocketError(), 10040);
    EXPECT_EQ(link.client.SendLine(""), 2);
    EXPECT_EQ(link.PeerReceives(2), "\r\n");

    std::memcpy(link.client.Buffer(), "block of sixteen", 16);
    EXPECT_EQ(link.client.SendBlock(16), 16);
    EXPECT_EQ(link.PeerReceives(16), "block of sixteen");
    EXPECT_EQ(link.client.SendBlock(17), -1);
}

TEST(BufferedSocket, AllocateBufferResets) {
    BufferedSocket s;
    EXPECT_FALSE(s.AllocateBuffer(0));
    EXPECT_TRUE(s.AllocateBuffer(4096));
    EXPECT_EQ(s.Capacity(), 4096);
    EXPECT_EQ(s.Position(), 0);
    EXPECT_EQ(s.Count(), 0);
}

TEST(WinsockErrorName, NamesKnownAndUnknownCodes) {
    const std::vector<std::pair<int, std::string>> cases = {
        {10061, "WSAECONNREFUSED"},      {11001, "WSAHOST_NOT_FOUND"},      {11004, "WSANO_DATA"},
        {10060, "WSAETIMEDOUT"},         {0, "<WSAunknown: #0>"},           {10091, "<WSAunknown: #10091>"},
        {10092, "<WSAunknown: #10092>"}, {-10061, "<WSAunknown: #-10061>"},
    };
    for (const auto& [code, name] : cases) {
        SetLastSocketError(code);
        EXPECT_EQ(WinsockErrorName(), name);
    }
}

}  // namespace
