#include "stats/providers/procParsers.h"

#include <charconv>

namespace Stats {
namespace Providers {
namespace {


// ReadColumns parses the next values.size() tokens of fields as unsigned
// numbers; false when a token is missing or not a number.
template <size_t N>
bool ReadColumns(FieldCursor& fields, std::array<uint64_t, N>& values) {
  for (auto& v : values) {
    if (!fields.NextUnsigned(v)) return false;
  }
  return true;
}

// ReadLeadingColumns parses up to values.size() tokens of fields as unsigned
// numbers, for layouts of older kernels with fewer columns; read tells how
// many there were. False when a token is not a number.
template <size_t N>
bool ReadLeadingColumns(FieldCursor& fields, std::array<uint64_t, N>& values, size_t& read) {
  std::string_view token;
  for (read = 0; read < values.size() && fields.Next(token); ++read) {
    if (!ParseUnsigned(token, values[read])) return false;
  }
  return true;
}

// ReadCpuColumns parses the tick columns of a cpu line of /proc/stat. Kernels
// before 2.6.11 wrote fewer than 8 (2.4: user nice system idle; iowait, then
// irq and softirq, then steal came later): at least the first 4 must be there,
// and the columns a kernel does not write are kAbsent. A token that is not a
// number rejects the line; columns after the 8th are not read.
bool ReadCpuColumns(FieldCursor& fields, std::array<uint64_t, 8>& ticks) {
  constexpr size_t kFirstKernelColumns = 4;
  size_t read = 0;
  if (!ReadLeadingColumns(fields, ticks, read)) return false;
  for (size_t i = read; i < ticks.size(); ++i) ticks[i] = kAbsent;
  return read >= kFirstKernelColumns;
}

// SplitKey splits "key: value" at the first colon into the trimmed key and
// the rest; false when there is no colon or the key is empty. The rest keeps
// its blanks: callers that split it into fields need no trimming.
bool SplitKey(std::string_view line, std::string_view& key, std::string_view& rest) {
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) return false;
  key = TrimBlanks(line.substr(0, colon));
  rest = line.substr(colon + 1);
  return !key.empty();
}

}  // namespace

bool ParseUnsigned(std::string_view token, uint64_t& value) {
  // The first 19 digits cannot overflow; later ones are checked.
  if (token.empty()) return false;
  uint64_t v = 0;
  const size_t safe = token.size() < 19 ? token.size() : 19;
  for (size_t i = 0; i < safe; ++i) {
    const unsigned d = static_cast<unsigned char>(token[i]) - '0';
    if (d > 9) return false;
    v = v * 10 + d;
  }
  for (size_t i = safe; i < token.size(); ++i) {
    const unsigned d = static_cast<unsigned char>(token[i]) - '0';
    if (d > 9 || __builtin_mul_overflow(v, 10, &v) || __builtin_add_overflow(v, d, &v)) return false;
  }
  value = v;
  return true;
}

bool ParseSigned(std::string_view token, int64_t& value) {
  int64_t v = 0;
  const auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), v);
  if (token.empty() || ec != std::errc() || end != token.data() + token.size()) return false;
  value = v;
  return true;
}

bool ParseDecimal(std::string_view token, unsigned decimals, uint64_t& value) {
  uint64_t v = 0;
  bool point = false;
  bool digit = false;
  unsigned fraction = 0;  // digits taken after the point
  for (const char c : token) {
    if (c == '.' && !point) {
      point = true;
      continue;
    }
    const unsigned d = static_cast<unsigned char>(c) - '0';
    if (d > 9) return false;
    digit = true;
    if (point && fraction == decimals) continue;  // beyond the precision asked for
    if (point) ++fraction;
    if (__builtin_mul_overflow(v, 10, &v) || __builtin_add_overflow(v, d, &v)) return false;
  }
  if (!digit) return false;
  for (; fraction < decimals; ++fraction) {
    if (__builtin_mul_overflow(v, 10, &v)) return false;
  }
  value = v;
  return true;
}

bool FieldCursor::NextUnsigned(uint64_t& value) {
  // A local cursor: stores through a char pointer could otherwise alias p_.
  const char* p = p_;
  while (p != end_ && IsBlank(*p)) ++p;
  if (p == end_) {
    p_ = p;
    return false;
  }
  const char* const begin = p;
  uint64_t v = 0;
  unsigned d = 0;
  while (p != end_ && (d = static_cast<unsigned char>(*p) - '0') <= 9) {
    v = v * 10 + d;  // may wrap past 19 digits: such tokens take the checked path
    ++p;
  }
  if ((p == end_ || IsBlank(*p)) && p - begin <= 19) {
    p_ = p;
    value = v;
    return true;
  }
  while (p != end_ && !IsBlank(*p)) ++p;
  p_ = p;
  return ParseUnsigned(std::string_view(begin, static_cast<size_t>(p - begin)), value);
}

bool MeminfoCursor::Next(MeminfoLine& out) {
  std::string_view line;
  while (NextLine(line)) {
    std::string_view key;
    std::string_view value;
    if (SplitKey(line, key, value)) {
      FieldCursor fields(value);
      std::string_view unit;
      std::string_view extra;
      if (fields.NextUnsigned(out.value)) {
        if (!fields.Next(unit)) unit = std::string_view();
        if (!fields.Next(extra)) {
          out.key = key;
          out.unit = unit;
          return true;
        }
      }
    }
  }
  return false;
}

bool StatCursor::Next(StatLine& out) {
  std::string_view line;
  while (NextLine(line)) {
    FieldCursor fields(line);
    std::string_view key;
    if (!fields.Next(key)) continue;
    if (key.substr(0, 3) == "cpu") {
      const std::string_view number = key.substr(3);
      uint64_t cpu = 0;
      if (number.empty()) {
        out.kind = StatLine::CpuTotal;
      } else if (ParseUnsigned(number, cpu) && cpu <= UINT32_MAX) {
        out.kind = StatLine::Cpu;
        out.cpu = static_cast<uint32_t>(cpu);
      } else {
        continue;
      }
      if (ReadCpuColumns(fields, out.ticks)) return true;
    } else if (key == "btime") {
      if (fields.NextUnsigned(out.bootTime)) {
        out.kind = StatLine::BootTime;
        return true;
      }
    }
  }
  return false;
}

bool CpuinfoCursor::Next(CpuFrequency& out) {
  std::string_view line;
  while (NextLine(line)) {
    // Only "processor" and "cpu MHz" matter: other keys are passed over
    // without splitting the line.
    size_t first = 0;
    while (first < line.size() && IsBlank(line[first])) ++first;
    const std::string_view start = line.substr(first);
    if (start.substr(0, 9) != "processor" && start.substr(0, 7) != "cpu MHz") continue;
    std::string_view key;
    std::string_view value;
    if (!SplitKey(line, key, value)) continue;
    value = TrimBlanks(value);
    if (key == "processor") {
      uint64_t n = 0;
      haveProcessor_ = ParseUnsigned(value, n) && n <= UINT32_MAX;
      if (haveProcessor_) processor_ = static_cast<uint32_t>(n);
    } else if (key == "cpu MHz" && haveProcessor_) {
      if (ParseDecimal(value, 3, out.khz)) {
        out.processor = processor_;
        haveProcessor_ = false;
        return true;
      }
    }
  }
  return false;
}

bool ParseLoadavg(std::string_view text, std::array<uint64_t, 3>& loads) {
  std::string_view line;
  if (!NextLine(text, line)) return false;
  FieldCursor fields(line);
  std::array<uint64_t, 3> parsed{};
  std::string_view token;
  for (auto& v : parsed) {
    if (!fields.Next(token) || !ParseDecimal(token, 2, v)) return false;
  }
  loads = parsed;
  return true;
}

bool DiskstatsCursor::Next(DiskstatsLine& out) {
  std::string_view line;
  while (NextLine(line)) {
    FieldCursor fields(line);
    uint64_t number = 0;
    if (!fields.NextUnsigned(number) || !fields.NextUnsigned(number) || !fields.Next(out.name)) continue;
    size_t read = 0;
    if (!ReadLeadingColumns(fields, out.values, read)) continue;
    if (read == out.values.size()) return true;
    // Before 2.6.25 a partition line had 4 columns only: reads, sectors read,
    // writes, sectors written.
    if (read == 4) {
      const std::array<uint64_t, 4> old{out.values[0], out.values[1], out.values[2], out.values[3]};
      out.values.fill(kAbsent);
      for (size_t i = 0; i < old.size(); ++i) out.values[2 * i] = old[i];
      return true;
    }
  }
  return false;
}

std::string_view DiskParentName(std::string_view name) {
  size_t end = name.size();
  while (end > 1 && name[end - 1] >= '0' && name[end - 1] <= '9') --end;
  return name.substr(0, end);
}

NetDevCursor::NetDevCursor(std::string_view text) : LineCursor(text) {
  std::string_view header;
  for (int i = 0; i < 2; ++i) NextLine(header);
}

bool NetDevCursor::Next(NetDevLine& out) {
  std::string_view line;
  while (NextLine(line)) {
    std::string_view name;
    std::string_view values;
    if (SplitKey(line, name, values)) {
      FieldCursor fields(values);
      if (ReadColumns(fields, out.values)) {
        out.name = name;
        return true;
      }
    }
  }
  return false;
}

bool ParsePidStat(std::string_view text, PidStat& stat) {
  stat = PidStat();
  const size_t open = text.find('(');
  const size_t close = text.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) return false;
  uint64_t pid = 0;
  if (!ParseUnsigned(TrimBlanks(text.substr(0, open)), pid)) return false;
  FieldCursor fields(text.substr(close + 1));
  std::string_view state;
  if (!fields.Next(state) || state.size() != 1) return false;
  stat.comm = text.substr(open, close - open + 1);
  stat.state = state.front();
  // Fields are numbered from 1 (pid); the state is field 3.
  std::string_view token;
  for (int field = 4; field <= 24 && fields.Next(token); ++field) {
    uint64_t u = 0;
    int64_t s = 0;
    switch (field) {
      case 14: if (ParseUnsigned(token, u)) stat.utime = u; break;
      case 15: if (ParseUnsigned(token, u)) stat.stime = u; break;
      // num_threads and rss are signed in the kernel's format; negatives mean nothing.
      case 20: if (ParseSigned(token, s) && s >= 0) stat.threads = static_cast<uint64_t>(s); break;
      case 22: if (ParseUnsigned(token, u)) stat.startTime = u; break;
      case 23: if (ParseUnsigned(token, u)) stat.vsize = u; break;
      case 24: if (ParseSigned(token, s) && s >= 0) stat.rss = static_cast<uint64_t>(s); break;
      default: break;
    }
  }
  return true;
}

bool ParsePidStatm(std::string_view text, PidStatm& statm) {
  statm = PidStatm();
  std::string_view line;
  if (!NextLine(text, line)) return false;
  FieldCursor fields(line);
  uint64_t* const columns[] = {&statm.size, &statm.resident, &statm.shared, &statm.text, nullptr,
                               &statm.data};
  bool any = false;
  std::string_view token;
  for (uint64_t* column : columns) {
    if (!fields.Next(token)) break;
    uint64_t v = 0;
    if (!ParseUnsigned(token, v)) break;
    if (column) {
      *column = v;
      any = true;
    }
  }
  return any;
}

void CmdlineToText(std::string_view raw, std::string& out) {
  out.clear();
  size_t b = 0;
  size_t e = raw.size();
  auto isSpace = [](char c) { return c == '\0' || c == ' ' || c == '\n' || IsBlank(c); };
  while (b < e && isSpace(raw[b])) ++b;
  while (e > b && isSpace(raw[e - 1])) --e;
  out.assign(raw.data() + b, e - b);
  for (char& c : out) {
    if (c == '\0') c = ' ';
  }
}

}  // namespace Providers
}  // namespace Stats
