#include "engine/LocalTreeWalk.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "engine/FailureText.h"
#include "engine/FtpFolderCommands.h"
#include "engine/PrintableText.h"
#include "engine/TransferPlan.h"
#include "views/LogView.h"

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

std::int32_t ListingTime(const timespec& time) {
    if (time.tv_sec < 0 || time.tv_sec > std::numeric_limits<std::int32_t>::max()) {
        return -1;
    }
    return static_cast<std::int32_t>(time.tv_sec);
}

}  // namespace

LocalTreeWalk::LocalTreeWalk(LogView& log, TransferPlan& plan, std::function<bool()> stopRequested)
    : log_(log), plan_(plan), stopRequested_(std::move(stopRequested)) {}

std::string LocalTreeWalk::NameProblem(std::string_view name) {
    if (name.empty() || name == "." || name == "..") {
        return "it is not a name in the folder";
    }
    if (name.find('/') != std::string_view::npos) {
        return "it holds a '/'";
    }
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            return "it holds a control character";
        }
    }
    return {};
}

bool LocalTreeWalk::Add(const std::string& localPath, const std::string& remoteFolder) {
    std::string path = localPath;
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    const std::size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return AddEntry(path, name, remoteFolder, name, 1);
}

bool LocalTreeWalk::Stopped() {
    if (!plan_.stopped && stopRequested_ && stopRequested_()) {
        plan_.stopped = true;
    }
    return plan_.stopped;
}

void LocalTreeWalk::Problem(const std::string& text) {
    log_.LogMessage("... " + text);
    plan_.problems.push_back(text);
}

bool LocalTreeWalk::AddEntry(const std::string& localPath, const std::string& name,
                             const std::string& remoteFolder, const std::string& shown, int depth) {
    if (Stopped()) {
        return false;
    }
    if (const std::string problem = NameProblem(name); !problem.empty()) {
        Problem("Refused the name \"" + Printable(shown) + "\": " + problem);
        return true;
    }
    // Followed: a link stands for what it leads to.
    struct stat info {};
    if (::stat(localPath.c_str(), &info) != 0) {
        Problem("Could not read " + Printable(shown) + ": " + FailureText::SystemError(errno));
        return true;
    }
    if (S_ISDIR(info.st_mode)) {
        return AddFolder(localPath, FtpFolderCommands::JoinPath(remoteFolder, name), shown,
                         {info.st_dev, info.st_ino}, depth);
    }
    if (!S_ISREG(info.st_mode)) {
        Problem("Skipped " + Printable(shown) + ": neither a file nor a folder");
        return true;
    }
    PlannedFile file;
    file.item.localPath = localPath;
    file.item.remoteFolder = remoteFolder;
    file.item.remoteName = name;
    file.item.size = static_cast<std::int64_t>(info.st_size);
    file.item.time = ListingTime(info.st_mtim);
    plan_.files.push_back(std::move(file));
    return true;
}

bool LocalTreeWalk::AddFolder(const std::string& localPath, const std::string& remotePath,
                              const std::string& shown, FolderId id, int depth) {
    if (depth > TransferPlan::kMaxDepth) {
        Problem("deeper than " + std::to_string(TransferPlan::kMaxDepth) + " folders: " + Printable(shown) +
                " is not entered");
        return true;
    }
    if (entered_.count(id) > 0) {
        Problem(Printable(shown) + " leads to a folder uploaded already: it is not entered again");
        return true;
    }
    const Dir dir(::opendir(localPath.c_str()));
    if (!dir) {
        Problem("Could not read the folder " + Printable(shown) + ": " + FailureText::SystemError(errno));
        return true;
    }
    entered_.insert(id);
    struct stat info {};
    const std::int32_t time = ::stat(localPath.c_str(), &info) == 0 ? ListingTime(info.st_mtim) : -1;
    plan_.folders.push_back({remotePath, time});
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") {
            names.emplace_back(name);
        }
        errno = 0;
    }
    if (errno != 0) {
        Problem("Could not read all of the folder " + Printable(shown) + ": " +
                FailureText::SystemError(errno));
    }
    // The order of the queue rows does not depend on the file system's.
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        if (!AddEntry(localPath + "/" + name, name, remotePath, shown + "/" + name, depth + 1)) {
            return false;
        }
    }
    return true;
}
