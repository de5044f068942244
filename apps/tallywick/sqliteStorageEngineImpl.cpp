#include "apps/tallywick/sqliteStorageEngineImpl.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>

#include "apps/tallywick/healthStatus.h"
#include "kestrix/assert.h"
#include "kestrix/format.h"
#include "kestrix/time.h"

namespace Tallywick {
namespace {

using Kestrix::MessageFormatter;

const char* const kSource = "apps/tallywick/sqliteStorageEngineImpl";
const char* const kMetadataTable = "sm_stats_metadata";

// The schema and statement texts. SQLite keeps the creation texts as the
// stored schema, so every blank counts.
const std::string& MetadataCreateSql() {
  static const std::string sql =
      std::string("CREATE TABLE IF NOT EXISTS \"") + kMetadataTable +
      "\" (   stat_id         VARCHAR(128),   stat_table_name VARCHAR(128),   stat_metadata   "
      "VARCHAR(512),   CONSTRAINT \"pk_" +
      kMetadataTable + "\" PRIMARY KEY (stat_id),   CONSTRAINT \"uniq_" + kMetadataTable +
      "\" UNIQUE (stat_table_name));";
  return sql;
}
const std::string& MetadataUpsertSql() {
  static const std::string sql = std::string("INSERT OR REPLACE INTO \"") + kMetadataTable +
                                 "\"   (stat_id, stat_table_name, stat_metadata)   VALUES (?, ?, ?);";
  return sql;
}
// The series whose table is exactly this name (served by the unique index).
const std::string& TableOwnerSql() {
  static const std::string sql =
      std::string("SELECT stat_id FROM \"") + kMetadataTable + "\" WHERE stat_table_name = ?;";
  return sql;
}
// The table a series was given when it was first stored.
const std::string& OwnTableSql() {
  static const std::string sql =
      std::string("SELECT stat_table_name FROM \"") + kMetadataTable + "\" WHERE stat_id = ?;";
  return sql;
}
// SQLite's table names ignore case: the series whose table differs only in
// case. Scans the metadata table; asked only when such a table exists.
const std::string& TableOwnerNoCaseSql() {
  static const std::string sql = std::string("SELECT stat_id FROM \"") + kMetadataTable +
                                 "\" WHERE stat_table_name = ? COLLATE NOCASE AND stat_id <> ? LIMIT 1;";
  return sql;
}
// The next table name of the metadata after ? in index order: the start-up
// expiry walks the series one at a time.
const std::string& NextTableSql() {
  static const std::string sql = std::string("SELECT stat_table_name FROM \"") + kMetadataTable +
                                 "\" WHERE stat_table_name > ? ORDER BY stat_table_name LIMIT 1;";
  return sql;
}
// A row when a table of this name, in any case, exists (a lookup in the schema).
const char* const kTableExistsSql = "SELECT 1 FROM pragma_table_info(?) LIMIT 1;";
// The declared type of one column of a table; no row when there is no such column.
const char* const kColumnTypeSql = "SELECT upper(type) FROM pragma_table_info(?) WHERE name = ?;";
const char* const kCreateIntegerSql =
    "CREATE TABLE IF NOT EXISTS \"%1\" (    sm_timestamp    INTEGER,   sm_stat_value   INTEGER,   "
    "CONSTRAINT \"pk_%2\" PRIMARY KEY (sm_timestamp));";
const char* const kCreateRealSql =
    "CREATE TABLE IF NOT EXISTS \"%1\" (    sm_timestamp    INTEGER,   sm_stat_value   REAL,   "
    "CONSTRAINT \"pk_%2\" PRIMARY KEY (sm_timestamp));";
const char* const kInsertSql = "INSERT OR REPLACE INTO \"%1\"    (sm_timestamp, sm_stat_value)   VALUES (?, ?);";
const char* const kExpireSql = "DELETE FROM \"%1\"  WHERE sm_timestamp < ?;";
const char* const kQuickCheckSql = "PRAGMA quick_check;";
// A table that is neither the metadata nor a series table, in a file without
// the metadata table: the file is another application's database.
const char* const kForeignTableSql =
    "SELECT name FROM sqlite_schema WHERE type = 'table' AND name NOT LIKE 'sqlite!_%' ESCAPE '!' "
    "AND name NOT LIKE 'sm!_stat!_%' ESCAPE '!' AND NOT EXISTS "
    "(SELECT 1 FROM sqlite_schema WHERE type = 'table' AND name = 'sm_stats_metadata') ORDER BY name LIMIT 1;";
// SQLite's smallest page. Once set up, a database file holds at least its
// first page; a shorter one was emptied or cut short behind SQLite's back.
constexpr off_t kSmallestPageBytes = 512;
// The write-ahead log's layout, and the frames after which SQLite checkpoints it.
constexpr int64_t kWalHeaderBytes = 32;
constexpr int64_t kWalFrameHeaderBytes = 24;
constexpr int64_t kAutoCheckpointFrames = 1000;
// The page size only takes effect on a new file, so it comes before
// journal_mode, which writes the file's header. Each pass changes one or two
// pages of every series' table: at 1 KiB a page, instead of SQLite's default
// 4 KiB, the write-ahead log takes a quarter of the bytes per pass.
const char* const kSetupSql[] = {"PRAGMA encoding = \"UTF-8\";", "PRAGMA page_size=1024;",
                                 "PRAGMA journal_mode=wal;", kQuickCheckSql};
const std::string kBeginSql = "BEGIN IMMEDIATE;";
const std::string kCommitSql = "COMMIT;";
const std::string kRollbackSql = "ROLLBACK;";

// Affinity of a declared column type, by SQLite's rules: a type naming INT
// stores integers, one naming REAL, FLOA or DOUB reals; others (TEXT, BLOB,
// none) would keep samples as text or bytes.
bool IsNumericType(const std::string& type) {
  for (const char* part : {"INT", "REAL", "FLOA", "DOUB"}) {
    if (type.find(part) != std::string::npos) return true;
  }
  return false;
}

// QuotedIdentifier returns name ready to stand between double quotes in SQL:
// every embedded double quote doubled, so that no name can end the identifier.
std::string QuotedIdentifier(const std::string& name) {
  std::string out;
  out.reserve(name.size());
  for (char c : name) {
    out += c;
    if (c == '"') out += '"';
  }
  return out;
}

// ConnectionLock holds a connection's own mutex (present in serialized mode),
// so that a failing call and the reading of its message are one step: another
// thread's call on the same connection cannot replace the message in between.
class ConnectionLock {
public:
  explicit ConnectionLock(sqlite3* db) : mutex_(db ? sqlite3_db_mutex(db) : nullptr) {
    sqlite3_mutex_enter(mutex_);  // no-op for null
  }
  ~ConnectionLock() { sqlite3_mutex_leave(mutex_); }
  ConnectionLock(const ConnectionLock&) = delete;
  ConnectionLock& operator=(const ConnectionLock&) = delete;

private:
  sqlite3_mutex* const mutex_;
};

// ConnectionMessage is the message of the connection's last failed call. A
// file system that cannot share the write-ahead log's index through the
// `-shm` file beside the database (a FUSE or network file system without
// shared mappings) fails every read with SQLite's bare "disk I/O error",
// which says nothing of the cause: the message names it. So it does for a
// damaged file and one that is no database, which stop every start: what the
// operator can do about them.
std::string ConnectionMessage(sqlite3* db) {
  std::string message = sqlite3_errmsg(db);
  const int code = sqlite3_extended_errcode(db);
  switch (code) {
    case SQLITE_IOERR_SHMOPEN:
    case SQLITE_IOERR_SHMSIZE:
    case SQLITE_IOERR_SHMLOCK:
    case SQLITE_IOERR_SHMMAP:
      message += " (the file system does not support the shared memory of the write-ahead log, the -shm file "
                 "beside the database; put the database on a local file system)";
      return message;
    default:
      break;
  }
  const char* file = sqlite3_db_filename(db, "main");
  const std::string name = file && *file ? file : "the database";
  if ((code & 0xff) == SQLITE_CORRUPT) {
    message += " (" + name +
               " is damaged: stop the service, move the file and its -wal away, and start it again, which "
               "creates a new file; sqlite3's .dump command writes out what can still be read of the old one)";
  } else if (code == SQLITE_NOTADB) {
    message += " (" + name + " is not an SQLite database: name another file, or move this one away)";
  }
  return message;
}

// LockedCall runs call (an SQLite call returning a result code) under the
// connection's lock and, unless it returned SQLITE_OK, copies its message.
template <class Call>
int LockedCall(sqlite3* db, std::string& message, Call call) {
  ConnectionLock lock(db);
  const int rc = call();
  if (rc != SQLITE_OK) message = ConnectionMessage(db);
  return rc;
}

std::string ErrorMessage(sqlite3* db, int rc) {
  return db ? ConnectionMessage(db) : sqlite3_errstr(rc);
}

std::string ReadOnlyMessage(const std::string& locator) {
  return MessageFormatter::ASPrint("database %1 can only be opened for reading", locator);
}

int CommitHook(void* counter) {
  static_cast<std::atomic<uint64_t>*>(counter)->fetch_add(1, std::memory_order_relaxed);
  return 0;  // never veto the commit
}

// QueryInteger sets value to the first column of sql's first row and returns
// true; false, value unchanged, when sql fails or yields no row.
bool QueryInteger(sqlite3* db, const char* sql, int64_t& value) {
  sqlite3_stmt* stmt = nullptr;
  const bool found = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW;
  if (found) value = sqlite3_column_int64(stmt, 0);
  sqlite3_finalize(stmt);
  return found;
}

// QueryText sets text to the first column of sql's first row and returns
// true; false, text unchanged, when sql fails or yields no row.
bool QueryText(sqlite3* db, const char* sql, std::string& text) {
  sqlite3_stmt* stmt = nullptr;
  const bool found = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW;
  if (found) text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
  sqlite3_finalize(stmt);
  return found;
}

// CheckCacheScope bounds a connection's page cache while an integrity check
// reads every page of the file once: left at its usual size the cache would
// keep a few megabytes of pages that no pass needs again. The usual size is
// put back, and the pages read released, at the end of the scope.
class CheckCacheScope {
public:
  explicit CheckCacheScope(sqlite3* db) : db_(db) {
    bounded_ = QueryInteger(db_, "PRAGMA cache_size;", usual_) &&
               sqlite3_exec(db_, kCheckCacheSql, nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  ~CheckCacheScope() {
    if (!bounded_) return;
    const std::string restore = "PRAGMA cache_size=" + std::to_string(usual_) + ";";
    sqlite3_exec(db_, restore.c_str(), nullptr, nullptr, nullptr);
    sqlite3_db_release_memory(db_);
  }
  CheckCacheScope(const CheckCacheScope&) = delete;
  CheckCacheScope& operator=(const CheckCacheScope&) = delete;

private:
  // 64 KiB: enough for the deepest b-tree path the check keeps pinned.
  static constexpr const char* kCheckCacheSql = "PRAGMA cache_size=-64;";
  sqlite3* const db_;
  int64_t usual_ = 0;
  bool bounded_ = false;
};

// The time-to-live cutoff in whole seconds; a time to live longer than the
// clock's range keeps everything instead of wrapping around.
int64_t CutoffSeconds(uint64_t ttlSec) {
  const int64_t now = static_cast<int64_t>(Kestrix::System::GetUtcDateTime().GetUtcTime() / 1000000);
  if (ttlSec > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    return std::numeric_limits<int64_t>::min();
  }
  return now - static_cast<int64_t>(ttlSec);  // now >= 0, so no overflow
}

}  // namespace

// ---------------------------------------------------------------------------
// SqliteConnection

SqliteConnection::~SqliteConnection() {
  // close_v2 defers the close until the last statement is finalized, so a
  // handle whose Close failed is still released.
  if (db_) sqlite3_close_v2(db_);
}

int SqliteConnection::Open(const std::string& path, int flags, std::string& message) {
  if (db_) {
    sqlite3_close_v2(db_);  // a handle whose Close failed: released once its statements go
    db_ = nullptr;
  }
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    message = ErrorMessage(db, rc);
    // A failed open usually still allocates a handle; it must be closed.
    if (db) sqlite3_close(db);
    return rc;
  }
  db_ = db;
  return rc;
}

int SqliteConnection::Close() {
  if (!db_) return SQLITE_OK;
  const int rc = sqlite3_close(db_);
  if (rc == SQLITE_OK) db_ = nullptr;
  return rc;
}

// ---------------------------------------------------------------------------
// SqlitePreparedStatement

SqlitePreparedStatement::SqlitePreparedStatement(sqlite3* db, const std::string& sql,
                                                 const Kestrix::Service::LoggerRef& logger)
    : db_(db), logger_(logger) {
  KLOG(logger_, VERBOSE, "Prepared statement %1 SQL:%2", static_cast<const void*>(this), sql);
  std::string message;
  const int rc = LockedCall(db_, message, [&] {
    return sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr);
  });
  if (rc != SQLITE_OK) {
    // prepare leaves stmt_ null on failure; nothing to finalize.
    KLOG(logger_, ERROR, "Failed to prepare SQL %1", sql);
    throw StorageException(message);
  }
}

SqlitePreparedStatement::~SqlitePreparedStatement() {
  std::string message;
  const int rc = LockedCall(db_, message, [&] { return sqlite3_finalize(stmt_); });
  if (rc != SQLITE_OK) {
    KLOG(logger_, ERROR, "Failed to destroy prepared statement %1 on dbHandle %2: %3",
         static_cast<const void*>(stmt_), static_cast<const void*>(db_), message);
  }
}

template <class Call>
void SqlitePreparedStatement::Bind(int column, const char* failureLine, Call call) {
  std::string message;
  if (LockedCall(db_, message, call) != SQLITE_OK) {
    KLOG(logger_, ERROR, failureLine, column);
    throw StorageException(message);
  }
}

void SqlitePreparedStatement::BindText(int column, const std::string& text) {
  Bind(column, "Failed to bind text for column %1", [&] {
    return sqlite3_bind_text(stmt_, column, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
  });
}

void SqlitePreparedStatement::BindInt64(int column, int64_t value) {
  Bind(column, "Failed to bind int64 for column %1", [&] { return sqlite3_bind_int64(stmt_, column, value); });
}

void SqlitePreparedStatement::BindDouble(int column, double value) {
  Bind(column, "Failed to bind double for column %1", [&] { return sqlite3_bind_double(stmt_, column, value); });
}

void SqlitePreparedStatement::BindNull(int column) {
  Bind(column, "Failed to bind SQL NULL for column %1", [&] { return sqlite3_bind_null(stmt_, column); });
}

int SqlitePreparedStatement::Step(std::string* firstColumn, std::string& message) {
  ConnectionLock lock(db_);
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW && firstColumn) {
    const unsigned char* text = sqlite3_column_text(stmt_, 0);
    firstColumn->assign(text ? reinterpret_cast<const char*>(text) : "",
                        static_cast<size_t>(sqlite3_column_bytes(stmt_, 0)));
  } else if (rc != SQLITE_DONE && rc != SQLITE_ROW) {
    message = ConnectionMessage(db_);
  }
  // sqlite3_reset repeats the step's error; that echo is not a new failure.
  sqlite3_reset(stmt_);
  return rc;
}

bool SqlitePreparedStatement::TryExecute(std::string& message) { return Step(nullptr, message) == SQLITE_DONE; }

void SqlitePreparedStatement::Execute() {
  std::string message;
  if (!TryExecute(message)) {
    KLOG(logger_, ERROR, "Failed to execute prepared statement");
    throw StorageException(message.empty() ? std::string("statement returned rows") : message);
  }
}

bool SqlitePreparedStatement::QueryText(std::string& text) {
  std::string message;
  const int rc = Step(&text, message);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  KLOG(logger_, ERROR, "Failed to execute prepared statement");
  throw StorageException(message);
}

void SqlitePreparedStatement::Reset() {
  std::string message;
  if (LockedCall(db_, message, [&] { return sqlite3_reset(stmt_); }) != SQLITE_OK) {
    KLOG(logger_, ERROR, "Failed to reset prepared statement execution state");
    throw StorageException(message);
  }
  if (LockedCall(db_, message, [&] { return sqlite3_clear_bindings(stmt_); }) != SQLITE_OK) {
    KLOG(logger_, ERROR, "Failed to reset prepared statement bound values");
    throw StorageException(message);
  }
}

// ---------------------------------------------------------------------------
// SqliteStorageEngine

SqliteStorageEngine::SqliteStorageEngine(std::string locator, uint64_t ttlSec,
                                         const Kestrix::Service::LoggerRef& logger, int busyTimeoutMs)
    : locator_(std::move(locator)),
      ttlSec_(ttlSec),
      logger_(logger ? logger : Kestrix::Service::GetDefaultLogger()),
      busyTimeoutMs_(busyTimeoutMs),
      cacheLock_(Kestrix::System::GetSystemFactory().CreateMutex()) {
  KLOG(logger_, INFO, "SqliteStorageEngine using SQLite version: %1", sqlite3_libversion());
  std::lock_guard<std::recursive_mutex> write(writeLock_);
  OpenConnection();
}

void SqliteStorageEngine::OpenConnection(bool logFailure) {
  const auto fail = [&](const std::string& message) {
    if (logFailure) KLOG(logger_, ERROR, "SQLite database open failed for %1", locator_);
    throw StorageException(message);
  };
  std::string message;
  // FULLMUTEX: both collection threads use this one connection.
  if (db_.Open(locator_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, message) !=
      SQLITE_OK) {
    fail(message);
  }
  // SQLite opens a file it may not write for reading only, without an error;
  // every pass would then fail while the health check found the file sound.
  if (sqlite3_db_readonly(db_.Get(), "main") == 1) fail(ReadOnlyMessage(locator_));
  // The set-up below would switch another application's database to a
  // write-ahead log, and the first pass would add tables to it. A file that
  // is no database at all fails this query and is reported by the set-up.
  std::string foreign;
  if (QueryText(db_.Get(), kForeignTableSql, foreign)) {
    fail(MessageFormatter::ASPrint(
        "database %1 belongs to another application (it holds table %2 and no table %3): tallywick stores only "
        "into a database of its own",
        locator_, foreign, kMetadataTable));
  }
  // SQLite follows a locator that is a symbolic link and keeps the log beside
  // the file it names; an in-memory database has no file name.
  const char* file = sqlite3_db_filename(db_.Get(), "main");
  walPath_ = file && *file ? std::string(sqlite3_filename_wal(file)) : locator_ + "-wal";
  sqlite3_busy_timeout(db_.Get(), busyTimeoutMs_);
  sqlite3_commit_hook(db_.Get(), &CommitHook, &commits_);
  for (const char* sql : kSetupSql) {
    std::optional<CheckCacheScope> bounded;
    if (sql == kQuickCheckSql) bounded.emplace(db_.Get());
    ExecuteSql(sql, logFailure);
  }
  // The log's size with SQLite's automatic checkpoint at its default 1,000
  // frames. A reader that keeps an old snapshot open stops checkpoints from
  // reaching the log's end, and the log grows for as long as it does; SQLite
  // keeps a file at its largest size unless a size limit is set, which
  // truncates it at the first commit after a complete checkpoint.
  int64_t pageSize = 0;  // an unreadable size leaves a small limit, which costs truncations, not data
  QueryInteger(db_.Get(), "PRAGMA page_size;", pageSize);
  usualWalBytes_ = kWalHeaderBytes + kAutoCheckpointFrames * (pageSize + kWalFrameHeaderBytes);
  ExecuteSql(MessageFormatter::ASPrint("PRAGMA journal_size_limit=%1;", WalSizeLimitFactor * usualWalBytes_),
             logFailure);
  // The identity of the file just opened; a locator that names no file (an
  // in-memory database) has none and is never checked.
  struct stat st {};
  if (::stat(locator_.c_str(), &st) == 0) {
    device_ = static_cast<uint64_t>(st.st_dev);
    inode_ = static_cast<uint64_t>(st.st_ino);
  } else {
    device_ = inode_ = 0;
  }
  // The set-up's reads created the log; it stays while this connection is
  // open, whoever else opens and closes the database.
  walInode_ = inode_ != 0 && ::stat(walPath_.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_ino) : 0;
}

void SqliteStorageEngine::EnsureConnection() {
  std::string reason;
  bool truncated = false;
  const bool retry = !db_.Get();
  if (retry) {
    reason = "the previous reopen failed";
  } else if (failures_ >= ReopenAfterFailures) {
    reason = MessageFormatter::ASPrint("%1 consecutive failed writes", failures_);
  } else if (inode_ != 0) {
    struct stat st {};
    if (::stat(locator_.c_str(), &st) != 0) {
      reason = MessageFormatter::ASPrint("the file is gone (%1)", std::strerror(errno));
    } else if (static_cast<uint64_t>(st.st_dev) != device_ || static_cast<uint64_t>(st.st_ino) != inode_) {
      reason = "the file was replaced";
    } else if (st.st_size < kSmallestPageBytes) {
      // The pages that were checkpointed into the file are gone; the log's
      // frames alone are not a database, and checkpointed into the emptied
      // file they would leave holes of zeros where those pages were.
      KLOG(logger_, ERROR, "Database %1 was truncated to %2 bytes while open: the samples stored in it are lost",
           locator_, static_cast<int64_t>(st.st_size));
      reason = "the file was truncated";
      truncated = true;
    } else if (walInode_ != 0) {
      // Samples committed since the last checkpoint live only in the log: one
      // deleted from the directory would take them along at the close, and
      // readers would not see them. The checkpoint before the reopen saves them.
      if (::stat(walPath_.c_str(), &st) != 0) {
        reason = MessageFormatter::ASPrint("the write-ahead log is gone (%1)", std::strerror(errno));
      } else if (static_cast<uint64_t>(st.st_ino) != walInode_) {
        reason = "the write-ahead log was replaced";
      } else {
        WatchLogSize(static_cast<int64_t>(st.st_size));
      }
    }
  }
  if (reason.empty()) return;

  // A failed reopen is tried again by every write: its lines were logged
  // the first time, and each failing write logs why it failed.
  if (!retry) KLOG(logger_, WARNING, "Reopening database %1: %2", locator_, reason);
  failures_ = 0;
  // The old connection goes first, with its statements; tables and metadata
  // rows are created again in the new file by the next store of each series.
  // Its write-ahead log sits at the path that the new file will use:
  // checkpointed into the old file and truncated, so the new connection never
  // reads the old file's pages as its own. A truncated file's log is
  // dropped instead: its frames are only a part of the lost pages.
  CloseConnection(truncated);
  try {
    OpenConnection(!retry);
    ExecuteSql(MetadataCreateSql(), !retry);
  } catch (const StorageException&) {
    db_.Close();  // retried by the next write
    SetUnusable(true);
    throw;
  }
  reopens_.fetch_add(1, std::memory_order_relaxed);
  KLOG(logger_, INFO, "Reopened database %1", locator_);
  SetUnusable(false);
}

void SqliteStorageEngine::WatchLogSize(int64_t bytes) {
  if (!walGrowthLogged_ && bytes > WalGrowthWarningFactor * usualWalBytes_) {
    KLOG(logger_, WARNING,
         "Write-ahead log %1 has grown to %2 bytes: another connection keeps a read transaction open, so the log "
         "cannot be checkpointed into the database",
         walPath_, bytes);
    walGrowthLogged_ = true;
  } else if (walGrowthLogged_ && bytes <= WalSizeLimitFactor * usualWalBytes_) {
    KLOG(logger_, INFO, "Write-ahead log %1 is checkpointed again and back to %2 bytes", walPath_, bytes);
    walGrowthLogged_ = false;
  }
}

void SqliteStorageEngine::SetUnusable(bool unusable) {
  if (unusable == unusable_) return;
  unusable_ = unusable;
  if (availabilityListener_) availabilityListener_();
}

void SqliteStorageEngine::SetAvailabilityListener(std::function<void()> listener) {
  std::lock_guard<std::recursive_mutex> write(writeLock_);
  availabilityListener_ = std::move(listener);
}

void SqliteStorageEngine::CloseConnection(bool dropLog) {
  // The statements belong to the connection and are finalized before it closes.
  DropConnectionStatements();
  const void* handle = db_.Get();
  if (!handle) return;
  std::string message;
  if (dropLog) {
    // Nor may the close checkpoint it, as the last connection's close does.
    sqlite3_db_config(db_.Get(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  } else if (LockedCall(db_.Get(), message, [&] {
               return sqlite3_wal_checkpoint_v2(db_.Get(), nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
             }) != SQLITE_OK) {
    KLOG(logger_, WARNING, "Unable to checkpoint database %1: %2", locator_, message);
  }
  if (db_.Close() != SQLITE_OK) KLOG(logger_, ERROR, "Failed to destroy dbHandle %1", handle);
  // Left in place, the next connection would read its frames as pages of the
  // new file.
  if (dropLog && ::unlink(walPath_.c_str()) != 0 && errno != ENOENT) {
    KLOG(logger_, ERROR, "Unable to delete write-ahead log %1: %2", walPath_, std::strerror(errno));
  }
}

void SqliteStorageEngine::Close() {
  std::lock_guard<std::recursive_mutex> write(writeLock_);
  if (!db_.Get()) return;
  CloseConnection();
  KLOG(logger_, INFO, "Closed database %1", locator_);
}

void SqliteStorageEngine::DropConnectionStatements() {
  begin_.Reset();
  commit_.Reset();
  Kestrix::System::LockGuard<Kestrix::System::Mutex> lock(*cacheLock_);
  statements_.clear();
}

SqliteStorageEngine::~SqliteStorageEngine() {
  DropConnectionStatements();  // every statement is finalized before the close
  if (db_.Get()) {
    const void* handle = db_.Get();
    if (db_.Close() != SQLITE_OK) KLOG(logger_, ERROR, "Failed to destroy dbHandle %1", handle);
  }
}

void SqliteStorageEngine::ExecuteSql(const std::string& sql, bool logFailure) {
  KLOG(logger_, VERBOSE, "SQL:%1", sql);
  std::string message;
  // sqlite3_exec's own error text is the connection's message of this call.
  const int rc = LockedCall(db_.Get(), message,
                            [&] { return sqlite3_exec(db_.Get(), sql.c_str(), nullptr, nullptr, nullptr); });
  if (rc != SQLITE_OK) {
    if (logFailure) KLOG(logger_, ERROR, "Failed to execute SQL %1", sql);
    throw StorageException(message);
  }
}

void SqliteStorageEngine::ExecuteTransactionSql(SqlitePreparedStatementRef& statement, const std::string& sql) {
  KLOG(logger_, VERBOSE, "SQL:%1", sql);
  if (!statement) statement = Kestrix::MakeRef<SqlitePreparedStatement>(db_.Get(), sql, logger_);
  std::string message;
  if (!statement->TryExecute(message)) {
    KLOG(logger_, ERROR, "Failed to execute SQL %1", sql);
    throw StorageException(message);
  }
}

void SqliteStorageEngine::Initialize() {
  std::lock_guard<std::recursive_mutex> write(writeLock_);
  ExecuteSql(MetadataCreateSql());
  // A metadata table made by something else would fail every series' first
  // store, pass after pass, while the service looked healthy.
  if (const char* column = MissingColumn(kMetadataTable, {"stat_id", "stat_table_name", "stat_metadata"}, false)) {
    throw StorageException(MessageFormatter::ASPrint("table %1 has no column %2", kMetadataTable, column));
  }
  ExpireAll();
}

const char* SqliteStorageEngine::MissingColumn(const std::string& table, std::initializer_list<const char*> columns,
                                               bool numeric) {
  SqlitePreparedStatement query(db_.Get(), kColumnTypeSql, logger_);
  for (const char* column : columns) {
    const std::string name = column;  // bound without a copy: lives across the step
    query.BindText(1, table);
    query.BindText(2, name);
    std::string type;
    if (!query.QueryText(type) || (numeric && !IsNumericType(type))) return column;
  }
  return nullptr;
}

void SqliteStorageEngine::RefuseSeries(const PersistedStat& stat, const std::string& message) {
  // Once: the refusal recurs every pass, and the drain logs each one.
  if (refusalsLogged_.insert(stat.GetName()).second) KLOG(logger_, ERROR, "%1", message);
  throw SeriesRefusedException(message);
}

void SqliteStorageEngine::ExpireAll() {
  std::lock_guard<std::recursive_mutex> write(writeLock_);
  const int64_t cutoff = CutoffSeconds(ttlSec_);
  if (cutoff == std::numeric_limits<int64_t>::min()) return;  // nothing can be that old
  int deleted = 0;
  size_t series = 0;
  try {
    // Checks the connection; a failed begin or commit is counted and rolled back by the engine.
    StorageTransaction transaction(*this);
    const int changesBefore = sqlite3_total_changes(db_.Get());
    try {
      SqlitePreparedStatement next(db_.Get(), NextTableSql(), logger_);
      SqlitePreparedStatement exists(db_.Get(), kTableExistsSql, logger_);
      std::string table, found, ignored;
      for (;;) {
        next.BindText(1, table);
        if (!next.QueryText(found)) break;
        table.swap(found);
        exists.BindText(1, table);
        if (!exists.QueryText(ignored)) continue;  // a metadata row without its table
        SqlitePreparedStatement expire(db_.Get(), MessageFormatter::ASPrint(kExpireSql, QuotedIdentifier(table)),
                                       logger_);
        expire.BindInt64(1, cutoff);
        expire.Execute();
        ++series;
      }
    } catch (const StorageException&) {
      Failed();  // the guard rolls back
      throw;
    }
    deleted = sqlite3_total_changes(db_.Get()) - changesBefore;
    transaction.Commit();
  } catch (const StorageException& e) {
    // The service can sample and store without it; the rows go with the
    // next store of their series, as they always do.
    KLOG(logger_, ERROR, "Unable to expire old samples: %1", e);
    return;
  }
  if (deleted > 0) {
    // Worth a line at start-up; the periodic runs only in the verbose log.
    if (expiredOnce_) {
      KLOG(logger_, VERBOSE, "Deleted %1 samples older than %2 s from %3 series", deleted, ttlSec_, series);
    } else {
      KLOG(logger_, INFO, "Deleted %1 samples older than %2 s from %3 series", deleted, ttlSec_, series);
    }
  }
  expiredOnce_ = true;
}

SqliteStorageEngine::StatementSet SqliteStorageEngine::GetStatements(const PersistedStat& stat) {
  Kestrix::System::LockGuard<Kestrix::System::Mutex> lock(*cacheLock_);
  auto it = statements_.find(stat.GetCollectedStatId());
  if (it != statements_.end()) return it->second;
  StatementSet set = CreateStatements(stat);
  statements_.emplace(stat.GetCollectedStatId(), set);
  if (inTransaction_) createdInTransaction_.push_back(stat.GetCollectedStatId());
  return set;
}

bool SqliteStorageEngine::TableOfAnotherSeries(const PersistedStat& stat, const std::string& table,
                                               std::string& other) {
  {
    SqlitePreparedStatement owner(db_.Get(), TableOwnerSql(), logger_);
    owner.BindText(1, table);
    if (owner.QueryText(other)) return other != stat.GetName();
  }
  // A new series' table does not exist yet in any case; only when one does
  // is the metadata table scanned for the series that made it.
  std::string ignored;
  SqlitePreparedStatement exists(db_.Get(), kTableExistsSql, logger_);
  exists.BindText(1, table);
  if (!exists.QueryText(ignored)) return false;
  SqlitePreparedStatement owner(db_.Get(), TableOwnerNoCaseSql(), logger_);
  owner.BindText(1, table);
  owner.BindText(2, stat.GetName());
  return owner.QueryText(other);
}

std::string SqliteStorageEngine::TableFor(const PersistedStat& stat) {
  std::string table;
  {
    SqlitePreparedStatement own(db_.Get(), OwnTableSql(), logger_);
    own.BindText(1, stat.GetName());
    if (own.QueryText(table)) return table;
  }
  // Names that differ only in case, or in "." against "_", have one table
  // name (eth0.100 and eth0_100, ETH0 and eth0; SQLite's table names ignore
  // case). The series that comes second gets the first free name with a
  // number appended, which its metadata row records for readers and for
  // the next start; otherwise it could not be stored at all.
  const std::string usual = TableNameFor(stat.GetName());
  table = usual;
  std::string other;
  if (!TableOfAnotherSeries(stat, table, other)) return table;
  const std::string owner = other;
  for (int n = 2; TableOfAnotherSeries(stat, table = usual + "_" + std::to_string(n), other); ++n) {
  }
  KLOG(logger_, WARNING, "Storing %1 in table %2: its usual table %3 belongs to %4", stat.GetName(), table, usual,
       owner);
  return table;
}

SqliteStorageEngine::StatementSet SqliteStorageEngine::CreateStatements(const PersistedStat& stat) {
  // Never another series' table: the metadata table's unique stat_table_name
  // would make the upsert below silently delete the other series' row.
  const std::string table = TableFor(stat);
  const std::string quoted = QuotedIdentifier(table);

  KESTRIX_VERIFY_AT(stat.GetValueKind() == ValueKindInteger || stat.GetValueKind() == ValueKindReal,
                    kSource);
  const char* create = stat.GetValueKind() == ValueKindInteger ? kCreateIntegerSql : kCreateRealSql;
  ExecuteSql(MessageFormatter::ASPrint(create, quoted, quoted));
  // A table of this name made by something else is kept, but not written.
  if (const char* column = MissingColumn(table, {"sm_timestamp", "sm_stat_value"}, true)) {
    RefuseSeries(stat, MessageFormatter::ASPrint("Refusing to store %1: its table %2 has no numeric column %3",
                                                 stat.GetName(), table, column));
  }
  {
    SqlitePreparedStatement upsert(db_.Get(), MetadataUpsertSql(), logger_);
    upsert.BindText(1, stat.GetName());
    upsert.BindText(2, table);
    upsert.BindText(3, stat.GetMetadata());
    upsert.Execute();
  }
  StatementSet set;
  set.insert = Kestrix::MakeRef<SqlitePreparedStatement>(db_.Get(), MessageFormatter::ASPrint(kInsertSql, quoted),
                                                         logger_);
  set.expire = Kestrix::MakeRef<SqlitePreparedStatement>(db_.Get(), MessageFormatter::ASPrint(kExpireSql, quoted),
                                                         logger_);
  return set;
}

template <class Write>
void SqliteStorageEngine::WriteStat(const PersistedStat& stat, Write write) {
  std::lock_guard<std::recursive_mutex> lock(writeLock_);
  try {
    // Inside a transaction the connection was checked by BeginTransaction and
    // must not change under it.
    if (!inTransaction_) EnsureConnection();
    write();
  } catch (const StorageException&) {
    // The statements may stand for a table that is gone (dropped by another
    // connection): the next store of the series creates table and metadata
    // row again, which costs nothing where they still exist.
    Forget(stat);
    Failed();
    throw;
  }
  if (!inTransaction_) Succeeded();
}

void SqliteStorageEngine::Store(const PersistedStat& stat) {
  WriteStat(stat, [&] { StoreSample(stat); });
}

bool SqliteStorageEngine::Expire(const PersistedStat& stat) {
  bool more = false;
  WriteStat(stat, [&] {
    const int64_t cutoff = ExpireSamples(GetStatements(stat));
    more = static_cast<int64_t>(stat.GetTimestamp() / 1000000) >= cutoff;
  });
  return more;
}

void SqliteStorageEngine::Forget(const PersistedStat& stat) {
  // The write lock first, as WriteStat takes them: a statement is finalized
  // while no other thread steps one on the connection.
  std::lock_guard<std::recursive_mutex> write(writeLock_);
  Kestrix::System::LockGuard<Kestrix::System::Mutex> cache(*cacheLock_);
  statements_.erase(stat.GetCollectedStatId());
}

void SqliteStorageEngine::StoreSample(const PersistedStat& stat) {
  const StatementSet set = GetStatements(stat);

  SqlitePreparedStatement& insert = *set.insert;
  insert.Reset();
  insert.BindInt64(1, static_cast<int64_t>(stat.GetTimestamp() / 1000000));
  const Stats::StatValue value = stat.GetValue();
  if (Stats::IsInvalid(value)) {
    insert.BindNull(2);
  } else if (stat.GetValueKind() == ValueKindInteger) {
    insert.BindInt64(2, value.numerator() / value.denominator());  // truncates toward zero
  } else {
    insert.BindDouble(2, static_cast<double>(value.numerator()) / static_cast<double>(value.denominator()));
  }
  insert.Execute();
  ExpireSamples(set);
}

int64_t SqliteStorageEngine::ExpireSamples(const StatementSet& set) {
  const int64_t cutoff = CutoffSeconds(ttlSec_);
  SqlitePreparedStatement& expire = *set.expire;
  expire.Reset();
  expire.BindInt64(1, cutoff);
  expire.Execute();
  return cutoff;
}

void SqliteStorageEngine::BeginTransaction() {
  writeLock_.lock();
  try {
    KESTRIX_VERIFY_AT(!inTransaction_, kSource);  // transactions do not nest
    EnsureConnection();
    ExecuteTransactionSql(begin_, kBeginSql);
  } catch (...) {
    Failed();
    writeLock_.unlock();
    throw;
  }
  inTransaction_ = true;
}

bool SqliteStorageEngine::InTransaction() const {
  std::lock_guard<std::recursive_mutex> write(writeLock_);
  return inTransaction_ && sqlite3_get_autocommit(db_.Get()) == 0;
}

void SqliteStorageEngine::EndTransaction() {
  if (!createdInTransaction_.empty()) {
    // Their tables and metadata rows were rolled back: forget the statements
    // so that the next Store creates the series again.
    Kestrix::System::LockGuard<Kestrix::System::Mutex> lock(*cacheLock_);
    for (CollectedStatId id : createdInTransaction_) statements_.erase(id);
    createdInTransaction_.clear();
  }
  inTransaction_ = false;
  writeLock_.unlock();
}

void SqliteStorageEngine::CommitTransaction() {
  // The owner already holds the lock; anyone else waits and then fails the check.
  std::lock_guard<std::recursive_mutex> write(writeLock_);
  KESTRIX_VERIFY_AT(inTransaction_, kSource);
  try {
    ExecuteTransactionSql(commit_, kCommitSql);
  } catch (...) {
    Failed();
    try {
      if (sqlite3_get_autocommit(db_.Get()) == 0) ExecuteSql(kRollbackSql);
    } catch (const StorageException&) {
      // logged by ExecuteSql; the commit's failure is the one to report
    }
    EndTransaction();
    throw;
  }
  createdInTransaction_.clear();  // committed: the statements stay valid
  Succeeded();
  EndTransaction();
}

void SqliteStorageEngine::RollbackTransaction() {
  std::lock_guard<std::recursive_mutex> write(writeLock_);
  KESTRIX_VERIFY_AT(inTransaction_, kSource);
  try {
    // After SQLite rolled back by itself there is nothing left to roll back.
    if (sqlite3_get_autocommit(db_.Get()) == 0) ExecuteSql(kRollbackSql);
  } catch (...) {
    EndTransaction();
    throw;
  }
  EndTransaction();
}

void SqliteStorageEngine::CheckHealth(HealthStatus& status) {
  std::string message;
  bool healthy = false;
  SqliteConnection check;
  // Without SQLITE_OPEN_CREATE below: a missing database is a failure, not a new file.
  off_t size = kSmallestPageBytes;
  {
    // Under the write lock: a reopen's new file is empty until its set-up ran.
    std::lock_guard<std::recursive_mutex> write(writeLock_);
    struct stat st {};
    if (inode_ != 0 && ::stat(locator_.c_str(), &st) == 0) size = st.st_size;
  }
  if (size < kSmallestPageBytes) {
    // quick_check finds nothing wrong in an empty file, and a connection
    // opening one deletes the write-ahead log next to it.
    message = MessageFormatter::ASPrint("the file was truncated to %1 bytes", static_cast<int64_t>(size));
  } else if (check.Open(locator_, SQLITE_OPEN_READWRITE, message) != SQLITE_OK) {
    // message holds SQLite's reason
  } else if (sqlite3_db_readonly(check.Get(), "main") == 1) {
    message = ReadOnlyMessage(locator_);
  } else {
    sqlite3_busy_timeout(check.Get(), DefaultBusyTimeoutMs);
    CheckCacheScope bounded(check.Get());
    std::vector<std::string> rows;
    const int rc = sqlite3_exec(
        check.Get(), kQuickCheckSql,
        [](void* out, int columns, char** values, char**) -> int {
          try {
            static_cast<std::vector<std::string>*>(out)->emplace_back(columns > 0 && values[0] ? values[0] : "");
            return 0;
          } catch (...) {
            return 1;  // no exception may cross SQLite's C frames
          }
        },
        &rows, nullptr);  // a failure's message is the connection's, with its cause
    if (rc != SQLITE_OK) {
      message = ConnectionMessage(check.Get());
    } else if (rows.size() == 1 && rows.front() == "ok") {
      healthy = true;
    } else {
      // quick_check reports each problem found as a row of its own.
      for (const auto& row : rows) {
        if (!message.empty()) message += "; ";
        message += row;
      }
      if (message.empty()) message = "no result rows";
    }
  }
  if (!healthy) {
    KLOG(logger_, ERROR, "SQLite database health check failed due to: %1", message);
    AddHealthMessage(status, HealthLevel::Red, DbIntegrityMessageKey, DbIntegrityMessageText);
  }
}

}  // namespace Tallywick
