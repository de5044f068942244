#include "apps/tallywick/storageEngine.h"

#include "apps/tallywick/sqliteStorageEngineImpl.h"

namespace Tallywick {

StorageTransaction::StorageTransaction(StorageEngine& engine) : engine_(engine) {
  engine_.BeginTransaction();
}

StorageTransaction::~StorageTransaction() {
  if (!open_) return;
  try {
    engine_.RollbackTransaction();
  } catch (const StorageException&) {
    // Logged by the engine; the transaction is over and a destructor must not throw.
  }
}

void StorageTransaction::Commit() {
  open_ = false;  // the engine ends the transaction even when the commit fails
  engine_.CommitTransaction();
}

bool StorageTransaction::IsActive() const { return open_ && engine_.InTransaction(); }

StorageEngineRef CreateStorageEngine(const std::string& engineName, const std::string& locator,
                                     uint64_t ttlSec, const Kestrix::Service::LoggerRef& logger) {
  if (engineName != "sqlite") throw StorageException("Only sqlite storage engine is supported.");
  return StorageEngineRef(new SqliteStorageEngine(locator, ttlSec, logger));
}

std::string TableNameFor(const std::string& name) {
  std::string table = "sm_stat_" + name;
  for (char& c : table) {
    if (c == '.') c = '_';
  }
  return table;
}

}  // namespace Tallywick
