#include "remote/ConflictFacts.h"

#include <utility>

TransferConflict ConflictFacts::OfDownload(std::string localPath, const RemoteEntry& source,
                                           std::int64_t localSize, std::int64_t localTime, bool canResume) {
    TransferConflict conflict;
    conflict.direction = TransferDirection::Download;
    conflict.target = std::move(localPath);
    conflict.sourceSize = ListedSize(source);
    conflict.sourceTime = ListedTime(source);
    conflict.targetSize = localSize;
    conflict.targetTime = localTime;
    conflict.canResume = canResume;
    return conflict;
}

TransferConflict ConflictFacts::OfUpload(const std::string& folder, const RemoteEntry& existing,
                                         std::int64_t localSize, std::int64_t localTime, bool canResume) {
    TransferConflict conflict;
    conflict.direction = TransferDirection::Upload;
    conflict.target = (folder.ends_with('/') ? folder : folder + "/") + existing.Name();
    conflict.sourceSize = localSize;
    conflict.sourceTime = localTime;
    conflict.targetSize = ListedSize(existing);
    conflict.targetTime = ListedTime(existing);
    conflict.canResume = canResume;
    return conflict;
}

std::int64_t ConflictFacts::ListedSize(const RemoteEntry& entry) {
    return entry.SizeText().empty() || entry.Size() < 0 ? -1 : entry.Size();
}

std::int64_t ConflictFacts::ListedTime(const RemoteEntry& entry) {
    return entry.DateText().empty() || entry.Time() < 0 ? -1 : entry.Time();
}
