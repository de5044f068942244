// Read-only access to the service's SQLite database: the series listed in
// sm_stats_metadata and the samples of their sm_stat_ tables.
//
// The database is opened read-only and never changed, so the report can run
// beside the service (the service keeps the file in write-ahead-log mode; a
// reader sees the last committed state). `<sqlite3.h>` stays out of this
// header: the connection and statements live behind `Database`.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "apps/tallywick-report/metadata.h"
#include "kestrix/exception.h"

namespace Tallywick {
namespace Report {

/// ReportException is every failure to read the database; the text names the
/// file or table and carries SQLite's message.
class ReportException : public Kestrix::Exception {
public:
  using Kestrix::Exception::Exception;
};

/// SampleValue is one stored value: an integer (series of integer kind), a
/// real, or null (the service stores null for an invalid value).
struct SampleValue {
  enum class Kind { Null, Integer, Real };
  Kind kind = Kind::Null;
  int64_t integer = 0;
  double real = 0.0;

  bool IsNull() const { return kind == Kind::Null; }
  /// AsDouble returns the value as a double; only for non-null values.
  double AsDouble() const { return kind == Kind::Integer ? static_cast<double>(integer) : real; }
};

/// Sample is one row of a series table.
struct Sample {
  int64_t timestamp = 0;  ///< seconds since the epoch, UTC
  SampleValue value;
};

/// SeriesInfo describes one series. A series named in sm_stats_metadata whose
/// table is missing has hasTable false and no rows; a series table without a
/// metadata row is listed under its table name with empty metadata.
struct SeriesInfo {
  std::string name;
  std::string table;
  SeriesMetadata metadata;
  bool hasMetadata = false;
  bool hasTable = false;
  int64_t rows = 0;
  std::optional<int64_t> first;  ///< oldest sm_timestamp, absent without rows
  std::optional<int64_t> last;   ///< newest sm_timestamp, absent without rows
};

/// TimeRange bounds a read; both ends are inclusive and optional.
struct TimeRange {
  std::optional<int64_t> since;
  std::optional<int64_t> until;
};

/// QuoteIdentifier returns name as an SQL identifier in double quotes, with
/// every '"' doubled, so that any table name read from the database is safe to
/// put into a statement.
std::string QuoteIdentifier(const std::string& name);

/// Database is one read-only connection. Not thread safe; one per thread.
class Database {
public:
  /// Opens path read-only. The file must exist and be an SQLite database with
  /// the sm_stats_metadata table; throws `ReportException` naming the path
  /// otherwise. A busy database is waited for up to five seconds per statement.
  explicit Database(const std::string& path);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  /// ListSeries returns every series, ordered by name, with row counts and
  /// first and last times. Cost: one count per table (a walk of its b-tree).
  std::vector<SeriesInfo> ListSeries();

  /// FindSeries returns the series called name (a stat_id; a table name is
  /// accepted too), with first and last times but rows left 0. Absent when
  /// neither exists.
  std::optional<SeriesInfo> FindSeries(const std::string& name);

  /// ForEachSample calls visit for every row of table within range, in
  /// ascending time, streaming (no copy of the table is held). Throws
  /// `ReportException` when the table cannot be read.
  void ForEachSample(const std::string& table, const TimeRange& range,
                     const std::function<void(const Sample&)>& visit);

  /// TypicalInterval returns the median distance in seconds between
  /// consecutive samples among the first 1,001 rows of table within range, or
  /// absent with fewer than two rows. It sizes the gap threshold of a chart.
  std::optional<int64_t> TypicalInterval(const std::string& table, const TimeRange& range);

  /// Path returns the path the database was opened from.
  const std::string& Path() const { return path_; }

private:
  class Connection;
  std::string path_;
  std::unique_ptr<Connection> db_;
};

}  // namespace Report
}  // namespace Tallywick
