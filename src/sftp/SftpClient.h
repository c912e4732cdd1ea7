#pragma once
// The SFTP subsystem over one logged-in SshConnection (RAII over libssh's sftp_session): folder listings,
// downloads with many reads in flight, uploads, and the file commands. Used on the connection's thread only;
// every failure is a result with its reason and a log line, never an exception.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sftp/SftpEntry.h"
#include "sftp/SshConnection.h"
#include "sftp/SshResult.h"

struct sftp_session_struct;
struct sftp_file_struct;

// Progress and abort of one transfer.
struct SftpTransferControl {
    // Bytes of the file done so far (the resumed part included) and the whole size (-1 when unknown).
    std::function<void(std::int64_t done, std::int64_t total)> progress;
    // Set from any thread: the transfer stops after the reads in flight are drained, the session stays
    // usable.
    const std::atomic<bool>* abort = nullptr;
};

struct SftpTransferResult {
    SshResult result;
    bool aborted = false;
    // Bytes moved by this call; the file's size at the destination after it.
    std::int64_t bytesMoved = 0;
    std::int64_t finalSize = 0;
    // The source file's size and time when it was opened (-1 when unknown).
    std::int64_t sourceSize = -1;
    std::int64_t sourceMtime = -1;
};

struct SftpListing {
    SshResult result;
    std::vector<SftpEntry> entries;
    // Names left out because they could name something outside the folder ("a/b", "", ".", "..").
    std::size_t refusedNames = 0;
};

struct SftpStat {
    SshResult result;
    SftpEntry attributes;
};

class SftpClient {
  public:
    // Tuning of the transfers: size and requests in flight for downloads and for uploads.
    struct Tuning {
        std::uint32_t readChunk = 64 * 1024;
        int readsInFlight = 32;
        std::uint32_t writeChunk = 64 * 1024;
        int writesInFlight = 32;
    };

    explicit SftpClient(SshConnection& connection);
    ~SftpClient();
    SftpClient(const SftpClient&) = delete;
    SftpClient& operator=(const SftpClient&) = delete;

    // Starts the SFTP subsystem; logs the protocol version.
    SshResult Open();
    bool IsOpen() const { return sftp_ != nullptr; }
    int Version() const;
    void SetTuning(const Tuning& tuning) { tuning_ = tuning; }

    // The absolute form of `path` ("." is the login folder).
    std::string RealPath(const std::string& path, SshResult* result = nullptr);
    // Every name of the folder in one pass, "." and ".." left out. With `each`, the entries go to it as
    // they arrive instead of into the listing, so that a long folder shows its first names at once.
    SftpListing List(const std::string& folder, const std::function<void(const SftpEntry&)>& each = nullptr);
    SftpStat Stat(const std::string& path);
    SshResult Remove(const std::string& path);
    SshResult RemoveFolder(const std::string& path);
    SshResult MakeFolder(const std::string& path, std::uint32_t permissions = 0755);
    SshResult Rename(const std::string& from, const std::string& to);
    SshResult SetTimes(const std::string& path, std::int64_t atime, std::int64_t mtime);

    // Remote file from `offset` into a local file, written from the same offset (the file is cut there
    // first, so a resumed file never keeps a stale tail). Reads until the server says end of file.
    SftpTransferResult Download(const std::string& remotePath, const std::string& localPath,
                                std::int64_t offset, const SftpTransferControl& control = {});
    SftpTransferResult DownloadToFd(const std::string& remotePath, int localFd, std::int64_t offset,
                                    const SftpTransferControl& control = {});
    // Local file from `offset` to the remote file at the same offset (created, or cut there when it exists).
    SftpTransferResult Upload(const std::string& localPath, const std::string& remotePath,
                              std::int64_t offset, const SftpTransferControl& control = {});
    SftpTransferResult UploadFromFd(int localFd, const std::string& remotePath, std::int64_t offset,
                                    const SftpTransferControl& control = {});

    // Can a listed name be used as one component of a path?
    static bool IsSafeName(const std::string& name);

  private:
    // "<what>: <status or libssh error>", logged.
    SshResult Failure(const std::string& what);
    // Both log channels escape control characters: names come from the server.
    void Traffic(const std::string& line);
    void Message(const std::string& line);
    bool Aborted(const SftpTransferControl& control) const;
    // Writes the local file from `position` with many writes in flight; the bytes the server confirmed
    // without a gap from `position` on are added to `transfer`.
    void PipelinedWrite(sftp_file_struct* file, int localFd, std::int64_t position,
                        const std::string& remotePath, const SftpTransferControl& control,
                        SftpTransferResult& transfer);

    SshConnection& connection_;
    sftp_session_struct* sftp_ = nullptr;
    Tuning tuning_;
};
