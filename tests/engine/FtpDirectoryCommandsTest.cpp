// Changing directory and deleting, against the scripted server: the exact commands, replies, messages and
// Remote page calls, and the code each handler returns.
#include "engine/FtpDirectoryCommands.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/FtpRequest.h"
#include "engine/FtpSession.h"
#include "listing/RemoteEntry.h"
#include "support/EngineFixture.h"
#include "support/SessionRows.h"

namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

const std::string kRefusedLocally = "LogMessage ... command not sent: it holds a CR, LF or NUL character";

TEST(FtpDirectoryCommands, ChangeDirectoryFollowsRefusalsFallBackAndPwd) {
    const std::string readFolder = "Remote: Could not read the current folder: ";
    // The directories "/pub" and "/" are cached.
    std::vector<SessionRow> rows = {
        {.what = "file below a folder: the parent is entered with CWD",
         .script = {{"CWD pub/x", "550 not a directory"},
                    {"CWD pub", "250 ok"},
                    {"PWD", "257 \"/pub\" is cwd"}},
         .run = {Run::ChangeDir("pub/x", 1)},
         .results = {257},
         .calls = {"SetStatus CD pub/x", "LogTraffic <CWD pub/x", "LogTraffic >550 not a directory",
                   "ClearStatus", "SetStatus CD pub", "LogTraffic <CWD pub", "LogTraffic >250 ok",
                   "ClearStatus", "LogTraffic <PWD", "LogTraffic >257 \"/pub\" is cwd", "EnterDirectory /pub",
                   "LogMessage ... using cached copy of /pub"}},
        {.what = "refused, no fall-back: nothing else is sent, the server's words are shown",
         .script = {{"CWD pub/x", "550 No such directory."}},
         .run = {Run::ChangeDir("pub/x")},
         .results = {550},
         .calls = {"SetStatus CD pub/x", "LogTraffic <CWD pub/x", "LogTraffic >550 No such directory.",
                   "ClearStatus"},
         .failures = {"Remote: Could not open pub/x: 550 No such directory."}},
        {.what = "refused without '/': no second CWD, the login directory is shown",
         .script = {{"CWD nothere", "550 no"}, {"PWD", "257 \"/\""}},
         .run = {Run::ChangeDir("nothere", 1)},
         .results = {257},
         .calls = {"SetStatus CD nothere", "LogTraffic <CWD nothere", "LogTraffic >550 no", "ClearStatus",
                   "LogTraffic <PWD", "LogTraffic >257 \"/\"", "EnterDirectory /",
                   "LogMessage ... using cached copy of /"}},
        {.what = "refused with '/' only first: no second CWD",
         .script = {{"CWD /top", "550 no"}, {"PWD", "257 \"/\""}},
         .run = {Run::ChangeDir("/top", 1)},
         .results = {257},
         .calls = {"SetStatus CD /top", "LogTraffic <CWD /top", "LogTraffic >550 no", "ClearStatus",
                   "LogTraffic <PWD", "LogTraffic >257 \"/\"", "EnterDirectory /",
                   "LogMessage ... using cached copy of /"}},
        {.what = "parent refused too: its code, no PWD",
         .script = {{"CWD a/b/c", "550 no"}, {"CWD a/b", "553 neither"}},
         .run = {Run::ChangeDir("a/b/c", 1)},
         .results = {553},
         .calls = {"SetStatus CD a/b/c", "LogTraffic <CWD a/b/c", "LogTraffic >550 no", "ClearStatus",
                   "SetStatus CD a/b", "LogTraffic <CWD a/b", "LogTraffic >553 neither", "ClearStatus"}},
        {.what = "up one level is CDUP",
         .script = {{"CDUP", "200 ok"}, {"PWD", "257 \"/\" here"}},
         .run = {Run::ChangeDir("..")},
         .results = {257},
         .calls = {"SetStatus CD ..", "LogTraffic <CDUP", "LogTraffic >200 ok", "ClearStatus",
                   "LogTraffic <PWD", "LogTraffic >257 \"/\" here", "EnterDirectory /",
                   "LogMessage ... using cached copy of /"}},
        {.what = "CDUP refused",
         .script = {{"CDUP", "550 At the top"}},
         .run = {Run::ChangeDir("..")},
         .results = {550},
         .calls = {"SetStatus CD ..", "LogTraffic <CDUP", "LogTraffic >550 At the top", "ClearStatus"},
         .failures = {"Remote: Could not go up one level: 550 At the top"}},
        {.what = "empty path: PWD only",
         .script = {{"PWD", "257-multi\r\n257 \"/pub\" last line counts"}},
         .run = {Run::ChangeDir("", 1)},
         .results = {257},
         .calls = {"LogTraffic <PWD", "LogTraffic >257-multi", "LogTraffic >257 \"/pub\" last line counts",
                   "EnterDirectory /pub", "LogMessage ... using cached copy of /pub"}},
        {.what = "PWD refused: its code, the page is not told",
         .script = {{"PWD", "500 what"}},
         .run = {Run::ChangeDir("")},
         .results = {500},
         .calls = {"LogTraffic <PWD", "LogTraffic >500 what"}},
        {.what = "257 without a quote: its code, the page is not told",
         .script = {{"PWD", "257 /pub is the directory"}},
         .run = {Run::ChangeDir("")},
         .results = {257},
         .calls = {"LogTraffic <PWD", "LogTraffic >257 /pub is the directory",
                   "LogMessage ... no directory name in the reply to PWD"}},
        {.what = "PWD refused after a CWD",
         .script = {{"CWD pub", "250 ok"}, {"PWD", "500 PWD off"}},
         .run = {Run::ChangeDir("pub")},
         .failures = {readFolder + "500 PWD off"}},
        {.what = "257 without a quote after a CWD",
         .script = {{"CWD pub", "250 ok"}, {"PWD", "257 nothing quoted"}},
         .run = {Run::ChangeDir("pub")},
         .failures = {readFolder + "no name in the reply to PWD"}},
        {.what = "a lost connection ends at the CWD",
         .script = {{"CWD pub", "421 closing"}},
         .run = {Run::ChangeDir("pub", 1)},
         .results = {421},
         .calls = {"SetStatus CD pub", "LogTraffic <CWD pub", "LogTraffic >421 closing", "ClearStatus"}},
        {.what = "a lost connection is the session's to report, not the command's",
         .script = {{"CWD pub", "421 Closing"}},
         .run = {Run::ChangeDir("pub")},
         .failures = {}},
        {.what = "a path that would smuggle a command is never sent",
         .run = {Run::ChangeDir("pub\r\nDELE x")},
         .results = {FtpSession::kCommandRefused},
         .calls = {"SetStatus CD pub\r\nDELE x", kRefusedLocally, "ClearStatus"}},
        {.what = "so is its parent",
         .run = {Run::ChangeDir("a\nb/c", 1)},
         .results = {FtpSession::kCommandRefused},
         .calls = {"SetStatus CD a\nb/c", kRefusedLocally, "ClearStatus", "SetStatus CD a\nb",
                   kRefusedLocally, "ClearStatus"}},
        {.what = "a path longer than a command line is never sent",
         .run = {Run::ChangeDir(std::string(600, 'd'))},
         .results = {FtpSession::kCommandRefused},
         .calls = {"SetStatus CD " + std::string(600, 'd'),
                   "LogMessage ... command not sent: it is longer than 510 characters", "ClearStatus"}},
    };
    for (SessionRow& row : rows) {
        row.cached = {"/pub", "/"};
        RunRow(row);
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

// Each entry is reported and only a 421 stops the loop; the page is shown what was refused. The handler
// releases its selection (the runner counts it).
TEST(FtpDirectoryCommands, DeleteFilesReportsEachEntryAndStopsOnlyAt421) {
    const std::vector<SessionRow> rows = {
        {.what = "second of three refused",
         .script = {{"DELE a.txt", "250 gone"}, {"DELE b.txt", "550 denied"}, {"DELE c.txt", "250 gone"}},
         .run = {Run::Delete({"a.txt", "b.txt", "c.txt"})},
         .results = {250},
         .calls = {"EntryAt 0",
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
         .blanks = "101"},
        {.what = "421 stops the loop",
         .script = {{"DELE a", "421 closing"}},
         .run = {Run::Delete({"a", "b"})},
         .results = {421},
         .calls = {"EntryAt 0", "SetStatus DELETEing a", "LogMessage DELETEing a", "LogTraffic <DELE a",
                   "LogTraffic >421 closing", "ClearStatus", "LogMessage ... Unable to DELETE a"},
         .blanks = "00"},
        {.what = "a name holding CR LF is refused and the next entry follows",
         .script = {{"DELE ok1", "250 gone"}, {"DELE ok2", "250 gone"}},
         .run = {Run::Delete({"ok1", "evil\r\nRMD /", "ok2"})},
         .results = {250},
         .calls = {"EntryAt 0",
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
         .blanks = "101"},
        {.what = "names holding LF or other control characters cannot forge a log line",
         .script = {{"DELE esc\x1b[2J", "250 gone"}},
         .run = {Run::Delete({"x\n... DELETEd precious.txt", "esc\x1b[2J"})},
         .results = {250},
         .calls = {"EntryAt 0", "SetStatus DELETEing x\n... DELETEd precious.txt",
                   "LogMessage DELETEing x\\n... DELETEd precious.txt", kRefusedLocally, "ClearStatus",
                   "LogMessage ... Unable to DELETE x\\n... DELETEd precious.txt", "EntryAt 1",
                   "SetStatus DELETEing esc\x1b[2J", "LogMessage DELETEing esc\\x1B[2J",
                   "LogTraffic <DELE esc\x1b[2J", "LogTraffic >250 gone", "ClearStatus", "RemoveEntry 1",
                   "LogMessage ... DELETEd esc\\x1B[2J"},
         .blanks = "01"},
        {.what = "a refusal as the last entry is the result, in selection order",
         .script = {{"DELE b", "250 gone"}, {"DELE a", "450 busy"}},
         .run = {Run::Delete({"a", "b"}, {1, 0})},
         .results = {450},
         .calls = {"EntryAt 1", "SetStatus DELETEing b", "LogMessage DELETEing b", "LogTraffic <DELE b",
                   "LogTraffic >250 gone", "ClearStatus", "RemoveEntry 1", "LogMessage ... DELETEd b",
                   "EntryAt 0", "SetStatus DELETEing a", "LogMessage DELETEing a", "LogTraffic <DELE a",
                   "LogTraffic >450 busy", "ClearStatus", "LogMessage ... Unable to DELETE a"},
         .blanks = "01"},
        {.what = "a blank or missing slot names nothing and is passed over",
         .script = {{"DELE a", "250 gone"}},
         .run = {Run::Delete({"a"}, {7, 0})},
         .results = {250},
         .calls = {"EntryAt 7", "EntryAt 0", "SetStatus DELETEing a", "LogMessage DELETEing a",
                   "LogTraffic <DELE a", "LogTraffic >250 gone", "ClearStatus", "RemoveEntry 0",
                   "LogMessage ... DELETEd a"},
         .blanks = "1"},
        {.what = "the server's refusal is shown",
         .script = {{"DELE a.txt", "550 Permission denied."}},
         .run = {Run::Delete({"a.txt"})},
         .failures = {"Remote: Could not delete a.txt: 550 Permission denied."}},
        {.what = "so is a name that was not sent",
         .run = {Run::Delete({"bad\r\nDELE x"})},
         .failures = {"Remote: Could not delete bad\\r\\nDELE x: command not sent: it holds a CR, LF or NUL "
                      "character"}},
        {.what = "a deleted file is no failure",
         .script = {{"DELE b.txt", "250 gone"}},
         .run = {Run::Delete({"b.txt"})},
         .failures = {}},
        {.what = "a link is deleted by its own name",
         .script = {{"DELE current", "250 gone"}},
         .run = {Run::DeleteEntries({RemoteEntry::FromListingLine(
             "lrwxrwxrwx   1 root  root  9 Jan  5  2020 current -> releases/9")})},
         .results = {250}},
    };
    for (const SessionRow& row : rows) {
        RunRow(row);
    }
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
    auto handle = FtpSessionTesting::Start(ServerUrl(server, "pub/x"), views.Views());
    ASSERT_TRUE(views.WaitFor("LogMessage", "... using cached copy of /pub"));
    ASSERT_TRUE(handle->Enqueue(FtpRequestKind::Logoff));
    ASSERT_TRUE(handle->WaitEnded(5s));
    ASSERT_TRUE(server.WaitForClose());
    EXPECT_EQ(server.Commands(), (Lines{"USER anonymous", "FEAT", "CWD pub/x", "CWD pub", "PWD", "QUIT"}));
    EXPECT_EQ(views.Texts("EnterDirectory"), Lines{"/pub"});
    EXPECT_EQ(views.Traffic().back(), "<QUIT");  // its reply is not read
    EXPECT_TRUE(server.Problems().empty());
}

}  // namespace
