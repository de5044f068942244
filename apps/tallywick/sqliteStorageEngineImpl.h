// The SQLite storage engine: one database file in write-ahead-log mode, one
// connection shared by the collection threads, and a second, short-lived
// connection for each health check.
//
// `<sqlite3.h>` stays out of this header; handles live in the RAII owners
// below, and every failing SQLite call becomes a `StorageException` carrying
// SQLite's message for that call.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "apps/tallywick/persistedStat.h"
#include "apps/tallywick/storageEngine.h"
#include "kestrix/lock.h"
#include "kestrix/log.h"

struct sqlite3;
struct sqlite3_stmt;

namespace Tallywick {

/// SqliteConnection owns one connection handle; the destructor closes it.
class SqliteConnection {
public:
  SqliteConnection() = default;
  ~SqliteConnection();
  SqliteConnection(const SqliteConnection&) = delete;
  SqliteConnection& operator=(const SqliteConnection&) = delete;

  /// Open opens path with flags (sqlite3_open_v2). Returns SQLite's result;
  /// on failure message holds SQLite's text and no handle is kept.
  int Open(const std::string& path, int flags, std::string& message);
  /// Close closes the handle and returns sqlite3_close's result; on failure
  /// the handle is kept and the destructor releases it once its statements
  /// are gone.
  int Close();
  sqlite3* Get() const { return db_; }

private:
  sqlite3* db_ = nullptr;
};

/// SqlitePreparedStatement owns one prepared statement of a connection that
/// outlives it. Each operation logs its error line and raises
/// StorageException with SQLite's message. Not thread safe: one thread uses a
/// statement at a time.
class SqlitePreparedStatement : public Kestrix::ObjectImpl {
public:
  /// Prepares sql on db; throws StorageException after "Failed to prepare SQL %1".
  SqlitePreparedStatement(sqlite3* db, const std::string& sql, const Kestrix::Service::LoggerRef& logger);
  /// Finalizes; a failure is only logged.
  ~SqlitePreparedStatement() override;
  SqlitePreparedStatement(const SqlitePreparedStatement&) = delete;
  SqlitePreparedStatement& operator=(const SqlitePreparedStatement&) = delete;

  /// BindText binds text without copying it: text must stay unchanged until the
  /// statement is executed and reset. Columns are 1-based.
  void BindText(int column, const std::string& text);
  /// A temporary would be gone before the statement runs.
  void BindText(int column, std::string&& text) = delete;
  void BindInt64(int column, int64_t value);
  void BindDouble(int column, double value);
  void BindNull(int column);
  /// Execute steps once and expects SQLITE_DONE. The statement is reset right
  /// away, whatever the outcome, so a failure is reported once, here, and never
  /// again by the next Reset.
  void Execute();
  /// TryExecute steps and resets as Execute does, without logging or
  /// throwing: true on SQLITE_DONE; otherwise message holds SQLite's error
  /// (empty when the statement returned a row).
  bool TryExecute(std::string& message);
  /// QueryText steps once: on a row, sets text to its first column and returns
  /// true; when there is no row returns false. Resets like Execute.
  bool QueryText(std::string& text);
  /// Reset resets the execution state and clears the bindings.
  void Reset();

  sqlite3_stmt* GetHandle() const { return stmt_; }

private:
  // Step steps, reads SQLite's message on a result other than SQLITE_DONE or
  // SQLITE_ROW, and resets; the copy of the first column is taken on a row.
  int Step(std::string* firstColumn, std::string& message);
  // Bind runs one bind call; on failure logs failureLine with the column.
  template <class Call>
  void Bind(int column, const char* failureLine, Call call);

  sqlite3* const db_;
  sqlite3_stmt* stmt_ = nullptr;
  const Kestrix::Service::LoggerRef logger_;
};
using SqlitePreparedStatementRef = Kestrix::Ref<SqlitePreparedStatement>;

/// SqliteStorageEngine stores into the database at its locator. See
/// StorageEngine for the contract.
class SqliteStorageEngine : public StorageEngine, public Kestrix::ObjectImpl {
public:
  /// DefaultBusyTimeoutMs: how long a statement waits for a lock that another
  /// connection (a reader, a backup) holds before it fails with "database is
  /// locked".
  static constexpr int DefaultBusyTimeoutMs = 5000;
  /// ReopenAfterFailures: consecutive failed writes (a store, a begin, a
  /// commit) after which the next write reopens the connection, in case the
  /// handle itself went bad (an I/O error that SQLite keeps reporting).
  static constexpr unsigned ReopenAfterFailures = 3;
  /// WalGrowthWarningFactor: a write-ahead log this many times its usual size
  /// (1,000 frames, where SQLite checkpoints it) is logged as one that cannot
  /// be checkpointed.
  static constexpr int64_t WalGrowthWarningFactor = 16;
  /// WalSizeLimitFactor: the log's size limit in times its usual size; a
  /// larger log is truncated to it at the first commit after the checkpoint
  /// completes.
  static constexpr int64_t WalSizeLimitFactor = 2;

  /// Opens (creating when missing) and sets up the database; throws
  /// StorageException after "SQLite database open failed for %1" or the
  /// failing set-up statement's line. logger empty: the default logger.
  SqliteStorageEngine(std::string locator, uint64_t ttlSec, const Kestrix::Service::LoggerRef& logger,
                      int busyTimeoutMs = DefaultBusyTimeoutMs);
  ~SqliteStorageEngine() override;

  // StorageEngine
  void Initialize() override;
  void ExpireAll() override;
  void Store(const PersistedStat& stat) override;
  bool Expire(const PersistedStat& stat) override;
  void Forget(const PersistedStat& stat) override;
  void CheckHealth(HealthStatus& status) override;
  void BeginTransaction() override;
  bool InTransaction() const override;
  void CommitTransaction() override;
  void RollbackTransaction() override;
  void Close() override;
  void SetAvailabilityListener(std::function<void()> listener) override;

  /// ExecuteSql runs sql with the one-shot execute; throws StorageException
  /// after "Failed to execute SQL %1" (that line left out without logFailure).
  void ExecuteSql(const std::string& sql, bool logFailure = true);
  /// GetCommitCount: transactions committed on the shared connection so far,
  /// explicit or automatic (for tests and benchmarks).
  uint64_t GetCommitCount() const { return commits_.load(std::memory_order_relaxed); }
  const std::string& GetLocator() const { return locator_; }
  /// GetReopenCount: how often the connection was reopened (for tests).
  uint64_t GetReopenCount() const { return reopens_.load(std::memory_order_relaxed); }

  // Object
  std::string ToString() const override { return "SqliteStorageEngine(" + locator_ + ")"; }

private:
  /// StatementSet: the prepared statements of one series.
  struct StatementSet {
    SqlitePreparedStatementRef insert;  // the sample insert
    SqlitePreparedStatementRef expire;  // the expiry delete
  };

  // WriteStat runs write for stat under the write lock, checking the
  // connection first outside a transaction and counting the outcome; a
  // failure drops the stat's cached statements.
  template <class Write>
  void WriteStat(const PersistedStat& stat, Write write);
  void StoreSample(const PersistedStat& stat);
  // ExpireSamples deletes the set's rows older than the time to live; returns
  // the cutoff (UTC seconds).
  int64_t ExpireSamples(const StatementSet& set);
  StatementSet GetStatements(const PersistedStat& stat);
  StatementSet CreateStatements(const PersistedStat& stat);
  // TableFor is the table of stat: the one its metadata row names, else the
  // usual name, or that name with the first free number appended when
  // another series has it. Caller holds writeLock_.
  std::string TableFor(const PersistedStat& stat);
  // TableOfAnotherSeries is true, with other set to that series' name, when
  // table (in any case) belongs to a series other than stat.
  bool TableOfAnotherSeries(const PersistedStat& stat, const std::string& table, std::string& other);
  // MissingColumn returns the first of columns that table lacks (or, when
  // numeric, whose declared type stores no numbers); null when none.
  const char* MissingColumn(const std::string& table, std::initializer_list<const char*> columns, bool numeric);
  // RefuseSeries logs message once per series and throws it. Caller holds writeLock_.
  [[noreturn]] void RefuseSeries(const PersistedStat& stat, const std::string& message);
  // ExecuteTransactionSql runs BEGIN or COMMIT through statement, prepared on
  // first use; logs and throws as ExecuteSql does. Caller holds writeLock_.
  void ExecuteTransactionSql(SqlitePreparedStatementRef& statement, const std::string& sql);
  // DropConnectionStatements finalizes every statement of the connection, as
  // it must be before the connection closes. Caller holds writeLock_.
  void DropConnectionStatements();
  void EndTransaction();
  // OpenConnection opens the database and runs the set-up; throws after the
  // open-failed line or the set-up statement's line (neither without
  // logFailure). Caller holds writeLock_.
  void OpenConnection(bool logFailure = true);
  // EnsureConnection reopens the connection when the file at the locator, or
  // its write-ahead log, is gone or is another file than the open one, or
  // when the file was truncated to less than a page, or after
  // ReopenAfterFailures failed writes, or when an earlier reopen failed.
  // Throws StorageException when there is no usable connection. Caller holds
  // writeLock_.
  void EnsureConnection();
  // SetUnusable records whether the last reopen failed and tells the
  // availability listener when that changed. Caller holds writeLock_.
  void SetUnusable(bool unusable);
  // WatchLogSize logs once when the write-ahead log, bytes long, has grown past
  // WalGrowthWarningFactor times its usual size, and once when it is back
  // within its size limit. Caller holds writeLock_.
  void WatchLogSize(int64_t bytes);
  // CloseConnection checkpoints the write-ahead log through the connection
  // (its open descriptor still reaches a log deleted from the directory),
  // truncates it and closes the connection; with dropLog it closes without
  // a checkpoint and deletes the log. Caller holds writeLock_.
  void CloseConnection(bool dropLog = false);
  // Failed / Succeeded count consecutive write failures. Caller holds writeLock_.
  void Failed() { ++failures_; }
  void Succeeded() { failures_ = 0; }

  const std::string locator_;
  // Where SQLite keeps the connection's write-ahead log: beside the file that
  // a locator which is a symbolic link names. Set by each open.
  std::string walPath_;
  const uint64_t ttlSec_;
  const Kestrix::Service::LoggerRef logger_;
  const int busyTimeoutMs_;
  // The connection and what identifies its file; replaced only by a reopen,
  // which runs under writeLock_ (every use of db_ for writing holds it too).
  SqliteConnection db_;
  uint64_t device_ = 0;     // guarded by writeLock_
  uint64_t inode_ = 0;      // guarded by writeLock_
  uint64_t walInode_ = 0;   // guarded by writeLock_: the write-ahead log's, 0 when none was seen
  unsigned failures_ = 0;   // guarded by writeLock_
  int64_t usualWalBytes_ = 0;     // guarded by writeLock_: the log's size at 1,000 frames of this file's pages
  bool walGrowthLogged_ = false;  // guarded by writeLock_: the log's growth was logged and has not ended
  bool unusable_ = false;   // guarded by writeLock_: the last reopen failed
  std::function<void()> availabilityListener_;  // guarded by writeLock_
  bool expiredOnce_ = false;  // guarded by writeLock_: ExpireAll ran to the end once
  std::set<std::string> refusalsLogged_;  // guarded by writeLock_: series refused a table
  std::atomic<uint64_t> reopens_{0};
  // Counted by SQLite's commit hook on the shared connection; relaxed: a
  // statistic, read after the commits it counts returned.
  std::atomic<uint64_t> commits_{0};

  // A transaction belongs to the connection, not to a thread: any statement run
  // on the shared connection while one thread's transaction is open would
  // become part of it. writeLock_ therefore serialises every write on the
  // connection (Store, Initialize, and a whole transaction from begin to end).
  // SQLite admits one writer at a time anyway, so nothing is lost by it.
  // Recursive so that the transaction's owner can Store inside it.
  mutable std::recursive_mutex writeLock_;
  bool inTransaction_ = false;                         // guarded by writeLock_
  // Begin and commit run every pass: prepared once per connection instead of
  // parsed again each time.
  SqlitePreparedStatementRef begin_;   // guarded by writeLock_
  SqlitePreparedStatementRef commit_;  // guarded by writeLock_
  std::vector<CollectedStatId> createdInTransaction_;  // guarded by writeLock_

  // cacheLock_ guards statements_, the statements of every series stored so far.
  const Kestrix::System::MutexRef cacheLock_;
  std::map<CollectedStatId, StatementSet> statements_;  // guarded by cacheLock_
};
using SqliteStorageEngineRef = Kestrix::Ref<SqliteStorageEngine>;

}  // namespace Tallywick
