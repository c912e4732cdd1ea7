// Changing directory and deleting, against the scripted server: the exact commands, replies, messages and
// Remote page calls, and the code each handler returns.
#include "engine/FtpDirectoryCommands.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/FtpLogin.h"
#include "engine/FtpRequest.h"
#include "engine/FtpSession.h"
#include "hosts/FtpUrl.h"
#include "listing/RemoteEntry.h"
#include "support/FakeFtpServer.h"
#include "support/FtpSessionTesting.h"
#include "support/RecordingViews.h"

namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

struct Exchange {
    std::string command;
    std::string reply;  // the reply's bytes, CR LF included
};

// A logged-in session without a worker: the test calls the handlers itself and sees their results.
class Direct {
  public:
    explicit Direct(std::vector<Exchange> script) {
        server.Expect("USER anonymous").Line("230 in");
        for (auto& step : script) {
            server.Expect(step.command).Reply(step.reply);
        }
        FtpUrl url;
        ParseUrl(url, "ftp://127.0.0.1:" + std::to_string(server.Port()) + "/");
        TestSessionOptions options;
        options.controlTimeoutMs = 3000;  // a wrongly awaited reply fails the test instead of hanging it
        session = FtpSessionTesting::CreateWithoutWorker(url, views.Views(), options);
        std::string connectionText;
        loggedIn = FtpLogin::ConnectAndLogin(FtpSessionTesting::Context(*session), connectionText);
        mark = views.Calls().size();
    }

    // The calls made since login, as "op text" (ops without text alone).
    Lines CallsSinceLogin() const {
        Lines lines;
        const auto calls = views.Calls();
        for (std::size_t i = mark; i < calls.size(); ++i) {
            lines.push_back(calls[i].text.empty() ? calls[i].op : calls[i].op + " " + calls[i].text);
        }
        return lines;
    }

    // The commands the server received after USER; a NOOP is sent first and removed again, so that
    // commands that were wrongly sent cannot still be on their way.
    Lines CommandsSinceLogin() {
        server.OnVerb("NOOP").Line("200 ok");
        EXPECT_EQ(FtpSessionTesting::Context(*session).Command("NOOP"), 200);
        Lines commands = server.Commands();
        EXPECT_EQ(commands.back(), "NOOP");
        return Lines(commands.begin() + 1, commands.end() - 1);
    }

    FakeFtpServer server;
    RecordingViews views;
    std::unique_ptr<FtpSession> session;
    bool loggedIn = false;
    std::size_t mark = 0;
};

const std::string kRefusedLocally = "LogMessage ... command not sent: it holds a CR, LF or NUL character";

TEST(FtpDirectoryCommands, ChangeDirectoryFollowsRefusalsFallBackAndPwd) {
    struct Case {
        const char* what;
        std::string path;
        int fallBack;
        std::vector<Exchange> script;
        int result;
        Lines calls;  // after login; the directory "/pub" and "/" are cached
    };
    const std::vector<Case> cases = {
        {"file below a folder: the parent is entered with CWD",
         "pub/x",
         1,
         {{"CWD pub/x", "550 not a directory\r\n"},
          {"CWD pub", "250 ok\r\n"},
          {"PWD", "257 \"/pub\" is cwd\r\n"}},
         257,
         {"SetStatus CD pub/x", "LogTraffic <CWD pub/x", "LogTraffic >550 not a directory", "ClearStatus",
          "SetStatus CD pub", "LogTraffic <CWD pub", "LogTraffic >250 ok", "ClearStatus", "LogTraffic <PWD",
          "LogTraffic >257 \"/pub\" is cwd", "EnterDirectory /pub",
          "LogMessage ... using cached copy of /pub"}},
        {"refused, no fall-back: nothing else is sent",
         "pub/x",
         0,
         {{"CWD pub/x", "550 no\r\n"}},
         550,
         {"SetStatus CD pub/x", "LogTraffic <CWD pub/x", "LogTraffic >550 no", "ClearStatus"}},
        {"refused without '/': no second CWD, the login directory is shown",
         "nothere",
         1,
         {{"CWD nothere", "550 no\r\n"}, {"PWD", "257 \"/\"\r\n"}},
         257,
         {"SetStatus CD nothere", "LogTraffic <CWD nothere", "LogTraffic >550 no", "ClearStatus",
          "LogTraffic <PWD", "LogTraffic >257 \"/\"", "EnterDirectory /",
          "LogMessage ... using cached copy of /"}},
        {"refused with '/' only first: no second CWD",
         "/top",
         1,
         {{"CWD /top", "550 no\r\n"}, {"PWD", "257 \"/\"\r\n"}},
         257,
         {"SetStatus CD /top", "LogTraffic <CWD /top", "LogTraffic >550 no", "ClearStatus", "LogTraffic <PWD",
          "LogTraffic >257 \"/\"", "EnterDirectory /", "LogMessage ... using cached copy of /"}},
        {"parent refused too: its code, no PWD",
         "a/b/c",
         1,
         {{"CWD a/b/c", "550 no\r\n"}, {"CWD a/b", "553 neither\r\n"}},
         553,
         {"SetStatus CD a/b/c", "LogTraffic <CWD a/b/c", "LogTraffic >550 no", "ClearStatus",
          "SetStatus CD a/b", "LogTraffic <CWD a/b", "LogTraffic >553 neither", "ClearStatus"}},
        {"up one level is CDUP",
         "..",
         0,
         {{"CDUP", "200 ok\r\n"}, {"PWD", "257 \"/\" here\r\n"}},
         257,
         {"SetStatus CD ..", "LogTraffic <CDUP", "LogTraffic >200 ok", "ClearStatus", "LogTraffic <PWD",
          "LogTraffic >257 \"/\" here", "EnterDirectory /", "LogMessage ... using cached copy of /"}},
        {"CDUP refused",
         "..",
         0,
         {{"CDUP", "550 top\r\n"}},
         550,
         {"SetStatus CD ..", "LogTraffic <CDUP", "LogTraffic >550 top", "ClearStatus"}},
        {"empty path: PWD only",
         "",
         1,
         {{"PWD", "257-multi\r\n257 \"/pub\" last line counts\r\n"}},
         257,
         {"LogTraffic <PWD", "LogTraffic >257-multi", "LogTraffic >257 \"/pub\" last line counts",
          "EnterDirectory /pub", "LogMessage ... using cached copy of /pub"}},
        {"PWD refused: its code, the page is not told",
         "",
         0,
         {{"PWD", "500 what\r\n"}},
         500,
         {"LogTraffic <PWD", "LogTraffic >500 what"}},
        {"257 without a quote: its code, the page is not told",
         "",
         0,
         {{"PWD", "257 /pub is the directory\r\n"}},
         257,
         {"LogTraffic <PWD", "LogTraffic >257 /pub is the directory",
          "LogMessage ... no directory name in the reply to PWD"}},
        {"a lost connection ends at the CWD",
         "pub",
         1,
         {{"CWD pub", "421 closing\r\n"}},
         421,
         {"SetStatus CD pub", "LogTraffic <CWD pub", "LogTraffic >421 closing", "ClearStatus"}},
        {"a path that would smuggle a command is never sent",
         "pub\r\nDELE x",
         0,
         {},
         FtpSession::kCommandRefused,
         {"SetStatus CD pub\r\nDELE x", kRefusedLocally, "ClearStatus"}},
        {"so is its parent",
         "a\nb/c",
         1,
         {},
         FtpSession::kCommandRefused,
         {"SetStatus CD a\nb/c", kRefusedLocally, "ClearStatus", "SetStatus CD a\nb", kRefusedLocally,
          "ClearStatus"}},
        {"a path longer than a command line is never sent",
         std::string(600, 'd'),
         0,
         {},
         FtpSession::kCommandRefused,
         {"SetStatus CD " + std::string(600, 'd'),
          "LogMessage ... command not sent: it is longer than 510 characters", "ClearStatus"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Direct direct(c.script);
        ASSERT_TRUE(direct.loggedIn);
        direct.views.SetCachedDirectories({"/pub", "/"});
        EXPECT_EQ(FtpDirectoryCommands::ChangeDirectory(FtpSessionTesting::Context(*direct.session), c.path,
                                                        c.fallBack),
                  c.result);
        EXPECT_EQ(direct.CallsSinceLogin(), c.calls);
        Lines expected;
        for (const auto& step : c.script) {
            expected.push_back(step.command);
        }
        EXPECT_EQ(direct.CommandsSinceLogin(), expected);
        EXPECT_TRUE(direct.server.Problems().empty());
    }
}

TEST(FtpDirectoryCommands, PwdDirectoryTextEndsAtTheFirstQuoteAfterTheOpeningOnes) {
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
        {"257 \"/pub\" is current directory", "/pub"},
        {"257 \"/a \"\"quoted\"\" name\"", "/a "},  // doubled quotes are not unescaped
        {"257 \"\"\"/odd\" dir", "/odd"},           // quotes right after the opening one are skipped
        {"257 \"/no/closing quote", "/no/closing quote"},
        {"257 \"", ""},
        {"257 no quote at all", std::nullopt},
        {"2\"7 \"/x\"", "/x"},  // the search starts after the code
        {"257", std::nullopt},
    };
    for (const auto& [line, directory] : cases) {
        EXPECT_EQ(FtpDirectoryCommands::DirectoryFromPwdReply(line), directory) << line;
    }
}

// A selection that counts its own destruction.
class CountedSelection : public SelectionIndexes {
  public:
    CountedSelection(std::vector<std::int32_t> indexes, std::atomic<int>& destroyed)
        : SelectionIndexes(std::move(indexes)), destroyed_(destroyed) {}
    ~CountedSelection() override { ++destroyed_; }

  private:
    std::atomic<int>& destroyed_;
};

TEST(FtpDirectoryCommands, DeleteFilesReportsEachEntryAndStopsOnlyAt421) {
    struct Case {
        const char* what;
        std::vector<std::string> names;
        std::vector<std::int32_t> selection;
        std::vector<Exchange> script;
        int result;
        Lines calls;
        Lines blankAfter;  // names whose slot is blank afterwards, by position in `names`: "1" or "0"
    };
    const std::vector<Case> cases = {
        {"second of three refused",
         {"a.txt", "b.txt", "c.txt"},
         {0, 1, 2},
         {{"DELE a.txt", "250 gone\r\n"}, {"DELE b.txt", "550 denied\r\n"}, {"DELE c.txt", "250 gone\r\n"}},
         250,
         {"EntryAt 0",
          "SetStatus DELETEing a.txt",
          "LogMessage DELETEing a.txt",
          "LogTraffic <DELE a.txt",
          "LogTraffic >250 gone",
          "ClearStatus",
          "RemoveEntry 0",
          "LogMessage ... DELETEd a.txt",
          "EntryAt 1",
          "SetStatus DELETEing b.txt",
          "LogMessage DELETEing b.txt",
          "LogTraffic <DELE b.txt",
          "LogTraffic >550 denied",
          "ClearStatus",
          "LogMessage ... Unable to DELETE b.txt",
          "EntryAt 2",
          "SetStatus DELETEing c.txt",
          "LogMessage DELETEing c.txt",
          "LogTraffic <DELE c.txt",
          "LogTraffic >250 gone",
          "ClearStatus",
          "RemoveEntry 2",
          "LogMessage ... DELETEd c.txt"},
         {"1", "0", "1"}},
        {"421 stops the loop",
         {"a", "b"},
         {0, 1},
         {{"DELE a", "421 closing\r\n"}},
         421,
         {"EntryAt 0", "SetStatus DELETEing a", "LogMessage DELETEing a", "LogTraffic <DELE a",
          "LogTraffic >421 closing", "ClearStatus", "LogMessage ... Unable to DELETE a"},
         {"0", "0"}},
        {"a name holding CR LF is refused and the next entry follows",
         {"ok1", "evil\r\nRMD /", "ok2"},
         {0, 1, 2},
         {{"DELE ok1", "250 gone\r\n"}, {"DELE ok2", "250 gone\r\n"}},
         250,
         {"EntryAt 0",
          "SetStatus DELETEing ok1",
          "LogMessage DELETEing ok1",
          "LogTraffic <DELE ok1",
          "LogTraffic >250 gone",
          "ClearStatus",
          "RemoveEntry 0",
          "LogMessage ... DELETEd ok1",
          "EntryAt 1",
          "SetStatus DELETEing evil\r\nRMD /",
          "LogMessage DELETEing evil\\r\\nRMD /",
          kRefusedLocally,
          "ClearStatus",
          "LogMessage ... Unable to DELETE evil\\r\\nRMD /",
          "EntryAt 2",
          "SetStatus DELETEing ok2",
          "LogMessage DELETEing ok2",
          "LogTraffic <DELE ok2",
          "LogTraffic >250 gone",
          "ClearStatus",
          "RemoveEntry 2",
          "LogMessage ... DELETEd ok2"},
         {"1", "0", "1"}},
        {"names holding LF or other control characters cannot forge a log line",
         {"x\n... DELETEd precious.txt", "esc\x1b[2J"},
         {0, 1},
         {{"DELE esc\x1b[2J", "250 gone\r\n"}},
         250,
         {"EntryAt 0", "SetStatus DELETEing x\n... DELETEd precious.txt",
          "LogMessage DELETEing x\\n... DELETEd precious.txt", kRefusedLocally, "ClearStatus",
          "LogMessage ... Unable to DELETE x\\n... DELETEd precious.txt", "EntryAt 1",
          "SetStatus DELETEing esc\x1b[2J", "LogMessage DELETEing esc\\x1B[2J", "LogTraffic <DELE esc\x1b[2J",
          "LogTraffic >250 gone", "ClearStatus", "RemoveEntry 1", "LogMessage ... DELETEd esc\\x1B[2J"},
         {"0", "1"}},
        {"a refusal as the last entry is the result, in selection order",
         {"a", "b"},
         {1, 0},
         {{"DELE b", "250 gone\r\n"}, {"DELE a", "450 busy\r\n"}},
         450,
         {"EntryAt 1", "SetStatus DELETEing b", "LogMessage DELETEing b", "LogTraffic <DELE b",
          "LogTraffic >250 gone", "ClearStatus", "RemoveEntry 1", "LogMessage ... DELETEd b", "EntryAt 0",
          "SetStatus DELETEing a", "LogMessage DELETEing a", "LogTraffic <DELE a", "LogTraffic >450 busy",
          "ClearStatus", "LogMessage ... Unable to DELETE a"},
         {"0", "1"}},
        {"a blank or missing slot names nothing and is passed over",
         {"a"},
         {7, 0},
         {{"DELE a", "250 gone\r\n"}},
         250,
         {"EntryAt 7", "EntryAt 0", "SetStatus DELETEing a", "LogMessage DELETEing a", "LogTraffic <DELE a",
          "LogTraffic >250 gone", "ClearStatus", "RemoveEntry 0", "LogMessage ... DELETEd a"},
         {"1"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Direct direct(c.script);
        ASSERT_TRUE(direct.loggedIn);
        std::vector<RemoteEntry> entries;
        for (const auto& name : c.names) {
            entries.emplace_back(name, 10, 0);
        }
        direct.views.SetEntries(entries);
        std::atomic<int> destroyed{0};
        FtpRequest request;
        request.kind = FtpRequestKind::Delete;
        request.object = std::make_unique<CountedSelection>(c.selection, destroyed);
        EXPECT_EQ(FtpDirectoryCommands::DeleteFiles(FtpSessionTesting::Context(*direct.session), request),
                  c.result);
        EXPECT_EQ(destroyed, 1);  // the handler released the selection
        EXPECT_EQ(request.object, nullptr);
        EXPECT_EQ(direct.CallsSinceLogin(), c.calls);
        Lines blank;
        for (std::size_t i = 0; i < c.names.size(); ++i) {
            blank.push_back(direct.views.Entry(static_cast<int>(i)).IsBlank() ? "1" : "0");
        }
        EXPECT_EQ(blank, c.blankAfter);
        Lines expected;
        for (const auto& step : c.script) {
            expected.push_back(step.command);
        }
        EXPECT_EQ(direct.CommandsSinceLogin(), expected);
        EXPECT_TRUE(direct.server.Problems().empty());
    }
}

// What the Remote page shows when a command it asked for is refused; a lost connection is the session's
// to report, not the command's.
TEST(FtpDirectoryCommands, TellsTheRemotePageWhatWasRefused) {
    struct Case {
        std::string path;  // empty: delete `name` instead
        std::string name;
        std::vector<Exchange> script;
        Lines failures;
    };
    const std::vector<Case> cases = {
        {"pub/x",
         "",
         {{"CWD pub/x", "550 No such directory.\r\n"}},
         {"Remote: Could not open pub/x: 550 No such directory."}},
        {"..", "", {{"CDUP", "550 At the top\r\n"}}, {"Remote: Could not go up one level: 550 At the top"}},
        {"pub",
         "",
         {{"CWD pub", "250 ok\r\n"}, {"PWD", "500 PWD off\r\n"}},
         {"Remote: Could not read the current folder: 500 PWD off"}},
        {"pub",
         "",
         {{"CWD pub", "250 ok\r\n"}, {"PWD", "257 nothing quoted\r\n"}},
         {"Remote: Could not read the current folder: no name in the reply to PWD"}},
        {"pub", "", {{"CWD pub", "421 Closing\r\n"}}, {}},
        {"",
         "a.txt",
         {{"DELE a.txt", "550 Permission denied.\r\n"}},
         {"Remote: Could not delete a.txt: 550 Permission denied."}},
        {"",
         "bad\r\nDELE x",
         {},
         {"Remote: Could not delete bad\\r\\nDELE x: command not sent: it holds a CR, LF or NUL character"}},
        {"", "b.txt", {{"DELE b.txt", "250 gone\r\n"}}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + c.name);
        Direct direct(c.script);
        ASSERT_TRUE(direct.loggedIn);
        if (!c.path.empty()) {
            FtpDirectoryCommands::ChangeDirectory(FtpSessionTesting::Context(*direct.session), c.path, 0);
        } else {
            direct.views.SetEntries({RemoteEntry(c.name, 10, 0)});
            FtpRequest request;
            request.object = std::make_unique<SelectionIndexes>(std::vector<std::int32_t>{0});
            FtpDirectoryCommands::DeleteFiles(FtpSessionTesting::Context(*direct.session), request);
        }
        EXPECT_EQ(direct.views.Failures(), c.failures);
    }
}

TEST(FtpDirectoryCommands, DeleteSendsALinksOwnName) {
    Direct direct(std::vector<Exchange>{{"DELE current", "250 gone\r\n"}});
    ASSERT_TRUE(direct.loggedIn);
    direct.views.SetEntries(
        {RemoteEntry::FromListingLine("lrwxrwxrwx   1 root  root  9 Jan  5  2020 current -> releases/9")});
    FtpRequest request;
    request.object = std::make_unique<SelectionIndexes>(std::vector<std::int32_t>{0});
    EXPECT_EQ(FtpDirectoryCommands::DeleteFiles(FtpSessionTesting::Context(*direct.session), request), 250);
    EXPECT_EQ(direct.CommandsSinceLogin(), Lines{"DELE current"});
}

// Through the real worker: the session's own first request opens the URL's directory.
TEST(FtpDirectoryCommands, FirstRequestFallsBackFromAFileToItsFolder) {
    FakeFtpServer server;
    RecordingViews views;
    views.SetCachedDirectories({"/pub"});
    server.Expect("USER anonymous").Line("230 in");
    server.Expect("CWD pub/x").Line("550 pub/x: Not a directory");
    server.Expect("CWD pub").Line("250 ok");
    server.Expect("PWD").Line("257 \"/pub\" is current directory");
    server.Expect("QUIT").Line("221 bye");
    auto handle = FtpSessionTesting::Start("ftp://127.0.0.1:" + std::to_string(server.Port()) + "/pub/x",
                                           views.Views());
    ASSERT_TRUE(views.WaitFor("LogMessage", "... using cached copy of /pub"));
    ASSERT_TRUE(handle->Enqueue(FtpRequestKind::Logoff));
    ASSERT_TRUE(handle->WaitEnded(5s));
    ASSERT_TRUE(server.WaitForClose());
    EXPECT_EQ(server.Commands(), (Lines{"USER anonymous", "CWD pub/x", "CWD pub", "PWD", "QUIT"}));
    EXPECT_EQ(views.Texts("EnterDirectory"), Lines{"/pub"});
    EXPECT_EQ(views.Traffic().back(), "<QUIT");  // its reply is not read
    EXPECT_TRUE(server.Problems().empty());
}

}  // namespace
