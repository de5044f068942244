#include "kestrix/log.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>

#include "kestrix/time.h"

namespace Kestrix {
namespace Service {

std::string LevelName(int32_t level) {
  switch (level) {
    case LOG_ERROR: return "error";
    case LOG_WARNING: return "warning";
    case LOG_INFO: return "info";
    case LOG_VERBOSE: return "verbose";
    case LOG_TRIVIA: return "trivia";
    default: return std::to_string(level);
  }
}

bool ParseLevel(const std::string& text, int32_t& level) {
  static const struct { const char* name; int32_t level; } names[] = {
      {"error", LOG_ERROR}, {"warning", LOG_WARNING}, {"info", LOG_INFO},
      {"verbose", LOG_VERBOSE}, {"trivia", LOG_TRIVIA}};
  for (const auto& n : names) {
    if (text == n.name) {
      level = n.level;
      return true;
    }
  }
  int32_t v = 0;
  auto r = std::from_chars(text.data(), text.data() + text.size(), v);
  if (text.empty() || r.ec != std::errc() || r.ptr != text.data() + text.size() || v < 0) return false;
  level = v;
  return true;
}

LogSink::LogSink() {
  out_.Set(2);
  mirror_.Set(2);
}

LogSink::~LogSink() {
  if (out_.fd != 2) ::close(out_.fd);
}

bool LogSink::OpenFile(const std::string& path, std::string& error) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
  if (fd < 0) {
    error = strerror(errno);
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (out_.fd != 2) ::close(out_.fd);
  out_.Set(fd);
  path_ = path;
  return true;
}

void LogSink::UseStandardError(const std::string& retryPath) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (out_.fd != 2) ::close(out_.fd);
  out_.Set(2);
  path_ = retryPath;
}

bool LogSink::Reopen(std::string& error) {
  std::string path;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    path = path_;
  }
  if (path.empty()) return true;
  return OpenFile(path, error);
}

namespace {

int64_t NowMs() { return static_cast<int64_t>(System::GetMonotonicTime() / 1000); }

// WaitWritable waits until fd has room or the monotonic deadline (ms) passes;
// false on time-out. An error of the descriptor counts as room: the write
// that follows reports it.
bool WaitWritable(int fd, int64_t deadlineMs) {
  for (;;) {
    struct pollfd p {};
    p.fd = fd;
    p.events = POLLOUT;
    const int64_t left = deadlineMs - NowMs();
    const int n = ::poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) return true;
  }
}

}  // namespace

void LogSink::Target::Set(int descriptor) {
  fd = descriptor;
  struct stat st {};
  mayStall = ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode);
  dropped = 0;
  cut = false;
}

uint64_t LogSink::Target::Write(const std::string& line) {
  // A line cut off by a stall is ended first, so that this one starts a line.
  const std::string withBreak = cut ? "\n" + line : std::string();
  const std::string& text = cut ? withBreak : line;
  // A file takes every line at once: only a descriptor that may stall reads the clock.
  const int64_t deadline = mayStall ? NowMs() + (dropped != 0 ? 0 : kStallWaitMs) : 0;
  size_t done = 0;
  while (done < text.size()) {
    if (mayStall && !WaitWritable(fd, deadline)) {
      if (done != 0) cut = text[done - 1] != '\n';
      ++dropped;
      return 0;
    }
    // At most PIPE_BUF bytes at once: that much fits without blocking into a
    // pipe that polls writable.
    const size_t chunk = mayStall ? std::min(text.size() - done, static_cast<size_t>(PIPE_BUF)) : text.size() - done;
    const ssize_t n = ::write(fd, text.data() + done, chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      // A descriptor shared with a process that made it non-blocking.
      if (errno == EAGAIN && mayStall) continue;
      return 0;  // nowhere left to report a failing log
    }
    done += static_cast<size_t>(n);
  }
  cut = false;
  const uint64_t before = dropped;
  dropped = 0;
  return before;
}

uint64_t LogSink::Write(int32_t level, const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  const uint64_t dropped = out_.Write(line);
  // The copy is written under the same lock, so standard error receives the
  // error lines in the file's order and whole.
  if (mirrorErrors_ && level <= LOG_ERROR && out_.fd != 2) mirror_.Write(line);
  return dropped;
}

void LogSink::SetMirrorErrors(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  mirrorErrors_ = on;
}

void LogSink::Flush() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (out_.fd != 2) ::fsync(out_.fd);
}

int LogSink::Fd() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return out_.fd;
}

bool LogSink::HasFile() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return !path_.empty();
}

Logger::Logger(std::string name, Ref<LogSink> sink, int32_t level)
    : name_(std::move(name)), sink_(std::move(sink)), level_(level) {}

LoggerRef Logger::CreateLogger(const LoggerRef& parent, const std::string& name) {
  LoggerRef p = parent ? parent : GetDefaultLogger();
  return MakeRef<Logger>(name, p->GetSink(), p->GetLevel());
}

void Logger::Format(std::string& line, int32_t level, const std::string& message) const {
  line.clear();
  DateTimePrintFormatter::Append(line, System::GetUtcDateTime());
  line += ' ';
  line += LevelName(level);
  line += ' ';
  line += name_.empty() ? std::string("-") : name_;
  line += ": ";
  // One line per message: embedded line ends are escaped, a trailing one dropped.
  size_t end = message.size();
  while (end > 0 && message[end - 1] == '\n') --end;
  for (size_t i = 0; i < end; ++i) {
    if (message[i] == '\n') line += "\\n";
    else line += message[i];
  }
  line += '\n';
}

void Logger::Write(int32_t level, const std::string& message) const {
  thread_local std::string line;
  Format(line, level, message);
  const uint64_t dropped = sink_->Write(level, line);
  if (dropped == 0) return;
  Format(line, LOG_WARNING,
         MessageFormatter::ASPrint("Dropped %1 log lines before the one above: the log's reader did not make room "
                                   "for them within %2 ms",
                                   dropped, LogSink::kStallWaitMs));
  sink_->Write(LOG_WARNING, line);
}

LoggerRef GetDefaultLogger() {
  // Never destroyed: loggers are used until QuickExit.
  static Logger* root = [] {
    Logger* l = new Logger("", MakeRef<LogSink>(), LOG_INFO);
    l->IncRef();
    return l;
  }();
  return LoggerRef(root);
}

}  // namespace Service
}  // namespace Kestrix
