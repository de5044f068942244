// Persisted stats: the statistics the service keeps as time series. A
// PersistedStat holds the latest sample of one series (or, with the id NoKey,
// is the template from which one series per instance is made); a
// RationalPersistedStat computes its value from other persisted stats.
//
// `CollectedStatId` numbers the stored series. The ids come from one
// process-wide counter so that no two series, in any collection, share one.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "kestrix/object.h"
#include "public/stats/statDef.h"
#include "public/stats/statInstanceWriter.h"
#include "public/stats/statValue.h"

namespace Tallywick {

/// CollectedStatId is the number of one stored series: the collection key that
/// the query engine's allocator hands out. Stats::NoKey means "no id".
using CollectedStatId = uint64_t;

/// ValueKind says how a series' values are stored.
enum ValueKind : uint32_t {
  ValueKindInteger = 0,  ///< numerator / denominator truncated toward zero
  ValueKindReal = 1,     ///< numerator / denominator as a double
};

/// CollectedStatIdCounter hands out distinct ids, 0 first, from any thread.
class CollectedStatIdCounter {
public:
  /// Next returns an id that this counter never returned before.
  CollectedStatId Next() { return next_.fetch_add(1, std::memory_order_relaxed); }

private:
  // Only distinctness matters, not ordering with other memory: relaxed.
  std::atomic<CollectedStatId> next_{0};
};

/// GetCollectedStatIdCounter returns the process-wide counter shared by the
/// catalogue and by both collections.
CollectedStatIdCounter& GetCollectedStatIdCounter();

/// PersistedStat is one series (or a per-instance template). Not thread safe:
/// it belongs to the thread of its collection.
class PersistedStat : public Kestrix::ObjectImpl {
public:
  /// name becomes the stat_id and (through TableNameFor) the table name;
  /// label is the registry label of the feeding statistic (empty for a rational
  /// stat); id is Stats::NoKey for a template.
  PersistedStat(std::string name, std::string label, uint32_t valueKind, std::string metadata,
                CollectedStatId id);

  /// SetSample replaces the latest sample. Copies 32 bytes, allocates nothing.
  virtual void SetSample(uint64_t timestamp, const Stats::StatValue& value);
  /// GetValue returns the latest value; Stats::InvalidValue before the first.
  virtual Stats::StatValue GetValue() const;
  /// GetTimestamp returns the latest sample's time (µs UTC); 0 before the first.
  virtual uint64_t GetTimestamp() const;

  const std::string& GetName() const { return name_; }
  const std::string& GetLabel() const { return label_; }
  uint32_t GetValueKind() const { return valueKind_; }
  const std::string& GetMetadata() const { return metadata_; }
  CollectedStatId GetCollectedStatId() const { return id_; }
  /// IsTemplate: true when one series per instance is made from this stat.
  bool IsTemplate() const { return id_ == Stats::NoKey; }
  /// GetStatInfo: the registered statistic that matched the label; empty until
  /// matched.
  const Stats::StatInfoRef& GetStatInfo() const { return statInfo_; }
  void SetStatInfo(const Stats::StatInfoRef& info) { statInfo_ = info; }

  // Object
  std::string ToString() const override { return "PersistedStat(" + name_ + ")"; }

private:
  const std::string name_;
  const std::string label_;
  const uint32_t valueKind_;
  const std::string metadata_;
  const CollectedStatId id_;
  Stats::StatInfoRef statInfo_;
  Stats::StatValue value_ = Stats::InvalidValue;
  uint64_t timestamp_ = 0;
};
using PersistedStatRef = Kestrix::Ref<PersistedStat>;
using PersistedStatList = std::vector<PersistedStatRef>;

/// RationalPersistedStat is (sum of numerators) / (sum of denominators), or
/// the numerator sum alone when there is no denominator. It has no label and
/// receives no samples of its own.
class RationalPersistedStat : public PersistedStat {
public:
  RationalPersistedStat(std::string name, uint32_t valueKind, std::string metadata, CollectedStatId id);

  void AddNumerator(const PersistedStatRef& stat) { numerators_.push_back(stat); }
  void AddDenominator(const PersistedStatRef& stat) { denominators_.push_back(stat); }
  /// SetCeiling caps the quotient at ceiling: a share of a capacity that its
  /// parts, counted in ticks, can overshoot by a tick.
  void SetCeiling(const Stats::StatValue& ceiling) { ceiling_ = ceiling; }
  const PersistedStatList& GetNumerators() const { return numerators_; }
  const PersistedStatList& GetDenominators() const { return denominators_; }

  // PersistedStat
  /// GetValue is InvalidValue when any part is invalid or holds a sample of
  /// another time than the first numerator's, when the sums overflow,
  /// when the denominator sum is zero, or when there is no numerator;
  /// otherwise the reduced quotient, or the ceiling when it is above that.
  Stats::StatValue GetValue() const override;
  /// GetTimestamp is the first numerator's timestamp (0 without numerators).
  uint64_t GetTimestamp() const override;

private:
  PersistedStatList numerators_;
  PersistedStatList denominators_;
  Stats::StatValue ceiling_ = Stats::InvalidValue;  // none
};
using RationalPersistedStatRef = Kestrix::Ref<RationalPersistedStat>;

}  // namespace Tallywick
