// The kind factories: each reads the codes of a definition once and builds
// the one class that implements them, so the kind is never tested while a
// sample is processed. 8 source, 16 aggregation and 96 derived classes.
#pragma once

#include <cstdint>

#include "public/stats/statDef.h"
#include "stats/distillery/statInstanceInt.h"

namespace Stats {
namespace Distillery {

using SourceInstanceRef = Kestrix::Ref<SourceStatInstanceLinked>;
using AggregatedInstanceRef = Kestrix::Ref<AggregatedStatInstanceLinked>;
using DerivedInstanceRef = Kestrix::Ref<DerivedStatInstance>;

/// CreateSourceStatInstance: transform 0 or 3 with cooking 0..3; any other
/// code stops the process (internal error).
SourceInstanceRef CreateSourceStatInstance(int64_t statId, const StatDefRef& def,
                                           const AttributeValues& values, uint64_t key,
                                           const PassClock* clock);
/// CreateAggregatedStatInstance: InvalidStateException "not an aggregation"
/// unless transform is 1; codes out of range stop the process.
AggregatedInstanceRef CreateAggregatedStatInstance(int64_t statId, const StatDefRef& def,
                                                   const AttributeValues& values, uint64_t key,
                                                   const PassClock* clock);
/// CreateDerivedStatInstance: InvalidStateException "not a derivative" unless
/// transform is 2; codes out of range or 5+ sources stop the process.
DerivedInstanceRef CreateDerivedStatInstance(int64_t statId, const StatDefRef& def,
                                             const AttributeValues& values, uint64_t key,
                                             const PassClock* clock);

}  // namespace Distillery
}  // namespace Stats
