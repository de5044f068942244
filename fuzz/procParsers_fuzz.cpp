// One libFuzzer entry point per /proc reader; TW_FUZZ_READER picks which.
// Besides the sanitizers, each checks what callers rely on: views stay inside
// the input, names hold no separator, cursors end.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "stats/providers/procParsers.h"

using namespace Stats::Providers;

namespace {

std::string_view g_input;

void Check(bool condition) {
  if (!condition) std::abort();
}

// Inside: view is empty or lies within the fuzzer's input.
void CheckInside(std::string_view view) {
  Check(view.empty() ||
        (view.data() >= g_input.data() && view.data() + view.size() <= g_input.data() + g_input.size()));
}

[[maybe_unused]] void FuzzMeminfo(std::string_view text) {
  MeminfoCursor cursor(text);
  MeminfoLine line;
  while (cursor.Next(line)) {
    CheckInside(line.key);
    Check(!line.key.empty() && line.key.find(':') == std::string_view::npos);
    Check(line.key.find('\n') == std::string_view::npos);
  }
}

[[maybe_unused]] void FuzzStat(std::string_view text) {
  StatCursor cursor(text);
  StatLine line;
  size_t lines = 0;
  while (cursor.Next(line)) Check(++lines <= text.size());
}

// CheckDecimals: every token that reads as a decimal reads as one at every
// precision, each a tenth of the next (dropped digits truncate), and only
// plain decimal text reads at all.
void CheckDecimals(std::string_view text) {
  std::string_view line;
  while (NextLine(text, line)) {
    FieldCursor tokens(line);
    std::string_view token;
    while (tokens.Next(token)) {
      uint64_t milli = 0;
      if (!ParseDecimal(token, 3, milli)) continue;
      Check(token.find_first_not_of("0123456789.") == std::string_view::npos);
      uint64_t centi = 0;
      Check(ParseDecimal(token, 2, centi) && centi == milli / 10);
      uint64_t whole = 0;
      Check(ParseDecimal(token, 0, whole) && whole == milli / 1000);
    }
  }
}

[[maybe_unused]] void FuzzCpuinfo(std::string_view text) {
  CheckDecimals(text);
  CpuinfoCursor cursor(text);
  CpuFrequency f;
  size_t frequencies = 0;
  while (cursor.Next(f)) Check(++frequencies <= text.size());
}

[[maybe_unused]] void FuzzLoadavg(std::string_view text) {
  CheckDecimals(text);
  std::array<uint64_t, 3> loads{};
  (void)ParseLoadavg(text, loads);
}

// CheckNumbers: reading a line's numbers in one pass gives what cutting it
// into tokens and parsing each gives, token for token.
void CheckNumbers(std::string_view text) {
  std::string_view line;
  while (NextLine(text, line)) {
    FieldCursor tokens(line);
    FieldCursor numbers(line);
    std::string_view token;
    for (;;) {
      uint64_t want = 7;
      uint64_t got = 7;
      const bool more = tokens.Next(token);
      const bool wantOk = more && ParseUnsigned(token, want);
      Check(numbers.NextUnsigned(got) == wantOk && got == want);
      if (!more) break;
    }
  }
}

[[maybe_unused]] void FuzzDiskstats(std::string_view text) {
  CheckNumbers(text);
  DiskstatsCursor cursor(text);
  DiskstatsLine line;
  while (cursor.Next(line)) {
    CheckInside(line.name);
    Check(!line.name.empty());
    const std::string_view parent = DiskParentName(line.name);
    Check(!parent.empty() && parent.size() <= line.name.size());
    for (uint64_t v : line.values) (void)MultiplyOrAbsent(v, 1000);
  }
}

[[maybe_unused]] void FuzzNetDev(std::string_view text) {
  CheckNumbers(text);
  NetDevCursor cursor(text);
  NetDevLine line;
  while (cursor.Next(line)) {
    CheckInside(line.name);
    Check(!line.name.empty() && line.name.find(':') == std::string_view::npos);
  }
}

[[maybe_unused]] void FuzzPidStat(std::string_view text) {
  PidStat stat;
  if (ParsePidStat(text, stat)) {
    CheckInside(stat.comm);
    Check(stat.comm.size() >= 2 && stat.comm.front() == '(' && stat.comm.back() == ')');
  }
}

[[maybe_unused]] void FuzzPidStatm(std::string_view text) {
  PidStatm statm;
  ParsePidStatm(text, statm);
}

[[maybe_unused]] void FuzzCmdline(std::string_view text) {
  std::string out;
  CmdlineToText(text, out);
  Check(out.size() <= text.size() && out.find('\0') == std::string::npos);
  Check(out.empty() || (out.front() != ' ' && out.back() != ' '));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  g_input = std::string_view(reinterpret_cast<const char*>(data), size);
  TW_FUZZ_READER(g_input);
  return 0;
}
