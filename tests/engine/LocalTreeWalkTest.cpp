// The local side of a folder upload: which server folders and files a chosen tree becomes, and what is
// left out with a reason (link loops, trees deeper than the limit, folders that cannot be read, names
// the server must not get, neither files nor folders), on real folders in a scratch folder.
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
    // The walk is told to stop after this many questions (0: never).
    int stopAfter = 0;
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
    int asked = 0;
    LocalTreeWalk walk(log, plan, [&] { return row.stopAfter > 0 && ++asked > row.stopAfter; });
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
    EXPECT_EQ(plan.stopped, row.stopAfter > 0);
}

TEST(LocalTreeWalk, TreesBecomeFoldersAndFilesWithWhatIsLeftOutNamed) {
    const std::vector<WalkRow> rows = {
        {.what = "nested and empty folders, parents first, beside a chosen file",
         .build =
             [](const fs::path& root) {
                 Write(root / "tree/b.txt", "bb");
                 Write(root / "tree/sub/deeper/c.bin", "ccc");
                 fs::create_directories(root / "tree/empty");
                 Write(root / "top.txt", "t");
             },
         .chosen = {"tree", "top.txt"},
         .folders = {"/up/tree", "/up/tree/empty", "/up/tree/sub", "/up/tree/sub/deeper"},
         .files = {"/up/tree/b.txt 2", "/up/tree/sub/deeper/c.bin 3", "/up/top.txt 1"}},
        {.what = "UTF-8 names go as they are; a chosen path's trailing slash changes nothing",
         .build = [](const fs::path& root) { Write(root / "\xC3\xA9t\xC3\xA9/\xE2\x82\xAC.txt", "euro"); },
         .chosen = {"\xC3\xA9t\xC3\xA9/"},
         .folders = {"/up/\xC3\xA9t\xC3\xA9"},
         .files = {"/up/\xC3\xA9t\xC3\xA9/\xE2\x82\xAC.txt 4"}},
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
        {.what = "a link to a folder elsewhere is followed once; a link to a file is that file",
         .build =
             [](const fs::path& root) {
                 Write(root / "elsewhere/x.txt", "xx");
                 Write(root / "file.txt", "12345");
                 fs::create_directories(root / "tree");
                 fs::create_directory_symlink("../elsewhere", root / "tree/folder link");
                 fs::create_symlink("../file.txt", root / "tree/file link");
             },
         .chosen = {"tree", "elsewhere"},
         .folders = {"/up/tree", "/up/tree/folder link"},
         .files = {"/up/tree/file link 5", "/up/tree/folder link/x.txt 2"},
         .problems = {"elsewhere leads to a folder uploaded already"}},
        {.what = "a link to nothing is named, the rest goes on",
         .build =
             [](const fs::path& root) {
                 Write(root / "tree/z.txt", "z");
                 fs::create_symlink("gone", root / "tree/broken");
             },
         .chosen = {"tree"},
         .folders = {"/up/tree"},
         .files = {"/up/tree/z.txt 1"},
         .problems = {"Could not read tree/broken: No such file or directory"}},
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
        {.what = "names with control characters are refused, one by one",
         .build =
             [](const fs::path& root) {
                 Write(root / "tree/ok.txt", "k");
                 Write(root / "tree/two\r\nlines", "x");
                 Write(root / "tree/bell\x07", "x");
             },
         .chosen = {"tree"},
         .folders = {"/up/tree"},
         .files = {"/up/tree/ok.txt 1"},
         .problems = {"Refused the name \"tree/bell\\x07\": it holds a control character",
                      "Refused the name \"tree/two\\r\\nlines\": it holds a control character"}},
        {.what = "neither a file nor a folder: a FIFO is skipped",
         .build =
             [](const fs::path& root) {
                 fs::create_directories(root / "tree");
                 ASSERT_EQ(::mkfifo((root / "tree/pipe").c_str(), 0600), 0);
             },
         .chosen = {"tree"},
         .folders = {"/up/tree"},
         .files = {},
         .problems = {"Skipped tree/pipe: neither a file nor a folder"}},
        {.what = "stopped: what was found so far, marked stopped",
         .build =
             [](const fs::path& root) {
                 for (const char* name : {"a", "b", "c", "d"}) {
                     Write(root / "tree" / name, "1");
                 }
             },
         .chosen = {"tree"},
         .folders = {"/up/tree"},
         .files = {"/up/tree/a 1", "/up/tree/b 1"},
         .stopAfter = 3},
    };
    for (const WalkRow& row : rows) {
        RunWalk(row);
    }
}

TEST(LocalTreeWalk, NamesTheServerMustNotGet) {
    const std::vector<std::pair<std::string, bool>> rows = {
        {"plain.txt", true}, {"with space", true}, {"\xC3\xA9t\xC3\xA9", true},
        {"", false},         {".", false},         {"..", false},
        {"a/b", false},      {"tab\there", false}, {"del\x7F", false},
        {"cr\r", false},     {"...", true},
    };
    for (const auto& [name, allowed] : rows) {
        EXPECT_EQ(LocalTreeWalk::NameProblem(name).empty(), allowed) << name;
    }
}

}  // namespace
