#pragma once
// Date texts in English whatever the user's locale: the listing's short form ("Jan 5 13:45",
// "Jun 3 2025") and the long form of the properties dialog ("Friday, January 05, 1996 1:45:00 PM").
// Fixed name tables, so neither LC_TIME nor the C library's missing "%#" flag matter.
#include <cstdint>
#include <ctime>
#include <string>

// The local-time fields of `time`, or false when it has none: every negative time counts as no valid
// time, even where the C library could convert it.
bool LocalFields(std::int64_t time, std::tm& fields);

// "Jan 5 13:45" or, with the year, "Jun 3 2025": month, day without leading zero, then the hour and
// minute or the four-digit year.
std::string ShortDateText(const std::tm& fields, bool withYear);

// "Friday, January 05, 1996 1:45:00 PM": the hour runs 1 to 12 without leading zero.
std::string LongDateText(const std::tm& fields);
// The same for a time; empty when the time has no local-time representation.
std::string LongDateText(std::int32_t time);
