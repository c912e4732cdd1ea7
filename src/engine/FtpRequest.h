#pragma once
// One queued request of a session: its kind, text, owned object and value, and the objects that requests
// carry (the selected slot indexes of Delete and Get, the dropped files of Put).
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

enum class FtpRequestKind : std::int32_t {
    ChangeDir = 0,
    UpOneLevel = 1,
    Delete = 2,
    Get = 3,
    Put = 4,
    Logoff = 5,
    // text: the new folder's name, in the current directory.
    MakeFolder = 6,
    // object: RenameNames.
    Rename = 7,
    // object: FolderSelection; posts a DeletePlan to the Remote page.
    WalkTrees = 8,
    // object: the DeletePlan the user agreed to.
    RemoveTrees = 9,
    // text: the local folder; object: FolderSelection; value: transfer type. Walks the selected folders'
    // trees on the server and posts a download TransferPlan to the Remote page.
    WalkDownload = 10,
    // text: the server folder uploaded into; object: DroppedFiles; value: transfer type. Walks the local
    // trees, looks at the server folders that exist already, and posts an upload TransferPlan.
    WalkUpload = 11,
};

// Transfer type index -> the command that selects it.
inline constexpr std::string_view kTransferTypeCommands[] = {"TYPE A N", "TYPE I"};
inline constexpr int kAsciiType = 0;
inline constexpr int kImageType = 1;

// Base of every object handed over with a request; owning it through unique_ptr means that whoever ends
// the request (its handler, Abort, or the end of the session) releases it exactly once.
class FtpRequestObject {
  public:
    virtual ~FtpRequestObject() = default;
};

// Slot indexes of the Remote page's current entries, in row order (Delete and Get).
class SelectionIndexes : public FtpRequestObject {
  public:
    SelectionIndexes() = default;
    explicit SelectionIndexes(std::vector<std::int32_t> indexes) : indexes(std::move(indexes)) {}
    std::vector<std::int32_t> indexes;
};

// Full local paths of the files dropped on the Remote page (Put).
class DroppedFiles : public FtpRequestObject {
  public:
    DroppedFiles() = default;
    explicit DroppedFiles(std::vector<std::string> paths) : paths(std::move(paths)) {}
    std::vector<std::string> paths;
};

// One entry of the current directory to rename: its slot, the server's bytes of its name, and the new name
// as the user typed it (UTF-8).
class RenameNames : public FtpRequestObject {
  public:
    RenameNames() = default;
    RenameNames(std::int32_t slot, std::string oldName, std::string newName)
        : slot(slot), oldName(std::move(oldName)), newName(std::move(newName)) {}
    std::int32_t slot = -1;
    std::string oldName;
    std::string newName;
};

// Entries of a Delete that holds folders, copied when the user chose them: their folder (absolute), their
// slots and names and kinds, so that the walk needs nothing of the listing shown meanwhile.
class FolderSelection : public FtpRequestObject {
  public:
    struct Chosen {
        std::int32_t slot = -1;
        std::string name;
        bool folder = false;
        // A link: a folder when CWD into it succeeds, else a file.
        bool link = false;
    };
    std::string folder;
    std::vector<Chosen> entries;
};

// One file of a Get or a Put as a row of the transfer queue: everything the worker needs to move it, or
// to move the rest of it, without the Remote page's current listing.
struct TransferItem {
    // The queue row the worker reports to; 0 for none.
    std::uint64_t row = 0;
    // The server's folder holding the file, absolute as the listing named it ("/pub"), and the file's
    // name there as the server's bytes.
    std::string remoteFolder;
    std::string remoteName;
    // Download: the local file written; upload: the local file read.
    std::string localPath;
    // As listed (download) or as last seen; -1 when unknown.
    std::int64_t size = -1;
    std::int32_t time = -1;
    // The listed time is UTC to the second (MLSD): no MDTM needed.
    bool exactTime = false;
    // Continue a partial file where it stops rather than write it again from its first byte.
    bool resume = false;
};

// A folder a tree transfer makes on the receiving side before its files (empty ones too): the local
// path of a download, the server's absolute path of an upload; its time is set once its files are in.
struct TransferFolder {
    std::string path;
    // As listed or found locally, seconds since the epoch; -1 when unknown.
    std::int32_t time = -1;
};

// Queue rows the user stopped before their turn: the user-interface thread adds, the worker skips them
// (reporting them Stopped) when it reaches them.
class TransferStopList {
  public:
    void Stop(std::uint64_t row) {
        std::lock_guard lock(mutex_);
        rows_.insert(row);
    }
    bool Stopped(std::uint64_t row) const {
        std::lock_guard lock(mutex_);
        return rows_.count(row) > 0;
    }

  private:
    mutable std::mutex mutex_;
    std::unordered_set<std::uint64_t> rows_;
};

// The files of a Get or a Put given as queue rows (value: transfer type, as for the other objects).
class TransferItems : public FtpRequestObject {
  public:
    TransferItems() = default;
    explicit TransferItems(std::vector<TransferItem> items) : items(std::move(items)) {}
    std::vector<TransferItem> items;
    // Folders to make before the items, parents first (tree transfers; empty otherwise).
    std::vector<TransferFolder> folders;
    // Shared with the queue that made the rows; may be null.
    std::shared_ptr<const TransferStopList> stops;
};

struct FtpRequest {
    FtpRequestKind kind = FtpRequestKind::ChangeDir;
    std::string text;
    std::unique_ptr<FtpRequestObject> object;
    std::int32_t value = 0;

    // The object as the kind's type; null when it is absent or of another type.
    SelectionIndexes* Selection() const { return dynamic_cast<SelectionIndexes*>(object.get()); }
    DroppedFiles* Dropped() const { return dynamic_cast<DroppedFiles*>(object.get()); }
    TransferItems* Transfers() const { return dynamic_cast<TransferItems*>(object.get()); }
};
