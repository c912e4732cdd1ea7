#pragma once
// A target of a download or an upload that exists already, and what the user may do about it: the facts
// the conflict question shows and the answer it gives.
#include <cstdint>
#include <string>

#include "transfers/TransferRow.h"

struct TransferConflict {
    TransferDirection direction = TransferDirection::Download;
    // What the question names: the local path of a download, the server's path of an upload.
    std::string target;
    // Sizes in bytes and times in seconds since the epoch (UTC); -1 when unknown.
    std::int64_t sourceSize = -1;
    std::int64_t targetSize = -1;
    std::int64_t sourceTime = -1;
    std::int64_t targetTime = -1;
    // The target is a shorter binary copy that may be continued where it stops.
    bool canResume = false;
};

enum class ConflictAction {
    Overwrite,
    // Overwrite when the source is newer than the target, else skip.
    OverwriteIfNewer,
    // Continue the target where it stops; only offered when canResume.
    Resume,
    Skip,
    // Write to a free name beside the target ("name (2).ext").
    Rename,
    // Give up the whole transfer.
    Cancel,
};

struct ConflictAnswer {
    ConflictAction action = ConflictAction::Cancel;
    // "Do this for all remaining conflicts".
    bool forAll = false;
};
