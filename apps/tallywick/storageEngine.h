// StorageEngine: where the persisted stats go. One table per series plus one
// metadata table listing every series; tables and statements are made the
// first time a series is stored, and every store purges the series' samples
// older than the time to live. The only engine is SQLite
// (sqliteStorageEngineImpl.h); callers see this interface and `StorageException`.
//
// Writes of one pass belong in one `StorageTransaction`, so that a pass is
// stored whole or not at all and costs one commit.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "apps/tallywick/storageException.h"
#include "kestrix/log.h"
#include "kestrix/object.h"

namespace Tallywick {

class PersistedStat;
struct HealthStatus;

/// StorageEngine is thread safe: both collection threads store through one
/// engine, and the main thread runs its health check.
class StorageEngine : public virtual Kestrix::Object {
public:
  /// Initialize creates the metadata table when it does not exist, then runs
  /// ExpireAll. Throws StorageException.
  virtual void Initialize() = 0;
  /// ExpireAll deletes, in one transaction, the samples past the time to live
  /// of every series the metadata table lists: a series that no pass stores
  /// any more (an interface gone before this start) would otherwise keep its
  /// rows for ever. A failure is logged, not raised.
  virtual void ExpireAll() = 0;
  /// Store writes the stat's current sample (NULL for an invalid value) and
  /// deletes its samples older than the time to live, creating the series'
  /// table, metadata row and statements on its first store. Outside a
  /// transaction each statement commits on its own. Throws StorageException;
  /// a failed creation caches nothing and is retried by the next Store.
  virtual void Store(const PersistedStat& stat) = 0;
  /// Expire deletes the stat's samples older than the time to live, as Store
  /// does, without writing a sample (its current one is stored already).
  /// Returns false once that sample is itself past the time to live: the
  /// series then holds nothing more to expire. Throws as Store does.
  virtual bool Expire(const PersistedStat& stat) = 0;
  /// Forget drops what the engine keeps for stat (its prepared statements):
  /// the caller stores it no more. Its table and rows stay; ExpireAll expires
  /// the rows. A later Store of a series of the same name prepares again.
  virtual void Forget(const PersistedStat& stat) = 0;
  /// CheckHealth runs the database integrity check on a connection of its own
  /// and adds the red integrity message to status when it did not pass.
  /// Never throws for database problems.
  virtual void CheckHealth(HealthStatus& status) = 0;

  /// BeginTransaction opens a write transaction for the calling thread, which
  /// then has the engine's writes to itself until it commits or rolls back;
  /// other threads' Store and BeginTransaction wait. Throws StorageException
  /// (nothing held) when the database stays locked past the busy timeout.
  /// Prefer StorageTransaction, which cannot forget to end it.
  virtual void BeginTransaction() = 0;
  /// InTransaction: whether the calling thread's transaction is still open in
  /// the database. False after SQLite rolled it back by itself (a full disk, an
  /// I/O error): further stores would then commit one by one.
  virtual bool InTransaction() const = 0;
  /// CommitTransaction ends the transaction. On failure it is logged, rolled
  /// back and StorageException is raised; the transaction is over either way.
  virtual void CommitTransaction() = 0;
  /// RollbackTransaction discards the transaction (and forgets the statements
  /// of series first created inside it, so their creation is retried). Throws
  /// StorageException when ROLLBACK fails; the transaction is over either way.
  virtual void RollbackTransaction() = 0;

  /// Close checkpoints the write-ahead log into the database file, truncates
  /// the log and closes the connection, so that the file alone holds every
  /// stored sample after a stop (a copy of it is whole). Called once the
  /// collections have stopped; a later write opens the connection again.
  /// A failure is logged, not raised.
  virtual void Close() = 0;

  /// SetAvailabilityListener: listener is called, on the writing thread and
  /// with the engine's write lock held, when reopening the database failed
  /// after it had been usable, and when a reopen succeeded after such a
  /// failure. It must not call back into the engine.
  virtual void SetAvailabilityListener(std::function<void()> listener) = 0;
};
using StorageEngineRef = Kestrix::Ref<StorageEngine>;

/// StorageTransaction is a scope guard over BeginTransaction: it rolls back
/// unless Commit was called.
class StorageTransaction {
public:
  /// Begins the transaction; throws StorageException as BeginTransaction does.
  explicit StorageTransaction(StorageEngine& engine);
  /// Rolls back when neither Commit ran nor the transaction was already ended.
  ~StorageTransaction();
  StorageTransaction(const StorageTransaction&) = delete;
  StorageTransaction& operator=(const StorageTransaction&) = delete;

  /// Commit commits; throws StorageException after the engine rolled back.
  void Commit();
  /// IsActive: not yet committed and still open in the database.
  bool IsActive() const;

private:
  StorageEngine& engine_;
  bool open_ = true;
};

/// CreateStorageEngine returns the engine named engineName for the database
/// at locator with a time to live of ttlSec seconds, logging to logger (the
/// default logger when empty). Only "sqlite" exists; any other name raises
/// StorageException "Only sqlite storage engine is supported.". Opening or
/// setting up the database raises StorageException too.
StorageEngineRef CreateStorageEngine(const std::string& engineName, const std::string& locator,
                                     uint64_t ttlSec, const Kestrix::Service::LoggerRef& logger = {});

/// TableNameFor returns "sm_stat_" + name with every "." replaced by "_";
/// nothing else is changed (SQL texts quote the result).
std::string TableNameFor(const std::string& name);

}  // namespace Tallywick
