#include "engine/LocalTree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>

#include "engine/FailureText.h"
#include "engine/PrintableText.h"

LocalTree::Folder::~Folder() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

LocalTree::Folder::Folder(Folder&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

LocalTree::Folder& LocalTree::Folder::operator=(Folder&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

LocalTree::LocalTree(std::string root) : root_(std::move(root)) {
    while (root_.size() > 1 && root_.back() == '/') {
        root_.pop_back();
    }
}

std::optional<std::vector<std::string>> LocalTree::Names(std::string_view path) const {
    if (root_.empty()) {
        return std::nullopt;
    }
    std::vector<std::string> names;
    if (path == root_) {
        return names;
    }
    const std::string prefix = root_ == "/" ? root_ : root_ + "/";
    if (!path.starts_with(prefix)) {
        return std::nullopt;
    }
    std::string_view rest = path.substr(prefix.size());
    while (true) {
        const std::size_t slash = rest.find('/');
        const std::string_view name = rest.substr(0, slash);
        if (name.empty() || name == "." || name == "..") {
            return std::nullopt;
        }
        names.emplace_back(name);
        if (slash == std::string_view::npos) {
            return names;
        }
        rest = rest.substr(slash + 1);
    }
}

LocalTree::Folder LocalTree::Open(const std::vector<std::string>& names, std::size_t count, bool make,
                                  int& error) const {
    error = 0;
    Folder folder(::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.IsOpen()) {
        error = errno;
        return folder;
    }
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    for (std::size_t i = 0; i < count && i < names.size(); ++i) {
        const char* name = names[i].c_str();
        Folder next(::openat(folder.Fd(), name, kFlags));
        if (!next.IsOpen() && errno == ENOENT && make) {
            // Another may make it at the same moment: an existing folder is as good.
            if (::mkdirat(folder.Fd(), name, 0777) != 0 && errno != EEXIST) {
                error = errno;
                return Folder();
            }
            next = Folder(::openat(folder.Fd(), name, kFlags));
        }
        if (!next.IsOpen()) {
            error = errno;
            // O_NOFOLLOW with O_DIRECTORY reports a link as "not a directory": tell the two apart.
            struct stat info {};
            if ((error == ENOTDIR || error == ELOOP) &&
                ::fstatat(folder.Fd(), name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
                error = S_ISLNK(info.st_mode) ? ELOOP : ENOTDIR;
            }
            return Folder();
        }
        folder = std::move(next);
    }
    return folder;
}

int LocalTree::SetFolderTime(std::string_view path, std::int64_t time) const {
    const auto names = Names(path);
    if (!names || names->empty()) {
        return EINVAL;
    }
    int error = 0;
    const Folder parent = Open(*names, names->size() - 1, false, error);
    if (!parent.IsOpen()) {
        return error;
    }
    const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<std::time_t>(time), 0}};
    return ::utimensat(parent.Fd(), names->back().c_str(), times, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
}

std::optional<std::string> LocalTree::InTheWay(int error) {
    if (error == ENOTDIR) {
        return "a file of that name is in the way";
    }
    if (error == ELOOP) {
        return "a link of that name is in the way (links in the folder are not followed)";
    }
    return std::nullopt;
}

void LocalTree::MakeFolders(const std::vector<TransferFolder>& folders, LogView& log) const {
    for (const TransferFolder& folder : folders) {
        const auto names = Names(folder.path);
        if (!names) {
            log.LogMessage("... Refused the folder " + Printable(folder.path) + ": not below " +
                           Printable(root_));
            continue;
        }
        int error = 0;
        if (!Open(*names, names->size(), true, error).IsOpen()) {
            log.LogMessage("... Could not make the folder " + Printable(folder.path) + ": " +
                           InTheWay(error).value_or(FailureText::SystemError(error)));
        }
    }
}

void LocalTree::SetFolderTimes(const std::vector<TransferFolder>& folders, LogView& log) const {
    for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) {
        if (folder->time <= 0) {
            continue;
        }
        if (const int error = SetFolderTime(folder->path, folder->time); error != 0) {
            log.LogMessage("... Set time failed on " + Printable(folder->path) + ": " +
                           FailureText::SystemError(error));
        }
    }
}
