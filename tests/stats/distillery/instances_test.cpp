// Instance classes over sample sequences: transforms, cookings, aggregations,
// formulas, expiry and release. Expected values are worked out by hand from the
// formulas of each code.
#include <gtest/gtest.h>

#include <set>
#include <typeindex>
#include <vector>

#include "stats/distillery/factoriesInt.h"
#include "stats/distillery/rawStatInstanceInt.h"

namespace Stats {
namespace Distillery {
namespace {

constexpr int64_t kMin = INT64_MIN;
constexpr int64_t kMax = INT64_MAX;

struct Written {
  uint64_t key;
  uint64_t timestamp;
  StatValue value;
};

class RecordingWriter : public StatInstanceWriter, public Kestrix::ObjectImpl {
public:
  void Write(uint64_t key, uint64_t timestamp, const StatValue* value, StatInstanceWriter*) override {
    rows.push_back({key, timestamp, *value});
  }
  std::vector<Written> rows;
};

class RecordingCreator : public StatInstanceCreator, public Kestrix::ObjectImpl {
public:
  StatInstanceRef CreateSourceInstance(int64_t, const StatDefRef&, const AttributeValues&) override {
    return StatInstanceRef();
  }
  void OnInstanceRemoved(StatInstance& instance) override { removed.push_back(instance.GetName()); }
  std::vector<std::string> removed;
};

StatAttribute Attr(const char* name, int type) { return StatAttribute{name, type, "", true}; }

StatDefRef SourceDef(StatTransform t, StatCooking c, StatValue scale = StatValue(1), size_t attrs = 0) {
  std::vector<StatAttribute> a;
  for (size_t i = 0; i < attrs; ++i) a.push_back(Attr("a", 7));
  return StatDef::Source(1, "s", a, 0, 0, 0, static_cast<uint32_t>(t), static_cast<uint32_t>(c), scale);
}

StatInfoRef Info(int64_t id, const StatDefRef& def) { return StatInfoRef(new StatInfo(id, def)); }

StatDefRef AggDef(StatAggregation a, const StatInfoRef& source, StatValue scale = StatValue(1)) {
  return StatDef::Aggregation(2, "agg", {}, 0, 0, 0, 0, static_cast<int32_t>(a), StatSourceRef{-1, "", source},
                              0, scale);
}

StatDefRef DerivedDef(StatFormula f, const std::vector<StatInfoRef>& sources, StatCooking c = StatCooking::None,
                      StatValue scale = StatValue(1)) {
  std::vector<StatSourceRef> refs;
  for (const auto& s : sources) refs.push_back(StatSourceRef{-1, "", s});
  return StatDef::Derivative(3, "der", {}, 0, 0, 0, static_cast<int32_t>(f), refs, static_cast<uint32_t>(c), scale);
}

struct Step {
  int64_t value;  // kMin feeds InvalidValue
  uint64_t timestamp;
  StatValue expectEmitted;
};

StatValue V(int64_t n, int64_t d = 1) { return MakeValue(n, d); }

TEST(SourceInstanceTest, TransformsAndCookingsOverSampleSequences) {
  struct Case {
    const char* name;
    StatTransform t;
    StatCooking c;
    StatValue scale;
    std::vector<Step> steps;
  } cases[] = {
      {"raw none", StatTransform::Raw, StatCooking::None, V(1), {{10, 1000, V(10)}, {15, 2000, V(15)}}},
      {"raw difference", StatTransform::Raw, StatCooking::Difference, V(1),
       {{10, 1000, InvalidValue}, {15, 2000, V(5)}}},
      {"raw rate keeps the exact rational", StatTransform::Raw, StatCooking::Rate, V(1),
       {{10, 1000, InvalidValue}, {15, 2000, V(1, 200)}}},
      {"delta none, counter decrease is no value", StatTransform::Delta, StatCooking::None, V(1),
       {{10, 1000, InvalidValue}, {15, 2000, V(5)}, {12, 3000, InvalidValue}, {20, 4000, V(8)}}},
      {"delta per time with equal timestamps", StatTransform::Delta, StatCooking::PerTime, V(1),
       {{10, 1000, InvalidValue}, {15, 1000, InvalidValue}}},
      {"raw rate with time going back", StatTransform::Raw, StatCooking::Rate, V(1),
       {{10, 2000, InvalidValue}, {15, 1500, InvalidValue}}},
      {"scale after cooking", StatTransform::Delta, StatCooking::PerTime, V(100),
       {{0, 0, InvalidValue}, {30, 60, V(50)}}},
      {"invalid output gives no difference", StatTransform::Raw, StatCooking::Difference, V(1),
       {{10, 1000, InvalidValue}, {kMin, 2000, InvalidValue}, {12, 3000, InvalidValue}, {14, 4000, V(2)}}},
      {"invalid output gives no rate", StatTransform::Raw, StatCooking::Rate, V(1),
       {{10, 1000, InvalidValue}, {kMin, 2000, InvalidValue}}},
      {"raw difference decrease is no value", StatTransform::Raw, StatCooking::Difference, V(1),
       {{10, 1000, InvalidValue}, {4, 2000, InvalidValue}, {9, 3000, V(5)}}},
      {"delta overflow is no value", StatTransform::Delta, StatCooking::None, V(1),
       {{-5, 1000, InvalidValue}, {kMax, 2000, InvalidValue}}},
      {"counter near 2^63", StatTransform::Raw, StatCooking::Difference, V(1),
       {{kMax - 10, 1000, InvalidValue}, {kMax, 2000, V(10)}}},
      {"scaling overflow is no value", StatTransform::Raw, StatCooking::None, V(2), {{kMax, 1000, InvalidValue}}},
      {"per time divides by elapsed", StatTransform::Raw, StatCooking::PerTime, V(1000),
       {{5, 1000, InvalidValue}, {6, 4000, V(2)}}},
  };
  for (const auto& c : cases) {
    auto inst = CreateSourceStatInstance(7, SourceDef(c.t, c.c, c.scale), {}, NoKey, nullptr);
    Kestrix::Ref<RecordingWriter> w(new RecordingWriter);
    for (size_t i = 0; i < c.steps.size(); ++i) {
      const Step& s = c.steps[i];
      const StatValue in = s.value == kMin ? InvalidValue : StatValue(s.value);
      inst->Write(NoKey, s.timestamp, &in, nullptr);
      const int64_t got = inst->Emit(w.Get());
      ASSERT_EQ(w->rows.size(), i + 1) << c.name;
      EXPECT_EQ(w->rows.back().value, c.steps[i].expectEmitted) << c.name << " step " << i;
      EXPECT_EQ(got, ToInteger(c.steps[i].expectEmitted)) << c.name << " step " << i;
      EXPECT_EQ(w->rows.back().timestamp, s.timestamp) << c.name;
    }
  }
}

TEST(SourceInstanceTest, EmitBeforeAnySampleWritesNothing) {
  auto inst = CreateSourceStatInstance(7, SourceDef(StatTransform::Raw, StatCooking::None), {}, NoKey, nullptr);
  Kestrix::Ref<RecordingWriter> w(new RecordingWriter);
  EXPECT_EQ(inst->Emit(w.Get()), kMin);
  EXPECT_TRUE(w->rows.empty());
}

TEST(SourceInstanceTest, KeyOrIdentityAndDownstream) {
  Kestrix::Ref<RecordingWriter> down(new RecordingWriter), w(new RecordingWriter);
  auto keyed = CreateSourceStatInstance(7, SourceDef(StatTransform::Raw, StatCooking::None), {}, 42, nullptr);
  auto unkeyed = CreateSourceStatInstance(7, SourceDef(StatTransform::Raw, StatCooking::None), {}, NoKey, nullptr);
  const StatValue v(3);
  keyed->Write(NoKey, 10, &v, down.Get());
  unkeyed->Write(NoKey, 10, &v, down.Get());
  ASSERT_EQ(down->rows.size(), 1u);  // only the keyed one forwards the raw value
  EXPECT_EQ(down->rows[0].key, 42u);
  unkeyed->Emit(w.Get());
  EXPECT_EQ(w->rows[0].key, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(dynamic_cast<void*>(unkeyed.Get()))));
  EXPECT_TRUE(keyed->IsCollected());
  EXPECT_FALSE(unkeyed->IsCollected());
}

TEST(SourceInstanceTest, ElapsedTimeComesFromThePassMonotonicClock) {
  PassClock clock;
  auto inst = CreateSourceStatInstance(7, SourceDef(StatTransform::Raw, StatCooking::Rate), {}, NoKey, &clock);
  Kestrix::Ref<RecordingWriter> w(new RecordingWriter);
  clock = {1000000, 100};
  StatValue v(10);
  inst->Write(NoKey, clock.utc, &v, nullptr);
  clock = {5000000, 200};  // the wall clock stepped 4 s forward; 100 µs really passed
  v = StatValue(20);
  inst->Write(NoKey, clock.utc, &v, nullptr);
  inst->Emit(w.Get());
  EXPECT_EQ(w->rows.back().value, V(1, 10));
  EXPECT_EQ(w->rows.back().timestamp, 5000000u);
  clock = {1000, 300};  // the wall clock stepped back; the rate is still there
  v = StatValue(30);
  inst->Write(NoKey, clock.utc, &v, nullptr);
  inst->Emit(w.Get());
  EXPECT_EQ(w->rows.back().value, V(1, 10));
}

TEST(SourceInstanceTest, ExpiryBoundaryAndNames) {
  Kestrix::Ref<RecordingCreator> creator(new RecordingCreator);
  auto fresh = CreateSourceStatInstance(7, StatDef::Source(1, "cpu.count", {}, 0, 0, 0, 0, 0, StatValue(1)), {},
                                        NoKey, nullptr);
  EXPECT_EQ(fresh->GetName(), "SourceStat{cpu.count():7()}");
  EXPECT_TRUE(fresh->Expire(creator.Get(), 0, 1000000));  // never sampled
  auto inst = CreateSourceStatInstance(7, SourceDef(StatTransform::Raw, StatCooking::None), {}, NoKey, nullptr);
  const StatValue v(1);
  inst->Write(NoKey, 100, &v, nullptr);
  EXPECT_FALSE(inst->Expire(creator.Get(), 150, 50));
  EXPECT_TRUE(inst->Expire(creator.Get(), 151, 50));
  auto forever = CreateSourceStatInstance(7, SourceDef(StatTransform::Raw, StatCooking::None), {}, NoKey, nullptr);
  forever->Write(NoKey, 100, &v, nullptr);
  EXPECT_FALSE(forever->Expire(creator.Get(), UINT64_MAX - 1, UINT64_MAX - 5));  // no wrap-around
  EXPECT_EQ(creator->removed.size(), 2u);
}

// Feeds one period of values to an aggregation and completes it.
StatValue Complete(AggregatedStatInstanceLinked& a, const std::vector<int64_t>& values, uint64_t ts) {
  for (int64_t v : values) {
    const StatValue x = v == kMin ? InvalidValue : StatValue(v);
    a.OnSourceValue(1, ts, &x, nullptr);
  }
  a.CompleteAggregation(ts, nullptr);
  return a.GetCurrent().value;
}

TEST(AggregationTest, PeriodsOfEachCode) {
  auto src = Info(1, SourceDef(StatTransform::Raw, StatCooking::None, V(1), 1));
  struct Case {
    StatAggregation a;
    std::vector<std::vector<int64_t>> periods;
    std::vector<StatValue> want;
  } cases[] = {
      {StatAggregation::Sum, {{3, kMin, 4}, {}}, {V(7), InvalidValue}},
      {StatAggregation::Average, {{1, 2}, {kMin}}, {V(3, 2), InvalidValue}},
      {StatAggregation::Maximum, {{-5, -7}, {}}, {V(-5), InvalidValue}},
      {StatAggregation::Minimum, {{4, 2}, {}}, {V(2), InvalidValue}},
      {StatAggregation::Sum, {{kMax, 1, 5}, {2, 3}}, {InvalidValue, V(5)}},  // overflow is sticky, then resets
      {StatAggregation::Average, {{kMax, kMax}, {kMax, 1}}, {InvalidValue, InvalidValue}},
      {StatAggregation::Minimum, {{kMin + 1, 0}}, {V(kMin + 1)}},
  };
  for (const auto& c : cases) {
    auto a = CreateAggregatedStatInstance(2, AggDef(c.a, src), {}, NoKey, nullptr);
    for (size_t p = 0; p < c.periods.size(); ++p) {
      EXPECT_EQ(Complete(*a, c.periods[p], 1000 * (p + 1)), c.want[p])
          << StatAggregationName(static_cast<int32_t>(c.a)) << " period " << p;
    }
  }
  auto avg = CreateAggregatedStatInstance(2, AggDef(StatAggregation::Average, src), {}, NoKey, nullptr);
  Complete(*avg, {1, 2}, 1000);
  EXPECT_EQ(avg->Emit(nullptr), 1);  // 3/2 truncated
}

TEST(AggregationTest, ClearPeriodDropsWhatWasAccumulated) {
  auto src = Info(1, SourceDef(StatTransform::Raw, StatCooking::None, V(1), 1));
  auto a = CreateAggregatedStatInstance(2, AggDef(StatAggregation::Sum, src), {}, NoKey, nullptr);
  const StatValue x(5);
  a->OnSourceValue(1, 10, &x, nullptr);
  a->ClearPeriod();
  EXPECT_EQ(Complete(*a, {2}, 20), V(2));
}

// Sets every slot of a derived instance for one timestamp, in order.
StatValue Feed(DerivedStatInstance& d, const std::vector<int64_t>& slotValues, uint64_t ts) {
  for (size_t i = 0; i < slotValues.size(); ++i) {
    const StatValue x = slotValues[i] == kMin ? InvalidValue : StatValue(slotValues[i]);
    d.OnSourceValue(10 + i, ts, &x, nullptr);
  }
  return d.GetCurrent().value;
}

std::vector<StatInfoRef> Sources(size_t n) {
  std::vector<StatInfoRef> out;
  for (size_t i = 0; i < n; ++i) out.push_back(Info(10 + static_cast<int64_t>(i), SourceDef(StatTransform::Raw, StatCooking::None)));
  return out;
}

TEST(DerivedTest, FormulasOverTheirSlots) {
  struct Case {
    const char* name;
    StatFormula f;
    std::vector<int64_t> slots;
    StatValue scale;
    StatValue want;
  } cases[] = {
      {"subtract", StatFormula::Subtract, {100, 20, 10, 5}, V(1), V(65)},
      {"subtract with an invalid slot", StatFormula::Subtract, {100, 20, kMin, 5}, V(1), InvalidValue},
      {"divide scaled", StatFormula::Divide, {50, 200}, V(100), V(25)},
      {"divide by zero", StatFormula::Divide, {50, 0}, V(100), InvalidValue},
      {"divide with one source", StatFormula::Divide, {50}, V(1), InvalidValue},
      {"sum", StatFormula::Sum, {1, 2, 3}, V(1), V(6)},
      {"sum overflow", StatFormula::Sum, {kMax, 1}, V(1), InvalidValue},
      {"multiply", StatFormula::Multiply, {3, -4}, V(1), V(-12)},
      {"multiply invalid", StatFormula::Multiply, {3, kMin}, V(1), InvalidValue},
      {"first", StatFormula::First, {9, 1}, V(1), V(9)},
  };
  for (const auto& c : cases) {
    auto d = CreateDerivedStatInstance(3, DerivedDef(c.f, Sources(c.slots.size()), StatCooking::None, c.scale), {},
                                       NoKey, nullptr);
    Feed(*d, c.slots, 1000);
    Kestrix::Ref<RecordingWriter> w(new RecordingWriter);
    d->Emit(w.Get());
    ASSERT_EQ(w->rows.size(), 1u) << c.name;
    EXPECT_EQ(w->rows[0].value, c.want) << c.name;
  }
}

TEST(DerivedTest, SetsAreCompletedPerTimestamp) {
  auto first = CreateDerivedStatInstance(3, DerivedDef(StatFormula::First, Sources(2)), {}, NoKey, nullptr);
  const StatValue a(4), b(6);
  first->OnSourceValue(10, 10, &a, nullptr);
  EXPECT_EQ(first->GetCurrent().timestamp, NoTimestamp);  // waits for the second source
  first->OnSourceValue(11, 11, &b, nullptr);                // a new timestamp starts a new set
  EXPECT_EQ(first->GetCurrent().timestamp, NoTimestamp);
  first->OnSourceValue(10, 11, &a, nullptr);
  EXPECT_EQ(first->GetCurrent().value, V(4));
  EXPECT_EQ(first->GetCurrent().timestamp, 11u);
  const StatValue other(1);
  EXPECT_FALSE(first->OnSourceValue(99, 11, &other, nullptr));  // not a slot: ignored
  EXPECT_EQ(first->GetCurrent().value, V(4));
}

TEST(DerivedTest, SelfDeltaForwardsRawValues) {
  auto d = CreateDerivedStatInstance(3, DerivedDef(StatFormula::SelfDelta, Sources(1)), {}, NoKey, nullptr);
  Kestrix::Ref<RecordingWriter> w(new RecordingWriter);
  std::vector<StatValue> outputs;
  for (int64_t v : {7, 9, 4}) {
    const StatValue x(v);
    d->OnSourceValue(10, static_cast<uint64_t>(v), &x, w.Get());
    outputs.push_back(d->GetOutput());
  }
  EXPECT_EQ(outputs, (std::vector<StatValue>{InvalidValue, V(2), V(-5)}));
  ASSERT_EQ(w->rows.size(), 3u);
  EXPECT_EQ(w->rows[0].value, V(7));
  EXPECT_EQ(w->rows[2].value, V(4));
}

TEST(GraphTest, PropagationAndReleaseByCountingSources) {
  Kestrix::Ref<RecordingCreator> creator(new RecordingCreator);
  auto s1 = CreateSourceStatInstance(10, SourceDef(StatTransform::Raw, StatCooking::None), {}, NoKey, nullptr);
  auto s2 = CreateSourceStatInstance(11, SourceDef(StatTransform::Raw, StatCooking::None), {}, NoKey, nullptr);
  auto d = CreateDerivedStatInstance(3, DerivedDef(StatFormula::Sum, Sources(2)), {}, NoKey, nullptr);
  d->AttachTo(*s1, true);
  d->AttachTo(*s2, true);
  const StatValue a(2), b(3);
  s1->Write(NoKey, 5, &a, nullptr);
  s2->Write(NoKey, 5, &b, nullptr);
  EXPECT_EQ(d->GetCurrent().value, V(5));
  EXPECT_FALSE(d->Release(creator.Get()));  // one user left
  EXPECT_TRUE(d->Release(creator.Get()));
  EXPECT_EQ(creator->removed.size(), 1u);
  EXPECT_EQ(s1->GetDependentCount(), 1u);
  s1->Write(NoKey, 6, &a, nullptr);  // the dead instance asks to be dropped
  EXPECT_EQ(s1->GetDependentCount(), 0u);
  EXPECT_FALSE(d->Release(creator.Get()));
}

TEST(GraphTest, ExpiryReleasesOnlyDependentsWithNoMoreValues) {
  Kestrix::Ref<RecordingCreator> creator(new RecordingCreator);
  auto src1 = Info(1, SourceDef(StatTransform::Raw, StatCooking::None, V(1), 1));
  auto host = CreateSourceStatInstance(1, SourceDef(StatTransform::Raw, StatCooking::None), {}, NoKey, nullptr);
  auto cpu = CreateSourceStatInstance(1, SourceDef(StatTransform::Raw, StatCooking::None, V(1), 1), {"0"}, NoKey,
                                      nullptr);
  auto agg = CreateAggregatedStatInstance(2, AggDef(StatAggregation::Sum, src1), {}, NoKey, nullptr);
  std::vector<StatAttribute> one{Attr("a", 7)};
  auto perCpu = CreateDerivedStatInstance(
      3, StatDef::Derivative(3, "d", one, 0, 0, 0, 0, {StatSourceRef{-1, "", src1}}, 0, StatValue(1)), {"0"}, NoKey,
      nullptr);
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

TEST(FactoryTest, EveryCombinationIsItsOwnClass) {
  std::set<std::type_index> sources, aggregations, derived;
  for (uint32_t t : {0u, 3u}) {
    for (uint32_t c = 0; c < 4; ++c) {
      auto def = StatDef::Source(1, "s", {}, 0, 0, 0, t, c, StatValue(1));
      auto i = CreateSourceStatInstance(1, def, {}, NoKey, nullptr);
      sources.insert(typeid(*i));
      // Raw with None emits its value; Delta with None a delta of 10 -> 13.
      StatValue v(10);
      i->Write(NoKey, 1, &v, nullptr);
      v = StatValue(13);
      i->Write(NoKey, 2, &v, nullptr);
      // 10 then 13 one microsecond apart. Delta then Difference/Rate subtract the
      // previous raw value (3 - 10 < 0): no value.
      const int64_t want[2][4] = {{13, 3, 3, 13}, {3, kMin, kMin, 3}};
      const int64_t expected = want[t == 0 ? 0 : 1][c];
      EXPECT_EQ(i->Emit(nullptr), expected) << "transform " << t << " cooking " << c;
    }
  }
  auto src = Info(1, SourceDef(StatTransform::Raw, StatCooking::None, V(1), 1));
  for (int32_t a = 0; a < 4; ++a) {
    for (uint32_t c = 0; c < 4; ++c) {
      auto def = StatDef::Aggregation(2, "a", {}, 0, 0, 0, 0, a, StatSourceRef{-1, "", src}, c, StatValue(1));
      auto i = CreateAggregatedStatInstance(2, def, {}, NoKey, nullptr);
      aggregations.insert(typeid(*i));
      EXPECT_EQ(Complete(*i, {6, 2}, 5), (std::vector<StatValue>{V(8), V(6), V(2), V(4)})[static_cast<size_t>(a)]);
    }
  }
  for (int32_t f = 0; f < 6; ++f) {
    for (uint32_t c = 0; c < 4; ++c) {
      for (size_t n = 1; n <= 4; ++n) {
        auto i = CreateDerivedStatInstance(3, DerivedDef(static_cast<StatFormula>(f), Sources(n),
                                                         static_cast<StatCooking>(c)),
                                           {}, NoKey, nullptr);
        derived.insert(typeid(*i));
        if (f == 5) continue;  // SelfDelta has no slots
        const std::vector<int64_t> all{12, 3, 2, 1};
        Feed(*i, std::vector<int64_t>(all.begin(), all.begin() + static_cast<long>(n)), 5);
        // Slots 12, 3, 2, 1 (the first n of them); one set, so only None has a value.
        const int64_t byFormula[5][4] = {
            {12, 12, 12, 12}, {12, 15, 17, 18}, {12, 9, 7, 6}, {12, 36, 72, 72}, {kMin, 4, 4, 4}};
        const int64_t expected = c == 0 ? byFormula[f][n - 1] : kMin;
        EXPECT_EQ(i->Emit(nullptr), expected) << "formula " << f << " cooking " << c << " n " << n;
      }
    }
  }
  EXPECT_EQ(sources.size(), 8u);
  EXPECT_EQ(aggregations.size(), 16u);
  EXPECT_EQ(derived.size(), 96u);
}

}  // namespace
}  // namespace Distillery
}  // namespace Stats
