// Databases in the service's layout for the report's tests: the service's own
// schema texts and metadata form, built with the SQLite C API in a temporary
// directory that goes with the object.
#pragma once

#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace TestSupport {

inline const char* const kMetadataCreate =
    "CREATE TABLE IF NOT EXISTS \"sm_stats_metadata\" (   stat_id         VARCHAR(128),   stat_table_name "
    "VARCHAR(128),   stat_metadata   VARCHAR(512),   CONSTRAINT \"pk_sm_stats_metadata\" PRIMARY KEY "
    "(stat_id),   CONSTRAINT \"uniq_sm_stats_metadata\" UNIQUE (stat_table_name));";
inline const char* const kMetadataUpsert =
    "INSERT OR REPLACE INTO \"sm_stats_metadata\"   (stat_id, stat_table_name, stat_metadata)   VALUES (?, ?, ?);";
inline const char* const kIntegerTable =
    "CREATE TABLE IF NOT EXISTS \"%1\" (    sm_timestamp    INTEGER,   sm_stat_value   INTEGER,   CONSTRAINT "
    "\"pk_%2\" PRIMARY KEY (sm_timestamp));";
inline const char* const kRealTable =
    "CREATE TABLE IF NOT EXISTS \"%1\" (    sm_timestamp    INTEGER,   sm_stat_value   REAL,   CONSTRAINT "
    "\"pk_%2\" PRIMARY KEY (sm_timestamp));";
inline const char* const kSampleInsert =
    "INSERT OR REPLACE INTO \"%1\"    (sm_timestamp, sm_stat_value)   VALUES (?, ?);";

inline std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t p = text.find(from); p != std::string::npos; p = text.find(from, p + to.size())) {
    text.replace(p, from.size(), to);
  }
  return text;
}

inline std::string TableFor(const std::string& series) { return Replace("sm_stat_" + series, ".", "_"); }

/// MetadataFor builds the service's metadata text for a series.
inline std::string MetadataFor(const std::string& name, const std::string& category, const std::string& unit,
                               const std::string& instance = "") {
  const std::string p = "com.norvex.fenmark.mon";
  std::string m = "category=" + p + ".cat." + category + ";units=" + p + ".unit." + unit + ";";
  if (!instance.empty()) m += "instance=" + instance + ";";
  return m + "name=" + p + ".name." + name + ";description=" + p + ".descr." + name + ";";
}

class TestDb {
public:
  TestDb() {
    char tmpl[] = "/tmp/tw_report_test_XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
    path_ = dir_ + "/tallywick.db";
    if (sqlite3_open(path_.c_str(), &db_) != SQLITE_OK) throw std::runtime_error("open failed");
    Exec("PRAGMA journal_mode=wal;");
    Exec(kMetadataCreate);
  }
  ~TestDb() {
    sqlite3_close(db_);
    std::filesystem::remove_all(dir_);
  }
  TestDb(const TestDb&) = delete;
  TestDb& operator=(const TestDb&) = delete;

  const std::string& Path() const { return path_; }
  const std::string& Dir() const { return dir_; }

  void Exec(const std::string& sql) {
    char* err = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
      std::string why = err ? err : "?";
      sqlite3_free(err);
      throw std::runtime_error(sql + ": " + why);
    }
  }

  /// AddSeries creates the table of value kind 0 (INTEGER) or 1 (REAL) and,
  /// unless told otherwise, the metadata row.
  void AddSeries(const std::string& name, const std::string& category, const std::string& unit, int kind,
                 const std::string& instance = "", bool withMetadata = true) {
    const std::string t = TableFor(name);
    Exec(Replace(Replace(kind == 0 ? kIntegerTable : kRealTable, "%1", t), "%2", t));
    if (!withMetadata) return;
    Statement s(db_, kMetadataUpsert);
    const std::string meta = MetadataFor(name, category, unit, instance);
    sqlite3_bind_text(s.stmt, 1, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s.stmt, 2, t.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s.stmt, 3, meta.c_str(), -1, SQLITE_TRANSIENT);
    s.Done();
  }
  void AddInteger(const std::string& name, int64_t t, int64_t v) {
    Insert(name, t, [&](sqlite3_stmt* s) { sqlite3_bind_int64(s, 2, v); });
  }
  void AddReal(const std::string& name, int64_t t, double v) {
    Insert(name, t, [&](sqlite3_stmt* s) { sqlite3_bind_double(s, 2, v); });
  }
  void AddNull(const std::string& name, int64_t t) {
    Insert(name, t, [&](sqlite3_stmt* s) { sqlite3_bind_null(s, 2); });
  }
  void AddText(const std::string& name, int64_t t, const std::string& v) {
    Insert(name, t, [&](sqlite3_stmt* s) { sqlite3_bind_text(s, 2, v.c_str(), -1, SQLITE_TRANSIENT); });
  }

private:
  struct Statement {
    Statement(sqlite3* db, const std::string& sql) {
      if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) throw std::runtime_error(sql);
    }
    ~Statement() { sqlite3_finalize(stmt); }
    void Done() {
      if (sqlite3_step(stmt) != SQLITE_DONE) throw std::runtime_error("step failed");
    }
    sqlite3_stmt* stmt = nullptr;
  };
  template <class Bind>
  void Insert(const std::string& name, int64_t t, Bind bind) {
    Statement s(db_, Replace(kSampleInsert, "%1", TableFor(name)));
    sqlite3_bind_int64(s.stmt, 1, t);
    bind(s.stmt);
    s.Done();
  }

  std::string dir_;
  std::string path_;
  sqlite3* db_ = nullptr;
};

}  // namespace TestSupport
