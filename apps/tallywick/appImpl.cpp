#include "apps/tallywick/appImpl.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <utility>

#include "kestrix/app.h"
#include "kestrix/format.h"
#include "kestrix/workPool.h"
#include "apps/tallywick/healthStatus.h"
#include "apps/tallywick/persistedStatCatalog.h"
#include "apps/tallywick/serviceNotifier.h"
#include "apps/tallywick/storageException.h"
#include "stats/providers/linux/linuxStorageStatsProviderImpl.h"
#include "stats/providers/linuxStatsProviderImpl.h"

namespace Tallywick {

using Kestrix::MessageFormatter;
using Kestrix::Service::ConfigNode;
using Kestrix::Service::ConfigNodeRef;
using Kestrix::Service::ConfigRef;

namespace {

// ExpandKey replaces "%1" in pattern with argument; other patterns stay as they are.
std::string ExpandKey(const std::string& pattern, const std::string& argument) {
  if (pattern.find("%1") == std::string::npos) return pattern;
  return MessageFormatter::ASPrint(pattern, argument);
}

// DatabaseFilePath follows a locator that is a symbolic link, as SQLite does
// when it opens the database, to the path of the file it names (made when
// missing). Two locators that reach one database through links then share one
// lock file. Links among the directories need no following: the lock file's
// path goes through them to the same directory.
std::string DatabaseFilePath(const std::string& locator) {
  std::string path = locator;
  for (int hops = 0; hops < 40; ++hops) {  // the kernel's own bound on a chain of links
    char target[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof target) break;  // not a link
    const std::string link(target, static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    path = link.front() == '/' || slash == std::string::npos ? link : path.substr(0, slash + 1) + link;
  }
  return path;
}

}  // namespace

App::App()
    : logger_(Kestrix::Service::Logger::CreateLogger(Kestrix::Service::GetApp()->GetRootLogger(), "Tallywick")),
      stop_(Kestrix::System::CreateWaitableObject()) {}

App::~App() = default;

bool App::Init(const ConfigRef& config) {
  KLOG(logger_, INFO, "Initializing");
  ConfigNodeRef tallywick;
  if (!config->GetNode("tallywick", tallywick)) return MissingKey("tallywick");
  WarnUnknownKeys(*tallywick,
                  {"persistence", "cpuMemNetSamplingPeriodSec", "storageSizeSamplingPeriodSec",
                   "health_status_file", "storageSizeProvider", "export"},
                  "");
  // The registry reads this setting itself and takes an unreadable value as
  // false; refusing it here keeps a typo from silently meaning serial
  // collection. A non-boolean text raises InvalidArgumentException naming it.
  bool parallelCollect = false;
  config->GetRoot()->GetBool("statsRegistry/parallelCollect", parallelCollect);

  // Every entry is read and checked before anything is built, so that a bad
  // configuration creates no database file and registers nothing.
  if (!ReadPersistenceConfig(tallywick)) return false;
  if (!ReadStorageSizeConfig(config)) return false;
  if (!CheckStorageEngine()) return false;
  if (!ReadSamplingPeriod(*tallywick, "cpuMemNetSamplingPeriodSec", kDefaultCpuMemNetPeriodMicros,
                          cpuMemNetPeriodMicros_)) {
    return false;
  }
  if (!ReadSamplingPeriod(*tallywick, "storageSizeSamplingPeriodSec", kDefaultStorageSizePeriodMicros,
                          storageSizePeriodMicros_)) {
    return false;
  }
  if (!ReadHealthStatusConfig(tallywick)) return false;
  if (!ReadExportConfig(*tallywick)) return false;

  // The system provider (no process selectors, no chained mapper), then the
  // storage-size provider, both with the default registry.
  linuxProvider_ = Stats::StatsProviderRef(
      new Stats::Providers::LinuxStatsProvider(Stats::Providers::ProcessSelectorList(), Stats::StatAttributeMapperRef()));
  linuxProvider_->RegisterStats(Stats::StatsRegistryRef());
  storageProvider_ = Stats::StatsProviderRef(new Stats::Providers::LinuxStorageStatsProvider(
      fileSystemPaths_, dirPaths_, Stats::StatAttributeMapperRef()));
  storageProvider_->RegisterStats(Stats::StatsRegistryRef());

  if (!LockDatabase() || !OpenStorageEngine()) return false;
  collections_.push_back(BuildCpuMemNetCollection(engine_, cpuMemNetPeriodMicros_, DefaultCollectionContext(logger_)));
  collections_.push_back(BuildStorageSizeCollection(engine_, storageSizePeriodMicros_, pathNames_, DefaultCollectionContext(logger_)));
  if (!metricsFile_.empty()) {
    exporter_ = Kestrix::MakeRef<MetricsExporter>(metricsFile_, collections_.size(), logger_);
    for (size_t i = 0; i < collections_.size(); ++i) collections_[i]->SetExporter(exporter_, i);
  }
  return true;
}

bool App::LockDatabase() {
  if (locator_ == ":memory:") return true;
  lockPath_ = DatabaseFilePath(locator_) + ".lock";
  const std::string& path = lockPath_;
  // Never closed: the lock ends with the process, however it ends.
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0640);
  if (fd < 0) {
    // A missing directory is the database open's to report. Anything else (a
    // lock file left by another user, a directory of that name) leaves the
    // database unprotected, which the log must say.
    const int error = errno;
    if (error != ENOENT) KLOG(logger_, WARNING, "Unable to lock %1: %2", path, std::strerror(error));
    return true;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
    std::lock_guard<std::mutex> guard(lockMutex_);
    lockFd_ = fd;
    return true;
  }
  const int error = errno;
  ::close(fd);
  if (error != EWOULDBLOCK) {
    // A file system without locks: run as before, unprotected.
    KLOG(logger_, WARNING, "Unable to lock %1: %2", path, std::strerror(error));
    return true;
  }
  KLOG(logger_, ERROR, "Unable to open and initialize storage engine: database %1 is in use by another process "
       "(it holds %2)", locator_, path);
  return false;
}

void App::KeepDatabaseLock() {
  std::lock_guard<std::mutex> guard(lockMutex_);
  if (lockFd_ < 0) return;
  const std::string& path = lockPath_;
  struct stat held {}, named {};
  if (::fstat(lockFd_, &held) == 0 && ::stat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
      held.st_ino == named.st_ino) {
    return;
  }
  // A missing directory is the database open's to report.
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0640);
  if (fd < 0) return;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(fd);
    // Once: a second service that started in between keeps the new file locked.
    if (!lockLost_) {
      KLOG(logger_, ERROR, "Lock file %1 was deleted or replaced and cannot be locked again: %2", path,
           error == EWOULDBLOCK ? std::string("another process holds it") : std::string(std::strerror(error)));
    }
    lockLost_ = true;
    return;
  }
  ::close(lockFd_);
  lockFd_ = fd;
  lockLost_ = false;
  KLOG(logger_, WARNING, "Lock file %1 was deleted or replaced; locked it again", path);
}

bool App::OpenStorageEngine() {
  try {
    engine_ = CreateStorageEngine(engineName_, locator_, static_cast<uint64_t>(statTtlSec_), logger_);
    engine_->Initialize();
    // The application outlives the engine's writers (the process ends without
    // destructors), so the raw pointer stays valid.
    engine_->SetAvailabilityListener([this] { RequestHealthRewrite(); });
  } catch (const StorageException& e) {
    KLOG(logger_, ERROR, "Unable to open and initialize storage engine: %1", e.what());
    engine_.Reset();
    WriteDatabaseFailedStatusFile(healthStatusFile_, healthStatusTempFile_, logger_);
    return false;
  }
  return true;
}

void App::WriteHealthStatus() {
  WriteHealthStatusFile(*engine_, healthStatusFile_, healthStatusTempFile_, logger_);
}

void App::Run() {
  Kestrix::Service::WorkPoolRef pool = Kestrix::Service::GetApp()->GetWorkPool();
  AppRef self(this);
  for (const auto& collection : collections_) {
    // The task holds the collection (and the application) while it runs.
    pool->Run([self, collection] {
      collection->RunQueryLoop([self](uint64_t timeoutMicros) {
        self->KeepDatabaseLock();  // once a pass: an `rm <database>*` takes the lock file along
        return self->WaitForStop(timeoutMicros);
      });
    });
  }
  ServiceNotifier notifier;
  notifier.Start(collections_, [self](uint64_t timeoutMicros) { return self->WaitForStop(timeoutMicros); });
  KLOG(logger_, INFO, "Running main loop");
  bool started = false;
  bool requested = false;
  do {
    if (engine_) {
      // The series that no pass stores lose their old rows here (and at
      // start-up, in the engine's initialization).
      if (started && !requested) engine_->ExpireAll();
      WriteHealthStatus();
    }
    started = true;
  } while (!WaitForStopOrHealthRequest(kHealthRewriteMicros, requested));
  notifier.Stop();
  pool->BeginWindDown();
  if (!pool->Wait(kPoolWindDownMicros)) {
    KLOG(logger_, WARNING, "Work pool still busy after %1 usec; leaving its tasks behind", kPoolWindDownMicros);
  } else if (engine_) {
    // The process leaves without destructors; the database file is made
    // whole here, while nothing writes any more.
    engine_->Close();
  }
}

void App::Shutdown() {
  KLOG(logger_, INFO, "Shutting down");
  Kestrix::System::LockGuard<Kestrix::System::WaitableObject> lock(*stop_);
  stopRequested_ = true;
  stop_->Broadcast();
}

bool App::WaitForStop(uint64_t timeoutMicros) {
  Kestrix::System::LockGuard<Kestrix::System::WaitableObject> lock(*stop_);
  return Kestrix::System::TimedWaitUntil(*stop_, timeoutMicros, [this] { return stopRequested_; });
}

void App::RequestHealthRewrite() {
  Kestrix::System::LockGuard<Kestrix::System::WaitableObject> lock(*stop_);
  healthRequested_ = true;
  stop_->Broadcast();
}

bool App::WaitForStopOrHealthRequest(uint64_t timeoutMicros, bool& requested) {
  Kestrix::System::LockGuard<Kestrix::System::WaitableObject> lock(*stop_);
  Kestrix::System::TimedWaitUntil(*stop_, timeoutMicros, [this] { return stopRequested_ || healthRequested_; });
  requested = healthRequested_;
  healthRequested_ = false;
  return stopRequested_;
}

bool App::IsStopRequested() const {
  Kestrix::System::LockGuard<Kestrix::System::WaitableObject> lock(*stop_);
  return stopRequested_;
}

bool App::GetConfigString(const ConfigNodeRef& node, const std::string& pattern, const std::string& argument,
                          std::string& result) {
  const std::string key = ExpandKey(pattern, argument);
  if (node->GetString(key, result)) return true;
  // A missing key stops the service, so it shows at every log level.
  KLOG(logger_, ERROR, "Missing key %1", pattern);
  if (key != pattern) KLOG(logger_, ERROR, "in %1", key);
  return false;
}

bool App::ReadStorageSizeConfig(const ConfigRef& config) {
  fileSystemPaths_.clear();
  dirPaths_.clear();
  pathNames_.clear();
  ConfigNodeRef tallywick, provider;
  if (!config->GetNode("tallywick", tallywick)) return MissingKey("tallywick");
  if (!tallywick->GetNode("storageSizeProvider", provider)) return MissingKey("storageSizeProvider");
  WarnUnknownKeys(*provider, {"filesystems", "dirs"}, "storageSizeProvider/");
  if (!ReadPathList(provider, "filesystems", fileSystemPaths_)) return false;
  if (!ReadPathList(provider, "dirs", dirPaths_)) return false;
  KLOG(logger_, INFO, "Found %1 file systems and %2 dirs in config for monitoring.", fileSystemPaths_.size(),
       dirPaths_.size());
  return true;
}

bool App::MissingKey(const std::string& key) {
  KLOG(logger_, ERROR, "Missing key %1", key);
  return false;
}

bool App::ReadNonEmptyString(const ConfigNodeRef& node, const std::string& pattern, const std::string& argument,
                             std::string& result) {
  if (!GetConfigString(node, pattern, argument, result)) return false;
  if (!result.empty()) return true;
  KLOG(logger_, ERROR, "Empty value for key %1", ExpandKey(pattern, argument));
  return false;
}

bool App::CheckSeconds(const std::string& key, int64_t seconds) {
  if (seconds <= 0) {
    KLOG(logger_, ERROR, "Invalid value %1 for key %2: must be at least 1 second", seconds, key);
    return false;
  }
  if (seconds > kMaxSeconds) {
    KLOG(logger_, ERROR, "Invalid value %1 for key %2: must be at most %3 seconds", seconds, key, kMaxSeconds);
    return false;
  }
  return true;
}

bool App::ReadPersistenceConfig(const ConfigNodeRef& tallywick) {
  ConfigNodeRef persistence;
  if (!tallywick->GetNode("persistence", persistence)) return MissingKey("persistence");
  WarnUnknownKeys(*persistence, {"engine", "locator", "statTtlSec"}, "persistence/");
  // An empty engine name fails the engine check with its own message.
  if (!GetConfigString(tallywick, "persistence/engine", "", engineName_)) return false;
  // An empty locator would give SQLite a temporary database that vanishes.
  if (!ReadNonEmptyString(tallywick, "persistence/locator", "", locator_)) return false;
  if (!persistence->GetInt64("statTtlSec", statTtlSec_)) return MissingKey("persistence/statTtlSec");
  // A negative time to live would delete every sample as it is stored.
  return CheckSeconds("persistence/statTtlSec", statTtlSec_);
}

bool App::ReadPathList(const ConfigNodeRef& provider, const std::string& listName,
                       std::vector<std::string>& paths) {
  std::vector<std::string> children;
  if (!provider->GetChildNames(listName, children)) return MissingKey("storageSizeProvider/" + listName);
  // For each series table name, in SQLite's case-insensitive form: the name
  // key and the name of the first path in this list that takes it.
  std::map<std::string, std::pair<std::string, std::string>> tableOwners;
  std::set<std::string> listed;  // the paths of this list so far
  for (const auto& child : children) {
    ConfigNodeRef entry;
    // Raises the ambiguity error when two children share child's name.
    provider->GetNode(listName + "/" + child, entry);
    const std::string prefix = "storageSizeProvider/" + listName + "/" + child + "/";
    WarnUnknownKeys(*entry, {"path", "name"}, prefix);
    std::string path, name;
    if (!ReadNonEmptyString(provider, listName + "/%1/path", child, path)) return false;
    if (!ReadNonEmptyString(provider, listName + "/%1/name", child, name)) return false;
    paths.push_back(path);
    pathNames_.emplace(path, name);  // a path seen before keeps its first name
    if (!listed.insert(path).second) continue;
    // Two paths of one list whose names differ only in case or in "." against
    // "_" would store into the same tables, each overwriting the other's rows.
    const std::string& used = pathNames_.at(path);
    std::string table = TableNameFor(used);
    std::transform(table.begin(), table.end(), table.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const auto [owner, fresh] = tableOwners.emplace(table, std::make_pair(prefix + "name", used));
    if (!fresh) {
      KLOG(logger_, ERROR, "Invalid value %1 for key %2: its series tables would be those of %3 (%4)", used,
           prefix + "name", owner->second.first, owner->second.second);
      return false;
    }
  }
  return true;
}

bool App::CheckStorageEngine() {
  if (engineName_ == "sqlite") return true;
  KLOG(logger_, ERROR, "Unable to open and initialize storage engine: %1",
       "Only sqlite storage engine is supported.");
  return false;
}

bool App::ReadSamplingPeriod(const ConfigNode& tallywick, const std::string& key, uint64_t defaultMicros,
                             uint64_t& micros) {
  int64_t seconds = 0;
  if (!tallywick.GetInt64(key, seconds)) {
    micros = defaultMicros;
    return true;
  }
  // A zero period would spin; CheckSeconds also keeps the product in range.
  if (!CheckSeconds(key, seconds)) return false;
  micros = static_cast<uint64_t>(seconds) * 1000000u;
  return true;
}

bool App::ReadHealthStatusConfig(const ConfigNodeRef& tallywick) {
  if (!ReadNonEmptyString(tallywick, "health_status_file", "", healthStatusFile_)) return false;
  healthStatusTempFile_ = MessageFormatter::ASPrint("%1.tmp", healthStatusFile_);
  return true;
}

bool App::ReadExportConfig(const ConfigNode& tallywick) {
  metricsFile_.clear();
  ConfigNodeRef node;
  if (!tallywick.GetNode("export", node)) return true;  // no export unless asked for
  WarnUnknownKeys(*node, {"metricsFile"}, "export/");
  std::string path;
  if (!node->GetString("metricsFile", path)) return MissingKey("export/metricsFile");
  // node_exporter's textfile collector reads only files ending in .prom.
  const std::string suffix = ".prom";
  if (path.size() <= suffix.size() || path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0) {
    KLOG(logger_, ERROR, "Invalid value %1 for key export/metricsFile: must be a file path ending in .prom", path);
    return false;
  }
  metricsFile_ = path;
  return true;
}

void App::WarnUnknownKeys(const ConfigNode& node, const std::vector<std::string>& known,
                          const std::string& prefix) {
  std::vector<std::string> names;
  node.GetChildNames("", names);
  for (const auto& name : names) {
    if (std::find(known.begin(), known.end(), name) == known.end()) {
      KLOG(logger_, WARNING, "Unknown configuration key %1 ignored", prefix + name);
    }
  }
}

}  // namespace Tallywick
