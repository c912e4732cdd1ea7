#include "remote/TransferPlanResolver.h"

#include <sys/stat.h>

#include <string>
#include <string_view>
#include <unordered_set>

#include "engine/TransferPlan.h"
#include "remote/ConflictResolver.h"
#include "remote/DownloadChoices.h"

namespace {

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string NameOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string RemotePath(const TransferItem& item) {
    return (item.remoteFolder.ends_with('/') ? item.remoteFolder : item.remoteFolder + "/") + item.remoteName;
}

}  // namespace

TransferPlanResolver::Result TransferPlanResolver::Resolve(const TransferPlan& plan,
                                                           DownloadChoices& choices) {
    Result result;
    ConflictResolver resolver(choices);
    // Targets this transfer writes: a renamed file must not take a name another file of it is given.
    std::unordered_set<std::string> planned;
    for (const PlannedFile& file : plan.files) {
        planned.insert(plan.upload ? RemotePath(file.item) : file.item.localPath);
    }
    for (const PlannedFile& file : plan.files) {
        TransferItem item = file.item;
        TransferConflict conflict;
        conflict.direction = plan.upload ? TransferDirection::Upload : TransferDirection::Download;
        conflict.sourceSize = item.size;
        conflict.sourceTime = item.time;
        if (plan.upload) {
            if (!file.targetExists) {
                result.files.push_back(std::move(item));
                continue;
            }
            conflict.target = RemotePath(item);
            conflict.targetSize = file.targetSize;
            conflict.targetTime = file.targetTime;
            conflict.canResume = plan.type == kImageType && file.targetSize >= 0 && item.size >= 0 &&
                                 file.targetSize < item.size;
        } else {
            struct stat info {};
            if (::lstat(item.localPath.c_str(), &info) != 0) {
                result.files.push_back(std::move(item));
                continue;
            }
            conflict.target = item.localPath;
            conflict.targetSize = static_cast<std::int64_t>(info.st_size);
            conflict.targetTime = static_cast<std::int64_t>(info.st_mtime);
            // Only a binary copy shorter than the listed file can be continued where it stops.
            conflict.canResume = plan.type == kImageType && S_ISREG(info.st_mode) && item.size >= 0 &&
                                 info.st_size < item.size;
        }
        const std::string name = plan.upload ? item.remoteName : NameOf(item.localPath);
        const std::string folder = plan.upload ? item.remoteFolder : FolderOf(item.localPath);
        const ConflictResolver::Decision decision =
            resolver.Resolve(conflict, name, [&](std::string_view candidate) {
                if (plan.upload) {
                    const std::string path =
                        (folder.ends_with('/') ? folder : folder + "/") + std::string(candidate);
                    const auto names = plan.remoteNames.find(folder);
                    return planned.count(path) > 0 || (names != plan.remoteNames.end() &&
                                                       names->second.count(std::string(candidate)) > 0);
                }
                const std::string path = folder + std::string(candidate);
                struct stat taken {};
                return planned.count(path) > 0 || ::lstat(path.c_str(), &taken) == 0;
            });
        switch (decision.outcome) {
            case ConflictResolver::Outcome::Cancel:
                result.cancelled = true;
                result.files.clear();
                result.skipped.clear();
                return result;
            case ConflictResolver::Outcome::Skip:
                result.skipped.push_back(std::move(item));
                continue;
            case ConflictResolver::Outcome::Resume:
                item.resume = true;
                break;
            case ConflictResolver::Outcome::Rename:
                if (plan.upload) {
                    item.remoteName = decision.newName;
                    planned.insert(RemotePath(item));
                } else {
                    item.localPath = folder + decision.newName;
                    planned.insert(item.localPath);
                }
                break;
            case ConflictResolver::Outcome::Write:
                break;
        }
        result.files.push_back(std::move(item));
    }
    return result;
}
