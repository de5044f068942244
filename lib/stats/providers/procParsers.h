// Parsers of the kernel's /proc text files, as pure functions over the text.
//
// Every parser takes the whole file content as a string_view, allocates
// nothing, and keeps views into that text only (valid while the text is). The
// cursors (`MeminfoCursor`, `DiskstatsCursor`, ...) yield one parsed line at a
// time and pass over lines that do not parse.
// Lines are whole lines, whatever their length. Numbers are parsed strictly:
// the whole token must be a decimal number in range. Where the kernel defines
// columns by position (diskstats, net/dev, the cpu lines of stat, pid stat and
// statm), the column count is checked before a column is read.
//
// Reading the files is `ProcFileReader`'s job (procFileReader.h); what the
// values mean and in which unit they are stored is the provider's.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace Stats {
namespace Providers {

/// kAbsent (all 64 bits set) marks a raw value that could not be obtained. It
/// is never reported.
constexpr uint64_t kAbsent = ~uint64_t{0};

/// ParseUnsigned sets value and returns true when token is a non-empty run of
/// decimal digits that fits in 64 bits; otherwise returns false and leaves
/// value unchanged. No sign, no blanks.
bool ParseUnsigned(std::string_view token, uint64_t& value);

/// ParseSigned: as ParseUnsigned, with an optional leading '-'.
bool ParseSigned(std::string_view token, int64_t& value);

/// ParseDecimal sets value to the decimal number in token times
/// 10^decimals, exactly ("2394.454" with 3 decimals is 2394454, "0.53" with 2
/// is 53), and returns true. The token is digits with at most one '.' and at
/// least one digit; digits after the point beyond `decimals` are dropped
/// (truncation toward zero). Returns false, value unchanged, for anything else
/// (a sign, an exponent, "inf") or a result that does not fit in 64 bits.
/// The kernel writes these values from integers (kHz, hundredths of a load):
/// parsing them through binary floating point would lose the last digit of
/// some ("1024.002" times 1000 in single precision truncates to 1024001).
bool ParseDecimal(std::string_view token, unsigned decimals, uint64_t& value);

/// MultiplyOrAbsent returns a * b, or kAbsent when either is kAbsent or the
/// product does not fit below kAbsent.
inline uint64_t MultiplyOrAbsent(uint64_t a, uint64_t b) {
  uint64_t product = 0;
  if (a == kAbsent || b == kAbsent || __builtin_mul_overflow(a, b, &product) || product == kAbsent) return kAbsent;
  return product;
}

/// NextLine cuts the first line (without its '\n') off text. Returns false
/// only when text is empty; a last line without '\n' is still a line.
inline bool NextLine(std::string_view& text, std::string_view& line) {
  if (text.empty()) return false;
  const size_t nl = text.find('\n');
  if (nl == std::string_view::npos) {
    line = text;
    text = std::string_view();
  } else {
    line = text.substr(0, nl);
    text.remove_prefix(nl + 1);
  }
  return true;
}

/// IsBlank: space, tab, CR, VT or FF (not the line feed).
inline bool IsBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r' && c != '\n'); }

/// TrimBlanks returns text without leading and trailing blanks (space, tab, CR, VT, FF).
inline std::string_view TrimBlanks(std::string_view text) {
  size_t b = 0;
  size_t e = text.size();
  while (b < e && IsBlank(text[b])) ++b;
  while (e > b && IsBlank(text[e - 1])) --e;
  return text.substr(b, e - b);
}

/// FieldCursor yields the blank-separated tokens of one line.
class FieldCursor {
public:
  explicit FieldCursor(std::string_view line) : p_(line.data()), end_(line.data() + line.size()) {}
  /// Next sets token to the next non-empty token; false at the end.
  bool Next(std::string_view& token) {
    const char* p = p_;
    while (p != end_ && IsBlank(*p)) ++p;
    const char* const b = p;
    while (p != end_ && !IsBlank(*p)) ++p;
    p_ = p;
    if (b == p) return false;
    token = std::string_view(b, static_cast<size_t>(p - b));
    return true;
  }
  /// NextUnsigned reads the next token as ParseUnsigned does, in one pass:
  /// false (value unchanged) when there is no token or it is not a number.
  bool NextUnsigned(uint64_t& value);

private:
  const char* p_;
  const char* end_;
};

/// LineCursor is the common part of the cursors: the text not read yet.
class LineCursor {
public:
  explicit LineCursor(std::string_view text) : rest_(text) {}

protected:
  bool NextLine(std::string_view& line) { return Providers::NextLine(rest_, line); }

private:
  std::string_view rest_;
};

/// MeminfoLine is one "Key: value [unit]" line of /proc/meminfo.
struct MeminfoLine {
  std::string_view key;   // text before the colon, e.g. "Active(anon)"
  uint64_t value = 0;     // as written
  std::string_view unit;  // "kB", or empty (HugePages_Total: 0)
};

/// MeminfoCursor yields the lines of /proc/meminfo by key, in file order.
class MeminfoCursor : public LineCursor {
public:
  using LineCursor::LineCursor;
  bool Next(MeminfoLine& line);
};

/// StatLine is one recognised line of /proc/stat, dispatched on its first token.
struct StatLine {
  enum Kind { CpuTotal, Cpu, BootTime };
  Kind kind = CpuTotal;
  uint32_t cpu = 0;                  // Cpu: the number after "cpu"
  std::array<uint64_t, 8> ticks{};   // CpuTotal, Cpu: user nice system idle iowait irq softirq steal, or kAbsent
  uint64_t bootTime = 0;             // BootTime: seconds since the epoch
};

/// StatCursor yields the "cpu", "cpuN" and "btime" lines of /proc/stat. A cpu
/// line needs at least the 4 numeric columns of the oldest kernels (user nice
/// system idle); the tick columns it does not have (iowait, irq, softirq and
/// steal on kernels before 2.6.11) are kAbsent. Other keys (intr, ctxt, ...)
/// are passed over.
class StatCursor : public LineCursor {
public:
  using LineCursor::LineCursor;
  bool Next(StatLine& line);
};

/// CpuFrequency pairs a processor number with its "cpu MHz" value in kHz.
struct CpuFrequency {
  uint32_t processor = 0;
  uint64_t khz = 0;
};

/// CpuinfoCursor yields, for each "processor : N" line, the first "cpu MHz"
/// line that follows it (before the next processor line). Processors without
/// a frequency line yield nothing.
class CpuinfoCursor : public LineCursor {
public:
  using LineCursor::LineCursor;
  bool Next(CpuFrequency& frequency);

private:
  bool haveProcessor_ = false;
  uint32_t processor_ = 0;
};

/// ParseLoadavg sets the 1-, 5- and 15-minute loads, in hundredths, from the
/// first three tokens of /proc/loadavg; false (loads unchanged) when they are
/// not numbers.
bool ParseLoadavg(std::string_view text, std::array<uint64_t, 3>& loads);

/// DiskstatsLine is one line of /proc/diskstats: the device name and the
/// first 11 statistics columns (reads completed ... weighted time doing I/O),
/// as written (times in milliseconds). A partition line of a kernel before
/// 2.6.25 fills reads, sectors read, writes and sectors written (columns 1, 3,
/// 5 and 7); the other columns are kAbsent.
struct DiskstatsLine {
  std::string_view name;
  std::array<uint64_t, 11> values{};
};

/// DiskstatsCursor yields lines with a major, a minor, a name and at least 11
/// numeric columns, or exactly 4 (the old partition layout); columns after the
/// 11th (discards, flushes) are ignored.
class DiskstatsCursor : public LineCursor {
public:
  using LineCursor::LineCursor;
  bool Next(DiskstatsLine& line);
};

/// DiskParentName returns the name without its trailing decimal digits, never
/// removing the first character: "sda1" -> "sda", "nvme0n1p1" -> "nvme0n1p",
/// "dm-0" -> "dm-", "sda" -> "sda", "7" -> "7".
std::string_view DiskParentName(std::string_view name);

/// NetDevLine is one interface line of /proc/net/dev: the name and the 8
/// receive then 8 transmit columns.
struct NetDevLine {
  std::string_view name;
  std::array<uint64_t, 16> values{};
};

/// NetDevCursor passes over the two header lines, then yields lines of the
/// form "name: 16 numbers" (split at the first colon; names cannot hold one).
class NetDevCursor : public LineCursor {
public:
  explicit NetDevCursor(std::string_view text);
  bool Next(NetDevLine& line);
};

/// PidStat holds the fields of /proc/<pid>/stat that the provider uses. Any
/// field that is missing or not a valid number is kAbsent.
struct PidStat {
  std::string_view comm;  // the command name with its parentheses, "(my daemon)"
  char state = '\0';
  uint64_t utime = kAbsent;      // field 14, ticks
  uint64_t stime = kAbsent;      // field 15, ticks
  uint64_t threads = kAbsent;    // field 20
  uint64_t startTime = kAbsent;  // field 22, ticks since boot
  uint64_t vsize = kAbsent;      // field 23, bytes
  uint64_t rss = kAbsent;        // field 24, pages
};

/// ParsePidStat reads "pid (comm) state ...": the command name runs from the
/// first '(' to the last ')', so it may hold blanks and parentheses. Returns
/// false (stat reset to its defaults) when pid, command name or state cannot
/// be found.
bool ParsePidStat(std::string_view text, PidStat& stat);

/// PidStatm holds /proc/<pid>/statm in pages; missing columns are kAbsent.
struct PidStatm {
  uint64_t size = kAbsent;
  uint64_t resident = kAbsent;
  uint64_t shared = kAbsent;
  uint64_t text = kAbsent;
  uint64_t data = kAbsent;  // column 6 (column 5, lib, is unused since 2.6)
};

/// ParsePidStatm returns true when at least one column was read.
bool ParsePidStatm(std::string_view text, PidStatm& statm);

/// CmdlineToText sets out to the NUL-separated arguments joined by single
/// spaces (each NUL becomes a space), trimmed of leading and trailing white
/// space. Reuses out's storage.
void CmdlineToText(std::string_view raw, std::string& out);

}  // namespace Providers
}  // namespace Stats
