// ResultImpl: the vector collector behind the list form of
// `StatsRegistry::GetStatValues`. It appends one `StatInstanceValue` per
// reported value to the caller's list.
//
// Safe when several handlers report at once (parallel collection): every
// operation takes the collector's mutex. FinishPass is not provided.
#pragma once

#include <cstdint>
#include <mutex>

#include "public/stats/statsRegistry.h"
#include "public/stats/statsResult.h"

namespace Stats {
namespace Registry {

class ResultImpl : public virtual StatsResult, public Kestrix::ObjectImpl {
public:
  /// values is borrowed: it must outlive the collector; entries are appended.
  explicit ResultImpl(StatInstanceValueList& values) : values_(values) {}

  // StatsResult
  void AddValue(int64_t statId, const AttributeValues& attributeValues, int64_t value) override;
  void AddValue(const StatInstance& instance, int64_t value) override;
  /// The definition is not needed here and is ignored.
  void AddValue(int64_t statId, const StatDefRef& def, const AttributeValues& attributeValues,
                int64_t value) override;
  void AddValue(const StatInfo& info, const AttributeValues& attributeValues, int64_t value) override;
  /// FinishPass stops the process (NOT_IMPLEMENTED): nothing calls it here.
  void FinishPass() override;
  /// GetValueCount is the list's length, entries present before the call included.
  uint64_t GetValueCount() const override;

private:
  mutable std::mutex mutex_;       // guards values_: handlers may report from several threads
  StatInstanceValueList& values_;  // guarded by mutex_
};

}  // namespace Registry
}  // namespace Stats
