// Listing, downloads and uploads against the fake server, with the exact traffic and messages: type
// changes, refusals, hostile names, local failures, abort, and the bytes themselves.
#include "engine/FtpTransfers.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "engine/FtpRequest.h"
#include "engine/FtpSession.h"
#include "listing/RemoteEntry.h"
#include "support/EngineFixture.h"
#include "support/FtpSessionTesting.h"
#include "support/SessionRows.h"
#include "support/TempDir.h"

namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

constexpr std::int32_t kListedTime = 1500000000;  // 14 July 2017
const std::string kPasvLine = ">227 Entering Passive Mode (127,0,0,1,P1,P2).";
const std::string kConnected = "Connected to [127.0.0.1:PORT] for DATA";

std::string Zeros(std::size_t n) {
    return std::string(n, '\0');
}

std::int64_t ModifiedTime(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mtime;
}

class Transfers : public ::testing::Test, protected EngineSession {
  protected:
    void SetUp() override { ASSERT_TRUE(folder.Valid()); }

    int Get(std::vector<RemoteEntry> entries, std::vector<std::int32_t> indexes, int type,
            const std::string& folderText) {
        views.SetEntries(std::move(entries));
        FtpRequest request;
        request.kind = FtpRequestKind::Get;
        request.text = folderText;
        request.object = std::make_unique<SelectionIndexes>(std::move(indexes));
        request.value = type;
        const int result = FtpTransfers::GetFiles(Context(), request);
        EXPECT_EQ(request.object, nullptr);  // released by the handler
        return result;
    }
    int Get(std::vector<RemoteEntry> entries, int type = kAsciiType) {
        std::vector<std::int32_t> all;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            all.push_back(static_cast<std::int32_t>(i));
        }
        return Get(std::move(entries), all, type, Folder());
    }
    int Put(std::vector<std::string> paths, int type = kAsciiType) {
        FtpRequest request;
        request.kind = FtpRequestKind::Put;
        request.object = std::make_unique<DroppedFiles>(std::move(paths));
        request.value = type;
        const int result = FtpTransfers::PutFiles(Context(), request);
        EXPECT_EQ(request.object, nullptr);
        return result;
    }

    void ScriptRetr(const std::string& path, const std::string& bytes, const std::string& final = "226 ok") {
        server.Expect("PASV").Pasv();
        if (bytes.empty()) {
            server.Expect("RETR " + path).Line("150 go").DataOpen().DataClose().Line(final);
        } else {
            server.Expect("RETR " + path).Line("150 go").DataSend(bytes).DataClose().Line(final);
        }
    }
    void ScriptStor(const std::string& name) {
        server.Expect("PASV").Pasv();
        server.Expect("STOR " + name).Line("150 go").DataReceiveAll().Line("226 stored");
    }

    std::string Folder() const { return folder.Path().string(); }
    std::set<std::string> FolderNames() const {
        std::set<std::string> names;
        for (const auto& item : fs::directory_iterator(folder.Path())) {
            names.insert(item.path().filename().string());
        }
        return names;
    }

    TempDir folder{"wisp-xfer"};
};

TEST(TransfersListing, PassesLinesUntilTheDataEndsOrAnEmptyOrOverLongLine) {
    struct Case {
        const char* what;
        std::vector<std::string> segments;
        Lines lines;
    };
    const std::string a = "-rw-r--r-- 1 u g 3 Jan  5 12:00 alpha";
    const std::string b = "-rw-r--r-- 1 u g 3 Jan  5 12:00 beta";
    const std::vector<Case> cases = {
        {"total line", {"total 2\r\n" + a + "\r\n" + b + "\r\n"}, {"total 2", a, b}},
        {"odd segments",
         {a.substr(0, 20), a.substr(20) + "\r", "\n" + b + "\r\ntotal", " 9\r\n"},
         {a, b, "total 9"}},
        {"empty line stops", {a + "\r\n\r\n" + b + "\r\n"}, {a}},
        {"511 characters fit", {std::string(511, 'x') + "\r\n" + b + "\r\n"}, {std::string(511, 'x'), b}},
        {"512 characters stop", {a + "\r\n" + std::string(512, 'y') + "\r\n" + b + "\r\n"}, {a}},
        {"unended last line dropped", {a + "\r\n" + b}, {a}},
        {"bytes kept as they come",
         {std::string("a\0b\tc\n d", 8) + "\r\n"},
         {std::string("a\0b\tc\n d", 8)}},
    };
    for (const Case& c : cases) {
        std::size_t bytes = 0;
        for (const auto& line : c.lines) {
            bytes += line.size();
        }
        RunRow(
            {.what = c.what,
             .script = {Step::Pasv(),
                        {"LIST", "150 Here comes the listing", Step::Segments(c.segments, "226 Done")}},
             .run = {Run::List("/pub")},
             .results = {226},
             .log = {"LISTing /pub", "<PASV", kPasvLine, "<LIST", kConnected, ">150 Here comes the listing",
                     "... received " + std::to_string(bytes) + " bytes in 0 seconds", ">226 Done"},
             .texts = {{"AddListingLine", c.lines},
                       {"FinishListing", {"1"}},
                       {"SetStatus", {"LISTing /pub"}},
                       {"ClearStatus", {""}}}});
    }
}

TEST(TransfersListing, RefusalsEndWithoutFinishingTheListing) {
    struct Case {
        const char* what;
        int currentType;
        std::vector<Step> script;
        int result;
    };
    const std::vector<Case> cases = {
        {"type refused", kImageType, {{"TYPE A N", "500 no ascii"}}, 500},
        {"type refused in both forms",
         kImageType,
         {{"TYPE A N", "504 no form"}, {"TYPE A", "504 no ascii"}},
         504},
        {"PASV lost", kAsciiType, {{"PASV", "421 going down"}}, 421},
        {"LIST refused", kAsciiType, {Step::Pasv(), {"LIST", "550 no listing"}}, 550},
    };
    for (const Case& c : cases) {
        const auto run = RunRow({.what = c.what,
                                 .script = c.script,
                                 .setup = [&](RowRun& r) { r.Context().SetCurrentType(c.currentType); },
                                 .run = {Run::List("/x")},
                                 .results = {c.result},
                                 .texts = {{"FinishListing", {}}, {"SetStatus", {"LISTing /x"}}}});
        EXPECT_EQ(run->Context().CurrentType(), c.currentType);
    }
}

TEST_F(Transfers, AbortedListingFinishesWithFalse) {
    ASSERT_TRUE(Connect());
    server.Expect("PASV").Pasv();
    server.Expect("LIST").Line("150 go").DataSend("one\r\ntwo\r\n");  // and the data connection stays open
    server.Expect("ABOR").DataClose().Reply("426 aborted\r\n226 abort ok\r\n");
    std::atomic<bool> aborted{false};
    views.SetHook([&](const RecordedCall& call) {
        if (call.op == "AddListingLine" && !aborted.exchange(true)) {
            session->Abort();
        }
    });
    EXPECT_EQ(FtpTransfers::ListDirectory(Context(), "/pub"), 226);
    views.SetHook(nullptr);
    EXPECT_EQ(Texts("AddListingLine"), Lines{"one"});
    EXPECT_EQ(Texts("FinishListing"), Lines{"0"});
    EXPECT_EQ(Log(), (Lines{"LISTing /pub", "<PASV", kPasvLine, "<LIST", kConnected, ">150 go", "<ABOR",
                            "Transfer terminated", "... received 3 bytes in 0 seconds", ">426 aborted",
                            ">226 abort ok"}));
    EXPECT_FALSE(Context().AbortRequested());
    EXPECT_FALSE(Context().Abort().Transferring());
}

// Escape during the directory change that precedes a listing: the listing's data connection is still made
// and its replies read, so none of them is left to answer a later command.
TEST_F(Transfers, AbortBeforeTheListingStillReadsItsRepliesAndFinishesWithFalse) {
    ASSERT_TRUE(Connect());
    server.Expect("PASV").Pasv();
    server.Expect("LIST").Line("150 go").DataOpen().DataClose().Line("226 done");
    session->Abort();  // nothing is transferring or queued: only the flag is set
    EXPECT_EQ(FtpTransfers::ListDirectory(Context(), "/pub"), 226);
    EXPECT_EQ(Texts("FinishListing"), Lines{"0"});
    EXPECT_EQ(Log(), (Lines{"LISTing /pub", "<PASV", kPasvLine, "<LIST", kConnected, ">150 go",
                            "... received 0 bytes in 0 seconds", ">226 done"}));
    EXPECT_FALSE(Context().AbortRequested());
}

TEST_F(Transfers, SendsOneTypeCommandPerChange) {
    ASSERT_TRUE(Connect());
    const auto file = [](const char* name) { return RemoteEntry(name, 1, kListedTime); };
    server.Expect("TYPE I").Line("200 binary");
    ScriptRetr("a", "1");
    ScriptRetr("b", "2");
    EXPECT_EQ(Get({file("a"), file("b")}, kImageType), 226);
    ScriptRetr("c", "3");
    EXPECT_EQ(Get({file("c")}, kImageType), 226);
    server.Expect("TYPE A N").Line("200 ascii");
    server.Expect("PASV").Pasv();
    server.Expect("LIST").Line("150 go").DataOpen().DataClose().Line("226 done");
    EXPECT_EQ(FtpTransfers::ListDirectory(Context(), "/"), 226);
    ScriptRetr("d", "4");
    EXPECT_EQ(Get({file("d")}, kAsciiType), 226);
    server.Expect("TYPE I").Line("504 not today");
    EXPECT_EQ(Get({file("e")}, kImageType), 504);  // nothing else is tried
    EXPECT_EQ(Context().CurrentType(), kAsciiType);
    ASSERT_TRUE(server.WaitForScriptDone());
    EXPECT_EQ(Commands(), (Lines{"TYPE I", "PASV", "RETR a", "PASV", "RETR b", "PASV", "RETR c", "TYPE A N",
                                 "PASV", "LIST", "PASV", "RETR d", "TYPE I"}));
    EXPECT_EQ(FolderNames(), (std::set<std::string>{"a", "b", "c", "d"}));
    EXPECT_TRUE(server.Problems().empty());
}

TEST_F(Transfers, ImageDownloadWritesEveryByteAsItCameAndTheListedTime) {
    ASSERT_TRUE(Connect());
    const std::string bytes = TempDir::PatternBytes(40000);  // CR, LF and NUL included
    server.Expect("TYPE I").Line("200 binary");
    ScriptRetr("data.bin", bytes);
    EXPECT_EQ(Get({RemoteEntry("data.bin", 40000, kListedTime)}, kImageType), 226);
    EXPECT_EQ(folder.ReadFile("data.bin"), bytes);
    EXPECT_EQ(ModifiedTime(folder / "data.bin"), kListedTime);
    EXPECT_EQ(Log(), (Lines{"<TYPE I", ">200 binary", "GETing data.bin -> " + Folder(), "<PASV", kPasvLine,
                            "<RETR data.bin", kConnected, ">150 go", "... received 40000 bytes in 0 seconds",
                            ">226 ok"}));
    EXPECT_EQ(Texts("SetStatus"), Lines{"GETing data.bin"});
    EXPECT_EQ(Texts("ClearStatus").size(), 2u);
    const Lines progress = Texts("SetProgress");
    ASSERT_GE(progress.size(), 3u);
    EXPECT_EQ(progress[progress.size() - 3], "100");
    EXPECT_EQ(progress[progress.size() - 2], "0");
    EXPECT_EQ(progress.back(), "0");
    for (std::size_t i = 1; i + 2 < progress.size(); ++i) {
        EXPECT_LE(std::stoi(progress[i - 1]), std::stoi(progress[i]));
    }
}

// ASCII type: LF line ends here, CR LF on the network, however the data is cut (TCP segments on the way
// in, 16384-byte reads of the file on the way out); Image type moves every byte as it is. The statistics
// count the bytes on the network, the progress gets to 100 and no further, an upload reports the local
// length.
TEST(TransfersText, AsciiConvertsLineEndsAndImageKeepsEveryByte) {
    const std::string line(16383, 'x');
    const std::string block = line + 'x';
    std::string crLfs;
    for (int i = 0; i < 40000; ++i) {
        crLfs += "\r\n";
    }
    struct Case {
        const char* what;
        bool upload;
        int type;
        std::vector<std::string> network;  // a download's TCP segments; all an upload sends
        std::string local;
    };
    const std::vector<Case> cases = {
        {"get: CR LF split between segments",
         false,
         kAsciiType,
         {line + "\r", "\nnext\r\n"},
         line + "\nnext\n"},
        {"get: CR, then another byte in the next segment", false, kAsciiType, {"a\r", "b\r\n"}, "a\rb\n"},
        {"get: lone CR at the end, in a segment of its own", false, kAsciiType, {"a\r\nb", "\r"}, "a\nb\r"},
        {"get: mixed line ends",
         false,
         kAsciiType,
         {"one\r\ntwo\nthree\rfour\r\n"},
         "one\ntwo\nthree\rfour\n"},
        {"get: empty file", false, kAsciiType, {}, ""},
        {"get image: kept", false, kImageType, {line + "\r", "\nb\nc\r"}, line + "\r\nb\nc\r"},
        {"get image: empty file", false, kImageType, {}, ""},
        {"put: LF lines", true, kAsciiType, {"one\r\ntwo\r\n"}, "one\ntwo\n"},
        {"put: CR LF lines", true, kAsciiType, {"one\r\ntwo\r\n"}, "one\r\ntwo\r\n"},
        {"put: mixed, lone CR at the end", true, kAsciiType, {"a\r\nb\r\nc\rd\r\n\r"}, "a\r\nb\nc\rd\n\r"},
        {"put: CR LF split between reads", true, kAsciiType, {line + "\r\nend"}, line + "\r\nend"},
        {"put: LF first in the next read", true, kAsciiType, {block + "\r\nend"}, block + "\nend"},
        {"put: nothing but LFs", true, kAsciiType, {crLfs}, std::string(40000, '\n')},
        {"put: empty file", true, kAsciiType, {""}, ""},
        {"put image: kept", true, kImageType, {"a\r\nb\nc\r"}, "a\r\nb\nc\r"},
        {"put image: empty file", true, kImageType, {""}, ""},
    };
    for (const Case& c : cases) {
        std::string network;
        for (const auto& piece : c.network) {
            network += piece;
        }
        // A whole file is no failure to show.
        SessionRow row = {.what = c.what, .script = {Step::Pasv()}, .results = {226}, .failures = {}};
        if (c.type == kImageType) {
            row.script.insert(row.script.begin(), {"TYPE I", "200 ok"});
        }
        if (c.upload) {
            row.script.push_back({"STOR f", "150 go", Step::Receive("226 stored")});
            row.local = {{"f", c.local}};
            row.run = {Run::Put({"f"}, c.type)};
            row.received = {network};
            row.logged = {"... sent " + std::to_string(network.size()) + " bytes in 0 seconds"};
        } else {
            row.script.push_back({"RETR f", "150 go", Step::Segments(c.network, "226 ok")});
            row.run = {
                Run::Get({RemoteEntry("f", static_cast<std::int32_t>(network.size()), kListedTime)}, c.type)};
            row.files = {{"f", c.local}};
            row.logged = {"... received " + std::to_string(network.size()) + " bytes in 0 seconds"};
        }
        const auto run = RunRow(row);
        SCOPED_TRACE(c.what);
        if (c.upload) {
            const Lines uploaded = run->Texts("UploadedFile");
            ASSERT_EQ(uploaded.size(), 1u);
            EXPECT_EQ(uploaded[0].rfind("f " + std::to_string(c.local.size()) + " ", 0), 0u) << uploaded[0];
        }
        const Lines progress = run->Texts("SetProgress");
        EXPECT_EQ(std::find(progress.begin(), progress.end(), "100") != progress.end(), !network.empty());
        for (const auto& percent : progress) {
            EXPECT_LE(std::stoi(percent), 100);
        }
    }
}

TEST_F(Transfers, LinkDownloadsItsTargetUnderTheTargetsLastComponent) {
    ASSERT_TRUE(Connect());
    ScriptRetr("/pub/a/file.txt", "linked");
    const auto link = RemoteEntry::FromListingLine("lrwxrwxrwx 1 u g 15 Jan  5  2020 lnk -> /pub/a/file.txt");
    ASSERT_EQ(link.Kind(), EntryKind::Link);
    const std::string folderText = Folder() + "/";  // already ends in '/': no second one
    EXPECT_EQ(Get({link}, {0}, kAsciiType, folderText), 226);
    EXPECT_EQ(Messages().front(), "GETing /pub/a/file.txt -> " + folderText);
    EXPECT_EQ(Texts("SetStatus"), Lines{"GETing file.txt"});
    EXPECT_EQ(FolderNames(), std::set<std::string>{"file.txt"});
    EXPECT_EQ(folder.ReadFile("file.txt"), "linked");
}

TEST_F(Transfers, RefusedRetrGoesOnWithTheNextEntry) {
    ASSERT_TRUE(Connect());
    server.Expect("PASV").Pasv();
    server.Expect("RETR gone").Line("550 No such file");
    ScriptRetr("here", "data");
    EXPECT_EQ(Get({RemoteEntry("gone", 5, kListedTime), RemoteEntry("here", 4, kListedTime)}), 226);
    EXPECT_EQ(Log(),
              (Lines{"GETing gone -> " + Folder(), "<PASV", kPasvLine, "<RETR gone", kConnected,
                     ">550 No such file", "GETing here -> " + Folder(), "<PASV", kPasvLine, "<RETR here",
                     kConnected, ">150 go", "... received 4 bytes in 0 seconds", ">226 ok"}));
    // The refused entry's file was made before the server answered: empty, with the listed time.
    EXPECT_EQ(folder.ReadFile("gone"), "");
    EXPECT_EQ(ModifiedTime(folder / "gone"), kListedTime);
    EXPECT_EQ(folder.ReadFile("here"), "data");
}

TEST_F(Transfers, Reply421EndsTheRequest) {
    const std::vector<SessionRow> rows = {
        {.what = "preliminary", .script = {Step::Pasv(), {"RETR a", "421 Service closing"}}},
        {.what = "final",
         .script = {Step::Pasv(), {"RETR a", "150 go", Step::Send("xy", "421 Service closing")}}},
    };
    for (SessionRow row : rows) {
        row.run = {Run::Get({RemoteEntry("a", 2, kListedTime), RemoteEntry("b", 2, kListedTime)})};
        row.results = {421};
        const auto run = RunRow(row);
        SCOPED_TRACE(row.what);
        EXPECT_EQ(ModifiedTime(run->folder / "a") == kListedTime, row.what == std::string("final"));
        EXPECT_FALSE(fs::exists(run->folder / "b"));
    }
}

// Through the worker: the 421 ends the session too, without QUIT and without the rest of the selection.
TEST(TransfersWorker, Preliminary421EndsTheSession) {
    FakeFtpServer server;
    RecordingViews views;
    TempDir dir;
    server.Expect("USER anonymous").Line("230 in");
    server.Expect("PASV").Pasv();
    server.Expect("RETR a").Line("421 Service closing");
    views.SetEntries({RemoteEntry("a", 1, kListedTime), RemoteEntry("b", 1, kListedTime)});
    TestSessionOptions options;
    options.handlerOverride = [](FtpContext& session, FtpRequest& request) {
        return request.kind == FtpRequestKind::Get ? FtpTransfers::GetFiles(session, request) : 250;
    };
    auto handle = FtpSessionTesting::Start(ServerUrl(server), views.Views(), options);
    ASSERT_TRUE(views.WaitFor("ResetForSession"));
    std::unique_ptr<FtpRequestObject> selection =
        std::make_unique<SelectionIndexes>(std::vector<std::int32_t>{0, 1});
    ASSERT_TRUE(handle->Enqueue(FtpRequestKind::Get, dir.Path().string(), selection, kAsciiType));
    ASSERT_TRUE(handle->WaitEnded(10s));
    EXPECT_EQ(server.Commands(), (Lines{"USER anonymous", "FEAT", "PASV", "RETR a"}));
    EXPECT_EQ(views.Calls().back().op, "RemoteResetAfterSession");
}

TEST_F(Transfers, UnsafeNamesAreRefusedAndTheNextEntryGoesOn) {
    ASSERT_TRUE(Connect());
    const auto file = [](std::string name) { return RemoteEntry(std::move(name), 1, kListedTime); };
    const auto link = [](const std::string& target) {
        return RemoteEntry::FromListingLine("lrwxrwxrwx 1 u g 4 Jan  5  2020 l -> " + target);
    };
    const std::string local = "\": not a file name in the folder";
    const std::string controls = "\": it holds a CR, LF or NUL character";
    struct Case {
        RemoteEntry entry;
        std::string message;
    };
    // Names holding '/' are stored under '_' instead (see NamesAreStoredAsUtf8WithoutSlashesOrControls).
    const std::vector<Case> cases = {
        {file("."), "... Refused local name \"." + local},
        {file(".."), "... Refused local name \".." + local},
        {file(""), "... Refused local name \"" + local},
        {file(std::string("nul\0name", 8)), "... Refused remote name \"nul\\x00name" + controls},
        {link(".."), "... Refused local name \".." + local},
        {link("/etc/"), "... Refused local name \"" + local},
        {file("evil\r\nDELE precious"), "... Refused remote name \"evil\\r\\nDELE precious" + controls},
        {link("/x/a\nb"), "... Refused remote name \"/x/a\\nb" + controls},
        {file(std::string(506, 'n')), "... Refused remote name \"" + std::string(506, 'n') +
                                          "\": the command would be longer than 510 characters"},
    };
    std::vector<RemoteEntry> entries;
    Lines messages;
    for (const Case& c : cases) {
        entries.push_back(c.entry);
        messages.push_back(c.message);
    }
    // A FIFO of the entry's name is nothing to write a download into; with no reader it must not hold
    // the worker either.
    ASSERT_EQ(::mkfifo((folder / "fifo").c_str(), 0600), 0);
    entries.push_back(file("fifo"));
    messages.push_back("GETing fifo -> " + Folder());
    messages.push_back("... Open failed on " + (folder / "fifo").string());
    entries.push_back(file("good"));
    ScriptRetr("good", "g");
    EXPECT_EQ(Get(entries), 226);
    Lines got = Messages();
    ASSERT_GE(got.size(), messages.size());
    EXPECT_EQ(Lines(got.begin(), got.begin() + static_cast<long>(messages.size())), messages);
    ASSERT_TRUE(server.WaitForScriptDone());
    EXPECT_EQ(Commands(), (Lines{"PASV", "RETR good"}));
    EXPECT_EQ(FolderNames(), (std::set<std::string>{"fifo", "good"}));
    EXPECT_FALSE(fs::exists(folder.Path().parent_path() / "escape"));

    // The result of a request that ends on a refused entry says so.
    EXPECT_EQ(Get({file("..")}), FtpTransfers::kOpenFailed);
    EXPECT_EQ(Get({file("x\ry")}), FtpSession::kCommandRefused);
}

// The file a download writes has the server's name as UTF-8 (Latin-1 when it is not UTF-8), with '/' and
// control characters as '_'; RETR still sends the server's bytes.
TEST_F(Transfers, NamesAreStoredAsUtf8WithoutSlashesOrControls) {
    ASSERT_TRUE(Connect());
    const struct {
        std::string serverName;
        std::string localName;
    } cases[] = {
        {"../escape", ".._escape"},       {"a/b", "a_b"},
        {"tab\tname", "tab_name"},        {"caf\xE9", "caf\xC3\xA9"},
        {"\xD0\xB0.txt", "\xD0\xB0.txt"},
    };
    std::vector<RemoteEntry> entries;
    std::set<std::string> stored;
    Lines retrieved;
    for (const auto& c : cases) {
        entries.emplace_back(c.serverName, 1, kListedTime);
        ScriptRetr(c.serverName, "x");
        stored.insert(c.localName);
        retrieved.insert(retrieved.end(), {"PASV", "RETR " + c.serverName});
    }
    EXPECT_EQ(Get(entries), 226);
    ASSERT_TRUE(server.WaitForScriptDone());
    EXPECT_EQ(Commands(), retrieved);
    EXPECT_EQ(FolderNames(), stored);
    EXPECT_FALSE(fs::exists(folder.Path().parent_path() / "escape"));
}

TEST_F(Transfers, UploadSendsTheFileAsItIsAndReportsItsLocalLengthAndTime) {
    ASSERT_TRUE(Connect());
    const std::string bytes = TempDir::PatternBytes(40000);
    ASSERT_TRUE(folder.WriteFile("up.bin", bytes));
    const fs::path path = folder / "up.bin";
    const timespec times[2] = {{0, UTIME_OMIT}, {kListedTime, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    server.Expect("TYPE I").Line("200 binary");
    ScriptStor("up.bin");
    EXPECT_EQ(Put({path.string()}, kImageType), 226);
    ASSERT_TRUE(server.WaitForDataReceived());
    EXPECT_EQ(server.DataReceived(), Lines{bytes});
    EXPECT_EQ(Log(),
              (Lines{"<TYPE I", ">200 binary", "PUTing " + path.string(), "<PASV", kPasvLine, "<STOR up.bin",
                     kConnected, ">150 go", "... sent 40000 bytes in 0 seconds", ">226 stored"}));
    EXPECT_EQ(Texts("SetStatus"), (Lines{"PUTing ...", "PUTing up.bin"}));
    // One step per 16384-byte block, then 0 after the file and after the request.
    EXPECT_EQ(Texts("SetProgress"), (Lines{"40", "81", "100", "0", "0"}));
    EXPECT_EQ(Texts("UploadedFile"), Lines{"up.bin 40000 " + std::to_string(kListedTime)});
}

TEST_F(Transfers, UploadSkipsFilesThatCannotBeSent) {
    ASSERT_TRUE(Connect());
    const fs::path missing = folder / "missing";
    const fs::path directory = folder / "dir";
    fs::create_directory(directory);
    const fs::path newline = folder / "bad\nname";
    ASSERT_TRUE(TempDir::WriteFileAt(newline, "x"));
    const fs::path good = folder / "good";
    ASSERT_TRUE(TempDir::WriteFileAt(good, "fine"));
    ScriptStor("good");
    EXPECT_EQ(Put({missing.string(), directory.string(), newline.string(), good.string()}), 226);
    const Lines messages = Messages();
    ASSERT_GE(messages.size(), 6u);
    EXPECT_EQ(Lines(messages.begin(), messages.begin() + 6),
              (Lines{"PUTing " + missing.string(), "... Open failed on " + missing.string(),
                     "PUTing " + directory.string(), "... Open failed on " + directory.string(),
                     "... Refused local name \"bad\\nname\": it holds a CR, LF or NUL character",
                     "PUTing " + good.string()}));
    ASSERT_TRUE(server.WaitForScriptDone());
    EXPECT_EQ(Commands(), (Lines{"PASV", "STOR good"}));
    EXPECT_EQ(server.DataReceived(), Lines{"fine"});
    EXPECT_EQ(Texts("UploadedFile").size(), 1u);
    // Each file that stayed is shown on the page, the last one last.
    EXPECT_EQ(
        views.Failures(),
        (Lines{"Remote: Could not upload " + missing.string() + ": Open failed on " + missing.string(),
               "Remote: Could not upload " + directory.string() + ": Open failed on " + directory.string(),
               "Remote: Could not upload " + (folder / "bad\\nname").string() +
                   ": Refused local name \"bad\\nname\": it holds a CR, LF or NUL character"}));

    EXPECT_EQ(Put({missing.string()}), FtpTransfers::kOpenFailed);
}

TEST_F(Transfers, StatisticsAreTimedWithTheTickCount) {
    struct Case {
        std::uint32_t start;
        std::uint32_t end;
        std::string message;
    };
    const std::vector<Case> cases = {
        {1000, 2000, "... received 2000 bytes in 1 seconds (2 KB/s)"},
        {0xFFFFFE0Cu, 500, "... received 2000 bytes in 1 seconds (2 KB/s)"},  // the tick count wrapped
        {7, 7, "... received 2000 bytes in 0 seconds"},
        {0, 3, "... received 2000 bytes in 0.003 seconds (666.667 KB/s)"},
    };
    // The message keeps its decimal point whatever the locale.
    ForEachLocale([&](const char*) {
        for (const Case& c : cases) {
            EngineSession t;
            TempDir dir;
            TestSessionOptions options;
            std::atomic<int> calls{0};
            options.tickSource = [&] { return calls++ == 0 ? c.start : c.end; };
            ASSERT_TRUE(t.Connect(options));
            t.server.Expect("PASV").Pasv();
            t.server.Expect("RETR f").Line("150 go").DataSend(Zeros(2000)).DataClose().Line("226 ok");
            t.views.SetEntries({RemoteEntry("f", 2000, kListedTime)});
            FtpRequest request;
            request.kind = FtpRequestKind::Get;
            request.text = dir.Path().string();
            request.object = std::make_unique<SelectionIndexes>(std::vector<std::int32_t>{0});
            EXPECT_EQ(FtpTransfers::GetFiles(t.Context(), request), 226);
            const Lines messages = t.Messages();
            EXPECT_EQ(messages.back(), c.message);
            EXPECT_EQ(calls, 2);
        }
    });
}

TEST_F(Transfers, ProgressNeverPassesOneHundred) {
    ASSERT_TRUE(Connect());
    server.SetSegmentPause(5ms);
    server.Expect("PASV").Pasv();
    server.Expect("RETR zero")
        .Line("150 go")
        .DataSegments({Zeros(1000), Zeros(1000), Zeros(1000)})
        .DataClose()
        .Line("226 ok");
    server.Expect("PASV").Pasv();
    server.Expect("RETR small")
        .Line("150 go")
        .DataSegments({Zeros(1000), Zeros(1000)})
        .DataClose()
        .Line("226 ok");
    EXPECT_EQ(Get({RemoteEntry("zero", 0, kListedTime), RemoteEntry("small", 1000, kListedTime)}), 226);
    const Lines progress = Texts("SetProgress");
    ASSERT_FALSE(progress.empty());
    int hundreds = 0;
    for (const auto& percent : progress) {
        EXPECT_LE(std::stoi(percent), 100);
        hundreds += percent == "100";
    }
    EXPECT_GE(hundreds, 2);
    EXPECT_EQ(folder.ReadFile("zero")->size(), 3000u);
}

TEST_F(Transfers, SilentDataConnectionTimesOut) {
    TestSessionOptions options = StillClock();
    options.dataTimeoutMs = 300;
    ASSERT_TRUE(Connect(options));
    server.Expect("PASV").Pasv();
    server.Expect("RETR slow").Line("150 go").DataSend("abc").Delay(900ms).Line("426 too slow");
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(Get({RemoteEntry("slow", 10, kListedTime)}), 426);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
    const Lines log = Log();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(Lines(log.end() - 4, log.end()),
              (Lines{">150 go", "... [DATA] Receive failed, WinSock err = WSAETIMEDOUT",
                     "... received 3 bytes in 0 seconds", ">426 too slow"}));
    EXPECT_EQ(folder.ReadFile("slow"), "abc");
}

TEST_F(Transfers, AbortStopsTheBlockInHandAndStartsNoFurtherEntry) {
    ASSERT_TRUE(Connect());
    server.Expect("PASV").Pasv();
    server.Expect("RETR big").Line("150 go").DataSend(Zeros(8 << 20));  // left open
    server.Expect("ABOR").DataClose().Reply("426 aborted\r\n226 abort ok\r\n");
    std::atomic<bool> aborted{false};
    views.SetHook([&](const RecordedCall& call) {
        if (call.op == "SetProgress" && !aborted.exchange(true)) {
            session->Abort();
        }
    });
    EXPECT_EQ(Get({RemoteEntry("big", 8 << 20, kListedTime), RemoteEntry("next", 1, kListedTime)}), 226);
    views.SetHook(nullptr);
    ASSERT_TRUE(server.WaitForScriptDone());
    EXPECT_EQ(Commands(), (Lines{"PASV", "RETR big", "ABOR"}));
    EXPECT_EQ(server.UrgentOffsets().size(), 1u);
    EXPECT_LT(fs::file_size(folder / "big"), std::uintmax_t{8} << 20);
    EXPECT_EQ(ModifiedTime(folder / "big"), kListedTime);
    EXPECT_FALSE(fs::exists(folder / "next"));
    const Lines log = Log();
    ASSERT_GE(log.size(), 5u);
    EXPECT_EQ(log[log.size() - 5], "<ABOR");
    EXPECT_EQ(log[log.size() - 4], "Transfer terminated");
    EXPECT_TRUE(
        std::regex_match(log[log.size() - 3], std::regex(R"(\.\.\. received \d+ bytes in 0 seconds)")));
    EXPECT_EQ(log[log.size() - 2], ">426 aborted");
    EXPECT_EQ(log.back(), ">226 abort ok");
}

TEST_F(Transfers, AbortedUploadSendsAborAndStartsNoFurtherFile) {
    ASSERT_TRUE(Connect());
    ASSERT_TRUE(folder.WriteFile("big", Zeros(1 << 20)));
    ASSERT_TRUE(folder.WriteFile("next", "n"));
    server.Expect("PASV").Pasv();
    server.Expect("STOR big").Line("150 go").DataReceiveAll();
    server.Expect("ABOR").Reply("426 aborted\r\n226 abort ok\r\n");
    std::atomic<bool> aborted{false};
    views.SetHook([&](const RecordedCall& call) {
        if (call.op == "SetProgress" && !aborted.exchange(true)) {
            session->Abort();
        }
    });
    EXPECT_EQ(Put({(folder / "big").string(), (folder / "next").string()}), 226);
    views.SetHook(nullptr);
    ASSERT_TRUE(server.WaitForScriptDone());
    EXPECT_EQ(Commands(), (Lines{"PASV", "STOR big", "ABOR"}));
    // The server holds at most a part of it: the Remote view is not told of a whole file.
    EXPECT_EQ(Texts("UploadedFile"), Lines{});
    const Lines log = Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(Lines(log.end() - 2, log.end()), (Lines{">426 aborted", ">226 abort ok"}));
}

// The child of a death test: the file size limit makes the second write of "big" fail with EFBIG, as a
// full disk would; the other entry is downloaded whole.
int DiskFullChild() {
    int failures = 0;
    const auto check = [&](bool ok, const std::string& what) {
        if (!ok) {
            std::cerr << "FAILED: " << what << "\n";
            ++failures;
        }
    };
    {
        EngineSession t;
        TempDir dir;
        check(t.Connect(), "login");
        const rlimit limit{20000, 20000};
        check(::setrlimit(RLIMIT_FSIZE, &limit) == 0, "setrlimit");
        ::signal(SIGXFSZ, SIG_IGN);
        t.server.Expect("PASV").Pasv();
        t.server.Expect("RETR small").Line("150 go").DataSend("ok").DataClose().Line("226 ok");
        t.server.Expect("PASV").Pasv();
        t.server.Expect("RETR big").Line("150 go").DataSend(Zeros(200000)).DataClose().Line("226 ok");
        t.views.SetEntries({RemoteEntry("small", 2, kListedTime), RemoteEntry("big", 200000, kListedTime)});
        FtpRequest request;
        request.kind = FtpRequestKind::Get;
        request.text = dir.Path().string();
        request.object = std::make_unique<SelectionIndexes>(std::vector<std::int32_t>{0, 1});
        const int result = FtpTransfers::GetFiles(t.Context(), request);
        check(result == FtpTransfers::kLocalFailure, "result " + std::to_string(result));
        const Lines log = t.Log();
        const std::string failed =
            "... Write failed on " + (dir / "big").string() + ": " + std::strerror(EFBIG);
        const auto at = std::find(log.begin(), log.end(), failed);
        check(at != log.end(), "no '" + failed + "'");
        check(at != log.end() && at[-1] == ">150 go", "the failure comes in the data loop");
        check(at != log.end() && log.end() - at == 3 &&
                  std::regex_match(at[1], std::regex(R"(\.\.\. received \d+ bytes in 0 seconds)")) &&
                  at[2] == ">226 ok",
              "statistics and the final reply follow");
        check(dir.ReadFile("small") == "ok", "small downloaded");
        check(fs::file_size(dir / "big") <= 20000, "big stops at the limit");
        check(ModifiedTime(dir / "big") == kListedTime, "big still has the listed time");
        if (failures > 0) {
            for (const auto& line : log) {
                std::cerr << "  " << line << "\n";
            }
        }
    }
    return failures;
}

TEST(TransfersDiskFull, WriteFailureEndsThatFileAndIsReported) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(DiskFullChild() == 0 ? 0 : 1), ::testing::ExitedWithCode(0), "");
}

}  // namespace

TEST(TransfersType, AsciiFallsBackToPlainTypeAWhenTheFormIsRefused) {
    EngineSession t;
    ASSERT_TRUE(t.Connect());
    t.Context().SetCurrentType(kImageType);
    t.server.Expect("TYPE A N").Line("504 Unsupported type");
    t.server.Expect("TYPE A").Line("200 Type set to: ASCII.");
    EXPECT_EQ(FtpTransfers::SelectType(t.Context(), kAsciiType), 200);
    EXPECT_EQ(t.Context().CurrentType(), kAsciiType);
    // Acknowledged once: the next ASCII transfer sends nothing.
    EXPECT_EQ(FtpTransfers::SelectType(t.Context(), kAsciiType), 200);
    ASSERT_TRUE(t.server.WaitForScriptDone());
    EXPECT_EQ(t.Commands(), (Lines{"TYPE A N", "TYPE A"}));
}
