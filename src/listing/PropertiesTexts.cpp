#include "listing/PropertiesTexts.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <limits>

#include "listing/EnglishDate.h"
#include "listing/RemoteName.h"

namespace {

constexpr std::int64_t kKilo = 1024;
constexpr std::int64_t kMega = 1048576;

std::string Decimal(std::int64_t value) {
    char digits[24];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    (void)ec;  // 24 characters hold any 64-bit value
    return std::string(digits, end);
}

// The decimal point is always '.', whatever LC_NUMERIC says.
std::string Fixed(double value, int precision) {
    char digits[64];
    auto [end, ec] =
        std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, precision);
    if (ec != std::errc()) {
        return {};
    }
    return std::string(digits, end);
}

int KindIndex(EntryKind kind) {
    return static_cast<int>(kind);
}

// Sizes up to 2^63-1 each: a total that would overflow stays at the largest value.
std::int64_t SaturatedSum(std::int64_t total, std::int64_t size) {
    std::int64_t sum = 0;
    if (__builtin_add_overflow(total, size, &sum)) {
        return size > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
    }
    return sum;
}

}  // namespace

const char* TypeName(EntryKind kind) {
    switch (kind) {
        case EntryKind::Directory:
            return "Folder";
        case EntryKind::Link:
            return "Symbolic link";
        case EntryKind::File:
            break;
    }
    return "File";
}

std::string SizeSummary(std::int64_t total) {
    std::string digits = Decimal(total);
    if (total <= kKilo) {
        return digits + " bytes";
    }
    char unit = 'K';
    std::int64_t divisor = kKilo;
    if (total > kMega) {
        unit = 'M';
        divisor = kMega;
    }
    double value = static_cast<double>(total) / static_cast<double>(divisor);
    // Chosen from the exact quotient, so 99.96 K reads "100.0KB".
    int precision = value >= 100.0 ? 0 : (value >= 10.0 ? 1 : 2);
    return Fixed(value, precision) + unit + "B (" + digits + " bytes)";
}

std::string PropertiesTexts::Caption() const {
    return titleText.empty() ? std::string("properties") : titleText + " Properties";
}

PropertiesTexts PropertiesTexts::Build(std::span<const RemoteEntry> selected, int count) {
    PropertiesTexts texts;
    std::int64_t total = 0;
    if (count == 1 && !selected.empty()) {
        const RemoteEntry& entry = selected.front();
        texts.titleText = RemoteName::DisplayText(entry.Name());
        texts.headingText = texts.titleText;
        texts.typeText = TypeName(entry.Kind());
        total = entry.Size();
        texts.iconIndex = KindIndex(entry.Kind());
        std::string date = LongDateText(entry.Time());
        if (entry.Kind() == EntryKind::Link) {
            texts.thirdLabel = "Links to:";
            texts.thirdValue = RemoteName::DisplayText(entry.TargetPath());
            texts.fourthLabel = "Modified:";
            texts.fourthValue = std::move(date);
        } else {
            texts.thirdLabel = "Modified:";
            texts.thirdValue = std::move(date);
        }
        if (const int permissions = entry.Permissions(); permissions >= 0) {
            char octal[16];
            std::snprintf(octal, sizeof octal, "%03o", static_cast<unsigned>(permissions & 07777));
            texts.permissionsValue = PermissionsText(permissions) + " (" + octal + ")";
        }
    } else {
        std::size_t used = count < 0 ? 0 : std::min(static_cast<std::size_t>(count), selected.size());
        int directories = 0;
        int links = 0;
        int files = 0;
        unsigned kindMask = 0;
        for (std::size_t i = 0; i < used; ++i) {
            const RemoteEntry& entry = selected[i];
            if (i == 0) {
                texts.titleText = RemoteName::DisplayText(entry.Name()) + ", ...";
            }
            switch (entry.Kind()) {
                case EntryKind::Directory:
                    ++directories;
                    break;
                case EntryKind::Link:
                    ++links;
                    break;
                case EntryKind::File:
                    ++files;
                    break;
            }
            kindMask |= 1u << KindIndex(entry.Kind());
            total = SaturatedSum(total, entry.Size());
        }
        // The plural s is always added: "1 Folders".
        texts.headingText = Decimal(files) + " Files, " + Decimal(directories) + " Folders, " +
                            Decimal(links) + " Symbolic links";
        switch (kindMask) {
            case 1u:
                texts.typeText = std::string("All of type ") + TypeName(EntryKind::Directory);
                break;
            case 2u:
                texts.typeText = std::string("All of type ") + TypeName(EntryKind::Link);
                break;
            case 4u:
                texts.typeText = std::string("All of type ") + TypeName(EntryKind::File);
                break;
            default:
                texts.typeText = "Multiple types";
                break;
        }
        texts.iconIndex = kSeveralIcon;
    }
    texts.sizeSummary = SizeSummary(total);
    return texts;
}
