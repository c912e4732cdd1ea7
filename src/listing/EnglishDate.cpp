#include "listing/EnglishDate.h"

#include <array>
#include <charconv>
#include <string_view>

namespace {

constexpr std::array<std::string_view, 12> kShortMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::array<std::string_view, 12> kMonths = {"January",   "February", "March",    "April",
                                                      "May",       "June",     "July",     "August",
                                                      "September", "October",  "November", "December"};
constexpr std::array<std::string_view, 7> kWeekdays = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                                       "Thursday", "Friday", "Saturday"};

// A field the C library could only hold out of range after a bad conversion: shown as "?" rather than
// read past a table.
std::string_view Name(std::string_view const* table, int count, int index) {
    if (index < 0 || index >= count) {
        return "?";
    }
    return table[index];
}

void AppendNumber(std::string& out, long long value, int minDigits = 1) {
    char digits[24];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value < 0 ? -value : value);
    (void)ec;  // 24 characters hold any long long
    int length = static_cast<int>(end - digits);
    if (value < 0) {
        out += '-';
    }
    for (int i = length; i < minDigits; ++i) {
        out += '0';
    }
    out.append(digits, end);
}

}  // namespace

bool LocalFields(std::int64_t time, std::tm& fields) {
    if (time < 0) {
        return false;
    }
    std::time_t t = static_cast<std::time_t>(time);
    return localtime_r(&t, &fields) != nullptr;
}

std::string ShortDateText(const std::tm& fields, bool withYear) {
    std::string text;
    text.reserve(16);
    text += Name(kShortMonths.data(), 12, fields.tm_mon);
    text += ' ';
    AppendNumber(text, fields.tm_mday);
    text += ' ';
    if (withYear) {
        AppendNumber(text, 1900LL + fields.tm_year);
    } else {
        AppendNumber(text, fields.tm_hour, 2);
        text += ':';
        AppendNumber(text, fields.tm_min, 2);
    }
    return text;
}

std::string LongDateText(const std::tm& fields) {
    std::string text;
    text.reserve(48);
    text += Name(kWeekdays.data(), 7, fields.tm_wday);
    text += ", ";
    text += Name(kMonths.data(), 12, fields.tm_mon);
    text += ' ';
    AppendNumber(text, fields.tm_mday, 2);
    text += ", ";
    AppendNumber(text, 1900LL + fields.tm_year);
    text += ' ';
    int hour12 = fields.tm_hour % 12;
    AppendNumber(text, hour12 == 0 ? 12 : hour12);
    text += ':';
    AppendNumber(text, fields.tm_min, 2);
    text += ':';
    AppendNumber(text, fields.tm_sec, 2);
    text += fields.tm_hour < 12 ? " AM" : " PM";
    return text;
}

std::string LongDateText(std::int32_t time) {
    std::tm fields{};
    if (!LocalFields(time, fields)) {
        return {};
    }
    return LongDateText(fields);
}
