#include "engine/FtpTransfers.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>

#include "engine/BufferedSocket.h"
#include "engine/FailureText.h"
#include "engine/FtpDataConnection.h"
#include "engine/FtpFolderCommands.h"
#include "engine/FtpLogin.h"
#include "engine/FtpProtocol.h"
#include "engine/FtpReply.h"
#include "engine/FtpRequest.h"
#include "engine/FtpSession.h"
#include "engine/FtpStep.h"
#include "engine/FtpUploadTrees.h"
#include "engine/LineEndConverter.h"
#include "engine/LocalFile.h"
#include "engine/LocalTree.h"
#include "engine/PrintableText.h"
#include "engine/TransferRetry.h"
#include "engine/TransferStatistics.h"
#include "listing/ListingParser.h"
#include "listing/RemoteEntry.h"
#include "listing/RemoteName.h"
#include "listing/TimeValue.h"
#include "platform/SocketError.h"
#include "platform/WinsockErrorName.h"
#include "views/TransferRowReports.h"

namespace {

constexpr int kLostConnection = FtpProtocol::kLostConnection;
constexpr int kNothingToDo = 200;
// WSAEMSGSIZE: what a line read reports for a line that does not fit.

// A side of the transfer failed; a failure the server reported already is kept.
int FailureResult(int finalReply, int failure) {
    return finalReply >= 400 ? finalReply : failure;
}

// Why `command` cannot be sent as one command line, or nothing when it can.
std::optional<std::string> CommandProblem(std::string_view command) {
    switch (FtpProtocol::CheckCommandLine(command)) {
        case FtpProtocol::LineFault::Unsafe:
            return "it holds a CR, LF or NUL character";
        case FtpProtocol::LineFault::TooLong:
            return "the command would be longer than 510 characters";
        case FtpProtocol::LineFault::None:
            break;
    }
    return std::nullopt;
}

// 0, or the errno of the failing write.
int WriteAll(int fd, const char* data, std::size_t n) {
    while (n > 0) {
        const ssize_t written = ::write(fd, data, n);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        data += written;
        n -= static_cast<std::size_t>(written);
    }
    return 0;
}

// Reports a data connection that failed for a reason of its own; false when it was ended on purpose
// (Abort, Stop), which is no failure of the data.
bool LogDataFailure(FtpContext& session, std::string_view what) {
    if (LastSocketError() == wsa::kInterrupted) {
        return false;
    }
    session.LogFailure("... [DATA] " + std::string(what) + " failed, WinSock err = " + WinsockErrorName(),
                       "the data connection failed: " + FailureText::SocketError(LastSocketError()));
    return true;
}

// Closes an upload's data connection with a reset, so that the server does not take what it got so far
// for the whole file.
void ResetConnection(BufferedSocket& data) {
    data.CloseAbortive();
}

std::int32_t ToListingTime(const timespec& time) {
    if (time.tv_sec < std::numeric_limits<std::int32_t>::min() ||
        time.tv_sec > std::numeric_limits<std::int32_t>::max()) {
        return -1;  // no valid time in the listing's 32 bits
    }
    return static_cast<std::int32_t>(time.tv_sec);
}

void LogStatistics(FtpContext& session, std::string_view direction, std::int64_t bytes, std::uint32_t start,
                   std::uint32_t end) {
    session.Log().LogMessage(TransferStatistics::Message(direction, bytes, end - start));
}

// Ends a downloaded file: its time becomes the listed one (0 and -1 are no time), then it is closed.
// Returns false when the close reported a late write failure.
bool FinishLocalFile(FtpContext& session, LocalFile& file, const std::string& path, std::int64_t listedTime) {
    if (listedTime > 0) {
        const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<std::time_t>(listedTime), 0}};
        if (::futimens(file.Fd(), times) != 0) {
            session.Log().LogMessage("... Set time failed on " + path + ": " +
                                     FailureText::SystemError(errno));
        }
    }
    if (const int error = file.Close(); error != 0) {
        session.LogFailure("... Write failed on " + path + ": " + FailureText::SystemError(error));
        return false;
    }
    return true;
}

// The server's time of a file, to the second, from MDTM; nothing when the server does not offer it, refuses
// it or answers with no valid time (logged). `lost` is set when the connection failed on the way.
std::optional<std::int64_t> ServerFileTime(FtpContext& session, const std::string& remotePath, bool& lost) {
    const std::string command = "MDTM " + remotePath;
    if (!session.Features().Has("MDTM") || CommandProblem(command)) {
        return std::nullopt;
    }
    FtpReply reply;
    const int code = session.Command(command, &reply);
    lost = code == kLostConnection;
    if (code != 213) {
        return std::nullopt;
    }
    const std::string_view text =
        std::string_view(reply.lastLine).substr(std::min<std::size_t>(4, reply.lastLine.size()));
    const auto time = TimeValue::Parse(text);
    if (!time) {
        session.Log().LogMessage("... MDTM reply refused: \"" + Printable(text) + "\" is no time");
    }
    return time;
}

// Gives the uploaded file on the server the local file's time (MFMT), where the user wants it and the
// server offers it. False only when the connection failed on the way.
bool KeepServerFileTime(FtpContext& session, const std::string& name, std::int64_t modified) {
    const std::string time = TimeValue::Format(modified);
    const std::string command = "MFMT " + time + " " + name;
    if (!session.Options().keepUploadTimes || !session.Features().Has("MFMT") || time.empty() ||
        CommandProblem(command)) {
        return true;
    }
    const int code = session.Command(command);
    if (code == kLostConnection) {
        return false;
    }
    if (code != 213) {
        session.Log().LogMessage("... the file's time was not kept: " + session.LastReplyInWords());
    }
    return true;
}

constexpr std::string_view kSent = "sent";

// How far the bracket around one listing or transfer got.
enum class TransferStage {
    NotOpened,  // no data connection: `reply` is the last reply read while trying (0 when none)
    Refused,    // the server answered the command with a final reply (or 421) instead of sending
    Done,       // the data moved and `reply` is the final reply
};

struct TransferOutcome {
    TransferStage stage = TransferStage::NotOpened;
    int reply = 0;
};

// What the block loop of one transfer reports.
struct BlockLoopEnd {
    // The data connection must be reset instead of closed: the peer must not take what it got for all.
    bool reset = false;
};

// The bracket that every listing and transfer shares: data connection around `command`, preliminary
// reply, timed block loop, statistics, close, final reply. `blocks(data, bytes)` moves the data.
template <typename BlockLoop>
TransferOutcome RunTransfer(FtpContext& session, std::string_view command, std::string_view direction,
                            BlockLoop&& blocks) {
    BufferedSocket data;
    if (const FtpStep opened = FtpDataConnection::Open(session, command, data);
        opened.status != FtpStep::Status::Ok) {
        return {TransferStage::NotOpened, opened.reply};
    }
    const int preliminary = session.ReadReply();
    if (preliminary >= 200) {
        data.Close();
        return {TransferStage::Refused, preliminary};
    }
    session.Abort().SetTransferring(true);
    const std::uint32_t start = session.Ticks();
    std::int64_t bytes = 0;
    const BlockLoopEnd end = blocks(data, bytes);
    LogStatistics(session, direction, bytes, start, session.Ticks());
    // Closed before the final reply: a server with data still to send then notices and answers at once.
    if (end.reset) {
        ResetConnection(data);
    } else {
        if (data.Tls() != nullptr && direction == kSent) {
            // An upload's end is our close_notify. Waiting for the server's close also takes the session
            // tickets it sent meanwhile: the next data connection needs a fresh one to resume.
            if (!data.EndTls(true) && LastSocketError() != wsa::kInterrupted) {
                LogDataFailure(session, "TLS close");
            }
        }
        data.Close();
    }
    const int final = session.ReadFinalReply();
    session.Abort().SetTransferring(false);
    return {TransferStage::Done, final};
}

// Posts the progress only when the percentage changes. It counts the bytes of the file whose size is
// known: for a download those that came over the network against the listed size (in ASCII type a
// server that adds CRs sends more than it lists: the percentage stops at 100), for an upload those read
// from the local file against its length, whatever the conversion added on the way out. A queue row
// (row != 0) hears of the same steps, as bytes of the whole file.
class ProgressPoster {
  public:
    ProgressPoster(StatusView& status, std::uint64_t expected, TransferView* transfers = nullptr,
                   std::uint64_t row = 0)
        : status_(status), expected_(expected), transfers_(transfers), row_(row) {}
    void Update(std::int64_t bytes) {
        const int percent = TransferStatistics::Percent(static_cast<std::uint64_t>(bytes), expected_);
        if (percent != last_) {
            last_ = percent;
            status_.SetProgress(percent);
            if (transfers_ != nullptr && row_ != 0) {
                transfers_->TransferProgress(row_, bytes);
            }
        }
    }

  private:
    StatusView& status_;
    std::uint64_t expected_;
    TransferView* transfers_;
    std::uint64_t row_;
    int last_ = -1;
};

void EndTransferStatus(FtpContext& session) {
    session.Status().SetStatus(std::nullopt);
    session.Status().SetProgress(0);
}

// ASCII type converts line ends between the network's CR LF and the local LF; Image type moves bytes as
// they are.
LineEndConverter::Mode ConversionFor(int typeIndex, LineEndConverter::Mode ascii) {
    return typeIndex == kAsciiType ? ascii : LineEndConverter::Mode::Unchanged;
}

// A step that got as far as a reply: a 421 ends the request, a whole file is Ok.
FtpStep Ended(int reply, bool whole) {
    if (reply == kLostConnection) {
        return {FtpStep::Status::Stopped, reply};
    }
    return {whole ? FtpStep::Status::Ok : FtpStep::Status::Failed, reply};
}

// One file of a download: an entry of the Remote page's listing, or a row of the transfer queue.
struct Download {
    std::uint64_t row = 0;
    // RETR's argument (the server's bytes), and the file's name in `folder` (UTF-8).
    std::string remotePath;
    std::string localName;
    std::string folder;
    // As listed; -1 when unknown. `expected` is what the progress counts against.
    std::int64_t size = -1;
    std::uint64_t expected = 0;
    std::int64_t time = -1;
    bool exactTime = false;
    // A queue row: the partial file is continued where it can be, and the sizes are checked.
    bool checked = false;
    bool resume = false;
    // A folder of a downloaded tree, open: the file is made in it by its name, never through a link.
    int folderFd = -1;
};

// One file of an upload: a dropped file, or a row of the transfer queue.
struct Upload {
    std::uint64_t row = 0;
    std::string localPath;
    // STOR's argument: the server's bytes.
    std::string remoteName;
    bool checked = false;
    bool resume = false;
    // The file lands in the folder the Remote page shows: the page learns of it.
    bool shown = true;
};

// What one attempt at a file tells its retries beyond the step: that trying again cannot help.
struct FileNotes {
    bool lasting = false;
};

// The size of a file on the server, from SIZE; nothing when the server does not offer it or refuses it.
// `lost` is set when the connection failed on the way.
std::optional<std::int64_t> ServerFileSize(FtpContext& session, const std::string& remotePath, bool& lost) {
    const std::string command = "SIZE " + remotePath;
    lost = false;
    if (!session.Features().Has("SIZE") || CommandProblem(command)) {
        return std::nullopt;
    }
    FtpReply reply;
    const int code = session.Command(command, &reply);
    lost = code == kLostConnection;
    if (code != 213) {
        return std::nullopt;
    }
    const auto value = FtpProtocol::LeadingNumber(
        std::string_view(reply.lastLine).substr(std::min<std::size_t>(4, reply.lastLine.size())),
        static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()));
    if (!value) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(*value);
}

std::string Bytes(std::int64_t n) {
    return TransferStatistics::Grouped(n) + " bytes";
}

// Where a queue row's download starts: the length of the partial local file when the server can go on
// from there with the same file, else 0 (and the log says why). `remoteSize` takes SIZE's answer when
// the listing gave none. Nothing when the control connection was lost on the way.
std::optional<std::int64_t> DownloadOffset(FtpContext& session, const Download& job, std::int64_t local,
                                           int typeIndex, std::int64_t& remoteSize) {
    const std::string name = Printable(job.remotePath);
    LogView& log = session.Log();
    if (!job.resume || local <= 0) {
        return 0;
    }
    if (typeIndex != kImageType) {
        log.LogMessage("... ASCII type: downloading " + name +
                       " from its first byte (line ends make the offsets differ between the two ends)");
        return 0;
    }
    bool lost = false;
    if (const auto size = ServerFileSize(session, job.remotePath, lost)) {
        if (job.size >= 0 && *size != job.size) {
            log.LogMessage("... " + name + " changed on the server (" + Bytes(*size) + ", listed " +
                           Bytes(job.size) + "): downloading it from its first byte");
            remoteSize = *size;
            return 0;
        }
        remoteSize = *size;
    } else if (lost) {
        return std::nullopt;
    }
    if (remoteSize < 0) {
        log.LogMessage("... the size of " + name + " is unknown: downloading it from its first byte");
        return 0;
    }
    if (local >= remoteSize) {
        log.LogMessage("... the local " + name + " is not shorter than the remote one (" + Bytes(local) +
                       "): downloading it from its first byte");
        return 0;
    }
    if (job.exactTime && job.time > 0) {
        const auto time = ServerFileTime(session, job.remotePath, lost);
        if (lost) {
            return std::nullopt;
        }
        if (time && *time != job.time) {
            log.LogMessage("... " + name + " changed on the server (its time differs from the listed one): " +
                           "downloading it from its first byte");
            return 0;
        }
    }
    const int code = session.Command("REST " + std::to_string(local));
    if (code == kLostConnection) {
        return std::nullopt;
    }
    if (code != 350) {
        log.LogMessage("... REST refused: downloading " + name + " from its first byte");
        return 0;
    }
    log.LogMessage("... resuming " + name + " at " + Bytes(local));
    return local;
}

// One file of a Get request.
FtpStep GetFile(FtpContext& session, const Download& job, int typeIndex, FileNotes& notes) {
    StatusView& status = session.Status();
    LogView& log = session.Log();
    const std::string& localName = job.localName;
    const std::string& remotePath = job.remotePath;
    if (!IsSafeLocalName(localName)) {
        session.LogFailure("... Refused local name \"" + Printable(localName) +
                           "\": not a file name in the folder");
        notes.lasting = true;
        return {FtpStep::Status::Failed, FtpTransfers::kOpenFailed};
    }
    const std::string command = "RETR " + remotePath;
    if (const auto problem = CommandProblem(command)) {
        session.LogFailure("... Refused remote name \"" + Printable(remotePath) + "\": " + *problem);
        notes.lasting = true;
        return {FtpStep::Status::Failed, FtpSession::kCommandRefused};
    }
    status.SetStatus("GETing " + localName);
    log.LogMessage("GETing " + Printable(remotePath) + " -> " + job.folder);
    std::string path = job.folder;
    if (!path.empty() && path.back() != '/') {
        path += '/';
    }
    path += localName;
    // O_NONBLOCK only so that a FIFO of that name without a reader fails the open instead of holding the
    // worker for good; the writes that follow block as usual. A queue row keeps its partial file until
    // it knows where to go on from, and never follows a link out of the folder.
    const int flags = job.checked ? O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW
                                  : O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK;
    LocalFile file(job.folderFd >= 0 ? ::openat(job.folderFd, localName.c_str(), flags | O_NOFOLLOW, 0666)
                                     : ::open(path.c_str(), flags, 0666));
    if (file.IsOpen()) {
        (void)::fcntl(file.Fd(), F_SETFL, ::fcntl(file.Fd(), F_GETFL) & ~O_NONBLOCK);
    }
    struct stat opened {};
    if (file.IsOpen() && job.checked && (::fstat(file.Fd(), &opened) != 0 || !S_ISREG(opened.st_mode))) {
        file.Close();
    }
    if (!file.IsOpen()) {
        session.LogFailure("... Open failed on " + path);
        notes.lasting = true;
        return {FtpStep::Status::Failed, FtpTransfers::kOpenFailed};
    }
    std::int64_t remoteSize = job.size;
    std::int64_t offset = 0;
    if (job.checked) {
        const auto start = DownloadOffset(session, job, opened.st_size, typeIndex, remoteSize);
        if (!start) {
            return {FtpStep::Status::Stopped, kLostConnection};
        }
        offset = *start;
        if (::ftruncate(file.Fd(), offset) != 0 || ::lseek(file.Fd(), offset, SEEK_SET) != offset) {
            session.LogFailure("... Write failed on " + path + ": " + FailureText::SystemError(errno));
            notes.lasting = true;
            return {FtpStep::Status::Failed, FtpTransfers::kLocalFailure};
        }
    }
    // In Image type the server owes exactly the rest of a file whose size is known: more is a server
    // that ignored REST, or a file that grows while it is read.
    const std::int64_t due =
        job.checked && typeIndex == kImageType && remoteSize >= 0 ? remoteSize - offset : -1;
    const std::uint64_t expected =
        job.checked && remoteSize >= 0 ? static_cast<std::uint64_t>(remoteSize) : job.expected;

    bool localFailure = false;
    bool dataFailure = false;
    bool tooMuch = false;
    const TransferOutcome outcome =
        RunTransfer(session, command, "received", [&](BufferedSocket& data, std::int64_t& bytes) {
            ProgressPoster progress(status, expected, &session.Transfers(), job.row);
            if (job.row != 0) {
                session.Transfers().TransferStarted(job.row, offset, remoteSize);
            }
            const auto writeFailed = [&](int error) {
                session.LogFailure("... Write failed on " + path + ": " + FailureText::SystemError(error));
                localFailure = true;
                return BlockLoopEnd{};
            };
            if (!data.AllocateBuffer(FtpTransfers::kTransferBufferSize)) {
                return writeFailed(ENOMEM);
            }
            LineEndConverter lineEnds(ConversionFor(typeIndex, LineEndConverter::Mode::ToLocal));
            while (!session.AbortRequested()) {
                const int received = data.ReceiveBlock();
                if (received < 1) {
                    dataFailure = received < 0 && LogDataFailure(session, "Receive");
                    break;
                }
                if (due >= 0 && bytes + received > due) {
                    tooMuch = true;
                    break;
                }
                const auto text = lineEnds.Convert({data.Buffer(), static_cast<std::size_t>(received)});
                if (!text) {
                    return writeFailed(ENOMEM);
                }
                if (const int error = WriteAll(file.Fd(), text->data(), text->size()); error != 0) {
                    return writeFailed(error);
                }
                bytes += received;
                progress.Update(offset + bytes);
            }
            // A CR that ended the data is a lone CR, also when the data was cut short.
            const std::string_view rest = lineEnds.Finish();
            if (const int error = WriteAll(file.Fd(), rest.data(), rest.size()); error != 0) {
                return writeFailed(error);
            }
            return BlockLoopEnd{};
        });
    // The refusal of RETR itself (active mode), of PASV or of PORT is the entry's result; a reply that
    // was no refusal leaves the request's result as it was.
    int reply = 0;
    if (outcome.stage != TransferStage::NotOpened || outcome.reply >= 400) {
        reply = outcome.reply;
    }
    if (reply == kLostConnection && outcome.stage != TransferStage::Done) {
        return {FtpStep::Status::Stopped, reply};  // the file's time is left alone
    }
    if (outcome.stage == TransferStage::Done) {
        EndTransferStatus(session);
    }
    if (tooMuch) {
        notes.lasting = true;
        localFailure = true;
        if (offset > 0) {
            // What came is the file's start again: the partial file stays as it was for the next try.
            (void)::ftruncate(file.Fd(), offset);
            session.LogFailure("... the server sent " + Printable(remotePath) +
                               " from its first byte after REST: the partial file is kept at " +
                               Bytes(offset));
        } else {
            session.LogFailure("... " + Printable(remotePath) + " grew on the server while it was read (" +
                               Bytes(remoteSize) + " were listed)");
        }
    }
    const bool whole = outcome.stage == TransferStage::Done && !localFailure && !dataFailure &&
                       FtpProtocol::IsPositiveCompletion(reply);
    if (whole && job.checked) {
        struct stat now {};
        struct stat written {};
        const int seen = job.folderFd >= 0
                             ? ::fstatat(job.folderFd, localName.c_str(), &now, AT_SYMLINK_NOFOLLOW)
                             : ::stat(path.c_str(), &now);
        if (seen != 0 || ::fstat(file.Fd(), &written) != 0 || now.st_ino != opened.st_ino ||
            now.st_dev != opened.st_dev) {
            session.LogFailure("... " + path + " was replaced during the download");
            notes.lasting = true;
            localFailure = true;
        } else if (due >= 0 && written.st_size != remoteSize) {
            // Less than listed: the data was cut short and a retry goes on from there.
            session.LogFailure("... size differs: expected " + Bytes(remoteSize) + ", have " +
                               Bytes(written.st_size));
            notes.lasting = written.st_size > remoteSize;
            localFailure = true;
        }
    }
    // The time to the second where the server tells it: a machine listing's, else MDTM's, else the
    // listing's minute or day.
    std::int64_t time = job.time;
    bool lost = false;
    if (!job.exactTime && outcome.stage == TransferStage::Done && !session.AbortRequested() &&
        FtpProtocol::IsPositiveCompletion(reply) && !(job.checked && localFailure)) {
        time = ServerFileTime(session, remotePath, lost).value_or(time);
    }
    if (!FinishLocalFile(session, file, path, time)) {
        localFailure = true;
        notes.lasting = true;
    }
    if (lost) {
        return {FtpStep::Status::Stopped, kLostConnection};
    }
    if (localFailure) {
        reply = FailureResult(reply, FtpTransfers::kLocalFailure);
    } else if (dataFailure) {
        reply = FailureResult(reply, FtpTransfers::kDataFailure);
    }
    // A final 421 ends the request here rather than at the next entry's PASV or PORT, which could only
    // fail too, after truncating that entry's local file.
    return Ended(reply, outcome.stage == TransferStage::Done && !localFailure && !dataFailure &&
                            FtpProtocol::IsPositiveCompletion(reply));
}

// Where a queue row's upload starts: what the server already holds of the file when it is less than the
// local length, with the command that goes on from there (STOR after REST, or APPE), else 0 and STOR.
// Nothing when the control connection was lost on the way.
std::optional<std::int64_t> UploadOffset(FtpContext& session, const Upload& job, std::int64_t length,
                                         int typeIndex, std::string& verb) {
    const std::string name = Printable(job.remoteName);
    LogView& log = session.Log();
    verb = "STOR ";
    if (!job.resume) {
        return 0;
    }
    if (typeIndex != kImageType) {
        log.LogMessage("... ASCII type: uploading " + name +
                       " from its first byte (line ends make the offsets differ between the two ends)");
        return 0;
    }
    bool lost = false;
    const auto held = ServerFileSize(session, job.remoteName, lost);
    if (lost) {
        return std::nullopt;
    }
    if (!held || *held <= 0 || *held >= length) {
        return 0;
    }
    if (session.Features().Has("REST")) {
        const int code = session.Command("REST " + std::to_string(*held));
        if (code == kLostConnection) {
            return std::nullopt;
        }
        if (code != 350) {
            log.LogMessage("... REST refused: uploading " + name + " from its first byte");
            return 0;
        }
    } else {
        verb = "APPE ";
    }
    log.LogMessage("... resuming " + name + " at " + Bytes(*held));
    return *held;
}

// One file of a Put request.
FtpStep PutFile(FtpContext& session, const Upload& job, int typeIndex, FileNotes& notes) {
    StatusView& status = session.Status();
    LogView& log = session.Log();
    const std::string& localPath = job.localPath;
    const std::string& name = job.remoteName;
    if (const auto problem = CommandProblem("STOR " + name)) {
        session.LogFailure("... Refused local name \"" + Printable(name) + "\": " + *problem);
        notes.lasting = true;
        return {FtpStep::Status::Failed, FtpSession::kCommandRefused};
    }
    status.SetStatus("PUTing ...");
    log.LogMessage("PUTing " + localPath);
    // O_NONBLOCK only so that a FIFO cannot hold the open; it is refused below like a folder.
    LocalFile file(::open(localPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat info {};
    if (!file.IsOpen() || ::fstat(file.Fd(), &info) != 0 || !S_ISREG(info.st_mode)) {
        session.LogFailure("... Open failed on " + localPath);
        notes.lasting = true;
        return {FtpStep::Status::Failed, FtpTransfers::kOpenFailed};
    }
    status.SetStatus("PUTing " + name);
    const std::int64_t length = info.st_size;
    const std::int32_t modified = ToListingTime(info.st_mtim);
    std::string verb = "STOR ";
    std::int64_t offset = 0;
    if (job.checked) {
        const auto start = UploadOffset(session, job, length, typeIndex, verb);
        if (!start) {
            return {FtpStep::Status::Stopped, kLostConnection};
        }
        offset = *start;
        if (::lseek(file.Fd(), offset, SEEK_SET) != offset) {
            session.LogFailure("... Read failed on " + localPath + ": " + FailureText::SystemError(errno));
            notes.lasting = true;
            return {FtpStep::Status::Failed, FtpTransfers::kLocalFailure};
        }
    }
    const std::string command = verb + name;

    bool localFailure = false;
    bool dataFailure = false;
    // The local file's bytes read and sent: the length the Remote view learns of.
    std::int64_t readBytes = 0;
    const TransferOutcome outcome =
        RunTransfer(session, command, kSent, [&](BufferedSocket& data, std::int64_t& bytes) {
            ProgressPoster progress(status, static_cast<std::uint64_t>(length), &session.Transfers(),
                                    job.row);
            if (job.row != 0) {
                session.Transfers().TransferStarted(job.row, offset, length);
            }
            if (!data.AllocateBuffer(FtpTransfers::kUploadBufferSize)) {
                session.LogFailure("... Read failed on " + localPath + ": " +
                                   FailureText::SystemError(ENOMEM));
                localFailure = true;
            }
            LineEndConverter lineEnds(ConversionFor(typeIndex, LineEndConverter::Mode::ToNetwork));
            while (!localFailure && !session.AbortRequested()) {
                ssize_t got = 0;
                do {
                    got = ::read(file.Fd(), data.Buffer(), FtpTransfers::kUploadBufferSize);
                } while (got < 0 && errno == EINTR);
                if (got < 0) {
                    session.LogFailure("... Read failed on " + localPath + ": " +
                                       FailureText::SystemError(errno));
                    localFailure = true;
                    break;
                }
                if (got == 0) {
                    break;
                }
                const auto text = lineEnds.Convert({data.Buffer(), static_cast<std::size_t>(got)});
                if (!text) {
                    session.LogFailure("... Read failed on " + localPath + ": " +
                                       FailureText::SystemError(ENOMEM));
                    localFailure = true;
                    break;
                }
                if (data.SendAll(text->data(), text->size()) < 1) {
                    LogDataFailure(session, "Send");
                    dataFailure = true;
                    break;
                }
                bytes += static_cast<std::int64_t>(text->size());
                readBytes += got;
                progress.Update(offset + readBytes);
            }
            // The close marks the end of the file for the server; a file cut short must not look whole.
            return BlockLoopEnd{localFailure || dataFailure || session.AbortRequested()};
        });
    if (localFailure) {
        notes.lasting = true;
    }
    bool whole = !localFailure && !dataFailure && !session.AbortRequested();
    int reply = 0;
    if (outcome.stage != TransferStage::NotOpened || outcome.reply >= 400) {
        reply = outcome.reply;
    }
    if (outcome.stage != TransferStage::Done) {
        return Ended(reply, false);
    }
    // Only a file that went out whole and that the server confirmed is on the server.
    if (whole && FtpProtocol::IsPositiveCompletion(outcome.reply)) {
        if (job.checked && typeIndex == kImageType) {
            bool lost = false;
            const auto held = ServerFileSize(session, name, lost);
            if (lost) {
                EndTransferStatus(session);
                return {FtpStep::Status::Stopped, kLostConnection};
            }
            if (held && *held != length) {
                session.LogFailure("... size differs on the server: expected " + Bytes(length) + ", have " +
                                   Bytes(*held));
                whole = false;
                reply = FtpTransfers::kDataFailure;
            }
        }
        if (whole && job.shown) {
            session.Remote().UploadedFile(name, offset + readBytes, modified);
        }
        if (whole && !KeepServerFileTime(session, name, info.st_mtim.tv_sec)) {
            EndTransferStatus(session);
            return {FtpStep::Status::Stopped, kLostConnection};
        }
    }
    EndTransferStatus(session);
    if (localFailure) {
        reply = FailureResult(reply, FtpTransfers::kLocalFailure);
    } else if (dataFailure) {
        reply = FailureResult(reply, FtpTransfers::kDataFailure);
    }
    return Ended(reply, whole && FtpProtocol::IsPositiveCompletion(reply));
}

// One entry of a Get, and below one file of a Put, with the page told when it did not arrive whole.
FtpStep GetOne(FtpContext& session, const std::string& folder, const RemoteEntry& entry, int typeIndex) {
    (void)session.TakeFailure();
    Download job;
    // UTF-8 on disk whatever the server's bytes, with no '/' or control character.
    job.localName = RemoteName::LocalFileName(entry.LocalName());
    job.remotePath = entry.TargetPath();
    job.folder = folder;
    job.size = entry.Size();
    job.expected = TransferStatistics::ExpectedSize(entry);
    job.time = entry.Time();
    job.exactTime = entry.ExactTime();
    FileNotes notes;
    const FtpStep step = GetFile(session, job, typeIndex, notes);
    session.ShowFailure("Could not download " + Printable(entry.LocalName()), step.reply);
    return step;
}

FtpStep PutOne(FtpContext& session, const std::string& localPath, int typeIndex) {
    (void)session.TakeFailure();
    Upload job;
    job.localPath = localPath;
    const std::size_t slash = localPath.rfind('/');
    job.remoteName = slash == std::string::npos ? localPath : localPath.substr(slash + 1);
    FileNotes notes;
    const FtpStep step = PutFile(session, job, typeIndex, notes);
    session.ShowFailure("Could not upload " + Printable(localPath), step.reply);
    return step;
}

// The loop shared by Get and Put: the type, then one call per item until the end, an abort or a 421.
template <typename Item, typename ServeOne>
int ServeEach(FtpContext& session, int typeIndex, const std::vector<Item>* items, ServeOne serveOne) {
    int result = FtpTransfers::SelectType(session, typeIndex);
    if (!FtpProtocol::IsPositiveCompletion(result)) {
        return result;
    }
    if (items != nullptr) {
        for (const Item& item : *items) {
            if (session.AbortRequested()) {
                break;
            }
            const FtpStep step = serveOne(item);
            if (step.reply != 0) {
                result = step.reply;
            }
            if (step.EndsRequest()) {
                break;
            }
        }
    }
    session.Abort().ClearRequested();
    EndTransferStatus(session);
    return result;
}

constexpr std::string_view kStoppedByUser = "Stopped by the user";

// Makes the row's folder the session's current one: a CWD only when the session is elsewhere, or does
// not know where it is.
FtpStep EnterFolder(FtpContext& session, const std::string& folder, FileNotes& notes) {
    if (folder.empty() || folder == session.CurrentFolder()) {
        return {};
    }
    const int code = session.Command("CWD " + folder);
    if (FtpProtocol::IsPositiveCompletion(code)) {
        session.SetCurrentFolder(folder);
        return {};
    }
    session.SetCurrentFolder({});
    notes.lasting = code >= 500 || code == FtpSession::kCommandRefused;
    return Ended(code, false);
}

// Why an attempt at a row failed, in words: what the handler logged, else the server's reply.
std::string FailureWords(FtpContext& session, const FtpStep& step) {
    std::string words = session.TakeFailure();
    if (step.reply == kLostConnection) {
        return "the connection was lost: " + session.LastReplyInWords();
    }
    if (!words.empty()) {
        return words;
    }
    if (step.reply >= 400 && session.LastReply().code == step.reply) {
        return session.LastReplyInWords();
    }
    return "the transfer did not complete (" + std::to_string(step.reply) + ")";
}

// One queue row with its retries. `attempt(notes, again)` moves the file once; `again` is a retry, which
// goes on from where the last attempt stopped. A lost control connection is restored before the retry.
// Reports the row's end; returns the step the request goes on with (Stopped when the connection is gone
// for good).
// `byPath`: the attempt names the file by its absolute path, so no CWD is needed.
template <typename Attempt>
FtpStep ServeRow(FtpContext& session, const TransferItem& item, int typeIndex, bool byPath, Attempt attempt) {
    TransferRowReports reports(session.Transfers(), item.row);
    const std::vector<int>& delays = session.Options().retryDelaysMs;
    const std::string name = Printable(item.remoteName);
    bool lost = false;
    for (std::size_t tried = 0;; ++tried) {
        (void)session.TakeFailure();
        FileNotes notes;
        FtpStep step;
        std::string reason;
        if (lost && !FtpLogin::Reconnect(session)) {
            step = {FtpStep::Status::Stopped, kLostConnection};
            reason = "could not reconnect: " + session.LastMessageInWords();
        } else {
            step = byPath ? FtpStep{} : EnterFolder(session, item.remoteFolder, notes);
            if (step.status == FtpStep::Status::Ok) {
                const int type = FtpTransfers::SelectType(session, typeIndex);
                if (FtpProtocol::IsPositiveCompletion(type)) {
                    step = attempt(notes, tried > 0);
                } else {
                    notes.lasting = type >= 500;
                    step = Ended(type, false);
                }
            }
            if (step.status == FtpStep::Status::Ok) {
                reports.Ended(TransferEnd::Done, {});
                return step;
            }
            reason = FailureWords(session, step);
        }
        lost = step.reply == kLostConnection;
        const FtpStep given = lost ? FtpStep{FtpStep::Status::Stopped, kLostConnection}
                                   : FtpStep{FtpStep::Status::Failed, step.reply};
        if (session.AbortRequested()) {
            reports.Ended(TransferEnd::Stopped, kStoppedByUser);
            return given;
        }
        if (!lost && !TransferRetry::IsPassing(step.reply, notes.lasting)) {
            reports.Ended(TransferEnd::Failed, reason);
            return given;
        }
        if (tried >= delays.size()) {
            session.Log().LogMessage("... " + name + ": no more retries: " + reason);
            reports.Ended(TransferEnd::Failed, reason);
            return given;
        }
        const int delay = delays[tried];
        reports.Retrying(static_cast<int>(tried) + 1, delay, reason);
        session.Log().LogMessage("... " + name + ": " + reason + "; trying again in " +
                                 TransferRetry::WaitInWords(delay) + " (retry " + std::to_string(tried + 1) +
                                 " of " + std::to_string(delays.size()) + ")");
        if (!TransferRetry::Wait(session, delay)) {
            session.Log().LogMessage("... " + name + ": retries stopped by the user");
            reports.Ended(TransferEnd::Stopped, kStoppedByUser);
            return given;
        }
    }
}

// Where a queue row's download goes: its local path's name, in the request's folder. A path outside that
// folder gets no name (refused like any unsafe name).
std::string DownloadName(const TransferItem& item, std::string& folder) {
    const std::string& local = item.localPath.empty() ? item.remoteName : item.localPath;
    const std::size_t slash = local.rfind('/');
    if (slash == std::string::npos) {
        return local;
    }
    const auto normal = [](const std::string& text) {
        std::string path = std::filesystem::path(text).lexically_normal().string();
        while (path.size() > 1 && path.back() == '/') {
            path.pop_back();
        }
        return path;
    };
    const std::string parent = local.substr(0, slash);
    if (folder.empty()) {
        folder = parent.empty() ? "/" : parent;
    } else if (normal(parent.empty() ? "/" : parent) != normal(folder)) {
        return {};
    }
    return local.substr(slash + 1);
}

// A Get or a Put of queue rows: each row in turn with its retries, until the last one, the user's abort
// or a connection that could not be restored; every row not ended by then is reported stopped. The
// session goes back to the folder the Remote page shows, which names the files of its later requests.
// `startFolder`: the folder the Remote page shows (a copy: the session's own changes as rows move).
template <typename Attempt>
int ServeItems(FtpContext& session, const TransferItems& transfers, int typeIndex, bool byPath,
               std::string startFolder, Attempt attempt) {
    const std::vector<TransferItem>& items = transfers.items;
    int result = kNothingToDo;
    std::size_t next = 0;
    for (; next < items.size(); ++next) {
        const TransferItem& item = items[next];
        if (session.AbortRequested()) {
            break;
        }
        if (transfers.stops && transfers.stops->Stopped(item.row)) {
            TransferRowReports(session.Transfers(), item.row).Ended(TransferEnd::Stopped, kStoppedByUser);
            continue;
        }
        const FtpStep step = ServeRow(session, item, typeIndex, byPath, [&](FileNotes& notes, bool again) {
            return attempt(item, startFolder, notes, again);
        });
        if (step.reply != 0) {
            result = step.reply;
        }
        if (step.EndsRequest()) {
            ++next;
            break;
        }
    }
    const std::string why = session.AbortRequested() || session.StopRequested()
                                ? std::string(kStoppedByUser)
                                : "the connection was lost: " + session.LastReplyInWords();
    for (; next < items.size(); ++next) {
        TransferRowReports(session.Transfers(), items[next].row).Ended(TransferEnd::Stopped, why);
    }
    session.Abort().ClearRequested();
    EndTransferStatus(session);
    if (result != kLostConnection && !session.StopRequested() && !startFolder.empty() &&
        session.CurrentFolder() != startFolder) {
        const int code = session.Command("CWD " + startFolder);
        if (FtpProtocol::IsPositiveCompletion(code)) {
            session.SetCurrentFolder(startFolder);
        } else if (code == kLostConnection) {
            result = code;
        }
    }
    return result;
}

// A downloaded tree's rows name their files by absolute path (RETR /pub/a/b/x): no CWD at all, where
// going to each folder would cost one CWD per folder. Rows in folders below the request's folder are
// written through LocalTree, their folder made when missing (a row restored after a restart).
int GetItems(FtpContext& session, const TransferItems& transfers, const std::string& folder, int typeIndex) {
    const LocalTree tree(folder);
    const bool wholeTree = !transfers.folders.empty() && !folder.empty();
    if (wholeTree) {
        tree.MakeFolders(transfers.folders, session.Log());
    }
    const int result = ServeItems(
        session, transfers, typeIndex, wholeTree, session.CurrentFolder(),
        [&](const TransferItem& item, const std::string&, FileNotes& notes, bool again) {
            Download job;
            LocalTree::Folder parent;
            const auto names = folder.empty() ? std::nullopt : tree.Names(item.localPath);
            if (names && names->size() > 1) {
                int error = 0;
                parent = tree.Open(*names, names->size() - 1, true, error);
                const std::string parentPath = item.localPath.substr(0, item.localPath.rfind('/'));
                if (!parent.IsOpen()) {
                    session.LogFailure("... Could not make the folder " + Printable(parentPath) + ": " +
                                       LocalTree::InTheWay(error).value_or(FailureText::SystemError(error)));
                    notes.lasting = true;
                    return FtpStep{FtpStep::Status::Failed, FtpTransfers::kOpenFailed};
                }
                job.folder = parentPath;
                job.localName = names->back();
                job.folderFd = parent.Fd();
            } else {
                job.folder = folder;
                job.localName = DownloadName(item, job.folder);
            }
            job.row = item.row;
            job.remotePath = wholeTree && !item.remoteFolder.empty()
                                 ? FtpFolderCommands::JoinPath(item.remoteFolder, item.remoteName)
                                 : item.remoteName;
            job.size = item.size;
            job.expected = item.size > 0 ? static_cast<std::uint64_t>(item.size) : 0;
            job.time = item.time;
            job.exactTime = item.exactTime;
            job.checked = true;
            // A retry goes on from what the failed attempt left.
            job.resume = item.resume || again;
            return GetFile(session, job, typeIndex, notes);
        });
    if (wholeTree) {
        tree.SetFolderTimes(transfers.folders, session.Log());
    }
    return result;
}

int PutItems(FtpContext& session, const TransferItems& transfers, int typeIndex) {
    const std::string startFolder = session.CurrentFolder();
    const TransferItems* served = &transfers;
    TransferItems rest;
    if (!transfers.folders.empty()) {
        // The folders of a tree come first; the files of a folder that could not be made fail with its
        // reason, and the rest go on.
        FtpUploadTrees::FolderFailures failed;
        const int made = FtpUploadTrees::MakeFolders(session, transfers.folders, startFolder, failed);
        if (made == kLostConnection) {
            const std::string why = "the connection was lost: " + session.LastReplyInWords();
            for (const TransferItem& item : transfers.items) {
                TransferRowReports(session.Transfers(), item.row).Ended(TransferEnd::Stopped, why);
            }
            EndTransferStatus(session);
            return made;
        }
        rest.stops = transfers.stops;
        for (const TransferItem& item : transfers.items) {
            const bool stopped = transfers.stops && transfers.stops->Stopped(item.row);
            if (std::string why = FtpUploadTrees::FolderFailure(failed, item.remoteFolder);
                !why.empty() && !stopped) {
                session.Log().LogMessage("... " + Printable(item.remoteName) + " not uploaded: " + why);
                TransferRowReports(session.Transfers(), item.row).Ended(TransferEnd::Failed, why);
            } else {
                rest.items.push_back(item);
            }
        }
        served = &rest;
    }
    return ServeItems(
        session, *served, typeIndex, false, startFolder,
        [&](const TransferItem& item, const std::string& shownFolder, FileNotes& notes, bool again) {
            Upload job;
            job.row = item.row;
            job.localPath = item.localPath;
            job.remoteName = item.remoteName;
            job.checked = true;
            job.resume = item.resume || again;
            job.shown = item.remoteFolder.empty() || item.remoteFolder == shownFolder;
            return PutFile(session, job, typeIndex, notes);
        });
}

}  // namespace

int FtpTransfers::SelectType(FtpContext& session, int index) {
    if (index < 0 || index >= static_cast<int>(std::size(kTransferTypeCommands))) {
        session.Log().LogMessage("... Unknown transfer type " + std::to_string(index));
        return FtpSession::kCommandRefused;
    }
    if (session.CurrentType() == index) {
        return kNothingToDo;
    }
    FtpReply reply;
    int code = session.Command(kTransferTypeCommands[static_cast<std::size_t>(index)], &reply);
    if (index == kAsciiType && (code == 501 || code == 504)) {
        // Some servers know no format parameter; plain "TYPE A" selects the same non-print ASCII.
        code = session.Command("TYPE A", &reply);
    }
    if (reply.IsPositive()) {
        session.SetCurrentType(index);
    }
    return code;
}

namespace {

// Most refused machine-listing lines logged one by one; the rest are counted.
constexpr int kRefusalsLogged = 5;

// True for a machine-listing line: facts ("fact=value;" ...) up to the first blank, then the name.
bool HasFacts(std::string_view line) {
    const std::size_t blank = line.find(' ');
    if (blank == std::string_view::npos || blank == 0 || blank + 1 == line.size()) {
        return false;
    }
    const std::string_view facts = line.substr(0, blank);
    return facts.back() == ';' && facts.find('=') != std::string_view::npos;
}

// One listing with `command` (LIST or MLSD, with or without a path), each line handed to `addLine`;
// `finish(whole)` is told once the data connection ended, with false for a listing cut short.
template <typename AddLine, typename Finish>
int RunListing(FtpContext& session, std::string_view command, AddLine&& addLine, Finish&& finish) {
    const bool machine = command.substr(0, 4) == "MLSD";
    bool cut = false;
    int refused = 0;
    const auto refuse = [&](std::string_view why, std::string_view line) {
        if (++refused <= kRefusalsLogged) {
            session.Log().LogMessage("... MLSD line refused (" + std::string(why) +
                                     "): " + Printable(line.substr(0, 80)));
        }
    };
    const TransferOutcome outcome =
        RunTransfer(session, command, "received", [&](BufferedSocket& data, std::int64_t& bytes) {
            if (!data.AllocateBuffer(FtpTransfers::kListBufferSize)) {
                return BlockLoopEnd{};
            }
            std::string line;
            while (!session.AbortRequested()) {
                const int length = data.ReadLine(
                    line, machine ? FtpTransfers::kMachineLineSize : FtpTransfers::kListLineSize);
                if (length < 0 && machine && LastSocketError() == wsa::kMessageTooLong) {
                    // A machine listing goes on past a line too long to take: that line alone is refused.
                    std::string rest;
                    while (data.ReadLine(rest, FtpTransfers::kMachineLineSize) < 0 &&
                           LastSocketError() == wsa::kMessageTooLong) {
                        bytes += static_cast<std::int64_t>(rest.size());
                    }
                    bytes += static_cast<std::int64_t>(line.size() + rest.size());
                    refuse("too long", line);
                    if (data.PeerClosed()) {
                        break;
                    }
                    continue;
                }
                if (length <= 0) {
                    // The end of the data, or a line that does not fit, ends the listing as it
                    // is; anything else cut it short.
                    if (length < 0 && !data.PeerClosed() && LastSocketError() != wsa::kMessageTooLong) {
                        cut = LogDataFailure(session, "Receive");
                    }
                    break;
                }
                bytes += length;
                if (machine && !HasFacts(line)) {
                    refuse("no facts", line);
                    continue;
                }
                addLine(line);
            }
            // A listing that stopped early may still have data on the way; a plain close lets the
            // server finish instead of waiting for room to send.
            return BlockLoopEnd{};
        });
    if (refused > kRefusalsLogged) {
        session.Log().LogMessage("... " + std::to_string(refused - kRefusalsLogged) +
                                 " more MLSD lines refused");
    }
    if (outcome.stage == TransferStage::NotOpened) {
        // A refusal (of PASV, PORT, or of LIST in active mode) is the result, as for a download.
        return outcome.reply >= 400 ? outcome.reply : 0;
    }
    if (outcome.stage == TransferStage::Refused) {
        return outcome.reply;
    }
    // The rows that arrived stay shown, but a cut listing is not taken for the whole directory.
    finish(!cut && !session.AbortRequested());
    return outcome.reply;
}

int RunListing(FtpContext& session, std::string_view command) {
    return RunListing(
        session, command, [&](std::string_view line) { session.Remote().AddListingLine(line); },
        [&](bool whole) { session.Remote().FinishListing(whole); });
}

}  // namespace

std::string FtpTransfers::UniqueFact(std::string_view line) {
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos) {
        return {};
    }
    std::string_view facts = line.substr(0, space);
    while (!facts.empty()) {
        const std::size_t end = facts.find(';');
        const std::string_view fact = facts.substr(0, end);
        constexpr std::string_view kName = "unique=";
        if (fact.size() > kName.size() &&
            std::equal(kName.begin(), kName.end(), fact.begin(),
                       [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); })) {
            return std::string(fact.substr(kName.size()));
        }
        facts = end == std::string_view::npos ? std::string_view() : facts.substr(end + 1);
    }
    return {};
}

int FtpTransfers::ListFolder(FtpContext& session, std::string_view path, std::vector<RemoteEntry>& entries,
                             bool& whole, std::vector<std::string>* uniques) {
    whole = false;
    entries.clear();
    if (uniques != nullptr) {
        uniques->clear();
    }
    const std::time_t now = std::time(nullptr);
    const auto add = [&](std::string_view line) {
        if (std::optional<RemoteEntry> entry = ListingParser::Parse(line, now)) {
            entries.push_back(std::move(*entry));
            if (uniques != nullptr) {
                uniques->push_back(UniqueFact(line));
            }
        }
    };
    const auto finish = [&](bool complete) { whole = complete; };
    const std::string target(path);
    const int result = [&] {
        const int code = SelectType(session, kAsciiType);
        session.Status().SetStatus("LISTing " + target);
        session.Log().LogMessage("LISTing " + Printable(target));
        if (!FtpProtocol::IsPositiveCompletion(code)) {
            return code;
        }
        if (session.Features().Has("MLST")) {
            const int machine = RunListing(session, "MLSD " + target, add, finish);
            if (machine < 500 || session.AbortRequested()) {
                return machine != 0 ? machine : code;
            }
            // Refused for this folder, or MLSD not usable at all: LIST answers both.
            entries.clear();
            if (uniques != nullptr) {
                uniques->clear();
            }
            whole = false;
            (void)session.TakeFailure();
        }
        const int listed = RunListing(session, "LIST " + target, add, finish);
        return listed != 0 ? listed : code;
    }();
    session.Status().SetStatus(std::nullopt);
    if (!FtpProtocol::IsPositiveCompletion(result)) {
        whole = false;
    }
    return result;
}

int FtpTransfers::ListDirectory(FtpContext& session, std::string_view path) {
    StatusView& status = session.Status();
    (void)session.TakeFailure();
    const int result = [&] {
        const int code = SelectType(session, kAsciiType);
        const std::string announce = "LISTing " + std::string(path);
        status.SetStatus(announce);
        session.Log().LogMessage("LISTing " + Printable(path));
        if (!FtpProtocol::IsPositiveCompletion(code)) {
            return code;
        }
        if (session.Features().Has("MLST")) {
            const int machine = RunListing(session, "MLSD");
            if (machine < 500 || session.AbortRequested()) {
                return machine != 0 ? machine : code;
            }
            // A server that offers MLST but cannot list with it lists the old way from now on.
            session.Features().Drop("MLST");
            session.Log().LogMessage("... MLSD failed: listing with LIST from now on");
            (void)session.TakeFailure();
        }
        const int listed = RunListing(session, "LIST");
        return listed != 0 ? listed : code;
    }();
    session.ShowFailure("Could not list " + Printable(path), result);
    session.Abort().ClearRequested();
    status.SetStatus(std::nullopt);
    return result;
}

int FtpTransfers::GetFiles(FtpContext& session, FtpRequest& request) {
    const std::unique_ptr<FtpRequestObject> selection = std::move(request.object);
    if (const auto* transfers = dynamic_cast<const TransferItems*>(selection.get())) {
        return GetItems(session, *transfers, request.text, request.value);
    }
    const auto* indexes = dynamic_cast<const SelectionIndexes*>(selection.get());
    return ServeEach(session, request.value, indexes != nullptr ? &indexes->indexes : nullptr,
                     [&](std::int32_t index) {
                         return GetOne(session, request.text, session.Remote().EntryAt(index), request.value);
                     });
}

int FtpTransfers::PutFiles(FtpContext& session, FtpRequest& request) {
    const std::unique_ptr<FtpRequestObject> dropped = std::move(request.object);
    if (const auto* transfers = dynamic_cast<const TransferItems*>(dropped.get())) {
        return PutItems(session, *transfers, request.value);
    }
    const auto* files = dynamic_cast<const DroppedFiles*>(dropped.get());
    return ServeEach(session, request.value, files != nullptr ? &files->paths : nullptr,
                     [&](const std::string& path) { return PutOne(session, path, request.value); });
}
