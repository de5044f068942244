#include "kestrix/stringUtil.h"

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>
#include <charconv>
#include <mutex>

namespace Kestrix {
namespace StringUtil {

std::string Trim(std::string_view text) {
  const char* ws = " \t\r\n\v\f";
  size_t b = text.find_first_not_of(ws);
  if (b == std::string_view::npos) return std::string();
  size_t e = text.find_last_not_of(ws);
  return std::string(text.substr(b, e - b + 1));
}

std::string GenerateUuid() {
  static std::mutex mutex;  // the generator is not thread safe
  static boost::uuids::random_generator gen;
  std::lock_guard<std::mutex> lock(mutex);
  return boost::uuids::to_string(gen());
}

size_t Utf8SequenceLength(std::string_view text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char b = byte(at);
  if (b < 0x80) return 1;
  // The length, and the range of the second byte, which rules out overlong
  // forms, surrogates and values beyond U+10FFFF.
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    length = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    length = 3;
    if (b == 0xE0) low = 0xA0;
    if (b == 0xED) high = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    length = 4;
    if (b == 0xF0) low = 0x90;
    if (b == 0xF4) high = 0x8F;
  }
  if (length == 0 || at + length > text.size() || byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (size_t k = 2; k < length; ++k) {
    if (byte(at + k) < 0x80 || byte(at + k) > 0xBF) return 0;
  }
  return length;
}

std::string EscapeInvalidUtf8(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const size_t length = Utf8SequenceLength(text, i);
    if (length != 0) {
      out.append(text.substr(i, length));
      i += length;
      continue;
    }
    const auto b = static_cast<unsigned char>(text[i++]);
    out += '%';
    out += kHex[b >> 4];
    out += kHex[b & 0xF];
  }
  return out;
}

std::string ShortestDouble(double v) {
  char buf[32];  // the longest shortest form, such as "-2.2250738585072014e-308", is 24
  const auto end = std::to_chars(buf, buf + sizeof buf, v).ptr;
  return std::string(buf, end);
}

}  // namespace StringUtil
}  // namespace Kestrix
