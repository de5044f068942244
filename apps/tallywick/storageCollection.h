// StorageCollection: the persisted stats sampled together at one period. It
// owns one query on the statistics framework, asks it for every instance of
// the statistics it persists, hands out the series ids when the query creates
// instances (allocator), keeps the latest sample of each series (writer), and
// stores them all in one transaction per pass (`Drain`).
//
// Build collections through the catalogue (persistedStatCatalog.h); the
// constructor is for it and for tests.
#pragma once

#include <atomic>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "apps/tallywick/metricsExporter.h"
#include "apps/tallywick/persistedStat.h"
#include "apps/tallywick/storageEngine.h"
#include "kestrix/log.h"
#include "kestrix/object.h"
#include "public/stats/statInstanceWriter.h"
#include "public/stats/statsQuery.h"
#include "public/stats/statsRegistry.h"

namespace Tallywick {

/// QueryFactory makes a collection's query from its writer and allocator and
/// the registry it reads.
using QueryFactory = std::function<Stats::StatsQueryRef(
    const Stats::StatInstanceWriterRef&, const Stats::StatInstanceAllocatorRef&, const Stats::StatsRegistryRef&)>;

/// CollectionContext is what a collection needs from the process around it.
struct CollectionContext {
  Stats::StatsRegistryRef registry;      ///< where the requested stats are looked up
  QueryFactory createQuery;              ///< makes the collection's query
  CollectedStatIdCounter* ids = nullptr; ///< source of series ids (not owned)
  Kestrix::Service::LoggerRef logger;    ///< where the collection logs
};

/// DefaultCollectionContext: the default registry, queries from
/// Stats::CreateQuery with a time to live of 0 (instances that miss one pass
/// are expired) and the default logger, the process-wide id counter, and
/// logger (the default logger when empty).
CollectionContext DefaultCollectionContext(const Kestrix::Service::LoggerRef& logger = {});

/// RequestedStats: registry label -> persisted stat fed by that statistic.
using RequestedStats = std::map<std::string, PersistedStatRef>;
/// InstanceNames: instance value (a configured path) -> name used in series names.
using InstanceNames = std::map<std::string, std::string>;
/// WaitForStop waits at most the given µs for the stop; true once stop was requested.
using WaitForStop = std::function<bool(uint64_t)>;

class StorageCollection : public virtual Stats::StatInstanceAllocator,
                          public virtual Stats::StatInstanceWriter,
                          public Kestrix::ObjectImpl {
public:
  /// Drains a per-instance series waits, after the last instance holding it
  /// left the graph, before it is released.
  static constexpr uint32_t kReleaseAfterDrains = 5;

  /// Matches requested against the registry's catalogue (logging each match or
  /// miss), creates the query and requests every instance ("*" for every
  /// attribute) of each matched statistic. drainList holds the series stored
  /// from the start; per-instance series are appended as they are allocated.
  /// Throws what the registry or the query's Request throws.
  StorageCollection(const StorageEngineRef& engine, uint64_t periodMicros, const RequestedStats& requested,
                    PersistedStatList drainList, InstanceNames instanceNames, const CollectionContext& context);
  ~StorageCollection() override;

  // Stats::StatInstanceAllocator
  /// Allocate returns the series id for a new instance of statId: the stat's
  /// own id, or for a template the id of the per-instance series of that
  /// instance (made on first sight, reused when the instance comes back).
  /// NoKey when statId was not requested.
  uint64_t Allocate(uint64_t statId, const Stats::AttributeValues& attributeValues) override;
  /// Free: the query's instance holding key has left the graph. A
  /// per-instance series that no instance holds any more is released by
  /// Drain once kReleaseAfterDrains drains have passed without the instance
  /// coming back and its last sample is committed (see Drain).
  void Free(uint64_t key) override;

  // Stats::StatInstanceWriter
  /// Write keeps value as the latest sample of series key; invalid values and
  /// unknown keys are skipped. Allocates nothing.
  void Write(uint64_t key, uint64_t timestamp, const Stats::StatValue* value,
             Stats::StatInstanceWriter* downstream) override;

  /// RunQueryLoop executes the query and drains, then waits with waitForStop
  /// until the next pass is due (WaitForNextPass), until that returns true;
  /// returns true. A pass that throws is logged ("Sampling pass failed: %1")
  /// and the loop goes on.
  bool RunQueryLoop(const WaitForStop& waitForStop);
  /// Passes fall this far past each multiple of the period on the wall clock.
  static constexpr uint64_t kPassPhaseMicros = 500000;
  /// WaitForNextPass returns the µs from nowUtc to the next pass of a pass
  /// that started at passStartUtc: the first wall-clock time at least half a
  /// period after the start (not before now) that lies kPassPhaseMicros past a
  /// multiple of periodMicros. Passes thus keep a fixed rate instead of
  /// slipping by each pass's duration (a slip skips a second of the series
  /// now and then at 1 s), collections whose periods divide each other wake
  /// together, and a row's second is half a second away from the passes'
  /// jitter. A wall clock stepped back is taken from now; the wait is at most
  /// one and a half periods. periodMicros is at least 1 s.
  static uint64_t WaitForNextPass(uint64_t periodMicros, uint64_t passStartUtc, uint64_t nowUtc);
  /// Drain stores, in one transaction, every series with a valid sample other
  /// than the one it last stored; a series whose sample has not changed (its
  /// instance is gone) only has its samples past the time to live deleted.
  /// True when every write it tried succeeded. First it releases the
  /// per-instance series whose instances have been gone for
  /// kReleaseAfterDrains drains and whose last sample is committed: they leave the drain list and the engine's statement cache
  /// (their table and rows stay; the engine's ExpireAll expires those), so a
  /// host whose interfaces come and go with fresh names does not grow without
  /// bound. An instance that comes back later gets a new series of the same
  /// name and table.
  bool Drain();
  /// GetLastPassTime: monotonic µs at which the last pass (execute and drain)
  /// completed, 0 before the first; GetPassCount: passes completed. Read from
  /// any thread (the service's supervisor).
  uint64_t GetLastPassTime() const { return lastPassTime_.load(std::memory_order_relaxed); }
  uint64_t GetPassCount() const { return passCount_.load(std::memory_order_relaxed); }
  /// SetExporter: after every pass, the collection publishes Snapshot() to
  /// exporter as its slot. Call before the loop runs.
  void SetExporter(const MetricsExporterRef& exporter, size_t slot);
  /// Snapshot: the sample of every series that the last pass wrote, for the
  /// exporter.
  MetricSnapshot Snapshot() const;

  uint64_t GetPeriod() const { return period_; }
  const Stats::StatsQueryRef& GetQuery() const { return query_; }
  const PersistedStatList& GetDrainList() const { return drainList_; }
  const Stats::StatInstanceList& GetRequestedInstances() const { return requestedInstances_; }

  // Object
  std::string ToString() const override;

private:
  class QueryCallbacks;

  // DrainState: what Drain has committed of one series of the drain list.
  struct DrainState {
    uint64_t stored = 0;          // timestamp of the last sample committed
    bool retired = false;         // nothing left to expire until another sample
    uint64_t pending = 0;         // written in the open transaction
    bool pendingRetired = false;  // the open transaction expired the last row
  };
  static bool IsDue(const PersistedStat& stat, const DrainState& state);

  PersistedStatRef InstanceSeries(const PersistedStatRef& templateStat, const Stats::AttributeValues& values);
  void ReleaseGoneSeries();

  const StorageEngineRef engine_;
  const uint64_t period_;
  const Kestrix::Service::LoggerRef logger_;
  CollectedStatIdCounter& ids_;
  std::map<int64_t, PersistedStatRef> requestedByStatId_;
  std::map<CollectedStatId, PersistedStatRef> byCollectedId_;
  PersistedStatList drainList_;
  std::vector<DrainState> drainStates_;  // one per drain list entry, by position
  Stats::StatInstanceList requestedInstances_;
  const InstanceNames instanceNames_;
  // (template, instance name) -> its series, so that an instance that expires
  // and comes back keeps its one series instead of growing a second.
  std::map<std::pair<const PersistedStat*, std::string>, PersistedStatRef> instanceSeries_;
  // Live query instances holding each per-instance series, and the series
  // that none holds any more with the drains since (released by Drain once
  // kReleaseAfterDrains have passed without the instance coming back).
  std::map<const PersistedStat*, uint32_t> instanceUsers_;
  struct GoneSeries {
    PersistedStatRef series;
    uint32_t drains;
  };
  std::vector<GoneSeries> gone_;
  // The query holds its writer and allocator by counted reference. Handing it
  // the collection itself would make a cycle that keeps both alive for ever
  // (and would destroy a half-built collection when its constructor throws), so
  // it gets this forwarder, which the destructor detaches.
  Kestrix::Ref<QueryCallbacks> callbacks_;
  Stats::StatsQueryRef query_;
  // Family and instance value of each per-instance series, for the exporter.
  std::map<const PersistedStat*, std::pair<std::string, std::string>> exportNames_;
  MetricsExporterRef exporter_;
  size_t exporterSlot_ = 0;
  std::atomic<uint64_t> lastPassTime_{0};
  uint64_t passTimestamp_ = 0;  // of the samples the current pass wrote; 0 before the first
  std::atomic<uint64_t> passCount_{0};
};
using StorageCollectionRef = Kestrix::Ref<StorageCollection>;

}  // namespace Tallywick
