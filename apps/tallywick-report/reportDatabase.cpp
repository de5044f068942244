#include "apps/tallywick-report/reportDatabase.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <algorithm>
#include <exception>
#include <limits>
#include <map>
#include <set>

namespace Tallywick {
namespace Report {
namespace {

const char* const kMetadataTable = "sm_stats_metadata";
const char* const kSeriesTablePrefix = "sm_stat_";
const int kBusyTimeoutMs = 5000;
const int kIntervalProbeRows = 1001;

[[noreturn]] void Fail(sqlite3* db, const std::string& path, const std::string& what) {
  throw ReportException("database " + path + ": " + what + ": " + sqlite3_errmsg(db));
}

// Statement is one prepared statement, finalized when it goes.
class Statement {
public:
  Statement(sqlite3* db, const std::string& path, const std::string& sql) : db_(db), path_(path) {
    if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt_, nullptr) != SQLITE_OK) {
      Fail(db_, path_, "cannot read it");
    }
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  void BindInt64(int column, int64_t v) {
    if (sqlite3_bind_int64(stmt_, column, v) != SQLITE_OK) Fail(db_, path_, "cannot bind a parameter");
  }
  void BindText(int column, const std::string& v) {
    if (sqlite3_bind_text(stmt_, column, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT) !=
        SQLITE_OK) {
      Fail(db_, path_, "cannot bind a parameter");
    }
  }
  /// Step returns true while there is a row; throws on an error, naming what.
  bool Step(const std::string& what) {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    Fail(db_, path_, what);
  }
  int Type(int column) const { return sqlite3_column_type(stmt_, column); }
  int64_t Int64(int column) const { return sqlite3_column_int64(stmt_, column); }
  double Double(int column) const { return sqlite3_column_double(stmt_, column); }
  std::string Text(int column) const {
    const unsigned char* t = sqlite3_column_text(stmt_, column);
    return t ? std::string(reinterpret_cast<const char*>(t),
                           static_cast<size_t>(sqlite3_column_bytes(stmt_, column)))
             : std::string();
  }

private:
  sqlite3* db_;
  const std::string& path_;
  sqlite3_stmt* stmt_ = nullptr;
};

// IsWalWithoutLog tells whether path is an SQLite file in write-ahead-log mode
// (bytes 18 and 19 of its header are 2) without a -wal file beside it: no
// connection has it open, and the file alone holds every committed sample.
// SQLite keeps the log of a path that is a symbolic link beside the file the
// link names, so that is where it is looked for.
bool IsWalWithoutLog(const std::string& path) {
  unsigned char header[20];
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool read = pread(fd, header, sizeof header, 0) == static_cast<ssize_t>(sizeof header);
  close(fd);
  char* file = realpath(path.c_str(), nullptr);
  if (file == nullptr) return false;
  const std::string wal = std::string(file) + "-wal";
  free(file);
  struct stat st;
  return read && header[18] == 2 && header[19] == 2 && stat(wal.c_str(), &st) != 0 && errno == ENOENT;
}

// ImmutableUri returns the URI that opens path read-only as a file that does
// not change, with every byte outside the unreserved set percent-encoded.
std::string ImmutableUri(const std::string& path) {
  std::string uri = path[0] == '/' ? "file://" : "file:";
  for (const char ch : path) {
    const auto c = static_cast<unsigned char>(ch);
    if (std::isalnum(c) || c == '/' || c == '-' || c == '.' || c == '_' || c == '~') {
      uri += ch;
    } else {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", c);
      uri += buf;
    }
  }
  return uri + "?mode=ro&immutable=1";
}

bool HasPrefix(const std::string& s, const char* prefix) {
  return s.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

}  // namespace

std::string QuoteIdentifier(const std::string& name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

/// Connection owns the SQLite handle.
class Database::Connection {
public:
  explicit Connection(const std::string& path) : path_(path) {
    // A reader of a file in write-ahead-log mode makes its -wal and -shm
    // (where the directory lets it, and fails where it does not) and, unable
    // to checkpoint, leaves them behind, owned by whoever ran the report. With
    // no -wal there is no log to read: the file is read as it stands.
    const bool immutable = !path.empty() && IsWalWithoutLog(path);
    const int rc = immutable ? sqlite3_open_v2(ImmutableUri(path).c_str(), &db_,
                                               SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr)
                             : sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr);
    if (rc != SQLITE_OK) {
      // A failed open still returns a handle that must be closed.
      // SQLite's text ("unable to open database file", "disk I/O error")
      // does not say why; the system's error does (missing, no permission,
      // a directory).
      std::string why = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
      const int err = db_ ? sqlite3_system_errno(db_) : 0;
      if (err != 0) why += std::string(" (") + std::strerror(err) + ")";
      sqlite3_close(db_);
      db_ = nullptr;
      throw ReportException("cannot open database " + path + ": " + why);
    }
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  }
  ~Connection() { sqlite3_close(db_); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  /// SeriesTables returns the names of every sm_stat_ table.
  std::set<std::string> SeriesTables() {
    Statement s(db_, path_, "SELECT name FROM sqlite_master WHERE type = 'table';");
    std::set<std::string> names;
    while (s.Step("cannot list its tables")) {
      std::string n = s.Text(0);
      if (HasPrefix(n, kSeriesTablePrefix)) names.insert(std::move(n));
    }
    return names;
  }

  bool HasTable(const std::string& name) {
    Statement s(db_, path_, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?;");
    s.BindText(1, name);
    return s.Step("cannot list its tables");
  }

  /// Bound returns MIN or MAX of sm_timestamp; a single aggregate, so SQLite
  /// answers it from the key's b-tree without a scan.
  std::optional<int64_t> Bound(const std::string& table, const char* aggregate) {
    Statement s(db_, path_, std::string("SELECT ") + aggregate + "(sm_timestamp) FROM " + QuoteIdentifier(table) + ";");
    if (!s.Step("cannot read table " + table) || s.Type(0) == SQLITE_NULL) return std::nullopt;
    return s.Int64(0);
  }

  int64_t Count(const std::string& table) {
    Statement s(db_, path_, "SELECT COUNT(*) FROM " + QuoteIdentifier(table) + ";");
    return s.Step("cannot read table " + table) ? s.Int64(0) : 0;
  }

  /// Fill completes info from its table: first, last and optionally the count.
  void Fill(SeriesInfo& info, bool count) {
    if (!info.hasTable) return;
    info.first = Bound(info.table, "MIN");
    info.last = Bound(info.table, "MAX");
    if (count) info.rows = Count(info.table);
  }

  std::string path_;
  sqlite3* db_ = nullptr;
};

Database::Database(const std::string& path) : path_(path), db_(std::make_unique<Connection>(path)) {
  if (!db_->HasTable(kMetadataTable)) {
    throw ReportException("database " + path + " holds no " + kMetadataTable +
                          " table: not a tallywick database");
  }
}

Database::~Database() = default;

std::vector<SeriesInfo> Database::ListSeries() {
  std::set<std::string> tables = db_->SeriesTables();
  std::map<std::string, SeriesInfo> byName;
  {
    Statement s(db_->db_, path_, std::string("SELECT stat_id, stat_table_name, stat_metadata FROM ") +
                          QuoteIdentifier(kMetadataTable) + ";");
    while (s.Step(std::string("cannot read ") + kMetadataTable)) {
      SeriesInfo info;
      info.name = s.Text(0);
      info.table = s.Text(1);
      info.metadata = ParseMetadata(s.Text(2));
      info.hasMetadata = true;
      info.hasTable = tables.count(info.table) > 0;
      byName[info.name] = std::move(info);
    }
  }
  // Tables whose metadata row was never written still hold samples.
  std::set<std::string> described;
  for (const auto& kv : byName) described.insert(kv.second.table);
  for (const std::string& t : tables) {
    if (described.count(t) || byName.count(t)) continue;
    SeriesInfo info;
    info.name = t;
    info.table = t;
    info.hasTable = true;
    byName[t] = std::move(info);
  }
  std::vector<SeriesInfo> out;
  out.reserve(byName.size());
  for (auto& kv : byName) {
    db_->Fill(kv.second, true);
    out.push_back(std::move(kv.second));
  }
  return out;
}

std::optional<SeriesInfo> Database::FindSeries(const std::string& name) {
  SeriesInfo info;
  {
    Statement s(db_->db_, path_, std::string("SELECT stat_id, stat_table_name, stat_metadata FROM ") +
                          QuoteIdentifier(kMetadataTable) + " WHERE stat_id = ?1 OR stat_table_name = ?1;");
    s.BindText(1, name);
    // A stat_id match wins over a table-name match of another row.
    while (s.Step(std::string("cannot read ") + kMetadataTable)) {
      if (info.hasMetadata && info.name == name) continue;
      info.name = s.Text(0);
      info.table = s.Text(1);
      info.metadata = ParseMetadata(s.Text(2));
      info.hasMetadata = true;
    }
  }
  if (!info.hasMetadata) {
    if (!HasPrefix(name, kSeriesTablePrefix) || !db_->HasTable(name)) return std::nullopt;
    info.name = name;
    info.table = name;
  }
  info.hasTable = !info.table.empty() && db_->HasTable(info.table);
  db_->Fill(info, false);
  return info;
}

void Database::ForEachSample(const std::string& table, const TimeRange& range,
                             const std::function<void(const Sample&)>& visit) {
  // The rows reach visit through an SQL aggregate function rather than one
  // sqlite3_step per row: SQLite's virtual machine then runs the whole scan,
  // which takes about 40 % less time per row (a month of one-second samples
  // is 2.6 million rows). Exceptions must not cross SQLite's C frames, so the
  // callback keeps the first one and fails the statement.
  struct VisitState {
    const std::function<void(const Sample&)>* visit;
    const std::string* path;
    const std::string* table;
    std::optional<int64_t> previous;
    std::exception_ptr error;
  } state{&visit, &path_, &table, std::nullopt, nullptr};

  auto stepRow = [](sqlite3_context* ctx, int, sqlite3_value** argv) {
    auto* st = static_cast<VisitState*>(sqlite3_user_data(ctx));
    try {
      Sample sample;
      sample.timestamp = sqlite3_value_int64(argv[0]);
      switch (sqlite3_value_type(argv[1])) {
        case SQLITE_NULL:
          break;
        case SQLITE_INTEGER:
          sample.value = SampleValue{SampleValue::Kind::Integer, sqlite3_value_int64(argv[1]), 0.0};
          break;
        case SQLITE_FLOAT:
          sample.value = SampleValue{SampleValue::Kind::Real, 0, sqlite3_value_double(argv[1])};
          break;
        default: {
          const unsigned char* text = sqlite3_value_text(argv[1]);
          throw ReportException("database " + *st->path + ": table " + *st->table + " holds a non-numeric value '" +
                                (text ? reinterpret_cast<const char*>(text) : "") + "' at sm_timestamp " +
                                std::to_string(sample.timestamp));
        }
      }
      // Callers rely on ascending time; the key guarantees it, this keeps it so.
      if (st->previous && sample.timestamp <= *st->previous) {
        throw ReportException("database " + *st->path + ": table " + *st->table + " returned rows out of order");
      }
      st->previous = sample.timestamp;
      (*st->visit)(sample);
    } catch (...) {
      st->error = std::current_exception();
      sqlite3_result_error(ctx, "sample visitor failed", -1);
    }
  };
  auto finish = [](sqlite3_context* ctx) { sqlite3_result_null(ctx); };
  if (sqlite3_create_function(db_->db_, "tw_visit_samples", 2, SQLITE_UTF8, &state, nullptr, stepRow, finish) !=
      SQLITE_OK) {
    Fail(db_->db_, path_, "cannot register the sample reader");
  }
  Statement s(db_->db_, path_, "SELECT tw_visit_samples(sm_timestamp, sm_stat_value) FROM (SELECT sm_timestamp, sm_stat_value FROM " +
                        QuoteIdentifier(table) + " WHERE sm_timestamp >= ?1 AND sm_timestamp <= ?2 ORDER BY sm_timestamp);");
  s.BindInt64(1, range.since.value_or(std::numeric_limits<int64_t>::min()));
  s.BindInt64(2, range.until.value_or(std::numeric_limits<int64_t>::max()));
  try {
    while (s.Step("cannot read table " + table)) {
    }
  } catch (const ReportException&) {
    if (state.error) std::rethrow_exception(state.error);
    throw;
  }
}

std::optional<int64_t> Database::TypicalInterval(const std::string& table, const TimeRange& range) {
  Statement s(db_->db_, path_, "SELECT sm_timestamp FROM " + QuoteIdentifier(table) +
                        " WHERE sm_timestamp >= ?1 AND sm_timestamp <= ?2 ORDER BY sm_timestamp LIMIT " +
                        std::to_string(kIntervalProbeRows) + ";");
  s.BindInt64(1, range.since.value_or(std::numeric_limits<int64_t>::min()));
  s.BindInt64(2, range.until.value_or(std::numeric_limits<int64_t>::max()));
  std::vector<int64_t> deltas;
  std::optional<int64_t> previous;
  while (s.Step("cannot read table " + table)) {
    const int64_t t = s.Int64(0);
    if (previous) deltas.push_back(t - *previous);
    previous = t;
  }
  if (deltas.empty()) return std::nullopt;
  auto mid = deltas.begin() + static_cast<std::ptrdiff_t>(deltas.size() / 2);
  std::nth_element(deltas.begin(), mid, deltas.end());
  return *mid;
}

}  // namespace Report
}  // namespace Tallywick
