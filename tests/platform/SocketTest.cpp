#include "platform/Socket.h"

#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "platform/WinsockErrorName.h"
#include "platform/SocketError.h"
#include "platform/TlsContext.h"
#include "support/TestCertificates.h"

namespace {

using Clock = std::chrono::steady_clock;

// A connected loopback pair made with the class under test.
struct Pair {
    Socket listener;
    Socket client;
    Socket server;
    Pair() {
        EXPECT_TRUE(listener.Create(0, Socket::kStream, "127.0.0.1"));
        EXPECT_TRUE(listener.Listen(5));
        EXPECT_TRUE(client.Create());
        EXPECT_TRUE(client.Connect("127.0.0.1", listener.LocalAddress()->port));
        EXPECT_TRUE(listener.Accept(server));
    }
};

long Millis(Clock::duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

TEST(Socket, ConnectsAndReportsBothEnds) {
    Pair p;
    const auto local = p.client.LocalAddress();
    const auto peer = p.client.PeerAddress();
    ASSERT_TRUE(local && peer);
    EXPECT_EQ(peer->address, "127.0.0.1");
    EXPECT_EQ(peer->port, p.listener.LocalAddress()->port);
    EXPECT_EQ(local->address, "127.0.0.1");
    EXPECT_EQ(p.server.PeerAddress()->port, local->port);
    EXPECT_TRUE(p.client.SetNoDelay(true));
}

TEST(Socket, FailuresCarryWinsockNames) {
    // A port that was just free on loopback refuses.
    std::uint16_t freePort = 0;
    {
        Socket probe;
        ASSERT_TRUE(probe.Create(0, Socket::kStream, "127.0.0.1"));
        freePort = probe.LocalAddress()->port;
    }
    Socket refused;
    ASSERT_TRUE(refused.Create());
    EXPECT_FALSE(refused.Connect("127.0.0.1", freePort));
    EXPECT_EQ(WinsockErrorName(), "WSAECONNREFUSED");

    // Names under the reserved "invalid" domain are refused without a lookup, so nothing leaves the host.
    for (const char* host : {"no-such-host.invalid", "a.b.INVALID.", "invalid"}) {
        SCOPED_TRACE(host);
        Socket unknown;
        ASSERT_TRUE(unknown.Create());
        const auto start = Clock::now();
        EXPECT_FALSE(unknown.Connect(host, 21));
        EXPECT_EQ(WinsockErrorName(), "WSAHOST_NOT_FOUND");
        EXPECT_LT(Millis(Clock::now() - start), 100);
    }

    // Every operation on a socket that was never created names it WSAENOTSOCK.
    Socket notCreated;
    Socket other;
    char byte = 0;
    const std::vector<std::pair<const char*, std::function<bool()>>> calls = {
        {"connect", [&] { return notCreated.Connect("127.0.0.1", 21); }},
        {"listen", [&] { return notCreated.Listen(); }},
        {"accept", [&] { return notCreated.Accept(other); }},
        {"send", [&] { return notCreated.Send(&byte, 1) >= 0; }},
        {"receive", [&] { return notCreated.Receive(&byte, 1) >= 0; }},
        {"FIONREAD", [&] { return notCreated.BytesAvailable().has_value(); }},
        {"TCP_NODELAY", [&] { return notCreated.SetNoDelay(true); }},
        {"local address", [&] { return notCreated.LocalAddress().has_value(); }},
        {"peer address", [&] { return notCreated.PeerAddress().has_value(); }},
    };
    for (const auto& [what, call] : calls) {
        SetLastSocketError(0);
        EXPECT_FALSE(call()) << what;
        EXPECT_EQ(WinsockErrorName(), "WSAENOTSOCK") << what;
    }

    Socket twice;
    ASSERT_TRUE(twice.Create());
    EXPECT_FALSE(twice.Create());
    EXPECT_FALSE(twice.Create(0, 2));
}

TEST(Socket, BytesAvailableCountsUnreadBytes) {
    Pair p;
    ASSERT_EQ(p.client.Send("hello", 5), 5);
    // Loopback delivery is immediate but not synchronous with send; wait until the count shows up.
    int waiting = 0;
    for (int i = 0; i < 200 && waiting < 5; ++i) {
        waiting = p.server.BytesAvailable().value_or(-1);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(waiting, 5);
    char buffer[8];
    EXPECT_EQ(p.server.Receive(buffer, sizeof buffer), 5);
    EXPECT_EQ(p.server.BytesAvailable(), 0);
}

TEST(Socket, UrgentByteArrivesOutOfBand) {
    Pair p;
    const unsigned char ip[] = {255, 244};
    const unsigned char dm[] = {255, 242};
    ASSERT_EQ(p.client.Send(ip, 2), 2);
    ASSERT_EQ(p.client.Send(dm, 2, true), 2);
    ASSERT_EQ(p.client.Send("ABOR\r\n", 6), 6);
    // Read the urgent byte first: once the normal stream has been read past the mark it is gone.
    char oob = 0;
    long got = -1;
    for (int i = 0; i < 200 && got != 1; ++i) {
        got = recv(p.server.Handle(), &oob, 1, MSG_OOB | MSG_DONTWAIT);
        if (got != 1) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    ASSERT_EQ(got, 1);
    EXPECT_EQ(static_cast<unsigned char>(oob), 242);
    std::string normal;
    char buffer[64];
    while (normal.size() < 9) {
        const long n = p.server.Receive(buffer, sizeof buffer);
        ASSERT_GT(n, 0);
        normal.append(buffer, static_cast<std::size_t>(n));
    }
    // The urgent pointer marks the last byte of the urgent send: it leaves the normal stream.
    EXPECT_EQ(normal, std::string("\xff\xf4\xff"
                                  "ABOR\r\n"));
}

TEST(Socket, PeerCloseAndBrokenPipeAreErrorsNotSignals) {
    Pair p;
    p.server.Close();
    char buffer[4];
    EXPECT_EQ(p.client.Receive(buffer, sizeof buffer), 0);
    // Without MSG_NOSIGNAL the second send would raise SIGPIPE and end the test program.
    std::string block(65536, 'x');
    long rc = 0;
    for (int i = 0; i < 50 && rc >= 0; ++i) {
        rc = p.client.Send(block.data(), block.size());
    }
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(WinsockErrorName(), "WSAECONNRESET");
}

// The waits a silent peer can prolong: data to arrive, a connection to accept, a connect to a listener
// whose accept queue is full (loopback then drops the handshake, as a distant host would), and a TLS
// handshake that the peer never answers.
enum class Blocked { Receive, Accept, Connect, TlsHandshake };

struct Blocker {
    Pair p;
    Socket fullListener;
    Socket queued;
    Socket connecting;
    explicit Blocker(Blocked what) {
        if (what == Blocked::Connect) {
            EXPECT_TRUE(fullListener.Create(0, Socket::kStream, "127.0.0.1"));
            EXPECT_TRUE(fullListener.Listen(0));
            EXPECT_TRUE(queued.Create());
            EXPECT_TRUE(queued.Connect("127.0.0.1", fullListener.LocalAddress()->port));  // fills the queue
            EXPECT_TRUE(connecting.Create());
        }
    }
    Socket& Waiter(Blocked what) {
        return what == Blocked::Accept ? p.listener : what == Blocked::Connect ? connecting : p.client;
    }
    // True when the blocked operation failed.
    bool Run(Blocked what) {
        char buffer[4];
        Socket accepted;
        switch (what) {
            case Blocked::Receive:
                return p.client.Receive(buffer, 4) < 0;
            case Blocked::Accept:
                return !p.listener.Accept(accepted);
            case Blocked::Connect:
                return !connecting.Connect("127.0.0.1", fullListener.LocalAddress()->port);
            case Blocked::TlsHandshake: {
                std::string error;
                return !p.client.StartTls(TlsContext::Create(TlsOptions{}, error), "127.0.0.1", false);
            }
        }
        return false;
    }
};

TEST(Socket, WaitsEndAtTheTimeOut) {
    struct Case {
        const char* what;
        Blocked blocked;
    };
    for (const Case c : {Case{"receive", Blocked::Receive}, Case{"accept", Blocked::Accept},
                         Case{"connect", Blocked::Connect}, Case{"TLS handshake", Blocked::TlsHandshake}}) {
        SCOPED_TRACE(c.what);
        Blocker b(c.blocked);
        b.Waiter(c.blocked).SetTimeout(150);
        const auto start = Clock::now();
        const bool failed = b.Run(c.blocked);
        const long elapsed = Millis(Clock::now() - start);
        EXPECT_TRUE(failed);
        EXPECT_EQ(WinsockErrorName(), "WSAETIMEDOUT");
        EXPECT_GE(elapsed, 140);
        EXPECT_LT(elapsed, 5000);
    }
}

TEST(Socket, InterruptEndsBlockedWaitsFromAnotherThread) {
    struct Case {
        const char* what;
        Blocked blocked;
        bool useAbort;
    };
    for (const Case c :
         {Case{"receive/stop", Blocked::Receive, false}, Case{"accept/stop", Blocked::Accept, false},
          Case{"connect/stop", Blocked::Connect, false}, Case{"receive/abort", Blocked::Receive, true},
          Case{"accept/abort", Blocked::Accept, true},
          Case{"handshake/stop", Blocked::TlsHandshake, false}}) {
        SCOPED_TRACE(c.what);
        Blocker b(c.blocked);
        auto stop = std::make_shared<SocketInterrupt>();
        auto abort = std::make_shared<SocketInterrupt>();
        b.Waiter(c.blocked).SetInterrupts(stop, abort);  // no time-out: only the interrupt can end the wait
        int error = 0;
        bool failed = false;
        std::thread worker([&] {
            failed = b.Run(c.blocked);
            error = LastSocketError();
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const auto start = Clock::now();
        (c.useAbort ? abort : stop)->Trigger();
        worker.join();
        EXPECT_LT(Millis(Clock::now() - start), 2000);
        EXPECT_TRUE(failed);
        EXPECT_EQ(error, wsa::kInterrupted);

        // Re-armed, the socket waits and carries data again.
        (c.useAbort ? abort : stop)->Reset();
        if (c.blocked == Blocked::Receive) {
            ASSERT_EQ(b.p.server.Send("x", 1), 1);
            char buffer[4];
            EXPECT_EQ(b.p.client.Receive(buffer, 4), 1);
        }
    }
}

// How a TLS peer ends its stream decides whether the bytes before it are whole: close_notify is an end,
// a bare FIN or a reset may be an attacker cutting the file short, so it must read as a failure.
TEST(Socket, TlsStreamEndsCleanlyOnlyWithCloseNotify) {
    const TestCertificates& certificates = TestCertificates::Shared();
    ASSERT_TRUE(certificates.Valid()) << certificates.Error();
    enum class End { CloseNotify, BareFin, Reset };
    struct Case {
        const char* what;
        End end;
        bool clean;
    };
    for (const Case& c :
         {Case{"close_notify", End::CloseNotify, true}, Case{"FIN without close_notify", End::BareFin, false},
          Case{"reset", End::Reset, false}}) {
        SCOPED_TRACE(c.what);
        Pair p;
        const std::shared_ptr<SSL_CTX> serverContext =
            MakeTlsServerContext(certificates.ServerCert(), certificates.ServerKey());
        ASSERT_TRUE(serverContext) << OpensslErrorText();
        std::thread server([&] {
            std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(serverContext.get()), &SSL_free);
            SSL_set_fd(ssl.get(), p.server.Handle());
            if (SSL_accept(ssl.get()) != 1 || SSL_write(ssl.get(), "part of a file", 14) != 14) {
                ADD_FAILURE() << "server side: " << OpensslErrorText();
                return;
            }
            if (c.end == End::CloseNotify) {
                SSL_shutdown(ssl.get());
                p.server.Close();
            } else if (c.end == End::BareFin) {
                ::shutdown(p.server.Handle(), SHUT_WR);
            } else {
                p.server.CloseAbortive();
            }
        });
        std::string error;
        TlsOptions options;
        options.trustFile = certificates.CaFile().string();
        const bool started = p.client.StartTls(TlsContext::Create(options, error), "127.0.0.1", false);
        std::string received;
        long n = 0;
        char buffer[64];
        while (started && (n = p.client.Receive(buffer, sizeof buffer)) > 0) {
            received.append(buffer, static_cast<std::size_t>(n));
        }
        server.join();
        ASSERT_TRUE(started) << p.client.TlsError();
        if (c.end != End::Reset) {  // a reset may discard what was not read yet
            EXPECT_EQ(received, "part of a file");
        }
        EXPECT_EQ(n, c.clean ? 0 : -1) << p.client.TlsError();
    }
}

}  // namespace
