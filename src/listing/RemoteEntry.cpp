#include "listing/RemoteEntry.h"

#include <array>
#include <charconv>
#include <utility>

#include "listing/EnglishDate.h"
#include "listing/LocalTime.h"

namespace {

constexpr std::string_view kMonthTable = "janfebmaraprmayjunjulaugsepoctnovdec";
constexpr std::string_view kLinkArrow = " -> ";
constexpr int kNameField = 8;  // zero-based position of the first word of the name
constexpr int kFieldCount = 9;
// A date that would lie more than this far ahead is taken to be from last year (one day of slack
// for servers in time zones ahead of ours).
constexpr std::int64_t kFutureSlack = 86399;
// Half of 365.25 days: an older time in another year shows its year instead of the hour.
constexpr std::int64_t kHoursBeforeYearShown = 4383;

bool IsSeparator(char c) {
    return c == ' ' || c == '\t';
}

// Leading blanks, one sign, digits up to the first non-digit; wraps modulo 2^32 like the 32-bit
// integer it ends up in, so a size of 4294967296 reads as 0.
std::int32_t DecimalValue(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && IsSeparator(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    std::uint32_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10u + static_cast<std::uint32_t>(text[i] - '0');
    }
    if (negative) {
        value = 0u - value;
    }
    return static_cast<std::int32_t>(value);
}

// The month whose slot in the table holds the second character of the field's first occurrence;
// anything not found is January. So "Sept" is January and a fragment such as "an" still matches.
int MonthNumber(std::string_view month) {
    std::string lower(month);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    std::size_t found = kMonthTable.find(lower);
    int position = found == std::string_view::npos ? -1 : static_cast<int>(found);
    return (position + 1) / 3 + 1;
}

// The UTC calendar year of `time`, without the C library.
std::int64_t UtcYear(std::int64_t time) {
    const std::int64_t days = (time >= 0 ? time : time - 86399) / 86400;
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t dayOfEra = z - era * 146097;
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t monthIndex = (5 * dayOfYear + 2) / 153;  // 0 is March
    return yearOfEra + era * 400 + (monthIndex >= 10 ? 1 : 0);
}

// The listing's short form of a time whose local fields are `fields`: the year instead of the hour for
// an older time of another year. The local year of `now` lies within a day of its UTC year, so only a
// year that close needs the zone (a local-time conversion costs as much as the rest of a line).
std::string ShortText(const std::tm& fields, std::int64_t time, std::time_t now) {
    const std::int64_t hours = (static_cast<std::int64_t>(now) - time) / 3600;
    bool withYear = false;
    if (hours >= kHoursBeforeYearShown) {
        const std::int64_t year = fields.tm_year + 1900LL;
        const bool nearNow = year == UtcYear(now - 86400) || year == UtcYear(now + 86400);
        withYear = !nearNow || year != LocalYear(now);
    }
    return ShortDateText(fields, withYear);
}

// The permission bits of a Unix mode field such as "drwxr-sr-x" or "-rw-r--r--+" (an access list's mark
// after it); -1 for a field that is not one, as some servers fill the column with other things.
int ModeFieldPermissions(std::string_view field) {
    constexpr std::string_view kMarksAfterMode = "+.@";
    if (field.size() < 10 || field.size() > 11 ||
        (field.size() == 11 && kMarksAfterMode.find(field[10]) == std::string_view::npos)) {
        return -1;
    }
    constexpr int kSpecialBits[3] = {04000, 02000, 01000};
    int bits = 0;
    for (int who = 0; who < 3; ++who) {
        const std::string_view triad = field.substr(1 + 3 * who, 3);
        const int shift = 3 * (2 - who);
        const char special = who == 2 ? 't' : 's';
        const char specialWithoutExecute = who == 2 ? 'T' : 'S';
        if (triad[0] == 'r') {
            bits |= 4 << shift;
        } else if (triad[0] != '-') {
            return -1;
        }
        if (triad[1] == 'w') {
            bits |= 2 << shift;
        } else if (triad[1] != '-') {
            return -1;
        }
        if (triad[2] == 'x') {
            bits |= 1 << shift;
        } else if (triad[2] == special) {
            bits |= (1 << shift) | kSpecialBits[who];
        } else if (triad[2] == specialWithoutExecute) {
            bits |= kSpecialBits[who];
        } else if (triad[2] != '-') {
            return -1;
        }
    }
    return bits;
}

std::string DecimalText(std::int64_t value) {
    char digits[24];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    (void)ec;  // 24 characters hold any 64-bit value
    return std::string(digits, end);
}

}  // namespace

RemoteEntry::RemoteEntry(std::string name, std::int64_t size, std::int32_t time)
    : RemoteEntry(std::move(name), size, time, std::time(nullptr)) {}

RemoteEntry::RemoteEntry(std::string name, std::int64_t size, std::int32_t time, std::time_t now)
    : name_(std::move(name)) {
    SetSizeAndTime(size, time, now);
}

RemoteEntry RemoteEntry::FromListingLine(std::string_view line) {
    return FromListingLine(line, std::time(nullptr));
}

RemoteEntry RemoteEntry::FromListingLine(std::string_view line, std::time_t now) {
    line = line.substr(0, line.find('\0'));

    std::array<std::string_view, kFieldCount> fields;
    int count = 0;
    std::size_t nameStart = 0;
    std::size_t pos = 0;
    while (count < kFieldCount) {
        while (pos < line.size() && IsSeparator(line[pos])) {
            ++pos;
        }
        if (pos == line.size()) {
            break;
        }
        std::size_t end = pos;
        while (end < line.size() && !IsSeparator(line[end])) {
            ++end;
        }
        if (count == kNameField) {
            nameStart = pos;
        }
        fields[count++] = line.substr(pos, end - pos);
        pos = end;
    }

    RemoteEntry entry;
    if (count < kFieldCount) {
        entry.name_.reserve(line.size() + 2);
        entry.name_ += '"';
        entry.name_ += line;
        entry.name_ += '"';
        entry.sizeText_ = "<NA>";
        entry.dateText_ = "<NA>";
        entry.size_ = 0;
        entry.time_ = -1;
        entry.kind_ = EntryKind::File;
        return entry;
    }

    // Blanks and tabs inside and after the name belong to it, and so do any further fields.
    std::string_view rest = line.substr(nameStart);
    switch (fields[0].front()) {
        case 'd':
            entry.kind_ = EntryKind::Directory;
            entry.name_ = rest;
            break;
        case 'l':
            if (std::size_t arrow = rest.find(kLinkArrow); arrow != std::string_view::npos) {
                entry.kind_ = EntryKind::Link;
                entry.name_ = rest.substr(0, arrow);
                entry.linkTarget_ = rest.substr(arrow + kLinkArrow.size());
            } else {
                entry.kind_ = EntryKind::File;
                entry.name_ = rest;
            }
            break;
        default:
            entry.kind_ = EntryKind::File;
            entry.name_ = rest;
            break;
    }
    entry.SetPermissions(ModeFieldPermissions(fields[0]));
    entry.sizeText_ = fields[4];
    entry.size_ = DecimalValue(fields[4]);
    entry.SetListingDate(fields[5], fields[6], fields[7], now);
    return entry;
}

RemoteEntry RemoteEntry::FromFacts(const ListedFacts& facts, std::time_t now) {
    RemoteEntry entry;
    entry.name_ = facts.name;
    entry.kind_ = facts.kind;
    if (facts.kind == EntryKind::Link) {
        entry.linkTarget_ = facts.linkTarget;
    }
    if (facts.size >= 0) {
        entry.size_ = facts.size;
        entry.sizeText_ = DecimalText(facts.size);
    }
    entry.SetPermissions(facts.permissions);
    entry.time_ = facts.time;
    entry.exactTime_ = facts.exactTime && facts.time >= 0;
    std::tm fields{};
    if (facts.localDate && facts.time >= 0) {
        // Shown as the server wrote it, even in an hour the clock skipped here.
        fields.tm_year = facts.localDate->year - 1900;
        fields.tm_mon = facts.localDate->month - 1;
        fields.tm_mday = facts.localDate->day;
        fields.tm_hour = facts.localDate->hour;
        fields.tm_min = facts.localDate->minute;
    } else if (!LocalFields(facts.time, fields)) {
        return entry;  // no time, no date text
    }
    entry.dateText_ = ShortText(fields, facts.time, now);
    return entry;
}

void RemoteEntry::SetListingDate(std::string_view month, std::string_view day, std::string_view timeOrYear) {
    SetListingDate(month, day, timeOrYear, std::time(nullptr));
}

void RemoteEntry::SetListingDate(std::string_view month, std::string_view day, std::string_view timeOrYear,
                                 std::time_t now) {
    exactTime_ = false;
    dateText_.clear();
    dateText_.reserve(month.size() + day.size() + timeOrYear.size() + 2);
    dateText_ += month;
    dateText_ += ' ';
    dateText_ += day;
    dateText_ += ' ';
    dateText_ += timeOrYear;

    int monthNumber = MonthNumber(month);
    std::int32_t dayNumber = DecimalValue(day);
    if (std::size_t colon = timeOrYear.find(':'); colon != std::string_view::npos) {
        std::int32_t hour = DecimalValue(timeOrYear);
        std::int32_t minute = DecimalValue(timeOrYear.substr(colon + 1));
        int year = LocalYear(now);
        time_ = TimeFromLocal(year, monthNumber, dayNumber, hour, minute);
        if (time_ > static_cast<std::int64_t>(now) + kFutureSlack) {
            time_ = TimeFromLocal(year - 1, monthNumber, dayNumber, hour, minute);
        }
    } else {
        time_ = TimeFromLocal(DecimalValue(timeOrYear), monthNumber, dayNumber, 0, 0);
    }
}

void RemoteEntry::SetSizeAndTime(std::int64_t size, std::int32_t time) {
    SetSizeAndTime(size, time, std::time(nullptr));
}

void RemoteEntry::SetSizeAndTime(std::int64_t size, std::int32_t time, std::time_t now) {
    size_ = size;
    sizeText_ = DecimalText(size);
    time_ = time;
    exactTime_ = false;

    std::tm fields{};
    if (!LocalFields(time, fields)) {
        dateText_.clear();
        return;
    }
    dateText_ = ShortText(fields, time, now);
}

std::string RemoteEntry::TargetPath() const {
    return kind_ == EntryKind::Link ? linkTarget_ : name_;
}

std::string RemoteEntry::LocalName() const {
    if (kind_ != EntryKind::Link) {
        return name_;
    }
    std::size_t slash = linkTarget_.rfind('/');
    return slash == std::string::npos ? linkTarget_ : linkTarget_.substr(slash + 1);
}

bool IsSafeLocalName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

void RemoteEntry::SetPermissions(int permissions) {
    permissions_ = permissions < 0 ? kNoPermissions : static_cast<std::uint16_t>(permissions & 07777);
}

std::string PermissionsText(int permissions) {
    if (permissions < 0) {
        return {};
    }
    std::string text = "rwxrwxrwx";
    for (int bit = 0; bit < 9; ++bit) {
        if ((permissions & (0400 >> bit)) == 0) {
            text[static_cast<std::size_t>(bit)] = '-';
        }
    }
    // The set-id and sticky bits take the execute letter's place, in upper case without execute.
    constexpr struct {
        int bit;
        std::size_t position;
        char letter;
    } kSpecial[] = {{04000, 2, 's'}, {02000, 5, 's'}, {01000, 8, 't'}};
    for (const auto& special : kSpecial) {
        if ((permissions & special.bit) != 0) {
            text[special.position] = text[special.position] == 'x'
                                         ? special.letter
                                         : static_cast<char>(special.letter - 'a' + 'A');
        }
    }
    return text;
}
