#pragma once
// Scripted-server cases as rows: what the server replies to each command, the requests the handlers
// run, and what is expected of the commands received, the log, the view calls, the failures shown to the
// pages and the handlers' results. A row leaves out what it does not check.
//
// Retries wait 1 ms unless the row's `configure` says otherwise.
//
//   RunRow({.what = "refused, no fall-back: nothing else is sent",
//           .script = {{"CWD pub/x", "550 no"}},
//           .run = {Run::ChangeDir("pub/x", 0)},
//           .results = {550},
//           .calls = {"SetStatus CD pub/x", "LogTraffic <CWD pub/x", "LogTraffic >550 no", "ClearStatus"}});
//
// Every row runs on a fresh fake server, with a session without a worker (driven from the test's thread)
// that logs in as anonymous first, unless it runs no request but the login (Run::Login, or none). A reply
// awaited wrongly fails the row within the 3 s control time-out instead of hanging it. Afterwards a NOOP
// must get its own 200 (no reply was left over), the control connection is closed, and the server must
// have used up its script and seen nothing it did not expect.
//
// Expected texts may hold {port} (the server's control port) and {folder} (the row's local folder).
// Recorded texts are normalized (EngineSession::Normalize): data ports read "P1,P2" and ":PORT".
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/FtpRequest.h"
#include "listing/RemoteEntry.h"
#include "support/EngineFixture.h"
#include "support/FakeFtpServer.h"
#include "support/TempDir.h"

class RowRun;

// One command the server waits for, in order, and its answer.
struct Step {
    using Then = std::function<void(FakeFtpServer::Actions&)>;

    // The command line; "" is the greeting (a login row's). A command holding "P1,P2" or "|PORT|" (PORT
    // or EPRT with the client's own address) is matched by its verb and compared normalized; one ending in "
    // *" ("PASS *") stands for any of its verb.
    std::string command;
    // Sent when the command comes, with CR LF after it ("\r\n" between the lines of a multi-line reply);
    // empty: nothing is sent.
    std::string reply = {};
    // What the server does after the reply: the data connection, usually.
    Then then = {};

    // PASV answered from a fresh listener.
    static Step Pasv();
    // EPSV answered from a fresh listener with "229 Entering Extended Passive Mode (|||port|)".
    static Step Epsv();
    // Sends `bytes` on the data connection (opens and closes it when empty), closes it, then `final`.
    static Then Send(std::string bytes, std::string final);
    // The same in TCP segments of their own.
    static Then Segments(std::vector<std::string> pieces, std::string final);
    // Reads the data connection until the client closes it (DataReceived()), then `final`.
    static Then Receive(std::string final);
    // Closes the control connection.
    static Then Close();
};

// A request the row runs, made by one of the functions below.
struct Run {
    enum class Kind {
        Login,
        ChangeDir,
        List,
        Get,
        Put,
        Delete,
        GetItems,
        PutItems,
        MakeFolder,
        Rename,
        WalkTrees,
        RemoveTrees,
        WalkDownload,
        GetPlan,
        WalkUpload
    };
    Kind kind = Kind::Login;
    std::string path = {};
    int fallBack = 0;
    // Get and Delete: the Remote page's entries, and the selected slots (empty: every entry).
    std::vector<RemoteEntry> entries = {};
    std::vector<std::int32_t> selection = {};
    // Put: names of the row's local files (see SessionRow::local), or other paths.
    std::vector<std::string> files = {};
    int type = kAsciiType;
    // GetItems and PutItems: the queue rows (a local path without a '/' is a file of the row's folder),
    // and the rows the user stopped before their turn.
    std::vector<TransferItem> items = {};
    std::vector<std::uint64_t> stopped = {};
    // PutItems: the server folders to make before the items, parents first.
    std::vector<TransferFolder> folders = {};

    // FtpLogin::ConnectAndLogin: the result is 1 when logged in, else 0.
    static Run Login();
    static Run ChangeDir(std::string path, int fallBack = 0);
    static Run List(std::string path);
    // Into the row's folder.
    static Run Get(std::vector<RemoteEntry> entries, int type = kAsciiType,
                   std::vector<std::int32_t> selection = {});
    // A name without a '/' is a file of the row's folder.
    static Run Put(std::vector<std::string> files, int type = kAsciiType);
    // Entries of 10 bytes with these names.
    static Run Delete(std::vector<std::string> names, std::vector<std::int32_t> selection = {});
    static Run DeleteEntries(std::vector<RemoteEntry> entries, std::vector<std::int32_t> selection = {});
    // Queue rows into the row's folder, or from it.
    static Run GetItems(std::vector<TransferItem> items, int type = kImageType,
                        std::vector<std::uint64_t> stopped = {});
    static Run PutItems(std::vector<TransferItem> items, int type = kImageType,
                        std::vector<std::uint64_t> stopped = {});
    // New folder `name` in the current directory.
    static Run MakeFolder(std::string name);
    // Entry `slot` of `entries` renamed to `newName`.
    static Run Rename(std::vector<RemoteEntry> entries, std::int32_t slot, std::string newName);
    // The walk of a Delete of the selected `entries` (every one when empty) shown in `folder`.
    static Run WalkTrees(std::string folder, std::vector<RemoteEntry> entries,
                         std::vector<std::int32_t> selection = {});
    // The removal of the plan the last walk posted (none: an empty plan).
    static Run RemoveTrees();
    // The walk of a Get of the selected `entries` (every one when empty) shown in `folder`, into the row's
    // local folder; links are chosen as links.
    static Run WalkDownload(std::string folder, std::vector<RemoteEntry> entries,
                            std::vector<std::int32_t> selection = {});
    // The Get of every file of the download plan the last walk posted, as the page queues it: rows
    // numbered from 1, the plan's folders with them.
    static Run GetPlan(int type = kImageType);
    // The walk of an upload of `paths` (a path without a leading '/' is one in the row's folder) into the
    // server folder `folder`.
    static Run WalkUpload(std::string folder, std::vector<std::string> paths, int type = kImageType);
    // Queue rows of a tree upload: `folders` made first.
    static Run PutTree(std::vector<TransferFolder> folders, std::vector<TransferItem> items,
                       int type = kImageType);
};

// An expected list of lines, checked only when the row gives it; `{}` expects none. (No default
// constructor, so that `{}` is an empty list and not "unchecked".)
class ExpectedLines {
  public:
    ExpectedLines(std::initializer_list<std::string> lines) : lines_(std::vector<std::string>(lines)) {}
    ExpectedLines(std::vector<std::string> lines) : lines_(std::move(lines)) {}  // NOLINT: as a list
    static ExpectedLines Unchecked() { return ExpectedLines(std::nullopt); }

    bool Checked() const { return lines_.has_value(); }
    const std::vector<std::string>& Value() const { return *lines_; }

  private:
    explicit ExpectedLines(std::nullopt_t) {}
    std::optional<std::vector<std::string>> lines_;
};

struct SessionRow {
    const char* what = "";

    // --- The case ---
    std::vector<Step> script = {};
    // Put in the row's folder before the requests run: name and contents.
    std::vector<std::pair<std::string, std::string>> local = {};
    // Directories the Remote page has a cached listing of.
    std::set<std::string> cached = {};
    // Login only: "user:password@" in the URL.
    std::string login = "";
    bool passive = true;
    // Where the fake server listens and the session connects: "127.0.0.1" or "::1".
    std::string loopback = "127.0.0.1";
    int dataTimeoutMs = 3000;
    // The server's answer to the FEAT after the login (CR LF between lines); empty: a server without FEAT.
    std::string feat = "";
    // Changes the session's options before it starts.
    std::function<void(FtpSessionOptions&)> configure = {};
    // Runs after the login, before the requests: a hook on the views, say (cleared after the requests).
    std::function<void(RowRun&)> setup = {};
    std::vector<Run> run = {};

    // --- What is expected (after the login) ---
    // One per request.
    std::vector<int> results = {};
    // The commands the server received, the runner's NOOP left out; default: the script's, in order.
    ExpectedLines commands = ExpectedLines::Unchecked();
    // Every view call as "op text".
    ExpectedLines calls = ExpectedLines::Unchecked();
    // Both log channels, and each of them.
    ExpectedLines log = ExpectedLines::Unchecked();
    ExpectedLines messages = ExpectedLines::Unchecked();
    ExpectedLines traffic = ExpectedLines::Unchecked();
    // Messages the log holds, wherever they are.
    std::vector<std::string> logged = {};
    // The texts of one operation's calls, for each operation named.
    std::vector<std::pair<std::string, std::vector<std::string>>> texts = {};
    // The last DeletePlan posted: "folders F files N selected S unread U", then a line per step in order,
    // "DELE path", "RMD path" or "keep path".
    ExpectedLines plan = ExpectedLines::Unchecked();
    // The last TransferPlan posted (none: no lines). A download's: a line per folder "dir <local path>
    // <time>", per file "get <server folder>|<name> -> <local path> <size> <time>[ exact]". An upload's:
    // "MKD path" per folder to make, "PUT local -> remote" per file (" over SIZE TIME" when the target
    // exists), "names folder: a b" per server folder listed (names sorted). Then "problem text" per
    // problem, and "stopped".
    ExpectedLines transferPlan = ExpectedLines::Unchecked();
    // RecordingViews::Failures().
    ExpectedLines failures = ExpectedLines::Unchecked();
    // Which slots of the Remote page's entries are blank afterwards, one '1' or '0' each.
    std::optional<std::string> blanks = std::nullopt;
    // Files of the row's folder afterwards and what each holds.
    std::vector<std::pair<std::string, std::string>> files = {};
    // Everything below the row's folder afterwards, sorted: "dir a/b", "file a/b/x <contents>",
    // "link a/l".
    ExpectedLines tree = ExpectedLines::Unchecked();
    // What the server read from each data connection it was told to receive on.
    ExpectedLines received = ExpectedLines::Unchecked();
    // RecordingViews::TransferEvents(); an expected line ending in '*' stands for every line that starts
    // with what comes before it.
    ExpectedLines transfers = ExpectedLines::Unchecked();
    // Whether the NOOP afterwards gets its own 200; false where the server has gone.
    bool inSync = true;
};

// What a row ran on, for checks of the test's own.
class RowRun : public EngineSession {
  public:
    explicit RowRun(std::string_view loopback) : EngineSession(loopback) {}
    TempDir folder{"wisp-rows"};
    std::vector<int> results;
    // ConnectAndLogin's connection text, for a login.
    std::string connection;
    // A helper of the row's own (one that plays the user while a request runs), joined with the run.
    std::jthread helper;
};

// Runs the row and checks what it expects; the failures name the row.
std::unique_ptr<RowRun> RunRow(const SessionRow& row);
