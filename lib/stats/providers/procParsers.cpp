#include "stats/providers/procParsers.h"

#include <charconv>
#include <cmath>

namespace Stats {
namespace Providers {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// ReadColumns parses the next values.size() tokens of fields as unsigned
// numbers; false when a token is missing or not a number.
template <size_t N>
bool ReadColumns(FieldCursor& fields, std::array<uint64_t, N>& values) {
  std::string_view token;
  for (auto& v : values) {
    if (!fields.Next(token) || !ParseUnsigned(token, v)) return false;
  }
  return true;
}

// SplitKey splits "key: value" at the first colon into the trimmed key and the
// trimmed value; false when there is no colon or the key is empty.
bool SplitKey(std::string_view line, std::string_view& key, std::string_view& value) {
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) return false;
  key = TrimBlanks(line.substr(0, colon));
  value = TrimBlanks(line.substr(colon + 1));
  return !key.empty();
}

}  // namespace

bool ParseUnsigned(std::string_view token, uint64_t& value) {
  if (token.empty() || token.front() < '0' || token.front() > '9') return false;
  uint64_t v = 0;
  const auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), v);
  if (ec != std::errc() || end != token.data() + token.size()) return false;
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

bool ParseFloat(std::string_view token, float& value) {
  // Only plain decimal text: from_chars would also take "inf", "nan" and exponents.
  for (char c : token) {
    if (!((c >= '0' && c <= '9') || c == '.' || c == '-')) return false;
  }
  float v = 0;
  const auto [end, ec] =
      std::from_chars(token.data(), token.data() + token.size(), v, std::chars_format::fixed);
  if (token.empty() || ec != std::errc() || end != token.data() + token.size() || !std::isfinite(v))
    return false;
  value = v;
  return true;
}

uint64_t ScaleFloat(float value, float factor) {
  const float product = value * factor;
  // 2^64 as a float; anything at or above it (or NaN, or negative) has no u64 value.
  if (!(product >= 0.0f) || !(product < 18446744073709551616.0f)) return kAbsent;
  return static_cast<uint64_t>(product);
}

uint64_t MultiplyOrAbsent(uint64_t a, uint64_t b) {
  if (a == kAbsent || b == kAbsent) return kAbsent;
  uint64_t product = 0;
  if (__builtin_mul_overflow(a, b, &product) || product == kAbsent) return kAbsent;
  return product;
}

bool NextLine(std::string_view& text, std::string_view& line) {
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

std::string_view TrimBlanks(std::string_view text) {
  size_t b = 0;
  size_t e = text.size();
  while (b < e && IsBlank(text[b])) ++b;
  while (e > b && IsBlank(text[e - 1])) --e;
  return text.substr(b, e - b);
}

bool FieldCursor::Next(std::string_view& token) {
  size_t b = 0;
  while (b < rest_.size() && IsBlank(rest_[b])) ++b;
  if (b == rest_.size()) {
    rest_ = std::string_view();
    return false;
  }
  size_t e = b;
  while (e < rest_.size() && !IsBlank(rest_[e])) ++e;
  token = rest_.substr(b, e - b);
  rest_.remove_prefix(e);
  return true;
}

bool MeminfoCursor::Next(MeminfoLine& out) {
  std::string_view line;
  while (NextLine(line)) {
    std::string_view key;
    std::string_view value;
    if (SplitKey(line, key, value)) {
      FieldCursor fields(value);
      std::string_view number;
      std::string_view unit;
      std::string_view extra;
      if (fields.Next(number) && ParseUnsigned(number, out.value)) {
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
      if (ReadColumns(fields, out.ticks)) return true;
    } else if (key == "btime") {
      std::string_view token;
      if (fields.Next(token) && ParseUnsigned(token, out.bootTime)) {
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
    std::string_view key;
    std::string_view value;
    if (!SplitKey(line, key, value)) continue;
    if (key == "processor") {
      uint64_t n = 0;
      haveProcessor_ = ParseUnsigned(value, n) && n <= UINT32_MAX;
      if (haveProcessor_) processor_ = static_cast<uint32_t>(n);
    } else if (key == "cpu MHz" && haveProcessor_) {
      if (ParseFloat(value, out.mhz)) {
        out.processor = processor_;
        haveProcessor_ = false;
        return true;
      }
    }
  }
  return false;
}

bool ParseLoadavg(std::string_view text, std::array<float, 3>& loads) {
  std::string_view line;
  if (!NextLine(text, line)) return false;
  FieldCursor fields(line);
  std::array<float, 3> parsed{};
  std::string_view token;
  for (auto& v : parsed) {
    if (!fields.Next(token) || !ParseFloat(token, v)) return false;
  }
  loads = parsed;
  return true;
}

bool DiskstatsCursor::Next(DiskstatsLine& out) {
  std::string_view line;
  while (NextLine(line)) {
    FieldCursor fields(line);
    std::string_view major;
    std::string_view minor;
    uint64_t number = 0;
    if (fields.Next(major) && ParseUnsigned(major, number) && fields.Next(minor) &&
        ParseUnsigned(minor, number) && fields.Next(out.name) && ReadColumns(fields, out.values))
      return true;
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
