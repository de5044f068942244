// Message formatting with numbered placeholders.
//
// `MessageFormatter::ASPrint("%1 of %2", a, b)` replaces "%1".."%N" with the
// arguments in order. The number after '%' is read greedily ("%10" is the tenth
// argument), "%%" gives "%", and a placeholder without an argument stays as
// written. Booleans print true/false, pointers as 0x-prefixed hexadecimal,
// exceptions as their what() text, references as the object's ToString.
// Formatting allocates only the output string; the arguments are not copied.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <type_traits>

#include "kestrix/object.h"

namespace Kestrix {

/// PrintFormatter<T>::Append(out, value) appends the text of a value. Specialise
/// it to make a type printable in log lines.
template <class T, class Enable = void>
struct PrintFormatter;

namespace Detail {
void AppendSigned(std::string& out, long long v);
void AppendUnsigned(std::string& out, unsigned long long v);
void AppendDouble(std::string& out, double v);
void AppendPointer(std::string& out, const void* p);
}  // namespace Detail

template <>
struct PrintFormatter<bool> {
  static void Append(std::string& out, bool v) { out += v ? "true" : "false"; }
};
template <class T>
struct PrintFormatter<T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool> &&
                                          !std::is_same_v<T, char>>> {
  static void Append(std::string& out, T v) {
    if constexpr (std::is_signed_v<T>) Detail::AppendSigned(out, v);
    else Detail::AppendUnsigned(out, v);
  }
};
template <>
struct PrintFormatter<char> {
  static void Append(std::string& out, char v) { out += v; }
};
template <class T>
struct PrintFormatter<T, std::enable_if_t<std::is_floating_point_v<T>>> {
  static void Append(std::string& out, T v) { Detail::AppendDouble(out, static_cast<double>(v)); }
};
template <class T>
struct PrintFormatter<T, std::enable_if_t<std::is_enum_v<T>>> {
  static void Append(std::string& out, T v) {
    PrintFormatter<std::underlying_type_t<T>>::Append(out, static_cast<std::underlying_type_t<T>>(v));
  }
};
template <>
struct PrintFormatter<std::string> {
  static void Append(std::string& out, const std::string& v) { out += v; }
};
template <>
struct PrintFormatter<std::string_view> {
  static void Append(std::string& out, std::string_view v) { out += v; }
};
template <>
struct PrintFormatter<const char*> {
  static void Append(std::string& out, const char* v) { out += v ? v : "(null)"; }
};
template <>
struct PrintFormatter<char*> {
  static void Append(std::string& out, const char* v) { out += v ? v : "(null)"; }
};
template <class T>
struct PrintFormatter<T*, std::enable_if_t<!std::is_same_v<std::remove_cv_t<T>, char>>> {
  static void Append(std::string& out, const T* v) { Detail::AppendPointer(out, v); }
};
template <class T>
struct PrintFormatter<T, std::enable_if_t<std::is_base_of_v<std::exception, T>>> {
  static void Append(std::string& out, const T& e) { out += e.what(); }
};
template <class T>
struct PrintFormatter<Ref<T>> {
  static void Append(std::string& out, const Ref<T>& r) {
    if (r) out += r->ToString(); else out += "(null)";
  }
};

namespace Detail {
/// One type-erased argument: the value's address and the function that prints it.
struct FormatArg {
  const void* value;
  void (*append)(std::string& out, const void* value);
};

template <class T>
FormatArg MakeArg(const T& v) {
  using D = std::decay_t<T>;
  return FormatArg{static_cast<const void*>(&v), [](std::string& out, const void* p) {
                     PrintFormatter<D>::Append(out, *static_cast<const D*>(p));
                   }};
}
// String literals decay to const char*; keep their address as the value.
template <size_t N>
FormatArg MakeArg(const char (&v)[N]) {
  return FormatArg{static_cast<const void*>(v), [](std::string& out, const void* p) {
                     out += static_cast<const char*>(p);
                   }};
}

void FormatInto(std::string& out, std::string_view format, const FormatArg* args, size_t count);
}  // namespace Detail

/// MessageFormatter fills numbered placeholders; see the file comment.
class MessageFormatter {
public:
  /// ASPrint returns the formatted text.
  template <class... Args>
  static std::string ASPrint(std::string_view format, const Args&... args) {
    std::string out;
    AppendToString(out, format, args...);
    return out;
  }
  /// AppendToString appends the formatted text to out.
  template <class... Args>
  static void AppendToString(std::string& out, std::string_view format, const Args&... args) {
    if constexpr (sizeof...(Args) == 0) {
      Detail::FormatInto(out, format, nullptr, 0);
    } else {
      const Detail::FormatArg list[] = {Detail::MakeArg(args)...};
      Detail::FormatInto(out, format, list, sizeof...(Args));
    }
  }
};

/// PointerField prints p as "0x..." right-aligned in 16 characters, '0'-filled
/// (the form object names such as "StatsRegistry(...)" carry).
std::string PointerField(const void* p);

}  // namespace Kestrix
