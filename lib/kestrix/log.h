// Logging: named loggers writing one line per message to a shared sink.
//
// A line reads "<UTC time with µs> <level> <logger name>: <message>" (an empty
// name prints as "-"; line ends inside a message print as "\n", so one message
// is always one line). Loggers form a tree: `CreateLogger(parent, name)` makes a
// child that writes to the parent's sink and starts at the parent's level; the
// name is used as given (callers compose "Parent.Child(...)" names themselves).
// Use `KLOG` so that the level is tested before any formatting work is done.
// Where the root logger writes (file or standard error) and its level are set
// by `InitApp` (app.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "kestrix/format.h"
#include "kestrix/object.h"

namespace Kestrix {
namespace Service {

/// LogLevel: a line is written when the logger's level is at least the line's.
enum LogLevel : int32_t {
  LOG_ERROR = 4,
  LOG_WARNING = 8,
  LOG_INFO = 16,
  LOG_VERBOSE = 32,
  LOG_TRIVIA = 64,
};

/// LevelName returns "error", "warning", "info", "verbose", "trivia" or the number.
std::string LevelName(int32_t level);
/// ParseLevel reads a level name or a decimal number; false when it is neither.
bool ParseLevel(const std::string& text, int32_t& level);

/// LogSink is where lines go: standard error or an appended file. Thread safe:
/// each line is written with one write(2) under the sink's lock, so lines never
/// interleave. While mirroring is on, error lines written to a file are written
/// to standard error as well, so that a supervisor sees why start-up failed.
///
/// A pipe, socket or terminal whose reader stops taking lines would block
/// every thread that logs, the sampling threads and the one that handles the
/// stop signals among them. On such a descriptor a line waits at most
/// kStallWaitMs for room; one that finds none is dropped, and so is every
/// following line that finds the descriptor full, until one fits again.
class LogSink : public ObjectImpl {
public:
  /// A sink on standard error.
  LogSink();
  ~LogSink() override;
  /// OpenFile switches to appending to path; false (sink unchanged) on failure,
  /// with error set to the strerror text.
  bool OpenFile(const std::string& path, std::string& error);
  /// Reopen reopens the current file (after rotation), or tries again the
  /// file that standard error stands in for; otherwise a no-op.
  bool Reopen(std::string& error);
  /// UseStandardError switches (back) to standard error; a non-empty
  /// retryPath is the file that could not be opened, which Reopen tries again
  /// (logrotate's create may have made it writable since).
  void UseStandardError(const std::string& retryPath = std::string());
  /// Write writes one complete line (which must end with '\n') of the given
  /// level; an error line (level LOG_ERROR or lower) also goes to standard
  /// error while mirroring is on and the sink is a file. Returns how many
  /// lines were dropped right before this one, which was written.
  uint64_t Write(int32_t level, const std::string& line);
  /// SetMirrorErrors turns the copying of error lines to standard error on or
  /// off; off at construction. Lines already on standard error are never doubled.
  void SetMirrorErrors(bool on);
  /// Flush makes written lines durable in the file system cache (fdatasync is
  /// not needed: writes are unbuffered).
  void Flush();
  /// Fd is the descriptor in use (2 for standard error).
  int Fd() const;
  /// HasFile is true when the sink writes to a file or stands in for one
  /// (Reopen has something to open).
  bool HasFile() const;

  /// The longest wait of a line for a reader to make room.
  static constexpr int kStallWaitMs = 1000;

private:
  // One descriptor the sink writes to, with its lines dropped since the last
  // one that was written.
  struct Target {
    int fd = -1;
    bool mayStall = false;  // not a regular file: a reader has to take the lines
    uint64_t dropped = 0;
    bool cut = false;       // the last line was cut off: the next write starts a new line
    void Set(int descriptor);
    uint64_t Write(const std::string& line);
  };

  mutable std::mutex mutex_;   // guards the members below: reopen and write exclude each other
  Target out_;                 // fd 2 until a file is opened
  Target mirror_;              // standard error, for mirrored error lines
  std::string path_;           // on standard error, the file to try again or empty
  bool mirrorErrors_ = false;
};

class Logger;
using LoggerRef = Ref<Logger>;

/// Logger is one named logger. Thread safe.
class Logger : public ObjectImpl {
public:
  Logger(std::string name, Ref<LogSink> sink, int32_t level);

  /// CreateLogger makes a child of parent named name (parent may be empty: then
  /// the default logger is the parent).
  static LoggerRef CreateLogger(const LoggerRef& parent, const std::string& name);

  const std::string& GetName() const { return name_; }
  int32_t GetLevel() const { return level_.load(std::memory_order_relaxed); }
  void SetLevel(int32_t level) { level_.store(level, std::memory_order_relaxed); }
  bool IsEnabled(int32_t level) const { return GetLevel() >= level; }
  const Ref<LogSink>& GetSink() const { return sink_; }

  /// Write formats and writes a line whatever the level (callers test first).
  void Write(int32_t level, const std::string& message) const;

  // Object
  std::string ToString() const override { return "Logger(" + name_ + ")"; }

private:
  // Format puts the time, level and name before message, as one line.
  void Format(std::string& line, int32_t level, const std::string& message) const;

  const std::string name_;
  const Ref<LogSink> sink_;
  std::atomic<int32_t> level_;
};

/// GetDefaultLogger returns the process's root logger (name "", standard error
/// and level info until InitApp configures it).
LoggerRef GetDefaultLogger();

/// LogInternal formats and writes when the logger's level admits the line.
template <class... Args>
void LogInternal(const LoggerRef& logger, int32_t level, std::string_view format, const Args&... args) {
  const Logger* l = logger ? logger.Get() : GetDefaultLogger().Get();
  if (!l->IsEnabled(level)) return;
  l->Write(level, MessageFormatter::ASPrint(format, args...));
}

}  // namespace Service
}  // namespace Kestrix

/// KLOG(logger, LEVEL, format, args...): LEVEL is ERROR, WARNING, INFO, VERBOSE or
/// TRIVIA. Arguments are not evaluated when the level is off.
#define KLOG(logger, LEVEL, ...)                                                          \
  do {                                                                                    \
    const auto& kestrix_log_ = (logger);                                                  \
    if (!kestrix_log_ || kestrix_log_->IsEnabled(::Kestrix::Service::LOG_##LEVEL))        \
      ::Kestrix::Service::LogInternal(kestrix_log_, ::Kestrix::Service::LOG_##LEVEL, __VA_ARGS__); \
  } while (0)
