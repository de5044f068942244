#include "kestrix/log.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

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

LogSink::LogSink() = default;

LogSink::~LogSink() {
  if (fd_ != 2) ::close(fd_);
}

bool LogSink::OpenFile(const std::string& path, std::string& error) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
  if (fd < 0) {
    error = strerror(errno);
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ != 2) ::close(fd_);
  fd_ = fd;
  path_ = path;
  return true;
}

void LogSink::UseStandardError(const std::string& retryPath) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ != 2) ::close(fd_);
  fd_ = 2;
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

void WriteAll(int fd, const std::string& line) {
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere left to report a failing log
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace

void LogSink::Write(int32_t level, const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  WriteAll(fd_, line);
  // The copy is written under the same lock, so standard error receives the
  // error lines in the file's order and whole.
  if (mirrorErrors_ && level <= LOG_ERROR && fd_ != 2) WriteAll(2, line);
}

void LogSink::SetMirrorErrors(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  mirrorErrors_ = on;
}

void LogSink::Flush() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ != 2) ::fsync(fd_);
}

int LogSink::Fd() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return fd_;
}

Logger::Logger(std::string name, Ref<LogSink> sink, int32_t level)
    : name_(std::move(name)), sink_(std::move(sink)), level_(level) {}

LoggerRef Logger::CreateLogger(const LoggerRef& parent, const std::string& name) {
  LoggerRef p = parent ? parent : GetDefaultLogger();
  return MakeRef<Logger>(name, p->GetSink(), p->GetLevel());
}

void Logger::Write(int32_t level, const std::string& message) const {
  thread_local std::string line;
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
  sink_->Write(level, line);
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
