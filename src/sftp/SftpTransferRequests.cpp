#include "sftp/SftpTransferRequests.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/FailureText.h"
#include "engine/FtpFolderCommands.h"
#include "engine/FtpRequest.h"
#include "engine/FtpUploadTrees.h"
#include "engine/LocalFile.h"
#include "engine/LocalTree.h"
#include "engine/PrintableText.h"
#include "engine/TransferRetry.h"
#include "engine/TransferStatistics.h"
#include "listing/RemoteEntry.h"
#include "listing/RemoteName.h"
#include "sftp/SftpRetryRule.h"
#include "sftp/SftpTreeWalk.h"
#include "views/TransferRowReports.h"

namespace {

constexpr std::string_view kStoppedByUser = "Stopped by the user";
constexpr std::string_view kAsciiRefused =
    "ASCII type is not available over SFTP: files are moved in binary only";
// A queue row hears of its progress no more often than this.
constexpr std::uint32_t kProgressPostMs = 250;

std::string Bytes(std::int64_t n) {
    return TransferStatistics::Grouped(n) + " bytes";
}

std::string JoinLocal(const std::string& folder, const std::string& name) {
    if (folder.empty()) {
        return name;
    }
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

void EndTransferStatus(SftpContext& context) {
    context.Status().SetStatus(std::nullopt);
    context.Status().SetProgress(0);
}

// How one attempt at a file ended.
enum class Ending { Done, Failed, Stopped, Lost };

struct Attempt {
    Ending ending = Ending::Done;
    // Why, for every ending but Done, in words.
    std::string reason;
    // Trying again cannot help (a local failure, a refused name).
    bool lasting = false;
};

Attempt DoneAttempt() {
    return {};
}

// A failure of the running attempt: logged, kept for the page, and returned in words.
Attempt Failure(SftpContext& context, const std::string& message, bool lasting) {
    context.LogFailure(message);
    return {Ending::Failed, context.TakeFailure(), lasting};
}

// What a failed SftpClient call means for the attempt: the user's abort, a lost connection, or a failure
// (its reason already logged by the client).
Attempt FromResult(SftpContext& context, const SshResult& result, bool aborted, bool lasting = false) {
    if (aborted || context.AbortRequested()) {
        return {Ending::Stopped, std::string(kStoppedByUser), true};
    }
    if (context.ConnectionLost()) {
        return {Ending::Lost, result.reason, true};
    }
    // A failure of the local side is the client's "Cannot read"/"Cannot write": no retry mends those.
    const bool local = result.reason.starts_with("Cannot ");
    return {Ending::Failed, result.reason, lasting || local};
}

// The status bar's percentage and a queue row's bytes, paced: the percentage when it changes, the row a
// few times a second at most (and once more at the end).
class ProgressPoster {
  public:
    ProgressPoster(SftpContext& context, std::uint64_t row, std::int64_t expected)
        : context_(context), row_(row), expected_(expected), lastPost_(context.Ticks()) {}

    void Update(std::int64_t done, std::int64_t total) {
        const std::int64_t whole = total >= 0 ? total : expected_;
        const int percent =
            TransferStatistics::Percent(static_cast<std::uint64_t>(std::max<std::int64_t>(done, 0)),
                                        static_cast<std::uint64_t>(std::max<std::int64_t>(whole, 0)));
        if (percent == last_) {
            return;
        }
        last_ = percent;
        context_.Status().SetProgress(percent);
        const std::uint32_t now = context_.Ticks();
        if (row_ != 0 && (now - lastPost_ >= kProgressPostMs || percent == 100)) {
            lastPost_ = now;
            context_.Transfers().TransferProgress(row_, done);
        }
    }

  private:
    SftpContext& context_;
    std::uint64_t row_;
    std::int64_t expected_;
    std::uint32_t lastPost_;
    int last_ = -1;
};

// One file of a download: a row of the queue, or an entry of the listing shown.
struct Download {
    std::uint64_t row = 0;
    std::string remotePath;
    // The folder it lands in (for the log), open, and the file's name there.
    std::string folder;
    int folderFd = -1;
    std::string localName;
    // As listed; -1 when unknown.
    std::int64_t size = -1;
    std::int64_t time = -1;
    bool exactTime = false;
    bool resume = false;
};

// Where a download starts: the length of the partial local file when the server's file is the one that
// was listed and is longer, else 0 (the log says why).
Attempt DownloadOffset(SftpContext& context, const Download& job, std::int64_t local, std::int64_t& offset,
                       std::int64_t& remoteSize) {
    offset = 0;
    if (!job.resume || local <= 0) {
        return DoneAttempt();
    }
    const std::string name = Printable(job.remotePath);
    LogView& log = context.Log();
    const SftpStat stat = context.Client().Stat(job.remotePath);
    if (!stat.result) {
        if (context.ConnectionLost()) {
            return {Ending::Lost, stat.result.reason, true};
        }
        // The open that follows fails with the server's reason.
        return DoneAttempt();
    }
    remoteSize = stat.attributes.size;
    if (job.size >= 0 && remoteSize >= 0 && remoteSize != job.size) {
        log.LogMessage("... " + name + " changed on the server (" + Bytes(remoteSize) + ", listed " +
                       Bytes(job.size) + "): downloading it from its first byte");
        return DoneAttempt();
    }
    if (remoteSize < 0) {
        log.LogMessage("... the size of " + name + " is unknown: downloading it from its first byte");
        return DoneAttempt();
    }
    if (local >= remoteSize) {
        log.LogMessage("... the local " + name + " is not shorter than the remote one (" + Bytes(local) +
                       "): downloading it from its first byte");
        return DoneAttempt();
    }
    if (job.exactTime && job.time > 0 && stat.attributes.mtime >= 0 && stat.attributes.mtime != job.time) {
        log.LogMessage("... " + name + " changed on the server (its time differs from the listed one): " +
                       "downloading it from its first byte");
        return DoneAttempt();
    }
    log.LogMessage("... resuming " + name + " at " + Bytes(local));
    offset = local;
    return DoneAttempt();
}

// Opens the download's local file in its folder, never through a link; `created` when it was not there.
// O_NONBLOCK only so that a FIFO of that name cannot hold the open; the caller refuses it.
int OpenLocalFd(const Download& job, bool& created) {
    constexpr int kFlags = O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    created = true;
    const int fd = ::openat(job.folderFd, job.localName.c_str(), kFlags | O_CREAT | O_EXCL, 0666);
    if (fd >= 0 || errno != EEXIST) {
        return fd;
    }
    created = false;
    return ::openat(job.folderFd, job.localName.c_str(), kFlags);
}

// A new local file that got nothing is not left behind by a download that failed.
void DropEmptyNewFile(const Download& job, const struct stat& opened) {
    struct stat now {};
    if (::fstatat(job.folderFd, job.localName.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
        now.st_ino == opened.st_ino && now.st_dev == opened.st_dev && now.st_size == 0) {
        (void)::unlinkat(job.folderFd, job.localName.c_str(), 0);
    }
}

Attempt GetFile(SftpContext& context, const Download& job) {
    const std::string path = JoinLocal(job.folder, job.localName);
    if (!IsSafeLocalName(job.localName)) {
        return Failure(
            context,
            "... Refused local name \"" + Printable(job.localName) + "\": not a file name in the folder",
            true);
    }
    context.Status().SetStatus("GETing " + job.localName);
    context.Log().LogMessage("GETing " + Printable(job.remotePath) + " -> " + job.folder);
    bool created = false;
    struct stat opened {};
    LocalFile file(OpenLocalFd(job, created));
    if (!file.IsOpen()) {
        return Failure(context, "... Open failed on " + path + ": " + FailureText::SystemError(errno), true);
    }
    (void)::fcntl(file.Fd(), F_SETFL, ::fcntl(file.Fd(), F_GETFL) & ~O_NONBLOCK);
    if (::fstat(file.Fd(), &opened) != 0 || !S_ISREG(opened.st_mode)) {
        return Failure(context, "... Open failed on " + path + ": not a file", true);
    }
    std::int64_t remoteSize = job.size;
    std::int64_t offset = 0;
    if (Attempt start = DownloadOffset(context, job, opened.st_size, offset, remoteSize);
        start.ending != Ending::Done) {
        return start;
    }
    if (::ftruncate(file.Fd(), offset) != 0) {
        Attempt failed =
            Failure(context, "... Write failed on " + path + ": " + FailureText::SystemError(errno), true);
        (void)file.Close();
        if (created) {
            DropEmptyNewFile(job, opened);
        }
        return failed;
    }
    if (job.row != 0) {
        context.Transfers().TransferStarted(job.row, offset, remoteSize);
    }
    ProgressPoster progress(context, job.row, remoteSize);
    SftpTransferControl control;
    control.abort = &context.AbortFlag();
    control.progress = [&progress](std::int64_t done, std::int64_t total) { progress.Update(done, total); };
    const SftpTransferResult moved =
        context.Client().DownloadToFd(job.remotePath, file.Fd(), offset, control);
    if (!moved.result) {
        Attempt failed = FromResult(context, moved.result, moved.aborted);
        (void)file.Close();
        if (created) {
            DropEmptyNewFile(job, opened);
        }
        return failed;
    }
    Attempt ending = DoneAttempt();
    if (moved.sourceSize >= 0 && moved.finalSize < moved.sourceSize) {
        // Less than the server's file held when it was opened: a retry goes on from there.
        ending = Failure(
            context,
            "... size differs: expected " + Bytes(moved.sourceSize) + ", have " + Bytes(moved.finalSize),
            false);
    } else if (job.size >= 0 && moved.finalSize != job.size) {
        context.Log().LogMessage("... " + Printable(job.remotePath) + " changed size on the server: " +
                                 Bytes(job.size) + " listed, " + Bytes(moved.finalSize) + " received");
    }
    // The server's time of the file, to the second; the listed one when the server gave none.
    const std::int64_t time = moved.sourceMtime > 0 ? moved.sourceMtime : job.time;
    if (ending.ending == Ending::Done && time > 0) {
        const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<std::time_t>(time), 0}};
        if (::futimens(file.Fd(), times) != 0) {
            context.Log().LogMessage("... Set time failed on " + path + ": " +
                                     FailureText::SystemError(errno));
        }
    }
    if (const int error = file.Close(); error != 0) {
        ending =
            Failure(context, "... Write failed on " + path + ": " + FailureText::SystemError(error), true);
    }
    if (ending.ending != Ending::Done && created) {
        DropEmptyNewFile(job, opened);
    }
    return ending;
}

// One file of an upload: a row of the queue, or a dropped file.
struct Upload {
    std::uint64_t row = 0;
    std::string localPath;
    // The server's folder and the file's name there.
    std::string remoteFolder;
    std::string remoteName;
    bool checked = false;
    bool resume = false;
    // The file lands in the folder the Remote page shows: the page learns of it.
    bool shown = true;
};

// Can `name` be one name in a server folder? Control characters are bytes like any other to SFTP.
bool IsPlainName(const std::string& name) {
    return SftpClient::IsSafeName(name);
}

Attempt PutFile(SftpContext& context, const Upload& job) {
    if (!IsPlainName(job.remoteName)) {
        return Failure(context,
                       "... Refused local name \"" + Printable(job.remoteName) + "\": not a name in a folder",
                       true);
    }
    const std::string remotePath = FtpFolderCommands::JoinPath(job.remoteFolder, job.remoteName);
    context.Status().SetStatus("PUTing ...");
    context.Log().LogMessage("PUTing " + job.localPath);
    // O_NONBLOCK only so that a FIFO cannot hold the open; it is refused below like a folder.
    LocalFile file(::open(job.localPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat info {};
    if (!file.IsOpen() || ::fstat(file.Fd(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return Failure(context, "... Open failed on " + job.localPath, true);
    }
    (void)::fcntl(file.Fd(), F_SETFL, ::fcntl(file.Fd(), F_GETFL) & ~O_NONBLOCK);
    context.Status().SetStatus("PUTing " + job.remoteName);
    const std::int64_t length = info.st_size;
    std::int64_t offset = 0;
    if (job.resume) {
        const SftpStat held = context.Client().Stat(remotePath);
        if (!held.result && context.ConnectionLost()) {
            return {Ending::Lost, held.result.reason, true};
        }
        if (held.result && held.attributes.kind == SftpEntryKind::File && held.attributes.size > 0 &&
            held.attributes.size < length) {
            offset = held.attributes.size;
            context.Log().LogMessage("... resuming " + Printable(job.remoteName) + " at " + Bytes(offset));
        }
    }
    if (job.row != 0) {
        context.Transfers().TransferStarted(job.row, offset, length);
    }
    ProgressPoster progress(context, job.row, length);
    SftpTransferControl control;
    control.abort = &context.AbortFlag();
    control.progress = [&progress](std::int64_t done, std::int64_t total) { progress.Update(done, total); };
    const SftpTransferResult moved = context.Client().UploadFromFd(file.Fd(), remotePath, offset, control);
    if (!moved.result) {
        Attempt failed = FromResult(context, moved.result, moved.aborted);
        return failed;
    }
    if (job.checked) {
        // Only a file the server holds whole is done.
        const SftpStat held = context.Client().Stat(remotePath);
        if (!held.result && context.ConnectionLost()) {
            return {Ending::Lost, held.result.reason, true};
        }
        if (held.result && held.attributes.size >= 0 && held.attributes.size != moved.finalSize) {
            return Failure(context,
                           "... size differs on the server: expected " + Bytes(moved.finalSize) + ", have " +
                               Bytes(held.attributes.size),
                           false);
        }
    }
    const std::int32_t modified =
        info.st_mtim.tv_sec >= 0 && info.st_mtim.tv_sec <= std::numeric_limits<std::int32_t>::max()
            ? static_cast<std::int32_t>(info.st_mtim.tv_sec)
            : -1;
    if (context.Options().keepUploadTimes) {
        const SshResult kept =
            context.Client().SetTimes(remotePath, info.st_atim.tv_sec, info.st_mtim.tv_sec);
        if (!kept && context.ConnectionLost()) {
            return {Ending::Lost, kept.reason, true};
        }
        if (!kept) {
            context.Log().LogMessage("... the file's time was not kept: " + kept.reason);
        }
    }
    if (job.shown) {
        context.Remote().UploadedFile(job.remoteName, moved.finalSize, modified);
    }
    return DoneAttempt();
}

std::string LostWords(const std::string& reason) {
    return "the connection was lost: " + reason;
}

// One queue row with its retries: `attempt(again)` moves the file once, `again` for a retry (which goes
// on from where the last attempt stopped). Reports the row's end, except after a lost connection, which
// the caller reports for every row left.
template <typename AttemptOnce>
Attempt ServeRow(SftpContext& context, const TransferItem& item, AttemptOnce attempt) {
    TransferRowReports reports(context.Transfers(), item.row);
    const std::vector<int>& delays = context.Options().retryDelaysMs;
    const std::string name = Printable(item.remoteName);
    for (std::size_t tried = 0;; ++tried) {
        (void)context.TakeFailure();
        const Attempt result = attempt(tried > 0);
        switch (result.ending) {
            case Ending::Done:
                reports.Ended(TransferEnd::Done, {});
                return result;
            case Ending::Lost:
                return result;
            case Ending::Stopped:
                reports.Ended(TransferEnd::Stopped, kStoppedByUser);
                return result;
            case Ending::Failed:
                break;
        }
        if (context.AbortRequested()) {
            reports.Ended(TransferEnd::Stopped, kStoppedByUser);
            return {Ending::Stopped, std::string(kStoppedByUser), true};
        }
        if (!SftpRetryRule::IsPassing(result.reason, result.lasting)) {
            reports.Ended(TransferEnd::Failed, result.reason);
            return result;
        }
        if (tried >= delays.size()) {
            context.Log().LogMessage("... " + name + ": no more retries: " + result.reason);
            reports.Ended(TransferEnd::Failed, result.reason);
            return result;
        }
        const int delay = delays[tried];
        reports.Retrying(static_cast<int>(tried) + 1, delay, result.reason);
        context.Log().LogMessage("... " + name + ": " + result.reason + "; trying again in " +
                                 TransferRetry::WaitInWords(delay) + " (retry " + std::to_string(tried + 1) +
                                 " of " + std::to_string(delays.size()) + ")");
        if (!SftpRetryRule::Wait(context.AbortFlag(), delay)) {
            context.Log().LogMessage("... " + name + ": retries stopped by the user");
            reports.Ended(TransferEnd::Stopped, kStoppedByUser);
            return {Ending::Stopped, std::string(kStoppedByUser), true};
        }
    }
}

// Every row of a Get or a Put in turn, until the last one, the user's abort or a lost connection; every
// row not ended by then is reported stopped with the reason.
template <typename AttemptOnce>
SftpOutcome ServeItems(SftpContext& context, const TransferItems& transfers, AttemptOnce attempt) {
    const std::vector<TransferItem>& items = transfers.items;
    bool allDone = true;
    std::string lost;
    std::size_t next = 0;
    for (; next < items.size(); ++next) {
        const TransferItem& item = items[next];
        if (context.AbortRequested()) {
            break;
        }
        if (transfers.stops && transfers.stops->Stopped(item.row)) {
            TransferRowReports(context.Transfers(), item.row).Ended(TransferEnd::Stopped, kStoppedByUser);
            allDone = false;
            continue;
        }
        const Attempt result = ServeRow(context, item, [&](bool again) { return attempt(item, again); });
        if (result.ending == Ending::Lost) {
            lost = result.reason.empty() ? std::string("connection lost") : result.reason;
            break;
        }
        if (result.ending != Ending::Done) {
            allDone = false;
        }
        if (result.ending == Ending::Stopped) {
            ++next;
            break;
        }
    }
    const std::string why = lost.empty() ? std::string(kStoppedByUser) : LostWords(lost);
    for (; next < items.size(); ++next) {
        TransferRowReports(context.Transfers(), items[next].row).Ended(TransferEnd::Stopped, why);
        allDone = false;
    }
    EndTransferStatus(context);
    if (!lost.empty()) {
        context.Log().LogMessage("... " + why);
        return SftpOutcome::Lost;
    }
    return allDone ? SftpOutcome::Done : SftpOutcome::Failed;
}

// Binary only: any other type ends the request before anything moves, each row failed with the reason.
bool RefuseType(SftpContext& context, int type, const TransferItems* transfers, std::string_view what) {
    if (type == kImageType) {
        return false;
    }
    const std::string reason =
        type == kAsciiType ? std::string(kAsciiRefused) : "Unknown transfer type " + std::to_string(type);
    context.LogFailure("... " + reason);
    if (transfers != nullptr) {
        for (const TransferItem& item : transfers->items) {
            TransferRowReports(context.Transfers(), item.row).Ended(TransferEnd::Failed, reason);
        }
    }
    context.ShowFailure(what);
    return true;
}

// Tells the Remote page why an entry or a dropped file failed; nothing after the user's abort or a lost
// connection, as for the session's other failures.
void ShowFailed(SftpContext& context, const std::string& what, const Attempt& result) {
    (void)context.TakeFailure();
    if (result.ending != Ending::Failed || context.AbortRequested() || context.ConnectionLost()) {
        return;
    }
    context.Remote().ShowFailure(what + ": " + result.reason);
}

std::string ParentOfLocal(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The server path of a row: its folder, or the one shown when it names none.
std::string RemotePathOf(SftpContext& context, const std::string& folder, const std::string& name) {
    const std::string& base = folder.empty() ? context.CurrentFolder() : folder;
    return base.empty() ? name : FtpFolderCommands::JoinPath(base, name);
}

// One download into the chosen folder: the local file's folder opened below the root (made when
// missing), never through a link.
Attempt GetInto(SftpContext& context, const LocalTree& tree, const std::string& localPath, Download job) {
    const auto names = tree.Names(localPath);
    if (!names || names->empty()) {
        return Failure(context,
                       "... Refused local name \"" + Printable(localPath) + "\": not a file name in " +
                           Printable(tree.Root()),
                       true);
    }
    int error = 0;
    const LocalTree::Folder parent = tree.Open(*names, names->size() - 1, true, error);
    job.folder = ParentOfLocal(localPath);
    if (!parent.IsOpen()) {
        return Failure(context,
                       "... Could not make the folder " + Printable(job.folder) + ": " +
                           LocalTree::InTheWay(error).value_or(FailureText::SystemError(error)),
                       true);
    }
    job.folderFd = parent.Fd();
    job.localName = names->back();
    return GetFile(context, job);
}

SftpOutcome GetItems(SftpContext& context, const TransferItems& transfers, const std::string& folder) {
    const bool wholeTree = !transfers.folders.empty() && !folder.empty();
    const LocalTree tree(folder);
    if (wholeTree) {
        tree.MakeFolders(transfers.folders, context.Log());
    }
    const SftpOutcome outcome = ServeItems(context, transfers, [&](const TransferItem& item, bool again) {
        const std::string localPath = item.localPath.empty()
                                          ? JoinLocal(folder, RemoteName::LocalFileName(item.remoteName))
                                          : item.localPath;
        Download job;
        job.row = item.row;
        job.remotePath = RemotePathOf(context, item.remoteFolder, item.remoteName);
        job.size = item.size;
        job.time = item.time;
        job.exactTime = item.exactTime;
        // A retry goes on from what the failed attempt left.
        job.resume = item.resume || again;
        // A row restored without its request's folder lands in its own file's folder.
        return GetInto(context, folder.empty() ? LocalTree(ParentOfLocal(localPath)) : tree, localPath, job);
    });
    if (wholeTree) {
        tree.SetFolderTimes(transfers.folders, context.Log());
    }
    return outcome;
}

SftpOutcome PutItems(SftpContext& context, const TransferItems& transfers) {
    const std::string shownFolder = context.CurrentFolder();
    const TransferItems* served = &transfers;
    TransferItems rest;
    if (!transfers.folders.empty()) {
        // The folders of a tree come first; the files of a folder that could not be made fail with its
        // reason, and the rest go on.
        FtpUploadTrees::FolderFailures failed;
        std::string lost;
        if (!SftpTreeWalk::MakeFolders(context, transfers.folders, failed, lost)) {
            for (const TransferItem& item : transfers.items) {
                TransferRowReports(context.Transfers(), item.row)
                    .Ended(TransferEnd::Stopped, LostWords(lost));
            }
            EndTransferStatus(context);
            return SftpOutcome::Lost;
        }
        rest.stops = transfers.stops;
        for (const TransferItem& item : transfers.items) {
            const bool stopped = transfers.stops && transfers.stops->Stopped(item.row);
            if (std::string why = FtpUploadTrees::FolderFailure(failed, item.remoteFolder);
                !why.empty() && !stopped) {
                context.Log().LogMessage("... " + Printable(item.remoteName) + " not uploaded: " + why);
                TransferRowReports(context.Transfers(), item.row).Ended(TransferEnd::Failed, why);
            } else {
                rest.items.push_back(item);
            }
        }
        served = &rest;
    }
    const SftpOutcome outcome = ServeItems(context, *served, [&](const TransferItem& item, bool again) {
        Upload job;
        job.row = item.row;
        job.localPath = item.localPath;
        job.remoteFolder = item.remoteFolder.empty() ? shownFolder : item.remoteFolder;
        job.remoteName = item.remoteName;
        job.checked = true;
        job.resume = item.resume || again;
        job.shown = item.remoteFolder.empty() || item.remoteFolder == shownFolder;
        return PutFile(context, job);
    });
    if (outcome == SftpOutcome::Done && served != &transfers && rest.items.size() != transfers.items.size()) {
        return SftpOutcome::Failed;
    }
    return outcome;
}

// Entries of the listing shown, or dropped files: one attempt each, no retries, the page told of each
// failure; the user's abort or a lost connection ends the request.
template <typename Item, typename AttemptOnce>
SftpOutcome ServeEach(SftpContext& context, const std::vector<Item>& items, AttemptOnce attempt) {
    SftpOutcome outcome = SftpOutcome::Done;
    for (const Item& item : items) {
        if (context.AbortRequested()) {
            break;
        }
        (void)context.TakeFailure();
        const Attempt result = attempt(item);
        if (result.ending == Ending::Lost) {
            context.Log().LogMessage("... " + LostWords(result.reason));
            outcome = SftpOutcome::Lost;
            break;
        }
        if (result.ending != Ending::Done) {
            outcome = SftpOutcome::Failed;
        }
        if (result.ending == Ending::Stopped) {
            break;
        }
    }
    EndTransferStatus(context);
    return outcome;
}

}  // namespace

namespace SftpTransferRequests {

SftpOutcome GetFiles(SftpContext& context, FtpRequest& request) {
    const std::unique_ptr<FtpRequestObject> owned = std::move(request.object);
    const auto* transfers = dynamic_cast<const TransferItems*>(owned.get());
    if (RefuseType(context, request.value, transfers, "Could not download")) {
        return SftpOutcome::Failed;
    }
    if (transfers != nullptr) {
        return GetItems(context, *transfers, request.text);
    }
    const auto* selection = dynamic_cast<const SelectionIndexes*>(owned.get());
    if (selection == nullptr) {
        return SftpOutcome::Done;
    }
    const LocalTree tree(request.text);
    return ServeEach(context, selection->indexes, [&](std::int32_t index) {
        const RemoteEntry entry = context.Remote().EntryAt(index);
        if (entry.IsBlank()) {
            return DoneAttempt();
        }
        const std::string localName = RemoteName::LocalFileName(entry.LocalName());
        Download job;
        const std::string target = entry.TargetPath();
        job.remotePath = target.starts_with('/') ? target : RemotePathOf(context, {}, target);
        job.size = entry.Kind() == EntryKind::File ? entry.Size() : -1;
        job.time = entry.Time();
        job.exactTime = entry.ExactTime();
        const Attempt result = IsSafeLocalName(localName)
                                   ? GetInto(context, tree, JoinLocal(tree.Root(), localName), job)
                                   : Failure(context,
                                             "... Refused local name \"" + Printable(localName) +
                                                 "\": not a file name in the folder",
                                             true);
        ShowFailed(context, "Could not download " + Printable(entry.LocalName()), result);
        return result;
    });
}

SftpOutcome PutFiles(SftpContext& context, FtpRequest& request) {
    const std::unique_ptr<FtpRequestObject> owned = std::move(request.object);
    const auto* transfers = dynamic_cast<const TransferItems*>(owned.get());
    if (RefuseType(context, request.value, transfers, "Could not upload")) {
        return SftpOutcome::Failed;
    }
    if (transfers != nullptr) {
        return PutItems(context, *transfers);
    }
    const auto* dropped = dynamic_cast<const DroppedFiles*>(owned.get());
    if (dropped == nullptr) {
        return SftpOutcome::Done;
    }
    const std::string folder = request.text.empty() ? context.CurrentFolder() : request.text;
    return ServeEach(context, dropped->paths, [&](const std::string& path) {
        Upload job;
        job.localPath = path;
        const std::size_t slash = path.rfind('/');
        job.remoteName = slash == std::string::npos ? path : path.substr(slash + 1);
        job.remoteFolder = folder;
        job.shown = folder == context.CurrentFolder();
        const Attempt result = PutFile(context, job);
        ShowFailed(context, "Could not upload " + path, result);
        return result;
    });
}

SftpOutcome WalkDownload(SftpContext& context, FtpRequest& request) {
    if (RefuseType(context, request.value, nullptr, "Could not download")) {
        request.object.reset();
        return SftpOutcome::Failed;
    }
    return SftpTreeWalk::WalkDownload(context, request);
}

SftpOutcome WalkUpload(SftpContext& context, FtpRequest& request) {
    if (RefuseType(context, request.value, nullptr, "Could not upload")) {
        request.object.reset();
        return SftpOutcome::Failed;
    }
    return SftpTreeWalk::WalkUpload(context, request);
}

}  // namespace SftpTransferRequests
