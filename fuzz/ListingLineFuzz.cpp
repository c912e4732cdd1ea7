// Feeds any bytes (up to the line reader's 511) to the listing parsers and checks what every entry must
// satisfy: the Unix reader's name, time, placeholder and link split; for every format a non-empty name,
// a valid or -1 time, exact sizes never negative, and a local file name without '/' or control characters.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "listing/CompareEntries.h"
#include "listing/ListingParser.h"
#include "listing/RemoteEntry.h"
#include "listing/RemoteName.h"

namespace {

constexpr std::size_t kLongestLine = 511;
constexpr std::time_t kNow = 1741622400;

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

bool SameEntry(const RemoteEntry& a, const RemoteEntry& b) {
    return a.Name() == b.Name() && a.LinkTarget() == b.LinkTarget() && a.SizeText() == b.SizeText() &&
           a.Size() == b.Size() && a.DateText() == b.DateText() && a.Time() == b.Time() &&
           a.Kind() == b.Kind();
}

// No '/', no C0 control or DEL, no C1 control (U+0080 to U+009F, 0xC2 0x80 to 0xC2 0x9F in UTF-8).
void CheckHarmless(std::string_view name) {
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto byte = static_cast<unsigned char>(name[i]);
        Check(byte != '/' && byte >= 0x20u && byte != 0x7Fu);
        if (byte == 0xC2u && i + 1 < name.size()) {
            Check(static_cast<unsigned char>(name[i + 1]) > 0x9Fu);
        }
    }
}

void CheckUnixReader(const RemoteEntry& entry, std::string_view seen) {
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
        // 32-bit sizes, as they always were.
        Check(entry.Size() >= INT32_MIN && entry.Size() <= INT32_MAX);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kLongestLine) {
        size = kLongestLine;
    }
    // An exact-sized copy, so reading one byte past the line is caught.
    std::string line(reinterpret_cast<const char*>(data), size);
    std::string_view seen(line);
    seen = seen.substr(0, seen.find('\0'));

    const RemoteEntry unix = RemoteEntry::FromListingLine(line, kNow);
    CheckUnixReader(unix, seen);

    const std::optional<RemoteEntry> entry = ListingParser::Parse(line, kNow);
    // A line that cannot be MLSD, DOS or EPLF is read exactly as the Unix reader reads it.
    const bool otherForm =
        !seen.empty() && (seen[0] == '+' || (seen[0] >= '0' && seen[0] <= '9') ||
                          (seen[0] >= 'a' && seen[0] <= 'z') || (seen[0] >= 'A' && seen[0] <= 'Z'));
    if (!otherForm) {
        Check(entry.has_value() == (line.size() >= ListingParser::kMinUnixLine));
    }
    if (!entry) {
        return 0;
    }
    Check(!entry->Name().empty());
    Check(entry->Time() >= -1);
    Check(!entry->ExactTime() || entry->Time() >= 0);
    Check(static_cast<int>(entry->Kind()) >= 0 && static_cast<int>(entry->Kind()) <= 2);
    if (!SameEntry(*entry, unix)) {
        Check(otherForm);
        // Exact sizes: never negative, the text their decimal form or empty.
        Check(entry->Size() >= 0);
        Check(entry->SizeText().empty() || entry->SizeText() == std::to_string(entry->Size()));
        Check(!entry->SizeText().empty() || entry->Size() == 0);
        Check(entry->DateText().empty() == (entry->Time() < 0));
        Check(seen.ends_with(entry->Name()));
    }

    const std::string local = RemoteName::LocalFileName(entry->LocalName());
    CheckHarmless(local);
    const std::string display = RemoteName::DisplayText(entry->Name());
    // Already UTF-8 without control characters: shown again, it stays the same.
    Check(RemoteName::DisplayText(display) == display);
    if (IsSafeLocalName(local)) {
        Check(local != "." && local != "..");
    }
    for (int mode = -3; mode <= 3; ++mode) {
        Check(CompareEntries(*entry, *entry, mode) == 0);
    }
    return 0;
}
