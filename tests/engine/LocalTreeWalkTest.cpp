// The local side of a folder upload on real folders: what a chosen tree becomes on the server, and what
// is left out with a reason (a link loop, a tree deeper than the limit, a folder that cannot be read).
#include "engine/LocalTreeWalk.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/TransferPlan.h"
#include "support/TempDir.h"
#include "views/LogView.h"

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

class Messages : public LogView {
  public:
    void LogTraffic(std::string_view) override {}
    void LogMessage(std::string_view line) override { lines.emplace_back(line); }
    Lines lines;
};

// While it lives, the walk runs as a user without rights beyond a file's mode (root reads anything).
class WithoutRootRights {
  public:
    WithoutRootRights() : was_(::geteuid()) {
        if (was_ == 0) {
            EXPECT_EQ(::seteuid(65534), 0);
        }
    }
    ~WithoutRootRights() {
        if (was_ == 0) {
            EXPECT_EQ(::seteuid(0), 0);
        }
    }
    WithoutRootRights(const WithoutRootRights&) = delete;
    WithoutRootRights& operator=(const WithoutRootRights&) = delete;

  private:
    uid_t was_;
};

struct WalkRow {
    const char* what;
    // Makes the local entries below the scratch folder.
    std::function<void(const fs::path& root)> build;
    // Chosen entries, relative to the scratch folder.
    Lines chosen;
    // The server folders planned, and the files as "server path size", all below "/up".
    Lines folders;
    Lines files;
    // What each problem line starts with, in order.
    Lines problems = {};
    bool withoutRootRights = false;
};

void Write(const fs::path& path, const std::string& bytes) {
    ASSERT_TRUE(TempDir::WriteFileAt(path, bytes)) << path;
}

void Chain(const fs::path& root, int depth) {
    fs::path at = root;
    for (int i = 1; i <= depth; ++i) {
        at /= "d" + std::to_string(i);
        Write(at / "f", "x");
    }
}

std::string ChainPath(int depth) {
    std::string path = "/up";
    for (int i = 1; i <= depth; ++i) {
        path += "/d" + std::to_string(i);
    }
    return path;
}

void RunWalk(const WalkRow& row) {
    SCOPED_TRACE(row.what);
    TempDir scratch("wisp-walk");
    ASSERT_TRUE(scratch.Valid());
    fs::permissions(scratch.Path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                        fs::perms::others_read | fs::perms::others_exec);
    row.build(scratch.Path());
    Messages log;
    TransferPlan plan;
    LocalTreeWalk walk(log, plan, {});
    {
        std::optional<WithoutRootRights> rights;
        if (row.withoutRootRights) {
            rights.emplace();
        }
        for (const std::string& chosen : row.chosen) {
            if (!walk.Add((scratch / chosen).string(), "/up")) {
                break;
            }
        }
    }
    Lines folders;
    for (const TransferFolder& folder : plan.folders) {
        folders.push_back(folder.path);
    }
    Lines files;
    for (const PlannedFile& file : plan.files) {
        EXPECT_EQ(file.item.remoteFolder + "/" + file.item.remoteName,
                  "/up/" + fs::path(file.item.localPath).lexically_relative(scratch.Path()).string())
            << "a file goes to the same place in the server's tree as in the local one";
        files.push_back(file.item.remoteFolder + "/" + file.item.remoteName + " " +
                        std::to_string(file.item.size));
    }
    EXPECT_EQ(folders, row.folders);
    EXPECT_EQ(files, row.files);
    ASSERT_EQ(plan.problems.size(), row.problems.size()) << ::testing::PrintToString(plan.problems);
    for (std::size_t i = 0; i < row.problems.size(); ++i) {
        EXPECT_TRUE(plan.problems[i].starts_with(row.problems[i])) << plan.problems[i];
        EXPECT_NE(std::find(log.lines.begin(), log.lines.end(), "... " + plan.problems[i]), log.lines.end())
            << "not logged: " << plan.problems[i];
    }
}

TEST(LocalTreeWalk, TreesBecomeFoldersAndFilesWithWhatIsLeftOutNamed) {
    const std::vector<WalkRow> rows = {
        {.what = "a link back to its own tree is not entered again: the loop ends",
         .build =
             [](const fs::path& root) {
                 Write(root / "tree/a.txt", "a");
                 fs::create_directories(root / "tree/sub");
                 fs::create_directory_symlink("..", root / "tree/sub/back");
             },
         .chosen = {"tree"},
         .folders = {"/up/tree", "/up/tree/sub"},
         .files = {"/up/tree/a.txt 1"},
         .problems = {"tree/sub/back leads to a folder uploaded already"}},
        {.what = "65 folders deep: the 65th is not entered, the 64th and its file are",
         .build = [](const fs::path& root) { Chain(root, 65); },
         .chosen = {"d1"},
         .folders =
             [] {
                 Lines folders;
                 for (int depth = 1; depth <= 64; ++depth) {
                     folders.push_back(ChainPath(depth));
                 }
                 return folders;
             }(),
         .files =
             [] {
                 Lines files;
                 // Depth first: "d2" comes before "f".
                 for (int depth = 64; depth >= 1; --depth) {
                     files.push_back(ChainPath(depth) + "/f 1");
                 }
                 return files;
             }(),
         .problems = {"deeper than 64 folders: d1/d2/d3/"}},
        {.what = "a folder that cannot be read is left out with the reason; its neighbours go",
         .build =
             [](const fs::path& root) {
                 Write(root / "tree/locked/secret.txt", "s");
                 Write(root / "tree/open.txt", "o");
                 fs::permissions(root / "tree/locked", fs::perms::none);
             },
         .chosen = {"tree"},
         .folders = {"/up/tree"},
         .files = {"/up/tree/open.txt 1"},
         .problems = {"Could not read the folder tree/locked: Permission denied"},
         .withoutRootRights = true},
    };
    for (const WalkRow& row : rows) {
        RunWalk(row);
    }
}

}  // namespace
