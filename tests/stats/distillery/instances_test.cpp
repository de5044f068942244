// Instance classes over sample sequences: transforms, cookings, aggregations,
// formulas, release and expiry, and the value arithmetic beneath them.
// Expected values are worked out by hand from the formulas of each code.
#include <gtest/gtest.h>

#include <set>
#include <typeindex>
#include <vector>

#include "stats/distillery/factoriesInt.h"
#include "stats/distillery/rawStatInstanceInt.h"

namespace Stats {
namespace Distillery {
namespace {

constexpr int64_t kMin = INT64_MIN;  // in tables: InvalidValue
constexpr int64_t kMax = INT64_MAX;

StatValue V(int64_t n, int64_t d = 1) { return n == kMin ? InvalidValue : MakeValue(n, d); }

struct Written {
  uint64_t key, timestamp;
  StatValue value;
};
struct RecordingWriter : StatInstanceWriter, Kestrix::ObjectImpl {
  void Write(uint64_t key, uint64_t ts, const StatValue* v, StatInstanceWriter*) override { rows.push_back({key, ts, *v}); }
  std::vector<Written> rows;
};
struct RecordingCreator : StatInstanceCreator, Kestrix::ObjectImpl {
  StatInstanceRef CreateSourceInstance(int64_t, const StatDefRef&, const AttributeValues&) override { return {}; }
  void OnInstanceRemoved(StatInstance& instance) override { removed.push_back(instance.GetName()); }
  std::vector<std::string> removed;
};
using Writer = Kestrix::Ref<RecordingWriter>;
using Creator = Kestrix::Ref<RecordingCreator>;

StatDefRef SourceDef(uint32_t t, uint32_t c, StatValue scale = StatValue(1), size_t attrs = 0) {
  return StatDef::Source(1, "s", std::vector<StatAttribute>(attrs, StatAttribute{"a", 7, "", true}), 0, 0, 0, t, c,
                         scale);
}
StatInfoRef Info(int64_t id, const StatDefRef& def) { return StatInfoRef(new StatInfo(id, def)); }
const StatInfoRef& PerCpuSource() {
  static const StatInfoRef info = Info(1, SourceDef(0, 0, StatValue(1), 1));
  return info;
}
StatDefRef AggDef(int32_t a, uint32_t c = 0) {
  return StatDef::Aggregation(2, "agg", {}, 0, 0, 0, 0, a, StatSourceRef{-1, "", PerCpuSource()}, c, StatValue(1));
}
/// DerivedDef: formula f over n sources with registry ids 10, 11, ...
StatDefRef DerivedDef(int32_t f, size_t n, uint32_t c = 0, StatValue scale = StatValue(1),
                      std::vector<StatAttribute> attrs = {}) {
  std::vector<StatSourceRef> refs;
  for (size_t i = 0; i < n; ++i) refs.push_back(StatSourceRef{-1, "", Info(10 + static_cast<int64_t>(i), SourceDef(0, 0))});
  return StatDef::Derivative(3, "der", std::move(attrs), 0, 0, 0, f, refs, c, scale);
}

TEST(ValueArithmeticTest, FastPathsGiveTheCheckedResults) {
  struct Case {
    char op;
    StatValue a, b, want;
  } cases[] = {
      {'+', V(kMax), V(1), InvalidValue},          {'+', V(kMin + 1), V(-1), InvalidValue},  // would be the marker
      {'-', V(kMax), V(-1), InvalidValue},         {'-', V(kMin + 1), V(1), InvalidValue},
      {'*', V(2, 3), V(9, 4), V(3, 2)},            {'*', V(-3, 4), V(8, 9), V(-2, 3)},
      {'*', V(0), V(7, 3), V(0)},                  {'*', V(1000000), V(1, 1024), V(15625, 16)},
      {'*', V(kMax / 2, 1), V(2), V(kMax - 1)},    {'*', V(kMax), V(2), InvalidValue},
      {'*', V(3, kMax), V(kMax, 2), V(3, 2)},      {'*', V(12), V(125, 128), V(375, 32)},
      {'/', V(3, 4), V(-6), V(-1, 8)},             {'/', V(5), V(0), InvalidValue},
      {'/', V(0), V(-3), V(0)},                    {'/', V(-1), V(kMin + 1), V(1, kMax)},
      {'/', V(kMax), V(1, 2), InvalidValue},       {'/', V(7, 3), V(14, 9), V(3, 2)},
      {'*', InvalidValue, V(0), InvalidValue},     {'/', InvalidValue, V(2), InvalidValue},
  };
  for (const auto& c : cases) {
    const StatValue got = c.op == '+' ? Plus(c.a, c.b) : c.op == '-' ? Minus(c.a, c.b)
                          : c.op == '*' ? Times(c.a, c.b) : Over(c.a, c.b);
    EXPECT_EQ(got, c.want) << c.a << " " << c.op << " " << c.b;
  }
}

TEST(SourceInstanceTest, TransformsAndCookingsOverSampleSequences) {
  struct Step {
    int64_t value;
    uint64_t timestamp;  // the pass's UTC time
    StatValue emitted;
    uint64_t monotonic = 0;  // the pass's monotonic time, when not the UTC time
  };
  struct Case {
    const char* name;
    uint32_t t, c;  // transform 0 Raw / 3 Delta; cooking 0 None, 1 Difference, 2 Rate, 3 PerTime
    StatValue scale;
    std::vector<Step> steps;
  } cases[] = {
      {"raw rate keeps the exact rational", 0, 2, V(1), {{10, 1000, InvalidValue}, {15, 2000, V(1, 200)}}},
      {"delta none, counter decrease is no value", 3, 0, V(1),
       {{10, 1000, InvalidValue}, {15, 2000, V(5)}, {12, 3000, InvalidValue}, {20, 4000, V(8)}}},
      {"delta per time, equal timestamps", 3, 3, V(1), {{10, 1000, InvalidValue}, {15, 1000, InvalidValue}}},
      {"raw rate, time going back", 0, 2, V(1), {{10, 2000, InvalidValue}, {15, 1500, InvalidValue}}},
      {"scale after cooking", 3, 3, V(100), {{0, 0, InvalidValue}, {30, 60, V(50)}}},
      {"invalid output gives no difference", 0, 1, V(1),
       {{10, 1000, InvalidValue}, {kMin, 2000, InvalidValue}, {12, 3000, InvalidValue}, {14, 4000, V(2)}}},
      {"raw difference decrease is no value", 0, 1, V(1), {{10, 1000, InvalidValue}, {4, 2000, InvalidValue}, {9, 3000, V(5)}}},
      {"counter near 2^63", 0, 1, V(1), {{kMax - 10, 1000, InvalidValue}, {kMax, 2000, V(10)}}},
      {"rate scaled by a power of two", 0, 2, V(1000, 1024), {{0, 0, InvalidValue}, {3072, 1000, V(3)}}},
      {"elapsed time on the monotonic clock across wall-clock steps", 0, 2, V(1),
       {{10, 1000000, InvalidValue, 100}, {20, 5000000, V(1, 10), 200}, {30, 1000, V(1, 10), 300}}},
  };
  for (const auto& c : cases) {
    PassClock clock;
    auto inst = CreateSourceStatInstance(7, SourceDef(c.t, c.c, c.scale), {}, NoKey, &clock);
    Writer w(new RecordingWriter);
    for (size_t i = 0; i < c.steps.size(); ++i) {
      clock = {c.steps[i].timestamp, c.steps[i].monotonic ? c.steps[i].monotonic : c.steps[i].timestamp};
      const StatValue in = V(c.steps[i].value);
      inst->Write(NoKey, c.steps[i].timestamp, &in, nullptr);
      const int64_t got = inst->Emit(w.Get());
      ASSERT_EQ(w->rows.size(), i + 1) << c.name;
      EXPECT_EQ(w->rows.back().value, c.steps[i].emitted) << c.name << " step " << i;
      EXPECT_EQ(got, ToInteger(c.steps[i].emitted)) << c.name << " step " << i;
      EXPECT_EQ(w->rows.back().timestamp, c.steps[i].timestamp) << c.name;
    }
  }
}

TEST(SourceInstanceTest, EmitKeysDownstreamAndNothingBeforeASample) {
  Writer down(new RecordingWriter), w(new RecordingWriter);
  auto keyed = CreateSourceStatInstance(7, SourceDef(0, 0), {}, 42, nullptr);
  auto unkeyed = CreateSourceStatInstance(7, SourceDef(0, 0), {}, NoKey, nullptr);
  EXPECT_EQ(unkeyed->Emit(w.Get()), kMin);
  EXPECT_TRUE(w->rows.empty());  // never sampled: no value, no time to write it at
  const StatValue v(3);
  keyed->Write(NoKey, 10, &v, down.Get());
  unkeyed->Write(NoKey, 10, &v, down.Get());
  ASSERT_EQ(down->rows.size(), 1u);  // only the keyed one forwards the raw value
  EXPECT_EQ(down->rows[0].key, 42u);
  unkeyed->Emit(w.Get());
  ASSERT_EQ(w->rows.size(), 1u);
  EXPECT_EQ(w->rows[0].key, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(dynamic_cast<void*>(unkeyed.Get()))));
}

TEST(SourceInstanceTest, ExpiryBoundaryAndNames) {
  Creator creator(new RecordingCreator);
  auto fresh = CreateSourceStatInstance(7, StatDef::Source(1, "cpu.count", {}, 0, 0, 0, 0, 0, StatValue(1)), {},
                                        NoKey, nullptr);
  EXPECT_EQ(fresh->GetName(), "SourceStat{cpu.count():7()}");
  EXPECT_TRUE(fresh->Expire(creator.Get(), 0, 1000000));  // never sampled
  auto inst = CreateSourceStatInstance(7, SourceDef(0, 0), {}, NoKey, nullptr);
  auto forever = CreateSourceStatInstance(7, SourceDef(0, 0), {}, NoKey, nullptr);
  const StatValue v(1);
  inst->Write(NoKey, 100, &v, nullptr);
  forever->Write(NoKey, 100, &v, nullptr);
  EXPECT_FALSE(inst->Expire(creator.Get(), 150, 50));
  EXPECT_TRUE(inst->Expire(creator.Get(), 151, 50));
  EXPECT_FALSE(forever->Expire(creator.Get(), UINT64_MAX - 1, UINT64_MAX - 5));  // no wrap-around
  EXPECT_EQ(creator->removed.size(), 2u);
}

/// Complete feeds one period of values (kMin: InvalidValue) and completes it.
StatValue Complete(AggregatedStatInstanceLinked& a, const std::vector<int64_t>& values, uint64_t ts) {
  for (int64_t v : values) {
    const StatValue x = V(v);
    a.OnSourceValue(1, ts, &x, nullptr);
  }
  a.CompleteAggregation(ts, nullptr);
  return a.GetCurrent().value;
}

TEST(AggregationTest, PeriodsOfEachCode) {
  struct Case {
    int32_t a;  // 0 Sum, 1 Maximum, 2 Minimum, 3 Average
    std::vector<std::vector<int64_t>> periods;
    std::vector<StatValue> want;
  } cases[] = {
      {0, {{3, kMin, 4}, {}}, {V(7), InvalidValue}},
      {3, {{1, 2}, {kMin}}, {V(3, 2), InvalidValue}},
      {1, {{-5, -7}, {}}, {V(-5), InvalidValue}},
      {0, {{kMax, 1, 5}, {2, 3}}, {InvalidValue, V(5)}},  // overflow is sticky, then resets
      {3, {{kMax, kMax}, {kMax, 1}}, {InvalidValue, InvalidValue}},
      {2, {{kMin + 1, 0}}, {V(kMin + 1)}},
  };
  for (const auto& c : cases) {
    auto a = CreateAggregatedStatInstance(2, AggDef(c.a), {}, NoKey, nullptr);
    for (size_t p = 0; p < c.periods.size(); ++p)
      EXPECT_EQ(Complete(*a, c.periods[p], 1000 * (p + 1)), c.want[p]) << "aggregation " << c.a << " period " << p;
  }
  auto avg = CreateAggregatedStatInstance(2, AggDef(3), {}, NoKey, nullptr);
  Complete(*avg, {1, 2}, 1000);
  EXPECT_EQ(avg->Emit(nullptr), 1);  // 3/2 truncated
}

/// Feed sets every slot of a derived instance for one timestamp, in order.
StatValue Feed(DerivedStatInstance& d, const std::vector<int64_t>& slots, uint64_t ts) {
  for (size_t i = 0; i < slots.size(); ++i) {
    const StatValue x = V(slots[i]);
    d.OnSourceValue(10 + i, ts, &x, nullptr);
  }
  return d.GetCurrent().value;
}

TEST(DerivedTest, FormulaEdgesSetsAndSelfDelta) {
  struct Case {
    const char* name;
    int32_t f;  // 1 Sum, 2 Subtract, 4 Divide
    std::vector<int64_t> slots;
    StatValue scale, want;
  } cases[] = {
      {"subtract with an invalid slot", 2, {100, 20, kMin, 5}, V(1), InvalidValue},
      {"divide scaled", 4, {50, 200}, V(100), V(25)},
      {"divide by zero", 4, {50, 0}, V(100), InvalidValue},
      {"sum overflow", 1, {kMax, 1}, V(1), InvalidValue},
  };
  for (const auto& c : cases) {
    auto d = CreateDerivedStatInstance(3, DerivedDef(c.f, c.slots.size(), 0, c.scale), {}, NoKey, nullptr);
    Feed(*d, c.slots, 1000);
    Writer w(new RecordingWriter);
    d->Emit(w.Get());
    ASSERT_EQ(w->rows.size(), 1u) << c.name;
    EXPECT_EQ(w->rows[0].value, c.want) << c.name;
  }
  // First over two sources: a set completes only with both values of one timestamp.
  auto first = CreateDerivedStatInstance(3, DerivedDef(0, 2), {}, NoKey, nullptr);
  const StatValue a(4), b(6), other(1);
  first->OnSourceValue(10, 10, &a, nullptr);
  first->OnSourceValue(11, 11, &b, nullptr);  // a new timestamp starts a new set
  EXPECT_EQ(first->GetCurrent().timestamp, NoTimestamp);
  first->OnSourceValue(10, 11, &a, nullptr);
  EXPECT_EQ(first->GetCurrent().value, V(4));
  EXPECT_FALSE(first->OnSourceValue(99, 11, &other, nullptr));  // not a slot: ignored
  EXPECT_EQ(first->GetCurrent().value, V(4));
  // SelfDelta: outputs deltas of the source values, forwards the values themselves.
  auto self = CreateDerivedStatInstance(3, DerivedDef(5, 1), {}, NoKey, nullptr);
  Writer w(new RecordingWriter);
  std::vector<StatValue> outputs;
  for (int64_t v : {7, 9, 4}) {
    const StatValue x(v);
    self->OnSourceValue(10, static_cast<uint64_t>(v), &x, w.Get());
    outputs.push_back(self->GetOutput());
  }
  EXPECT_EQ(outputs, (std::vector<StatValue>{InvalidValue, V(2), V(-5)}));
  ASSERT_EQ(w->rows.size(), 3u);
  EXPECT_EQ(w->rows[2].value, V(4));
}

TEST(GraphTest, ReleaseByCountingSourcesAndDropDuringTheWalk) {
  Creator creator(new RecordingCreator);
  auto s1 = CreateSourceStatInstance(10, SourceDef(0, 0), {}, NoKey, nullptr);
  auto s2 = CreateSourceStatInstance(11, SourceDef(0, 0), {}, NoKey, nullptr);
  auto d = CreateDerivedStatInstance(3, DerivedDef(1, 2), {}, NoKey, nullptr);
  auto after = CreateDerivedStatInstance(3, DerivedDef(0, 1), {}, NoKey, nullptr);
  d->AttachTo(*s1, true);
  after->AttachTo(*s1, true);
  d->AttachTo(*s2, true);
  const StatValue a(2), b(3);
  s1->Write(NoKey, 5, &a, nullptr);
  s2->Write(NoKey, 5, &b, nullptr);
  EXPECT_EQ(d->GetCurrent().value, V(5));
  EXPECT_FALSE(d->Release(creator.Get()));  // one user left
  EXPECT_TRUE(d->Release(creator.Get()));
  EXPECT_EQ(creator->removed.size(), 1u);
  s1->Write(NoKey, 6, &b, nullptr);  // the dead instance asks to be dropped; the next one is still fed
  EXPECT_EQ(s1->GetDependentCount(), 1u);
  EXPECT_EQ(after->GetCurrent().value, V(3));
  EXPECT_FALSE(d->Release(creator.Get()));
}

TEST(GraphTest, ExpiryReleasesOnlyDependentsWithNoMoreValues) {
  Creator creator(new RecordingCreator);
  auto host = CreateSourceStatInstance(1, SourceDef(0, 0), {}, NoKey, nullptr);
  auto cpu = CreateSourceStatInstance(1, SourceDef(0, 0, V(1), 1), {"0"}, NoKey, nullptr);
  auto agg = CreateAggregatedStatInstance(2, AggDef(0), {}, NoKey, nullptr);
  auto perCpu = CreateDerivedStatInstance(3, DerivedDef(0, 1, 0, V(1), {StatAttribute{"a", 7, "", true}}), {"0"},
                                          NoKey, nullptr);
  agg->AttachTo(*cpu, true);
  perCpu->AttachTo(*host, false);  // a less specific source never counts as user
  perCpu->AttachTo(*cpu, true);
  EXPECT_TRUE(host->Expire(creator.Get(), 1, 0));
  EXPECT_EQ(perCpu->GetUsers(), 1u);
  EXPECT_TRUE(cpu->Expire(creator.Get(), 1, 0));
  EXPECT_EQ(agg->GetUsers(), 0u);
  EXPECT_EQ(perCpu->GetUsers(), 0u);
  EXPECT_EQ(creator->removed.size(), 4u);  // host, the aggregation, the derived one, cpu
}

TEST(FactoryTest, EveryCombinationIsItsOwnClassWiredToItsCodes) {
  std::set<std::type_index> sources, aggregations, derived;
  for (uint32_t t : {0u, 3u})
    for (uint32_t c = 0; c < 4; ++c) {
      auto i = CreateSourceStatInstance(1, SourceDef(t, c), {}, NoKey, nullptr);
      sources.insert(typeid(*i));
      for (uint64_t ts : {1, 2}) {  // 10 then 13, one microsecond apart
        const StatValue x(ts == 1 ? 10 : 13);
        i->Write(NoKey, ts, &x, nullptr);
      }
      // Raw: 13, 3, 3/1, 13/1. Delta (output 3): 3; Difference/Rate 3 - 10 < 0: none; PerTime 3.
      const int64_t want[2][4] = {{13, 3, 3, 13}, {3, kMin, kMin, 3}};
      EXPECT_EQ(i->Emit(nullptr), want[t == 0 ? 0 : 1][c]) << "transform " << t << " cooking " << c;
    }
  for (int32_t a = 0; a < 4; ++a)
    for (uint32_t c = 0; c < 4; ++c) {
      auto i = CreateAggregatedStatInstance(2, AggDef(a, c), {}, NoKey, nullptr);
      aggregations.insert(typeid(*i));
      EXPECT_EQ(Complete(*i, {6, 2}, 5), (std::vector<StatValue>{V(8), V(6), V(2), V(4)})[static_cast<size_t>(a)]);
    }
  // Slots 12, 3, 2, 1 (the first n); one set, so only cooking None has a value.
  const int64_t byFormula[5][4] = {
      {12, 12, 12, 12}, {12, 15, 17, 18}, {12, 9, 7, 6}, {12, 36, 72, 72}, {kMin, 4, 4, 4}};
  const std::vector<int64_t> slots{12, 3, 2, 1};
  for (int32_t f = 0; f < 6; ++f)
    for (uint32_t c = 0; c < 4; ++c)
      for (size_t n = 1; n <= 4; ++n) {
        auto i = CreateDerivedStatInstance(3, DerivedDef(f, n, c), {}, NoKey, nullptr);
        derived.insert(typeid(*i));
        if (f == 5) continue;  // SelfDelta has no slots
        Feed(*i, std::vector<int64_t>(slots.begin(), slots.begin() + static_cast<long>(n)), 5);
        EXPECT_EQ(i->Emit(nullptr), c == 0 ? byFormula[f][n - 1] : kMin) << "formula " << f << " cooking " << c
                                                                          << " n " << n;
      }
  EXPECT_EQ(sources.size(), 8u);
  EXPECT_EQ(aggregations.size(), 16u);
  EXPECT_EQ(derived.size(), 96u);
}

}  // namespace
}  // namespace Distillery
}  // namespace Stats
