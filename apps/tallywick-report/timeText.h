// Time arguments and time display of the report. The database keeps whole
// seconds since the Unix epoch (UTC); the report reads and writes UTC only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace Tallywick {
namespace Report {

/// ParseTimeArg reads a point in time given on the command line and returns
/// seconds since the epoch. Accepted, with nothing before or after:
///   - "now";
///   - decimal seconds since the epoch ("1733547600");
///   - an age before now: '-', a positive number, and one of s, m, h, d, w
///     ("-90m", "-7d");
///   - a UTC calendar time "YYYY-MM-DD", "YYYY-MM-DDTHH:MM" or
///     "YYYY-MM-DDTHH:MM:SS", with 'T' or one blank between date and time and
///     an optional trailing 'Z'.
/// nowSeconds is the current time for "now" and ages. Throws
/// `Kestrix::InvalidArgumentException` naming the text when it is none of
/// these, when a field is out of range (month 13, 25:00, February 30) or when
/// the result does not fit in a signed 64-bit second count.
int64_t ParseTimeArg(std::string_view text, int64_t nowSeconds);

/// FormatUtc writes seconds since the epoch as "YYYY-MM-DDTHH:MM:SSZ"
/// (negative seconds give dates before 1970; years outside 0..9999 are written
/// with as many digits as they need).
std::string FormatUtc(int64_t seconds);

/// DaysFromCivil returns the days since 1970-01-01 of a proleptic Gregorian
/// date; CivilFromDays is its inverse. month is 1..12, day 1..31.
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day);
void CivilFromDays(int64_t days, int64_t& year, unsigned& month, unsigned& day);

}  // namespace Report
}  // namespace Tallywick
