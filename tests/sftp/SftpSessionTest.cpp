// The SFTP session through its handle against OpenSSH's server, as the pages see it through the views:
// the connection and first listing, host-key answers, the folder requests, Logoff, Stop, a server that
// dies or goes silent.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/DeletePlan.h"
#include "listing/ListingParser.h"
#include "sftp/SftpSession.h"
#include "support/RealSshServer.h"
#include "support/RecordingViews.h"
#include "support/SshTestKit.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr std::int64_t kFileTime = 1600000000;  // 2020-09-13 12:26:40 UTC
constexpr const char* kFileStamp = "20200913122640";

void SetTimes(const fs::path& path, std::int64_t seconds) {
    timeval times[2] = {{static_cast<time_t>(seconds), 0}, {static_cast<time_t>(seconds), 0}};
    ::lutimes(path.c_str(), times);
}

// The Host page: what RecordingViews records, and the user's answer to an unknown host key.
class AnsweringHost : public HostView {
  public:
    explicit AnsweringHost(HostView& recorded) : recorded_(recorded) {}
    void ShowConnected(std::string_view text) override { recorded_.ShowConnected(text); }
    void ResetAfterSession() override { recorded_.ResetAfterSession(); }
    void PingFinished() override {}
    void ShowFailure(SessionFailure what, std::string_view reason) override {
        recorded_.ShowFailure(what, reason);
    }
    void AskCertificateTrust(const CertificateQuestion&,
                             std::function<void(CertificateTrust)> answer) override {
        answer(CertificateTrust::Cancel);
    }
    void AskHostKey(const SshHostKey& key, std::function<void(HostKeyAnswer)> answer) override {
        {
            std::lock_guard lock(mutex_);
            asked_.push_back(key.type + " " + key.fingerprint);
        }
        if (this->answer) {
            answer(*this->answer);
        }  // else never answered: the worker waits until Stop
    }
    std::vector<std::string> Asked() const {
        std::lock_guard lock(mutex_);
        return asked_;
    }
    std::optional<HostKeyAnswer> answer = HostKeyAnswer::Cancel;

  private:
    HostView& recorded_;
    mutable std::mutex mutex_;
    std::vector<std::string> asked_;
};

// One session against the test's sshd, its served folder "served" and the recorded views.
class SessionRun {
  public:
    explicit SessionRun(RealSshServer& server) : server_(server) {
        served = fs::canonical(server.Dir().Path()) / "served";
        fs::create_directories(served);
        options.keepAliveIdleMs = 0;
        options.silenceTimeoutMs = 10000;
        SshConnectOptions connect = OptionsFor(server);
        connect.keyFiles = {server.MakeClientKey("id_session", "ed25519")};
        options.connect = connect;
    }
    ~SessionRun() {
        if (handle) {
            handle->Stop();
            handle->WaitEnded(10s);
        }
    }

    void TrustServer() {
        TempDir::WriteFileAt(options.connect->userKnownHosts, server_.KnownHostsLine("ed25519") + "\n");
    }
    // Starts the session on `path` (as the URL holds it, without its first '/').
    void Start(std::string path) {
        FtpUrl url;
        url.scheme = "sftp";
        url.host = "127.0.0.1";
        url.port = std::to_string(options.connect->port);
        url.user = server_.User();
        url.path = std::move(path);
        const SessionViews recorded = views.Views();
        handle = SftpSession::Start(
            url, SessionViews{recorded.status, recorded.log, host, recorded.remote, recorded.transfers},
            options);
    }
    // Starts in the served folder and waits for its listing.
    bool StartListed() {
        TrustServer();
        Start(served.relative_path().string());
        return views.WaitFor("FinishListing", {}, 10s);
    }
    bool Request(FtpRequestKind kind, std::string text = {}, std::unique_ptr<FtpRequestObject> object = {},
                 int value = 0) {
        return handle->Enqueue(kind, text, object, value);
    }
    // Logs off and waits for the end.
    bool End() { return Request(FtpRequestKind::Logoff) && handle->WaitEnded(10s); }
    // Everything below the served folder: "dir a", "file a/b <contents>", "link a/l".
    std::vector<std::string> Tree() const {
        std::vector<std::string> lines;
        for (auto it = fs::recursive_directory_iterator(served); it != fs::recursive_directory_iterator();
             ++it) {
            const std::string name = fs::relative(it->path(), served).string();
            if (it->is_symlink()) {
                lines.push_back("link " + name);
            } else if (it->is_directory()) {
                lines.push_back("dir " + name);
            } else {
                lines.push_back("file " + name + " " + TempDir::ReadFileAt(it->path()).value_or("?"));
            }
        }
        std::sort(lines.begin(), lines.end());
        return lines;
    }
    std::vector<std::string> Sorted(std::string_view op) const {
        std::vector<std::string> texts = views.Texts(op);
        std::sort(texts.begin(), texts.end());
        return texts;
    }

    fs::path served;
    SftpSessionOptions options;
    RecordingViews views;
    AnsweringHost host{views.Views().host};
    std::shared_ptr<FtpSessionHandle> handle;

  private:
    RealSshServer& server_;
};

int CountStartingWith(const std::vector<std::string>& lines, std::string_view prefix) {
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.compare(0, prefix.size(), prefix) == 0;
    }));
}

TEST(SftpSession, ConnectsAndListsTheUrlsFolderWithExactTimesSizesAndModes) {
    RealSshServer server;
    WISP_REQUIRE_SSH_SERVER(server);
    SessionRun run(server);
    TempDir::WriteFileAt(run.served / "five.txt", "12345");
    ::chmod((run.served / "five.txt").c_str(), 0640);
    SetTimes(run.served / "five.txt", kFileTime);
    fs::create_directory(run.served / "sub");
    ::chmod((run.served / "sub").c_str(), 0750);
    SetTimes(run.served / "sub", kFileTime);
    fs::create_symlink("five.txt", run.served / "link");
    SetTimes(run.served / "link", kFileTime);

    ASSERT_TRUE(run.StartListed());
    EXPECT_EQ(run.views.Texts("ShowConnected"),
              std::vector<std::string>{"sftp://127.0.0.1 [127.0.0.1:" + std::to_string(server.Port()) + "]"});
    EXPECT_EQ(run.views.Texts("EnterDirectory"), std::vector<std::string>{run.served.string()});
    const std::string stamp = std::string("modify=") + kFileStamp + ";";
    EXPECT_EQ(run.Sorted("AddListingLine"),
              (std::vector<std::string>{"type=OS.unix=symlink;size=8;" + stamp + "UNIX.mode=0777; link",
                                        "type=dir;" + stamp + "UNIX.mode=0750; sub",
                                        "type=file;size=5;" + stamp + "UNIX.mode=0640; five.txt"}));
    EXPECT_EQ(run.views.Texts("FinishListing"), std::vector<std::string>{"1"});
    // What the Remote page makes of the lines.
    for (const std::string& line : run.views.Texts("AddListingLine")) {
        const std::optional<RemoteEntry> entry = ListingParser::Parse(line);
        ASSERT_TRUE(entry) << line;
        EXPECT_EQ(entry->Time(), kFileTime) << line;
        EXPECT_TRUE(entry->ExactTime()) << line;
        if (entry->Name() == "five.txt") {
            EXPECT_EQ(entry->Size(), 5);
            EXPECT_EQ(PermissionsText(entry->Permissions()), "rw-r-----");
        }
        if (entry->Name() == "link") {
            EXPECT_EQ(entry->Kind(), EntryKind::Link);
            EXPECT_EQ(entry->TargetPath(), "link");
        }
    }
    // What a user can check, each once.
    const std::vector<std::string> messages = run.views.Messages();
    EXPECT_EQ(CountStartingWith(messages, "Connected: SSH-2.0-OpenSSH"), 1);
    EXPECT_EQ(CountStartingWith(messages, "Host key: ssh-ed25519 " + server.HostKeyFingerprint("ed25519")),
              1);
    EXPECT_EQ(CountStartingWith(messages, "Logged in as " + server.User() + " with publickey ("), 1);
    EXPECT_EQ(CountStartingWith(messages, "SFTP version 3"), 1);

    ASSERT_TRUE(run.End());
    EXPECT_TRUE(run.views.Failures().empty());
    const std::vector<RecordedCall> calls = run.views.Calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2].op, "HostResetAfterSession");
    EXPECT_EQ(calls.back().op, "RemoteResetAfterSession");
    EXPECT_FALSE(run.handle->Enqueue(FtpRequestKind::ChangeDir));
}

struct FirstFolderRow {
    const char* path;
    const char* first;
};

TEST(SftpSession, TheUrlsPathIsAbsoluteAndTildeIsTheLoginFolder) {
    const FirstFolderRow rows[] = {
        {"", ""}, {"~", ""}, {"~/pub", "pub"}, {"srv/ftp", "/srv/ftp"}, {"/srv", "/srv"}};
    for (const FirstFolderRow& row : rows) {
        EXPECT_EQ(SftpSession::FirstFolder(row.path), row.first) << row.path;
    }
}

struct HostKeyRow {
    const char* name;
    bool known;
    bool changed;
    HostKeyAnswer answer;
    bool asked;
    bool connected;
    // The Host page's failure starts with this; empty: none.
    const char* failure;
    bool savedAfter;
};

const HostKeyRow kHostKeyRows[] = {
    {"UnknownCancel", false, false, HostKeyAnswer::Cancel, true, false,
     "Connect: Host key of [127.0.0.1]:", false},
    {"UnknownConnectOnce", false, false, HostKeyAnswer::ConnectOnce, true, true, "", false},
    {"UnknownAlways", false, false, HostKeyAnswer::Always, true, true, "", true},
    {"ChangedIsRefusedUnasked", true, true, HostKeyAnswer::Always, false, false,
     "Connect: WARNING: the host key of [127.0.0.1]:", true},
};

class SftpSessionHostKey : public testing::TestWithParam<HostKeyRow> {};

TEST_P(SftpSessionHostKey, AnswerDecidesBeforeLogin) {
    const HostKeyRow& row = GetParam();
    RealSshServer server;
    WISP_REQUIRE_SSH_SERVER(server);
    SessionRun run(server);
    if (row.known) {
        run.TrustServer();
    }
    if (row.changed) {
        ASSERT_TRUE(server.ReplaceHostKeys()) << server.Error();
    }
    run.host.answer = row.answer;
    run.Start({});
    if (row.connected) {
        ASSERT_TRUE(run.views.WaitFor("FinishListing", {}, 10s));
        EXPECT_EQ(run.views.Texts("EnterDirectory"),
                  std::vector<std::string>{fs::canonical(getenv("HOME")).string()});
        ASSERT_TRUE(run.End());
    } else {
        ASSERT_TRUE(run.handle->WaitEnded(10s));
        EXPECT_EQ(run.views.Count("ShowConnected"), 0);
        EXPECT_EQ(CountStartingWith(run.views.Messages(), "Logged in as"), 0);
    }
    EXPECT_EQ(run.host.Asked().size(), row.asked ? 1u : 0u);
    if (row.asked) {
        EXPECT_EQ(run.host.Asked()[0], "ssh-ed25519 " + server.HostKeyFingerprint("ed25519"));
    }
    const std::vector<std::string> failures = run.views.Failures();
    if (*row.failure == '\0') {
        EXPECT_TRUE(failures.empty()) << failures.front();
    } else {
        ASSERT_EQ(failures.size(), 1u);
        EXPECT_EQ(failures[0].rfind(row.failure, 0), 0u) << failures[0];
    }
    std::string found;
    RealSshServer::Run({"ssh-keygen", "-F", "[127.0.0.1]:" + std::to_string(server.Port()), "-f",
                        run.options.connect->userKnownHosts},
                       &found);
    EXPECT_EQ(found.find("ssh-ed25519") != std::string::npos, row.savedAfter) << found;
}

INSTANTIATE_TEST_SUITE_P(Rows, SftpSessionHostKey, testing::ValuesIn(kHostKeyRows),
                         [](const testing::TestParamInfo<HostKeyRow>& info) {
                             return std::string(info.param.name);
                         });

// A folder request row: the served tree ("a.txt", "b.txt", folder "sub" holding "c.txt") is listed first,
// then `act` queues requests; what the pages were told and what the server's disk holds are checked
// after Logoff. Texts may hold {served}.
struct FolderRow {
    const char* name;
    std::function<void(SessionRun&)> act;
    std::vector<std::string> entered;
    std::vector<std::string> failures;
    // "op text" calls expected among the recorded ones, in order.
    std::vector<std::string> calls;
    std::vector<std::string> tree;
};

std::string Expand(std::string text, const fs::path& served) {
    for (std::size_t at; (at = text.find("{served}")) != std::string::npos;) {
        text.replace(at, 8, served.string());
    }
    return text;
}

std::vector<RemoteEntry> Listed(SessionRun& run) {
    std::vector<RemoteEntry> entries;
    for (const std::string& line : run.views.Texts("AddListingLine")) {
        entries.push_back(*ListingParser::Parse(line));
    }
    return entries;
}

int SlotOf(SessionRun& run, const std::string& name) {
    const std::vector<RemoteEntry> entries = Listed(run);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].Name() == name) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

const std::vector<std::string> kUntouched = {"dir sub", "file a.txt a", "file b.txt bb",
                                             "file sub/c.txt ccc"};

const FolderRow kFolderRows[] = {
    {"IntoAFolderAndUp",
     [](SessionRun& run) {
         run.Request(FtpRequestKind::ChangeDir, "sub");
         run.Request(FtpRequestKind::UpOneLevel);
     },
     {"{served}", "{served}/sub", "{served}"},
     {},
     {},
     kUntouched},
    {"MissingFolderIsShownAndTheSessionGoesOn",
     [](SessionRun& run) {
         run.Request(FtpRequestKind::ChangeDir, "nowhere");
         run.Request(FtpRequestKind::ChangeDir, "sub");
     },
     {"{served}", "{served}/sub"},
     {"Remote: Could not open nowhere: no such file (SSH_FX_NO_SUCH_FILE)"},
     {},
     kUntouched},
    {"AFileIsNoFolder",
     [](SessionRun& run) { run.Request(FtpRequestKind::ChangeDir, "a.txt"); },
     {"{served}"},
     {"Remote: Could not open a.txt: not a folder"},
     {},
     kUntouched},
    {"DeleteFilesOneMissing",
     [](SessionRun& run) {
         run.views.SetEntries(Listed(run));
         const int a = SlotOf(run, "a.txt");
         const int b = SlotOf(run, "b.txt");
         fs::remove(run.served / "b.txt");
         run.Request(FtpRequestKind::Delete, {},
                     std::make_unique<SelectionIndexes>(std::vector<std::int32_t>{a, b}));
     },
     {"{served}"},
     {"Remote: Could not delete b.txt: no such file (SSH_FX_NO_SUCH_FILE)"},
     {"LogMessage ... DELETEd a.txt"},
     {"dir sub", "file sub/c.txt ccc"}},
    {"NewFolder",
     [](SessionRun& run) { run.Request(FtpRequestKind::MakeFolder, "new folder"); },
     {"{served}"},
     {},
     {"FolderMade new folder"},
     {"dir new folder", "dir sub", "file a.txt a", "file b.txt bb", "file sub/c.txt ccc"}},
    {"NewFolderThatExists",
     [](SessionRun& run) { run.Request(FtpRequestKind::MakeFolder, "sub"); },
     {"{served}"},
     {"Remote: Could not make the folder sub: file already exists (SSH_FX_FILE_ALREADY_EXISTS)"},
     {},
     kUntouched},
    {"Rename",
     [](SessionRun& run) {
         run.Request(FtpRequestKind::Rename, {}, std::make_unique<RenameNames>(4, "a.txt", "z.txt"));
     },
     {"{served}"},
     {},
     {"EntryRenamed 4 a.txt z.txt"},
     {"dir sub", "file b.txt bb", "file sub/c.txt ccc", "file z.txt a"}},
};

class SftpSessionFolders : public testing::TestWithParam<FolderRow> {};

TEST_P(SftpSessionFolders, PagesAndDiskAgree) {
    const FolderRow& row = GetParam();
    RealSshServer server;
    WISP_REQUIRE_SSH_SERVER(server);
    SessionRun run(server);
    TempDir::WriteFileAt(run.served / "a.txt", "a");
    TempDir::WriteFileAt(run.served / "b.txt", "bb");
    fs::create_directory(run.served / "sub");
    TempDir::WriteFileAt(run.served / "sub" / "c.txt", "ccc");
    ASSERT_TRUE(run.StartListed());
    row.act(run);
    ASSERT_TRUE(run.End());
    std::vector<std::string> entered;
    for (const std::string& text : row.entered) {
        entered.push_back(Expand(text, run.served));
    }
    EXPECT_EQ(run.views.Texts("EnterDirectory"), entered);
    EXPECT_EQ(run.views.Failures(), row.failures);
    std::vector<std::string> seen;
    for (const RecordedCall& call : run.views.Calls()) {
        seen.push_back(call.op + " " + call.text);
    }
    auto from = seen.begin();
    for (const std::string& call : row.calls) {
        from = std::find(from, seen.end(), call);
        EXPECT_NE(from, seen.end()) << call;
    }
    EXPECT_EQ(run.Tree(), row.tree);
}

INSTANTIATE_TEST_SUITE_P(Rows, SftpSessionFolders, testing::ValuesIn(kFolderRows),
                         [](const testing::TestParamInfo<FolderRow>& info) {
                             return std::string(info.param.name);
                         });

TEST(SftpSession, DeleteOfATreeRemovesALinkInItAndKeepsItsTarget) {
    RealSshServer server;
    WISP_REQUIRE_SSH_SERVER(server);
    SessionRun run(server);
    const fs::path outside = run.served.parent_path() / "outside";
    fs::create_directories(outside / "kept");
    TempDir::WriteFileAt(outside / "kept" / "k.txt", "k");
    fs::create_directories(run.served / "tree" / "deep");
    TempDir::WriteFileAt(run.served / "tree" / "deep" / "d.txt", "d");
    fs::create_directory_symlink(outside / "kept", run.served / "tree" / "to-kept");
    TempDir::WriteFileAt(run.served / "x.txt", "x");
    ASSERT_TRUE(run.StartListed());
    run.views.SetEntries(Listed(run));

    auto selection = std::make_unique<FolderSelection>();
    selection->folder = run.served.string();
    selection->entries = {{SlotOf(run, "tree"), "tree", true, false},
                          {SlotOf(run, "x.txt"), "x.txt", false, false}};
    ASSERT_TRUE(run.Request(FtpRequestKind::WalkTrees, {}, std::move(selection)));
    ASSERT_TRUE(run.views.WaitFor("DeletePlanReady", {}, 10s));
    EXPECT_EQ(run.views.Texts("DeletePlanReady"), std::vector<std::string>{"1 2 1"});
    std::shared_ptr<DeletePlan> plan = run.views.LastDeletePlan();
    ASSERT_TRUE(plan);
    std::vector<std::string> steps;
    for (const DeleteStep& step : plan->steps) {
        steps.push_back(std::to_string(static_cast<int>(step.kind)) + " " + step.shownName);
    }
    std::sort(steps.begin(), steps.end());
    // Kinds: 0 folder, 1 link, 2 file.
    EXPECT_EQ(steps, (std::vector<std::string>{"0 tree", "0 tree/deep", "1 tree/to-kept", "2 tree/deep/d.txt",
                                               "2 x.txt"}));
    ASSERT_TRUE(run.Request(FtpRequestKind::RemoveTrees, {}, std::make_unique<DeletePlan>(*plan)));
    ASSERT_TRUE(run.End());
    EXPECT_TRUE(run.views.Failures().empty()) << run.views.Failures().front();
    EXPECT_TRUE(run.Tree().empty());
    EXPECT_EQ(TempDir::ReadFileAt(outside / "kept" / "k.txt").value_or(""), "k");
    EXPECT_EQ(run.views.Count("RemoveEntry"), 2);
}

TEST(SftpSession, AnIdleSessionIsKeptAlive) {
    RealSshServer server;
    WISP_REQUIRE_SSH_SERVER(server);
    SessionRun run(server);
    run.options.keepAliveIdleMs = 100;
    ASSERT_TRUE(run.StartListed());
    EXPECT_TRUE(run.views.WaitForCount("LogTraffic", static_cast<int>(run.views.Traffic().size()) + 2, 5s));
    EXPECT_EQ(run.views.Traffic().back(), "stat .");
    ASSERT_TRUE(run.End());
    EXPECT_TRUE(run.views.Failures().empty());
}

// How a session ends early: who ends it, when, and what the pages are told.
struct EndRow {
    const char* name;
    // Runs on the worker inside EnterDirectory of the first listing.
    std::function<void(SessionRun&, RealSshServer&)> inListing;
    // Before the session starts (the listing hook stays unused when the session never connects).
    std::function<void(SessionRun&, RealSshServer&)> before;
    // Failures start with these.
    std::vector<std::string> failures;
    std::vector<std::string> transfers;
    // The host key is unknown and the question is never answered: Stop ends the wait.
    bool stopWhenAsked = false;
};

void QueueARow(SessionRun& run) {
    auto items = std::make_unique<TransferItems>();
    items->items.push_back(TransferItem{7, "/", "a.bin", "/tmp/a.bin"});
    std::unique_ptr<FtpRequestObject> object = std::move(items);
    run.views.Session()->Enqueue(FtpRequestKind::Get, {}, object, kImageType);
}

const EndRow kEndRows[] = {
    {"StopWhileListing",
     [](SessionRun& run, RealSshServer&) {
         QueueARow(run);
         run.views.Session()->Stop();
     },
     {},
     {},
     {"stopped 7 The session ended before its turn"}},
    {"SshdKilledWhileListing",
     [](SessionRun& run, RealSshServer& server) {
         QueueARow(run);
         server.Kill();
     },
     {},
     {"Lost: Connection lost: ", "Remote: Connection lost: "},
     {"stopped 7 The session ended before its turn: Connection lost: "}},
    {"SshdSilentWhileListing",
     [](SessionRun&, RealSshServer& server) { server.Freeze(); },
     [](SessionRun& run, RealSshServer&) { run.options.silenceTimeoutMs = 1000; },
     {"Lost: Connection lost: the server did not answer for 1 s",
      "Remote: Connection lost: the server did not answer for 1 s"},
     {}},
    {"StopWhileTheHostKeyQuestionWaits", {}, {}, {}, {}, true},
};

class SftpSessionEnd : public testing::TestWithParam<EndRow> {};

TEST_P(SftpSessionEnd, EndsAtOnceAndSaysWhy) {
    const EndRow& row = GetParam();
    RealSshServer server;
    WISP_REQUIRE_SSH_SERVER(server);
    SessionRun run(server);
    if (row.stopWhenAsked) {
        run.host.answer.reset();
    } else {
        run.TrustServer();
    }
    if (row.before) {
        row.before(run, server);
    }
    if (row.inListing) {
        run.views.SetHook([&](const RecordedCall& call) {
            if (call.op == "EnterDirectory") {
                row.inListing(run, server);
            }
        });
    }
    run.Start({});
    if (row.stopWhenAsked) {
        for (int i = 0; i < 500 && run.host.Asked().empty(); ++i) {
            std::this_thread::sleep_for(10ms);
        }
        ASSERT_EQ(run.host.Asked().size(), 1u);
        std::this_thread::sleep_for(200ms);
        run.handle->Stop();
    }
    ASSERT_TRUE(run.handle->WaitEnded(10s));
    server.Thaw();
    run.views.SetHook({});
    const std::vector<std::string> failures = run.views.Failures();
    ASSERT_EQ(failures.size(), row.failures.size());
    for (std::size_t i = 0; i < failures.size(); ++i) {
        EXPECT_EQ(failures[i].rfind(row.failures[i], 0), 0u) << failures[i];
    }
    const std::vector<std::string> events = run.views.TransferEvents();
    ASSERT_EQ(events.size(), row.transfers.size());
    for (std::size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i].rfind(row.transfers[i], 0), 0u) << events[i];
    }
    if (row.inListing) {
        EXPECT_EQ(run.views.Texts("FinishListing"), std::vector<std::string>{"0"});
    }
    EXPECT_EQ(run.views.Count("HostResetAfterSession"), 1);
    EXPECT_EQ(run.views.Count("RemoteResetAfterSession"), 1);
}

INSTANTIATE_TEST_SUITE_P(Rows, SftpSessionEnd, testing::ValuesIn(kEndRows),
                         [](const testing::TestParamInfo<EndRow>& info) {
                             return std::string(info.param.name);
                         });

// A listener on 127.0.0.1 that the kernel accepts connections for and that never says a word.
class SilentListener {
  public:
    SilentListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
            ::listen(fd_, 4) == 0 &&
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            port_ = ntohs(address.sin_port);
        }
    }
    ~SilentListener() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;
    std::uint16_t Port() const { return port_; }

  private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// A server that accepts and never says a word: the connect ends within the silence bound, and Stop ends
// it at once.
struct SilentRow {
    const char* name;
    bool stop;
    const char* failure;
};

const SilentRow kSilentRows[] = {
    {"WatchdogEndsTheConnect", false, "Connect: The server did not answer for 1 s"},
    {"StopEndsTheConnect", true, nullptr},
};

class SftpSessionSilentServer : public testing::TestWithParam<SilentRow> {};

TEST_P(SftpSessionSilentServer, EndsWithinTheBound) {
    const SilentRow& row = GetParam();
    RealSshServer server;
    WISP_REQUIRE_SSH_SERVER(server);
    SilentListener listener;
    ASSERT_NE(listener.Port(), 0);
    SessionRun run(server);
    run.options.connect->port = listener.Port();
    run.options.connect->timeout = 30s;
    run.options.silenceTimeoutMs = row.stop ? 30000 : 1000;
    run.Start({});
    if (row.stop) {
        ASSERT_TRUE(run.views.WaitFor("LogMessage", {}, 5s));
        std::this_thread::sleep_for(200ms);
        run.handle->Stop();
    }
    ASSERT_TRUE(run.handle->WaitEnded(10s));
    const std::vector<std::string> failures = run.views.Failures();
    if (row.failure == nullptr) {
        EXPECT_TRUE(failures.empty()) << failures.front();
    } else {
        EXPECT_EQ(failures, std::vector<std::string>{row.failure});
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, SftpSessionSilentServer, testing::ValuesIn(kSilentRows),
                         [](const testing::TestParamInfo<SilentRow>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
