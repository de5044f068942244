#include "stats/distillery/factoriesInt.h"

#include "kestrix/assert.h"
#include "kestrix/exception.h"
#include "stats/distillery/rawStatInstanceInt.h"

namespace Stats {
namespace Distillery {
namespace {

constexpr const char* kSource = "lib/stats/distillery/factoriesInt";
using Model = SingleThreadedModel;

template <StatTransform T>
SourceStatInstanceLinked* MakeSource(uint32_t cooking, int64_t id, const StatDefRef& def,
                                     const AttributeValues& v, uint64_t key, const PassClock* clock) {
  switch (cooking) {
    case 0: return new SourceStatInstanceImpl<T, StatCooking::None, Model>(id, def, v, key, clock);
    case 1: return new SourceStatInstanceImpl<T, StatCooking::Difference, Model>(id, def, v, key, clock);
    case 2: return new SourceStatInstanceImpl<T, StatCooking::Rate, Model>(id, def, v, key, clock);
    case 3: return new SourceStatInstanceImpl<T, StatCooking::PerTime, Model>(id, def, v, key, clock);
  }
  KESTRIX_NOT_REACHED_AT(kSource);
}

template <StatAggregation A>
AggregatedStatInstanceLinked* MakeAggregation(uint32_t cooking, int64_t id, const StatDefRef& def,
                                              const AttributeValues& v, uint64_t key, const PassClock* clock) {
  switch (cooking) {
    case 0: return new AggregatedStatInstanceImpl<A, StatCooking::None, Model>(id, def, v, key, clock);
    case 1: return new AggregatedStatInstanceImpl<A, StatCooking::Difference, Model>(id, def, v, key, clock);
    case 2: return new AggregatedStatInstanceImpl<A, StatCooking::Rate, Model>(id, def, v, key, clock);
    case 3: return new AggregatedStatInstanceImpl<A, StatCooking::PerTime, Model>(id, def, v, key, clock);
  }
  KESTRIX_NOT_REACHED_AT(kSource);
}

template <StatFormula F, StatCooking C>
DerivedStatInstance* MakeDerivedN(size_t n, int64_t id, const StatDefRef& def, const AttributeValues& v,
                                  uint64_t key, const PassClock* clock) {
  switch (n) {
    case 1: return new DerivedStatInstanceImpl<F, C, 1, Model>(id, def, v, key, clock);
    case 2: return new DerivedStatInstanceImpl<F, C, 2, Model>(id, def, v, key, clock);
    case 3: return new DerivedStatInstanceImpl<F, C, 3, Model>(id, def, v, key, clock);
    case 4: return new DerivedStatInstanceImpl<F, C, 4, Model>(id, def, v, key, clock);
  }
  KESTRIX_NOT_REACHED_AT(kSource);
}

template <StatFormula F>
DerivedStatInstance* MakeDerived(uint32_t cooking, size_t n, int64_t id, const StatDefRef& def,
                                 const AttributeValues& v, uint64_t key, const PassClock* clock) {
  switch (cooking) {
    case 0: return MakeDerivedN<F, StatCooking::None>(n, id, def, v, key, clock);
    case 1: return MakeDerivedN<F, StatCooking::Difference>(n, id, def, v, key, clock);
    case 2: return MakeDerivedN<F, StatCooking::Rate>(n, id, def, v, key, clock);
    case 3: return MakeDerivedN<F, StatCooking::PerTime>(n, id, def, v, key, clock);
  }
  KESTRIX_NOT_REACHED_AT(kSource);
}

}  // namespace

SourceInstanceRef CreateSourceStatInstance(int64_t statId, const StatDefRef& def, const AttributeValues& values,
                                           uint64_t key, const PassClock* clock) {
  const uint32_t c = def->GetCooking();
  switch (def->GetTransform()) {
    case 0: return SourceInstanceRef(MakeSource<StatTransform::Raw>(c, statId, def, values, key, clock));
    case 3: return SourceInstanceRef(MakeSource<StatTransform::Delta>(c, statId, def, values, key, clock));
  }
  KESTRIX_NOT_REACHED_AT(kSource);
}

AggregatedInstanceRef CreateAggregatedStatInstance(int64_t statId, const StatDefRef& def,
                                                   const AttributeValues& values, uint64_t key,
                                                   const PassClock* clock) {
  if (!def->IsAggregation()) throw Kestrix::InvalidStateException("not an aggregation");
  const uint32_t c = def->GetCooking();
  AggregatedStatInstanceLinked* p = nullptr;
  switch (def->GetFunction()) {
    case 0: p = MakeAggregation<StatAggregation::Sum>(c, statId, def, values, key, clock); break;
    case 1: p = MakeAggregation<StatAggregation::Maximum>(c, statId, def, values, key, clock); break;
    case 2: p = MakeAggregation<StatAggregation::Minimum>(c, statId, def, values, key, clock); break;
    case 3: p = MakeAggregation<StatAggregation::Average>(c, statId, def, values, key, clock); break;
    default: KESTRIX_NOT_REACHED_AT(kSource);
  }
  return AggregatedInstanceRef(p);
}

DerivedInstanceRef CreateDerivedStatInstance(int64_t statId, const StatDefRef& def, const AttributeValues& values,
                                             uint64_t key, const PassClock* clock) {
  if (!def->IsDerivative()) throw Kestrix::InvalidStateException("not a derivative");
  const uint32_t c = def->GetCooking();
  const size_t n = def->GetSources().size();
  DerivedStatInstance* p = nullptr;
  switch (def->GetFunction()) {
    case 0: p = MakeDerived<StatFormula::First>(c, n, statId, def, values, key, clock); break;
    case 1: p = MakeDerived<StatFormula::Sum>(c, n, statId, def, values, key, clock); break;
    case 2: p = MakeDerived<StatFormula::Subtract>(c, n, statId, def, values, key, clock); break;
    case 3: p = MakeDerived<StatFormula::Multiply>(c, n, statId, def, values, key, clock); break;
    case 4: p = MakeDerived<StatFormula::Divide>(c, n, statId, def, values, key, clock); break;
    case 5: p = MakeDerived<StatFormula::SelfDelta>(c, n, statId, def, values, key, clock); break;
    default: KESTRIX_NOT_REACHED_AT(kSource);
  }
  return DerivedInstanceRef(p);
}

}  // namespace Distillery
}  // namespace Stats
