#pragma once
// The texts of the properties dialog for the selected entries: one entry's name, type, size, link target
// date and permissions, or for several entries the counts per kind, their common type and the total size.
// Every text is UTF-8: names and link targets through RemoteName::DisplayText.
#include <cstdint>
#include <span>
#include <string>

#include "listing/RemoteEntry.h"

struct PropertiesTexts {
    // Image index for a selection of several entries; a single entry uses its kind.
    static constexpr int kSeveralIcon = 3;

    std::string titleText;
    std::string headingText;
    std::string typeText;
    std::string sizeSummary;
    std::string thirdLabel;
    std::string thirdValue;
    std::string fourthLabel;
    std::string fourthValue;
    // One entry's permissions as "rwxr-xr-x (755)"; empty for several entries or when not listed.
    std::string permissionsValue;
    int iconIndex = kSeveralIcon;

    // The window caption: the title text and " Properties", or the dialog's own "properties" when there
    // is no title text.
    std::string Caption() const;

    // `selected` in row order; `count` is the number of selected rows. Only entries that exist are
    // read, so a count beyond the span reads the whole span.
    static PropertiesTexts Build(std::span<const RemoteEntry> selected, int count);
};

// "Folder", "Symbolic link" or "File".
const char* TypeName(EntryKind kind);

// "512 bytes", "1.50KB (1536 bytes)", "4768MB (5000000000 bytes)": K up to 1 MB, then M.
std::string SizeSummary(std::int64_t total);
