#include "support/SessionRows.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <set>

#include "engine/DeletePlan.h"
#include "engine/FtpDirectoryCommands.h"
#include "engine/FtpFolderCommands.h"
#include "engine/FtpLogin.h"
#include "engine/FtpTransfers.h"
#include "engine/FtpTreeWalk.h"
#include "engine/FtpUploadTrees.h"
#include "engine/TransferPlan.h"

Step Step::Pasv() {
    return {"PASV", "", [](FakeFtpServer::Actions& actions) { actions.Pasv(); }};
}

Step Step::Epsv() {
    return {"EPSV", "", [](FakeFtpServer::Actions& actions) {
                actions.Pasv("229 Entering Extended Passive Mode (|||{port}|)\r\n");
            }};
}

Step::Then Step::Send(std::string bytes, std::string final) {
    return [bytes = std::move(bytes), final = std::move(final)](FakeFtpServer::Actions& actions) {
        if (bytes.empty()) {
            actions.DataOpen();
        } else {
            actions.DataSend(bytes);
        }
        actions.DataClose().Line(final);
    };
}

Step::Then Step::Segments(std::vector<std::string> pieces, std::string final) {
    return [pieces = std::move(pieces), final = std::move(final)](FakeFtpServer::Actions& actions) {
        if (pieces.empty()) {
            actions.DataOpen();
        } else {
            actions.DataSegments(pieces);
        }
        actions.DataClose().Line(final);
    };
}

Step::Then Step::Receive(std::string final) {
    return
        [final = std::move(final)](FakeFtpServer::Actions& actions) { actions.DataReceiveAll().Line(final); };
}

Step::Then Step::Close() {
    return [](FakeFtpServer::Actions& actions) { actions.Close(); };
}

Run Run::Login() {
    return {};
}

Run Run::ChangeDir(std::string path, int fallBack) {
    return {.kind = Kind::ChangeDir, .path = std::move(path), .fallBack = fallBack};
}

Run Run::List(std::string path) {
    return {.kind = Kind::List, .path = std::move(path)};
}

Run Run::Get(std::vector<RemoteEntry> entries, int type, std::vector<std::int32_t> selection) {
    return {
        .kind = Kind::Get, .entries = std::move(entries), .selection = std::move(selection), .type = type};
}

Run Run::Put(std::vector<std::string> files, int type) {
    return {.kind = Kind::Put, .files = std::move(files), .type = type};
}

Run Run::Delete(std::vector<std::string> names, std::vector<std::int32_t> selection) {
    std::vector<RemoteEntry> entries;
    for (auto& name : names) {
        entries.emplace_back(std::move(name), 10, 0);
    }
    return DeleteEntries(std::move(entries), std::move(selection));
}

Run Run::DeleteEntries(std::vector<RemoteEntry> entries, std::vector<std::int32_t> selection) {
    return {.kind = Kind::Delete, .entries = std::move(entries), .selection = std::move(selection)};
}

Run Run::GetItems(std::vector<TransferItem> items, int type, std::vector<std::uint64_t> stopped) {
    return {.kind = Kind::GetItems, .type = type, .items = std::move(items), .stopped = std::move(stopped)};
}

Run Run::PutItems(std::vector<TransferItem> items, int type, std::vector<std::uint64_t> stopped) {
    return {.kind = Kind::PutItems, .type = type, .items = std::move(items), .stopped = std::move(stopped)};
}

Run Run::MakeFolder(std::string name) {
    return {.kind = Kind::MakeFolder, .path = std::move(name)};
}

Run Run::Rename(std::vector<RemoteEntry> entries, std::int32_t slot, std::string newName) {
    return {
        .kind = Kind::Rename, .path = std::move(newName), .entries = std::move(entries), .selection = {slot}};
}

Run Run::WalkTrees(std::string folder, std::vector<RemoteEntry> entries,
                   std::vector<std::int32_t> selection) {
    return {.kind = Kind::WalkTrees,
            .path = std::move(folder),
            .entries = std::move(entries),
            .selection = std::move(selection)};
}

Run Run::RemoveTrees() {
    return {.kind = Kind::RemoveTrees};
}

Run Run::WalkDownload(std::string folder, std::vector<RemoteEntry> entries,
                      std::vector<std::int32_t> selection) {
    return {.kind = Kind::WalkDownload,
            .path = std::move(folder),
            .entries = std::move(entries),
            .selection = std::move(selection)};
}

Run Run::GetPlan(int type) {
    return {.kind = Kind::GetPlan, .type = type};
}

Run Run::WalkUpload(std::string folder, std::vector<std::string> paths, int type) {
    return {.kind = Kind::WalkUpload, .path = std::move(folder), .files = std::move(paths), .type = type};
}

Run Run::PutTree(std::vector<TransferFolder> folders, std::vector<TransferItem> items, int type) {
    return {.kind = Kind::PutItems, .type = type, .items = std::move(items), .folders = std::move(folders)};
}

namespace {

using Lines = std::vector<std::string>;

Lines PlanLines(const DeletePlan* plan) {
    if (plan == nullptr) {
        return {};
    }
    Lines lines{"folders " + std::to_string(plan->selectedFolders) + " files " +
                std::to_string(plan->filesBelow) + " selected " + std::to_string(plan->selectedFiles) +
                " unread " + std::to_string(plan->unreadFolders)};
    for (const DeleteStep& step : plan->steps) {
        lines.push_back((step.keep                           ? "keep "
                         : step.kind == EntryKind::Directory ? "RMD "
                                                             : "DELE ") +
                        step.path);
    }
    return lines;
}

Lines TransferPlanLines(const TransferPlan* plan) {
    if (plan == nullptr) {
        return {};
    }
    Lines lines;
    if (!plan->upload) {
        for (const TransferFolder& folder : plan->folders) {
            lines.push_back("dir " + folder.path + " " + std::to_string(folder.time));
        }
        for (const PlannedFile& file : plan->files) {
            const TransferItem& item = file.item;
            lines.push_back("get " + item.remoteFolder + "|" + item.remoteName + " -> " + item.localPath +
                            " " + std::to_string(item.size) + " " + std::to_string(item.time) +
                            (item.exactTime ? " exact" : ""));
        }
    }
    for (const TransferFolder& folder : plan->upload ? plan->folders : std::vector<TransferFolder>{}) {
        lines.push_back("MKD " + folder.path);
    }
    for (const PlannedFile& file : plan->upload ? plan->files : std::vector<PlannedFile>{}) {
        std::string line =
            "PUT " + file.item.localPath + " -> " + file.item.remoteFolder + "/" + file.item.remoteName;
        if (file.targetExists) {
            line += " over " + std::to_string(file.targetSize) + " " + std::to_string(file.targetTime);
        }
        lines.push_back(line);
    }
    const std::map<std::string, std::set<std::string>> names = [&] {
        std::map<std::string, std::set<std::string>> sorted;
        for (const auto& [folder, inside] : plan->remoteNames) {
            sorted[folder].insert(inside.begin(), inside.end());
        }
        return sorted;
    }();
    for (const auto& [folder, inside] : names) {
        std::string line = "names " + folder + ":";
        for (const auto& name : inside) {
            line += " " + name;
        }
        lines.push_back(line);
    }
    for (const std::string& problem : plan->problems) {
        lines.push_back("problem " + problem);
    }
    if (plan->stopped) {
        lines.emplace_back("stopped");
    }
    return lines;
}

// Everything below `root`, sorted by path.
Lines TreeLines(const std::filesystem::path& root) {
    Lines lines;
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(root, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        const std::string relative = it->path().lexically_relative(root).string();
        if (it->is_symlink()) {
            lines.push_back("link " + relative);
        } else if (it->is_directory()) {
            lines.push_back("dir " + relative);
        } else {
            lines.push_back("file " + relative + " " + TempDir::ReadFileAt(it->path()).value_or("?"));
        }
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

// The walk of a Get and the Get the page then queues.
int ServeTreeDownload(RowRun& run, const Run& request) {
    FtpRequest handed;
    handed.text = run.folder.Path().string();
    handed.value = request.type;
    if (request.kind == Run::Kind::WalkDownload) {
        run.views.SetEntries(request.entries);
        auto selection = std::make_unique<FolderSelection>();
        selection->folder = request.path;
        for (std::size_t i = 0; i < request.entries.size(); ++i) {
            const auto slot = static_cast<std::int32_t>(i);
            if (request.selection.empty() || std::find(request.selection.begin(), request.selection.end(),
                                                       slot) != request.selection.end()) {
                const RemoteEntry& entry = request.entries[i];
                selection->entries.push_back({slot, entry.Name(), entry.Kind() == EntryKind::Directory,
                                              entry.Kind() == EntryKind::Link});
            }
        }
        handed.kind = FtpRequestKind::WalkDownload;
        handed.object = std::move(selection);
        const int result = FtpTreeWalk::WalkDownload(run.Context(), handed);
        EXPECT_EQ(handed.object, nullptr) << "the handler kept its object";
        return result;
    }
    const std::shared_ptr<TransferPlan> plan = run.views.LastTransferPlan();
    auto transfers = std::make_unique<TransferItems>();
    if (plan != nullptr) {
        std::uint64_t row = 0;
        for (const PlannedFile& file : plan->files) {
            transfers->items.push_back(file.item);
            transfers->items.back().row = ++row;
        }
        transfers->folders = plan->folders;
    }
    handed.kind = FtpRequestKind::Get;
    handed.object = std::move(transfers);
    return FtpTransfers::GetFiles(run.Context(), handed);
}

// The folder-command requests: their objects as the Remote page makes them.
int ServeFolderCommand(RowRun& run, const Run& request) {
    FtpRequest handed;
    handed.text = request.path;
    switch (request.kind) {
        case Run::Kind::MakeFolder:
            handed.kind = FtpRequestKind::MakeFolder;
            return FtpFolderCommands::MakeFolder(run.Context(), handed);
        case Run::Kind::Rename: {
            run.views.SetEntries(request.entries);
            const std::int32_t slot = request.selection.at(0);
            handed.kind = FtpRequestKind::Rename;
            handed.object = std::make_unique<RenameNames>(
                slot, request.entries.at(static_cast<std::size_t>(slot)).Name(), request.path);
            const int result = FtpFolderCommands::Rename(run.Context(), handed);
            EXPECT_EQ(handed.object, nullptr) << "the handler kept its object";
            return result;
        }
        case Run::Kind::WalkTrees: {
            run.views.SetEntries(request.entries);
            auto selection = std::make_unique<FolderSelection>();
            selection->folder = request.path;
            for (std::size_t i = 0; i < request.entries.size(); ++i) {
                const auto slot = static_cast<std::int32_t>(i);
                if (request.selection.empty() || std::find(request.selection.begin(), request.selection.end(),
                                                           slot) != request.selection.end()) {
                    const RemoteEntry& entry = request.entries[i];
                    selection->entries.push_back({slot, entry.Name(), entry.Kind() == EntryKind::Directory});
                }
            }
            handed.kind = FtpRequestKind::WalkTrees;
            handed.object = std::move(selection);
            const int result = FtpFolderCommands::WalkTrees(run.Context(), handed);
            EXPECT_EQ(handed.object, nullptr) << "the handler kept its object";
            return result;
        }
        case Run::Kind::RemoveTrees: {
            const std::shared_ptr<DeletePlan> plan = run.views.LastDeletePlan();
            handed.kind = FtpRequestKind::RemoveTrees;
            handed.object =
                plan != nullptr ? std::make_unique<DeletePlan>(*plan) : std::make_unique<DeletePlan>();
            const int result = FtpFolderCommands::RemoveTrees(run.Context(), handed);
            EXPECT_EQ(handed.object, nullptr) << "the handler kept its object";
            return result;
        }
        default:
            ADD_FAILURE() << "not a folder command";
            return 0;
    }
}

// A PORT command names the client's own address and port, a PASS the e-mail address: matched by verb.
bool MatchedByVerb(const std::string& command) {
    return command.find("P1,P2") != std::string::npos || command.find("|PORT|") != std::string::npos ||
           command.ends_with(" *");
}

FakeFtpServer::Actions Expectation(FakeFtpServer& server, const std::string& command) {
    if (command.empty()) {
        return server.OnConnect();
    }
    if (MatchedByVerb(command)) {
        return server.ExpectVerb(command.substr(0, command.find(' ')));
    }
    return server.Expect(command);
}

void Script(FakeFtpServer& server, const Step& step) {
    FakeFtpServer::Actions actions = Expectation(server, step.command);
    if (!step.reply.empty()) {
        actions.Line(step.reply);
    }
    if (step.then) {
        step.then(actions);
    }
}

// Runs one request other than the login through its handler. The objects handed over are counted: the
// handler must release each once.
int Serve(RowRun& run, const Run& request) {
    switch (request.kind) {
        case Run::Kind::Login:
            ADD_FAILURE() << "a login runs alone";
            return 0;
        case Run::Kind::ChangeDir:
            return FtpDirectoryCommands::ChangeDirectory(run.Context(), request.path, request.fallBack);
        case Run::Kind::List:
            return FtpTransfers::ListDirectory(run.Context(), request.path);
        case Run::Kind::Get:
        case Run::Kind::Put:
        case Run::Kind::Delete:
        case Run::Kind::GetItems:
        case Run::Kind::PutItems:
            break;
        case Run::Kind::MakeFolder:
        case Run::Kind::Rename:
        case Run::Kind::WalkTrees:
        case Run::Kind::RemoveTrees:
            return ServeFolderCommand(run, request);
        case Run::Kind::WalkDownload:
        case Run::Kind::GetPlan:
            return ServeTreeDownload(run, request);
        case Run::Kind::WalkUpload:
            break;
    }
    std::atomic<int> destroyed{0};
    FtpRequest handed;
    handed.value = request.type;
    int result = 0;
    if (request.kind == Run::Kind::GetItems || request.kind == Run::Kind::PutItems) {
        std::vector<TransferItem> items = request.items;
        for (auto& item : items) {
            if (!item.localPath.empty() && item.localPath.find('/') == std::string::npos) {
                item.localPath = (run.folder / item.localPath).string();
            }
        }
        auto transfers = std::make_unique<Counted<TransferItems>>(destroyed, std::move(items));
        auto stops = std::make_shared<TransferStopList>();
        for (const std::uint64_t row : request.stopped) {
            stops->Stop(row);
        }
        transfers->stops = stops;
        transfers->folders = request.folders;
        handed.object = std::move(transfers);
        if (request.kind == Run::Kind::GetItems) {
            handed.kind = FtpRequestKind::Get;
            handed.text = run.folder.Path().string();
            result = FtpTransfers::GetFiles(run.Context(), handed);
        } else {
            handed.kind = FtpRequestKind::Put;
            result = FtpTransfers::PutFiles(run.Context(), handed);
        }
    } else if (request.kind == Run::Kind::Put) {
        std::vector<std::string> paths;
        for (const auto& file : request.files) {
            paths.push_back(file.find('/') == std::string::npos ? (run.folder / file).string() : file);
        }
        handed.kind = FtpRequestKind::Put;
        handed.object = std::make_unique<Counted<DroppedFiles>>(destroyed, std::move(paths));
        result = FtpTransfers::PutFiles(run.Context(), handed);
    } else if (request.kind == Run::Kind::WalkUpload) {
        std::vector<std::string> paths;
        for (const auto& file : request.files) {
            paths.push_back(file.starts_with('/') ? file : (run.folder / file).string());
        }
        handed.kind = FtpRequestKind::WalkUpload;
        handed.text = request.path;
        handed.object = std::make_unique<Counted<DroppedFiles>>(destroyed, std::move(paths));
        result = FtpUploadTrees::WalkUpload(run.Context(), handed);
    } else {
        std::vector<std::int32_t> selection = request.selection;
        for (std::size_t i = 0; request.selection.empty() && i < request.entries.size(); ++i) {
            selection.push_back(static_cast<std::int32_t>(i));
        }
        run.views.SetEntries(request.entries);
        handed.object = std::make_unique<Counted<>>(destroyed, std::move(selection));
        if (request.kind == Run::Kind::Get) {
            handed.kind = FtpRequestKind::Get;
            handed.text = run.folder.Path().string();
            result = FtpTransfers::GetFiles(run.Context(), handed);
        } else {
            handed.kind = FtpRequestKind::Delete;
            result = FtpDirectoryCommands::DeleteFiles(run.Context(), handed);
        }
    }
    EXPECT_EQ(handed.object, nullptr) << "the handler kept its object";
    EXPECT_EQ(destroyed, 1) << "the handler's object was not released once";
    return result;
}

std::string Expand(std::string line, const RowRun& run) {
    for (const auto& [name, value] :
         {std::pair<std::string, std::string>{"{port}", std::to_string(run.server.Port())},
          std::pair<std::string, std::string>{"{folder}", run.folder.Path().string()}}) {
        for (auto at = line.find(name); at != std::string::npos; at = line.find(name, at + value.size())) {
            line.replace(at, name.size(), value);
        }
    }
    return line;
}

Lines Expand(const Lines& lines, const RowRun& run) {
    Lines expanded;
    for (const auto& line : lines) {
        expanded.push_back(Expand(line, run));
    }
    return expanded;
}

void Check(const char* what, const ExpectedLines& expected, const Lines& actual, const RowRun& run) {
    if (expected.Checked()) {
        EXPECT_EQ(actual, Expand(expected.Value(), run)) << what;
    }
}

// What the views and the folder hold once the requests are done; `slots` entries were shown last.
void CheckViews(const SessionRow& row, RowRun& run, std::size_t slots) {
    if (!row.results.empty()) {
        EXPECT_EQ(run.results, row.results) << "results";
    }
    Check("calls", row.calls, run.Calls(), run);
    Check("log", row.log, run.Log(), run);
    Check("messages", row.messages, run.Messages(), run);
    Check("traffic", row.traffic, run.Traffic(), run);
    Check("failures", row.failures, run.views.Failures(), run);
    Check("plan", row.plan, PlanLines(run.views.LastDeletePlan().get()), run);
    Check("transfer plan", row.transferPlan, TransferPlanLines(run.views.LastTransferPlan().get()), run);
    Check("tree", row.tree, TreeLines(run.folder.Path()), run);
    const Lines messages = run.Messages();
    for (const auto& line : row.logged) {
        EXPECT_NE(std::find(messages.begin(), messages.end(), Expand(line, run)), messages.end())
            << "no message \"" << line << "\"";
    }
    for (const auto& [op, texts] : row.texts) {
        EXPECT_EQ(run.Texts(op), Expand(texts, run)) << op;
    }
    if (row.blanks) {
        std::string blanks;
        for (std::size_t i = 0; i < slots; ++i) {
            blanks += run.views.Entry(static_cast<int>(i)).IsBlank() ? '1' : '0';
        }
        EXPECT_EQ(blanks, *row.blanks) << "blank slots";
    }
    if (row.transfers.Checked()) {
        const Lines events = run.views.TransferEvents();
        const Lines expected = Expand(row.transfers.Value(), run);
        bool same = events.size() == expected.size();
        for (std::size_t i = 0; same && i < events.size(); ++i) {
            const std::string& want = expected[i];
            same = want.ends_with('*') ? events[i].starts_with(want.substr(0, want.size() - 1))
                                       : events[i] == want;
        }
        EXPECT_TRUE(same) << "transfer events:\n  " << ::testing::PrintToString(events) << "\nexpected:\n  "
                          << ::testing::PrintToString(expected);
    }
    for (const auto& [name, contents] : row.files) {
        EXPECT_EQ(run.folder.ReadFile(name), contents) << name;
    }
}

// What the server saw, once the session has closed the control connection.
void CheckServer(const SessionRow& row, RowRun& run, bool synced) {
    // Whatever the client sent has arrived once the server sees the close.
    run.Context().Control().Close();
    EXPECT_TRUE(run.server.WaitForClose());
    EXPECT_TRUE(run.server.WaitForScriptDone()) << "the script was not used up";
    EXPECT_EQ(run.server.Problems(), Lines{});
    Lines commands = run.Commands();
    if (synced && !commands.empty() && commands.back() == "NOOP") {
        commands.pop_back();
    }
    Lines expected;
    for (const Step& step : row.script) {
        if (!step.command.empty()) {
            expected.push_back(step.command);
        }
    }
    // A login that succeeds asks for the server's features; the fake server answers as one without FEAT
    // unless the row scripts it.
    const bool login = row.run.empty() || (row.run.size() == 1 && row.run[0].kind == Run::Kind::Login);
    const bool loggedIn = login && !run.results.empty() && run.results.front() == 1;
    if (loggedIn && std::find(expected.begin(), expected.end(), "FEAT") == expected.end()) {
        expected.push_back("FEAT");
    }
    if (row.commands.Checked()) {
        expected = row.commands.Value();
    }
    for (std::size_t i = 0; i < std::min(expected.size(), commands.size()); ++i) {
        if (expected[i].ends_with(" *") &&
            commands[i].starts_with(expected[i].substr(0, expected[i].size() - 1))) {
            commands[i] = expected[i];
        }
    }
    Check("commands", expected, commands, run);
    Check("received", row.received, run.server.DataReceived(), run);
}

}  // namespace

std::unique_ptr<RowRun> RunRow(const SessionRow& row) {
    SCOPED_TRACE(row.what);
    auto run = std::make_unique<RowRun>(row.loopback);
    EXPECT_TRUE(run->folder.Valid());
    for (const auto& [name, contents] : row.local) {
        EXPECT_TRUE(run->folder.WriteFile(name, contents)) << name;
    }
    run->views.SetCachedDirectories(row.cached);
    TestSessionOptions options = EngineSession::StillClock();
    options.controlTimeoutMs = 3000;  // a wrongly awaited reply fails the row instead of hanging it
    options.dataTimeoutMs = row.dataTimeoutMs;
    options.passive = row.passive;
    options.retryDelaysMs = {1, 1, 1};
    if (row.configure) {
        row.configure(options);
    }
    if (!row.feat.empty()) {
        run->server.OnVerb("FEAT").Reply(row.feat + "\r\n");
    }

    const bool login = row.run.empty() || (row.run.size() == 1 && row.run[0].kind == Run::Kind::Login);
    std::size_t slots = 0;
    if (login) {
        for (const Step& step : row.script) {
            Script(run->server, step);
        }
        run->Open(options, row.login);
        run->results.push_back(FtpLogin::ConnectAndLogin(run->Context(), run->connection) ? 1 : 0);
    } else {
        if (!run->Connect(options)) {
            return run;
        }
        for (const Step& step : row.script) {
            Script(run->server, step);
        }
        if (row.setup) {
            row.setup(*run);
        }
        for (const Run& request : row.run) {
            run->results.push_back(Serve(*run, request));
            if (!request.entries.empty()) {
                slots = request.entries.size();
            }
        }
    }
    run->views.SetHook(nullptr);
    if (run->helper.joinable()) {
        run->helper.join();
    }
    run->EndReadings();
    CheckViews(row, *run, slots);
    const bool synced = !login && row.inSync;
    if (synced) {
        run->server.OnVerb("NOOP").Line("200 ok");
        EXPECT_EQ(run->Context().Command("NOOP"), 200) << "a reply was left over for the next command";
    }
    CheckServer(row, *run, synced);
    return run;
}
