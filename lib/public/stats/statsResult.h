// StatsResult: the sink to which providers report collected raw values.
//
// Providers report through the form that carries the definition
// (`AddValue(statId, def, attributeValues, value)`). An implementation that
// does not provide a form stops the process ("NOT_IMPLEMENTED") when called.
#pragma once

#include <cstdint>

#include "kestrix/object.h"
#include "public/stats/statDef.h"
#include "public/stats/statInstance.h"

namespace Stats {

class StatsResult : public virtual Kestrix::Object {
public:
  /// AddValue (1): one raw value for (statId, attributeValues).
  virtual void AddValue(int64_t statId, const AttributeValues& attributeValues, int64_t value) = 0;
  /// AddValue (2): forwards to (1) with the instance's id and values.
  virtual void AddValue(const StatInstance& instance, int64_t value) = 0;
  /// AddValue (3): as (1), with the stat's definition.
  virtual void AddValue(int64_t statId, const StatDefRef& def, const AttributeValues& attributeValues,
                        int64_t value) = 0;
  /// AddValue (4): forwards to (3) with the info's registry id and definition.
  virtual void AddValue(const StatInfo& info, const AttributeValues& attributeValues, int64_t value) = 0;
  /// FinishPass ends one collection pass.
  virtual void FinishPass() = 0;
  /// GetValueCount returns the number of values added since the pass began.
  virtual uint64_t GetValueCount() const = 0;
};
using StatsResultRef = Kestrix::Ref<StatsResult>;

}  // namespace Stats
