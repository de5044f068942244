// Helpers shared by the core-layer, registry and application tests: a
// temporary directory, whole-file reads, a log file, captured standard error,
// and a flag that threads wait on with a generous real-time guard (a hang fails the test instead of
// blocking the suite).
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kestrix/log.h"

namespace TestSupport {

/// TempDir is a fresh directory, removed with its content at scope end.
class TempDir {
public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "tw-test-XXXXXX").string();
    path_ = mkdtemp(tmpl.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  /// Write creates name with text and returns its path.
  std::string Write(const std::string& name, const std::string& text) const {
    std::ofstream(File(name), std::ios::binary) << text;
    return File(name);
  }

private:
  std::string path_;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

/// LogFile is a log sink appending to a file of its own.
struct LogFile {
  TempDir dir;
  Kestrix::Ref<Kestrix::Service::LogSink> sink = Kestrix::MakeRef<Kestrix::Service::LogSink>();
  LogFile() { sink->OpenFile(dir.File("log"), error); }
  Kestrix::Service::LoggerRef Logger(const std::string& name, int32_t level) const {
    return Kestrix::MakeRef<Kestrix::Service::Logger>(name, sink, level);
  }
  std::string Text() const { return ReadFile(dir.File("log")); }
  std::string error;  // why the file could not be opened
};

/// CapturedStandardError points descriptor 2 at a file of its own for its lifetime.
class CapturedStandardError {
public:
  CapturedStandardError() : saved_((std::fflush(stderr), ::dup(2))) {
    const int fd = ::open(dir_.File("stderr").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    ::dup2(fd, 2);
    ::close(fd);
  }
  ~CapturedStandardError() {
    std::fflush(stderr);
    ::dup2(saved_, 2);
    ::close(saved_);
  }
  std::string Text() const {
    std::fflush(stderr);
    return ReadFile(dir_.File("stderr"));
  }

private:
  TempDir dir_;
  const int saved_;
};

/// RunThreads runs fn(0), ..., fn(n - 1) on n threads at once and joins them.
template <class F>
void RunThreads(int n, F fn) {
  std::vector<std::thread> threads;
  for (int t = 0; t < n; ++t) threads.emplace_back(fn, t);
  for (auto& th : threads) th.join();
}

/// Flag is a one-way latch: Set once, Wait until set (false after the guard).
class Flag {
public:
  void Set() {
    std::lock_guard<std::mutex> lock(m_);
    set_ = true;
    cv_.notify_all();
  }
  bool Wait(std::chrono::milliseconds guard = std::chrono::seconds(60)) {
    std::unique_lock<std::mutex> lock(m_);
    return cv_.wait_for(lock, guard, [this] { return set_; });
  }

private:
  std::mutex m_;
  std::condition_variable cv_;
  bool set_ = false;
};

}  // namespace TestSupport
