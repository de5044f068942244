#include "apps/tallywick-report/timeText.h"

#include <charconv>
#include <cstdio>
#include <limits>

#include "kestrix/exception.h"

namespace Tallywick {
namespace Report {
namespace {

[[noreturn]] void Reject(std::string_view text, const char* why) {
  throw Kestrix::InvalidArgumentException("invalid time '" + std::string(text) + "': " + why);
}

// ReadDigits parses exactly count decimal digits at text[pos].
bool ReadDigits(std::string_view text, size_t pos, size_t count, unsigned& value) {
  if (pos + count > text.size()) return false;
  value = 0;
  for (size_t i = pos; i < pos + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + static_cast<unsigned>(text[i] - '0');
  }
  return true;
}

bool IsLeap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysInMonth(int64_t y, unsigned m) {
  static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

int64_t ParseCalendar(std::string_view text) {
  unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!ReadDigits(text, 0, 4, year) || text.size() < 10 || text[4] != '-' ||
      !ReadDigits(text, 5, 2, month) || text[7] != '-' || !ReadDigits(text, 8, 2, day)) {
    Reject(text, "expected now, epoch seconds, an age such as -2h, or YYYY-MM-DD[THH:MM[:SS]][Z]");
  }
  size_t pos = 10;
  // A date alone may carry the UTC mark too: "2024-12-07Z" is its midnight.
  if (pos + 1 == text.size() && text[pos] == 'Z') ++pos;
  if (pos < text.size()) {
    if (text[pos] != 'T' && text[pos] != ' ') Reject(text, "expected 'T' or ' ' after the date");
    if (!ReadDigits(text, pos + 1, 2, hour) || pos + 3 >= text.size() || text[pos + 3] != ':' ||
        !ReadDigits(text, pos + 4, 2, minute)) {
      Reject(text, "expected HH:MM after the date");
    }
    pos += 6;
    if (pos < text.size() && text[pos] == ':') {
      if (!ReadDigits(text, pos + 1, 2, second)) Reject(text, "expected two digits of seconds");
      pos += 3;
    }
    if (pos < text.size() && text[pos] == 'Z') ++pos;
    if (pos != text.size()) Reject(text, "unexpected text after the time");
  }
  if (month < 1 || month > 12) Reject(text, "month out of range");
  if (day < 1 || day > DaysInMonth(year, month)) Reject(text, "day out of range");
  if (hour > 23 || minute > 59 || second > 59) Reject(text, "time of day out of range");
  return DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
}

}  // namespace

int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  // Days from civil (era-based, exact for the whole proleptic calendar).
  const int64_t y = month <= 2 ? year - 1 : year;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t days, int64_t& year, unsigned& month, unsigned& day) {
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
  year = yoe + era * 400 + (month <= 2 ? 1 : 0);
}

int64_t ParseTimeArg(std::string_view text, int64_t nowSeconds) {
  if (text == "now") return nowSeconds;
  if (text.empty()) Reject(text, "empty");
  if (text[0] == '-') {
    const char unit = text.back();
    int64_t scale = 0;
    switch (unit) {
      case 's': scale = 1; break;
      case 'm': scale = 60; break;
      case 'h': scale = 3600; break;
      case 'd': scale = 86400; break;
      case 'w': scale = 7 * 86400; break;
      default: Reject(text, "an age needs a unit: s, m, h, d or w");
    }
    const std::string_view digits = text.substr(1, text.size() - 2);
    int64_t n = 0;
    auto r = std::from_chars(digits.data(), digits.data() + digits.size(), n);
    if (digits.empty() || r.ec != std::errc() || r.ptr != digits.data() + digits.size() || n <= 0) {
      Reject(text, "an age is '-', a positive whole number and a unit");
    }
    if (n > std::numeric_limits<int64_t>::max() / scale ||
        nowSeconds < std::numeric_limits<int64_t>::min() + n * scale) {
      Reject(text, "age out of range");
    }
    return nowSeconds - n * scale;
  }
  if (text.size() > 4 && text[4] == '-') return ParseCalendar(text);
  int64_t seconds = 0;
  auto r = std::from_chars(text.data(), text.data() + text.size(), seconds);
  if (r.ec == std::errc::result_out_of_range) Reject(text, "out of range");
  if (r.ec != std::errc() || r.ptr != text.data() + text.size()) {
    Reject(text, "expected now, epoch seconds, an age such as -2h, or YYYY-MM-DD[THH:MM[:SS]][Z]");
  }
  return seconds;
}

std::string FormatUtc(int64_t seconds) {
  // Floor division so that times before the epoch land on the right day.
  int64_t days = seconds / 86400;
  int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  int64_t year = 0;
  unsigned month = 0, day = 0;
  CivilFromDays(days, year, month, day);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04lld-%02u-%02uT%02u:%02u:%02uZ", static_cast<long long>(year), month,
                day, static_cast<unsigned>(rest / 3600), static_cast<unsigned>(rest / 60 % 60),
                static_cast<unsigned>(rest % 60));
  return buf;
}

}  // namespace Report
}  // namespace Tallywick
