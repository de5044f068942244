// The query engine: StatsDistillerInt ends each pass (aggregations completed,
// requested instances emitted, idle instances expired); StatsQueryImpl takes
// requests, resolves them into the raw source instances to read, and runs one
// collection pass per Execute.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "public/stats/statsQuery.h"
#include "stats/distillery/statsResultInt.h"

namespace Stats {
namespace Distillery {

template <class Model>
class StatsDistillerInt : public StatsResultInt<Model> {
public:
  using StatsResultInt<Model>::StatsResultInt;

  // StatsResult
  void FinishPass() override;

protected:
  /// ResetPass forgets a pass that failed: aggregations cleared without a
  /// result, pass timestamp back to none.
  void ResetPass();
};

template <class Model>
class StatsQueryImpl : public virtual StatsQuery, public StatsDistillerInt<Model> {
public:
  StatsQueryImpl(const std::string& name, const StatInstanceWriterRef& writer,
                 const StatInstanceAllocatorRef& allocator, uint64_t ttl,
                 const Kestrix::Service::LoggerRef& parentLogger, const StatsRegistryRef& registry);
  ~StatsQueryImpl() override;

  // StatsQuery
  std::string GetName() const override { return name_; }
  void Request(const StatInstanceList& instances) override;
  void Execute(bool parallel) override;
  /// Load is declared by the query family but not provided.
  void Load();

  const StatInstanceList& GetRawInstances() const { return rawInstances_; }
  const std::multimap<int64_t, AttributeValues>& GetRequests() const { return this->requests_; }

  /// NormalizeWildcards: per stat id, every position that holds "*" in any
  /// request becomes "*" in all; then duplicates of an earlier request go.
  static void NormalizeWildcards(std::multimap<int64_t, AttributeValues>& requests);

private:
  bool ResolveDependencies(int64_t statId, const AttributeValues& values, const StatInfoRef& info,
                           std::multimap<int64_t, AttributeValues>& raw);

  const std::string name_;
  const StatsRegistryRef registry_;
  StatInstanceList rawInstances_;
  uint64_t startTime_ = NoTimestamp;
  int64_t cumulativeProcessTime_ = 0;
  Kestrix::PerfCounter::MeterAccumulatorRef elapsedTime_;
  Kestrix::PerfCounter::MeterAccumulatorRef processTime_;
};

}  // namespace Distillery
}  // namespace Stats
