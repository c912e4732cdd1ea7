#include "engine/FtpTransfers.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <limits>
#include <optional>
#include <string>

#include "engine/BufferedSocket.h"
#include "engine/FailureText.h"
#include "engine/FtpDataConnection.h"
#include "engine/FtpProtocol.h"
#include "engine/FtpReply.h"
#include "engine/FtpRequest.h"
#include "engine/FtpSession.h"
#include "engine/FtpStep.h"
#include "engine/LineEndConverter.h"
#include "engine/PrintableText.h"
#include "engine/TransferStatistics.h"
#include "listing/ListingParser.h"
#include "listing/RemoteEntry.h"
#include "listing/RemoteName.h"
#include "listing/TimeValue.h"
#include "platform/SocketError.h"
#include "platform/WinsockErrorName.h"

namespace {

constexpr int kLostConnection = FtpProtocol::kLostConnection;
constexpr int kNothingToDo = 200;
// WSAEMSGSIZE: what a line read reports for a line that does not fit.

// A side of the transfer failed; a failure the server reported already is kept.
int FailureResult(int finalReply, int failure) {
    return finalReply >= 400 ? finalReply : failure;
}

// A file descriptor closed when it goes out of scope.
class LocalFile {
  public:
    explicit LocalFile(int fd) : fd_(fd) {}
    ~LocalFile() { (void)Close(); }
    LocalFile(const LocalFile&) = delete;
    LocalFile& operator=(const LocalFile&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    // 0, or the errno of a failing close (some file systems report late write errors only here).
    int Close() {
        if (fd_ < 0) {
            return 0;
        }
        const int rc = ::close(fd_);
        fd_ = -1;
        return rc == 0 ? 0 : errno;
    }

  private:
    int fd_;
};

[[maybe_unused]] const char* ReasonText(int rc, const char* buffer) {
    return rc == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* ReasonText(const char* text, const char* /*buffer*/) {
    return text;
}

// The system's text for an errno value (strerror_r comes in two flavours).
std::string SystemReason(int error) {
    char buffer[256] = {};
    return ReasonText(strerror_r(error, buffer, sizeof buffer), buffer);
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
            session.Log().LogMessage("... Set time failed on " + path + ": " + SystemReason(errno));
        }
    }
    if (const int error = file.Close(); error != 0) {
        session.LogFailure("... Write failed on " + path + ": " + SystemReason(error));
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
// from the local file against its length, whatever the conversion added on the way out.
class ProgressPoster {
  public:
    ProgressPoster(StatusView& status, std::uint64_t expected) : status_(status), expected_(expected) {}
    void Update(std::int64_t bytes) {
        const int percent = TransferStatistics::Percent(static_cast<std::uint64_t>(bytes), expected_);
        if (percent != last_) {
            last_ = percent;
            status_.SetProgress(percent);
        }
    }

  private:
    StatusView& status_;
    std::uint64_t expected_;
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

// One entry of a Get request.
FtpStep GetEntry(FtpContext& session, const std::string& folder, const RemoteEntry& entry, int typeIndex) {
    StatusView& status = session.Status();
    LogView& log = session.Log();
    // UTF-8 on disk whatever the server's bytes, with no '/' or control character.
    const std::string localName = RemoteName::LocalFileName(entry.LocalName());
    const std::string remotePath = entry.TargetPath();
    if (!IsSafeLocalName(localName)) {
        session.LogFailure("... Refused local name \"" + Printable(localName) +
                           "\": not a file name in the folder");
        return {FtpStep::Status::Failed, FtpTransfers::kOpenFailed};
    }
    const std::string command = "RETR " + remotePath;
    if (const auto problem = CommandProblem(command)) {
        session.LogFailure("... Refused remote name \"" + Printable(remotePath) + "\": " + *problem);
        return {FtpStep::Status::Failed, FtpSession::kCommandRefused};
    }
    status.SetStatus("GETing " + localName);
    log.LogMessage("GETing " + Printable(remotePath) + " -> " + folder);
    std::string path = folder;
    if (!path.empty() && path.back() != '/') {
        path += '/';
    }
    path += localName;
    // O_NONBLOCK only so that a FIFO of that name without a reader fails the open instead of holding the
    // worker for good; the writes that follow block as usual.
    LocalFile file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0666));
    if (file.IsOpen()) {
        (void)::fcntl(file.Fd(), F_SETFL, ::fcntl(file.Fd(), F_GETFL) & ~O_NONBLOCK);
    }
    if (!file.IsOpen()) {
        session.LogFailure("... Open failed on " + path);
        return {FtpStep::Status::Failed, FtpTransfers::kOpenFailed};
    }

    bool localFailure = false;
    bool dataFailure = false;
    const TransferOutcome outcome =
        RunTransfer(session, command, "received", [&](BufferedSocket& data, std::int64_t& bytes) {
            ProgressPoster progress(status, TransferStatistics::ExpectedSize(entry));
            const auto writeFailed = [&](int error) {
                session.LogFailure("... Write failed on " + path + ": " + SystemReason(error));
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
                const auto text = lineEnds.Convert({data.Buffer(), static_cast<std::size_t>(received)});
                if (!text) {
                    return writeFailed(ENOMEM);
                }
                if (const int error = WriteAll(file.Fd(), text->data(), text->size()); error != 0) {
                    return writeFailed(error);
                }
                bytes += received;
                progress.Update(bytes);
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
    // The time to the second where the server tells it: a machine listing's, else MDTM's, else the
    // listing's minute or day.
    std::int64_t time = entry.Time();
    bool lost = false;
    if (!entry.ExactTime() && outcome.stage == TransferStage::Done && !session.AbortRequested() &&
        FtpProtocol::IsPositiveCompletion(reply)) {
        time = ServerFileTime(session, remotePath, lost).value_or(time);
    }
    if (!FinishLocalFile(session, file, path, time)) {
        localFailure = true;
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

// One dropped file of a Put request.
FtpStep PutFile(FtpContext& session, const std::string& localPath, int typeIndex) {
    StatusView& status = session.Status();
    LogView& log = session.Log();
    const std::size_t slash = localPath.rfind('/');
    const std::string name = slash == std::string::npos ? localPath : localPath.substr(slash + 1);
    const std::string command = "STOR " + name;
    if (const auto problem = CommandProblem(command)) {
        session.LogFailure("... Refused local name \"" + Printable(name) + "\": " + *problem);
        return {FtpStep::Status::Failed, FtpSession::kCommandRefused};
    }
    status.SetStatus("PUTing ...");
    log.LogMessage("PUTing " + localPath);
    // O_NONBLOCK only so that a FIFO cannot hold the open; it is refused below like a folder.
    LocalFile file(::open(localPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat info {};
    if (!file.IsOpen() || ::fstat(file.Fd(), &info) != 0 || !S_ISREG(info.st_mode)) {
        session.LogFailure("... Open failed on " + localPath);
        return {FtpStep::Status::Failed, FtpTransfers::kOpenFailed};
    }
    status.SetStatus("PUTing " + name);
    const std::int64_t length = info.st_size;
    const std::int32_t modified = ToListingTime(info.st_mtim);

    bool localFailure = false;
    bool dataFailure = false;
    // The local file's bytes read and sent: the length the Remote view learns of.
    std::int64_t readBytes = 0;
    const TransferOutcome outcome =
        RunTransfer(session, command, kSent, [&](BufferedSocket& data, std::int64_t& bytes) {
            ProgressPoster progress(status, static_cast<std::uint64_t>(length));
            if (!data.AllocateBuffer(FtpTransfers::kUploadBufferSize)) {
                session.LogFailure("... Read failed on " + localPath + ": " + SystemReason(ENOMEM));
                localFailure = true;
            }
            LineEndConverter lineEnds(ConversionFor(typeIndex, LineEndConverter::Mode::ToNetwork));
            while (!localFailure && !session.AbortRequested()) {
                ssize_t got = 0;
                do {
                    got = ::read(file.Fd(), data.Buffer(), FtpTransfers::kUploadBufferSize);
                } while (got < 0 && errno == EINTR);
                if (got < 0) {
                    session.LogFailure("... Read failed on " + localPath + ": " + SystemReason(errno));
                    localFailure = true;
                    break;
                }
                if (got == 0) {
                    break;
                }
                const auto text = lineEnds.Convert({data.Buffer(), static_cast<std::size_t>(got)});
                if (!text) {
                    session.LogFailure("... Read failed on " + localPath + ": " + SystemReason(ENOMEM));
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
                progress.Update(readBytes);
            }
            // The close marks the end of the file for the server; a file cut short must not look whole.
            return BlockLoopEnd{localFailure || dataFailure || session.AbortRequested()};
        });
    const bool whole = !localFailure && !dataFailure && !session.AbortRequested();
    int reply = 0;
    if (outcome.stage != TransferStage::NotOpened || outcome.reply >= 400) {
        reply = outcome.reply;
    }
    if (outcome.stage != TransferStage::Done) {
        return Ended(reply, false);
    }
    // Only a file that went out whole and that the server confirmed is on the server.
    if (whole && FtpProtocol::IsPositiveCompletion(outcome.reply)) {
        session.Remote().UploadedFile(name, readBytes, modified);
        if (!KeepServerFileTime(session, name, info.st_mtim.tv_sec)) {
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
    const FtpStep step = GetEntry(session, folder, entry, typeIndex);
    session.ShowFailure("Could not download " + Printable(entry.LocalName()), step.reply);
    return step;
}

FtpStep PutOne(FtpContext& session, const std::string& localPath, int typeIndex) {
    (void)session.TakeFailure();
    const FtpStep step = PutFile(session, localPath, typeIndex);
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

int FtpTransfers::ListFolder(FtpContext& session, std::string_view path, std::vector<RemoteEntry>& entries,
                             bool& whole) {
    whole = false;
    entries.clear();
    const std::time_t now = std::time(nullptr);
    const auto add = [&](std::string_view line) {
        if (std::optional<RemoteEntry> entry = ListingParser::Parse(line, now)) {
            entries.push_back(std::move(*entry));
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
    const auto* indexes = dynamic_cast<const SelectionIndexes*>(selection.get());
    return ServeEach(session, request.value, indexes != nullptr ? &indexes->indexes : nullptr,
                     [&](std::int32_t index) {
                         return GetOne(session, request.text, session.Remote().EntryAt(index), request.value);
                     });
}

int FtpTransfers::PutFiles(FtpContext& session, FtpRequest& request) {
    const std::unique_ptr<FtpRequestObject> dropped = std::move(request.object);
    const auto* files = dynamic_cast<const DroppedFiles*>(dropped.get());
    return ServeEach(session, request.value, files != nullptr ? &files->paths : nullptr,
                     [&](const std::string& path) { return PutOne(session, path, request.value); });
}
