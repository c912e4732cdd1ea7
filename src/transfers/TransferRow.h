#pragma once
// One file of the transfer queue as the user sees it and the queue keeps it: where it goes, how far it
// got, what state it is in and why.
#include <cstdint>
#include <string>
#include <string_view>

enum class TransferDirection : std::int32_t { Download = 0, Upload = 1 };

enum class TransferState : std::int32_t {
    Queued = 0,
    Running = 1,
    Done = 2,
    Failed = 3,
    Skipped = 4,
    Interrupted = 5
};

struct TransferRow {
    std::uint64_t id = 0;
    TransferDirection direction = TransferDirection::Download;
    // The session's URL without its password: scheme://user@host:port.
    std::string site;
    std::string localPath;
    // The server's folder and the file's name there, as the server's bytes.
    std::string remoteFolder;
    std::string remoteName;
    // The request's transfer type (kAsciiType, kImageType).
    int type = 0;
    // As listed (download) or as found on disk (upload); -1 when unknown.
    std::int64_t size = -1;
    std::int32_t time = -1;
    bool exactTime = false;
    std::int64_t bytesDone = 0;
    TransferState state = TransferState::Queued;
    // Why the row failed, was skipped or stopped, or why it is being tried again, in words.
    std::string reason;
    // 0 while the worker's retries are not in use; 1..3 while it tries again.
    int attempt = 0;
    // From the progress reports of the running attempt; 0 and -1 when unknown.
    double bytesPerSecond = 0;
    std::int64_t secondsLeft = -1;

    // Queued or running: the session still owes an end for it.
    bool Unfinished() const { return state == TransferState::Queued || state == TransferState::Running; }
    bool operator==(const TransferRow&) const = default;
};

// The state as the Transfers page writes it.
std::string_view TransferStateName(TransferState state);

// `url` with any password dropped from its login part ("ftp://joe:pw@host:21/x" -> "ftp://joe@host:21/x").
std::string SiteWithoutPassword(std::string_view url);
