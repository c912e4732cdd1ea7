#pragma once
// Converts a listing's local date and time of day to seconds since 1970 exactly as mktime does
// (out-of-range fields normalised, daylight saving from the zone rules). With TZ unset, glibc's mktime
// stats /etc/localtime on every call, which made parsing a long listing six times slower; then the
// conversion is done with localtime_r, leaving only a skipped or repeated local hour to mktime.
#include <cstdint>
#include <ctime>
#include <optional>

// Days since 1970-01-01 of a proleptic Gregorian date (month 1 to 12, day 1 to 31); also the basis of
// UTC times, which need no zone.
std::int64_t DaysFromCivil(std::int64_t year, int month, int day);

// Local year-month-day hour:minute:00 as a 32-bit time; -1 before 1970 or past the signed 32-bit range.
// Month 1 to 12; year, day, hour and minute are any 32-bit values (out-of-range ones normalised).
std::int32_t TimeFromLocal(std::int64_t year, int month, std::int64_t day, std::int64_t hour,
                           std::int64_t minute);

// The same conversion without mktime: the one local time that matches, when the UTC offset is the same
// for two days either side; nullopt near a zone transition (a skipped or repeated hour), where mktime
// itself decides. Exposed for tests.
std::optional<std::int64_t> TimeFromLocalQuick(std::int64_t year, int month, std::int64_t day,
                                               std::int64_t hour, std::int64_t minute);

// The calendar year of `time` in local time (1970 when it cannot be converted).
int LocalYear(std::time_t time);
