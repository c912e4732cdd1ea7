// Feeds any bytes (up to the line reader's 511) to the listing line parser and checks what every entry
// must satisfy: a name, a valid or -1 time, a placeholder that quotes the line, a link split at an arrow.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "listing/CompareEntries.h"
#include "listing/RemoteEntry.h"

namespace {

constexpr std::size_t kLongestLine = 511;
constexpr std::time_t kNow = 1741622400;

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kLongestLine) {
        size = kLongestLine;
    }
    // An exact-sized copy, so reading one byte past the line is caught.
    std::string line(reinterpret_cast<const char*>(data), size);
    RemoteEntry entry = RemoteEntry::FromListingLine(line, kNow);

    std::string_view seen(line);
    seen = seen.substr(0, seen.find('\0'));
    Check(!entry.Name().empty());
    Check(entry.Time() >= -1);
    Check(static_cast<int>(entry.Kind()) >= 0 && static_cast<int>(entry.Kind()) <= 2);
    if (entry.SizeText() == "<NA>" && entry.DateText() == "<NA>") {
        Check(entry.Name() == "\"" + std::string(seen) + "\"");
        Check(entry.Time() == -1 && entry.Size() == 0);
    } else {
        // The name (and a link's arrow and target) is the end of the line as received.
        std::string tail = entry.Name();
        if (entry.Kind() == EntryKind::Link) {
            tail += " -> " + entry.LinkTarget();
            Check(entry.Name().find(" -> ") == std::string::npos);
        }
        Check(seen.ends_with(tail));
        Check(seen.find(entry.SizeText()) != std::string_view::npos);
    }
    std::string local = entry.LocalName();
    Check(entry.TargetPath().ends_with(local));
    if (IsSafeLocalName(local)) {
        Check(local.find('/') == std::string::npos && local != "." && local != "..");
    }
    for (int mode = -3; mode <= 3; ++mode) {
        Check(CompareEntries(entry, entry, mode) == 0);
    }
    return 0;
}
