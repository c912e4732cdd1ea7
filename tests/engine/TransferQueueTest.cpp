// Queue rows of Get and Put against the scripted server: the per-row reports, the folder changes, resumed
// files (REST, APPE), the checks that refuse a wrong file, and the retries with reconnection.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine/FtpRequest.h"
#include "support/SessionRows.h"

namespace {

const std::string kData = "0123456789abcdefghij";
// A server that offers SIZE and REST STREAM.
const std::string kFeat = "211-Features:\r\n SIZE\r\n REST STREAM\r\n211 End";
const std::string kFeatSizeOnly = "211-Features:\r\n SIZE\r\n211 End";

TransferItem Item(std::uint64_t row, std::string name, std::int64_t size, bool resume = false,
                  std::string folder = "/pub") {
    TransferItem item;
    item.row = row;
    item.remoteFolder = std::move(folder);
    item.remoteName = name;
    item.localPath = std::move(name);
    item.size = size;
    item.resume = resume;
    return item;
}

// RETR answered with 150, the bytes, the data connection's close and `final`, then the control
// connection's close when `close`.
Step Retr(std::string name, std::string bytes, std::string final, bool close = false) {
    return {"RETR " + name, "150 go", [=](FakeFtpServer::Actions& actions) {
                if (bytes.empty()) {
                    actions.DataOpen();
                } else {
                    actions.DataSend(bytes);
                }
                actions.DataClose().Line(final);
                if (close) {
                    actions.Close();
                }
            }};
}

Step Stor(std::string verb, std::string name) {
    return {verb + " " + name, "150 go", Step::Receive("226 stored")};
}

TEST(TransferQueue, RowsAreReportedInTheirFolders) {
    const std::vector<SessionRow> rows = {
        {.what = "a row is fetched in its folder",
         .script =
             {{"CWD /pub", "250 ok"}, {"TYPE I", "200 ok"}, Step::Pasv(), Retr("a.bin", kData, "226 ok")},
         .run = {Run::GetItems({Item(7, "a.bin", 20)})},
         .results = {226},
         .files = {{"a.bin", kData}},
         .transfers = {"started 7 0 20", "progress 7 20", "done 7"}},
        {.what = "already in the folder: no CWD",
         .script = {{"CWD /pub", "250 ok"},
                    {"PWD", "257 \"/pub\""},
                    {"TYPE I", "200 ok"},
                    Step::Pasv(),
                    Retr("a.bin", kData, "226 ok")},
         .cached = {"/pub"},
         .run = {Run::ChangeDir("/pub"), Run::GetItems({Item(1, "a.bin", 20)})},
         .results = {257, 226},
         .transfers = {"started 1 0 20", "progress 1 20", "done 1"}},
        {.what = "a row elsewhere: the session goes back to the folder the page shows",
         .script = {{"CWD /home", "250 ok"},
                    {"PWD", "257 \"/home\""},
                    {"CWD /pub", "250 ok"},
                    {"TYPE I", "200 ok"},
                    Step::Pasv(),
                    Retr("a.bin", kData, "226 ok"),
                    {"CWD /home", "250 ok"}},
         .cached = {"/home"},
         .run = {Run::ChangeDir("/home"), Run::GetItems({Item(1, "a.bin", 20)})},
         .results = {257, 226}},
        {.what = "a row stopped before its turn is skipped",
         .script =
             {{"CWD /pub", "250 ok"}, {"TYPE I", "200 ok"}, Step::Pasv(), Retr("b.bin", "0123", "226 ok")},
         .run = {Run::GetItems({Item(1, "a.bin", 20), Item(2, "b.bin", 4)}, kImageType, {1})},
         .results = {226},
         .transfers = {"stopped 1 Stopped by the user", "started 2 0 4", "progress 2 4", "done 2"}},
        {.what = "a local path outside the download folder is refused",
         .script = {{"CWD /pub", "250 ok"}, {"TYPE I", "200 ok"}},
         .run = {Run::GetItems({[] {
             TransferItem item = Item(1, "passwd", 20);
             item.localPath = "/tmp/elsewhere/passwd";
             return item;
         }()})},
         .results = {299},
         .transfers = {"failed 1 Refused local name \"\": not a file name in the folder"}},
    };
    for (const SessionRow& row : rows) {
        RunRow(row);
    }
}

TEST(TransferQueue, DownloadsGoOnFromThePartialFileOrStartOver) {
    const std::vector<Step> inPub = {{"CWD /pub", "250 ok"}, {"TYPE I", "200 ok"}, {"SIZE a.bin", "213 20"}};
    const auto script = [&](std::vector<Step> more) {
        std::vector<Step> steps = inPub;
        steps.insert(steps.end(), more.begin(), more.end());
        return steps;
    };
    const std::vector<SessionRow> rows = {
        {.what = "REST accepted: the rest is appended",
         .script = script({{"REST 8", "350 ok"}, Step::Pasv(), Retr("a.bin", kData.substr(8), "226 ok")}),
         .local = {{"a.bin", kData.substr(0, 8)}},
         .feat = kFeat,
         .run = {Run::GetItems({Item(1, "a.bin", 20, true)})},
         .results = {226},
         .logged = {"... resuming a.bin at 8 bytes"},
         .files = {{"a.bin", kData}},
         .transfers = {"started 1 8 20", "progress 1 20", "done 1"}},
        {.what = "REST refused: from the first byte",
         .script = script({{"REST 8", "502 no"}, Step::Pasv(), Retr("a.bin", kData, "226 ok")}),
         .local = {{"a.bin", kData.substr(0, 8)}},
         .feat = kFeat,
         .run = {Run::GetItems({Item(1, "a.bin", 20, true)})},
         .results = {226},
         .logged = {"... REST refused: downloading a.bin from its first byte"},
         .files = {{"a.bin", kData}},
         .transfers = {"started 1 0 20", "progress 1 20", "done 1"}},
        {.what = "REST answered 350 but the data starts over: failed, the partial file kept as it was",
         .script = script({{"REST 8", "350 ok"}, Step::Pasv(), Retr("a.bin", kData, "226 ok")}),
         .local = {{"a.bin", kData.substr(0, 8)}},
         .feat = kFeat,
         .run = {Run::GetItems({Item(1, "a.bin", 20, true)})},
         .results = {451},
         .files = {{"a.bin", kData.substr(0, 8)}},
         .transfers =
             {"started 1 8 20",
              "failed 1 the server sent a.bin from its first byte after REST: the partial file is kept "
              "at 8 bytes"}},
        {.what = "the file changed on the server (SIZE differs from the listing): from the first byte",
         .script = {{"CWD /pub", "250 ok"},
                    {"TYPE I", "200 ok"},
                    {"SIZE a.bin", "213 25"},
                    Step::Pasv(),
                    Retr("a.bin", kData + "klmno", "226 ok")},
         .local = {{"a.bin", kData.substr(0, 8)}},
         .feat = kFeat,
         .run = {Run::GetItems({Item(1, "a.bin", 20, true)})},
         .results = {226},
         .logged =
             {"... a.bin changed on the server (25 bytes, listed 20 bytes): downloading it from its first "
              "byte"},
         .files = {{"a.bin", kData + "klmno"}},
         .transfers = {"started 1 0 25", "progress 1 25", "done 1"}},
        {.what = "the local file replaced during the download fails; the new file is left alone",
         .script = script({{"REST 8", "350 ok"}, Step::Pasv(), Retr("a.bin", kData.substr(8), "226 ok")}),
         .local = {{"a.bin", kData.substr(0, 8)}},
         .feat = kFeat,
         .setup =
             [](RowRun& run) {
                 run.views.SetHook([&run](const RecordedCall& call) {
                     if (call.op == "LogTraffic" && call.text == ">150 go") {
                         std::filesystem::remove(run.folder / "a.bin");
                         run.folder.WriteFile("a.bin", "other");
                     }
                 });
             },
         .run = {Run::GetItems({Item(1, "a.bin", 20, true)})},
         .results = {451},
         .files = {{"a.bin", "other"}},
         .transfers = {"started 1 8 20", "progress 1 20",
                       "failed 1 {folder}/a.bin was replaced during the download"}},
        {.what = "SIZE answered without a number: the listed size holds",
         .script = {{"CWD /pub", "250 ok"},
                    {"TYPE I", "200 ok"},
                    {"SIZE a.bin", "213 many"},
                    {"REST 8", "350 ok"},
                    Step::Pasv(),
                    Retr("a.bin", kData.substr(8), "226 ok")},
         .local = {{"a.bin", kData.substr(0, 8)}},
         .feat = kFeat,
         .run = {Run::GetItems({Item(1, "a.bin", 20, true)})},
         .files = {{"a.bin", kData}},
         .transfers = {"started 1 8 20", "progress 1 20", "done 1"}},
        {.what = "the file's time differs from the exact listed one: from the first byte",
         .script = {{"CWD /pub", "250 ok"},
                    {"TYPE I", "200 ok"},
                    {"SIZE a.bin", "213 20"},
                    {"MDTM a.bin", "213 20200101000000"},
                    Step::Pasv(),
                    Retr("a.bin", kData, "226 ok")},
         .local = {{"a.bin", "stale..."}},
         .feat = "211-Features:\r\n MDTM\r\n SIZE\r\n REST STREAM\r\n211 End",
         .run = {Run::GetItems({[] {
             TransferItem item = Item(1, "a.bin", 20, true);
             item.time = 1500000000;
             item.exactTime = true;
             return item;
         }()})},
         .logged =
             {"... a.bin changed on the server (its time differs from the listed one): downloading it from "
              "its first byte"},
         .files = {{"a.bin", kData}},
         .transfers = {"started 1 0 20", "progress 1 20", "done 1"}},
        {.what = "a file that grows while it is read fails",
         .script =
             {{"CWD /pub", "250 ok"}, {"TYPE I", "200 ok"}, Step::Pasv(), Retr("a.bin", kData, "226 ok")},
         .run = {Run::GetItems({Item(1, "a.bin", 12)})},
         .results = {451},
         .transfers = {"started 1 0 12",
                       "failed 1 a.bin grew on the server while it was read (12 bytes were listed)"}},
        {.what = "ASCII type: from the first byte whatever is there",
         .script = {{"CWD /pub", "250 ok"}, Step::Pasv(), Retr("a.txt", "ab\r\n", "226 ok")},
         .local = {{"a.txt", "a"}},
         .feat = kFeat,
         .run = {Run::GetItems({Item(1, "a.txt", 4, true)}, kAsciiType)},
         .results = {226},
         .logged =
             {"... ASCII type: downloading a.txt from its first byte (line ends make the offsets differ "
              "between the two ends)"},
         .files = {{"a.txt", "ab\n"}}},
    };
    for (const SessionRow& row : rows) {
        RunRow(row);
    }
}

TEST(TransferQueue, UploadsGoOnWhereTheServersCopyStops) {
    const std::vector<SessionRow> rows = {
        {.what = "REST offered: REST and STOR from the server's length",
         .script = {{"CWD /up", "250 ok"},
                    {"TYPE I", "200 ok"},
                    {"SIZE u.bin", "213 8"},
                    {"REST 8", "350 ok"},
                    Step::Pasv(),
                    Stor("STOR", "u.bin"),
                    {"SIZE u.bin", "213 20"}},
         .local = {{"u.bin", kData}},
         .feat = kFeat,
         .run = {Run::PutItems({Item(3, "u.bin", 20, true, "/up")})},
         .results = {226},
         .logged = {"... resuming u.bin at 8 bytes"},
         .received = {kData.substr(8)},
         .transfers = {"started 3 8 20", "progress 3 20", "done 3"}},
        {.what = "no REST offered: APPE",
         .script = {{"CWD /up", "250 ok"},
                    {"TYPE I", "200 ok"},
                    {"SIZE u.bin", "213 8"},
                    Step::Pasv(),
                    Stor("APPE", "u.bin"),
                    {"SIZE u.bin", "213 20"}},
         .local = {{"u.bin", kData}},
         .feat = kFeatSizeOnly,
         .run = {Run::PutItems({Item(3, "u.bin", 20, true, "/up")})},
         .received = {kData.substr(8)},
         .transfers = {"started 3 8 20", "progress 3 20", "done 3"}},
        {.what = "the server holds less than was sent: tried again from there",
         .script = {{"CWD /up", "250 ok"},
                    {"TYPE I", "200 ok"},
                    Step::Pasv(),
                    Stor("STOR", "u.bin"),
                    {"SIZE u.bin", "213 15"},
                    {"SIZE u.bin", "213 15"},
                    {"REST 15", "350 ok"},
                    Step::Pasv(),
                    Stor("STOR", "u.bin"),
                    {"SIZE u.bin", "213 20"}},
         .local = {{"u.bin", kData}},
         .feat = kFeat,
         .run = {Run::PutItems({Item(3, "u.bin", 20, false, "/up")})},
         .received = {kData, kData.substr(15)},
         .transfers = {"started 3 0 20", "progress 3 20",
                       "retrying 3 1 0 size differs on the server: expected 20 bytes, have 15 bytes",
                       "started 3 15 20", "progress 3 20", "done 3"}},
        {.what = "SIZE refused: the whole file",
         .script = {{"CWD /up", "250 ok"},
                    {"TYPE I", "200 ok"},
                    {"SIZE u.bin", "550 no such file"},
                    Step::Pasv(),
                    Stor("STOR", "u.bin"),
                    {"SIZE u.bin", "213 20"}},
         .local = {{"u.bin", kData}},
         .feat = kFeat,
         .run = {Run::PutItems({Item(3, "u.bin", 20, true, "/up")})},
         .received = {kData},
         .transfers = {"started 3 0 20", "progress 3 20", "done 3"}},
    };
    for (const SessionRow& row : rows) {
        RunRow(row);
    }
}

TEST(TransferQueue, PassingFailuresAreRetriedAndLastingOnesAreNot) {
    const std::vector<SessionRow> rows = {
        {.what = "the data cut twice, then whole: each retry goes on from where the last stopped",
         .script = {{"CWD /pub", "250 ok"},
                    {"TYPE I", "200 ok"},
                    Step::Pasv(),
                    Retr("f.bin", kData.substr(0, 10), "426 cut"),
                    {"SIZE f.bin", "213 20"},
                    {"REST 10", "350 ok"},
                    Step::Pasv(),
                    Retr("f.bin", kData.substr(10, 5), "426 cut"),
                    {"SIZE f.bin", "213 20"},
                    {"REST 15", "350 ok"},
                    Step::Pasv(),
                    Retr("f.bin", kData.substr(15), "226 ok")},
         .feat = kFeat,
         .run = {Run::GetItems({Item(1, "f.bin", 20)})},
         .results = {226},
         .files = {{"f.bin", kData}},
         .transfers = {"started 1 0 20", "progress 1 10", "retrying 1 1 0 426 cut", "started 1 10 20",
                       "progress 1 15", "retrying 1 2 0 426 cut", "started 1 15 20", "progress 1 20",
                       "done 1"}},
        {.what = "421 in the middle: reconnects, logs in again and goes on",
         .script = {{"CWD /pub", "250 ok"},
                    {"TYPE I", "200 ok"},
                    Step::Pasv(),
                    Retr("f.bin", kData.substr(0, 10), "421 going away", true),
                    {"USER anonymous", "230 in"},
                    {"FEAT", kFeat},
                    {"CWD /pub", "250 ok"},
                    {"TYPE I", "200 ok"},
                    {"SIZE f.bin", "213 20"},
                    {"REST 10", "350 ok"},
                    Step::Pasv(),
                    Retr("f.bin", kData.substr(10), "226 ok")},
         .feat = kFeat,
         .run = {Run::GetItems({Item(1, "f.bin", 20)})},
         .results = {226},
         .logged = {"... reconnecting to 127.0.0.1", "... resuming f.bin at 10 bytes"},
         .files = {{"f.bin", kData}},
         .transfers = {"started 1 0 20", "progress 1 10",
                       "retrying 1 1 0 the connection was lost: 421 going away", "started 1 10 20",
                       "progress 1 20", "done 1"}},
        {.what = "the server closes the control connection between files: the next one reconnects",
         .script = {{"CWD /pub", "250 ok"},
                    {"TYPE I", "200 ok"},
                    Step::Pasv(),
                    Retr("a.bin", "0123", "226 ok", true),
                    {"USER anonymous", "230 in"},
                    {"FEAT", "500 no"},
                    {"CWD /pub", "250 ok"},
                    {"TYPE I", "200 ok"},
                    Step::Pasv(),
                    Retr("b.bin", "4567", "226 ok")},
         .run = {Run::GetItems({Item(1, "a.bin", 4), Item(2, "b.bin", 4)})},
         .results = {226},
         // The PASV went out on the closed connection and got no answer.
         .commands = {"CWD /pub", "TYPE I", "PASV", "RETR a.bin", "PASV", "USER anonymous", "FEAT",
                      "CWD /pub", "TYPE I", "PASV", "RETR b.bin"},
         .files = {{"a.bin", "0123"}, {"b.bin", "4567"}},
         .transfers = {"started 1 0 4", "progress 1 4", "done 1", "retrying 2 1 0 the connection was lost*",
                       "started 2 0 4", "progress 2 4", "done 2"}},
        {.what = "a lasting 550 fails at once; the next row goes on",
         .script = {{"CWD /pub", "250 ok"},
                    {"TYPE I", "200 ok"},
                    Step::Pasv(),
                    {"RETR a.bin", "550 No such file"},
                    Step::Pasv(),
                    Retr("b.bin", "4567", "226 ok")},
         .run = {Run::GetItems({Item(1, "a.bin", 4), Item(2, "b.bin", 4)})},
         .results = {226},
         .transfers = {"failed 1 550 No such file", "started 2 0 4", "progress 2 4", "done 2"}},
        {.what = "the retries used up: failed with the last reason",
         .script = {{"CWD /pub", "250 ok"},
                    {"TYPE I", "200 ok"},
                    Step::Pasv(),
                    {"RETR a.bin", "450 busy"},
                    Step::Pasv(),
                    {"RETR a.bin", "450 busy"},
                    Step::Pasv(),
                    {"RETR a.bin", "450 still busy"}},
         .configure =
             [](FtpSessionOptions& options) {
                 options.retryDelaysMs = {1, 1};
             },
         .run = {Run::GetItems({Item(1, "a.bin", 4)})},
         .results = {450},
         .logged = {"... a.bin: no more retries: 450 still busy"},
         .transfers = {"retrying 1 1 0 450 busy", "retrying 1 2 0 450 busy", "failed 1 450 still busy"}},
        {.what = "the user's abort while a row's data moves stops it and the rows after it",
         .script =
             {{"CWD /pub", "250 ok"}, {"TYPE I", "200 ok"}, Step::Pasv(), Retr("a.bin", kData, "226 ok")},
         .setup =
             [](RowRun& run) {
                 run.views.SetHook([&run](const RecordedCall& call) {
                     if (call.op == "LogTraffic" && call.text == ">150 go") {
                         run.session->Abort();
                     }
                 });
             },
         .run = {Run::GetItems({Item(1, "a.bin", 20), Item(2, "b.bin", 4)})},
         .transfers = {"started 1 0 20", "stopped 1 Stopped by the user", "stopped 2 Stopped by the user"}},
        {.what = "the user's abort during a retry's wait stops the row and those after it",
         .script = {{"CWD /pub", "250 ok"}, {"TYPE I", "200 ok"}, Step::Pasv(), {"RETR a.bin", "450 busy"}},
         .configure = [](FtpSessionOptions& options) { options.retryDelaysMs = {60000}; },
         .setup =
             [](RowRun& run) {
                 run.helper = std::jthread([&run] {
                     if (run.views.WaitForTransferEvent("retrying")) {
                         run.session->Abort();
                     }
                 });
             },
         .run = {Run::GetItems({Item(1, "a.bin", 4), Item(2, "b.bin", 4)})},
         .results = {450},
         .logged = {"... a.bin: 450 busy; trying again in 60 seconds (retry 1 of 1)",
                    "... a.bin: retries stopped by the user"},
         .transfers = {"retrying 1 1 60 450 busy", "stopped 1 Stopped by the user",
                       "stopped 2 Stopped by the user"}},
    };
    for (const SessionRow& row : rows) {
        RunRow(row);
    }
}

}  // namespace
