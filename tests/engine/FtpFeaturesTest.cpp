// What the session does with a server's features: FEAT after the login, OPTS UTF8, machine listings with
// their fallback, exact file times both ways, and the keep-alive; polite servers and misbehaving ones.
#include "engine/FtpFeatures.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "listing/ListingParser.h"
#include "listing/TimeValue.h"
#include "support/FtpSessionTesting.h"
#include "support/RecordingViews.h"
#include "support/SessionRows.h"

namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

// 2020-01-02 03:04:05 UTC.
constexpr std::int64_t kServerTime = 1577934245;
constexpr std::int32_t kListedTime = 1500000000;

std::string Feat(const std::vector<std::string>& features) {
    std::string reply = "211-Features:";
    for (const auto& feature : features) {
        reply += "\r\n " + feature;
    }
    return reply + "\r\n211 End";
}

std::int64_t ModifiedTime(const RowRun& run, const std::string& name) {
    struct stat info {};
    return ::stat((run.folder.Path() / name).c_str(), &info) == 0 ? info.st_mtim.tv_sec : -1;
}

TEST(TimeValue, ReadsAndWritesTheUtcForm) {
    struct Case {
        const char* text;
        std::optional<std::int64_t> seconds;
    };
    const std::vector<Case> cases = {
        {"20200102030405", kServerTime},
        {"20200102030405.123", kServerTime},
        {"19700101000000", 0},
        {"20240229235960", 1709251199},  // leap day, leap second read as :59
        {"20230229000000", std::nullopt},
        {"20201302030405", std::nullopt},
        {"20200102240000", std::nullopt},
        {"19691231235959", std::nullopt},
        {"2020010203040", std::nullopt},
        {"20200102030405.", std::nullopt},
        {"20200102030405 x", std::nullopt},
        {"2020-1-02030405", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TimeValue::Parse(c.text), c.seconds) << c.text;
        if (c.seconds && std::string(c.text).size() == 14 && std::string(c.text).substr(12) != "60") {
            EXPECT_EQ(TimeValue::Format(*c.seconds), c.text);
        }
    }
    EXPECT_EQ(TimeValue::Format(-1), "");
}

TEST(FtpFeatures, LoginAsksOnceAndUsesWhatTheServerOffers) {
    std::vector<std::string> many;
    for (int i = 0; i < 300; ++i) {
        many.push_back("X" + std::to_string(i));
    }
    many.push_back("UTF8");
    const std::string longLine(3000, 'L');
    struct Case {
        const char* what;
        std::vector<Step> script;
        int result;
        Lines commands;
        std::vector<std::string> logged;
    };
    const std::vector<Case> cases = {
        {"features kept, UTF8 switched on",
         {{"USER anonymous", "230 in"},
          {"FEAT", Feat({"MDTM", "mlst type*;size*;modify*;", "UTF8", "SIZE"})},
          {"OPTS UTF8 ON", "200 ok"}},
         1,
         {"USER anonymous", "FEAT", "OPTS UTF8 ON"},
         {"... server features: MDTM MLST UTF8 SIZE"}},
        {"UNIX.mode offered but not sent: asked for beside the facts sent",
         {{"USER anonymous", "230 in"},
          {"FEAT", Feat({"MLST type*;perm*;Size*;modify*;unique;unix.mode;unix.uid;"})},
          {"OPTS MLST type;perm;Size;modify;UNIX.mode;", "200 ok"}},
         1,
         {"USER anonymous", "FEAT", "OPTS MLST type;perm;Size;modify;UNIX.mode;"},
         {}},
        {"UNIX.mode sent already, or not offered: no OPTS MLST",
         {{"USER anonymous", "230 in"}, {"FEAT", Feat({"MLST type*;UNIX.mode*;", "MDTM"})}},
         1,
         {"USER anonymous", "FEAT"},
         {}},
        {"OPTS MLST refused: still logged in",
         {{"USER anonymous", "230 in"},
          {"FEAT", Feat({"MLST type*;unix.mode"})},
          {"OPTS MLST type;UNIX.mode;", "501 no"}},
         1,
         {"USER anonymous", "FEAT", "OPTS MLST type;UNIX.mode;"},
         {}},
        {"OPTS UTF8 refused: still logged in",
         {{"USER anonymous", "230 in"}, {"FEAT", Feat({"UTF8"})}, {"OPTS UTF8 ON", "501 no"}},
         1,
         {"USER anonymous", "FEAT", "OPTS UTF8 ON"},
         {}},
        {"FEAT refused",
         {{"USER anonymous", "230 in"}, {"FEAT", "502 no"}},
         1,
         {"USER anonymous", "FEAT"},
         {}},
        {"FEAT unanswered within the time-out",
         {{"USER anonymous", "230 in"}, {"FEAT", ""}},
         1,
         {"USER anonymous", "FEAT"},
         {"... no answer to FEAT: going on without the server's features"}},
        {"too many features: none kept, no OPTS",
         {{"USER anonymous", "230 in"}, {"FEAT", Feat(many)}},
         1,
         {"USER anonymous", "FEAT"},
         {"... FEAT reply refused: the reply lists more than 200 features"}},
        {"an over-long line is passed over",
         {{"USER anonymous", "230 in"}, {"FEAT", Feat({longLine, "UTF8"})}, {"OPTS UTF8 ON", "200 ok"}},
         1,
         {"USER anonymous", "FEAT", "OPTS UTF8 ON"},
         {"... server features: UTF8"}},
        {"connection closed at FEAT: no session",
         {{"USER anonymous", "230 in"}, {"FEAT", "", Step::Close()}},
         0,
         {"USER anonymous", "FEAT"},
         {}},
    };
    for (const Case& c : cases) {
        SessionRow row{.what = c.what, .script = c.script, .results = {c.result}, .commands = c.commands};
        row.script.insert(row.script.begin(), Step{"", "220 hello"});
        row.logged = c.logged;
        RunRow(row);
    }
}

TEST(FtpFeatures, MachineListingWithItsFallback) {
    const std::string mlst = Feat({"MLST type*;size*;modify*;"});
    const std::string longFacts = "type=file;x=" + std::string(10000, 'f') + "; huge";
    struct Case {
        const char* what;
        std::vector<Step> script;
        std::vector<::Run> requests;
        std::vector<int> results;
        Lines lines;
        std::vector<std::string> logged;
    };
    const std::vector<Case> cases = {
        {"MLSD lines go to the page; a line without facts does not",
         {Step::Pasv(),
          {"MLSD", "150 go",
           Step::Send("type=file;size=5;modify=20200102030405; a b.txt\r\ntype=dir; d\r\nno facts here\r\n",
                      "226 done")}},
         {Run::List("/pub")},
         {226},
         {"type=file;size=5;modify=20200102030405; a b.txt", "type=dir; d"},
         {"... MLSD line refused (no facts): no facts here"}},
        {"an endless fact is refused alone",
         {Step::Pasv(), {"MLSD", "150 go", Step::Send(longFacts + "\r\ntype=dir; d\r\n", "226 done")}},
         {Run::List("/pub")},
         {226},
         {"type=dir; d"},
         {}},
        {"MLSD refused: LIST now and for the rest of the session",
         {Step::Pasv(),
          {"MLSD", "500 unknown"},
          Step::Pasv(),
          {"LIST", "150 go", Step::Send("-rw-r--r-- 1 ftp ftp 5 Jan 02 2020 a.txt\r\n", "226 done")},
          Step::Pasv(),
          {"LIST", "150 go", Step::Send("", "226 done")}},
         {Run::List("/pub"), Run::List("/pub")},
         {226, 226},
         {"-rw-r--r-- 1 ftp ftp 5 Jan 02 2020 a.txt"},
         {"... MLSD failed: listing with LIST from now on"}},
    };
    for (const Case& c : cases) {
        SessionRow row{.what = c.what, .feat = mlst, .run = c.requests, .results = c.results};
        row.script = c.script;
        row.texts = {{"AddListingLine", c.lines}};
        row.logged = c.logged;
        RunRow(row);
    }
}

TEST(FtpFeatures, FileTimesToTheSecondBothWays) {
    struct Case {
        const char* what;
        std::string feat;
        std::string mdtm;  // the reply to MDTM; empty: not sent
        std::int64_t expected;
        std::vector<std::string> logged;
    };
    const std::vector<Case> cases = {
        {"MDTM gives the time", Feat({"MDTM"}), "213 20200102030405", kServerTime, {}},
        {"MDTM with a fraction", Feat({"MDTM"}), "213 20200102030405.250", kServerTime, {}},
        {"MDTM refused: the listing's time", Feat({"MDTM"}), "550 no", kListedTime, {}},
        {"month 13: the listing's time",
         Feat({"MDTM"}),
         "213 20201302030405",
         kListedTime,
         {"... MDTM reply refused: \"20201302030405\" is no time"}},
        {"no MDTM offered: the listing's time", "", "", kListedTime, {}},
    };
    for (const Case& c : cases) {
        SessionRow row{.what = c.what,
                       .script = {Step::Pasv(), {"RETR a.txt", "150 go", Step::Send("hello", "226 ok")}},
                       .feat = c.feat,
                       .run = {Run::Get({RemoteEntry("a.txt", 5, kListedTime)})},
                       .results = {226},
                       .files = {{"a.txt", "hello"}}};
        if (!c.mdtm.empty()) {
            row.script.push_back({"MDTM a.txt", c.mdtm});
        }
        row.logged = c.logged;
        const auto run = RunRow(row);
        EXPECT_EQ(ModifiedTime(*run, "a.txt"), c.expected) << c.what;
    }

    // A machine listing's time is already exact: no MDTM.
    const auto listed = ListingParser::Parse("type=file;size=5;modify=20200102030405; a.txt");
    ASSERT_TRUE(listed && listed->ExactTime());
    const auto exact =
        RunRow({.what = "exact listed time",
                .script = {Step::Pasv(), {"RETR a.txt", "150 go", Step::Send("hello", "226 ok")}},
                .feat = Feat({"MDTM", "MLST"}),
                .run = {Run::Get({*listed})},
                .results = {226}});
    EXPECT_EQ(ModifiedTime(*exact, "a.txt"), kServerTime);

    struct Upload {
        const char* what;
        std::string feat;
        bool keep;
        std::string mfmt;  // the reply to MFMT; empty: not sent
        int result;
    };
    const std::vector<Upload> uploads = {
        {"MFMT sets the local file's time", Feat({"MFMT"}), true, "213 Modify=20200102030405; up.txt", 226},
        {"MFMT refused: the upload still counts", Feat({"MFMT"}), true, "550 no", 226},
        {"switched off: no MFMT", Feat({"MFMT"}), false, "", 226},
        {"not offered: no MFMT", Feat({"MDTM"}), true, "", 226},
        {"connection lost at MFMT ends the request", Feat({"MFMT"}), true, "421 bye", 421},
    };
    for (const Upload& u : uploads) {
        SessionRow row{
            .what = u.what,
            .script = {Step::Pasv(), {"STOR up.txt", "150 go", Step::Receive("226 ok")}},
            .local = {{"up.txt", "data"}},
            .feat = u.feat,
            .configure = [&](FtpSessionOptions& options) { options.keepUploadTimes = u.keep; },
            .setup =
                [](RowRun& run) {
                    const timespec times[2] = {{0, UTIME_OMIT}, {kServerTime, 0}};
                    ASSERT_EQ(::utimensat(AT_FDCWD, (run.folder.Path() / "up.txt").c_str(), times, 0), 0);
                },
            .run = {Run::Put({"up.txt"})},
            .results = {u.result},
            .inSync = u.result != 421};
        if (!u.mfmt.empty()) {
            row.script.push_back({"MFMT 20200102030405 up.txt", u.mfmt});
        }
        RunRow(row);
    }
}

// A worker session whose requests are served by a handler that does nothing: only the keep-alive talks.
class KeepAlive : public ::testing::Test {
  protected:
    void Start(int idleMs, int limitMs) {
        server.Expect("USER anonymous").Line("230 in");
        server.OnVerb("NOOP").Line("200 ok");
        TestSessionOptions options;
        options.keepAliveIdleMs = idleMs;
        options.keepAliveLimitMs = limitMs;
        options.handlerOverride = [](FtpContext&, FtpRequest&) { return 200; };
        handle = FtpSessionTesting::Start(ServerUrl(server), views.Views(), options);
    }
    int Noops() const {
        int count = 0;
        for (const auto& command : server.Commands()) {
            count += command == "NOOP" ? 1 : 0;
        }
        return count;
    }
    void TearDown() override {
        if (handle) {
            handle->Stop();
            EXPECT_TRUE(handle->WaitEnded(5s));
        }
    }

    FakeFtpServer server;
    RecordingViews views;
    std::shared_ptr<FtpSessionHandle> handle;
};

TEST_F(KeepAlive, NoopsWhileIdleUntilTheUserHasBeenAwayLong) {
    Start(100, 1000);
    std::this_thread::sleep_for(1500ms);
    const int sent = Noops();
    EXPECT_GE(sent, 3);  // about one per 100 ms of quiet while the user counts as present
    EXPECT_LE(sent, 10);
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(Noops(), sent) << "NOOPs went on after the user had been away";
    // A request is the user back: the keep-alive starts again.
    const std::size_t commands = server.Commands().size();
    ASSERT_TRUE(handle->Enqueue(FtpRequestKind::ChangeDir, "x", 0));
    ASSERT_TRUE(server.WaitForCommandCount(commands + 1, 3s));
    EXPECT_EQ(server.Commands().back(), "NOOP");
}

TEST_F(KeepAlive, OffSendsNothingAndALostServerEndsTheSession) {
    Start(0, 1000);
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(Noops(), 0);
    handle->Stop();
    ASSERT_TRUE(handle->WaitEnded(5s));

    FakeFtpServer gone;
    gone.Expect("USER anonymous").Line("230 in");
    gone.Expect("NOOP").Line("421 timeout");
    RecordingViews goneViews;
    TestSessionOptions options;
    options.keepAliveIdleMs = 100;
    options.handlerOverride = [](FtpContext&, FtpRequest&) { return 200; };
    const auto lost = FtpSessionTesting::Start(ServerUrl(gone), goneViews.Views(), options);
    ASSERT_TRUE(lost->WaitEnded(5s));
    EXPECT_EQ(goneViews.Failures(),
              (Lines{"Lost: Connection lost: 421 timeout", "Remote: Connection lost: 421 timeout"}));
}

}  // namespace
