#pragma once
// One file, directory or link of a remote directory listing: the texts the Remote page shows, the size
// and time it sorts by, and the paths a download or a change of directory uses.
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

// Doubles as the entry's icon index in the Remote page's image lists.
enum class EntryKind : std::int32_t { Directory = 0, Link = 1, File = 2 };

// What a listing that names its facts (MLSD, DOS, EPLF) says about one entry; -1 marks a size or a time
// the line did not give.
struct ListedFacts {
    std::string_view name;
    EntryKind kind = EntryKind::File;
    std::string_view linkTarget;
    std::int64_t size = -1;
    std::int32_t time = -1;
    // The time is UTC to the second (an MLSD modify fact), not a local time read from a date text.
    bool exactTime = false;
    // The permission bits (07777) of a UNIX.mode fact; -1 when the line gave none.
    int permissions = -1;
    // A time read from a local date and time of day (DOS): those, for the date text.
    struct LocalDate {
        int year;
        int month;
        int day;
        int hour;
        int minute;
    };
    std::optional<LocalDate> localDate;
};

class RemoteEntry {
  public:
    // A blank slot: empty texts, size 0, time 0, File.
    RemoteEntry() = default;
    // A file just uploaded: its date text follows the clock (now) like a listing would show it.
    RemoteEntry(std::string name, std::int64_t size, std::int32_t time);
    RemoteEntry(std::string name, std::int64_t size, std::int32_t time, std::time_t now);

    // Builds an entry from one line of a Unix long listing; a line with fewer than nine fields gives a
    // placeholder that shows the raw line in double quotes. Never fails. The line ends at its first NUL,
    // as it would for a C string; any length is safe.
    static RemoteEntry FromListingLine(std::string_view line);
    static RemoteEntry FromListingLine(std::string_view line, std::time_t now);
    // Builds an entry from the facts of a line: the size text is the size in decimal (empty when not
    // given, the size then 0), the date text the listing's short form of the time (empty without one).
    static RemoteEntry FromFacts(const ListedFacts& facts, std::time_t now);

    // Sets the size, its decimal text, the time and a date text in the listing's short form. A negative
    // time has no local-time representation and gives an empty date text.
    // The time is no longer an exact one (ExactTime is false).
    void SetSizeAndTime(std::int64_t size, std::int32_t time);
    void SetSizeAndTime(std::int64_t size, std::int32_t time, std::time_t now);

    // Sets the date text (the three fields as written) and the time from a listing's month, day and
    // time-or-year fields.
    void SetListingDate(std::string_view month, std::string_view day, std::string_view timeOrYear);
    void SetListingDate(std::string_view month, std::string_view day, std::string_view timeOrYear,
                        std::time_t now);

    const std::string& Name() const { return name_; }
    const std::string& LinkTarget() const { return linkTarget_; }
    const std::string& SizeText() const { return sizeText_; }
    const std::string& DateText() const { return dateText_; }
    // Unix listings give the size modulo 2^32 as a signed 32-bit value; the other formats exactly.
    std::int64_t Size() const { return size_; }
    std::int32_t Time() const { return time_; }
    // True when the time came from an MLSD modify or an EPLF m fact: UTC to the second, fit to give a
    // download.
    bool ExactTime() const { return exactTime_; }
    // The permission bits (07777) a Unix long listing's mode or an MLSD UNIX.mode fact gave; -1 when the
    // listing gave none or gave one that does not read as a mode.
    int Permissions() const { return permissions_ == kNoPermissions ? -1 : permissions_; }
    EntryKind Kind() const { return kind_; }
    // An empty name marks a slot whose entry was deleted (or never written).
    bool IsBlank() const { return name_.empty(); }
    void MakeBlank() { name_.clear(); }
    // Bits beyond 07777 are dropped; a negative value marks the permissions unknown.
    void SetPermissions(int permissions);
    // After a rename on the server: the same entry under `name`.
    void SetName(std::string name) { name_ = std::move(name); }

    // The remote path for RETR and CWD: a link's target, otherwise the name.
    std::string TargetPath() const;
    // The local file name a download is stored under: for a link, the part of its target after the
    // last '/' (empty when the target ends in '/'), otherwise the name. It is NOT checked: see
    // IsSafeLocalName before creating a file with it.
    std::string LocalName() const;

  private:
    std::string name_;
    std::string linkTarget_;
    std::string sizeText_;
    std::string dateText_;
    std::int64_t size_ = 0;
    std::int32_t time_ = 0;
    EntryKind kind_ = EntryKind::File;
    bool exactTime_ = false;
    // Fits beside the flag, so a 100,000-entry listing costs nothing more.
    static constexpr std::uint16_t kNoPermissions = 0xFFFF;
    std::uint16_t permissions_ = kNoPermissions;
};

// The permission bits as ls writes them after the type letter, "rwxr-xr-x" ('s', 'S', 't', 'T' for the
// set-id and sticky bits); empty for -1.
std::string PermissionsText(int permissions);

// False for a name that must not become a file in the download folder: empty, "." or "..", or holding
// '/' or NUL (it would leave the folder or be cut short).
bool IsSafeLocalName(std::string_view name);
