// The session worker and its queue, end to end over loopback: the handlers are replaced by a recording one
// so that the loop is tested on its own.
#include "engine/FtpSession.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <latch>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>

#include "platform/Socket.h"
#include "support/EngineFixture.h"
#include "support/FakeFtpServer.h"
#include "support/FtpSessionTesting.h"
#include "support/RecordingViews.h"

namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

const char* KindName(FtpRequestKind kind) {
    switch (kind) {
        case FtpRequestKind::ChangeDir:
            return "ChangeDir";
        case FtpRequestKind::UpOneLevel:
            return "UpOneLevel";
        case FtpRequestKind::Delete:
            return "Delete";
        case FtpRequestKind::Get:
            return "Get";
        case FtpRequestKind::Put:
            return "Put";
        case FtpRequestKind::Logoff:
            return "Logoff";
        case FtpRequestKind::MakeFolder:
            return "MakeFolder";
        case FtpRequestKind::Rename:
            return "Rename";
        case FtpRequestKind::WalkTrees:
            return "WalkTrees";
        case FtpRequestKind::RemoveTrees:
            return "RemoveTrees";
        case FtpRequestKind::WalkDownload:
            return "WalkDownload";
        case FtpRequestKind::WalkUpload:
            return "WalkUpload";
    }
    return "?";
}

class Session : public ::testing::Test {
  protected:
    void TearDown() override {
        gate_.count_down(gate_.max() > 0 ? 1 : 0);
        if (handle) {
            handle->Stop();
            EXPECT_TRUE(handle->WaitEnded(5s));
        }
    }

    // Starts a session on the fake server with the recording handler; the login is scripted unless the
    // test scripted its own.
    void Start(TestSessionOptions options = {}, bool scriptLogin = true) {
        if (scriptLogin) {
            server.Expect("USER anonymous").Line("230 welcome");
        }
        options.handlerOverride = [this](FtpContext& session, FtpRequest& request) {
            return Serve(session, request);
        };
        handle = FtpSessionTesting::Start(ServerUrl(server, "start/dir"), views.Views(), std::move(options));
    }

    // The recording handler: the first request (the worker's own, once the test has waited for it with
    // WaitServed(1)) is recorded and then waits for the gate; a request whose text names a command
    // ("cmd:NOOP") sends it and returns the reply code.
    int Serve(FtpContext& session, FtpRequest& request) {
        {
            std::lock_guard lock(mutex_);
            served_.push_back(std::string(KindName(request.kind)) + " " + request.text + " " +
                              std::to_string(request.value));
        }
        servedChanged_.notify_all();
        if (first_.exchange(false)) {
            gate_.wait();
        }
        if (request.text.rfind("cmd:", 0) == 0) {
            return session.Command(request.text.substr(4));
        }
        if (request.text == "custom" && custom) {
            return custom(session);
        }
        return 250;
    }

    // Serves a request whose text is "custom".
    std::function<int(FtpContext&)> custom;

    void OpenGate() { gate_.count_down(); }

    Lines Served() {
        std::lock_guard lock(mutex_);
        return served_;
    }

    bool WaitServed(std::size_t n, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock lock(mutex_);
        return servedChanged_.wait_for(lock, timeout, [&] { return served_.size() >= n; });
    }

    // The session ended the way every session ends: both pages reset, Host first, as the last calls.
    // A server busy sending (or no longer reading) notices the close only when its action ends.
    void ExpectEnded(bool serverNoticesClose = true) {
        ASSERT_TRUE(handle->WaitEnded(5s));
        const auto calls = views.Calls();
        ASSERT_GE(calls.size(), 2u);
        EXPECT_EQ(calls[calls.size() - 2].op, "HostResetAfterSession");
        EXPECT_EQ(calls.back().op, "RemoteResetAfterSession");
        EXPECT_EQ(views.Session(), nullptr);
        if (serverNoticesClose) {
            EXPECT_TRUE(server.WaitForClose());
        }
    }

    FakeFtpServer server;
    RecordingViews views;
    std::shared_ptr<FtpSessionHandle> handle;

  private:
    std::atomic<bool> first_{true};
    std::latch gate_{1};
    std::mutex mutex_;
    std::condition_variable servedChanged_;
    Lines served_;
};

TEST_F(Session, ServesInQueueOrderUntilLogoffAndReleasesWhatIsLeft) {
    std::atomic<int> destroyed{0};
    Start();
    ASSERT_TRUE(WaitServed(1));
    auto enqueue = [&](FtpRequestKind kind, std::string text, int value, bool withObject) {
        std::unique_ptr<FtpRequestObject> object;
        if (withObject) {
            object = std::make_unique<Counted<>>(destroyed);
        }
        EXPECT_TRUE(handle->Enqueue(kind, text, object, value));
        EXPECT_EQ(object, nullptr);
    };
    enqueue(FtpRequestKind::UpOneLevel, "", 0, false);
    enqueue(FtpRequestKind::Delete, "", 0, true);
    enqueue(FtpRequestKind::Get, "/tmp/folder", 1, true);
    enqueue(FtpRequestKind::Put, "", 0, true);
    enqueue(FtpRequestKind::ChangeDir, "pub", 0, false);
    enqueue(FtpRequestKind::Logoff, "", 0, false);
    enqueue(FtpRequestKind::ChangeDir, "never", 0, true);
    enqueue(FtpRequestKind::Get, "never", 0, true);
    OpenGate();
    ExpectEnded();
    EXPECT_EQ(Served(), (Lines{"ChangeDir start/dir 1", "UpOneLevel  0", "Delete  0", "Get /tmp/folder 1",
                               "Put  0", "ChangeDir pub 0"}));
    EXPECT_EQ(destroyed, 5);
    EXPECT_EQ(server.Commands(), (Lines{"USER anonymous", "FEAT", "QUIT"}));
    EXPECT_EQ(views.Traffic().back(), "<QUIT");  // its reply is not read
    EXPECT_EQ(views.Texts("ShowConnected"),
              Lines{"127.0.0.1 [127.0.0.1:" + std::to_string(server.Port()) + "]"});
    // The session is gone: the handle refuses and leaves the object with the caller.
    std::unique_ptr<FtpRequestObject> late = std::make_unique<Counted<>>(destroyed);
    EXPECT_FALSE(handle->Enqueue(FtpRequestKind::Get, "x", late, 0));
    EXPECT_NE(late, nullptr);
    handle->Abort();
    late.reset();
    EXPECT_EQ(destroyed, 6);
}

TEST_F(Session, UnsolicitedReplyIsLoggedAndDiscardedBeforeTheNextRequest) {
    Start();
    ASSERT_TRUE(WaitServed(1));
    OpenGate();
    server.Now().Reply("220-stray notice\r\n220 end of notice\r\n");
    std::this_thread::sleep_for(200ms);  // let it arrive while the worker is idle
    server.Expect("NOOP").Line("200 NOOP ok");
    server.Expect("QUIT");
    ASSERT_TRUE(handle->Enqueue(FtpRequestKind::ChangeDir, "cmd:NOOP", 0));
    ASSERT_TRUE(WaitServed(2));
    ASSERT_TRUE(views.WaitFor("LogTraffic", ">200 NOOP ok"));
    const Lines log = views.LogLines();
    const auto at = std::find(log.begin(), log.end(), "... (discarding extraneous response)");
    ASSERT_NE(at, log.end());
    EXPECT_EQ(Lines(at, log.end()), (Lines{"... (discarding extraneous response)", ">220-stray notice",
                                           ">220 end of notice", "<NOOP", ">200 NOOP ok"}));
    ASSERT_TRUE(handle->Enqueue(FtpRequestKind::Logoff));
    ExpectEnded();
    EXPECT_EQ(server.Problems(), Lines{});
}

TEST_F(Session, A421OrALostConnectionEndsTheSessionWithoutQuit) {
    struct Case {
        const char* what;
        int timeoutMs;
        std::string failureTraffic;  // empty: the server's own 421
        std::string shown;           // what the Host and Remote pages show
    };
    const std::vector<Case> cases = {
        {"421 reply", 60000, "", "Connection lost: 421 Service closing control connection"},
        {"connection closed", 60000, "... [CONTROL] Receive failed, WinSock err = WSAECONNRESET",
         "Connection lost: the connection was reset (WSAECONNRESET)"},
        {"connection reset", 60000, "... [CONTROL] Receive failed, WinSock err = WSAECONNRESET",
         "Connection lost: the connection was reset (WSAECONNRESET)"},
        {"server silent past the time-out", 200, "... [CONTROL] Receive failed, WinSock err = WSAETIMEDOUT",
         "Connection lost: no answer in time (WSAETIMEDOUT)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeFtpServer caseServer;
        RecordingViews caseViews;
        caseServer.Expect("USER anonymous").Line("230 in");
        {
            auto noop = caseServer.Expect("NOOP");
            if (std::string(c.what) == "421 reply") {
                noop.Line("421 Service closing control connection");
            } else if (std::string(c.what) == "connection closed") {
                noop.Close();
            } else if (std::string(c.what) == "connection reset") {
                noop.Reset();
            }
        }
        std::atomic<int> destroyed{0};
        std::atomic<int> served{0};
        std::latch entered(1);
        std::latch gate(1);
        TestSessionOptions options;
        options.controlTimeoutMs = c.timeoutMs;
        options.handlerOverride = [&](FtpContext& session, FtpRequest& request) {
            if (++served == 1) {
                entered.count_down();
                gate.wait();
                return 250;
            }
            return session.Command(request.text);
        };
        auto h = FtpSessionTesting::Start(ServerUrl(caseServer), caseViews.Views(), options);
        entered.wait();  // the worker serves its own first request
        ASSERT_TRUE(h->Enqueue(FtpRequestKind::ChangeDir, "NOOP", 0));
        std::unique_ptr<FtpRequestObject> object = std::make_unique<Counted<>>(destroyed);
        ASSERT_TRUE(h->Enqueue(FtpRequestKind::Get, "after", object, 0));
        gate.count_down();
        ASSERT_TRUE(h->WaitEnded(5s));
        EXPECT_EQ(served, 2);  // the request after the failure was discarded, not served
        EXPECT_EQ(destroyed, 1);
        EXPECT_EQ(caseServer.Commands(), (Lines{"USER anonymous", "FEAT", "NOOP"}));
        const Lines traffic = caseViews.Traffic();
        EXPECT_EQ(traffic.back(),
                  c.failureTraffic.empty() ? ">421 Service closing control connection" : c.failureTraffic);
        const auto calls = caseViews.Calls();
        EXPECT_EQ(calls[calls.size() - 2].op, "HostResetAfterSession");
        EXPECT_EQ(calls.back().op, "RemoteResetAfterSession");
        EXPECT_EQ(caseViews.Failures(), (Lines{"Lost: " + c.shown, "Remote: " + c.shown}));
    }
}

TEST_F(Session, The65thOutstandingRequestIsRefusedAndStaysWithTheCaller) {
    std::atomic<int> destroyed{0};
    Start();
    ASSERT_TRUE(WaitServed(1));
    // The worker's own first request, being served, holds one record.
    for (int i = 1; i < FtpSession::kPoolSize; ++i) {
        std::unique_ptr<FtpRequestObject> object = std::make_unique<Counted<>>(destroyed);
        ASSERT_TRUE(handle->Enqueue(FtpRequestKind::Get, "f" + std::to_string(i), object, 0)) << i;
    }
    std::unique_ptr<FtpRequestObject> refused = std::make_unique<Counted<>>(destroyed);
    EXPECT_FALSE(handle->Enqueue(FtpRequestKind::Get, "65th", refused, 0));
    ASSERT_NE(refused, nullptr);
    EXPECT_EQ(destroyed, 0);
    OpenGate();
    ASSERT_TRUE(WaitServed(FtpSession::kPoolSize));
    // Records come back as requests finish.
    EXPECT_TRUE(handle->Enqueue(FtpRequestKind::Get, "65th", refused, 0));
    EXPECT_EQ(refused, nullptr);
    ASSERT_TRUE(handle->Enqueue(FtpRequestKind::Logoff));
    ExpectEnded();
    EXPECT_EQ(destroyed, FtpSession::kPoolSize);
    EXPECT_EQ(Served().back(), "Get 65th 0");
}

TEST_F(Session, EnqueueFromTwoThreadsKeepsEachThreadsOrder) {
    constexpr int kEach = 30;
    Start();
    ASSERT_TRUE(WaitServed(1));
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                EXPECT_TRUE(handle->Enqueue(FtpRequestKind::ChangeDir, std::to_string(t), i));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    OpenGate();
    ASSERT_TRUE(WaitServed(1 + 2 * kEach));
    int next[2] = {0, 0};
    for (const auto& line : Served()) {
        if (line.rfind("ChangeDir start/dir", 0) == 0) {
            continue;
        }
        const int t = line[10] - '0';
        EXPECT_EQ(line, "ChangeDir " + std::to_string(t) + " " + std::to_string(next[t]));
        ++next[t];
    }
    EXPECT_EQ(next[0], kEach);
    EXPECT_EQ(next[1], kEach);
    ASSERT_TRUE(handle->Enqueue(FtpRequestKind::Logoff));
    ExpectEnded();
}

TEST_F(Session, AbortFlushesOnlyTheWaitingRequests) {
    std::atomic<int> destroyed{0};
    Start();
    ASSERT_TRUE(WaitServed(1));
    // Idle in effect (nothing queued, no transfer): nothing is sent or reported.
    const auto before = views.Calls().size();
    handle->Abort();
    EXPECT_EQ(views.Calls().size(), before);
    for (int i = 0; i < 2; ++i) {
        std::unique_ptr<FtpRequestObject> object = std::make_unique<Counted<>>(destroyed);
        ASSERT_TRUE(handle->Enqueue(FtpRequestKind::Get, "queued", object, 0));
    }
    handle->Abort();
    EXPECT_EQ(destroyed, 2);
    EXPECT_EQ(views.Messages().back(), "Queue flushed");
    EXPECT_EQ(views.Texts("SetStatus").back(), "Queue flushed");
    OpenGate();
    // An abort never cancels a request queued after it.
    ASSERT_TRUE(handle->Enqueue(FtpRequestKind::ChangeDir, "after", 0));
    ASSERT_TRUE(WaitServed(2));
    ASSERT_TRUE(handle->Enqueue(FtpRequestKind::Logoff));
    ExpectEnded();
    EXPECT_EQ(Served(), (Lines{"ChangeDir start/dir 1", "ChangeDir after 0"}));
    EXPECT_EQ(server.Commands(), (Lines{"USER anonymous", "FEAT", "QUIT"}));
}

TEST_F(Session, AbortRacingTheWorkerNeitherDeadlocksNorLosesObjects) {
    std::atomic<int> created{0};
    std::atomic<int> destroyed{0};
    Start();
    OpenGate();
    ASSERT_TRUE(views.WaitFor("ResetForSession"));
    std::atomic<bool> done{false};
    std::thread producer([&] {
        for (int i = 0; i < 400; ++i) {
            std::unique_ptr<FtpRequestObject> object = std::make_unique<Counted<>>(destroyed);
            ++created;
            while (!handle->Enqueue(FtpRequestKind::Get, "g", object, i)) {
                std::this_thread::yield();
            }
        }
        done = true;
    });
    int aborts = 0;
    while (!done) {
        handle->Abort();
        ++aborts;
        std::this_thread::yield();
    }
    producer.join();
    ASSERT_TRUE(handle->Enqueue(FtpRequestKind::Logoff));
    ExpectEnded();
    EXPECT_EQ(destroyed.load(), created.load());
    EXPECT_GT(aborts, 0);
}

TEST_F(Session, RequestsQueuedBeforeAFailedLoginAreReleasedUnserved) {
    server.OnConnect().Delay(200ms).Line("421 Too many users");
    std::atomic<int> destroyed{0};
    Start({}, false);
    std::unique_ptr<FtpRequestObject> object = std::make_unique<Counted<>>(destroyed);
    ASSERT_TRUE(handle->Enqueue(FtpRequestKind::Delete, "", object, 0));
    ExpectEnded();
    EXPECT_TRUE(Served().empty());
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(views.Count("ShowConnected"), 0);
    EXPECT_EQ(views.Count("ResetForSession"), 0);
    EXPECT_EQ(views.Messages().back(), "... failed to log in");
}

TEST_F(Session, StopEndsABlockedWorkerPromptly) {
    struct Case {
        const char* what;
        bool greet;
        bool blockInRequest;
        bool pollAbortFlag;  // the request is a loop that only watches abortRequested
    };
    for (const Case c :
         {Case{"waiting for the greeting", false, false, false},
          Case{"waiting for a reply", true, true, false}, Case{"waiting for a request", true, false, false},
          Case{"looping in a handler", true, true, true}}) {
        SCOPED_TRACE(c.what);
        FakeFtpServer caseServer;
        RecordingViews caseViews;
        if (c.greet) {
            caseServer.Expect("USER anonymous").Line("230 in");
            caseServer.Expect("NOOP");  // never answered
        } else {
            caseServer.OnConnect();  // never greets
        }
        TestSessionOptions options;  // the default 60 s bound: only Stop can end these waits in time
        options.handlerOverride = [&](FtpContext& session, FtpRequest& request) {
            if (request.text.empty()) {
                return 250;
            }
            if (c.pollAbortFlag) {
                session.SendCommand(request.text);
                while (!session.AbortRequested()) {
                    std::this_thread::sleep_for(1ms);
                }
                return 226;
            }
            return session.Command(request.text);
        };
        auto h = FtpSessionTesting::Start(ServerUrl(caseServer), caseViews.Views(), options);
        if (c.greet) {
            ASSERT_TRUE(caseViews.WaitFor("ResetForSession"));
        }
        if (c.blockInRequest) {
            ASSERT_TRUE(h->Enqueue(FtpRequestKind::ChangeDir, "NOOP", 0));
            ASSERT_TRUE(caseServer.WaitForCommand("NOOP"));
        } else {
            ASSERT_TRUE(caseServer.WaitForConnection());
        }
        std::this_thread::sleep_for(50ms);
        const auto start = Clock::now();
        h->Stop();
        ASSERT_TRUE(h->WaitEnded(5s));
        EXPECT_LT(Clock::now() - start, 2s);
        const auto calls = caseViews.Calls();
        EXPECT_EQ(calls[calls.size() - 2].op, "HostResetAfterSession");
        EXPECT_EQ(calls.back().op, "RemoteResetAfterSession");
        const Lines commands = caseServer.Commands();
        EXPECT_EQ(std::count(commands.begin(), commands.end(), "QUIT"), 0);
        if (!c.greet || (c.blockInRequest && !c.pollAbortFlag)) {
            // The interrupted read fails like any lost connection.
            EXPECT_EQ(caseViews.Traffic().back(), "... [CONTROL] Receive failed, WinSock err = WSAEINTR");
        }
        EXPECT_FALSE(h->Enqueue(FtpRequestKind::Logoff));
        h->Stop();  // harmless once ended
    }
}

TEST_F(Session, AConnectThatGetsNoAnswerEndsByTimeOutOrStop) {
    struct Case {
        const char* what;
        int timeoutMs;
        bool stop;
        std::string name;
    };
    for (const Case& c :
         {Case{"time-out", 200, false, "WSAETIMEDOUT"}, Case{"stop", 60000, true, "WSAEINTR"}}) {
        SCOPED_TRACE(c.what);
        // A listener whose accept queue is full: loopback drops further handshakes, as a dead host would.
        Socket full;
        ASSERT_TRUE(full.Create(0, Socket::kStream, "127.0.0.1"));
        ASSERT_TRUE(full.Listen(0));
        Socket queued;
        ASSERT_TRUE(queued.Create());
        ASSERT_TRUE(queued.Connect("127.0.0.1", full.LocalAddress()->port));
        RecordingViews caseViews;
        TestSessionOptions options;
        options.controlTimeoutMs = c.timeoutMs;
        auto h = FtpSessionTesting::Start(ServerUrl(full.LocalAddress()->port), caseViews.Views(), options);
        ASSERT_TRUE(caseViews.WaitFor("LogMessage", "Connecting to 127.0.0.1"));
        const auto start = Clock::now();
        if (c.stop) {
            std::this_thread::sleep_for(50ms);
            h->Stop();
        }
        ASSERT_TRUE(h->WaitEnded(5s));
        EXPECT_LT(Clock::now() - start, 2s);
        EXPECT_EQ(caseViews.Messages(),
                  (Lines{"Connecting to 127.0.0.1", "... failed to connect, WinSock err = " + c.name}));
        EXPECT_EQ(caseViews.Calls().back().op, "RemoteResetAfterSession");
    }
}

TEST_F(Session, DroppingTheHandleEarlyLeavesTheWorkerToFinish) {
    server.Expect("USER anonymous").Line("230 in");
    std::weak_ptr<FtpSessionHandle> weak;
    {
        auto h = FtpSessionTesting::Start(ServerUrl(server), views.Views());
        weak = h;
        ASSERT_TRUE(views.WaitFor("ResetForSession"));
        ASSERT_TRUE(h->Enqueue(FtpRequestKind::Logoff));
    }
    ASSERT_TRUE(views.WaitFor("RemoteResetAfterSession"));
    ASSERT_TRUE(server.WaitForCommand("QUIT"));
    // The worker held the last reference and let its thread go.
    for (int i = 0; i < 200 && !weak.expired(); ++i) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(weak.expired());
}

}  // namespace

namespace {

// The log from the first "... (discarding extraneous response)" on.
Lines LogFromDiscard(const RecordingViews& views) {
    const Lines log = views.LogLines();
    const auto at = std::find(log.begin(), log.end(), "... (discarding extraneous response)");
    return Lines(at, log.end());
}

}  // namespace

TEST_F(Session, EveryStrayReplyWaitingIsDiscardedBeforeTheNextRequest) {
    struct Case {
        const char* what;
        std::vector<std::string> packets;
        Lines discarded;  // "+" stands for the notice "... (discarding extraneous response)"
    };
    const std::vector<Case> cases = {
        {"two in one packet (active mode: 150, then 425)",
         {"150 Opening data connection\r\n425 Can't open data connection\r\n"},
         {"+", ">150 Opening data connection", "+", ">425 Can't open data connection"}},
        {"two in separate packets",
         {"150 Opening data connection\r\n", "425 Can't open data connection\r\n"},
         {"+", ">150 Opening data connection", "+", ">425 Can't open data connection"}},
        {"three in one packet, one multi-line",
         {"226 done\r\n421-idle\r\n421 soon\r\n200 late\r\n"},
         {"+", ">226 done", "+", ">421-idle", ">421 soon", "+", ">200 late"}},
        {"three in separate packets",
         {"226 done\r\n", "421-idle\r\n421 soon\r\n", "200 late\r\n"},
         {"+", ">226 done", "+", ">421-idle", ">421 soon", "+", ">200 late"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeFtpServer caseServer;
        RecordingViews caseViews;
        caseServer.Expect("USER anonymous").Line("230 welcome");
        TestSessionOptions options;
        options.handlerOverride = [](FtpContext& session, FtpRequest& request) {
            return request.text.empty() ? 250 : session.Command(request.text);
        };
        auto h = FtpSessionTesting::Start(ServerUrl(caseServer), caseViews.Views(), options);
        ASSERT_TRUE(caseViews.WaitFor("ResetForSession"));
        caseServer.Now().Segments(c.packets);
        // Let every packet arrive while the worker is idle.
        std::this_thread::sleep_for(100ms + 60ms * static_cast<int>(c.packets.size()));
        caseServer.Expect("PWD").Line("257 \"/home\" is current directory");
        caseServer.Expect("QUIT");
        ASSERT_TRUE(h->Enqueue(FtpRequestKind::ChangeDir, "PWD", 0));
        ASSERT_TRUE(caseViews.WaitFor("LogTraffic", ">257 \"/home\" is current directory"));
        Lines expected;
        for (const std::string& line : c.discarded) {
            // Each reply is preceded by its own notice.
            expected.push_back(line == "+" ? "... (discarding extraneous response)" : line);
        }
        expected.push_back("<PWD");
        expected.push_back(">257 \"/home\" is current directory");
        EXPECT_EQ(LogFromDiscard(caseViews), expected);
        ASSERT_TRUE(h->Enqueue(FtpRequestKind::Logoff));
        ASSERT_TRUE(h->WaitEnded(5s));
        ASSERT_TRUE(caseServer.WaitForCommand("QUIT"));
        EXPECT_EQ(caseServer.Commands(), (Lines{"USER anonymous", "FEAT", "PWD", "QUIT"}));
        EXPECT_EQ(caseServer.Problems(), Lines{});
    }
}

TEST_F(Session, JunkWithoutALineEndWhileIdleEndsTheSessionAtOnce) {
    Start();
    ASSERT_TRUE(WaitServed(1));
    OpenGate();
    server.SetActionTimeout(1000ms);  // the client stops reading the junk; the server's send gives up
    server.Now().Reply(std::string(1 << 20, 'x'));
    std::this_thread::sleep_for(200ms);
    ASSERT_TRUE(handle->Enqueue(FtpRequestKind::ChangeDir, "cmd:NOOP", 0));
    ExpectEnded();
    EXPECT_EQ(LogFromDiscard(views), (Lines{"... (discarding extraneous response)",
                                            "... [CONTROL] Receive failed, WinSock err = WSAEMSGSIZE"}));
    EXPECT_EQ(Served().size(), 1u);  // the NOOP request was never served
    EXPECT_EQ(server.Commands(), (Lines{"USER anonymous", "FEAT"}));
}

TEST_F(Session, AbortEndsAnEndlessReplyAndTheSessionWithinTheControlTimeOut) {
    server.SetSegmentPause(5ms);
    std::vector<std::string> pieces(4000, std::string());
    for (auto& piece : pieces) {
        for (int i = 0; i < 20; ++i) {
            piece += "250-still going\r\n";
        }
    }
    TestSessionOptions options;
    options.controlTimeoutMs = 500;
    Start(options);
    server.Expect("CWD endless").Line("250-here it comes").Segments(pieces).Line("250 never reached");
    ASSERT_TRUE(WaitServed(1));
    OpenGate();
    ASSERT_TRUE(handle->Enqueue(FtpRequestKind::ChangeDir, "cmd:CWD endless", 0));
    ASSERT_TRUE(views.WaitFor("LogTraffic", ">250-still going"));
    ASSERT_TRUE(handle->Enqueue(FtpRequestKind::Logoff));
    const auto aborted = Clock::now();
    handle->Abort();
    EXPECT_EQ(views.Messages().back(), "Queue flushed");  // the Logoff
    ExpectEnded(false);
    EXPECT_LT(Clock::now() - aborted, 4s);  // bounded by the 500 ms time-out, with room for slow runs
    EXPECT_EQ(views.Traffic().back(), "... [CONTROL] Receive failed, WinSock err = WSAEINTR");
    EXPECT_EQ(server.Commands(),
              (Lines{"USER anonymous", "FEAT", "CWD endless"}));  // no QUIT on an unknown state
}

TEST_F(Session, AbortReturnsAtOnceWhenTheServerStopsReadingTheControlConnection) {
    TestSessionOptions options;
    options.controlTimeoutMs = 3000;
    std::atomic<bool> full{false};
    std::atomic<bool> abortDone{false};
    custom = [&](FtpContext& session) {
        // The server has stopped reading: fill the connection until it takes no more.
        const std::string junk(4096, 'j');
        // Refusals are counted, not reset by a success: a stalled receiver's window probes let a few bytes
        // through now and then, which could keep a "refused in a row" count from ever being reached.
        int refusals = 0;
        while (refusals < 20) {
            const long sent =
                ::send(session.Control().Handle(), junk.data(), junk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (sent <= 0) {
                ++refusals;
                std::this_thread::sleep_for(5ms);
            }
        }
        session.Abort().SetTransferring(true);
        full = true;
        for (int i = 0; i < 10000 && !abortDone; ++i) {
            std::this_thread::sleep_for(1ms);
        }
        session.Abort().SetTransferring(false);
        return session.ReadReply();  // sends the ABOR Abort left behind, then fails with the time-out
    };
    Start(options);
    ASSERT_TRUE(WaitServed(1));
    OpenGate();
    server.Now().StopReading();
    // Only then may the filling start: junk the server still read would be answered as a command.
    ASSERT_TRUE(server.WaitForScriptDone());
    ASSERT_TRUE(handle->Enqueue(FtpRequestKind::ChangeDir, "custom", 0));
    for (int i = 0; i < 2000 && !full; ++i) {
        std::this_thread::sleep_for(5ms);
    }
    if (!full) {
        abortDone = true;
        FAIL() << "the control connection never filled";
    }
    const auto start = Clock::now();
    handle->Abort();
    const auto spent = Clock::now() - start;
    abortDone = true;
    EXPECT_LT(spent, 1s);  // the real figure is well under a millisecond; the bound is for slow runs
    EXPECT_EQ(views.Messages().back(), "Transfer terminated");
    EXPECT_EQ(views.Traffic().back(), "<ABOR");
    ExpectEnded(false);
    const Lines traffic = views.Traffic();
    EXPECT_EQ(traffic.back().rfind("... [CONTROL] Receive failed, WinSock err = ", 0), 0u) << traffic.back();
}

namespace {

std::unique_ptr<FtpRequestObject> Rows(std::vector<std::uint64_t> rows) {
    auto items = std::make_unique<TransferItems>();
    for (const std::uint64_t row : rows) {
        TransferItem item;
        item.row = row;
        item.remoteName = "f" + std::to_string(row);
        items->items.push_back(item);
    }
    return items;
}

TEST_F(Session, QueueRowsThatNeverRunAreReportedStopped) {
    Start();
    ASSERT_TRUE(WaitServed(1));
    std::unique_ptr<FtpRequestObject> flushed = Rows({1, 2});
    ASSERT_TRUE(handle->Enqueue(FtpRequestKind::Get, "/tmp", flushed, kImageType));
    handle->Abort();
    ASSERT_TRUE(handle->Enqueue(FtpRequestKind::Logoff));
    std::unique_ptr<FtpRequestObject> late = Rows({3});
    ASSERT_TRUE(handle->Enqueue(FtpRequestKind::Put, "", late, kImageType));
    OpenGate();
    ExpectEnded();
    EXPECT_EQ(views.TransferEvents(), (Lines{"stopped 1 Stopped by the user", "stopped 2 Stopped by the user",
                                             "stopped 3 The session ended before its turn"}));
}

}  // namespace
