#pragma once
// One queued request of a session: its kind, text, owned object and value, and the objects that requests
// carry (the selected slot indexes of Delete and Get, the dropped files of Put).
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

enum class FtpRequestKind : std::int32_t {
    ChangeDir = 0,
    UpOneLevel = 1,
    Delete = 2,
    Get = 3,
    Put = 4,
    Logoff = 5,
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

struct FtpRequest {
    FtpRequestKind kind = FtpRequestKind::ChangeDir;
    std::string text;
    std::unique_ptr<FtpRequestObject> object;
    std::int32_t value = 0;

    // The object as the kind's type; null when it is absent or of another type.
    SelectionIndexes* Selection() const { return dynamic_cast<SelectionIndexes*>(object.get()); }
    DroppedFiles* Dropped() const { return dynamic_cast<DroppedFiles*>(object.get()); }
};
