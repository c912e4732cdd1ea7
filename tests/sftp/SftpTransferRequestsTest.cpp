// The SFTP session's Get, Put and tree walks against OpenSSH's server, driven as the session's worker
// drives them: what the transfer queue, the Remote page and the log are told, and what lands on disk.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/FtpRequest.h"
#include "engine/TransferPlan.h"
#include "listing/RemoteName.h"
#include "sftp/SftpClient.h"
#include "sftp/SftpContext.h"
#include "sftp/SftpTransferRequests.h"
#include "sftp/SshConnection.h"
#include "support/RealSshServer.h"
#include "support/RecordingViews.h"
#include "support/SshTestKit.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

constexpr std::int64_t kFileTime = 1600000000;  // 2020-09-13, far from now
constexpr std::int64_t kFolderTime = 1500000000;

void SetFileTime(const fs::path& path, std::int64_t seconds) {
    timeval times[2] = {{static_cast<time_t>(seconds), 0}, {static_cast<time_t>(seconds), 0}};
    ::lutimes(path.c_str(), times);
}

std::int64_t FileTime(const fs::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? info.st_mtime : -1;
}

bool Contains(const std::vector<std::string>& lines, const std::string& part) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.find(part) != std::string::npos; });
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const std::string& line : lines) {
        all += line + "\n";
    }
    return all;
}

// Every file and folder below `root` (relative path -> "dir" or the file's bytes), links left as links.
std::map<std::string, std::string> TreeOf(const fs::path& root) {
    std::map<std::string, std::string> tree;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const std::string relative = fs::relative(it->path(), root).string();
        if (it->is_symlink()) {
            tree[relative] = "link";
        } else if (it->is_directory()) {
            tree[relative] = "dir";
        } else {
            tree[relative] = TempDir::ReadFileAt(it->path()).value_or("?");
        }
    }
    return tree;
}

class SftpTransferRequestsTest : public testing::Test {
  protected:
    void SetUp() override {
        WISP_REQUIRE_SSH_SERVER(server_);
        remote_ = server_.Dir() / "served";
        local_ = server_.Dir() / "local";
        fs::create_directories(remote_);
        fs::create_directories(local_);
        SftpSessionOptions options;
        options.retryDelaysMs = {10, 10};
        context_ = std::make_unique<SftpContext>(FtpUrl("sftp://127.0.0.1/"), views_.Views(), options);
        SshConnectOptions connect = OptionsFor(server_);
        connect.keyFiles = {server_.MakeClientKey("id_test", "ed25519")};
        auto connection = std::make_unique<SshConnection>(context_->Log(), prompts_);
        ASSERT_TRUE(connection->Open(connect));
        auto client = std::make_unique<SftpClient>(*connection);
        ASSERT_TRUE(client->Open());
        context_->Attach(std::move(connection), std::move(client));
        context_->SetCurrentFolder(remote_.string());
    }

    // A queue row of a download from the served folder into the local one.
    TransferItem DownloadRow(std::uint64_t row, const std::string& name, std::int64_t size,
                             bool resume = false) {
        TransferItem item;
        item.row = row;
        item.remoteFolder = remote_.string();
        item.remoteName = name;
        item.localPath = (local_ / RemoteName::LocalFileName(name)).string();
        item.size = size;
        item.resume = resume;
        return item;
    }

    TransferItem UploadRow(std::uint64_t row, const std::string& name, bool resume = false) {
        TransferItem item;
        item.row = row;
        item.remoteFolder = remote_.string();
        item.remoteName = name;
        item.localPath = (local_ / name).string();
        item.resume = resume;
        return item;
    }

    SftpOutcome Get(std::vector<TransferItem> items, int type = kImageType,
                    std::vector<TransferFolder> folders = {}) {
        auto transfers = std::make_unique<TransferItems>(std::move(items));
        transfers->folders = std::move(folders);
        FtpRequest request{FtpRequestKind::Get, local_.string(), std::move(transfers), type};
        return SftpTransferRequests::GetFiles(*context_, request);
    }

    SftpOutcome Put(std::vector<TransferItem> items, int type = kImageType,
                    std::vector<TransferFolder> folders = {}) {
        auto transfers = std::make_unique<TransferItems>(std::move(items));
        transfers->folders = std::move(folders);
        FtpRequest request{FtpRequestKind::Put, {}, std::move(transfers), type};
        return SftpTransferRequests::PutFiles(*context_, request);
    }

    // The plan's files as queue rows numbered from `firstRow`.
    static std::vector<TransferItem> RowsOf(const TransferPlan& plan, std::uint64_t firstRow) {
        std::vector<TransferItem> items;
        for (const PlannedFile& file : plan.files) {
            items.push_back(file.item);
            items.back().row = firstRow++;
        }
        return items;
    }

    std::vector<std::string> Events() const { return views_.TransferEvents(); }
    std::string Log() const { return Joined(views_.Messages()); }

    RealSshServer server_;
    ScriptedPrompts prompts_;
    RecordingViews views_;
    std::unique_ptr<SftpContext> context_;
    fs::path remote_;
    fs::path local_;
};

struct GetRow {
    const char* name;
    std::size_t size;
    // Bytes already in the local file, and whether the row asks to go on from them.
    std::size_t held;
    bool resume;
};

const GetRow kGetRows[] = {
    {"Empty", 0, 0, false},
    {"OneByte", 1, 0, false},
    {"ExactlyOneRead", 32768, 0, false},
    {"OneReadAndAByte", 32769, 0, false},
    {"TenMiB", 10 << 20, 0, false},
    {"ResumeOfAPartialFile", 1 << 20, 300001, true},
    {"PartialFileNotResumedIsWrittenAgain", 70000, 5000, false},
};

class SftpGetRows : public SftpTransferRequestsTest, public testing::WithParamInterface<GetRow> {};

TEST_P(SftpGetRows, LocalFileIsTheServersWithItsTime) {
    const GetRow& row = GetParam();
    const std::string bytes = TempDir::PatternBytes(row.size, 11);
    ASSERT_TRUE(TempDir::WriteFileAt(remote_ / "file.bin", bytes));
    SetFileTime(remote_ / "file.bin", kFileTime);
    if (row.held > 0) {
        // A wrong last byte: a resume keeps what is there, a fresh download replaces it.
        std::string partial = bytes.substr(0, row.held);
        partial.back() = static_cast<char>(row.resume ? partial.back() : ~partial.back());
        TempDir::WriteFileAt(local_ / "file.bin", partial);
    }

    const SftpOutcome outcome =
        Get({DownloadRow(7, "file.bin", static_cast<std::int64_t>(row.size), row.resume)});

    EXPECT_EQ(outcome, SftpOutcome::Done) << Log();
    EXPECT_TRUE(TempDir::ReadFileAt(local_ / "file.bin") == bytes) << "the local file differs";
    EXPECT_EQ(FileTime(local_ / "file.bin"), kFileTime);
    const std::vector<std::string> events = Events();
    ASSERT_FALSE(events.empty());
    const std::size_t offset = row.resume ? row.held : 0;
    EXPECT_EQ(events.front(), "started 7 " + std::to_string(offset) + " " + std::to_string(row.size));
    EXPECT_EQ(events.back(), "done 7");
    EXPECT_EQ(std::count(events.begin(), events.end(), "done 7"), 1);
    // One statistics line for the file, with the bytes that moved.
    EXPECT_TRUE(Contains(views_.Messages(), "received " + std::to_string(row.size - offset) + " bytes"))
        << Log();
    EXPECT_EQ(row.resume, Log().find("resuming") != std::string::npos) << Log();
    // The status and progress bar end as they began.
    EXPECT_EQ(views_.Texts("SetProgress").back(), "0");
}

INSTANTIATE_TEST_SUITE_P(Rows, SftpGetRows, testing::ValuesIn(kGetRows),
                         [](const testing::TestParamInfo<GetRow>& info) {
                             return std::string(info.param.name);
                         });

struct PutRow {
    const char* name;
    std::size_t size;
    // Bytes already on the server, and whether the row asks to go on from them.
    std::size_t held;
    bool resume;
};

const PutRow kPutRows[] = {
    {"Empty", 0, 0, false},
    {"OneWriteAndAByte", 255 * 1024 + 1, 0, false},
    {"ResumeOfAPartialFile", 1 << 20, 123457, true},
    {"ReplacesALongerFile", 1000, 5000, false},
};

class SftpPutRows : public SftpTransferRequestsTest, public testing::WithParamInterface<PutRow> {};

TEST_P(SftpPutRows, ServersFileIsTheLocalOneWithItsTime) {
    const PutRow& row = GetParam();
    const std::string bytes = TempDir::PatternBytes(row.size, 5);
    ASSERT_TRUE(TempDir::WriteFileAt(local_ / "up.bin", bytes));
    SetFileTime(local_ / "up.bin", kFileTime);
    if (row.held > 0) {
        TempDir::WriteFileAt(remote_ / "up.bin", TempDir::PatternBytes(row.held, row.resume ? 5 : 9));
    }

    const SftpOutcome outcome = Put({UploadRow(3, "up.bin", row.resume)});

    EXPECT_EQ(outcome, SftpOutcome::Done) << Log();
    EXPECT_TRUE(TempDir::ReadFileAt(remote_ / "up.bin") == bytes) << "the server's file differs";
    EXPECT_EQ(FileTime(remote_ / "up.bin"), kFileTime);
    const std::size_t offset = row.resume ? row.held : 0;
    const std::vector<std::string> events = Events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front(), "started 3 " + std::to_string(offset) + " " + std::to_string(row.size));
    EXPECT_EQ(events.back(), "done 3");
    // The Remote page shows the folder it went to: it learns of the file.
    EXPECT_EQ(views_.Texts("UploadedFile"), std::vector<std::string>{"up.bin " + std::to_string(row.size) +
                                                                     " " + std::to_string(kFileTime)});
    EXPECT_TRUE(Contains(views_.Messages(), "sent " + std::to_string(row.size - offset) + " bytes")) << Log();
}

INSTANTIATE_TEST_SUITE_P(Rows, SftpPutRows, testing::ValuesIn(kPutRows),
                         [](const testing::TestParamInfo<PutRow>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(SftpTransferRequestsTest, TreeGoesDownAndUpWithItsShapeBytesAndTimes) {
    // top/{a.bin, empty/, sub/b.bin, sub/back -> top (a loop), c.lnk -> a.bin}
    const fs::path top = remote_ / "top";
    fs::create_directories(top / "sub");
    fs::create_directories(top / "empty");
    TempDir::WriteFileAt(top / "a.bin", TempDir::PatternBytes(40000, 1));
    TempDir::WriteFileAt(top / "sub" / "b.bin", TempDir::PatternBytes(3, 2));
    fs::create_symlink(top, top / "sub" / "back");
    fs::create_symlink("a.bin", top / "c.lnk");
    SetFileTime(top / "a.bin", kFileTime);
    SetFileTime(top / "sub" / "b.bin", kFileTime + 1);
    SetFileTime(top / "sub", kFolderTime);
    const fs::path into = local_ / "down";
    fs::create_directories(into);

    auto selection = std::make_unique<FolderSelection>();
    selection->folder = remote_.string();
    selection->entries.push_back({0, "top", true, false});
    FtpRequest walk{FtpRequestKind::WalkDownload, into.string(), std::move(selection), kImageType};
    ASSERT_EQ(SftpTransferRequests::WalkDownload(*context_, walk), SftpOutcome::Done) << Log();
    const std::shared_ptr<TransferPlan> plan = views_.LastTransferPlan();
    ASSERT_NE(plan, nullptr);
    EXPECT_FALSE(plan->stopped);
    // The loop ends where it comes back, with a line that says so.
    ASSERT_EQ(plan->problems.size(), 1u) << Joined(plan->problems);
    EXPECT_NE(plan->problems.front().find("reached already"), std::string::npos) << plan->problems.front();
    EXPECT_EQ(plan->folders.size(), 3u);
    ASSERT_EQ(plan->files.size(), 3u);

    auto items = std::make_unique<TransferItems>(RowsOf(*plan, 1));
    items->folders = plan->folders;
    FtpRequest get{FtpRequestKind::Get, into.string(), std::move(items), kImageType};
    ASSERT_EQ(SftpTransferRequests::GetFiles(*context_, get), SftpOutcome::Done) << Log();

    const std::map<std::string, std::string> expected = {
        {"top", "dir"},
        {"top/a.bin", TempDir::PatternBytes(40000, 1)},
        {"top/c.lnk", TempDir::PatternBytes(40000, 1)},
        {"top/empty", "dir"},
        {"top/sub", "dir"},
        {"top/sub/b.bin", TempDir::PatternBytes(3, 2)},
    };
    EXPECT_EQ(TreeOf(into), expected);
    EXPECT_EQ(FileTime(into / "top" / "a.bin"), kFileTime);
    EXPECT_EQ(FileTime(into / "top" / "sub" / "b.bin"), kFileTime + 1);
    EXPECT_EQ(FileTime(into / "top" / "sub"), kFolderTime);

    // And back up into a new server folder: the same tree (the link now a file), with its files' times.
    const fs::path back = remote_ / "back";
    fs::create_directory(back);
    FtpRequest walkUp{FtpRequestKind::WalkUpload, back.string(),
                      std::make_unique<DroppedFiles>(std::vector<std::string>{(into / "top").string()}),
                      kImageType};
    ASSERT_EQ(SftpTransferRequests::WalkUpload(*context_, walkUp), SftpOutcome::Done) << Log();
    const std::shared_ptr<TransferPlan> upPlan = views_.LastTransferPlan();
    ASSERT_NE(upPlan, nullptr);
    ASSERT_TRUE(upPlan->upload);
    EXPECT_EQ(upPlan->folders.size(), 3u);
    EXPECT_EQ(upPlan->files.size(), 3u);
    auto upItems = std::make_unique<TransferItems>(RowsOf(*upPlan, 10));
    upItems->folders = upPlan->folders;
    FtpRequest put{FtpRequestKind::Put, {}, std::move(upItems), kImageType};
    ASSERT_EQ(SftpTransferRequests::PutFiles(*context_, put), SftpOutcome::Done) << Log();
    EXPECT_EQ(TreeOf(back), expected);
    EXPECT_EQ(FileTime(back / "top" / "sub" / "b.bin"), kFileTime + 1);
    const std::vector<std::string> events = Events();
    EXPECT_EQ(std::count_if(events.begin(), events.end(),
                            [](const std::string& e) { return e.starts_with("done "); }),
              6);

    // A second walk finds the server's folders there and the files in the way.
    FtpRequest again{FtpRequestKind::WalkUpload, back.string(),
                     std::make_unique<DroppedFiles>(std::vector<std::string>{(into / "top").string()}),
                     kImageType};
    ASSERT_EQ(SftpTransferRequests::WalkUpload(*context_, again), SftpOutcome::Done) << Log();
    const std::shared_ptr<TransferPlan> second = views_.LastTransferPlan();
    EXPECT_TRUE(second->folders.empty());
    EXPECT_TRUE(std::all_of(second->files.begin(), second->files.end(),
                            [](const PlannedFile& file) { return file.targetExists; }));
}

TEST_F(SftpTransferRequestsTest, FolderThatCannotBeMadeFailsItsFilesOnly) {
    // The plan wants the folders "tree" and "tree/sub"; a file named "sub" is in the way on the server.
    fs::create_directories(local_ / "tree" / "sub");
    TempDir::WriteFileAt(local_ / "tree" / "top.txt", "top");
    TempDir::WriteFileAt(local_ / "tree" / "sub" / "low.txt", "low");
    fs::create_directory(remote_ / "tree");
    TempDir::WriteFileAt(remote_ / "tree" / "sub", "in the way");
    const std::string tree = (remote_ / "tree").string();
    std::vector<TransferItem> items = {UploadRow(1, "tree/top.txt"), UploadRow(2, "tree/sub/low.txt")};
    items[0].remoteFolder = tree;
    items[0].remoteName = "top.txt";
    items[1].remoteFolder = tree + "/sub";
    items[1].remoteName = "low.txt";

    EXPECT_EQ(Put(items, kImageType, {{tree, -1}, {tree + "/sub", -1}}), SftpOutcome::Failed) << Log();

    const std::vector<std::string> events = Events();
    EXPECT_TRUE(Contains(events, "failed 2 the folder " + tree + "/sub could not be made")) << Joined(events);
    EXPECT_TRUE(Contains(events, "done 1")) << Joined(events);
    EXPECT_TRUE(Contains(views_.Messages(), tree + " is there already")) << Log();
    EXPECT_EQ(TempDir::ReadFileAt(remote_ / "tree" / "top.txt"), "top");
    EXPECT_EQ(TempDir::ReadFileAt(remote_ / "tree" / "sub"), "in the way");
}

struct TypeRow {
    const char* name;
    bool download;
};

const TypeRow kTypeRows[] = {{"Get", true}, {"Put", false}};

class SftpAsciiRefused : public SftpTransferRequestsTest, public testing::WithParamInterface<TypeRow> {};

TEST_P(SftpAsciiRefused, NothingMovesAndTheRowsSayWhy) {
    TempDir::WriteFileAt(remote_ / "text.txt", "a\nb\n");
    TempDir::WriteFileAt(local_ / "up.txt", "a\nb\n");
    const bool download = GetParam().download;

    const SftpOutcome outcome = download ? Get({DownloadRow(1, "text.txt", 4)}, kAsciiType)
                                         : Put({UploadRow(1, "up.txt")}, kAsciiType);

    EXPECT_EQ(outcome, SftpOutcome::Failed);
    ASSERT_EQ(Events().size(), 1u) << Joined(Events());
    EXPECT_TRUE(Events().front().starts_with("failed 1 ")) << Events().front();
    EXPECT_NE(Events().front().find("binary only"), std::string::npos) << Events().front();
    EXPECT_TRUE(Contains(views_.Messages(), "ASCII type is not available over SFTP")) << Log();
    EXPECT_EQ(views_.Failures().size(), 1u);
    EXPECT_FALSE(fs::exists(local_ / "text.txt"));
    EXPECT_FALSE(fs::exists(remote_ / "up.txt"));
    EXPECT_TRUE(views_.Traffic().empty()) << Joined(views_.Traffic());
}

INSTANTIATE_TEST_SUITE_P(Rows, SftpAsciiRefused, testing::ValuesIn(kTypeRows),
                         [](const testing::TestParamInfo<TypeRow>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(SftpTransferRequestsTest, AbortStopsTheRowsAndTheNextGetWorks) {
    const std::string big = TempDir::PatternBytes(4 << 20, 3);
    TempDir::WriteFileAt(remote_ / "big.bin", big);
    TempDir::WriteFileAt(remote_ / "small.bin", "small");
    // Few reads in flight: the abort lands while most of the file is still to come.
    SftpClient::Tuning tuning;
    tuning.readChunk = 16 * 1024;
    tuning.readsInFlight = 2;
    context_->Client().SetTuning(tuning);
    views_.SetHook([&](const RecordedCall& call) {
        if (call.op == "SetProgress" && call.text != "0") {
            context_->RequestAbort();
        }
    });

    EXPECT_NE(Get({DownloadRow(1, "big.bin", 4 << 20), DownloadRow(2, "small.bin", 5)}), SftpOutcome::Lost);

    views_.SetHook({});
    const std::vector<std::string> stopped = {"stopped 1 Stopped by the user",
                                              "stopped 2 Stopped by the user"};
    std::vector<std::string> ends;
    for (const std::string& event : Events()) {
        if (!event.starts_with("progress") && !event.starts_with("started")) {
            ends.push_back(event);
        }
    }
    EXPECT_EQ(ends, stopped);
    const auto partial = TempDir::ReadFileAt(local_ / "big.bin");
    ASSERT_TRUE(partial.has_value());
    EXPECT_LT(partial->size(), big.size());
    EXPECT_TRUE(*partial == big.substr(0, partial->size())) << "not a beginning of the file";
    EXPECT_FALSE(fs::exists(local_ / "small.bin"));
    EXPECT_TRUE(views_.Failures().empty());

    context_->ResetAbort();
    EXPECT_EQ(Get({DownloadRow(3, "big.bin", 4 << 20, true)}), SftpOutcome::Done) << Log();
    EXPECT_EQ(Events().back(), "done 3");
    EXPECT_TRUE(TempDir::ReadFileAt(local_ / "big.bin") == big) << "the resumed file differs";
}

TEST_F(SftpTransferRequestsTest, KilledServerEndsTheRequestWithNothingDone) {
    TempDir::WriteFileAt(remote_ / "big.bin", TempDir::PatternBytes(4 << 20, 4));
    TempDir::WriteFileAt(remote_ / "next.bin", "next");
    SftpClient::Tuning tuning;
    tuning.readChunk = 16 * 1024;
    tuning.readsInFlight = 2;
    context_->Client().SetTuning(tuning);
    bool killed = false;
    views_.SetHook([&](const RecordedCall& call) {
        if (!killed && call.op == "SetProgress" && call.text != "0") {
            killed = true;
            server_.Kill();
        }
    });

    EXPECT_EQ(Get({DownloadRow(1, "big.bin", 4 << 20), DownloadRow(2, "next.bin", 4)}), SftpOutcome::Lost);

    EXPECT_TRUE(killed);
    std::vector<std::string> ends;
    for (const std::string& event : Events()) {
        if (!event.starts_with("progress") && !event.starts_with("started")) {
            ends.push_back(event);
        }
    }
    ASSERT_EQ(ends.size(), 2u) << Joined(Events());
    EXPECT_TRUE(ends[0].starts_with("stopped 1 the connection was lost")) << ends[0];
    EXPECT_TRUE(ends[1].starts_with("stopped 2 the connection was lost")) << ends[1];
    EXPECT_LT(fs::file_size(local_ / "big.bin"), static_cast<std::uintmax_t>(4 << 20));
    EXPECT_FALSE(fs::exists(local_ / "next.bin"));
    EXPECT_TRUE(views_.Failures().empty());
}

TEST_F(SftpTransferRequestsTest, MissingServerFileFailsWithoutRetriesAndLeavesNoEmptyFile) {
    EXPECT_EQ(Get({DownloadRow(1, "missing.bin", 10)}), SftpOutcome::Failed);
    ASSERT_EQ(Events().size(), 2u) << Joined(Events());
    EXPECT_EQ(Events()[0], "started 1 0 10");
    EXPECT_TRUE(Events()[1].starts_with("failed 1 ")) << Events()[1];
    EXPECT_NE(Events()[1].find("no such file"), std::string::npos) << Events()[1];
    EXPECT_FALSE(fs::exists(local_ / "missing.bin"));
}

TEST_F(SftpTransferRequestsTest, FileThatChangedSizeIsTakenWholeWithALine) {
    TempDir::WriteFileAt(remote_ / "grown.log", TempDir::PatternBytes(5000, 8));

    EXPECT_EQ(Get({DownloadRow(1, "grown.log", 3000)}), SftpOutcome::Done) << Log();

    EXPECT_TRUE(TempDir::ReadFileAt(local_ / "grown.log") == TempDir::PatternBytes(5000, 8));
    EXPECT_TRUE(Contains(views_.Messages(), "changed size")) << Log();
}

TEST_F(SftpTransferRequestsTest, FileCutOnTheServerDuringTheDownloadIsNeverDoneShort) {
    const std::string bytes = TempDir::PatternBytes(2 << 20, 6);
    TempDir::WriteFileAt(remote_ / "cut.bin", bytes);
    SftpClient::Tuning tuning;
    tuning.readChunk = 16 * 1024;
    tuning.readsInFlight = 2;
    context_->Client().SetTuning(tuning);
    bool cut = false;
    views_.SetHook([&](const RecordedCall& call) {
        if (!cut && call.op == "SetProgress" && call.text != "0") {
            cut = true;
            fs::resize_file(remote_ / "cut.bin", 100000);
        }
    });

    EXPECT_EQ(Get({DownloadRow(1, "cut.bin", 2 << 20)}), SftpOutcome::Done) << Log();

    EXPECT_TRUE(cut);
    // The short first attempt is tried again, and what the server holds now is taken whole.
    EXPECT_TRUE(Contains(Events(), "retrying 1 1 0 size differs")) << Joined(Events());
    EXPECT_EQ(Events().back(), "done 1");
    EXPECT_TRUE(TempDir::ReadFileAt(local_ / "cut.bin") == bytes.substr(0, 100000));
}

TEST_F(SftpTransferRequestsTest, NamesWithControlCharactersGoBothWays) {
    const std::string name = "new\nline\x01.txt";
    TempDir::WriteFileAt(remote_ / name, "down");
    TempDir::WriteFileAt(local_ / "tab\there.txt", "up");

    EXPECT_EQ(Get({DownloadRow(1, name, 4)}), SftpOutcome::Done) << Log();
    EXPECT_EQ(Put({UploadRow(2, "tab\there.txt")}), SftpOutcome::Done) << Log();

    EXPECT_EQ(TempDir::ReadFileAt(local_ / "new_line_.txt"), "down");
    EXPECT_EQ(TempDir::ReadFileAt(remote_ / "tab\there.txt"), "up");
    // The log's messages never carry the raw line end.
    for (const std::string& line : views_.Messages()) {
        EXPECT_EQ(line.find('\n'), std::string::npos) << line;
    }
}

TEST_F(SftpTransferRequestsTest, SelectionAndDropWithoutRowsTellThePage) {
    TempDir::WriteFileAt(remote_ / "listed.bin", "listed");
    SetFileTime(remote_ / "listed.bin", kFileTime);
    TempDir::WriteFileAt(local_ / "dropped.bin", "dropped");
    views_.SetEntries({RemoteEntry("listed.bin", 6, static_cast<std::int32_t>(kFileTime)),
                       RemoteEntry("gone.bin", 3, static_cast<std::int32_t>(kFileTime))});

    FtpRequest get{FtpRequestKind::Get, local_.string(),
                   std::make_unique<SelectionIndexes>(std::vector<int>{0, 1}), kImageType};
    EXPECT_EQ(SftpTransferRequests::GetFiles(*context_, get), SftpOutcome::Failed);
    FtpRequest put{
        FtpRequestKind::Put,
        {},
        std::make_unique<DroppedFiles>(std::vector<std::string>{(local_ / "dropped.bin").string()}),
        kImageType};
    EXPECT_EQ(SftpTransferRequests::PutFiles(*context_, put), SftpOutcome::Done);

    EXPECT_EQ(TempDir::ReadFileAt(local_ / "listed.bin"), "listed");
    EXPECT_EQ(FileTime(local_ / "listed.bin"), kFileTime);
    EXPECT_EQ(TempDir::ReadFileAt(remote_ / "dropped.bin"), "dropped");
    ASSERT_EQ(views_.Failures().size(), 1u);
    EXPECT_TRUE(views_.Failures().front().starts_with("Remote: Could not download gone.bin: "))
        << views_.Failures().front();
    EXPECT_EQ(views_.Count("UploadedFile"), 1);
    EXPECT_TRUE(Events().empty());
}

}  // namespace
