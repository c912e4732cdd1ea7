#include "sftp/SftpClient.h"

#include <fcntl.h>
#include <libssh/libssh.h>
#include <libssh/sftp.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <memory>

#include "engine/LocalFile.h"
#include "engine/PrintableText.h"
#include "engine/TransferStatistics.h"
#include "sftp/SftpRawChannel.h"
#include "sftp/SftpStatusText.h"

namespace {

using Clock = std::chrono::steady_clock;

// A failure whose reason names a server's file: control characters in the name are escaped, so that
// the reason can go into a log line or onto the page as it is.
SshResult PrintableFailure(const std::string& why) {
    return SshResult::Failure(Printable(why));
}
constexpr std::size_t kRefusedNamesLogged = 5;

struct AttributesFree {
    void operator()(sftp_attributes attributes) const { sftp_attributes_free(attributes); }
};
using AttributesPtr = std::unique_ptr<sftp_attributes_struct, AttributesFree>;

struct FileClose {
    void operator()(sftp_file file) const { sftp_close(file); }
};
using FilePtr = std::unique_ptr<sftp_file_struct, FileClose>;

struct DirClose {
    void operator()(sftp_dir dir) const { sftp_closedir(dir); }
};
using DirPtr = std::unique_ptr<sftp_dir_struct, DirClose>;

SftpEntry EntryOf(const sftp_attributes_struct& attributes) {
    SftpEntry entry;
    if (attributes.name != nullptr) {
        entry.name = attributes.name;
    }
    switch (attributes.type) {
        case SSH_FILEXFER_TYPE_REGULAR:
            entry.kind = SftpEntryKind::File;
            break;
        case SSH_FILEXFER_TYPE_DIRECTORY:
            entry.kind = SftpEntryKind::Folder;
            break;
        case SSH_FILEXFER_TYPE_SYMLINK:
            entry.kind = SftpEntryKind::Link;
            break;
        default:
            entry.kind = SftpEntryKind::Other;
            break;
    }
    if ((attributes.flags & SSH_FILEXFER_ATTR_SIZE) != 0) {
        entry.size = static_cast<std::int64_t>(attributes.size);
    }
    if ((attributes.flags & SSH_FILEXFER_ATTR_ACMODTIME) != 0) {
        entry.mtime = attributes.mtime;
        entry.atime = attributes.atime;
    }
    if ((attributes.flags & SSH_FILEXFER_ATTR_PERMISSIONS) != 0) {
        entry.permissions = attributes.permissions & 07777;
    }
    return entry;
}

bool WriteAll(int fd, const char* data, std::size_t length, std::int64_t offset) {
    while (length > 0) {
        ssize_t written = ::pwrite(fd, data, length, offset);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        data += written;
        length -= static_cast<std::size_t>(written);
        offset += written;
    }
    return true;
}

std::uint32_t ElapsedMs(Clock::time_point start) {
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

}  // namespace

SftpClient::SftpClient(SshConnection& connection) : connection_(connection) {}

SftpClient::~SftpClient() {
    if (sftp_ != nullptr) {
        sftp_free(sftp_);
    }
}

int SftpClient::Version() const {
    return sftp_ != nullptr ? sftp_server_version(sftp_) : 0;
}

bool SftpClient::IsSafeName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

void SftpClient::Traffic(const std::string& line) {
    connection_.Log().LogTraffic(Printable(line));
}

void SftpClient::Message(const std::string& line) {
    connection_.Log().LogMessage(Printable(line));
}

bool SftpClient::Aborted(const SftpTransferControl& control) const {
    return control.abort != nullptr && control.abort->load(std::memory_order_acquire);
}

SshResult SftpClient::Failure(const std::string& what) {
    std::string why;
    ssh_session session = connection_.Native();
    if (connection_.Cancelled()) {
        why = "cancelled";
    } else if (session == nullptr || ssh_is_connected(session) == 0) {
        std::string text = connection_.ErrorText();
        why = "connection lost" + (text.empty() ? std::string() : " (" + text + ")");
    } else if (int status = sftp_ != nullptr ? sftp_get_error(sftp_) : 0; status != SSH_FX_OK) {
        why = SftpStatusText::Describe(static_cast<std::uint32_t>(status));
    } else {
        why = connection_.ErrorText();
        if (why.empty()) {
            why = "failed";
        }
    }
    std::string reason = Printable(what + ": " + why);
    connection_.Log().LogMessage(reason);
    return SshResult::Failure(std::move(reason));
}

SshResult SftpClient::Open() {
    ssh_session session = connection_.Native();
    if (session == nullptr || !connection_.IsOpen()) {
        return Failure("Start SFTP");
    }
    if (sftp_ != nullptr) {
        sftp_free(sftp_);
    }
    sftp_ = sftp_new(session);
    if (sftp_ == nullptr) {
        return Failure("Start SFTP");
    }
    if (sftp_init(sftp_) != SSH_OK) {
        SshResult failed = Failure("Start SFTP");
        sftp_free(sftp_);
        sftp_ = nullptr;
        return failed;
    }
    Message("SFTP version " + std::to_string(Version()));
    return SshResult::Success();
}

std::string SftpClient::RealPath(const std::string& path, SshResult* result) {
    Traffic("resolve " + path);
    char* resolved = sftp_ != nullptr ? sftp_canonicalize_path(sftp_, path.c_str()) : nullptr;
    if (resolved == nullptr) {
        SshResult failed = Failure("Resolve " + path);
        if (result != nullptr) {
            *result = failed;
        }
        return {};
    }
    std::string text(resolved);
    ssh_string_free_char(resolved);
    if (result != nullptr) {
        *result = SshResult::Success();
    }
    return text;
}

SftpListing SftpClient::List(const std::string& folder, const std::function<void(const SftpEntry&)>& each) {
    SftpListing listing;
    Traffic("list " + folder);
    DirPtr dir(sftp_ != nullptr ? sftp_opendir(sftp_, folder.c_str()) : nullptr);
    if (!dir) {
        listing.result = Failure("List " + folder);
        return listing;
    }
    while (true) {
        AttributesPtr attributes(sftp_readdir(sftp_, dir.get()));
        if (!attributes) {
            break;
        }
        SftpEntry entry = EntryOf(*attributes);
        if (entry.name == "." || entry.name == "..") {
            continue;
        }
        if (!IsSafeName(entry.name)) {
            // A few are named; a hostile server's million are only counted (refusedNames).
            if (++listing.refusedNames <= kRefusedNamesLogged) {
                Message("Name refused in " + folder + ": \"" + entry.name + "\" is not a plain name");
            }
            continue;
        }
        if (each) {
            each(entry);
        } else {
            listing.entries.push_back(std::move(entry));
        }
    }
    if (sftp_dir_eof(dir.get()) == 0) {
        listing.result = Failure("List " + folder);
        return listing;
    }
    listing.result = SshResult::Success();
    return listing;
}

SftpStat SftpClient::Stat(const std::string& path) {
    SftpStat stat;
    Traffic("stat " + path);
    AttributesPtr attributes(sftp_ != nullptr ? sftp_stat(sftp_, path.c_str()) : nullptr);
    if (!attributes) {
        stat.result = Failure("Stat " + path);
        return stat;
    }
    stat.attributes = EntryOf(*attributes);
    stat.result = SshResult::Success();
    return stat;
}

SshResult SftpClient::Remove(const std::string& path) {
    Traffic("remove " + path);
    if (sftp_ == nullptr || sftp_unlink(sftp_, path.c_str()) != SSH_OK) {
        return Failure("Remove " + path);
    }
    return SshResult::Success();
}

SshResult SftpClient::RemoveFolder(const std::string& path) {
    Traffic("remove folder " + path);
    if (sftp_ == nullptr || sftp_rmdir(sftp_, path.c_str()) != SSH_OK) {
        return Failure("Remove folder " + path);
    }
    return SshResult::Success();
}

SshResult SftpClient::MakeFolder(const std::string& path, std::uint32_t permissions) {
    Traffic("make folder " + path);
    if (sftp_ == nullptr || sftp_mkdir(sftp_, path.c_str(), static_cast<mode_t>(permissions)) != SSH_OK) {
        return Failure("Make folder " + path);
    }
    return SshResult::Success();
}

SshResult SftpClient::Rename(const std::string& from, const std::string& to) {
    Traffic("rename " + from + " to " + to);
    if (sftp_ == nullptr || sftp_rename(sftp_, from.c_str(), to.c_str()) != SSH_OK) {
        return Failure("Rename " + from + " to " + to);
    }
    return SshResult::Success();
}

SshResult SftpClient::SetTimes(const std::string& path, std::int64_t atime, std::int64_t mtime) {
    Traffic("set times of " + path);
    timeval times[2] = {};
    times[0].tv_sec = static_cast<time_t>(atime);
    times[1].tv_sec = static_cast<time_t>(mtime);
    if (sftp_ == nullptr || sftp_utimes(sftp_, path.c_str(), times) != SSH_OK) {
        return Failure("Set times of " + path);
    }
    return SshResult::Success();
}

SftpTransferResult SftpClient::Download(const std::string& remotePath, const std::string& localPath,
                                        std::int64_t offset, const SftpTransferControl& control) {
    SftpTransferResult transfer;
    LocalFile local(::open(localPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    struct stat localStat {};
    if (local.Fd() < 0 || ::fstat(local.Fd(), &localStat) != 0) {
        transfer.result = PrintableFailure("Cannot write " + localPath + ": " + std::strerror(errno));
        Message(transfer.result.reason);
        return transfer;
    }
    if (offset < 0 || localStat.st_size < offset) {
        transfer.result =
            PrintableFailure("Cannot resume " + localPath + " from byte " + std::to_string(offset) +
                             ": the local file holds " + std::to_string(localStat.st_size));
        Message(transfer.result.reason);
        return transfer;
    }
    if (::ftruncate(local.Fd(), offset) != 0) {
        transfer.result = PrintableFailure("Cannot write " + localPath + ": " + std::strerror(errno));
        Message(transfer.result.reason);
        return transfer;
    }
    transfer = DownloadToFd(remotePath, local.Fd(), offset, control);
    if (local.Close() != 0 && transfer.result.ok) {
        transfer.result = PrintableFailure("Cannot write " + localPath + ": " + std::strerror(errno));
        Message(transfer.result.reason);
    }
    return transfer;
}

SftpTransferResult SftpClient::DownloadToFd(const std::string& remotePath, int localFd, std::int64_t offset,
                                            const SftpTransferControl& control) {
    SftpTransferResult transfer;
    transfer.finalSize = offset;
    Traffic("open " + remotePath + " for reading");
    FilePtr file(sftp_ != nullptr ? sftp_open(sftp_, remotePath.c_str(), O_RDONLY, 0) : nullptr);
    if (!file) {
        transfer.result = Failure("Open " + remotePath);
        return transfer;
    }
    if (AttributesPtr attributes(sftp_fstat(file.get())); attributes) {
        SftpEntry entry = EntryOf(*attributes);
        transfer.sourceSize = entry.size;
        transfer.sourceMtime = entry.mtime;
    }
    Traffic("read " + remotePath + " from byte " + std::to_string(offset));
    const auto start = Clock::now();
    struct Pending {
        std::uint32_t id;
        std::int64_t offset;
        std::uint32_t length;
    };
    std::deque<Pending> pending;
    std::vector<char> buffer(tuning_.readChunk);
    std::int64_t nextOffset = offset;
    // Where the data ends as far as it came, and the first byte known not to have come (a short answer not
    // asked again, a read lost to a failure or an abort): the file is whole only up to the lower of them.
    std::int64_t highestEnd = offset;
    std::int64_t firstHole = INT64_MAX;
    // The lowest offset the server answered with end of file.
    std::int64_t endAt = INT64_MAX;
    bool endOfFile = false;
    bool failed = false;
    std::string failure;
    SftpRawChannel channel(sftp_);
    const std::string handle(static_cast<const char*>(ssh_string_data(file->handle)),
                             ssh_string_len(file->handle));
    // Answers that came before the one awaited (servers may answer out of order), by id.
    std::map<std::uint32_t, std::pair<std::uint32_t, std::string>> early;
    // Sends one read; the answers may come in any size up to `length`, each written where it belongs.
    auto request = [&](std::int64_t at, std::uint32_t length) {
        const std::uint32_t id = channel.SendRead(handle, at, length);
        if (id == 0) {
            failed = true;
            firstHole = std::min(firstHole, at);
            transfer.result = Failure("Read " + remotePath);
            return;
        }
        pending.push_back(Pending{id, at, length});
    };
    // The answer to `asked`: its bytes in `buffer` and their count, 0 at the end of the file, or -1 with the
    // failure in `transfer.result` (the connection's, or the status the server gave).
    auto receive = [&](const Pending& asked) -> int {
        std::uint32_t status = SSH_FX_OK;
        std::string bytes;
        bool data = false;
        if (auto found = early.find(asked.id); found != early.end()) {
            status = found->second.first;
            bytes = std::move(found->second.second);
            data = status == SSH_FX_OK;
            early.erase(found);
        } else {
            for (;;) {
                SftpRawChannel::Answer answer;
                std::string malformed;
                if (!channel.Next(answer, malformed)) {
                    transfer.result = malformed.empty()
                                          ? Failure("Read " + remotePath)
                                          : PrintableFailure("Read " + remotePath + ": " + malformed);
                    if (!malformed.empty()) {
                        // What follows on the channel cannot be told apart any more: the connection is done.
                        Message(transfer.result.reason);
                        connection_.Cancel();
                    }
                    return -1;
                }
                const bool isData = answer.type == SSH_FXP_DATA;
                const std::uint32_t answerStatus = isData ? SSH_FX_OK : answer.status;
                if (answer.id == asked.id) {
                    status = answerStatus;
                    bytes.assign(answer.data);
                    data = isData;
                    break;
                }
                early[answer.id] = {answerStatus, std::string(isData ? answer.data : std::string_view())};
            }
        }
        if (data && bytes.size() <= asked.length) {
            std::memcpy(buffer.data(), bytes.data(), bytes.size());
            return static_cast<int>(bytes.size());
        }
        if (!data && status == SSH_FX_EOF) {
            return 0;
        }
        transfer.result = PrintableFailure("Read " + remotePath + ": " +
                                           (data ? std::string("the server sent more than was asked for")
                                                 : SftpStatusText::Describe(status)));
        Message(transfer.result.reason);
        return -1;
    };
    while (true) {
        if (Aborted(control)) {
            transfer.aborted = true;
        }
        // Keep the server busy: many requests out, each for its own offset.
        while (!endOfFile && !failed && !transfer.aborted &&
               pending.size() < static_cast<std::size_t>(tuning_.readsInFlight)) {
            request(nextOffset, tuning_.readChunk);
            nextOffset += tuning_.readChunk;
        }
        if (pending.empty()) {
            break;
        }
        Pending asked = pending.front();
        pending.pop_front();
        const SshResult before = transfer.result;
        int got = receive(asked);
        if (got < 0) {
            firstHole = std::min(firstHole, asked.offset);
            if (failed) {
                transfer.result = before;  // the first failure is the one that counts
            }
            failed = true;
            if (!connection_.IsOpen() || connection_.Cancelled()) {
                // Nothing more will come: the answers still owed are dropped with the session.
                break;
            }
            continue;
        }
        if (got == 0) {
            endOfFile = true;
            endAt = std::min(endAt, asked.offset);
            firstHole = std::min(firstHole, asked.offset);
            continue;
        }
        if (failed || asked.offset >= endAt) {
            // After a failure, or past the end seen: the answers are drained, not used.
            continue;
        }
        if (!WriteAll(localFd, buffer.data(), static_cast<std::size_t>(got), asked.offset)) {
            failure = std::string("Cannot write the local file: ") + std::strerror(errno);
            failed = true;
            firstHole = std::min(firstHole, asked.offset);
            continue;
        }
        transfer.bytesMoved += got;
        highestEnd = std::max(highestEnd, asked.offset + got);
        if (static_cast<std::uint32_t>(got) < asked.length) {
            // A short answer: ask for the rest of that piece, unless the transfer is being wound up or the
            // file is known to end there. An end of file seen further on says nothing about this hole.
            const std::int64_t rest = asked.offset + got;
            if (transfer.aborted || rest >= endAt) {
                firstHole = std::min(firstHole, rest);
            } else {
                request(rest, asked.length - static_cast<std::uint32_t>(got));
            }
        }
        if (control.progress) {
            control.progress(offset + transfer.bytesMoved, transfer.sourceSize);
        }
    }
    transfer.finalSize = std::min(highestEnd, firstHole);
    if (!failure.empty()) {
        transfer.result = PrintableFailure(failure);
        Message(failure);
        return transfer;
    }
    if (failed) {
        return transfer;
    }
    if (transfer.aborted) {
        transfer.result = PrintableFailure("Download of " + remotePath + " aborted at byte " +
                                           std::to_string(transfer.finalSize));
        Message(transfer.result.reason);
        return transfer;
    }
    if (transfer.sourceSize >= 0 && transfer.finalSize != transfer.sourceSize) {
        Message(remotePath + " changed size during the download: " + std::to_string(transfer.sourceSize) +
                " bytes when opened, " + std::to_string(transfer.finalSize) + " read");
    }
    Message(TransferStatistics::Message("received", transfer.bytesMoved, ElapsedMs(start)));
    transfer.result = SshResult::Success();
    return transfer;
}

SftpTransferResult SftpClient::Upload(const std::string& localPath, const std::string& remotePath,
                                      std::int64_t offset, const SftpTransferControl& control) {
    LocalFile local(::open(localPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (local.Fd() < 0) {
        SftpTransferResult transfer;
        transfer.result = PrintableFailure("Cannot read " + localPath + ": " + std::strerror(errno));
        Message(transfer.result.reason);
        return transfer;
    }
    return UploadFromFd(local.Fd(), remotePath, offset, control);
}

void SftpClient::PipelinedWrite(sftp_file_struct* file, int localFd, std::int64_t position,
                                const std::string& remotePath, const SftpTransferControl& control,
                                SftpTransferResult& transfer) {
    struct Pending {
        std::uint32_t id;
        std::int64_t offset;
        std::uint32_t length;
        bool confirmed = false;
    };
    SftpRawChannel channel(sftp_);
    const std::string handle(static_cast<const char*>(ssh_string_data(file->handle)),
                             ssh_string_len(file->handle));
    const std::uint32_t chunk = std::max<std::uint32_t>(tuning_.writeChunk, 1024);
    const std::size_t depth = static_cast<std::size_t>(std::max(tuning_.writesInFlight, 1));
    std::vector<char> buffer(chunk);
    std::deque<Pending> pending;
    std::string failure;
    bool localEnd = false;
    std::int64_t next = position;
    while (true) {
        while (failure.empty() && !localEnd && pending.size() < depth &&
               !(transfer.aborted = Aborted(control))) {
            ssize_t got = ::pread(localFd, buffer.data(), chunk, next);
            while (got < 0 && errno == EINTR) {
                got = ::pread(localFd, buffer.data(), chunk, next);
            }
            if (got < 0) {
                failure = std::string("Cannot read the local file: ") + std::strerror(errno);
                Message(failure);
                break;
            }
            if (got == 0) {
                localEnd = true;
                break;
            }
            const auto length = static_cast<std::uint32_t>(got);
            const std::uint32_t id = channel.SendWrite(handle, next, buffer.data(), length);
            if (id == 0) {
                transfer.result = Failure("Write " + remotePath);
                return;
            }
            pending.push_back({id, next, length});
            next += length;
        }
        if (pending.empty()) {
            break;
        }
        SftpRawChannel::Answer answer;
        std::string malformed;
        if (!channel.Next(answer, malformed)) {
            transfer.result = malformed.empty() ? Failure("Write " + remotePath)
                                                : PrintableFailure("Write " + remotePath + ": " + malformed);
            if (!malformed.empty()) {
                // What follows on the channel cannot be told apart any more: the connection is done.
                Message(transfer.result.reason);
                connection_.Cancel();
            }
            return;
        }
        const std::uint32_t id = answer.id;
        const auto answered = std::find_if(pending.begin(), pending.end(),
                                           [id](const Pending& write) { return write.id == id; });
        if (answer.type != SSH_FXP_STATUS || answered == pending.end()) {
            transfer.result =
                PrintableFailure("Write " + remotePath + ": the server answered a write it was not sent");
            Message(transfer.result.reason);
            return;
        }
        if (answer.status != SSH_FX_OK && failure.empty()) {
            failure = "Write " + remotePath + ": " + SftpStatusText::Describe(answer.status);
            Message(failure);
        }
        answered->confirmed = answer.status == SSH_FX_OK;
        if (!failure.empty()) {
            // Nothing more counts once a write failed; only the answers still owed are awaited.
            std::erase_if(pending, [id](const Pending& write) { return write.confirmed || write.id == id; });
            continue;
        }
        // Only the unbroken start counts: a later write confirmed before an earlier one is not yet the
        // file's.
        while (!pending.empty() && pending.front().confirmed) {
            transfer.bytesMoved += pending.front().length;
            transfer.finalSize = pending.front().offset + pending.front().length;
            pending.pop_front();
            if (control.progress) {
                control.progress(transfer.finalSize, transfer.sourceSize);
            }
        }
    }
    file->offset = static_cast<std::uint64_t>(next);
    if (!failure.empty()) {
        transfer.result = PrintableFailure(failure);
    }
}

SftpTransferResult SftpClient::UploadFromFd(int localFd, const std::string& remotePath, std::int64_t offset,
                                            const SftpTransferControl& control) {
    SftpTransferResult transfer;
    struct stat localStat {};
    if (::fstat(localFd, &localStat) == 0) {
        transfer.sourceSize = localStat.st_size;
        transfer.sourceMtime = localStat.st_mtime;
    }
    if (offset < 0 || (transfer.sourceSize >= 0 && offset > transfer.sourceSize)) {
        transfer.result = PrintableFailure("Cannot resume the upload of " + remotePath + " from byte " +
                                           std::to_string(offset));
        Message(transfer.result.reason);
        return transfer;
    }
    if (offset > 0) {
        SftpStat remote = Stat(remotePath);
        if (!remote.result.ok || remote.attributes.size < offset) {
            transfer.result = PrintableFailure("Cannot resume the upload of " + remotePath + " from byte " +
                                               std::to_string(offset) + ": the server's file is shorter");
            Message(transfer.result.reason);
            return transfer;
        }
    }
    Traffic("open " + remotePath + " for writing" +
            (offset > 0 ? " from byte " + std::to_string(offset) : ""));
    int flags = O_WRONLY | O_CREAT | (offset == 0 ? O_TRUNC : 0);
    FilePtr file(sftp_ != nullptr ? sftp_open(sftp_, remotePath.c_str(), flags, 0644) : nullptr);
    if (!file) {
        transfer.result = Failure("Open " + remotePath);
        return transfer;
    }
    if (offset > 0) {
        // A resumed file keeps nothing past the point it goes on from.
        sftp_attributes_struct cut{};
        cut.flags = SSH_FILEXFER_ATTR_SIZE;
        cut.size = static_cast<std::uint64_t>(offset);
        if (sftp_setstat(sftp_, remotePath.c_str(), &cut) != SSH_OK) {
            transfer.result = Failure("Cut " + remotePath + " at byte " + std::to_string(offset));
            return transfer;
        }
    }
    const auto start = Clock::now();
    transfer.finalSize = offset;
    PipelinedWrite(file.get(), localFd, offset, remotePath, control, transfer);
    if (!transfer.result.reason.empty()) {
        return transfer;
    }
    Traffic("close " + remotePath);
    if (sftp_close(file.release()) != SSH_OK) {
        transfer.result = Failure("Close " + remotePath);
        return transfer;
    }
    if (transfer.aborted) {
        transfer.result = PrintableFailure("Upload of " + remotePath + " aborted at byte " +
                                           std::to_string(transfer.finalSize));
        Message(transfer.result.reason);
        return transfer;
    }
    Message(TransferStatistics::Message("sent", transfer.bytesMoved, ElapsedMs(start)));
    transfer.result = SshResult::Success();
    return transfer;
}
