#pragma once
// Listing lines and entries for scripted folder rows: Unix LIST lines of folders, files and links dated
// 1 January 2020, and a listing's steps over a passive data connection.
#include <string>
#include <vector>

#include "listing/RemoteEntry.h"
#include "support/SessionRows.h"

namespace listing_rows {

inline std::string UnixDir(const std::string& name) {
    return "drwxr-xr-x   2 user group     4096 Jan  1  2020 " + name;
}
inline std::string UnixFile(const std::string& name) {
    return "-rw-r--r--   1 user group        3 Jan  1  2020 " + name;
}
inline RemoteEntry Folder(const std::string& name) {
    return RemoteEntry::FromListingLine(UnixDir(name));
}
inline RemoteEntry File(const std::string& name) {
    return RemoteEntry::FromListingLine(UnixFile(name));
}
// One listing over a passive data connection: the lines with CR LF after each.
inline std::vector<Step> Listing(const std::string& command, const std::vector<std::string>& lines) {
    std::string bytes;
    for (const auto& line : lines) {
        bytes += line + "\r\n";
    }
    return {Step::Pasv(), {command, "150 here", Step::Send(bytes, "226 listed")}};
}

}  // namespace listing_rows
