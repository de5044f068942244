// The result side of a query: the sink into which providers report raw
// values, the map of live instances those values feed, the creation of the
// graph around a new source instance, and the bookkeeping when an instance
// leaves. Used only through StatsQueryImpl (statsQueryInt.h).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "kestrix/lock.h"
#include "kestrix/log.h"
#include "kestrix/perfCounter.h"
#include "public/stats/statInstanceWriter.h"
#include "public/stats/statsRegistry.h"
#include "public/stats/statsResult.h"
#include "stats/distillery/factoriesInt.h"
#include "stats/distillery/statInstanceInt.h"

namespace Stats {
namespace Distillery {

/// InstanceKey: (stat id, attribute values) of an instance-map entry. The
/// values are referenced, not copied, so a lookup allocates nothing; they live
/// in the instance itself or in the entry (prefix keys of derived instances).
struct InstanceKey {
  int64_t statId;
  const AttributeValues* values;
};

/// InstanceKeyHash is FNV-1a over 64 bits: the stat id's eight bytes from the
/// most significant down, then every character of every value.
struct InstanceKeyHash {
  size_t operator()(const InstanceKey& k) const {
    uint64_t h = 14695981039346656037ull;
    const uint64_t id = static_cast<uint64_t>(k.statId);
    for (int shift = 56; shift >= 0; shift -= 8) {
      h ^= (id >> shift) & 0xff;
      h *= 1099511628211ull;
    }
    for (const auto& v : *k.values) {
      for (unsigned char c : v) {
        h ^= c;
        h *= 1099511628211ull;
      }
    }
    return static_cast<size_t>(h);
  }
};
struct InstanceKeyEqual {
  bool operator()(const InstanceKey& a, const InstanceKey& b) const {
    return a.statId == b.statId && *a.values == *b.values;
  }
};

/// TimedScope adds the time its scope took (100-ns ticks / 10 = µs, or / 10000
/// = ms) to a meter.
class TimedScope {
public:
  TimedScope(Kestrix::PerfCounter::MeterAccumulator& meter, bool millis = false);
  ~TimedScope();
  TimedScope(const TimedScope&) = delete;
  TimedScope& operator=(const TimedScope&) = delete;

private:
  Kestrix::PerfCounter::MeterAccumulator& meter_;
  const uint64_t start_;
  const bool millis_;
};

template <class Model>
class StatsResultInt : public virtual StatsResult,
                       public virtual StatInstanceCreator,
                       public Kestrix::System::RWLockableObjectImpl {
public:
  /// DefaultStatInstanceAllocator collects nothing: every key is NoKey.
  class DefaultStatInstanceAllocator : public virtual StatInstanceAllocator, public Kestrix::ObjectImpl {
  public:
    uint64_t Allocate(uint64_t, const AttributeValues&) override { return NoKey; }
    void Free(uint64_t) override {}
  };

  StatsResultInt(const std::string& internalName, StatInstanceAllocatorRef allocator,
                 const StatInstanceWriterRef& writer, uint64_t ttl);
  ~StatsResultInt() override;

  // StatsResult
  void AddValue(int64_t statId, const AttributeValues& attributeValues, int64_t value) override;
  void AddValue(const Stats::StatInstance& instance, int64_t value) override;
  void AddValue(int64_t statId, const StatDefRef& def, const AttributeValues& attributeValues,
                int64_t value) override;
  void AddValue(const StatInfo& info, const AttributeValues& attributeValues, int64_t value) override;
  /// GetValueCount may be read by a pool thread while others still add values.
  uint64_t GetValueCount() const override {
    std::lock_guard<std::mutex> lock(parallelMutex_);
    return valueCount_;
  }

  // StatInstanceCreator
  Distillery::StatInstanceRef CreateSourceInstance(int64_t statId, const StatDefRef& def,
                                                   const AttributeValues& attributeValues) override;
  void OnInstanceRemoved(Distillery::StatInstance& instance) override;

  /// BeginPass opens a pass: every value added until FinishPass carries utc as
  /// its timestamp and monotonic as its time for elapsed-time cookings; the
  /// value count restarts at 0. Execute calls it; a driver that feeds values
  /// itself calls it before its AddValue calls and FinishPass.
  void BeginPass(uint64_t utc, uint64_t monotonic);

  /// FindInstance returns the first instance under (statId, values), or null.
  Distillery::StatInstance* FindInstance(int64_t statId, const AttributeValues& values) const;
  size_t GetInstanceCount() const { return instances_.size(); }
  size_t GetEmittedCount() const { return emitted_.size(); }
  size_t GetSourceCount() const { return sources_.Size(); }
  size_t GetAggregationCount() const { return aggregations_.Size(); }

protected:
  struct MapEntry {
    Distillery::StatInstanceRef instance;
    std::unique_ptr<const AttributeValues> ownedValues;  // prefix keys only
    SourceStatInstanceLinked* source;                    // the instance, when it is a source
  };
  using InstanceMap = std::unordered_multimap<InstanceKey, MapEntry, InstanceKeyHash, InstanceKeyEqual>;

  void InsertInstance(const Distillery::StatInstanceRef& instance, SourceStatInstanceLinked* source,
                      AggregatedStatInstanceLinked* aggregation);
  bool IsRequestedByClient(const Distillery::StatInstance& instance) const;
  void AttachDependents(Distillery::StatInstance& instance, bool attach);
  Distillery::StatInstance* AttachAggregation(Distillery::StatInstance& source, const StatInfo& aggregation,
                                              bool& attach);
  Distillery::StatInstance* AttachDerivative(Distillery::StatInstance& source, const StatInfo& derived,
                                             bool& attach);
  void AddValueLocked(int64_t statId, const StatDefRef& def, const AttributeValues& values, int64_t value);
  /// EmittedPosition: where instance is, or would go, in emitted_.
  typename std::vector<Distillery::StatInstanceRef>::iterator EmittedPosition(const Distillery::StatInstance* instance);

  const std::string counterPrefix_;
  Kestrix::Service::LoggerRef logger_;  // set by the query once its name is known
  InstanceMap instances_;
  const uint64_t ttl_;
  uint64_t valueCount_ = 0;
  const StatInstanceAllocatorRef allocator_;
  const StatInstanceWriterRef writer_;
  Kestrix::PerfCounter::MeterAccumulatorRef numStatsLastCollected_;
  Kestrix::PerfCounter::MeterAccumulatorRef statProcessTime_;
  /// For each stat id, the registered aggregations and derivatives that read it.
  std::map<int64_t, std::map<int64_t, StatInfoRef>> dependents_;
  Utils::IntrusiveList<AggregatedStatInstanceLinked> aggregations_;
  /// The instances emitted to the writer, sorted by address (identity): a
  /// sorted vector, so the walk of every pass is contiguous.
  std::vector<Distillery::StatInstanceRef> emitted_;
  std::multimap<int64_t, AttributeValues> requests_;
  Utils::IntrusiveList<SourceStatInstanceLinked> sources_;
  /// The source the next value is most likely for: the one after the source
  /// that took the last value. Providers report in the same order every pass
  /// and sources are listed in the order of their first values, so this finds
  /// nearly every instance without hashing; a miss falls back to the map.
  /// Null when unknown; never an instance that left the graph.
  SourceStatInstanceLinked* expected_ = nullptr;
  PassClock clock_;  // pass timestamp (UTC) and its monotonic time; all ones between passes
  uint64_t lastCleanup_ = NoTimestamp;

  // Parallel collection calls AddValue from pool threads, and the executing
  // thread itself collects the handlers a winding-down pool refused while
  // other handlers may still run: every AddValue takes parallelMutex_, which
  // guards the instance map, the graph and the value count during a
  // retrieval. Uncontended (serial collection) it costs a few nanoseconds.
  mutable std::mutex parallelMutex_;
};

}  // namespace Distillery
}  // namespace Stats
