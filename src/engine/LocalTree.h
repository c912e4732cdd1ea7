#pragma once
// The folders below a chosen local folder, reached one name at a time (openat with O_NOFOLLOW), so that
// a link in the tree, planted there or left from before, never leads a download out of the chosen folder.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/FtpRequest.h"
#include "views/LogView.h"

class LocalTree {
  public:
    // An open folder of the tree; closed when it goes.
    class Folder {
      public:
        Folder() = default;
        explicit Folder(int fd) : fd_(fd) {}
        ~Folder();
        Folder(Folder&& other) noexcept;
        Folder& operator=(Folder&& other) noexcept;
        Folder(const Folder&) = delete;
        Folder& operator=(const Folder&) = delete;

        bool IsOpen() const { return fd_ >= 0; }
        int Fd() const { return fd_; }

      private:
        int fd_ = -1;
    };

    // `root`: the chosen folder, taken as it is (the user chose it, links and all).
    explicit LocalTree(std::string root);

    const std::string& Root() const { return root_; }
    // The names leading from the root to `path` ("" for the root itself gives none); nothing when `path`
    // is not below the root or holds an empty name, "." or "..".
    std::optional<std::vector<std::string>> Names(std::string_view path) const;
    // Opens the folder reached by the first `count` of `names`, making each missing one when `make` (one
    // that exists is fine). A link on the way is never followed. On failure `error` is the errno.
    Folder Open(const std::vector<std::string>& names, std::size_t count, bool make, int& error) const;
    // Gives the folder at `path` the time `time` (seconds since the epoch); 0, or the errno.
    int SetFolderTime(std::string_view path, std::int64_t time) const;

    // The folders of a downloaded tree, parents first, made before its files (empty ones too); one that
    // cannot be made is logged, and the files below it fail when they come.
    void MakeFolders(const std::vector<TransferFolder>& folders, LogView& log) const;
    // Each folder's time once its files are written: deepest first, so that setting one does not change
    // its parent's. Failures are logged.
    void SetFolderTimes(const std::vector<TransferFolder>& folders, LogView& log) const;

    // A failure of Open in words when something other than a folder was in the way; else nothing (the
    // system's reason says it).
    static std::optional<std::string> InTheWay(int error);

  private:
    std::string root_;
};
