// Helpers shared by the persistence tests: a scratch directory, a logger whose
// lines can be read back, and a read-only look into a database file.
#pragma once

#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kestrix/log.h"

namespace Tallywick {
namespace Testing {

/// ScratchDir is a fresh directory removed with everything in it at the end.
class ScratchDir {
public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tw-persist-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed for " << pattern;
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string File(const std::string& name) const { return (std::filesystem::path(path_) / name).string(); }
  const std::string& Path() const { return path_; }

private:
  std::string path_;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

/// CapturedLog is a logger at trivia level writing to a file; Lines() returns
/// "<level> <message>" per line written so far.
class CapturedLog {
public:
  explicit CapturedLog(const ScratchDir& dir, const std::string& name = "captured.log") : path_(dir.File(name)) {
    auto sink = Kestrix::MakeRef<Kestrix::Service::LogSink>();
    std::string error;
    if (!sink->OpenFile(path_, error)) ADD_FAILURE() << "cannot open " << path_ << ": " << error;
    logger_ = Kestrix::MakeRef<Kestrix::Service::Logger>("T", sink, Kestrix::Service::LOG_TRIVIA);
  }
  const Kestrix::Service::LoggerRef& Logger() const { return logger_; }

  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(path_));
    std::string line;
    while (std::getline(in, line)) {
      // "<time> <level> T: <message>"
      const size_t levelStart = line.find(' ') + 1;
      const size_t levelEnd = line.find(' ', levelStart);
      const size_t message = line.find(" T: ", levelEnd);
      if (levelStart == 0 || levelEnd == std::string::npos || message == std::string::npos) {
        ADD_FAILURE() << "unexpected log line: " << line;
        continue;
      }
      lines.push_back(line.substr(levelStart, levelEnd - levelStart) + " " + line.substr(message + 4));
    }
    return lines;
  }
  /// Count returns how many lines equal line exactly.
  size_t Count(const std::string& line) const {
    size_t n = 0;
    for (const auto& l : Lines()) n += l == line;
    return n;
  }
  /// CountPrefix returns how many lines start with prefix.
  size_t CountPrefix(const std::string& prefix) const {
    size_t n = 0;
    for (const auto& l : Lines()) n += l.compare(0, prefix.size(), prefix) == 0;
    return n;
  }
  std::string Text() const { return ReadFile(path_); }

private:
  std::string path_;
  Kestrix::Service::LoggerRef logger_;
};

/// Database is the test's own connection to a database file.
class Database {
public:
  explicit Database(const std::string& path, int flags = SQLITE_OPEN_READWRITE) {
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << "cannot open " << path << ": " << sqlite3_errmsg(db_);
    }
    sqlite3_busy_timeout(db_, 10000);
  }
  ~Database() { sqlite3_close_v2(db_); }
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  /// Rows runs sql and returns each row as its columns' texts joined by "|"
  /// (NULL as "NULL").
  std::vector<std::string> Rows(const std::string& sql) const {
    std::vector<std::string> rows;
    char* error = nullptr;
    auto collect = [](void* out, int n, char** values, char**) -> int {
      std::string row;
      for (int i = 0; i < n; ++i) {
        if (i) row += "|";
        row += values[i] ? values[i] : "NULL";
      }
      static_cast<std::vector<std::string>*>(out)->push_back(row);
      return 0;
    };
    if (sqlite3_exec(db_, sql.c_str(), collect, &rows, &error) != SQLITE_OK) {
      ADD_FAILURE() << "SQL failed: " << sql << ": " << (error ? error : "?");
    }
    sqlite3_free(error);
    return rows;
  }
  /// Exec runs sql and returns SQLite's result code.
  int Exec(const std::string& sql) const { return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr); }
  sqlite3* Get() const { return db_; }

private:
  sqlite3* db_ = nullptr;
};

}  // namespace Testing
}  // namespace Tallywick
