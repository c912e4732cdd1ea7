#include "platform/ProfileStore.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// One key's values live in this file inside the key's folder. Key names may not start with ".",
// so neither it nor its temporary siblings can be mistaken for a sub-key.
constexpr const char* kValueFileName = ".values";
constexpr const char* kTempPrefix = ".values.";
// A value file that no longer reads is kept under this name (it starts with kTempPrefix, so removing
// the key still takes it along) before the first write replaces it.
constexpr const char* kDamagedFileName = ".values.damaged";

// Layout: magic, u32 value count, per value {u8 type, u32 name length, name, u32 data length, data},
// then the CRC-32 of every byte before it. All numbers little-endian. The checksum and the exact
// lengths make a truncated or overwritten file read as damaged instead of as fewer values.
constexpr std::string_view kMagic("WISPKEY\x01", 8);
constexpr std::uint8_t kTypeString = 1;  // the registry's numbers for REG_SZ and REG_DWORD
constexpr std::uint8_t kTypeDword = 4;
// Far above anything the program stores; bounds what a damaged or foreign file makes us read.
constexpr std::size_t kMaxFileSize = 16 * 1024 * 1024;

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int Get() const { return fd_; }
    // Closes now so a failing close (a lost write on some file systems) can be seen.
    bool Close() {
        const int fd = fd_;
        fd_ = -1;
        return fd < 0 || ::close(fd) == 0;
    }

  private:
    int fd_;
};

std::uint32_t Crc32(std::string_view bytes) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t crc = 0xFFFFFFFFu;
    for (char ch : bytes) {
        crc = table[(crc ^ static_cast<std::uint8_t>(ch)) & 0xFFu] ^ (crc >> 8);
    }
    return crc ^ 0xFFFFFFFFu;
}

void PutU32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xFFu));
    }
}

class Reader {
  public:
    explicit Reader(std::string_view bytes) : rest_(bytes) {}
    bool U8(std::uint8_t& v) {
        if (rest_.empty()) {
            return false;
        }
        v = static_cast<std::uint8_t>(rest_.front());
        rest_.remove_prefix(1);
        return true;
    }
    bool U32(std::uint32_t& v) {
        if (rest_.size() < 4) {
            return false;
        }
        v = 0;
        for (int i = 0; i < 4; ++i) {
            v |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(rest_[i])) << (8 * i);
        }
        rest_.remove_prefix(4);
        return true;
    }
    bool Bytes(std::size_t n, std::string& out) {
        if (rest_.size() < n) {
            return false;
        }
        out.assign(rest_.substr(0, n));
        rest_.remove_prefix(n);
        return true;
    }
    bool AtEnd() const { return rest_.empty(); }

  private:
    std::string_view rest_;
};

// The key's folder, or nullopt for a relative root or a key path with an empty component, one starting with
// "." (which also covers "." and "..") or one holding a NUL.
std::optional<fs::path> KeyFolder(const fs::path& root, std::string_view key) {
    // A relative root would put the keys wherever the program happens to run.
    if (!root.is_absolute()) {
        return std::nullopt;
    }
    fs::path folder = root;
    std::size_t start = 0;
    while (true) {
        const std::size_t slash = key.find('/', start);
        const std::string_view part =
            key.substr(start, slash == std::string_view::npos ? key.npos : slash - start);
        if (part.empty() || part.front() == '.' || part.find('\0') != std::string_view::npos) {
            return std::nullopt;
        }
        folder /= std::string(part);
        if (slash == std::string_view::npos) {
            return folder;
        }
        start = slash + 1;
    }
}

bool IsDirectory(const fs::path& path) {
    std::error_code ec;
    return fs::is_directory(path, ec);
}

bool MakeFolder(const fs::path& path) {
    if (::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) {
        return IsDirectory(path);
    }
    return false;
}

// Creates the root (and its missing parents) and then each key folder below it, all private.
bool MakeKeyFolders(const fs::path& root, const fs::path& folder) {
    fs::path current;
    for (const fs::path& part : root) {
        current /= part;
        if (!IsDirectory(current) && !MakeFolder(current)) {
            return false;
        }
    }
    for (const fs::path& part : folder.lexically_relative(root)) {
        current /= part;
        if (!MakeFolder(current)) {
            return false;
        }
    }
    return true;
}

std::optional<std::string> ReadWholeFile(const fs::path& file) {
    FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd.Get() < 0) {
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::size_t>(st.st_size) > kMaxFileSize) {
        return std::nullopt;
    }
    std::string bytes;
    std::array<char, 8192> buffer{};
    while (true) {
        const ssize_t n = ::read(fd.Get(), buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        if (n == 0) {
            return bytes;
        }
        bytes.append(buffer.data(), static_cast<std::size_t>(n));
        if (bytes.size() > kMaxFileSize) {
            return std::nullopt;
        }
    }
}

// Missing, unreadable and damaged files all read as a key without values.
std::vector<ProfileValue> ReadValues(const fs::path& folder) {
    const std::optional<std::string> bytes = ReadWholeFile(folder / kValueFileName);
    if (!bytes) {
        return {};
    }
    return ProfileStore::ParseValueFile(*bytes).value_or(std::vector<ProfileValue>{});
}

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool SyncFolder(const fs::path& folder) {
    FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.Get() >= 0 && ::fsync(fd.Get()) == 0;
}

// True for the names mkostemp gives WriteValues' temporary files: the prefix and six letters or digits.
bool IsTemporaryName(const std::string& name) {
    const std::size_t prefix = std::strlen(kTempPrefix);
    return name.size() == prefix + 6 && name.compare(0, prefix, kTempPrefix) == 0 &&
           std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix), name.end(), [](char c) {
               return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
           });
}

// A writer killed between creating its temporary file and the rename leaves the file behind. Every
// writer, in this process or another, holds the key's folder lock (an flock on the folder) from before
// it creates its temporary file until after the rename, so a temporary file found while holding that
// lock belongs to nobody.
void RemoveStaleTemporaries(const fs::path& folder) {
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        if (IsTemporaryName(it->path().filename().string()) && it->is_regular_file(ec)) {
            ::unlink(it->path().c_str());
        }
    }
}

// Writes a temporary file beside the value file, flushes it to disk and renames it over the old
// one, so a crash leaves either the old or the new file, never a partial one. The caller holds the
// key's FolderLock.
bool WriteValues(const fs::path& folder, const std::vector<ProfileValue>& values) {
    RemoveStaleTemporaries(folder);
    const std::string bytes = ProfileStore::FormatValueFile(values);
    std::string temp = (folder / (std::string(kTempPrefix) + "XXXXXX")).string();
    FileDescriptor fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (fd.Get() < 0) {
        return false;
    }
    const bool written = ::fchmod(fd.Get(), 0600) == 0 && WriteAll(fd.Get(), bytes) && ::fsync(fd.Get()) == 0;
    if (!fd.Close() || !written || ::rename(temp.c_str(), (folder / kValueFileName).c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    // The rename is durable only once the folder itself is flushed; the new values are in place
    // either way, so a failure here is not reported as a lost write.
    SyncFolder(folder);
    return true;
}

// Holds an exclusive lock on a key's folder while its values are read, changed and written back,
// so two running copies of the program cannot lose each other's change.
class FolderLock {
  public:
    explicit FolderLock(const fs::path& folder)
        : fd_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        while (fd_.Get() >= 0 && ::flock(fd_.Get(), LOCK_EX) != 0 && errno == EINTR) {
        }
    }

  private:
    FileDescriptor fd_;  // closing it releases the lock
};

template <typename Change>
bool ChangeValue(const fs::path& root, std::string_view key, std::string_view name, Change change) {
    const std::optional<fs::path> folder = KeyFolder(root, key);
    if (!folder || !MakeKeyFolders(root, *folder)) {
        return false;
    }
    const FolderLock lock(*folder);
    std::vector<ProfileValue> values;
    if (const std::optional<std::string> bytes = ReadWholeFile(*folder / kValueFileName)) {
        if (auto parsed = ProfileStore::ParseValueFile(*bytes)) {
            values = std::move(*parsed);
        } else {
            // What was saved there may still be recovered by hand; a write must not destroy it.
            ::rename((*folder / kValueFileName).c_str(), (*folder / kDamagedFileName).c_str());
        }
    }
    auto it =
        std::find_if(values.begin(), values.end(), [&](const ProfileValue& v) { return v.name == name; });
    if (it == values.end()) {
        values.push_back(ProfileValue{std::string(name), ProfileValueType::String, {}, 0});
        it = values.end() - 1;
    }
    change(*it);
    return WriteValues(*folder, values);
}

std::optional<ProfileValue> FindValue(const fs::path& root, std::string_view key, std::string_view name) {
    const std::optional<fs::path> folder = KeyFolder(root, key);
    if (!folder) {
        return std::nullopt;
    }
    for (ProfileValue& v : ReadValues(*folder)) {
        if (v.name == name) {
            return std::move(v);
        }
    }
    return std::nullopt;
}

std::optional<fs::path> HomeFolder() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') {
        return fs::path(home);
    }
    std::array<char, 4096> buffer{};
    struct passwd pw {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &pw, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && found->pw_dir[0] == '/') {
        return fs::path(found->pw_dir);
    }
    return std::nullopt;
}

}  // namespace

ProfileStore::ProfileStore(std::filesystem::path root) : root_(std::move(root)) {}

ProfileStore ProfileStore::ForCurrentUser() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/') {
        return ProfileStore(fs::path(config));
    }
    // Without any home the root is relative, which every operation refuses: values read as their
    // defaults and nothing is written.
    return ProfileStore(HomeFolder().value_or(fs::path()) / ".config");
}

bool ProfileStore::CreateKey(std::string_view key) {
    const std::optional<fs::path> folder = KeyFolder(root_, key);
    return folder && MakeKeyFolders(root_, *folder);
}

bool ProfileStore::KeyExists(std::string_view key) const {
    const std::optional<fs::path> folder = KeyFolder(root_, key);
    return folder && IsDirectory(*folder);
}

bool ProfileStore::SetString(std::string_view key, std::string_view name, std::string_view value) {
    return ChangeValue(root_, key, name, [&](ProfileValue& v) {
        v.type = ProfileValueType::String;
        v.text.assign(value);
        v.dword = 0;
    });
}

bool ProfileStore::SetDword(std::string_view key, std::string_view name, std::uint32_t value) {
    return ChangeValue(root_, key, name, [&](ProfileValue& v) {
        v.type = ProfileValueType::Dword;
        v.text.clear();
        v.dword = value;
    });
}

std::optional<std::string> ProfileStore::QueryString(std::string_view key, std::string_view name) const {
    std::optional<ProfileValue> v = FindValue(root_, key, name);
    if (!v || v->type != ProfileValueType::String) {
        return std::nullopt;
    }
    return std::move(v->text);
}

std::optional<std::uint32_t> ProfileStore::QueryDword(std::string_view key, std::string_view name) const {
    const std::optional<ProfileValue> v = FindValue(root_, key, name);
    if (!v || v->type != ProfileValueType::Dword) {
        return std::nullopt;
    }
    return v->dword;
}

std::vector<ProfileValue> ProfileStore::EnumerateValues(std::string_view key) const {
    const std::optional<fs::path> folder = KeyFolder(root_, key);
    if (!folder) {
        return {};
    }
    return ReadValues(*folder);
}

bool ProfileStore::DeleteValue(std::string_view key, std::string_view name) {
    const std::optional<fs::path> folder = KeyFolder(root_, key);
    if (!folder || !IsDirectory(*folder)) {
        return false;
    }
    const FolderLock lock(*folder);
    std::vector<ProfileValue> values = ReadValues(*folder);
    const auto it =
        std::find_if(values.begin(), values.end(), [&](const ProfileValue& v) { return v.name == name; });
    if (it == values.end()) {
        return false;
    }
    values.erase(it);
    return WriteValues(*folder, values);
}

bool ProfileStore::DeleteKey(std::string_view key) {
    const std::optional<fs::path> folder = KeyFolder(root_, key);
    if (!folder || !IsDirectory(*folder)) {
        return false;
    }
    const std::optional<int> subKeys = CountSubKeys(key);
    if (!subKeys || *subKeys != 0) {
        return false;
    }
    // Only our own files go; anything else left in the folder makes the removal fail visibly.
    std::error_code ec;
    std::vector<fs::path> ours;
    for (fs::directory_iterator it(*folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name == kValueFileName || name.rfind(kTempPrefix, 0) == 0) {
            ours.push_back(it->path());
        }
    }
    if (ec) {
        return false;
    }
    for (const fs::path& file : ours) {
        ::unlink(file.c_str());
    }
    if (::rmdir(folder->c_str()) != 0) {
        return false;
    }
    SyncFolder(folder->parent_path());
    return true;
}

std::optional<int> ProfileStore::CountSubKeys(std::string_view key) const {
    const std::optional<fs::path> folder = KeyFolder(root_, key);
    if (!folder || !IsDirectory(*folder)) {
        return std::nullopt;
    }
    std::error_code ec;
    int count = 0;
    for (fs::directory_iterator it(*folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        std::error_code typeError;
        if (!name.empty() && name.front() != '.' && it->is_directory(typeError)) {
            ++count;
        }
    }
    if (ec) {
        return std::nullopt;
    }
    return count;
}

std::optional<std::vector<ProfileValue>> ProfileStore::ParseValueFile(std::string_view bytes) {
    if (bytes.size() < kMagic.size() + 8 || bytes.substr(0, kMagic.size()) != kMagic) {
        return std::nullopt;
    }
    const std::string_view body = bytes.substr(0, bytes.size() - 4);
    Reader trailer(bytes.substr(bytes.size() - 4));
    std::uint32_t storedCrc = 0;
    if (!trailer.U32(storedCrc) || storedCrc != Crc32(body)) {
        return std::nullopt;
    }
    Reader in(body.substr(kMagic.size()));
    std::uint32_t count = 0;
    if (!in.U32(count)) {
        return std::nullopt;
    }
    std::vector<ProfileValue> values;
    for (std::uint32_t i = 0; i < count; ++i) {
        ProfileValue v;
        std::uint8_t type = 0;
        std::uint32_t nameLength = 0;
        std::uint32_t dataLength = 0;
        std::string data;
        if (!in.U8(type) || !in.U32(nameLength) || !in.Bytes(nameLength, v.name) || !in.U32(dataLength) ||
            !in.Bytes(dataLength, data)) {
            return std::nullopt;
        }
        if (type == kTypeString) {
            v.type = ProfileValueType::String;
            v.text = std::move(data);
        } else if (type == kTypeDword && data.size() == 4) {
            v.type = ProfileValueType::Dword;
            Reader(data).U32(v.dword);
        } else {
            return std::nullopt;
        }
        const bool duplicate = std::any_of(values.begin(), values.end(),
                                           [&](const ProfileValue& seen) { return seen.name == v.name; });
        if (duplicate) {
            return std::nullopt;
        }
        values.push_back(std::move(v));
    }
    if (!in.AtEnd()) {
        return std::nullopt;
    }
    return values;
}

std::string ProfileStore::FormatValueFile(const std::vector<ProfileValue>& values) {
    std::string out(kMagic);
    PutU32(out, static_cast<std::uint32_t>(values.size()));
    for (const ProfileValue& v : values) {
        if (v.type == ProfileValueType::Dword) {
            out.push_back(static_cast<char>(kTypeDword));
            PutU32(out, static_cast<std::uint32_t>(v.name.size()));
            out += v.name;
            PutU32(out, 4);
            PutU32(out, v.dword);
        } else {
            out.push_back(static_cast<char>(kTypeString));
            PutU32(out, static_cast<std::uint32_t>(v.name.size()));
            out += v.name;
            PutU32(out, static_cast<std::uint32_t>(v.text.size()));
            out += v.text;
        }
    }
    PutU32(out, Crc32(out));
    return out;
}
