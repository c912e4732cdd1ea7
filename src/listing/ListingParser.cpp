#include "listing/ListingParser.h"

#include <cstdint>
#include <limits>

#include "listing/LocalTime.h"
#include "listing/TimeValue.h"

namespace {

constexpr std::int64_t kLargestTime = std::numeric_limits<std::int32_t>::max();
constexpr std::string_view kDirectoryColumn = "<dir>";

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// `text` equals the lower-case `lower` ignoring ASCII letter case.
bool EqualsIgnoringCase(std::string_view text, std::string_view lower) {
    if (text.size() != lower.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (LowerAscii(text[i]) != lower[i]) {
            return false;
        }
    }
    return true;
}

bool StartsIgnoringCase(std::string_view text, std::string_view lower) {
    return text.size() >= lower.size() && EqualsIgnoringCase(text.substr(0, lower.size()), lower);
}

// Digits only, at least one, up to 2^63-1 (leading zeros allowed); -1 for anything else.
std::int64_t ExactDecimal(std::string_view text) {
    if (text.empty()) {
        return -1;
    }
    std::int64_t value = 0;
    for (const char c : text) {
        if (!IsDigit(c)) {
            return -1;
        }
        const int digit = c - '0';
        if (value > (std::numeric_limits<std::int64_t>::max() - digit) / 10) {
            return -1;
        }
        value = value * 10 + digit;
    }
    return value;
}

// The value of `count` digits at `pos`, or -1 when any of them is not a digit or the text ends.
int FixedDigits(std::string_view text, std::size_t pos, std::size_t count) {
    if (pos + count > text.size()) {
        return -1;
    }
    int value = 0;
    for (std::size_t i = pos; i < pos + count; ++i) {
        if (!IsDigit(text[i])) {
            return -1;
        }
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

bool IsLeapYear(std::int64_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

bool IsRealDate(std::int64_t year, int month, int day) {
    static constexpr int kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1) {
        return false;
    }
    const int last = kMonthDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
    return day <= last;
}

std::size_t SkipBlanks(std::string_view text, std::size_t pos) {
    while (pos < text.size() && IsBlank(text[pos])) {
        ++pos;
    }
    return pos;
}

std::size_t SkipDigits(std::string_view text, std::size_t pos) {
    while (pos < text.size() && IsDigit(text[pos])) {
        ++pos;
    }
    return pos;
}

// --- MLSD ---

// The first word starts with a fact name and '=' and holds a ';'.
bool LooksLikeMlsd(std::string_view line) {
    if (line.empty() || !IsLetter(line[0])) {
        return false;
    }
    std::size_t pos = 1;
    while (pos < line.size() && (IsLetter(line[pos]) || IsDigit(line[pos]) || line[pos] == '.' ||
                                 line[pos] == '-' || line[pos] == '_')) {
        ++pos;
    }
    if (pos == line.size() || line[pos] != '=') {
        return false;
    }
    const std::size_t semicolon = line.find(';', pos);
    return semicolon != std::string_view::npos && semicolon < line.find(' ', pos);
}

// A UNIX.mode fact's octal value ("0644", or a whole mode such as "100644") as permission bits; -1 when
// it is not octal digits within a 16-bit mode. Some servers write it as a Python literal, "0o644".
int UnixModePermissions(std::string_view value) {
    if (value.size() > 2 && value[0] == '0' && (value[1] == 'o' || value[1] == 'O')) {
        value.remove_prefix(2);
    }
    constexpr std::size_t kLongestMode = 7;  // 0177777
    if (value.empty() || value.size() > kLongestMode) {
        return -1;
    }
    int mode = 0;
    for (char c : value) {
        if (c < '0' || c > '7') {
            return -1;
        }
        mode = mode * 8 + (c - '0');
    }
    return mode > 0177777 ? -1 : (mode & 07777);
}

// The modify fact's time-val (UTC); -1 when it is not a real time within the 32-bit range.
std::int32_t ModifyTime(std::string_view value) {
    const std::optional<std::int64_t> time = TimeValue::Parse(value);
    return !time || *time > kLargestTime ? -1 : static_cast<std::int32_t>(*time);
}

// "OS.unix=slink:/target", "OS.unix=symlink", "link": a link, and the target when the value names one.
bool IsLinkType(std::string_view type, std::string_view& target) {
    if (EqualsIgnoringCase(type, "link")) {
        return true;
    }
    constexpr std::string_view kUnix = "os.unix=";
    if (!StartsIgnoringCase(type, kUnix)) {
        return false;
    }
    std::string_view kind = type.substr(kUnix.size());
    const std::size_t colon = kind.find(':');
    const std::string_view word = kind.substr(0, colon);
    if (!EqualsIgnoringCase(word, "slink") && !EqualsIgnoringCase(word, "symlink")) {
        return false;
    }
    if (colon != std::string_view::npos) {
        target = kind.substr(colon + 1);
    }
    return true;
}

std::optional<RemoteEntry> ParseMlsd(std::string_view line, std::time_t now) {
    const std::size_t blank = line.find(' ');
    if (blank == std::string_view::npos || blank + 1 == line.size()) {
        return std::nullopt;
    }
    ListedFacts facts;
    facts.name = line.substr(blank + 1);
    std::int64_t sizd = -1;
    std::string_view rest = line.substr(0, blank);
    while (!rest.empty()) {
        const std::size_t end = rest.find(';');
        const std::string_view fact = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        const std::size_t equals = fact.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        const std::string_view name = fact.substr(0, equals);
        const std::string_view value = fact.substr(equals + 1);
        if (EqualsIgnoringCase(name, "type")) {
            std::string_view target;
            if (EqualsIgnoringCase(value, "cdir") || EqualsIgnoringCase(value, "pdir")) {
                return std::nullopt;  // the listed directory itself and its parent
            }
            if (EqualsIgnoringCase(value, "dir")) {
                facts.kind = EntryKind::Directory;
            } else if (IsLinkType(value, target)) {
                facts.kind = EntryKind::Link;
                // Without a target the server resolves the link by its name.
                facts.linkTarget = target.empty() ? facts.name : target;
            } else {
                facts.kind = EntryKind::File;
            }
        } else if (EqualsIgnoringCase(name, "size")) {
            facts.size = ExactDecimal(value);
        } else if (EqualsIgnoringCase(name, "sizd")) {
            sizd = ExactDecimal(value);
        } else if (EqualsIgnoringCase(name, "modify")) {
            facts.time = ModifyTime(value);
            facts.exactTime = facts.time >= 0;
        } else if (EqualsIgnoringCase(name, "unix.mode")) {
            facts.permissions = UnixModePermissions(value);
        }
    }
    if (facts.size < 0) {
        facts.size = sizd;
    }
    return RemoteEntry::FromFacts(facts, now);
}

// --- DOS / IIS ---

std::optional<RemoteEntry> ParseDos(std::string_view line, std::time_t now) {
    // MM-DD-YY or MM-DD-YYYY
    const int month = FixedDigits(line, 0, 2);
    const int day = FixedDigits(line, 3, 2);
    if (month < 0 || line.size() < 6 || line[2] != '-' || day < 0 || line[5] != '-') {
        return std::nullopt;
    }
    std::size_t pos = SkipDigits(line, 6);
    const std::size_t yearDigits = pos - 6;
    if ((yearDigits != 2 && yearDigits != 4) || pos == line.size() || !IsBlank(line[pos])) {
        return std::nullopt;
    }
    int year = FixedDigits(line, 6, yearDigits);
    if (yearDigits == 2) {
        year += year >= 70 ? 1900 : 2000;
    }

    // HH:MM, then AM or PM for a 12-hour clock
    pos = SkipBlanks(line, pos);
    const std::size_t hourEnd = SkipDigits(line, pos);
    if (hourEnd == pos || hourEnd - pos > 2 || hourEnd == line.size() || line[hourEnd] != ':') {
        return std::nullopt;
    }
    int hour = FixedDigits(line, pos, hourEnd - pos);
    const int minute = FixedDigits(line, hourEnd + 1, 2);
    pos = hourEnd + 3;
    if (minute < 0 || (pos < line.size() && IsDigit(line[pos]))) {
        return std::nullopt;
    }
    bool validTime = minute <= 59;
    const std::size_t marker = SkipBlanks(line, pos);
    const std::string_view half = line.substr(marker, 2);
    const bool am = EqualsIgnoringCase(half, "am");
    if ((am || EqualsIgnoringCase(half, "pm")) && (marker + 2 == line.size() || IsBlank(line[marker + 2]))) {
        validTime = validTime && hour >= 1 && hour <= 12;
        hour = hour % 12 + (am ? 0 : 12);
        pos = marker + 2;
    } else {
        validTime = validTime && hour <= 23;
    }
    if (pos == line.size() || !IsBlank(line[pos])) {
        return std::nullopt;
    }

    // <DIR> or the size, then the name
    ListedFacts facts;
    pos = SkipBlanks(line, pos);
    std::size_t columnEnd = pos;
    while (columnEnd < line.size() && !IsBlank(line[columnEnd])) {
        ++columnEnd;
    }
    const std::string_view column = line.substr(pos, columnEnd - pos);
    if (EqualsIgnoringCase(column, kDirectoryColumn)) {
        facts.kind = EntryKind::Directory;
    } else if (!column.empty() && SkipDigits(column, 0) == column.size()) {
        facts.size = ExactDecimal(column);  // -1 past 2^63-1: no size
    } else {
        return std::nullopt;
    }
    facts.name = line.substr(SkipBlanks(line, columnEnd));
    if (facts.name.empty() || columnEnd == line.size()) {
        return std::nullopt;
    }
    if (validTime && IsRealDate(year, month, day)) {
        facts.time = TimeFromLocal(year, month, day, hour, minute);
        facts.localDate = ListedFacts::LocalDate{year, month, day, hour, minute};
    }
    return RemoteEntry::FromFacts(facts, now);
}

// --- EPLF ---

std::optional<RemoteEntry> ParseEplf(std::string_view line, std::time_t now) {
    const std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos || tab + 1 == line.size()) {
        return std::nullopt;
    }
    ListedFacts facts;
    facts.name = line.substr(tab + 1);
    std::string_view rest = line.substr(1, tab - 1);
    while (!rest.empty()) {
        const std::size_t end = rest.find(',');
        const std::string_view fact = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (fact.empty()) {
            continue;
        }
        switch (fact[0]) {
            case '/':
                facts.kind = EntryKind::Directory;
                break;
            case 's':
                facts.size = ExactDecimal(fact.substr(1));
                break;
            case 'm': {
                const std::int64_t time = ExactDecimal(fact.substr(1));
                facts.time = time > kLargestTime ? -1 : static_cast<std::int32_t>(time);
                facts.exactTime = facts.time >= 0;  // seconds since 1970, UTC: exact like MLSD's
                break;
            }
            default:
                break;  // r (a file, as anything not a directory is), i (an identity) and others
        }
    }
    return RemoteEntry::FromFacts(facts, now);
}

}  // namespace

std::optional<RemoteEntry> ListingParser::Parse(std::string_view line) {
    return Parse(line, std::time(nullptr));
}

std::optional<RemoteEntry> ListingParser::Parse(std::string_view line, std::time_t now) {
    const std::string_view text = line.substr(0, line.find('\0'));
    if (!text.empty() && text[0] == '+') {
        return ParseEplf(text, now);
    }
    if (text.size() >= 3 && IsDigit(text[0]) && IsDigit(text[1]) && text[2] == '-') {
        return ParseDos(text, now);
    }
    if (LooksLikeMlsd(text)) {
        return ParseMlsd(text, now);
    }
    if (line.size() < kMinUnixLine) {
        return std::nullopt;
    }
    return RemoteEntry::FromListingLine(line, now);
}
