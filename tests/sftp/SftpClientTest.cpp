// The SFTP layer against OpenSSH's server: listings, downloads and uploads byte for byte with their
// times, resumes, the file commands, an abort, and a server killed mid-transfer.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>

#include "sftp/SftpClient.h"
#include "sftp/SshConnection.h"
#include "support/RealSshServer.h"
#include "support/SshTestKit.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

constexpr std::int64_t kFileTime = 1600000000;  // 2020-09-13, far from now

void SetFileTime(const fs::path& path, std::int64_t seconds) {
    timeval times[2] = {{static_cast<time_t>(seconds), 0}, {static_cast<time_t>(seconds), 0}};
    ::utimes(path.c_str(), times);
}

std::int64_t FileTime(const fs::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mtime : -1;
}

class SftpOverSsh : public testing::Test {
  protected:
    void SetUp() override {
        WISP_REQUIRE_SSH_SERVER(server_);
        SshConnectOptions options = OptionsFor(server_);
        options.keyFiles = {server_.MakeClientKey("id_test", "ed25519")};
        connection_ = std::make_unique<SshConnection>(log_, prompts_);
        ASSERT_TRUE(connection_->Open(options)) << log_.Messages();
        client_ = std::make_unique<SftpClient>(*connection_);
        ASSERT_TRUE(client_->Open()) << log_.Messages();
        remote_ = server_.Dir() / "served";
        local_ = server_.Dir() / "local";
        fs::create_directories(remote_);
        fs::create_directories(local_);
    }

    RealSshServer server_;
    ScriptedPrompts prompts_;
    TwoChannelLog log_;
    std::unique_ptr<SshConnection> connection_;
    std::unique_ptr<SftpClient> client_;
    fs::path remote_;
    fs::path local_;
};

TEST_F(SftpOverSsh, LogsTheProtocolVersionAndListsAFolderInOnePass) {
    EXPECT_EQ(client_->Version(), 3);
    EXPECT_NE(log_.Messages().find("SFTP version 3"), std::string::npos);
    TempDir::WriteFileAt(remote_ / "five.txt", "12345");
    ::chmod((remote_ / "five.txt").c_str(), 0640);
    SetFileTime(remote_ / "five.txt", kFileTime);
    fs::create_directory(remote_ / "sub folder");
    fs::create_symlink("five.txt", remote_ / "link");
    TempDir::WriteFileAt(remote_ / "new\nline", "x");

    SftpListing listing = client_->List(remote_.string());
    ASSERT_TRUE(listing.result) << listing.result.reason;
    EXPECT_EQ(listing.refusedNames, 0u);
    struct Expected {
        const char* name;
        SftpEntryKind kind;
        std::int64_t size;
    };
    const Expected expected[] = {{"five.txt", SftpEntryKind::File, 5},
                                 {"sub folder", SftpEntryKind::Folder, -2},
                                 {"link", SftpEntryKind::Link, -2},
                                 {"new\nline", SftpEntryKind::File, 1}};
    ASSERT_EQ(listing.entries.size(), std::size(expected));
    for (const Expected& want : expected) {
        auto found = std::find_if(listing.entries.begin(), listing.entries.end(),
                                  [&](const SftpEntry& entry) { return entry.name == want.name; });
        ASSERT_NE(found, listing.entries.end()) << want.name;
        EXPECT_EQ(found->kind, want.kind) << want.name;
        if (want.size != -2) {
            EXPECT_EQ(found->size, want.size) << want.name;
        }
        if (std::string(want.name) == "five.txt") {
            EXPECT_EQ(found->mtime, kFileTime);
            EXPECT_EQ(found->permissions, 0640u);
        }
    }
    SftpListing missing = client_->List((remote_ / "nowhere").string());
    EXPECT_FALSE(missing.result);
    EXPECT_NE(missing.result.reason.find("no such file"), std::string::npos) << missing.result.reason;
}

TEST(SftpNames, OnlyPlainNamesAreUsable) {
    const std::pair<const char*, bool> rows[] = {{"a.txt", true}, {".hidden", true}, {"...", true},
                                                 {"a b", true},   {".", false},      {"..", false},
                                                 {"", false},     {"a/b", false},    {"/", false}};
    for (const auto& [name, usable] : rows) {
        EXPECT_EQ(SftpClient::IsSafeName(name), usable) << name;
    }
}

struct DownloadRow {
    const char* name;
    std::size_t size;
    // Bytes already in the local file, and how many wrong bytes follow them there.
    std::int64_t resumeFrom;
    std::size_t staleTail;
    // Bigger than the server answers in one go: short answers must be filled in.
    std::uint32_t readChunk;
};

const DownloadRow kDownloadRows[] = {
    {"Empty", 0, 0, 0, 64 * 1024},
    {"OneByte", 1, 0, 0, 64 * 1024},
    {"ExactlyOneRead", 32768, 0, 0, 32768},
    {"OneReadAndAByte", 32769, 0, 0, 32768},
    {"TenMiB", 10 << 20, 0, 0, 64 * 1024},
    {"TenMiBInShortAnswers", 10 << 20, 0, 0, 1024 * 1024},
    {"ResumeFromTheMiddle", 1 << 20, 300001, 0, 64 * 1024},
    {"ResumeDropsAStaleTail", 1 << 20, 4096, 5000, 64 * 1024},
    {"ResumeOfACompleteFile", 70000, 70000, 0, 64 * 1024},
};

class SftpDownload : public SftpOverSsh, public testing::WithParamInterface<DownloadRow> {};

TEST_P(SftpDownload, LocalFileIsTheServersByteForByte) {
    const DownloadRow& row = GetParam();
    const std::string bytes = TempDir::PatternBytes(row.size, 7);
    ASSERT_TRUE(TempDir::WriteFileAt(remote_ / "file.bin", bytes));
    SetFileTime(remote_ / "file.bin", kFileTime);
    const fs::path local = local_ / "file.bin";
    TempDir::WriteFileAt(
        local, bytes.substr(0, static_cast<std::size_t>(row.resumeFrom)) + std::string(row.staleTail, 'X'));
    SftpClient::Tuning tuning;
    tuning.readChunk = row.readChunk;
    client_->SetTuning(tuning);
    std::int64_t lastProgress = -1;
    SftpTransferControl control;
    control.progress = [&](std::int64_t done, std::int64_t) { lastProgress = done; };

    SftpTransferResult result =
        client_->Download((remote_ / "file.bin").string(), local.string(), row.resumeFrom, control);

    ASSERT_TRUE(result.result) << result.result.reason << "\n" << log_.Messages();
    EXPECT_TRUE(TempDir::ReadFileAt(local) == bytes) << "the local file differs";
    EXPECT_EQ(result.bytesMoved, static_cast<std::int64_t>(row.size) - row.resumeFrom);
    EXPECT_EQ(result.finalSize, static_cast<std::int64_t>(row.size));
    EXPECT_EQ(result.sourceSize, static_cast<std::int64_t>(row.size));
    EXPECT_EQ(result.sourceMtime, kFileTime);
    if (result.bytesMoved > 0) {
        EXPECT_EQ(lastProgress, static_cast<std::int64_t>(row.size));
    }
    EXPECT_NE(std::find(log_.traffic.begin(), log_.traffic.end(),
                        "open " + (remote_ / "file.bin").string() + " for reading"),
              log_.traffic.end());
    EXPECT_NE(log_.Messages().find("received " + std::to_string(result.bytesMoved) + " bytes"),
              std::string::npos)
        << log_.Messages();
}

INSTANTIATE_TEST_SUITE_P(Rows, SftpDownload, testing::ValuesIn(kDownloadRows),
                         [](const testing::TestParamInfo<DownloadRow>& info) {
                             return std::string(info.param.name);
                         });

struct UploadRow {
    const char* name;
    std::size_t size;
    // Bytes already on the server, and wrong bytes after them there.
    std::int64_t resumeFrom;
    std::size_t staleTail;
};

const UploadRow kUploadRows[] = {
    {"Empty", 0, 0, 0},
    {"OneByte", 1, 0, 0},
    {"OneWriteAndAByte", 255 * 1024 + 1, 0, 0},
    {"TenMiB", 10 << 20, 0, 0},
    {"ReplacesALongerFile", 1000, 0, 5000},
    {"ResumeFromTheMiddle", 1 << 20, 123457, 0},
    {"ResumeDropsAStaleTail", 1 << 20, 4096, 7000},
};

class SftpUpload : public SftpOverSsh, public testing::WithParamInterface<UploadRow> {};

TEST_P(SftpUpload, ServersFileIsTheLocalOneWithItsTime) {
    const UploadRow& row = GetParam();
    const std::string bytes = TempDir::PatternBytes(row.size, 3);
    ASSERT_TRUE(TempDir::WriteFileAt(local_ / "up.bin", bytes));
    if (row.resumeFrom > 0 || row.staleTail > 0) {
        TempDir::WriteFileAt(remote_ / "up.bin", bytes.substr(0, static_cast<std::size_t>(row.resumeFrom)) +
                                                     std::string(row.staleTail, 'X'));
    }
    const std::string remote = (remote_ / "up.bin").string();

    SftpTransferResult result = client_->Upload((local_ / "up.bin").string(), remote, row.resumeFrom);
    ASSERT_TRUE(result.result) << result.result.reason << "\n" << log_.Messages();
    ASSERT_TRUE(client_->SetTimes(remote, kFileTime, kFileTime + 60));

    EXPECT_TRUE(TempDir::ReadFileAt(remote_ / "up.bin") == bytes) << "the server's file differs";
    EXPECT_EQ(result.bytesMoved, static_cast<std::int64_t>(row.size) - row.resumeFrom);
    EXPECT_EQ(FileTime(remote_ / "up.bin"), kFileTime + 60);
    SftpStat stat = client_->Stat(remote);
    EXPECT_EQ(stat.attributes.mtime, kFileTime + 60);
    EXPECT_EQ(stat.attributes.size, static_cast<std::int64_t>(row.size));
}

INSTANTIATE_TEST_SUITE_P(Rows, SftpUpload, testing::ValuesIn(kUploadRows),
                         [](const testing::TestParamInfo<UploadRow>& info) {
                             return std::string(info.param.name);
                         });

struct CommandRow {
    const char* name;
    std::function<SshResult(SftpClient&, const fs::path& root)> command;
    bool succeeds;
    // In the reason of a failure.
    const char* reason;
    // What the served folder holds afterwards.
    std::function<bool(const fs::path& root)> after;
};

const CommandRow kCommandRows[] = {
    {"MakeFolder", [](SftpClient& c, const fs::path& r) { return c.MakeFolder((r / "new").string()); }, true,
     "", [](const fs::path& r) { return fs::is_directory(r / "new"); }},
    {"MakeFolderThatExists",
     [](SftpClient& c, const fs::path& r) { return c.MakeFolder((r / "folder").string()); }, false,
     "Make folder", [](const fs::path& r) { return fs::is_directory(r / "folder"); }},
    {"RemoveEmptyFolder",
     [](SftpClient& c, const fs::path& r) { return c.RemoveFolder((r / "folder").string()); }, true, "",
     [](const fs::path& r) { return !fs::exists(r / "folder"); }},
    {"RemoveFolderHoldingFiles",
     [](SftpClient& c, const fs::path& r) { return c.RemoveFolder((r / "full").string()); }, false, "SSH_FX_",
     [](const fs::path& r) { return fs::exists(r / "full" / "inside"); }},
    {"RemoveFile", [](SftpClient& c, const fs::path& r) { return c.Remove((r / "file").string()); }, true, "",
     [](const fs::path& r) { return !fs::exists(r / "file"); }},
    {"RemoveMissingFile", [](SftpClient& c, const fs::path& r) { return c.Remove((r / "missing").string()); },
     false, "no such file (SSH_FX_NO_SUCH_FILE)", [](const fs::path& r) { return fs::exists(r / "file"); }},
    {"RenameFile",
     [](SftpClient& c, const fs::path& r) {
         return c.Rename((r / "file").string(), (r / "renamed").string());
     },
     true, "", [](const fs::path& r) { return !fs::exists(r / "file") && fs::exists(r / "renamed"); }},
    {"RenameOntoAnExistingFile",
     [](SftpClient& c, const fs::path& r) { return c.Rename((r / "file").string(), (r / "other").string()); },
     false, "Rename", [](const fs::path& r) { return TempDir::ReadFileAt(r / "other") == "other"; }},
    {"SetTimesOfMissingFile",
     [](SftpClient& c, const fs::path& r) { return c.SetTimes((r / "missing").string(), 1, 1); }, false,
     "no such file", [](const fs::path& r) { return !fs::exists(r / "missing"); }},
};

class SftpCommand : public SftpOverSsh, public testing::WithParamInterface<CommandRow> {};

TEST_P(SftpCommand, DoesWhatItSaysOrSaysWhyNot) {
    const CommandRow& row = GetParam();
    fs::create_directory(remote_ / "folder");
    fs::create_directory(remote_ / "full");
    TempDir::WriteFileAt(remote_ / "full" / "inside", "x");
    TempDir::WriteFileAt(remote_ / "file", "file");
    TempDir::WriteFileAt(remote_ / "other", "other");

    SshResult result = row.command(*client_, remote_);
    EXPECT_EQ(result.ok, row.succeeds) << result.reason;
    if (!row.succeeds) {
        EXPECT_NE(result.reason.find(row.reason), std::string::npos) << result.reason;
        EXPECT_NE(log_.Messages().find(result.reason), std::string::npos);
    }
    EXPECT_TRUE(row.after(remote_));
    // The session goes on after a refusal.
    EXPECT_TRUE(client_->List(remote_.string()).result);
}

INSTANTIATE_TEST_SUITE_P(Rows, SftpCommand, testing::ValuesIn(kCommandRows),
                         [](const testing::TestParamInfo<CommandRow>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(SftpOverSsh, AbortedDownloadStopsEarlyAndTheSessionGoesOn) {
    const std::string bytes = TempDir::PatternBytes(8 << 20, 5);
    TempDir::WriteFileAt(remote_ / "big.bin", bytes);
    std::atomic<bool> abort{false};
    SftpTransferControl control;
    control.abort = &abort;
    control.progress = [&](std::int64_t done, std::int64_t) {
        if (done >= (1 << 20)) {
            abort = true;
        }
    };
    SftpTransferResult aborted =
        client_->Download((remote_ / "big.bin").string(), (local_ / "big.bin").string(), 0, control);
    EXPECT_FALSE(aborted.result);
    EXPECT_TRUE(aborted.aborted);
    EXPECT_LT(aborted.finalSize, static_cast<std::int64_t>(bytes.size()));
    // What was written is a true beginning of the file.
    std::string partial = TempDir::ReadFileAt(local_ / "big.bin").value_or("");
    EXPECT_EQ(static_cast<std::int64_t>(partial.size()), aborted.finalSize);
    EXPECT_TRUE(partial == bytes.substr(0, partial.size())) << "not a beginning of the file";

    EXPECT_TRUE(client_->List(remote_.string()).result);
    SftpTransferResult resumed =
        client_->Download((remote_ / "big.bin").string(), (local_ / "big.bin").string(), aborted.finalSize);
    ASSERT_TRUE(resumed.result) << resumed.result.reason;
    EXPECT_TRUE(TempDir::ReadFileAt(local_ / "big.bin") == bytes) << "the resumed file differs";
}

struct CutRow {
    const char* name;
    bool download;
};

const CutRow kCutRows[] = {{"Download", true}, {"Upload", false}};

class SftpCut : public SftpOverSsh, public testing::WithParamInterface<CutRow> {};

TEST_P(SftpCut, KilledServerIsAClearFailureNotAWholeFile) {
    const CutRow& row = GetParam();
    const std::string bytes = TempDir::PatternBytes(32 << 20, 9);
    TempDir::WriteFileAt((row.download ? remote_ : local_) / "big.bin", bytes);
    SftpTransferControl control;
    bool killed = false;
    control.progress = [&](std::int64_t done, std::int64_t) {
        if (!killed && done >= (1 << 20)) {
            killed = true;
            server_.Kill();
        }
    };
    SftpTransferResult result =
        row.download
            ? client_->Download((remote_ / "big.bin").string(), (local_ / "big.bin").string(), 0, control)
            : client_->Upload((local_ / "big.bin").string(), (remote_ / "big.bin").string(), 0, control);
    EXPECT_TRUE(killed);
    EXPECT_FALSE(result.result);
    EXPECT_FALSE(result.aborted);
    EXPECT_NE(result.result.reason.find("connection lost"), std::string::npos) << result.result.reason;
    EXPECT_LT(result.finalSize, static_cast<std::int64_t>(bytes.size()));
    // Later requests fail at once with the same plain words.
    SshResult after = client_->Remove((remote_ / "big.bin").string());
    EXPECT_NE(after.reason.find("connection lost"), std::string::npos) << after.reason;
}

INSTANTIATE_TEST_SUITE_P(Rows, SftpCut, testing::ValuesIn(kCutRows),
                         [](const testing::TestParamInfo<CutRow>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
