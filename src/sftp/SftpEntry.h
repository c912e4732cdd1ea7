#pragma once
// One name of a remote folder as an SFTP listing gives it, and a file's attributes as stat gives them.
#include <cstdint>
#include <string>

enum class SftpEntryKind { File, Folder, Link, Other };

struct SftpEntry {
    std::string name;
    SftpEntryKind kind = SftpEntryKind::Other;
    // -1 when the server did not say.
    std::int64_t size = -1;
    // Seconds since 1970 UTC; -1 when the server did not say.
    std::int64_t mtime = -1;
    std::int64_t atime = -1;
    // The mode bits (0755) without the file type; 0 when the server did not say.
    std::uint32_t permissions = 0;
};
