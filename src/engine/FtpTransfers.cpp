#include "engine/FtpTransfers.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "engine/BufferedSocket.h"
#include "engine/FtpDataConnection.h"
#include "engine/FtpReply.h"
#include "engine/FtpRequest.h"
#include "engine/FtpSession.h"
#include "engine/TransferStatistics.h"
#include "engine/WinsockErrorName.h"
#include "listing/RemoteEntry.h"
#include "platform/SocketError.h"

namespace {

constexpr int kLostConnection = 421;
constexpr int kNothingToDo = 200;
// WSAEMSGSIZE: what a line read reports for a line that does not fit.
constexpr int kMessageTooLong = 10040;

bool IsPositiveCompletion(int code) {
    return code >= 200 && code <= 299;
}

// The local side failed; a failure the server reported already is kept.
int LocalFailureResult(int finalReply) {
    return finalReply >= 400 ? finalReply : FtpTransfers::kLocalFailure;
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

// The name as a log line can show it: control characters written as escapes.
std::string Printable(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string shown;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\r') {
            shown += "\\r";
        } else if (c == '\n') {
            shown += "\\n";
        } else if (byte < 0x20 || byte == 0x7f) {
            shown += "\\x";
            shown += kHex[byte >> 4];
            shown += kHex[byte & 0xf];
        } else {
            shown += c;
        }
    }
    return shown;
}

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

// Why `command` cannot be sent as one command line, or nothing when it can. A name from the server's
// listing or from a local file must never end the line early and smuggle in a command of its own.
std::optional<std::string> CommandProblem(std::string_view command) {
    if (command.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
        return "it holds a CR, LF or NUL character";
    }
    if (command.size() > BufferedSocket::kMaxLineText) {
        return "the command would be longer than 510 characters";
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

// Reports a data connection that failed for a reason of its own, not because of an abort. A line read
// cannot tell the plain end of data or an over-long line from a failure by its result alone.
void LogDataFailure(FtpContext& session, std::string_view what, bool lineRead = false) {
    const int error = LastSocketError();
    if (error == wsa::kInterrupted ||
        (lineRead && (error == wsa::kConnectionReset || error == kMessageTooLong))) {
        return;
    }
    session.Log().LogMessage("... [DATA] " + std::string(what) +
                             " failed, WinSock err = " + WinsockErrorName());
}

// Closes an upload's data connection with a reset, so that the server does not take what it got so far
// for the whole file.
void ResetConnection(BufferedSocket& data) {
    if (data.IsOpen()) {
        const linger abortive{1, 0};
        (void)::setsockopt(data.Handle(), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    }
    data.Close();
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
bool FinishLocalFile(FtpContext& session, LocalFile& file, const std::string& path, std::int32_t listedTime) {
    if (listedTime > 0) {
        const timespec times[2] = {{0, UTIME_OMIT}, {listedTime, 0}};
        if (::futimens(file.Fd(), times) != 0) {
            session.Log().LogMessage("... Set time failed on " + path + ": " + SystemReason(errno));
        }
    }
    if (const int error = file.Close(); error != 0) {
        session.Log().LogMessage("... Write failed on " + path + ": " + SystemReason(error));
        return false;
    }
    return true;
}

// One entry of a Get request. Returns false when the request must end (421).
bool GetOne(FtpContext& session, const std::string& folder, const RemoteEntry& entry, int& result) {
    StatusView& status = session.Status();
    LogView& log = session.Log();
    const std::string localName = entry.LocalName();
    const std::string remotePath = entry.TargetPath();
    if (!IsSafeLocalName(localName)) {
        log.LogMessage("... Refused local name \"" + Printable(localName) +
                       "\": not a file name in the folder");
        result = FtpTransfers::kOpenFailed;
        return true;
    }
    const std::string command = "RETR " + remotePath;
    if (const auto problem = CommandProblem(command)) {
        log.LogMessage("... Refused remote name \"" + Printable(remotePath) + "\": " + *problem);
        result = FtpSession::kCommandRefused;
        return true;
    }
    status.SetStatus("GETing " + localName);
    log.LogMessage("GETing " + remotePath + " -> " + folder);
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
        log.LogMessage("... Open failed on " + path);
        result = FtpTransfers::kOpenFailed;
        return true;
    }

    BufferedSocket data;
    int controlReply = 0;
    if (!FtpDataConnection::Open(session, command, data, &controlReply)) {
        if (controlReply == kLostConnection) {
            result = kLostConnection;
            return false;  // as after a preliminary 421, the file's time is left alone
        }
        FinishLocalFile(session, file, path, entry.Time());
        return true;
    }
    result = session.ReadReply();
    if (result == kLostConnection) {
        return false;
    }
    if (result >= 200) {
        data.Close();
        FinishLocalFile(session, file, path, entry.Time());
        return true;
    }

    session.SetTransferring(true);
    const std::uint64_t expected = TransferStatistics::ExpectedSize(entry);
    bool localFailure = !data.AllocateBuffer(FtpTransfers::kTransferBufferSize);
    if (localFailure) {
        log.LogMessage("... Write failed on " + path + ": " + SystemReason(ENOMEM));
    }
    const std::uint32_t start = TransferStatistics::Ticks(session.Options());
    std::int64_t bytes = 0;
    while (!localFailure && !session.AbortRequested()) {
        const int received = data.ReceiveBlock();
        if (received < 1) {
            if (received == -1) {
                LogDataFailure(session, "Receive");
            }
            break;
        }
        if (const int error = WriteAll(file.Fd(), data.Buffer(), static_cast<std::size_t>(received));
            error != 0) {
            log.LogMessage("... Write failed on " + path + ": " + SystemReason(error));
            localFailure = true;
            break;
        }
        bytes += received;
        status.SetProgress(TransferStatistics::Percent(static_cast<std::uint64_t>(bytes), expected));
    }
    const std::uint32_t end = TransferStatistics::Ticks(session.Options());
    LogStatistics(session, "received", bytes, start, end);
    // Closed before the final reply: a server with data still to send then notices and answers at once.
    data.Close();
    result = session.ReadReply();
    session.SetTransferring(false);
    status.SetStatus(std::nullopt);
    status.SetProgress(0);
    if (!FinishLocalFile(session, file, path, entry.Time())) {
        localFailure = true;
    }
    if (localFailure) {
        result = LocalFailureResult(result);
    }
    // A final 421 ends the request here rather than at the next entry's PASV or PORT, which could only
    // fail too, after truncating that entry's local file.
    return result != kLostConnection;
}

// One dropped file of a Put request. Returns false when the request must end (421).
bool PutOne(FtpContext& session, const std::string& localPath, int& result) {
    StatusView& status = session.Status();
    LogView& log = session.Log();
    const std::size_t slash = localPath.rfind('/');
    const std::string name = slash == std::string::npos ? localPath : localPath.substr(slash + 1);
    const std::string command = "STOR " + name;
    if (const auto problem = CommandProblem(command)) {
        log.LogMessage("... Refused local name \"" + Printable(name) + "\": " + *problem);
        result = FtpSession::kCommandRefused;
        return true;
    }
    status.SetStatus("PUTing ...");
    log.LogMessage("PUTing " + localPath);
    // O_NONBLOCK only so that a FIFO cannot hold the open; it is refused below like a folder.
    LocalFile file(::open(localPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat info {};
    if (!file.IsOpen() || ::fstat(file.Fd(), &info) != 0 || !S_ISREG(info.st_mode)) {
        log.LogMessage("... Open failed on " + localPath);
        result = FtpTransfers::kOpenFailed;
        return true;
    }
    status.SetStatus("PUTing " + name);
    const std::int64_t length = info.st_size;
    const std::int32_t modified = ToListingTime(info.st_mtim);

    BufferedSocket data;
    int controlReply = 0;
    if (!FtpDataConnection::Open(session, command, data, &controlReply)) {
        if (controlReply == kLostConnection) {
            result = kLostConnection;
            return false;
        }
        return true;
    }
    result = session.ReadReply();
    if (result == kLostConnection) {
        return false;
    }
    if (result >= 200) {
        return true;
    }

    session.SetTransferring(true);
    bool localFailure = !data.AllocateBuffer(FtpTransfers::kTransferBufferSize);
    if (localFailure) {
        log.LogMessage("... Read failed on " + localPath + ": " + SystemReason(ENOMEM));
    }
    const std::uint32_t start = TransferStatistics::Ticks(session.Options());
    std::int64_t bytes = 0;
    while (!localFailure && !session.AbortRequested()) {
        ssize_t got = 0;
        do {
            got = ::read(file.Fd(), data.Buffer(), FtpTransfers::kTransferBufferSize);
        } while (got < 0 && errno == EINTR);
        if (got < 0) {
            log.LogMessage("... Read failed on " + localPath + ": " + SystemReason(errno));
            localFailure = true;
            break;
        }
        if (got == 0) {
            break;
        }
        if (data.SendBlock(static_cast<int>(got)) < 1) {
            LogDataFailure(session, "Send");
            break;
        }
        bytes += got;
        status.SetProgress(TransferStatistics::Percent(static_cast<std::uint64_t>(bytes),
                                                       static_cast<std::uint64_t>(length)));
    }
    const std::uint32_t end = TransferStatistics::Ticks(session.Options());
    LogStatistics(session, "sent", bytes, start, end);
    // The close marks the end of the file for the server; a file cut short must not look like a whole one.
    if (localFailure || session.AbortRequested()) {
        ResetConnection(data);
    } else {
        data.Close();
    }
    result = session.ReadReply();
    session.SetTransferring(false);
    session.Remote().UploadedFile(name, length, modified);
    status.SetStatus(std::nullopt);
    status.SetProgress(0);
    if (localFailure) {
        result = LocalFailureResult(result);
    }
    return result != kLostConnection;
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

int FtpTransfers::ListDirectory(FtpContext& session, std::string_view path) {
    StatusView& status = session.Status();
    const int result = [&] {
        int code = SelectType(session, kAsciiType);
        const std::string announce = "LISTing " + std::string(path);
        status.SetStatus(announce);
        session.Log().LogMessage(announce);
        if (!IsPositiveCompletion(code)) {
            return code;
        }
        BufferedSocket data;
        int controlReply = 0;
        if (!FtpDataConnection::Open(session, "LIST", data, &controlReply)) {
            return controlReply == kLostConnection ? kLostConnection : code;
        }
        code = session.ReadReply();
        if (code >= 200) {
            return code;
        }
        session.SetTransferring(true);
        const std::uint32_t start = TransferStatistics::Ticks(session.Options());
        std::int64_t bytes = 0;
        if (data.AllocateBuffer(kListBufferSize)) {
            std::string line;
            while (!session.AbortRequested()) {
                const int length = data.ReadLine(line, kListLineSize);
                if (length <= 0) {
                    if (length < 0) {
                        LogDataFailure(session, "Receive", true);
                    }
                    break;
                }
                bytes += length;
                session.Remote().AddListingLine(line);
            }
        }
        const std::uint32_t end = TransferStatistics::Ticks(session.Options());
        LogStatistics(session, "received", bytes, start, end);
        // A listing that stopped early (empty or over-long line) may still have data on the way; closing
        // lets the server finish instead of waiting for room to send.
        data.Close();
        code = session.ReadReply();
        session.SetTransferring(false);
        session.Remote().FinishListing(!session.AbortRequested());
        return code;
    }();
    session.ClearAbortRequested();
    status.SetStatus(std::nullopt);
    return result;
}

int FtpTransfers::GetFiles(FtpContext& session, FtpRequest& request) {
    const std::unique_ptr<FtpRequestObject> selection = std::move(request.object);
    int result = SelectType(session, request.value);
    if (!IsPositiveCompletion(result)) {
        return result;
    }
    if (const auto* indexes = dynamic_cast<const SelectionIndexes*>(selection.get())) {
        for (const std::int32_t index : indexes->indexes) {
            if (session.AbortRequested()) {
                break;
            }
            if (!GetOne(session, request.text, session.Remote().EntryAt(index), result)) {
                break;
            }
        }
    }
    session.ClearAbortRequested();
    session.Status().SetStatus(std::nullopt);
    session.Status().SetProgress(0);
    return result;
}

int FtpTransfers::PutFiles(FtpContext& session, FtpRequest& request) {
    const std::unique_ptr<FtpRequestObject> dropped = std::move(request.object);
    int result = SelectType(session, request.value);
    if (!IsPositiveCompletion(result)) {
        return result;
    }
    if (const auto* files = dynamic_cast<const DroppedFiles*>(dropped.get())) {
        for (const std::string& path : files->paths) {
            if (session.AbortRequested()) {
                break;
            }
            if (!PutOne(session, path, result)) {
                break;
            }
        }
    }
    session.ClearAbortRequested();
    session.Status().SetStatus(std::nullopt);
    session.Status().SetProgress(0);
    return result;
}
