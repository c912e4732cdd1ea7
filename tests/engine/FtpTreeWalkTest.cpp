// The download of folder trees against the scripted server: the walk (one listing per folder, links
// followed once, bad names and deep trees left out) and the Get of its plan (the folders made here, the
// files and their times, the commands per file, and nothing written outside the chosen folder).
#include "engine/FtpTreeWalk.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "engine/FtpRequest.h"
#include "listing/RemoteEntry.h"
#include "support/ListingRows.h"
#include "support/SessionRows.h"
#include "support/TempDir.h"

namespace {

using namespace listing_rows;

using Lines = std::vector<std::string>;

const std::string kMachineFeat = "211-Features:\r\n MLST type*;size*;modify*;\r\n SIZE\r\n MDTM\r\n211 End";

// 2020-01-01 00:00:00 UTC and the days after it.
constexpr std::time_t kNewYear = 1577836800;
constexpr std::time_t kDay = 86400;

RemoteEntry Link(const std::string& name, const std::string& target) {
    return RemoteEntry::FromListingLine("lrwxrwxrwx   1 user group        9 Jan  1  2020 " + name + " -> " +
                                        target);
}
std::string FolderTime(const std::string& name) {
    return std::to_string(Folder(name).Time());
}

std::vector<Step> Retr(const std::string& path, const std::string& bytes) {
    return {Step::Pasv(), {"RETR " + path, "150 here", Step::Send(bytes, "226 sent")}};
}

// MLST of a selected folder: its facts, with a unique fact ("id/pub/d" unless given).
std::vector<Step> Mlst(const std::string& path, const std::string& unique = "") {
    return {{"MLST " + path, "250-Listing " + path + "\r\n type=dir;unique=" +
                                 (unique.empty() ? "id" + path : unique) + "; " + path + "\r\n250 End"}};
}

std::vector<Step> Join(std::vector<std::vector<Step>> parts) {
    std::vector<Step> steps;
    for (auto& part : parts) {
        steps.insert(steps.end(), part.begin(), part.end());
    }
    return steps;
}

std::time_t Modified(const std::filesystem::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? info.st_mtim.tv_sec : -1;
}

// A folder with a nested folder, an empty one and files, over MLSD: the local tree afterwards, and the
// times of its files and folders (a folder's once its files are in).
TEST(FtpTreeWalk, DownloadsANestedTreeWithAnEmptyFolderAndKeepsTheTimes) {
    const std::vector<Step> walk = Join({
        Mlst("/pub/top"),
        Listing("MLSD /pub/top",
                {"type=dir;modify=20200102030405; sub", "type=dir;modify=20200103000000; empty",
                 "type=file;size=3;modify=20200101000000; a.txt",
                 "type=file;size=2;modify=20200101000001; c.txt"}),
        Listing("MLSD /pub/top/sub",
                {"type=cdir; .", "type=pdir; ..", "type=file;size=2;modify=20200104000000; b.bin"}),
        Listing("MLSD /pub/top/empty", {}),
    });
    const SessionRow row = {
        .what = "walk, then the Get of its plan",
        .script = Join({walk,
                        {{"TYPE I", "200 ok"}},
                        Retr("/pub/top/sub/b.bin", "xy"),
                        Retr("/pub/top/a.txt", "abc"),
                        Retr("/pub/top/c.txt", "cd")}),
        .feat = kMachineFeat,
        .run = {Run::WalkDownload("/pub", {Folder("top")}), Run::GetPlan()},
        .results = {226, 226},
        .texts = {{"TransferPlanReady", {"3 3 0"}}},
        .transferPlan = {"dir {folder}/top " + FolderTime("top"), "dir {folder}/top/sub 1577934245",
                         "dir {folder}/top/empty 1578009600",
                         "get /pub/top/sub|b.bin -> {folder}/top/sub/b.bin 2 1578096000 exact",
                         "get /pub/top|a.txt -> {folder}/top/a.txt 3 1577836800 exact",
                         "get /pub/top|c.txt -> {folder}/top/c.txt 2 1577836801 exact"},
        .failures = {},
        .tree = {"dir top", "dir top/empty", "dir top/sub", "file top/a.txt abc", "file top/c.txt cd",
                 "file top/sub/b.bin xy"},
        .transfers = {"started 1*", "progress 1*", "done 1", "started 2*", "progress 2*", "done 2",
                      "started 3*", "progress 3*", "done 3"}};
    const auto run = RunRow(row);
    const std::map<std::string, std::time_t> times = {
        {"top", Folder("top").Time()},
        {"top/sub", kNewYear + kDay + 3 * 3600 + 4 * 60 + 5},
        {"top/empty", kNewYear + 2 * kDay},
        {"top/sub/b.bin", kNewYear + 3 * kDay},
        {"top/a.txt", kNewYear},
        {"top/c.txt", kNewYear + 1},
    };
    for (const auto& [path, time] : times) {
        EXPECT_EQ(Modified(run->folder / path), time) << path;
    }
}

// Three folders of four files each, over MLSD from a server that offers SIZE and MDTM too: what the Get
// sends per file.
TEST(FtpTreeWalk, SendsOnlyPasvAndRetrPerFileWhenTheListingGaveSizesAndTimes) {
    std::vector<std::vector<Step>> parts;
    std::vector<std::vector<Step>> gets = {{{"TYPE I", "200 ok"}}};
    Lines top;
    for (const std::string folder : {"f1", "f2", "f3"}) {
        top.push_back("type=dir;modify=20200101000000; " + folder);
    }
    parts.push_back(Mlst("/t"));
    parts.push_back(Listing("MLSD /t", top));
    for (const std::string folder : {"f1", "f2", "f3"}) {
        Lines files;
        for (const std::string name : {"a", "b", "c", "d"}) {
            files.push_back("type=file;size=1;modify=20200101000000; " + name);
            gets.push_back(Retr("/t/" + folder + "/" + name, "z"));
        }
        parts.push_back(Listing("MLSD /t/" + folder, files));
    }
    parts.insert(parts.end(), gets.begin(), gets.end());
    const auto run = RunRow({.what = "12 files in 3 folders",
                             .script = Join(parts),
                             .feat = kMachineFeat,
                             .run = {Run::WalkDownload("/", {Folder("t")}), Run::GetPlan()},
                             .results = {226, 226},
                             .failures = {}});
    const Lines commands = run->Commands();
    const std::vector<std::pair<std::string, long>> counts = {
        {"RETR ", 12}, {"PASV", 12 + 4}, {"TYPE I", 1}, {"SIZE ", 0}, {"MDTM ", 0}, {"CWD ", 0}, {"REST ", 0},
    };
    for (const auto& expected : counts) {
        const std::string& verb = expected.first;
        EXPECT_EQ(std::count_if(commands.begin(), commands.end(),
                                [&](const std::string& command) { return command.starts_with(verb); }),
                  expected.second)
            << verb;
    }
}

TEST(FtpTreeWalk, FollowsLinksToFoldersOnceAndFetchesLinksToFiles) {
    const std::vector<SessionRow> rows = {
        {.what = "a link back up ends there; a link to a file is fetched by its own path",
         .script = Join(
             {Mlst("/pub/d"),
              Listing("MLSD /pub/d", {"type=OS.unix=slink:/pub/d; loop", "type=OS.unix=slink:/pub/f.txt; lf",
                                      "type=file;size=1;modify=20200101000000; x"}),
              {{"CWD /pub/d/loop", "250 ok"},
               {"PWD", "257 \"/pub/d\" is the current directory"},
               {"CWD /pub/d/lf", "550 Not a directory"},
               {"CWD /pub", "250 back"},
               {"TYPE I", "200 ok"}},
              Retr("/pub/d/lf", "linked"),
              {{"MDTM /pub/d/lf", "213 20200105000000"}},
              Retr("/pub/d/x", "x")}),
         .feat = kMachineFeat,
         .run = {Run::WalkDownload("/pub", {Folder("d")}), Run::GetPlan()},
         .results = {226, 226},
         .logged = {"... d/loop leads to /pub/d, reached already: not entered again"},
         .transferPlan = {"dir {folder}/d " + FolderTime("d"), "get /pub/d|lf -> {folder}/d/lf -1 -1",
                          "get /pub/d|x -> {folder}/d/x 1 1577836800 exact",
                          "problem d/loop leads to /pub/d, reached already: not entered again"},
         .failures = {},
         .tree = {"dir d", "file d/lf linked", "file d/x x"}},
        {.what = "a selected link to a folder is entered by the path PWD names, and the folder itself is not "
                 "entered a second time",
         .script = Join({{{"CWD /pub/ln", "250 ok"}, {"PWD", "257 \"/pub/real\""}},
                         Listing("MLSD /pub/real", {"type=file;size=1;modify=20200101000000; r"}),
                         Mlst("/pub/real"),
                         {{"CWD /pub", "250 back"}, {"TYPE I", "200 ok"}},
                         Retr("/pub/real/r", "r")}),
         .feat = kMachineFeat,
         .run = {Run::WalkDownload("/pub", {Link("ln", "real"), Folder("real")}), Run::GetPlan()},
         .results = {226, 226},
         .transferPlan = {"dir {folder}/ln -1", "get /pub/real|r -> {folder}/ln/r 1 1577836800 exact",
                          "problem real leads to /pub/real, reached already: not entered again"},
         .tree = {"dir ln", "file ln/r r"}},
        {.what = "a link to a folder whose listing is refused: left out with the reason, the rest goes on",
         .script = Join({{{"CWD /pub/ln", "250 ok"}, {"PWD", "257 \"/srv/locked\""}},
                         {Step::Pasv(), {"MLSD /srv/locked", "550 Permission denied"}},
                         {Step::Pasv(), {"LIST /srv/locked", "550 Permission denied"}},
                         {{"CWD /pub", "250 back"}}}),
         .feat = kMachineFeat,
         .run = {Run::WalkDownload("/pub", {Link("ln", "/srv/locked")})},
         .results = {550},
         .transferPlan = {"problem Could not list ln: 550 Permission denied"}},
        {.what = "a server that lists a link to a folder as a folder: the unique fact ends the loop",
         .script = Join({Mlst("/pub/d", "801a"),
                         Listing("MLSD /pub/d", {"type=dir;unique=802b; sub",
                                                 "type=file;size=1;modify=20200101000000;unique=803; x"}),
                         Listing("MLSD /pub/d/sub", {"type=dir;unique=801a; up"}),
                         {{"TYPE I", "200 ok"}},
                         Retr("/pub/d/x", "x")}),
         .feat = kMachineFeat,
         .run = {Run::WalkDownload("/pub", {Folder("d")}), Run::GetPlan()},
         .results = {226, 226},
         .transferPlan = {"dir {folder}/d " + FolderTime("d"), "dir {folder}/d/sub -1",
                          "get /pub/d|x -> {folder}/d/x 1 1577836800 exact",
                          "problem d/sub/up leads to /pub/d/sub/up, reached already: not entered again"},
         .tree = {"dir d", "dir d/sub", "file d/x x"}},
        {.what = "unique offered but not sent: turned on once, and the loop ends the same",
         .script = Join(
             {{{"MLST /pub/d", "250-Listing\r\n type=dir; /pub/d\r\n250 End"},
               {"OPTS MLST type;size;modify;perm;unique;UNIX.mode;UNIX.owner;UNIX.group;UNIX.uid;UNIX.gid;",
                "200 MLST OPTS type;size;modify;perm;unique;"}},
              Mlst("/pub/d", "801a"),
              Listing("MLSD /pub/d", {"type=dir;unique=801a; again"})}),
         .feat = kMachineFeat,
         .run = {Run::WalkDownload("/pub", {Folder("d")})},
         .results = {226},
         .transferPlan = {"dir {folder}/d " + FolderTime("d"),
                          "problem d/again leads to /pub/d/again, reached already: not entered again"}},
        {.what = "the connection lost while probing a link: no plan",
         .script = {{"CWD /pub/ln", "421 closing"}},
         .feat = kMachineFeat,
         .run = {Run::WalkDownload("/pub", {Link("ln", "x")})},
         .results = {421},
         .texts = {{"TransferPlanReady", {}}},
         .inSync = false},
    };
    for (const SessionRow& row : rows) {
        RunRow(row);
    }
}

TEST(FtpTreeWalk, RefusesDotsAndSlashesPerFileAndGoesOn) {
    const std::vector<SessionRow> rows = {
        {.what = "LIST naming \".\", \"..\" and \"a/b\": each left out, \"ok\" fetched",
         .script = Join({Listing("LIST /pub/d",
                                 {"total 3", UnixDir("."), UnixDir(".."), UnixFile("a/b"), UnixFile("ok")}),
                         {{"TYPE I", "200 ok"}},
                         Retr("/pub/d/ok", "abc")}),
         .run = {Run::WalkDownload("/pub", {Folder("d")}), Run::GetPlan()},
         .results = {226, 226},
         .logged = {"... Refused the listed name \".\" in d", "... Refused the listed name \"..\" in d",
                    "... Refused the listed name \"a/b\" in d"},
         .texts = {{"TransferPlanReady", {"1 1 3"}}},
         .tree = {"dir d", "file d/ok abc"}},
        {.what = "selected names \"..\" and \"d/e\": nothing sent, nothing planned",
         .script = {},
         .run = {Run::WalkDownload("/pub", {Folder(".."), Folder("d/e")})},
         .results = {200},
         .transferPlan = {"problem Refused the name \"..\"", "problem Refused the name \"d/e\""}},
    };
    for (const SessionRow& row : rows) {
        RunRow(row);
    }
}

TEST(FtpTreeWalk, AFileThatVanishedFailsItsRowAndTheRestGoesOn) {
    const std::vector<Step> walk =
        Join({Mlst("/pub/d"),
              Listing("MLSD /pub/d", {"type=dir; sub", "type=file;size=1;modify=20200101000000; g"}),
              Listing("MLSD /pub/d/sub", {"type=file;size=1;modify=20200101000000; f1"})});
    const SessionRow row = {
        .what = "550 to the first RETR (its folder went away since the walk)",
        .script = Join(
            {walk,
             {{"TYPE I", "200 ok"}, Step::Pasv(), {"RETR /pub/d/sub/f1", "550 No such file or directory"}},
             Retr("/pub/d/g", "g")}),
        .feat = kMachineFeat,
        .run = {Run::WalkDownload("/pub", {Folder("d")}), Run::GetPlan()},
        .results = {226, 226},
        // The row's file stays empty, as for any queue row that failed before its first byte.
        .tree = {"dir d", "dir d/sub", "file d/g g", "file d/sub/f1 "},
        .transfers = {"failed 1 550 No such file or directory", "started 2*", "progress 2*", "done 2"}};
    RunRow(row);
}

// Each folder holds one folder "n": 64 levels are listed and made, the 65th is left out with a log line.
TEST(FtpTreeWalk, StopsAtDepth64) {
    std::vector<std::vector<Step>> parts = {Mlst("/n")};
    std::string path = "/n";
    std::string local = "n";
    Lines tree;
    for (int depth = 1; depth <= 64; ++depth) {
        parts.push_back(Listing("MLSD " + path, {"type=dir; n"}));
        tree.push_back("dir " + local);
        path += "/n";
        local += "/n";
    }
    const std::string deepest = path.substr(1);
    RunRow({.what = "65 levels",
            .script = Join(parts),
            .feat = kMachineFeat,
            .run = {Run::WalkDownload("/", {Folder("n")}), Run::GetPlan()},
            .results = {226, 200},
            .logged = {"... deeper than 64 folders: " + deepest + " is not entered"},
            .texts = {{"TransferPlanReady", {"64 0 1"}}},
            .tree = tree});
}

// What is in the chosen folder already decides: a file in the way of a folder fails the files below it,
// and a link there is never followed out of the chosen folder.
TEST(FtpTreeWalk, NeverWritesThroughWhatIsInTheWayLocally) {
    TempDir outside("wisp-outside");
    const std::vector<Step> walk =
        Join({Mlst("/pub/d"),
              Listing("MLSD /pub/d", {"type=dir; sub", "type=file;size=1;modify=20200101000000; g"}),
              Listing("MLSD /pub/d/sub", {"type=file;size=1;modify=20200101000000; f1"})});
    const std::vector<SessionRow> rows = {
        {.what = "a file named like a folder of the tree",
         .script = Join({walk, {{"TYPE I", "200 ok"}}, Retr("/pub/d/g", "g")}),
         .local = {{"d/sub", "mine"}},
         .feat = kMachineFeat,
         .run = {Run::WalkDownload("/pub", {Folder("d")}), Run::GetPlan()},
         .results = {226, 226},
         .logged = {"... Could not make the folder {folder}/d/sub: a file of that name is in the way"},
         .tree = {"dir d", "file d/g g", "file d/sub mine"},
         .transfers = {"failed 1 Could not make the folder {folder}/d/sub: a file of that name is in the way",
                       "started 2*", "progress 2*", "done 2"}},
        {.what = "a link named like the selected folder, leading elsewhere",
         .script = Join({walk, {{"TYPE I", "200 ok"}}}),
         .feat = kMachineFeat,
         .setup =
             [&outside](RowRun& r) {
                 std::filesystem::create_directory_symlink(outside.Path(), r.folder / "d");
             },
         .run = {Run::WalkDownload("/pub", {Folder("d")}), Run::GetPlan()},
         .results = {226, 299},
         .tree = {"link d"},
         .transfers =
             {"failed 1 Could not make the folder {folder}/d/sub: a link of that name is in the way "
              "(links in the folder are not followed)",
              "failed 2 Could not make the folder {folder}/d: a link of that name is in the way (links "
              "in the folder are not followed)"}},
    };
    for (const SessionRow& row : rows) {
        RunRow(row);
    }
    EXPECT_TRUE(std::filesystem::is_empty(outside.Path())) << "written through the link";
}

TEST(FtpTreeWalk, EscapeDuringTheWalkPostsAStoppedPlan) {
    RunRow({.what = "Escape while the first folder is listed",
            .script = Listing("LIST /pub/d", {UnixDir("e"), UnixFile("f")}),
            .setup =
                [](RowRun& r) {
                    r.views.SetHook([&r](const RecordedCall& call) {
                        if (call.op == "LogMessage" && call.text == "LISTing /pub/d") {
                            r.Context().Abort().RequestStop();
                        }
                    });
                },
            .run = {Run::WalkDownload("/pub", {Folder("d")})},
            .transferPlan = {"stopped"},
            .failures = {}});
}

}  // namespace
