// The engine against FTP servers nobody here wrote (pyftpdlib, vsftpd, proftpd) on 127.0.0.1 (and ::1), in
// passive and active mode, plain and over TLS (explicit and implicit, TLS 1.2 and 1.3), through the session's
// real worker: login, listings, downloads in both types with their times, uploads, line ends in ASCII type,
// deletion, an abort half-way through a download, long mixed runs on one session, and log off.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/DeletePlan.h"
#include "engine/FtpRequest.h"
#include "engine/FtpSession.h"
#include "engine/TransferPlan.h"
#include "listing/ListingParser.h"
#include "listing/RemoteEntry.h"
#include "listing/RemoteName.h"
#include "platform/Socket.h"
#include "support/RealFtpServer.h"
#include "support/RecordingViews.h"
#include "support/TempDir.h"

namespace {

using namespace std::chrono_literals;
constexpr int kTls12 = 0x0303;
using Kind = RealFtpServer::Kind;
using Tls = RealFtpServer::Tls;
using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

struct Param {
    Kind kind;
    bool passive;
    Tls tls = Tls::None;
    int tlsVersion = 0;  // the highest version offered; 0: the library's highest
    bool ipv6 = false;   // the server on ::1 (EPSV and EPRT), else on 127.0.0.1
};

std::string Describe(const Param& p) {
    std::string name = std::string(p.kind == Kind::Pyftpdlib ? "pyftpdlib"
                                   : p.kind == Kind::Vsftpd  ? "vsftpd"
                                                             : "proftpd") +
                       (p.passive ? "_passive" : "_active");
    if (p.tls != Tls::None) {
        name += p.tls == Tls::Explicit ? "_ftpes" : "_ftps";
        name += p.tlsVersion == kTls12 ? "_tls12" : "_tls13";
    }
    if (p.ipv6) {
        name += "_ipv6";
    }
    return name;
}

std::string ParamName(const ::testing::TestParamInfo<Param>& info) {
    return Describe(info.param);
}

// Names the parameter in failure messages and in ctest's listing, not its bytes.
void PrintTo(const Param& p, std::ostream* out) {
    *out << Describe(p);
}

// Both servers list times in UTC; the listing is read in the local zone, so the tests run in UTC.
class UtcZone {
  public:
    UtcZone() {
        if (const char* old = std::getenv("TZ")) {
            old_ = old;
        }
        setenv("TZ", "UTC0", 1);
        tzset();
    }
    ~UtcZone() {
        if (old_) {
            setenv("TZ", old_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    UtcZone(const UtcZone&) = delete;
    UtcZone& operator=(const UtcZone&) = delete;

  private:
    std::optional<std::string> old_;
};

bool HasIPv6Loopback() {
    Socket probe;
    return probe.Create(0, Socket::kStream, "::1");
}

bool SetModified(const fs::path& path, std::time_t when) {
    const timespec times[2] = {{0, UTIME_OMIT}, {when, 0}};
    return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

std::optional<std::time_t> Modified(const fs::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return std::nullopt;
    }
    return info.st_mtim.tv_sec;
}

// A session on the real server, driven request by request: each step queues its request and waits for
// it to be served, so that the Remote double's entries always belong to the directory being worked in.
class Engine {
  public:
    static constexpr auto kStepBound = 60s;

    Engine(const RealFtpServer& server, const Param& param, const std::string& login = "",
           const std::string& path = "") {
        FtpSessionOptions options;
        options.passive = param.passive;
        options.controlTimeoutMs = 20000;
        options.dataTimeoutMs = 20000;
        options.tlsTrustFile = TestCertificates::Shared().CaFile().string();
        options.tlsMaxVersion = param.tlsVersion;
        const char* scheme = param.tls == Tls::None ? "ftp" : param.tls == Tls::Explicit ? "ftpes" : "ftps";
        handle =
            FtpSession::Start(std::string(scheme) + "://" + login + (param.ipv6 ? "[::1]:" : "127.0.0.1:") +
                                  std::to_string(server.Port()) + "/" + path,
                              views.Views(), options);
    }
    ~Engine() {
        if (handle && !handle->HasEnded()) {
            handle->Stop();
            handle->WaitEnded(5s);
        }
    }

    // Waits for the fresh listing the session's own first request makes; its lines become the entries.
    Lines FirstListing() { return AwaitListing(0, 0); }

    // Changes directory (a fresh listing: nothing is cached) and returns the listing's lines.
    Lines ChangeDir(const std::string& path, FtpRequestKind kind = FtpRequestKind::ChangeDir) {
        views.SetCachedDirectories({});
        const int finished = views.Count("FinishListing");
        const int lines = views.Count("AddListingLine");
        EXPECT_TRUE(handle->Enqueue(kind, path, 0));
        return AwaitListing(finished, lines);
    }

    // Queues a request, then waits until the worker has served it: a directory change to the current
    // directory, which the page has cached, is served right after it and says so.
    void Serve(FtpRequestKind kind, const std::string& text, std::unique_ptr<FtpRequestObject> object,
               int value) {
        ASSERT_TRUE(handle->Enqueue(kind, text, object, value));
        WaitIdle();
    }
    void WaitIdle() {
        const Lines entered = views.Texts("EnterDirectory");
        ASSERT_FALSE(entered.empty());
        const std::string current = entered.back();
        views.SetCachedDirectories({current});
        const std::string cached = "... using cached copy of " + current;
        const int before = CountMessage(cached);
        ASSERT_TRUE(handle->Enqueue(FtpRequestKind::ChangeDir, "", 0));
        const auto deadline = std::chrono::steady_clock::now() + kStepBound;
        while (CountMessage(cached) <= before && std::chrono::steady_clock::now() < deadline) {
            views.WaitForCount("LogMessage", static_cast<int>(views.Messages().size()) + 1, 1s);
        }
        ASSERT_GT(CountMessage(cached), before) << "the request was not served in time\n" << Log();
    }

    // The session's log so far, for failure messages.
    std::string Log() const {
        std::string log;
        for (const auto& line : views.LogLines()) {
            log += line + "\n";
        }
        return log;
    }

    int CountMessage(const std::string& text) const {
        int n = 0;
        for (const auto& line : views.Messages()) {
            n += line == text ? 1 : 0;
        }
        return n;
    }

    int Index(const std::string& name) const {
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (entries[i].Name() == name) {
                return static_cast<int>(i);
            }
        }
        ADD_FAILURE() << name << " is not in the listing";
        return -1;
    }

    void Get(const std::vector<std::string>& names, int type, const fs::path& folder) {
        std::vector<std::int32_t> indexes;
        for (const auto& name : names) {
            indexes.push_back(Index(name));
        }
        Serve(FtpRequestKind::Get, folder.string(), std::make_unique<SelectionIndexes>(indexes), type);
    }

    RecordingViews views;
    std::shared_ptr<FtpSessionHandle> handle;
    std::vector<RemoteEntry> entries;

  private:
    Lines AwaitListing(int finishedBefore, int linesBefore) {
        EXPECT_TRUE(views.WaitForCount("FinishListing", finishedBefore + 1, kStepBound)) << Log();
        EXPECT_EQ(views.Texts("FinishListing").back(), "1");
        Lines all = views.Texts("AddListingLine");
        Lines lines(all.begin() + linesBefore, all.end());
        entries.clear();
        for (const auto& line : lines) {
            if (auto entry = ListingParser::Parse(line)) {
                entries.push_back(std::move(*entry));
            }
        }
        views.SetEntries(entries);
        return lines;
    }
};

class EngineRealServerTest : public ::testing::TestWithParam<Param> {
  protected:
    void SetUp() override {
        if (GetParam().ipv6 && !HasIPv6Loopback()) {
            GTEST_SKIP() << "no ::1 on this machine";
        }
        server =
            std::make_unique<RealFtpServer>(GetParam().kind, GetParam().tls, TestCertificates::Which::Server,
                                            GetParam().ipv6 ? "::1" : "127.0.0.1");
        if (!server->Running()) {
            return;  // each test stops at WISP_REQUIRE_REAL_SERVER
        }
        // Listed times: a whole minute of today (shown as "Mon DD HH:MM") and a midnight long ago (shown
        // with its year), so that they can be compared exactly at the listing's precision.
        recent = (std::time(nullptr) - 3 * 3600) / 60 * 60;
        files = {
            {"pub/empty.bin", TempDir::PatternBytes(0), recent},
            {"pub/one.bin", TempDir::PatternBytes(1, 2), recent},
            {"pub/block.bin", TempDir::PatternBytes(16384, 3), recent},
            {"pub/block1.bin", TempDir::PatternBytes(16385, 4), kLongAgo},
            {"pub/large.bin", TempDir::PatternBytes(3 * 1024 * 1024 + 77, 5), recent},
            {"pub/text.txt", "alpha\nbeta\n\ngamma delta\n", recent},
            {"pub/sub/inner.txt", "inside\n", recent},
            {"readme.txt", "read me\n", recent},
        };
        for (const auto& file : files) {
            ASSERT_TRUE(server->WriteFile(file.path, file.bytes)) << file.path;
            ASSERT_TRUE(SetModified(server->Root() / file.path, file.modified)) << file.path;
        }
    }

    struct ServedFile {
        std::string path;
        std::string bytes;
        std::time_t modified;
    };
    static constexpr std::time_t kLongAgo = 1614816000;  // 2021-03-04 00:00:00 UTC

    const ServedFile& File(const std::string& path) const {
        for (const auto& file : files) {
            if (file.path == path) {
                return file;
            }
        }
        static const ServedFile none{};
        ADD_FAILURE() << "no served file " << path;
        return none;
    }

    std::string Context() const { return server->Log(); }

    UtcZone zone;
    std::unique_ptr<RealFtpServer> server;
    std::time_t recent = 0;
    std::vector<ServedFile> files;
};

TEST_P(EngineRealServerTest, AnonymousSessionListsRootAndSubdirectory) {
    WISP_REQUIRE_REAL_SERVER(*server);
    Engine engine(*server, GetParam());
    engine.FirstListing();
    EXPECT_EQ(engine.views.Texts("EnterDirectory"), Lines{"/"});
    const RemoteEntry& pub = engine.entries[static_cast<std::size_t>(engine.Index("pub"))];
    EXPECT_EQ(pub.Kind(), EntryKind::Directory);
    const RemoteEntry& readme = engine.entries[static_cast<std::size_t>(engine.Index("readme.txt"))];
    EXPECT_EQ(readme.Kind(), EntryKind::File);
    EXPECT_EQ(readme.Size(), 8);
    EXPECT_EQ(readme.Time(), recent);

    engine.ChangeDir("pub/sub");
    EXPECT_EQ(engine.views.Texts("EnterDirectory").back(), "/pub/sub");
    ASSERT_EQ(engine.entries.size(), 1u) << Context();
    EXPECT_EQ(engine.entries[0].Name(), "inner.txt");

    engine.ChangeDir("", FtpRequestKind::UpOneLevel);
    EXPECT_EQ(engine.views.Texts("EnterDirectory").back(), "/pub");
    const Lines traffic = engine.views.Traffic();
    EXPECT_NE(std::find(traffic.begin(), traffic.end(), "<CDUP"), traffic.end());
    const Lines messages = engine.views.Messages();
    EXPECT_NE(std::find(messages.begin(), messages.end(), "LISTing /pub/sub"), messages.end());
    const std::string modeCommand = GetParam().ipv6 ? (GetParam().passive ? "<EPSV" : "<EPRT |2|::1|")
                                                    : (GetParam().passive ? "<PASV" : "<PORT ");
    int modeCommands = 0;
    for (const auto& line : traffic) {
        modeCommands += line.rfind(modeCommand, 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(modeCommands, 3);  // one per listing: the root, the subdirectory and its parent
}

TEST_P(EngineRealServerTest, NamedAccountLogsInWherePossible) {
    WISP_REQUIRE_REAL_SERVER(*server);
    if (server->HasNamedAccount()) {
        Engine engine(*server, GetParam(),
                      std::string(RealFtpServer::kUser) + ":" + RealFtpServer::kPassword + "@", "pub");
        engine.FirstListing();
        EXPECT_EQ(engine.views.Texts("EnterDirectory"), Lines{"/pub"});
        engine.Index("large.bin");
        const Lines messages = engine.views.Messages();
        EXPECT_NE(std::find(messages.begin(), messages.end(), "... user wisp logged in"), messages.end());
        const Lines traffic = engine.views.Traffic();
        EXPECT_NE(std::find(traffic.begin(), traffic.end(), "<PASS ******"), traffic.end());
        // A wrong password is refused by the server and ends that session.
        Engine refused(*server, GetParam(), std::string(RealFtpServer::kUser) + ":wrong@");
        ASSERT_TRUE(refused.handle->WaitEnded(20s));
        EXPECT_EQ(refused.views.Messages().back(), "... failed to log in");
    } else {
        // An anonymous-only server refuses the account and the session ends at once.
        Engine engine(*server, GetParam(), std::string(RealFtpServer::kUser) + ":secret@");
        ASSERT_TRUE(engine.handle->WaitEnded(20s));
        const Lines messages = engine.views.Messages();
        EXPECT_NE(std::find(messages.begin(), messages.end(), "... user wisp NOT logged in"), messages.end());
        EXPECT_EQ(messages.back(), "... failed to log in");
        EXPECT_EQ(engine.views.Count("ShowConnected"), 0);
    }
}

TEST_P(EngineRealServerTest, DownloadsAreByteIdenticalAndCarryTheListedTimes) {
    WISP_REQUIRE_REAL_SERVER(*server);
    TempDir local("wisp-download");
    Engine engine(*server, GetParam());
    engine.FirstListing();
    engine.ChangeDir("pub");
    const std::vector<std::string> binaries = {"empty.bin", "one.bin", "block.bin", "block1.bin",
                                               "large.bin"};
    engine.Get(binaries, kImageType, local.Path());
    for (const auto& name : binaries) {
        SCOPED_TRACE(name);
        const ServedFile& served = File("pub/" + name);
        const auto got = local.ReadFile(name);
        ASSERT_TRUE(got.has_value()) << Context();
        EXPECT_EQ(got->size(), served.bytes.size());
        EXPECT_TRUE(*got == served.bytes);
        // Recent files are listed to the minute, old ones to the day; both were set on such a boundary.
        const RemoteEntry& entry = engine.entries[static_cast<std::size_t>(engine.Index(name))];
        EXPECT_EQ(entry.Time(), served.modified);
        EXPECT_EQ(Modified(local / name), std::optional<std::time_t>(served.modified));
    }

    // ASCII type: "TYPE A N" first (pyftpdlib knows no format parameter and is asked for plain "TYPE A"
    // next). vsftpd sends the file as it is, pyftpdlib ends its lines with CR LF: either way the text is
    // stored with LF.
    engine.Get({"text.txt"}, kAsciiType, local.Path());
    Lines types;
    for (const auto& line : engine.views.Traffic()) {
        if (line.rfind("<TYPE", 0) == 0) {
            types.push_back(line);
        }
    }
    const bool pyftpdlib = GetParam().kind == Kind::Pyftpdlib;
    EXPECT_EQ(local.ReadFile("text.txt"), std::optional<std::string>(File("pub/text.txt").bytes))
        << engine.Log();
    EXPECT_EQ(Modified(local / "text.txt"), std::optional<std::time_t>(recent));
    EXPECT_EQ(types,
              pyftpdlib ? (Lines{"<TYPE I", "<TYPE A N", "<TYPE A"}) : (Lines{"<TYPE I", "<TYPE A N"}));
    for (const auto& line : engine.views.Messages()) {
        EXPECT_EQ(line.find("failed"), std::string::npos) << line;
    }
}

TEST_P(EngineRealServerTest, UploadsTwoFilesThenDeletesThem) {
    WISP_REQUIRE_REAL_SERVER(*server);
    TempDir local("wisp-upload");
    const std::string first = TempDir::PatternBytes(100000, 11);
    const std::string second = TempDir::PatternBytes(16384 * 3, 12);
    ASSERT_TRUE(local.WriteFile("first.bin", first));
    ASSERT_TRUE(local.WriteFile("second.bin", second));
    Engine engine(*server, GetParam());
    engine.FirstListing();
    engine.ChangeDir(RealFtpServer::kWritableFolder);
    EXPECT_TRUE(engine.entries.empty());

    engine.Serve(FtpRequestKind::Put, "",
                 std::make_unique<DroppedFiles>(std::vector<std::string>{(local / "first.bin").string(),
                                                                         (local / "second.bin").string()}),
                 kImageType);
    const std::string folder = RealFtpServer::kWritableFolder;
    EXPECT_EQ(server->ReadFile(folder + "/first.bin"), std::optional<std::string>(first)) << Context();
    EXPECT_EQ(server->ReadFile(folder + "/second.bin"), std::optional<std::string>(second));
    const Lines uploaded = engine.views.Texts("UploadedFile");
    ASSERT_EQ(uploaded.size(), 2u);
    EXPECT_EQ(uploaded[0], "first.bin 100000 " + std::to_string(*Modified(local / "first.bin")));
    EXPECT_EQ(uploaded[1], "second.bin 49152 " + std::to_string(*Modified(local / "second.bin")));

    // The page adds what it uploaded to its listing, and deletes both from there.
    for (const auto& file : uploaded) {
        const auto space = file.find(' ');
        engine.entries.emplace_back(file.substr(0, space), std::stoi(file.substr(space + 1)),
                                    static_cast<std::int32_t>(std::stol(file.substr(file.rfind(' ') + 1))));
    }
    engine.views.SetEntries(engine.entries);
    engine.Serve(FtpRequestKind::Delete, "",
                 std::make_unique<SelectionIndexes>(
                     std::vector<std::int32_t>{engine.Index("first.bin"), engine.Index("second.bin")}),
                 0);
    EXPECT_FALSE(server->Exists(folder + "/first.bin"));
    EXPECT_FALSE(server->Exists(folder + "/second.bin"));
    const Lines messages = engine.views.Messages();
    EXPECT_NE(std::find(messages.begin(), messages.end(), "... DELETEd first.bin"), messages.end());
    EXPECT_NE(std::find(messages.begin(), messages.end(), "... DELETEd second.bin"), messages.end());
    EXPECT_EQ(engine.views.Texts("RemoveEntry"),
              (Lines{std::to_string(engine.Index("first.bin")), std::to_string(engine.Index("second.bin"))}));
}

// New folder, Rename and the Delete of a whole tree, as the Remote page asks for them: the folder is made,
// renamed, filled with a nested tree here, walked (one listing per folder) and removed bottom-up.
TEST_P(EngineRealServerTest, MakesRenamesFillsAndDeletesAFolderTree) {
    WISP_REQUIRE_REAL_SERVER(*server);
    Engine engine(*server, GetParam());
    engine.FirstListing();
    engine.ChangeDir(RealFtpServer::kWritableFolder);
    const std::string folder = RealFtpServer::kWritableFolder;

    engine.Serve(FtpRequestKind::MakeFolder, "made", nullptr, 0);
    EXPECT_TRUE(fs::is_directory(server->Root() / folder / "made")) << engine.Log();
    EXPECT_EQ(engine.views.Texts("FolderMade"), Lines{"made"});

    engine.Serve(FtpRequestKind::Rename, "", std::make_unique<RenameNames>(0, "made", "tree"), 0);
    EXPECT_FALSE(server->Exists(folder + "/made"));
    ASSERT_TRUE(fs::is_directory(server->Root() / folder / "tree")) << engine.Log();
    EXPECT_EQ(engine.views.Texts("EntryRenamed"), Lines{"0 made tree"});

    for (const char* file :
         {"tree/a.txt", "tree/sub/b.txt", "tree/sub/deeper/c.txt", "tree/sub/deeper/d.bin"}) {
        ASSERT_TRUE(server->WriteFile(folder + "/" + file, "x")) << file;
    }
    fs::create_directories(server->Root() / folder / "tree" / "empty");

    auto selection = std::make_unique<FolderSelection>();
    selection->folder = "/" + folder;
    selection->entries.push_back({0, "tree", true});
    engine.Serve(FtpRequestKind::WalkTrees, "", std::move(selection), 0);
    const std::shared_ptr<DeletePlan> plan = engine.views.LastDeletePlan();
    ASSERT_NE(plan, nullptr) << engine.Log();
    EXPECT_EQ(plan->selectedFolders, 1);
    EXPECT_EQ(plan->filesBelow, 4);
    EXPECT_EQ(plan->unreadFolders, 0);
    EXPECT_EQ(plan->steps.size(), 8u);  // four files, four folders
    EXPECT_TRUE(server->Exists(folder + "/tree/sub/deeper/c.txt")) << "the walk deleted something";

    engine.Serve(FtpRequestKind::RemoveTrees, "", std::make_unique<DeletePlan>(*plan), 0);
    EXPECT_FALSE(server->Exists(folder + "/tree")) << engine.Log();
    EXPECT_TRUE(fs::is_empty(server->Root() / folder));
    EXPECT_EQ(engine.CountMessage("... deleted 8 entries"), 1) << engine.Log();
}

// A folder tree downloaded as the Remote page asks for it: the walk's plan, then a Get of its files with
// its folders. The tree holds nested, empty and UTF-8-named folders, a link back up (a loop) and a link to
// a file; it arrives with the same shape, bytes and times, and is then deleted leaving nothing.
TEST_P(EngineRealServerTest, DownloadsAFolderTreeWithLinksThenDeletesIt) {
    WISP_REQUIRE_REAL_SERVER(*server);
    const std::string folder = RealFtpServer::kWritableFolder;
    const fs::path root = server->Root() / folder;
    const std::string utf8 = "\u00dcber";
    struct Served {
        std::string path;
        std::string bytes;
        std::time_t modified;
    };
    const std::vector<Served> served = {
        {"tree/a.txt", "alpha\n", kLongAgo + 11},
        {"tree/sub/b.bin", TempDir::PatternBytes(70000, 7), kLongAgo + 22},
        {"tree/sub/deeper/c.txt", "", kLongAgo + 33},
        {"tree/" + utf8 + "/\u00e9t\u00e9.txt", "utf", kLongAgo + 44},
    };
    for (const Served& file : served) {
        ASSERT_TRUE(server->WriteFile(folder + "/" + file.path, file.bytes)) << file.path;
        ASSERT_TRUE(SetModified(root / file.path, file.modified)) << file.path;
    }
    fs::create_directories(root / "tree" / "empty");
    fs::create_directory_symlink("..", root / "tree" / "sub" / "loop");
    fs::create_symlink("a.txt", root / "tree" / "lf");
    // Midnights: a listing of old folders shows the day only.
    const std::vector<std::pair<std::string, std::time_t>> folders = {
        {"tree/sub/deeper", kLongAgo - 1 * 86400},
        {"tree/sub", kLongAgo - 2 * 86400},
        {"tree/empty", kLongAgo - 3 * 86400},
        {"tree/" + utf8, kLongAgo - 4 * 86400},
        {"tree", kLongAgo - 5 * 86400},
    };
    for (const auto& [path, time] : folders) {
        ASSERT_TRUE(SetModified(root / path, time)) << path;
    }

    Engine engine(*server, GetParam());
    engine.FirstListing();
    engine.ChangeDir(folder);
    TempDir local("wisp-tree");
    auto selection = std::make_unique<FolderSelection>();
    selection->folder = "/" + folder;
    selection->entries.push_back({engine.Index("tree"), "tree", true, false});
    engine.Serve(FtpRequestKind::WalkDownload, local.Path().string(), std::move(selection), kImageType);
    const std::shared_ptr<TransferPlan> plan = engine.views.LastTransferPlan();
    ASSERT_NE(plan, nullptr) << engine.Log();
    ASSERT_FALSE(plan->stopped);
    ASSERT_EQ(plan->problems.size(), 1u) << engine.Log();
    EXPECT_NE(plan->problems[0].find("reached already"), std::string::npos) << plan->problems[0];

    auto items = std::make_unique<TransferItems>();
    std::uint64_t row = 0;
    for (const PlannedFile& file : plan->files) {
        items->items.push_back(file.item);
        items->items.back().row = ++row;
    }
    items->folders = plan->folders;
    engine.Serve(FtpRequestKind::Get, local.Path().string(), std::move(items), kImageType);
    const Lines events = engine.views.TransferEvents();
    EXPECT_EQ(std::count_if(events.begin(), events.end(),
                            [](const std::string& e) { return e.starts_with("done "); }),
              static_cast<long>(plan->files.size()))
        << engine.Log();

    Lines shape;
    for (auto it = fs::recursive_directory_iterator(local.Path()); it != fs::recursive_directory_iterator();
         ++it) {
        shape.push_back((it->is_symlink()     ? "link "
                         : it->is_directory() ? "dir "
                                              : "file ") +
                        it->path().lexically_relative(local.Path()).string());
    }
    std::sort(shape.begin(), shape.end());
    EXPECT_EQ(shape, (Lines{"dir tree", "dir tree/empty", "dir tree/sub", "dir tree/sub/deeper",
                            "dir tree/" + utf8, "file tree/a.txt", "file tree/lf", "file tree/sub/b.bin",
                            "file tree/sub/deeper/c.txt", "file tree/" + utf8 + "/\u00e9t\u00e9.txt"}))
        << engine.Log();
    for (const Served& file : served) {
        EXPECT_EQ(local.ReadFile(file.path), std::optional<std::string>(file.bytes)) << file.path;
        EXPECT_EQ(Modified(local.Path() / file.path), std::optional<std::time_t>(file.modified)) << file.path;
    }
    EXPECT_EQ(local.ReadFile("tree/lf"), std::optional<std::string>("alpha\n"));
    EXPECT_EQ(Modified(local.Path() / "tree/lf"), std::optional<std::time_t>(kLongAgo + 11));
    for (const auto& [path, time] : folders) {
        EXPECT_EQ(Modified(local.Path() / path), std::optional<std::time_t>(time)) << path;
    }

    // The tree's Delete: its walk and removal, links deleted as themselves.
    engine.ChangeDir("/" + folder);
    auto doomed = std::make_unique<FolderSelection>();
    doomed->folder = "/" + folder;
    doomed->entries.push_back({engine.Index("tree"), "tree", true, false});
    engine.Serve(FtpRequestKind::WalkTrees, "", std::move(doomed), 0);
    const std::shared_ptr<DeletePlan> removal = engine.views.LastDeletePlan();
    ASSERT_NE(removal, nullptr) << engine.Log();
    engine.Serve(FtpRequestKind::RemoveTrees, "", std::make_unique<DeletePlan>(*removal), 0);
    EXPECT_TRUE(fs::is_empty(root)) << engine.Log();
}

// Every file below `root` by its relative path, with its bytes, and every folder ("name/").
std::map<std::string, std::string> TreeShape(const fs::path& root) {
    std::map<std::string, std::string> shape;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string relative = entry.path().lexically_relative(root).string();
        shape[entry.is_directory() ? relative + "/" : relative] =
            entry.is_directory() ? "" : TempDir::ReadFileAt(entry.path()).value_or("?");
    }
    return shape;
}

// A local tree with nested, empty and UTF-8-named folders, walked and uploaded into the empty writable
// folder as the Remote page queues it: the server ends with the same shape and bytes, and, where MFMT is
// offered, the files' times.
TEST_P(EngineRealServerTest, UploadsAFolderTreeIntoAnEmptyFolder) {
    WISP_REQUIRE_REAL_SERVER(*server);
    const std::string folder = RealFtpServer::kWritableFolder;
    ASSERT_TRUE(fs::is_empty(server->Root() / folder));
    TempDir local("wisp-tree");
    const std::vector<std::pair<std::string, std::string>> files = {
        {"tree/a.txt", "alpha\n"},
        {"tree/sub/deeper/block.bin", TempDir::PatternBytes(40000, 9)},
        {"tree/\u00e9t\u00e9/\u20ac \u6587.txt", "euro"},
        {"tree/sub/empty.bin", ""},
    };
    for (std::size_t i = 0; i < files.size(); ++i) {
        ASSERT_TRUE(local.WriteFile(files[i].first, files[i].second));
        ASSERT_TRUE(SetModified(local / files[i].first, kLongAgo + 60 * static_cast<std::time_t>(i)));
    }
    fs::create_directories(local / "tree/empty");

    Engine engine(*server, GetParam());
    engine.FirstListing();
    engine.ChangeDir(folder);
    engine.Serve(FtpRequestKind::WalkUpload, "/" + folder,
                 std::make_unique<DroppedFiles>(std::vector<std::string>{(local / "tree").string()}),
                 kImageType);
    const std::shared_ptr<TransferPlan> plan = engine.views.LastTransferPlan();
    ASSERT_NE(plan, nullptr) << engine.Log();
    EXPECT_EQ(plan->folders.size(), 5u);  // tree, empty, sub, sub/deeper, été
    EXPECT_EQ(plan->files.size(), files.size());
    EXPECT_EQ(plan->problems, Lines{});

    auto put = std::make_unique<TransferItems>();
    put->folders = plan->folders;
    std::uint64_t row = 0;
    for (const PlannedFile& file : plan->files) {
        EXPECT_FALSE(file.targetExists);
        put->items.push_back(file.item);
        put->items.back().row = ++row;
    }
    engine.Serve(FtpRequestKind::Put, "", std::move(put), kImageType);
    EXPECT_EQ(TreeShape(server->Root() / folder / "tree"), TreeShape(local / "tree")) << engine.Log();
    EXPECT_EQ(engine.views.Texts("FolderMade"), Lines{"tree"});
    const Lines events = engine.views.TransferEvents();
    EXPECT_EQ(std::count_if(events.begin(), events.end(),
                            [](const std::string& event) { return event.starts_with("done "); }),
              static_cast<long>(files.size()))
        << engine.Log();
    if (GetParam().kind != Kind::Vsftpd) {  // vsftpd offers no MFMT
        for (const auto& [path, bytes] : files) {
            EXPECT_EQ(Modified(server->Root() / folder / path), Modified(local / path)) << path;
        }
    }
}

// Names in any script keep the server's bytes both ways, and times go to the second both ways: a listing
// shows only the day of an old file, so an exact time comes from MLSD or MDTM, and an upload's from MFMT
// where the server offers it.
TEST_P(EngineRealServerTest, NamesInEveryScriptAndTimesToTheSecond) {
    WISP_REQUIRE_REAL_SERVER(*server);
    const std::time_t exact = kLongAgo + 7;
    std::vector<std::string> names = {"\u041f\u0440\u0438\u0432\u0435\u0442.txt", "\u6587\u4ef6 \u540d.txt",
                                      "\U0001F600.txt", "e\u0301te.txt"};
    if (GetParam().kind != Kind::Pyftpdlib) {
        names.push_back("caf\xe9.txt");  // not UTF-8: kept as bytes, shown and stored readably
    }
    const std::string folder = RealFtpServer::kWritableFolder;
    for (const auto& name : names) {
        ASSERT_TRUE(server->WriteFile(folder + "/" + name, name)) << name;
        ASSERT_TRUE(SetModified(server->Root() / folder / name, exact)) << name;
    }
    TempDir local("wisp-names");
    const std::string upload = "\u00dcber \u00e9t\u00e9.txt";
    ASSERT_TRUE(local.WriteFile(upload, "up"));
    ASSERT_TRUE(SetModified(local.Path() / upload, exact + 60));

    Engine engine(*server, GetParam());
    engine.FirstListing();
    engine.ChangeDir(folder);
    engine.Get(names, kImageType, local.Path());
    for (const auto& name : names) {
        SCOPED_TRACE(RemoteName::DisplayText(name));
        const fs::path stored = local.Path() / RemoteName::LocalFileName(name);
        EXPECT_EQ(local.ReadFile(stored.filename().string()), std::optional<std::string>(name))
            << engine.Log();
        EXPECT_EQ(Modified(stored), std::optional<std::time_t>(exact)) << engine.Log();
    }

    engine.Serve(FtpRequestKind::Put, "",
                 std::make_unique<DroppedFiles>(std::vector<std::string>{(local.Path() / upload).string()}),
                 kImageType);
    EXPECT_EQ(server->ReadFile(folder + "/" + upload), std::optional<std::string>("up")) << engine.Log();
    const bool mfmt = GetParam().kind != Kind::Vsftpd;  // vsftpd offers no MFMT
    if (mfmt) {
        EXPECT_EQ(Modified(server->Root() / folder / upload), std::optional<std::time_t>(exact + 60))
            << engine.Log();
    }

    engine.ChangeDir("/" + folder);
    std::vector<std::int32_t> all;
    for (const auto& name : names) {
        all.push_back(engine.Index(name));
    }
    all.push_back(engine.Index(upload));
    engine.Serve(FtpRequestKind::Delete, "", std::make_unique<SelectionIndexes>(all), 0);
    for (const auto& name : names) {
        EXPECT_FALSE(server->Exists(folder + "/" + name)) << RemoteName::DisplayText(name);
    }
    EXPECT_FALSE(server->Exists(folder + "/" + upload));
}

// A text with CR LF, LF and lone CR line ends, long enough to cross many blocks on either side. Downloaded
// in ASCII type it has LF line ends here: pyftpdlib and proftpd add a CR to each lone LF on the way out
// and vsftpd (without ascii_download_enable) sends the file as it is, and all come out the same. Uploaded
// in ASCII type it goes out with CR LF: pyftpdlib and proftpd store LF again, vsftpd (without
// ascii_upload_enable) stores what came.
TEST_P(EngineRealServerTest, AsciiTypeStoresLfHereAndSendsCrLfThere) {
    WISP_REQUIRE_REAL_SERVER(*server);
    const auto repeat = [](const std::string& part) {
        std::string text;
        for (int i = 0; i < 3000; ++i) {
            text += part;
        }
        return text;
    };
    const std::string mixed = repeat("one\r\ntwo\nthree\rfour\n\r\n");
    const std::string withLf = repeat("one\ntwo\nthree\rfour\n\n");
    const std::string withCrLf = repeat("one\r\ntwo\r\nthree\rfour\r\n\r\n");
    ASSERT_TRUE(server->WriteFile("pub/mixed.txt", mixed));
    TempDir local("wisp-ascii");
    Engine engine(*server, GetParam());
    engine.FirstListing();
    engine.ChangeDir("pub");
    engine.Get({"mixed.txt"}, kAsciiType, local.Path());
    EXPECT_TRUE(local.ReadFile("mixed.txt") == std::optional<std::string>(withLf)) << engine.Log();

    ASSERT_TRUE(local.WriteFile("up.txt", mixed));
    engine.ChangeDir("/" + std::string(RealFtpServer::kWritableFolder));
    engine.Serve(FtpRequestKind::Put, "",
                 std::make_unique<DroppedFiles>(std::vector<std::string>{(local / "up.txt").string()}),
                 kAsciiType);
    const std::string stored = GetParam().kind == Kind::Vsftpd ? withCrLf : withLf;
    EXPECT_TRUE(server->ReadFile(std::string(RealFtpServer::kWritableFolder) + "/up.txt") ==
                std::optional<std::string>(stored))
        << Context();
}

TEST_P(EngineRealServerTest, AbortHalfWayThroughADownloadThenServesTheNextRequest) {
    WISP_REQUIRE_REAL_SERVER(*server);
    constexpr std::size_t kHuge = 48u * 1024 * 1024;
    const std::string huge = server->WritePatternFile("pub/huge.bin", kHuge, 21);
    ASSERT_EQ(huge.size(), kHuge);
    ASSERT_TRUE(SetModified(server->Root() / "pub/huge.bin", recent));
    TempDir local("wisp-abort");
    Engine engine(*server, GetParam());
    engine.FirstListing();
    engine.ChangeDir("pub");

    // Half-way, the worker waits inside its progress report until the user interface has aborted.
    std::mutex mutex;
    std::condition_variable changed;
    bool halfway = false;
    bool aborted = false;
    engine.views.SetHook([&](const RecordedCall& call) {
        if (call.op != "SetProgress" || std::stoi(call.text) < 50) {
            return;
        }
        std::unique_lock lock(mutex);
        if (aborted) {
            return;
        }
        halfway = true;
        changed.notify_all();
        changed.wait_for(lock, 20s, [&] { return aborted; });
    });
    std::unique_ptr<FtpRequestObject> selection =
        std::make_unique<SelectionIndexes>(std::vector<std::int32_t>{engine.Index("huge.bin")});
    ASSERT_TRUE(engine.handle->Enqueue(FtpRequestKind::Get, local.Path().string(), selection, kImageType));
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 30s, [&] { return halfway; })) << Context();
    }
    engine.handle->Abort();
    {
        std::lock_guard lock(mutex);
        aborted = true;
    }
    changed.notify_all();
    engine.WaitIdle();
    engine.views.SetHook(nullptr);

    const Lines messages = engine.views.Messages();
    EXPECT_NE(std::find(messages.begin(), messages.end(), "Transfer terminated"), messages.end());
    const Lines traffic = engine.views.Traffic();
    const auto abor = std::find(traffic.begin(), traffic.end(), "<ABOR");
    ASSERT_NE(abor, traffic.end());
    for (auto line = abor; line != traffic.end(); ++line) {
        EXPECT_EQ(line->find("Receive failed"), std::string::npos) << *line;
    }
    const auto partial = local.ReadFile("huge.bin");
    ASSERT_TRUE(partial.has_value());
    EXPECT_GE(partial->size(), kHuge / 2);
    EXPECT_LT(partial->size(), kHuge);
    EXPECT_TRUE(*partial == huge.substr(0, partial->size()));
    EXPECT_EQ(Modified(local / "huge.bin"), std::optional<std::time_t>(recent));

    // The same session goes on with the next request.
    engine.Get({"block1.bin"}, kImageType, local.Path());
    EXPECT_EQ(local.ReadFile("block1.bin"), std::optional<std::string>(File("pub/block1.bin").bytes))
        << Context();
}

TEST_P(EngineRealServerTest, LogoffSendsQuitAndEndsTheSession) {
    WISP_REQUIRE_REAL_SERVER(*server);
    Engine engine(*server, GetParam());
    engine.FirstListing();
    ASSERT_TRUE(engine.handle->Enqueue(FtpRequestKind::Logoff));
    ASSERT_TRUE(engine.handle->WaitEnded(20s));
    EXPECT_EQ(engine.views.Traffic().back(), "<QUIT");
    const auto calls = engine.views.Calls();
    EXPECT_EQ(calls[calls.size() - 2].op, "HostResetAfterSession");
    EXPECT_EQ(calls.back().op, "RemoteResetAfterSession");
    for (const auto& line : engine.views.Messages()) {
        EXPECT_EQ(line.find("failed"), std::string::npos) << line;
    }
    if (server->GetKind() == Kind::Pyftpdlib) {
        // The server saw the session end (it logs no QUIT of its own).
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (server->Log().find("FTP session closed") == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(20ms);
        }
        EXPECT_NE(server->Log().find("FTP session closed"), std::string::npos) << server->Log();
    }
}

// Many data connections on one session, listings and downloads with uploads between them: each transfer
// is byte-identical, and over TLS every data connection resumes a session (vsftpd and proftpd refuse any
// that does not), also after uploads, where a client that keeps offering a used-up session fails.
TEST_P(EngineRealServerTest, ManyTransfersInARowOnOneSession) {
    WISP_REQUIRE_REAL_SERVER(*server);
    TempDir local("wisp-mixed");
    Engine engine(*server, GetParam());
    engine.FirstListing();
    const std::string folder = RealFtpServer::kWritableFolder;
    const std::string& served = File("pub/block1.bin").bytes;
    constexpr int kRounds = 20;
    int uploads = 0;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        engine.ChangeDir("/pub");
        fs::remove(local / "block1.bin");
        engine.Get({"block1.bin"}, kImageType, local.Path());
        ASSERT_TRUE(local.ReadFile("block1.bin") == std::optional<std::string>(served)) << engine.Log();
        if (round % 4 == 1) {
            const std::string name = "up" + std::to_string(round) + ".bin";
            const std::string bytes = TempDir::PatternBytes(70000 + static_cast<std::size_t>(round), round);
            ASSERT_TRUE(local.WriteFile(name, bytes));
            engine.ChangeDir("/" + folder);
            engine.Serve(FtpRequestKind::Put, "",
                         std::make_unique<DroppedFiles>(std::vector<std::string>{(local / name).string()}),
                         kImageType);
            ASSERT_TRUE(server->ReadFile(folder + "/" + name) == std::optional<std::string>(bytes))
                << engine.Log();
            ++uploads;
        }
    }
    if (GetParam().tls == Tls::None) {
        return;
    }
    EXPECT_EQ(engine.views.Texts("ShowConnected")[0].rfind(
                  GetParam().tls == Tls::Explicit ? "ftpes://" : "ftps://", 0),
              0u);
    const std::string version = GetParam().tlsVersion == kTls12 ? "... TLS 1.2 (" : "... TLS 1.3 (";
    int handshakes = 0;
    int resumed = 0;
    for (const auto& line : engine.views.Messages()) {
        if (line.rfind("... TLS", 0) == 0) {
            EXPECT_EQ(line.rfind(version, 0), 0u) << line;
            ++handshakes;
            resumed += line.ends_with(", session reused") ? 1 : 0;
        }
    }
    // The control connection, the first listing, and per round a listing and a download, per upload a
    // listing and the upload: every data connection resumed.
    const int dataConnections = 1 + 2 * kRounds + 2 * uploads;
    EXPECT_EQ(handshakes, 1 + dataConnections) << engine.Log();
    EXPECT_EQ(resumed, dataConnections) << engine.Log();
}

INSTANTIATE_TEST_SUITE_P(Servers, EngineRealServerTest,
                         ::testing::Values(Param{Kind::Pyftpdlib, true}, Param{Kind::Pyftpdlib, false},
                                           Param{Kind::Vsftpd, true}, Param{Kind::Vsftpd, false}),
                         ParamName);

// The same on ::1: the data connections through EPSV and EPRT.
INSTANTIATE_TEST_SUITE_P(ServersOnIPv6, EngineRealServerTest,
                         ::testing::Values(Param{Kind::Pyftpdlib, true, Tls::None, 0, true},
                                           Param{Kind::Pyftpdlib, false, Tls::None, 0, true},
                                           Param{Kind::Vsftpd, true, Tls::None, 0, true},
                                           Param{Kind::Vsftpd, false, Tls::None, 0, true}),
                         ParamName);

// vsftpd and proftpd demand that every data connection resume a TLS session of the control connection's.
// With TLS 1.3 the library resumes each session once, and proftpd hands out no new one on an upload's data
// connection, so the mixed run's listing after an upload needs a session no connection has used yet, or
// the control connection's again. pyftpdlib has no implicit mode.
const Param kTlsRows[] = {
    // vsftpd: passive and active, explicit and implicit, TLS 1.3 and 1.2.
    {Kind::Vsftpd, true, Tls::Explicit, 0},
    {Kind::Vsftpd, false, Tls::Explicit, 0},
    {Kind::Vsftpd, true, Tls::Explicit, kTls12},
    {Kind::Vsftpd, false, Tls::Explicit, kTls12},
    {Kind::Vsftpd, true, Tls::Implicit, 0},
    {Kind::Vsftpd, false, Tls::Implicit, 0},
    {Kind::Vsftpd, true, Tls::Implicit, kTls12},
    {Kind::Vsftpd, false, Tls::Implicit, kTls12},
    // pyftpdlib: explicit TLS only.
    {Kind::Pyftpdlib, true, Tls::Explicit, 0},
    {Kind::Pyftpdlib, false, Tls::Explicit, 0},
    {Kind::Pyftpdlib, true, Tls::Explicit, kTls12},
    // proftpd: as vsftpd.
    {Kind::Proftpd, true, Tls::Explicit, 0},
    {Kind::Proftpd, false, Tls::Explicit, 0},
    {Kind::Proftpd, true, Tls::Explicit, kTls12},
    {Kind::Proftpd, false, Tls::Explicit, kTls12},
    {Kind::Proftpd, true, Tls::Implicit, 0},
    {Kind::Proftpd, false, Tls::Implicit, 0},
    {Kind::Proftpd, true, Tls::Implicit, kTls12},
    {Kind::Proftpd, false, Tls::Implicit, kTls12},
};
INSTANTIATE_TEST_SUITE_P(Tls, EngineRealServerTest, ::testing::ValuesIn(kTlsRows), ParamName);

}  // namespace
