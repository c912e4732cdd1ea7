#pragma once
// Turns one line of a directory listing into a Remote page entry, telling the line's format from the
// line itself: MLSD facts, a DOS/IIS line, EPLF, or else a Unix long listing.
//
// Every line ends at its first NUL. What each format must look like, and what a bad line gives:
// - MLSD, "fact=value;fact=value; name": a line whose first word starts with a fact name (a letter,
//   then letters, digits, '.', '-' or '_') and '=' and holds a ';'. The name is everything after the
//   first blank. No blank, an empty name, or a type of cdir or pdir: no row. Fact names and the type's
//   value ignore letter case. A fact without '=', an unknown fact, and a fact whose value does not read
//   exactly (a size that is not all digits or exceeds 2^63-1, a modify time that is not
//   YYYYMMDDHHMMSS[.digits] naming a real date and time from 1970 to 2038) is ignored; an unknown type
//   is a file, a link without a target leads to its own name. Without a size fact, sizd counts.
//   UNIX.mode in octal gives the permission bits (07777 of it); perm is read past.
// - DOS/IIS, "MM-DD-YY[YY]  HH:MM[AM|PM]  <DIR>|size  name": a line that starts with two digits and '-'.
//   A column of the wrong shape, or no name: no row. A value out of range (month 13, day 32, hour 25,
//   minute 60, a size beyond 2^63-1) loses only the time or the size. Two-digit years 70 to 99 are
//   19xx, the others 20xx; the time is the server's local time, read as ours.
// - EPLF, "+fact,fact,...<TAB>name": a line that starts with '+'. '/' makes a directory; s<size> and
//   m<seconds since 1970> read like MLSD's size and modify (m, in UTC to the second, is an exact time like
//   modify). No tab or an empty name: no row.
// - Unix: any other line. Shorter than kMinUnixLine (such as "total 12"): no row; otherwise exactly
//   RemoteEntry::FromListingLine, a placeholder for a line it cannot read included. The first field
//   gives the permissions when it reads as a mode ("drwxr-sr-x", an access-list mark after it allowed).
// A size the line does not give has an empty size text, a time it does not give an empty date text.
#include <cstddef>
#include <ctime>
#include <optional>
#include <string_view>

#include "listing/RemoteEntry.h"

class ListingParser {
  public:
    // Unix lines shorter than this carry no entry.
    static constexpr std::size_t kMinUnixLine = 31;

    // The entry of `line`, or nullopt when it gives no row. `now` decides the year of a Unix date
    // without one and whether a date text shows the year.
    static std::optional<RemoteEntry> Parse(std::string_view line, std::time_t now);
    static std::optional<RemoteEntry> Parse(std::string_view line);
};
