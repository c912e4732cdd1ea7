#pragma once
// The facts of a conflict as the question shows them, from what the page knows: the listed entry of the
// server's side and the local file's size and time; a listing that gave no size or date says "unknown".
#include <cstdint>
#include <string>

#include "listing/RemoteEntry.h"
#include "remote/TransferConflict.h"

class ConflictFacts {
  public:
    // A download of `source` over the local file `localPath`, `localSize` bytes modified at `localTime`.
    static TransferConflict OfDownload(std::string localPath, const RemoteEntry& source,
                                       std::int64_t localSize, std::int64_t localTime, bool canResume);
    // An upload of a local file (`localSize` bytes, modified at `localTime`) over `existing`, listed in
    // the server's folder `folder`.
    static TransferConflict OfUpload(const std::string& folder, const RemoteEntry& existing,
                                     std::int64_t localSize, std::int64_t localTime, bool canResume);
    // The listed size and time, -1 where the listing gave none (an entry without them holds 0).
    static std::int64_t ListedSize(const RemoteEntry& entry);
    static std::int64_t ListedTime(const RemoteEntry& entry);
};
