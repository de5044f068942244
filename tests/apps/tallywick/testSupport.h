// Helpers shared by the persistence tests: a scratch directory, a logger whose
// lines can be read back, and the test's own connection to a database file.
#pragma once

#include <sqlite3.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kestrix/log.h"
#include "tests/kestrix/testSupport.h"

namespace Tallywick {
namespace Testing {

using ScratchDir = TestSupport::TempDir;
using TestSupport::ReadFile;
/// Rows: lines of text, as Database::Rows and the log readers return them.
using Rows = std::vector<std::string>;

/// CapturedLog is a logger at trivia level writing to a file whose lines read
/// back as "<level> <message>".
class CapturedLog {
public:
  explicit CapturedLog(const ScratchDir& dir, const std::string& name = "captured.log") : path_(dir.File(name)) {
    auto sink = Kestrix::MakeRef<Kestrix::Service::LogSink>();
    std::string error;
    if (!sink->OpenFile(path_, error)) ADD_FAILURE() << "cannot open " << path_ << ": " << error;
    logger_ = Kestrix::MakeRef<Kestrix::Service::Logger>("T", sink, Kestrix::Service::LOG_TRIVIA);
  }
  const Kestrix::Service::LoggerRef& Logger() const { return logger_; }

  /// Lines returns the lines written so far that start with prefix.
  std::vector<std::string> Lines(const std::string& prefix = "") const {
    std::vector<std::string> lines;
    // "<time> <level> T: <message>"; split by hand: std::regex recurses per
    // character and overflows the stack on SQLite's long integrity reports.
    for (const std::string& line : TestSupport::Lines(ReadFile(path_))) {
      const size_t level = line.find(' ') + 1;
      const size_t tag = level == 0 ? std::string::npos : line.find(' ', level);
      if (level == 0 || tag == std::string::npos || line.compare(tag, 4, " T: ") != 0) {
        ADD_FAILURE() << "unexpected log line: " << line;
      } else if (std::string l = line.substr(level, tag - level) + " " + line.substr(tag + 4);
                 l.compare(0, prefix.size(), prefix) == 0) {
        lines.push_back(l);
      }
    }
    return lines;
  }
  /// Count returns how many lines equal line exactly.
  size_t Count(const std::string& line) const {
    const auto lines = Lines(line);
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
  }
  size_t CountPrefix(const std::string& prefix) const { return Lines(prefix).size(); }
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

private:
  sqlite3* db_ = nullptr;
};

}  // namespace Testing
}  // namespace Tallywick
