// Uploads of folder trees against the scripted server: the walk's plan (which server folders are listed,
// what is found at each target, what is left to make) and the Put of the plan's rows (the folders made
// first, a refusal that fails only the files below it, the page told of a folder made where it looks).
#include "engine/FtpUploadTrees.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/FtpRequest.h"
#include "engine/TransferPlan.h"
#include "support/SessionRows.h"

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

const std::string kMachineFeat = "211-Features:\r\n MLST type*;size*;modify*;\r\n211 End";
constexpr std::time_t kJan2020 = 1577836800;  // 2020-01-01 00:00:00 UTC
constexpr std::time_t kJan2021 = 1609459200;

// "Jan  1  2020" in a LIST line: midnight in the local zone.
std::time_t ListedJan2020() {
    std::tm local{};
    local.tm_year = 120;
    local.tm_mday = 1;
    local.tm_isdst = -1;
    return std::mktime(&local);
}

// One machine listing over a passive data connection.
std::vector<Step> Mlsd(const std::string& folder, const Lines& lines) {
    std::string bytes;
    for (const auto& line : lines) {
        bytes += line + "\r\n";
    }
    return {Step::Pasv(), {"MLSD " + folder, "150 here", Step::Send(bytes, "226 listed")}};
}

std::vector<Step> Join(std::vector<std::vector<Step>> parts) {
    std::vector<Step> steps;
    for (auto& part : parts) {
        steps.insert(steps.end(), part.begin(), part.end());
    }
    return steps;
}

// A local tree: tree/a.txt, tree/sub/b.txt, the empty tree/empty, and top.txt beside it.
const std::vector<std::pair<std::string, std::string>> kTree = {
    {"tree/a.txt", "aaa"}, {"tree/sub/b.txt", "bb"}, {"top.txt", "t"}};
void MakeEmptyFolder(RowRun& run) {
    fs::create_directories(run.folder / "tree/empty");
}

TEST(FtpUploadTrees, WalkListsOnlyServerFoldersThatExist) {
    const std::vector<SessionRow> rows = {
        {.what = "a new tree: only the folder uploaded into is listed; everything is to make",
         .script = Mlsd("/up", {"type=cdir; ."}),
         .local = kTree,
         .feat = kMachineFeat,
         .setup = MakeEmptyFolder,
         .run = {Run::WalkUpload("/up", {"tree", "top.txt"})},
         .results = {226},
         .texts = {{"TransferPlanReady", {"3 3 0"}}},
         .transferPlan = {"MKD /up/tree", "MKD /up/tree/empty", "MKD /up/tree/sub",
                          "PUT {folder}/tree/a.txt -> /up/tree/a.txt",
                          "PUT {folder}/tree/sub/b.txt -> /up/tree/sub/b.txt",
                          "PUT {folder}/top.txt -> /up/top.txt", "names /up:"},
         .failures = {}},
        {.what = "the tree there already: its folder listed too, the files there learn their targets",
         .script =
             Join({Mlsd("/up", {"type=cdir; .", "type=pdir; ..", "type=dir;modify=20200101000000; tree",
                                "type=file;size=5;modify=20200101000000; top.txt"}),
                   Mlsd("/up/tree", {"type=file;size=9;modify=20210101000000; a.txt", "type=dir; other"})}),
         .local = kTree,
         .feat = kMachineFeat,
         .setup = MakeEmptyFolder,
         .run = {Run::WalkUpload("/up", {"tree", "top.txt"})},
         .transferPlan = {"MKD /up/tree/empty", "MKD /up/tree/sub",
                          "PUT {folder}/tree/a.txt -> /up/tree/a.txt over 9 " + std::to_string(kJan2021),
                          "PUT {folder}/tree/sub/b.txt -> /up/tree/sub/b.txt",
                          "PUT {folder}/top.txt -> /up/top.txt over 5 " + std::to_string(kJan2020),
                          "names /up: top.txt tree", "names /up/tree: a.txt other"}},
        {.what = "a server without MLSD: LIST; hostile names in it are no names",
         .script = {Step::Pasv(),
                    {"LIST /up", "150 here",
                     Step::Send("drwxr-xr-x 2 u g 4096 Jan  1  2020 .\r\n"
                                "-rw-r--r-- 1 u g 3 Jan  1  2020 a/b\r\n"
                                "-rw-r--r-- 1 u g 7 Jan  1  2020 top.txt\r\n",
                                "226 listed")}},
         .local = {{"top.txt", "t"}},
         .run = {Run::WalkUpload("/up", {"top.txt"})},
         .transferPlan = {"PUT {folder}/top.txt -> /up/top.txt over 7 " + std::to_string(ListedJan2020()),
                          "names /up: top.txt"}},
        {.what = "names the server must not get are left out, named in the plan",
         .script = Mlsd("/up", {}),
         .local = {{"tree/ok.txt", "k"}, {"tree/CR\rhere", "x"}},
         .feat = kMachineFeat,
         .run = {Run::WalkUpload("/up", {"tree"})},
         .transferPlan = {"MKD /up/tree", "PUT {folder}/tree/ok.txt -> /up/tree/ok.txt", "names /up:",
                          "problem Refused the name \"tree/CR\\rhere\": it holds a control character"}},
        {.what = "Escape before the walk: a plan marked stopped, nothing listed",
         .local = {{"tree/a.txt", "a"}},
         .setup = [](RowRun& run) { run.Context().Abort().Request(1000); },
         .run = {Run::WalkUpload("/up", {"tree"})},
         .results = {200},
         .transferPlan = {"stopped"}},
        {.what = "the connection lost while listing: no plan",
         .script = {Step::Pasv(), {"LIST /up", "421 closing"}},
         .local = {{"top.txt", "t"}},
         .run = {Run::WalkUpload("/up", {"top.txt"})},
         .results = {421},
         .transferPlan = {},
         .inSync = false},
    };
    for (const SessionRow& row : rows) {
        RunRow(row);
    }
}

TransferItem Row(std::uint64_t row, std::string folder, std::string name) {
    TransferItem item;
    item.row = row;
    item.remoteFolder = std::move(folder);
    item.remoteName = name;
    item.localPath = std::move(name);
    return item;
}

Step Stor(const std::string& name) {
    return {"STOR " + name, "150 go", Step::Receive("226 stored")};
}

// The session shows /up, as the Remote page does when the user drops the tree there.
const std::vector<Step> kInUp = {{"CWD /up", "250 ok"}, {"PWD", "257 \"/up\""}};

TEST(FtpUploadTrees, PutMakesTheFoldersFirstAndFailsOnlyWhatLiesBelowARefusal) {
    const std::vector<SessionRow> rows = {
        {.what = "a new tree: MKD parents first, the files in their folders, back where the page looks",
         .script = Join({kInUp,
                         {{"MKD /up/tree", "257 made"},
                          {"MKD /up/tree/sub", "257 made"},
                          {"MKD /up/tree/empty", "257 made"},
                          {"CWD /up/tree", "250 ok"},
                          {"TYPE I", "200 ok"},
                          Step::Pasv(),
                          Stor("a.txt"),
                          {"CWD /up/tree/sub", "250 ok"},
                          Step::Pasv(),
                          Stor("b.txt"),
                          {"CWD /up", "250 ok"}}}),
         .local = {{"a.txt", "aaa"}, {"b.txt", "bb"}},
         .cached = {"/up"},
         .run = {Run::ChangeDir("/up"),
                 Run::PutTree({{"/up/tree", -1}, {"/up/tree/sub", -1}, {"/up/tree/empty", -1}},
                              {Row(1, "/up/tree", "a.txt"), Row(2, "/up/tree/sub", "b.txt")})},
         .texts = {{"FolderMade", {"tree"}}, {"UploadedFile", {}}},
         .received = {"aaa", "bb"},
         .transfers = {"started 1 0 3", "progress 1 3", "done 1", "started 2 0 2", "progress 2 2", "done 2"}},
        {.what = "MKD refused because the folder is there (made meanwhile): CWD shows it, its files go",
         .script = Join({kInUp,
                         {{"MKD /up/tree", "550 File exists"},
                          {"CWD /up/tree", "250 ok"},
                          {"TYPE I", "200 ok"},
                          Step::Pasv(),
                          Stor("a.txt"),
                          {"CWD /up", "250 ok"}}}),
         .local = {{"a.txt", "aaa"}},
         .cached = {"/up"},
         .run = {Run::ChangeDir("/up"), Run::PutTree({{"/up/tree", -1}}, {Row(1, "/up/tree", "a.txt")})},
         .texts = {{"FolderMade", {}}},
         .transfers = {"started 1 0 3", "progress 1 3", "done 1"}},
        {.what = "MKD refused for good: that folder's files and the folders below it fail, the rest go on",
         .script = Join({kInUp,
                         {{"MKD /up/bad", "553 Permission denied"},
                          {"CWD /up/bad", "550 No such directory"},
                          {"MKD /up/good", "257 made"},
                          {"CWD /up/good", "250 ok"},
                          {"TYPE I", "200 ok"},
                          Step::Pasv(),
                          Stor("c.txt"),
                          {"CWD /up", "250 ok"}}}),
         .local = {{"a.txt", "a"}, {"b.txt", "b"}, {"c.txt", "c"}},
         .cached = {"/up"},
         .run = {Run::ChangeDir("/up"),
                 Run::PutTree({{"/up/bad", -1}, {"/up/bad/sub", -1}, {"/up/good", -1}},
                              {Row(1, "/up/bad", "a.txt"), Row(2, "/up/bad/sub", "b.txt"),
                               Row(3, "/up/good", "c.txt")})},
         .texts = {{"FolderMade", {"good"}}},
         .transfers = {"failed 1 the folder /up/bad could not be made: 553 Permission denied",
                       "failed 2 the folder /up/bad could not be made: 553 Permission denied",
                       "started 3 0 1", "progress 3 1", "done 3"}},
        {.what = "the connection lost at MKD: every row stopped with the reason, nothing else sent",
         .script = Join({kInUp, {{"MKD /up/tree", "421 closing"}}}),
         .local = {{"a.txt", "a"}},
         .cached = {"/up"},
         .run = {Run::ChangeDir("/up"), Run::PutTree({{"/up/tree", -1}}, {Row(1, "/up/tree", "a.txt")})},
         .results = {257, 421},
         .transfers = {"stopped 1 the connection was lost: 421 closing"},
         .inSync = false},
    };
    for (const SessionRow& row : rows) {
        RunRow(row);
    }
}

}  // namespace
