// Abort and Logoff through the real worker: the urgent ABOR and its replies, the flushed queue and the
// objects it releases, the reports, and Abort racing the worker.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/FtpRequest.h"
#include "engine/FtpSession.h"
#include "engine/FtpTransfers.h"
#include "listing/RemoteEntry.h"
#include "support/EngineFixture.h"
#include "support/FakeFtpServer.h"
#include "support/FtpSessionTesting.h"
#include "support/RecordingViews.h"
#include "support/TempDir.h"

namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

// Serves Get requests the way a download does, without a data connection: RETR, the preliminary reply,
// then a running transfer (the session's transferring flag) until the test lets it end or, when
// stopOnAbort is set, an abort ends it; then the final reply. Other requests succeed at once.
class SimulatedDownloads {
  public:
    explicit SimulatedDownloads(bool stopOnAbort) : stopOnAbort_(stopOnAbort) {}

    TestSessionOptions Options() {
        TestSessionOptions options;
        options.controlTimeoutMs = 3000;
        options.handlerOverride = [this](FtpContext& session, FtpRequest& request) {
            return Serve(session, request);
        };
        return options;
    }

    int Serve(FtpContext& session, FtpRequest& request) {
        if (request.kind != FtpRequestKind::Get) {
            std::lock_guard lock(mutex_);
            ++others_;
            changed_.notify_all();
            return 250;
        }
        const int preliminary = session.Command("RETR " + request.text);
        if (preliminary >= 200) {
            return preliminary;
        }
        session.Abort().SetTransferring(true);
        {
            std::unique_lock lock(mutex_);
            ++transfers_;
            changed_.notify_all();
            // Polled like a data loop polls between blocks; bounded so a broken abort fails, not hangs.
            const auto deadline = Clock::now() + 5s;
            while (!finish_ && !(stopOnAbort_ && session.AbortRequested()) && Clock::now() < deadline) {
                changed_.wait_for(lock, 1ms);
            }
            if (finishOnce_) {
                finish_ = false;
            }
        }
        const int final = session.ReadFinalReply();
        session.Abort().SetTransferring(false);
        std::lock_guard lock(mutex_);
        finals_.push_back(final);
        return final;
    }

    // True once n transfers have started.
    bool WaitTransfers(int n) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 5s, [&] { return transfers_ >= n; });
    }
    // True once the session's own first request (the URL's directory) has been served.
    bool WaitFirstRequest() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 5s, [&] { return others_ >= 1; });
    }
    // Lets the running transfer end (and, when `once`, only that one).
    void Finish(bool once = true) {
        std::lock_guard lock(mutex_);
        finish_ = true;
        finishOnce_ = once;
        changed_.notify_all();
    }
    int Transfers() {
        std::lock_guard lock(mutex_);
        return transfers_;
    }
    // The final reply code of each transfer, in order.
    std::vector<int> Finals() {
        std::lock_guard lock(mutex_);
        return finals_;
    }

  private:
    bool stopOnAbort_;
    std::mutex mutex_;
    std::condition_variable changed_;
    int transfers_ = 0;
    int others_ = 0;
    std::vector<int> finals_;
    bool finish_ = false;
    bool finishOnce_ = true;
};

std::unique_ptr<FtpRequestObject> NewCounted(std::atomic<int>& destroyed,
                                             std::vector<std::int32_t> indexes = {}) {
    return std::make_unique<Counted<>>(destroyed, std::move(indexes));
}

// The four bytes before "ABOR" CR LF: Telnet IP as normal data, then Telnet DM whose last byte is urgent.
void ExpectOneUrgentAbor(const FakeFtpServer& server) {
    const std::string bytes = server.ControlBytes();
    const std::string abor =
        "\xff\xf4\xff\xf2"
        "ABOR\r\n";
    const auto at = bytes.find(abor);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(bytes.find("ABOR", at + abor.size()), std::string::npos) << "ABOR sent twice";
    EXPECT_EQ(server.UrgentOffsets(), std::vector<std::size_t>{at + 3});
}

TEST(FtpAbort, DuringADownloadSendsUrgentAborFlushesTheQueueAndSaysBoth) {
    FakeFtpServer server;
    RecordingViews views;
    SimulatedDownloads downloads(true);
    server.Expect("USER anonymous").Line("230 in");
    server.Expect("RETR big").Line("150 Opening BINARY mode data connection");
    // The answer waits a little: what Abort reports on the user-interface thread is checked as it returns,
    // before the worker may log the server's answer.
    server.Expect("ABOR").Delay(100ms).Reply("426 Transfer aborted\r\n226 ABOR successful\r\n");
    server.Expect("QUIT").Line("221 bye");
    auto handle = FtpSessionTesting::Start(ServerUrl(server), views.Views(), downloads.Options());
    ASSERT_TRUE(downloads.WaitFirstRequest());
    std::atomic<int> destroyed{0};
    auto running = NewCounted(destroyed);
    ASSERT_TRUE(handle->Enqueue(FtpRequestKind::Get, "big", running, 1));
    ASSERT_TRUE(downloads.WaitTransfers(1));
    for (const char* name : {"next1", "next2"}) {
        auto object = NewCounted(destroyed);
        ASSERT_TRUE(handle->Enqueue(FtpRequestKind::Get, name, object, 1));
    }
    const auto before = views.Calls().size();

    handle->Abort();
    EXPECT_EQ(destroyed, 2);  // both waiting selections; the one being served stays with its handler
    const auto calls = views.Calls();
    EXPECT_EQ(std::vector<RecordedCall>(calls.begin() + static_cast<long>(before), calls.end()),
              (std::vector<RecordedCall>{{"LogTraffic", "<ABOR"},
                                         {"SetStatus", "Transfer terminated, queue flushed"},
                                         {"LogMessage", "Transfer terminated, queue flushed"}}));
    // The title shows it until the worker clears its status; the Remote page keeps it.
    EXPECT_EQ(views.Failures(), Lines{"Remote: Transfer terminated, queue flushed"});

    ASSERT_TRUE(views.WaitFor("LogTraffic", ">226 ABOR successful"));
    ASSERT_TRUE(handle->Enqueue(FtpRequestKind::Logoff));
    ASSERT_TRUE(handle->WaitEnded(5s));
    ASSERT_TRUE(server.WaitForClose());
    EXPECT_EQ(destroyed, 3);
    EXPECT_EQ(downloads.Transfers(), 1);  // the flushed requests were never served
    EXPECT_EQ(server.Commands(), (Lines{"USER anonymous", "FEAT", "RETR big", "ABOR", "QUIT"}));
    ExpectOneUrgentAbor(server);
    // The aborted transfer's 426 is logged and passed over; 226 is the transfer's answer.
    const Lines traffic = views.Traffic();
    const auto abor = std::find(traffic.begin(), traffic.end(), "<ABOR");
    ASSERT_NE(abor, traffic.end());
    EXPECT_EQ(Lines(abor, traffic.end()),
              (Lines{"<ABOR", ">426 Transfer aborted", ">226 ABOR successful", "<QUIT"}));
    EXPECT_TRUE(server.Problems().empty());
}

TEST(FtpAbort, StopsARealDownloadAfterTheBlockInHandAndKeepsThePartWithItsTime) {
    constexpr std::int32_t kListedTime = 1600000000;
    const std::string part = TempDir::PatternBytes(40000, 9);
    FakeFtpServer server;
    RecordingViews views;
    TempDir local("wisp-abort");
    server.Expect("USER anonymous").Line("230 in");
    server.Expect("TYPE I").Line("200 Type set to I");
    server.Expect("PASV").Pasv();
    server.Expect("RETR big").Line("150 Opening BINARY mode data connection").DataSend(part);  // stays open
    server.Expect("ABOR").DataClose().Reply("426 Connection closed; transfer aborted.\r\n226 ABOR ok\r\n");
    server.Expect("QUIT").Line("221 bye");
    views.SetEntries({RemoteEntry("big", 100000, kListedTime)});
    std::atomic<bool> firstServed{false};
    TestSessionOptions options;
    options.controlTimeoutMs = 5000;
    options.handlerOverride = [&](FtpContext& session, FtpRequest& request) {
        if (request.kind == FtpRequestKind::Get) {
            return FtpTransfers::GetFiles(session, request);
        }
        firstServed = true;
        return 250;
    };
    auto handle = FtpSessionTesting::Start(ServerUrl(server), views.Views(), options);
    for (int i = 0; i < 500 && !firstServed; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(firstServed);
    std::atomic<int> destroyed{0};
    for (const char* folder : {local.Path().c_str(), "/never/1", "/never/2"}) {
        auto selection = NewCounted(destroyed, {0});
        ASSERT_TRUE(handle->Enqueue(FtpRequestKind::Get, folder, selection, kImageType));
    }
    ASSERT_TRUE(views.WaitFor("SetProgress", "40"));  // all of the part is in

    handle->Abort();
    EXPECT_EQ(destroyed, 2);
    // Said before Abort returns; the woken worker may log its statistics line just before or after it.
    EXPECT_TRUE(views.WaitFor("LogMessage", "Transfer terminated, queue flushed", 0ms));
    ASSERT_TRUE(views.WaitFor("LogTraffic", ">226 ABOR ok"));
    ASSERT_TRUE(handle->Enqueue(FtpRequestKind::Logoff));
    ASSERT_TRUE(handle->WaitEnded(5s));
    ASSERT_TRUE(server.WaitForClose());
    EXPECT_EQ(destroyed, 3);
    EXPECT_EQ(server.Commands(), (Lines{"USER anonymous", "FEAT", "TYPE I", "PASV", "RETR big", "ABOR", "QUIT"}));
    ExpectOneUrgentAbor(server);
    EXPECT_TRUE(local.ReadFile("big") == std::optional<std::string>(part));
    struct stat info {};
    ASSERT_EQ(::stat((local / "big").c_str(), &info), 0);
    EXPECT_EQ(info.st_mtim.tv_sec, kListedTime);
    const Lines messages = views.Messages();
    EXPECT_EQ(
        std::count_if(messages.begin(), messages.end(),
                      [](const std::string& m) { return m.rfind("... received 40000 bytes in ", 0) == 0; }),
        1);
    EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                            [](const std::string& m) { return m.rfind("GETing ", 0) == 0; }),
              1);  // the flushed requests never started
    EXPECT_TRUE(server.Problems().empty());
}

TEST(FtpAbort, TheTransfersAnswerIsTheReplyAfterTheAbortedOnesWhateverTheServerSays) {
    struct Case {
        const char* what;
        std::string answer;  // the server's replies once ABOR arrives; empty: 226, and 225 a moment later
        int final;
        Lines traffic;  // from "<ABOR" to the next request's command
    };
    const std::vector<Case> cases = {
        {"426 then 226",
         "426 Connection closed; transfer aborted.\r\n226 Closing data connection.\r\n",
         226,
         {"<ABOR", ">426 Connection closed; transfer aborted.", ">226 Closing data connection.",
          "<RETR next"}},
        {"426 then 225 ends at the 225",
         "426 Transfer aborted; 28049408 bytes transmitted.\r\n225 ABOR command successful; data channel "
         "closed.\r\n",
         225,
         {"<ABOR", ">426 Transfer aborted; 28049408 bytes transmitted.",
          ">225 ABOR command successful; data channel closed.", "<RETR next"}},
        {"225 first, then the transfer's 226",
         "225 No transfer to ABOR.\r\n226 Transfer complete.\r\n",
         226,
         {"<ABOR", ">225 No transfer to ABOR.", ">226 Transfer complete.", "<RETR next"}},
        // Both replies the server owes are taken before the next request, so neither can answer it.
        {"the transfer's 226, then a late 225 to the ABOR",
         "",
         226,
         {"<ABOR", ">226 Transfer complete.", ">225 No transfer to ABOR.", "<RETR next"}},
        {"the ABOR's 226 before the transfer's 426",
         "226 ABOR successful.\r\n426 Transfer aborted.\r\n",
         226,
         {"<ABOR", ">226 ABOR successful.", ">426 Transfer aborted.", "<RETR next"}},
        {"a statistics line before the final replies",
         "150 1048576 bytes sent so far\r\n426 Transfer aborted.\r\n226 ABOR successful.\r\n",
         226,
         {"<ABOR", ">150 1048576 bytes sent so far", ">426 Transfer aborted.", ">226 ABOR successful.",
          "<RETR next"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeFtpServer server;
        RecordingViews views;
        SimulatedDownloads downloads(true);
        server.Expect("USER anonymous").Line("230 in");
        server.Expect("RETR big").Line("150 go");
        if (c.answer.empty()) {
            server.Expect("ABOR").Line("226 Transfer complete.").Delay(20ms).Line("225 No transfer to ABOR.");
        } else {
            server.Expect("ABOR").Reply(c.answer);
        }
        server.Expect("RETR next").Line("550 no such file");
        server.Expect("QUIT").Line("221 bye");
        auto handle = FtpSessionTesting::Start(ServerUrl(server), views.Views(), downloads.Options());
        ASSERT_TRUE(downloads.WaitFirstRequest());
        ASSERT_TRUE(handle->Enqueue(FtpRequestKind::Get, "big", 1));
        ASSERT_TRUE(downloads.WaitTransfers(1));
        handle->Abort();
        ASSERT_TRUE(server.WaitForCommand("ABOR"));
        std::this_thread::sleep_for(150ms);  // the late answer arrives while the worker is idle
        ASSERT_TRUE(handle->Enqueue(FtpRequestKind::Get, "next", 1));
        ASSERT_TRUE(handle->Enqueue(FtpRequestKind::Logoff));
        ASSERT_TRUE(handle->WaitEnded(5s));
        ASSERT_TRUE(server.WaitForClose());
        EXPECT_EQ(downloads.Finals(), std::vector<int>{c.final});
        const Lines log = views.LogLines();
        const auto abor = std::find(log.begin(), log.end(), "<ABOR");
        const auto next = std::find(log.begin(), log.end(), "<RETR next");
        ASSERT_LT(abor, next);
        Lines between;
        for (auto line = abor; line <= next; ++line) {
            if (*line != "Transfer terminated") {
                between.push_back(*line);
            }
        }
        EXPECT_EQ(between, c.traffic);
        EXPECT_EQ(server.Commands(), (Lines{"USER anonymous", "FEAT", "RETR big", "ABOR", "RETR next", "QUIT"}));
        EXPECT_TRUE(server.Problems().empty());
    }
}

TEST(FtpAbort, SecondAbortDuringTheSameTransferSendsNothingButReportsAgain) {
    FakeFtpServer server;
    RecordingViews views;
    SimulatedDownloads downloads(false);  // the transfer outlives both aborts
    server.Expect("USER anonymous").Line("230 in");
    server.Expect("RETR big").Line("150 go");
    server.Expect("ABOR").Reply("426 aborted\r\n226 ok\r\n");
    server.Expect("QUIT").Line("221 bye");
    auto handle = FtpSessionTesting::Start(ServerUrl(server), views.Views(), downloads.Options());
    ASSERT_TRUE(downloads.WaitFirstRequest());
    ASSERT_TRUE(handle->Enqueue(FtpRequestKind::Get, "big", 1));
    ASSERT_TRUE(downloads.WaitTransfers(1));

    handle->Abort();
    ASSERT_TRUE(server.WaitForCommand("ABOR"));
    handle->Abort();
    EXPECT_EQ(views.Messages(),
              (Lines{"Connecting to 127.0.0.1", "... connected, logging in", "... user anonymous logged in",
                     "Connected to 127.0.0.1 [127.0.0.1:" + std::to_string(server.Port()) + "]",
                     "Transfer terminated", "Transfer terminated"}));
    EXPECT_EQ(views.Texts("SetStatus"),
              (Lines{"Connecting to 127.0.0.1",
                     "Connected to 127.0.0.1 [127.0.0.1:" + std::to_string(server.Port()) + "]",
                     "Transfer terminated", "Transfer terminated"}));

    downloads.Finish();
    ASSERT_TRUE(views.WaitFor("LogTraffic", ">226 ok"));
    ASSERT_TRUE(handle->Enqueue(FtpRequestKind::Logoff));
    ASSERT_TRUE(handle->WaitEnded(5s));
    ASSERT_TRUE(server.WaitForClose());
    EXPECT_EQ(server.Commands(), (Lines{"USER anonymous", "FEAT", "RETR big", "ABOR", "QUIT"}));
    ExpectOneUrgentAbor(server);
    EXPECT_TRUE(server.Problems().empty());
}

TEST(FtpAbort, WhileIdleWithNothingQueuedDoesNothingAndIsForgottenByTheNextRequest) {
    FakeFtpServer server;
    RecordingViews views;
    SimulatedDownloads downloads(true);
    server.Expect("USER anonymous").Line("230 in");
    server.Expect("RETR later").Line("150 go").Line("226 done");
    server.Expect("QUIT").Line("221 bye");
    auto handle = FtpSessionTesting::Start(ServerUrl(server), views.Views(), downloads.Options());
    ASSERT_TRUE(downloads.WaitFirstRequest());
    std::this_thread::sleep_for(50ms);  // the first request (the URL's directory) is served meanwhile
    const auto calls = views.Calls().size();
    const auto bytes = server.ControlBytes().size();

    handle->Abort();
    EXPECT_EQ(views.Calls().size(), calls);

    // A request queued after the abort runs its course: nothing stops it but the test.
    ASSERT_TRUE(handle->Enqueue(FtpRequestKind::Get, "later", 0));
    ASSERT_TRUE(downloads.WaitTransfers(1));
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(views.Messages().back().rfind("Connected to", 0) == 0);
    downloads.Finish();
    ASSERT_TRUE(views.WaitFor("LogTraffic", ">226 done"));
    ASSERT_TRUE(handle->Enqueue(FtpRequestKind::Logoff));
    ASSERT_TRUE(handle->WaitEnded(5s));
    ASSERT_TRUE(server.WaitForClose());
    EXPECT_EQ(server.ControlBytes().substr(bytes), "RETR later\r\nQUIT\r\n");
    EXPECT_TRUE(server.UrgentOffsets().empty());
}

TEST(FtpAbort, FlushWhileTheWorkerReadsAStrayReplyNeitherBlocksNorLosesTheNextRequest) {
    // The worker has taken the request's count and is still reading an extraneous reply when the
    // request is flushed: Abort must not wait for that count, and the worker must find nothing to do.
    FakeFtpServer server;
    RecordingViews views;
    SimulatedDownloads downloads(true);
    server.Expect("USER anonymous").Line("230 in");
    server.Expect("RETR after").Line("150 go").Line("226 done");
    server.Expect("QUIT").Line("221 bye");
    auto handle = FtpSessionTesting::Start(ServerUrl(server), views.Views(), downloads.Options());
    ASSERT_TRUE(downloads.WaitFirstRequest());
    std::this_thread::sleep_for(50ms);
    server.Now().Reply("220-notice, first line\r\n");
    std::this_thread::sleep_for(100ms);
    std::atomic<int> destroyed{0};
    auto object = NewCounted(destroyed);
    ASSERT_TRUE(handle->Enqueue(FtpRequestKind::Get, "flushed", object, 0));
    ASSERT_TRUE(views.WaitFor("LogTraffic", ">220-notice, first line"));

    const auto start = Clock::now();
    handle->Abort();
    EXPECT_LT(Clock::now() - start, 1s);
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(views.Messages().back(), "Queue flushed");

    server.Now().Line("220 end of notice");
    ASSERT_TRUE(views.WaitFor("LogTraffic", ">220 end of notice"));
    ASSERT_TRUE(handle->Enqueue(FtpRequestKind::Get, "after", 0));
    ASSERT_TRUE(downloads.WaitTransfers(1));
    downloads.Finish();
    ASSERT_TRUE(views.WaitFor("LogTraffic", ">226 done"));
    ASSERT_TRUE(handle->Enqueue(FtpRequestKind::Logoff));
    ASSERT_TRUE(handle->WaitEnded(5s));
    ASSERT_TRUE(server.WaitForClose());
    EXPECT_EQ(server.Commands(), (Lines{"USER anonymous", "FEAT", "RETR after", "QUIT"}));
}

TEST(FtpAbort, LogoffSendsQuitUnreadAndReleasesWhatIsQueuedAfterIt) {
    FakeFtpServer server;
    RecordingViews views;
    views.SetCachedDirectories({"/"});
    views.SetEntries({RemoteEntry("a.txt", 1, 0)});
    server.Expect("USER anonymous").Line("230 in");
    server.Expect("PWD").Line("257 \"/\"");
    server.Expect("DELE a.txt").Line("250 gone");
    server.Expect("QUIT").Line("221 Goodbye");
    // Holds the worker inside its first request until everything is queued.
    std::mutex mutex;
    std::condition_variable changed;
    bool queued = false;
    views.SetHook([&](const RecordedCall& call) {
        if (call.op == "EnterDirectory") {
            std::unique_lock lock(mutex);
            changed.wait_for(lock, 5s, [&] { return queued; });
        }
    });
    auto handle = FtpSessionTesting::Start(ServerUrl(server), views.Views());
    ASSERT_TRUE(views.WaitFor("EnterDirectory"));
    std::atomic<int> destroyed{0};
    auto selection = NewCounted(destroyed, {0});
    ASSERT_TRUE(handle->Enqueue(FtpRequestKind::Delete, "", selection, 0));
    ASSERT_TRUE(handle->Enqueue(FtpRequestKind::Logoff));
    for (FtpRequestKind kind : {FtpRequestKind::Delete, FtpRequestKind::Get}) {
        auto object = NewCounted(destroyed, {0});
        ASSERT_TRUE(handle->Enqueue(kind, "/tmp", object, 0));
    }
    ASSERT_TRUE(handle->Enqueue(FtpRequestKind::UpOneLevel));
    {
        std::lock_guard lock(mutex);
        queued = true;
    }
    changed.notify_all();

    ASSERT_TRUE(handle->WaitEnded(5s));
    ASSERT_TRUE(server.WaitForClose());
    EXPECT_EQ(destroyed, 3);
    EXPECT_EQ(server.Commands(), (Lines{"USER anonymous", "FEAT", "PWD", "DELE a.txt", "QUIT"}));
    const Lines traffic = views.Traffic();
    EXPECT_EQ(traffic.back(), "<QUIT");
    EXPECT_EQ(std::count(traffic.begin(), traffic.end(), ">221 Goodbye"), 0);
    const auto calls = views.Calls();
    EXPECT_EQ(calls[calls.size() - 2].op, "HostResetAfterSession");
    EXPECT_EQ(calls.back().op, "RemoteResetAfterSession");
    EXPECT_EQ(views.Count("EntryAt"), 1);  // the requests after Logoff were not served
    EXPECT_TRUE(server.Problems().empty());
}

TEST(FtpAbort, HammeredWhileRequestsComeAndGoEveryObjectIsReleasedOnce) {
    // One thread queues downloads with counted selections while the test thread aborts again and again,
    // meeting the worker as it takes, serves and finishes requests, with and without a transfer running.
    constexpr int kRequests = 2000;
    FakeFtpServer server;
    RecordingViews views;
    SimulatedDownloads downloads(true);
    server.Expect("USER anonymous").Line("230 in");
    server.OnVerb("RETR").Line("150 go").Line("226 done");
    server.OnVerb("ABOR").Line("225 No transfer to ABOR");
    server.OnVerb("QUIT").Line("221 bye");
    auto handle = FtpSessionTesting::Start(ServerUrl(server), views.Views(), downloads.Options());
    ASSERT_TRUE(views.WaitFor("ResetForSession"));

    std::atomic<int> created{0};
    std::atomic<int> destroyed{0};
    std::atomic<bool> done{false};
    std::thread producer([&] {
        for (int i = 0; i < kRequests && !handle->HasEnded(); ++i) {
            auto object = NewCounted(destroyed);
            ++created;
            while (!handle->Enqueue(FtpRequestKind::Get, "f" + std::to_string(i), object, 0) &&
                   !handle->HasEnded()) {
                std::this_thread::yield();
            }
            if (i % 7 == 0) {
                std::this_thread::sleep_for(200us);  // lets the queue run dry now and then
            }
        }
        done = true;
    });
    int aborts = 0;
    while (!done) {
        handle->Abort();
        ++aborts;
        std::this_thread::sleep_for(std::chrono::microseconds(aborts % 50));
    }
    producer.join();
    ASSERT_FALSE(handle->HasEnded()) << "the session ended early";

    // No count was lost: a request queued now is served.
    downloads.Finish(false);
    ASSERT_TRUE(handle->Enqueue(FtpRequestKind::Get, "last", 0));
    ASSERT_TRUE(server.WaitForCommand("RETR last"));
    ASSERT_TRUE(handle->Enqueue(FtpRequestKind::Logoff));
    ASSERT_TRUE(handle->WaitEnded(10s));
    ASSERT_TRUE(server.WaitForClose());
    EXPECT_EQ(destroyed.load(), created.load());
    EXPECT_GT(aborts, 0);
    for (const auto& line : views.Traffic()) {
        EXPECT_EQ(line.find("Receive failed"), std::string::npos) << line;
    }
    EXPECT_EQ(server.Commands().back(), "QUIT");
}

}  // namespace
