// Assertions for internal impossibilities: they log the text, print it on
// standard error and abort the process. They are active in every build.
//
// The `_AT` forms take the source name to report (such as
// "apps/tallywick/appImpl"); the plain forms report the file path.
#pragma once

#include <cstdio>

namespace Kestrix {

/// Panic formats format (printf-style, "%s:%d\n") with file and line, writes the
/// exact text to standard error and, when the default log is a file, as a line
/// to the log; then it aborts.
[[noreturn]] void Panic(const char* format, const char* file, int line);

}  // namespace Kestrix

#define KESTRIX_VERIFY_AT(cond, source) \
  do { if (!(cond)) ::Kestrix::Panic("VERIFY %s:%d\n", source, __LINE__); } while (0)
#define KESTRIX_VERIFY(cond) KESTRIX_VERIFY_AT(cond, __FILE__)
#define KESTRIX_NOT_IMPLEMENTED_AT(source) ::Kestrix::Panic("NOT_IMPLEMENTED %s:%d\n", source, __LINE__)
#define KESTRIX_NOT_IMPLEMENTED() KESTRIX_NOT_IMPLEMENTED_AT(__FILE__)
#define KESTRIX_NOT_REACHED_AT(source) ::Kestrix::Panic("NOT_REACHED %s:%d\n", source, __LINE__)
#define KESTRIX_NOT_REACHED() KESTRIX_NOT_REACHED_AT(__FILE__)
