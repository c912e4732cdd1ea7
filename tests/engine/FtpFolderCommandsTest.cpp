// New folder, Rename and the Delete of whole folders against the scripted server: the commands sent, what
// the Remote page is told, the plan a walk posts, and what stays when the server refuses.
#include "engine/FtpFolderCommands.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/FtpRequest.h"
#include "listing/RemoteEntry.h"
#include "support/ListingRows.h"
#include "support/SessionRows.h"

namespace {

using namespace listing_rows;

using Lines = std::vector<std::string>;

const std::string kMachineFeat = "211-Features:\r\n MLST type*;size*;modify*;\r\n211 End";

// MLST of a selected folder, with its unique fact.
Step Mlst(const std::string& path, const std::string& unique) {
    return {"MLST " + path, "250-Listing\r\n type=dir;unique=" + unique + "; " + path + "\r\n250 End"};
}

std::vector<Step> Join(std::vector<std::vector<Step>> parts) {
    std::vector<Step> steps;
    for (auto& part : parts) {
        steps.insert(steps.end(), part.begin(), part.end());
    }
    return steps;
}

TEST(FtpFolderCommands, MakeFolderTellsThePageOrShowsTheRefusal) {
    const std::vector<SessionRow> rows = {
        {.what = "accepted: the page is told of the new folder",
         .script = {{"MKD new folder", "257 \"/pub/new folder\" created"}},
         .run = {Run::MakeFolder("new folder")},
         .results = {257},
         .messages = {"MKDing new folder", "... MKDed new folder"},
         .texts = {{"FolderMade", {"new folder"}}},
         .failures = {}},
        {.what = "refused: the server's reason on the failure line, nothing made",
         .script = {{"MKD taken", "550 Directory already exists"}},
         .run = {Run::MakeFolder("taken")},
         .results = {550},
         .messages = {"MKDing taken", "... Unable to MKD taken"},
         .texts = {{"FolderMade", {}}},
         .failures = {"Remote: Could not make the folder taken: 550 Directory already exists"}},
        {.what = "a name in UTF-8 goes as its bytes",
         .script = {{"MKD \xC3\xA9t\xC3\xA9", "257 made"}},
         .run = {Run::MakeFolder("\xC3\xA9t\xC3\xA9")},
         .results = {257},
         .texts = {{"FolderMade", {"\xC3\xA9t\xC3\xA9"}}}},
        {.what = "the connection lost: no failure line of its own (the session's end says it)",
         .script = {{"MKD x", "421 closing"}},
         .run = {Run::MakeFolder("x")},
         .results = {421},
         .failures = {},
         .inSync = false},
    };
    for (const SessionRow& row : rows) {
        RunRow(row);
    }
}

TEST(FtpFolderCommands, RenameSendsRnfrThenRntoAndKeepsTheOldNameWhenRefused) {
    const std::vector<RemoteEntry> entries = {File("keep.txt"), File("old.txt")};
    const std::vector<SessionRow> rows = {
        {.what = "both accepted: the page renames the slot",
         .script = {{"RNFR old.txt", "350 Ready for destination name"}, {"RNTO new name.txt", "250 Renamed"}},
         .run = {Run::Rename(entries, 1, "new name.txt")},
         .results = {250},
         .messages = {"RENAMEing old.txt to new name.txt", "... RENAMEd old.txt to new name.txt"},
         .texts = {{"EntryRenamed", {"1 old.txt new name.txt"}}},
         .failures = {}},
        {.what = "RNFR refused: no RNTO, the reason shown",
         .script = {{"RNFR old.txt", "550 No such file"}},
         .run = {Run::Rename(entries, 1, "new.txt")},
         .results = {550},
         .messages = {"RENAMEing old.txt to new.txt", "... Unable to RENAME old.txt to new.txt"},
         .texts = {{"EntryRenamed", {}}},
         .failures = {"Remote: Could not rename old.txt to new.txt: 550 No such file"}},
        {.what = "RNTO refused: the reason shown, the old name stays",
         .script = {{"RNFR old.txt", "350 Ready"}, {"RNTO bad", "553 Name not allowed"}},
         .run = {Run::Rename(entries, 1, "bad")},
         .results = {553},
         .texts = {{"EntryRenamed", {}}},
         .failures = {"Remote: Could not rename old.txt to bad: 553 Name not allowed"}},
        {.what = "RNFR answered 250 instead of 350: taken as a refusal of the pair",
         .script = {{"RNFR old.txt", "250 odd"}},
         .run = {Run::Rename(entries, 1, "new.txt")},
         .results = {250},
         .texts = {{"EntryRenamed", {}}},
         .failures = {"Remote: Could not rename old.txt to new.txt: RNFR was answered 250 odd"}},
        {.what = "a new name holding CR LF is never sent",
         .script = {{"RNFR old.txt", "350 Ready"}},
         .run = {Run::Rename(entries, 1, "x\r\nDELE keep.txt")},
         .texts = {{"EntryRenamed", {}}}},
    };
    for (const SessionRow& row : rows) {
        RunRow(row);
    }
}

// A folder with a nested folder, a file and a link to a folder (MLSD), and a plain file beside it: the
// link is deleted as itself and never listed, everything goes deepest first.
TEST(FtpFolderCommands, DeleteTreeWalksThenRemovesBottomUp) {
    const std::vector<RemoteEntry> shown = {Folder("a"), File("top.txt"), File("other")};
    const auto walk =
        Join({{Mlst("/pub/a", "a1")},
              Listing("MLSD /pub/a", {"type=dir;modify=20200101000000; b", "type=file;size=3; x.txt",
                                      "type=OS.unix=slink:/etc; ln"}),
              Listing("MLSD /pub/a/b", {"type=cdir; .", "type=pdir; ..", "type=file;size=1; y"})});
    const std::vector<SessionRow> rows = {
        {.what = "walk: one listing per folder, the link is not entered",
         .script = walk,
         .feat = kMachineFeat,
         .run = {Run::WalkTrees("/pub", shown, {0, 1})},
         .results = {226},
         .texts = {{"DeletePlanReady", {"1 3 1"}}},
         .plan = {"folders 1 files 3 selected 1 unread 0", "DELE /pub/a/b/y", "RMD /pub/a/b",
                  "DELE /pub/a/x.txt", "DELE /pub/a/ln", "RMD /pub/a", "DELE /pub/top.txt"},
         .failures = {}},
        {.what =
             "a listing that shows a link back up as a folder: known by its unique fact, deleted as itself",
         .script = Join(
             {{Mlst("/pub/a", "a1")},
              Listing("MLSD /pub/a", {"type=dir;unique=a1; loop", "type=file;size=3;unique=f1; x.txt"})}),
         .feat = kMachineFeat,
         .run = {Run::WalkTrees("/pub", shown, {0})},
         .results = {226},
         .plan = {"folders 1 files 2 selected 0 unread 0", "DELE /pub/a/loop", "DELE /pub/a/x.txt",
                  "RMD /pub/a"}},
        {.what = "walk and removal: every step accepted, the selected rows go",
         .script = Join({walk,
                         {{"DELE /pub/a/b/y", "250 ok"},
                          {"RMD /pub/a/b", "250 ok"},
                          {"DELE /pub/a/x.txt", "250 ok"},
                          {"DELE /pub/a/ln", "250 ok"},
                          {"RMD /pub/a", "250 ok"},
                          {"DELE /pub/top.txt", "250 ok"}}}),
         .feat = kMachineFeat,
         .run = {Run::WalkTrees("/pub", shown, {0, 1}), Run::RemoveTrees()},
         .results = {226, 250},
         .logged = {"... deleted 6 entries"},
         .failures = {},
         .blanks = "110"},
    };
    for (const SessionRow& row : rows) {
        RunRow(row);
    }
}

TEST(FtpFolderCommands, DeleteTreeSkipsDotsAndSlashesAndGoesOnPastRefusals) {
    const std::vector<RemoteEntry> shown = {Folder("d")};
    const std::vector<SessionRow> rows = {
        {.what = "LIST naming \".\", \"..\" and \"a/b\": none of them is entered or deleted",
         .script = Join({Listing("LIST /pub/d",
                                 {"total 3", UnixDir("."), UnixDir(".."), UnixFile("a/b"), UnixFile("ok")}),
                         {{"DELE /pub/d/ok", "250 ok"}, {"RMD /pub/d", "250 ok"}}}),
         .run = {Run::WalkTrees("/pub", shown), Run::RemoveTrees()},
         .results = {226, 250},
         .logged = {"... skipped the listed name . in d", "... skipped the listed name .. in d",
                    "... skipped the listed name a/b in d"},
         .plan = {"folders 1 files 1 selected 0 unread 0", "DELE /pub/d/ok", "RMD /pub/d"},
         .blanks = "1"},
        {.what = "a DELE refused in the middle: the rest goes on, the folder holding it is not sent",
         .script = Join({Listing("LIST /pub/d", {UnixFile("f1"), UnixFile("f2"), UnixFile("f3")}),
                         {{"DELE /pub/d/f1", "250 ok"},
                          {"DELE /pub/d/f2", "550 Permission denied"},
                          {"DELE /pub/d/f3", "250 ok"}}}),
         .run = {Run::WalkTrees("/pub", shown), Run::RemoveTrees()},
         .results = {226, 550},
         .logged = {"... 2 of 4 entries stayed: d/f2, d (550 Permission denied)"},
         .failures = {"Remote: Delete: 2 of 4 entries stayed: d/f2, d (550 Permission denied)"},
         .blanks = "0"},
        {.what = "a folder that cannot be listed stays, and so does the selection holding it",
         .script = Join({Listing("LIST /pub/d", {UnixDir("locked"), UnixFile("f")}),
                         {Step::Pasv(), {"LIST /pub/d/locked", "550 Permission denied"}},
                         {{"DELE /pub/d/f", "250 ok"}}}),
         .run = {Run::WalkTrees("/pub", shown), Run::RemoveTrees()},
         .results = {550, 250},
         .plan = {"folders 1 files 1 selected 0 unread 1", "keep /pub/d/locked", "DELE /pub/d/f",
                  "RMD /pub/d"},
         .failures = {"Remote: Delete: 2 of 3 entries stayed: d/locked, d"},
         .blanks = "0"},
        {.what = "Escape during the removal: what is left is not sent and is named",
         .script =
             Join({Listing("LIST /pub/d", {UnixFile("f1"), UnixFile("f2")}), {{"DELE /pub/d/f1", "250 ok"}}}),
         .setup =
             [](RowRun& r) {
                 r.views.SetHook([&r](const RecordedCall& call) {
                     if (call.op == "LogMessage" && call.text == "... DELETEd /pub/d/f1") {
                         r.Context().Abort().RequestStop();
                     }
                 });
             },
         .run = {Run::WalkTrees("/pub", shown), Run::RemoveTrees()},
         .results = {226, 250},
         .failures = {"Remote: Delete: 2 of 3 entries stayed: d/f2, d (stopped)"},
         .blanks = "0"},
        {.what = "Escape during the walk: no plan, nothing deleted",
         .script = Listing("LIST /pub/d", {UnixDir("e"), UnixFile("f")}),
         .setup =
             [](RowRun& r) {
                 r.views.SetHook([&r](const RecordedCall& call) {
                     if (call.op == "LogMessage" && call.text == "LISTing /pub/d") {
                         r.Context().Abort().RequestStop();
                     }
                 });
             },
         .run = {Run::WalkTrees("/pub", shown)},
         .texts = {{"DeletePlanReady", {}}},
         .failures = {"Remote: Delete stopped while looking into the folders: nothing was deleted"}},
        {.what = "the connection lost in the middle: nothing more is sent, no failure line of its own",
         .script = Join(
             {Listing("LIST /pub/d", {UnixFile("f1"), UnixFile("f2")}), {{"DELE /pub/d/f1", "421 closing"}}}),
         .run = {Run::WalkTrees("/pub", shown), Run::RemoveTrees()},
         .results = {226, 421},
         .failures = {},
         .inSync = false},
    };
    for (const SessionRow& row : rows) {
        RunRow(row);
    }
}

// Each folder holds one folder "n": the walk lists 64 levels, the 65th is not entered, and nothing of
// that chain can be emptied, so nothing of it is sent.
TEST(FtpFolderCommands, DeleteTreeStopsAtDepth64) {
    std::vector<std::vector<Step>> parts = {{Mlst("/n", "n1")}};
    std::string path = "/n";
    Lines plan = {"folders 1 files 0 selected 0 unread 1"};
    Lines folders;
    for (int depth = 1; depth <= 64; ++depth) {
        parts.push_back(Listing("MLSD " + path, {"type=dir; n"}));
        folders.push_back("RMD " + path);
        path += "/n";
    }
    plan.push_back("keep " + path);
    plan.insert(plan.end(), folders.rbegin(), folders.rend());
    SessionRow row = {
        .what = "65 levels",
        .script = Join(parts),
        .feat = kMachineFeat,
        .run = {Run::WalkTrees("/", {Folder("n")}), Run::RemoveTrees()},
        .results = {226, 200},
        .logged = {"... deeper than 64 folders: " + path.substr(1) + " is not entered and stays"},
        .plan = plan,
        .blanks = "0"};
    RunRow(row);
}

}  // namespace
