// Tallywick::App, the service's one application object: it reads and checks
// the configuration (`Init`), runs the main loop (`Run`) and owns the stop
// condition that every loop waits on (`Shutdown`, `WaitForStop`).
//
// Configuration, below the top-level node "tallywick" (integers are signed
// 64-bit; every check failure is logged at error level and makes Init false):
//   persistence/engine           string, mandatory, exactly "sqlite"
//   persistence/locator          string, mandatory, not empty (the database file)
//   persistence/statTtlSec       integer, mandatory, 1 .. 9223372036854 seconds
//   cpuMemNetSamplingPeriodSec   integer, default 60, same range
//   storageSizeSamplingPeriodSec integer, default 600, same range
//   health_status_file           string, mandatory, not empty
//   storageSizeProvider/filesystems/N/{path,name}  mandatory list, non-empty strings
//   storageSizeProvider/dirs/N/{path,name}         mandatory list, non-empty strings
// and at the top level statsRegistry/parallelCollect, a boolean when present.
// Unknown keys below "tallywick" are warned about and ignored. A value of the
// wrong type, or a path through two same-named siblings, raises the
// configuration's InvalidArgumentException out of Init.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "kestrix/config.h"
#include "kestrix/lock.h"
#include "kestrix/log.h"
#include "kestrix/object.h"
#include "public/stats/statsProvider.h"
#include "apps/tallywick/metricsExporter.h"
#include "apps/tallywick/storageCollection.h"
#include "apps/tallywick/storageEngine.h"

namespace Tallywick {

class App : public Kestrix::ObjectImpl {
public:
  /// Wait between two health status writes of the main loop.
  static constexpr uint64_t kHealthRewriteMicros = 300000000;
  /// Longest wait for the work pool after the stop.
  static constexpr uint64_t kPoolWindDownMicros = 60000000;
  static constexpr uint64_t kDefaultCpuMemNetPeriodMicros = 60000000;
  static constexpr uint64_t kDefaultStorageSizePeriodMicros = 600000000;
  /// The largest number of seconds whose microseconds fit a signed 64-bit integer.
  static constexpr int64_t kMaxSeconds = INT64_MAX / 1000000;

  /// Creates the stop condition and the logger "Tallywick", a child of the
  /// application's root logger (Kestrix::Service::GetApp).
  App();
  ~App() override;

  /// Init reads and checks the configuration in this order: persistence,
  /// storage-size lists, storage engine, the two sampling periods, the health
  /// status file. Returns true when the service is ready to run; false after
  /// logging why. Raises Kestrix::InvalidArgumentException for a value of the
  /// wrong type or an ambiguous path (the caller logs it).
  bool Init(const Kestrix::Service::ConfigRef& config);

  /// Run hands each collection's sampling loop to the work pool, logs
  /// "Running main loop", then writes the health status file and waits for the
  /// stop, every kHealthRewriteMicros; after the stop it winds the work pool
  /// down and waits for it at most kPoolWindDownMicros.
  void Run();

  /// WriteHealthStatus runs the database check and replaces the health status
  /// file (through its temporary file).
  void WriteHealthStatus();

  /// Shutdown logs "Shutting down", then sets the stop flag under the stop
  /// condition's lock and wakes every waiter. Callable from any thread, any
  /// number of times.
  void Shutdown();

  /// WaitForStop waits at most timeoutMicros of monotonic time (a test clock
  /// drives it) for the stop, across spurious wake-ups; returns the stop flag.
  /// Any timeout is accepted: deadlines saturate instead of overflowing.
  bool WaitForStop(uint64_t timeoutMicros);

  /// RequestHealthRewrite makes the main loop rewrite the health status file
  /// now rather than at its next turn: the storage engine asks for it when the
  /// database became unusable, or usable again. Callable from any thread.
  void RequestHealthRewrite();
  /// KeepDatabaseLock locks the lock file again when it was deleted or
  /// replaced since the start (`rm <database>*` takes it along), so that a
  /// second service on the database still refuses to start. Logs the first
  /// time it cannot (another process locked the new file). Called by the
  /// sampling loops between passes; any thread.
  void KeepDatabaseLock();

  /// WaitForStopOrHealthRequest is WaitForStop that also ends on a
  /// RequestHealthRewrite, which it consumes; requested tells which.
  bool WaitForStopOrHealthRequest(uint64_t timeoutMicros, bool& requested);

  /// GetConfigString reads the string at the key made from pattern by
  /// replacing "%1" with argument (a pattern without "%1" is used unchanged).
  /// When absent it logs "Missing key <pattern>" at error level and, when the
  /// key differs from the pattern, "in <key>", and returns false.
  bool GetConfigString(const Kestrix::Service::ConfigNodeRef& node, const std::string& pattern,
                       const std::string& argument, std::string& result);

  /// ReadStorageSizeConfig fills the file-system list, the directory list (in
  /// configuration order) and the path-to-name map (file systems first; the
  /// first name of a path stays), then logs the found line. False after
  /// logging a missing or empty key.
  bool ReadStorageSizeConfig(const Kestrix::Service::ConfigRef& config);

  // What Init read, for the parts that are built from it.
  const Kestrix::Service::LoggerRef& GetLogger() const { return logger_; }
  bool IsStopRequested() const;
  const std::string& GetEngineName() const { return engineName_; }
  const std::string& GetLocator() const { return locator_; }
  int64_t GetStatTtlSec() const { return statTtlSec_; }
  uint64_t GetCpuMemNetPeriodMicros() const { return cpuMemNetPeriodMicros_; }
  uint64_t GetStorageSizePeriodMicros() const { return storageSizePeriodMicros_; }
  const std::string& GetHealthStatusFile() const { return healthStatusFile_; }
  const std::string& GetHealthStatusTempFile() const { return healthStatusTempFile_; }
  const std::vector<std::string>& GetFileSystemPaths() const { return fileSystemPaths_; }
  const std::vector<std::string>& GetDirPaths() const { return dirPaths_; }
  const std::map<std::string, std::string>& GetPathNames() const { return pathNames_; }
  const std::vector<StorageCollectionRef>& GetCollections() const { return collections_; }
  const StorageEngineRef& GetStorageEngine() const { return engine_; }

private:
  bool MissingKey(const std::string& key);
  bool ReadExportConfig(const Kestrix::Service::ConfigNode& tallywick);
  bool ReadNonEmptyString(const Kestrix::Service::ConfigNodeRef& node, const std::string& pattern,
                          const std::string& argument, std::string& result);
  // CheckSeconds accepts 1 .. kMaxSeconds; false after logging key and value.
  bool CheckSeconds(const std::string& key, int64_t seconds);
  bool ReadPersistenceConfig(const Kestrix::Service::ConfigNodeRef& tallywick);
  bool ReadPathList(const Kestrix::Service::ConfigNodeRef& provider, const std::string& listName,
                    std::vector<std::string>& paths);
  bool CheckStorageEngine();
  bool ReadSamplingPeriod(const Kestrix::Service::ConfigNode& tallywick, const std::string& key,
                          uint64_t defaultMicros, uint64_t& micros);
  bool ReadHealthStatusConfig(const Kestrix::Service::ConfigNodeRef& tallywick);
  bool OpenStorageEngine();
  // LockDatabase takes the lock file "<database file>.lock" (the locator, or
  // the file a locator that is a symbolic link names) for the process's
  // lifetime, so that a second service on the same database refuses to start
  // instead of interleaving its rows and health files with the first one's.
  // False after logging when another process holds it; a lock file that
  // cannot be made (the directory is missing) is left to the database open,
  // and a file system without locks leaves the service unprotected.
  bool LockDatabase();
  void WarnUnknownKeys(const Kestrix::Service::ConfigNode& node, const std::vector<std::string>& known,
                       const std::string& prefix);

  const Kestrix::Service::LoggerRef logger_;
  // Built by Init, in this order; they live as long as the application.
  Stats::StatsProviderRef linuxProvider_;
  Stats::StatsProviderRef storageProvider_;
  StorageEngineRef engine_;
  std::vector<StorageCollectionRef> collections_;  // CPU, memory and network first, then storage sizes
  std::string healthStatusFile_;
  std::string healthStatusTempFile_;
  std::string metricsFile_;    // export/metricsFile; empty: no export
  MetricsExporterRef exporter_;
  // The stop condition exists so that Shutdown, called from the signal
  // watcher, wakes the main loop and every sampling loop at once.
  const Kestrix::System::WaitableObjectRef stop_;
  bool stopRequested_ = false;  // guarded by stop_'s lock; set once, never cleared
  bool healthRequested_ = false;  // guarded by stop_'s lock
  std::mutex lockMutex_;
  std::string lockPath_;   // set by LockDatabase: <database file>.lock
  int lockFd_ = -1;        // guarded by lockMutex_: the locked lockPath_, never closed; -1: none
  bool lockLost_ = false;  // guarded by lockMutex_: locking it again failed, and was logged

  // Set by Init (main thread, before any loop runs); read-only afterwards.
  std::string engineName_;
  std::string locator_;
  int64_t statTtlSec_ = 0;
  uint64_t cpuMemNetPeriodMicros_ = kDefaultCpuMemNetPeriodMicros;
  uint64_t storageSizePeriodMicros_ = kDefaultStorageSizePeriodMicros;
  std::vector<std::string> fileSystemPaths_;
  std::vector<std::string> dirPaths_;
  std::map<std::string, std::string> pathNames_;
};
using AppRef = Kestrix::Ref<App>;

}  // namespace Tallywick
