#include "kestrix/format.h"

#include <charconv>
#include <cstdio>

namespace Kestrix {

std::string ObjectImpl::ToString() const {
  std::string out = "Object(";
  Detail::AppendPointer(out, this);
  out += ")";
  return out;
}

namespace Detail {

void AppendSigned(std::string& out, long long v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

void AppendUnsigned(std::string& out, unsigned long long v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

void AppendDouble(std::string& out, double v) {
  char buf[64];
  int n = std::snprintf(buf, sizeof buf, "%g", v);
  if (n > 0) out.append(buf, static_cast<size_t>(n));
}

void AppendPointer(std::string& out, const void* p) {
  char buf[24];
  int n = std::snprintf(buf, sizeof buf, "0x%llx",
                        static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
  if (n > 0) out.append(buf, static_cast<size_t>(n));
}

void FormatInto(std::string& out, std::string_view format, const FormatArg* args, size_t count) {
  size_t i = 0;
  const size_t n = format.size();
  while (i < n) {
    const char c = format[i];
    if (c != '%' || i + 1 >= n) {
      out += c;
      ++i;
      continue;
    }
    const char next = format[i + 1];
    if (next == '%') {
      out += '%';
      i += 2;
      continue;
    }
    if (next < '0' || next > '9') {
      out += c;
      ++i;
      continue;
    }
    // Greedy number; a huge number simply has no argument.
    size_t j = i + 1;
    size_t index = 0;
    bool overflow = false;
    while (j < n && format[j] >= '0' && format[j] <= '9') {
      if (index > 100000) overflow = true;
      else index = index * 10 + static_cast<size_t>(format[j] - '0');
      ++j;
    }
    if (!overflow && index >= 1 && index <= count) {
      args[index - 1].append(out, args[index - 1].value);
    } else {
      out.append(format.substr(i, j - i));
    }
    i = j;
  }
}

}  // namespace Detail
std::string PointerField(const void* p) {
  std::string hex = MessageFormatter::ASPrint("%1", p);
  if (hex.size() < 16) hex.insert(0, 16 - hex.size(), '0');
  return hex;
}

}  // namespace Kestrix
