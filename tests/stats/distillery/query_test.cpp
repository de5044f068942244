// The framework from provider to distilled value: a test provider's small
// catalogue through the real registry and a query, on a test clock. Expected
// numbers are worked out by hand from the definitions.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <tuple>

#include "kestrix/app.h"
#include "kestrix/exception.h"
#include "kestrix/perfCounter.h"
#include "kestrix/time.h"
#include "public/stats/statsProvider.h"
#include "public/stats/statsQuery.h"
#include "stats/distillery/statsQueryInt.h"

namespace Stats {
namespace {

constexpr uint64_t kStartUtc = 1700000000000000ull;
constexpr uint64_t kSecond = 1000000;
using QueryImpl = Distillery::StatsQueryImpl<SingleThreadedModel>;

StatAttribute Attr(const char* name, int type) { return StatAttribute{name, type, "", true}; }

// The test catalogue: provider ids 0..5.
StatDefList Catalogue() {
  const StatValue one(1);
  return {
      StatDef::Source(0, "t.count", {}, 0, 0, 0, 0, 0, one),
      StatDef::Source(1, "t.bytes", {Attr("intf", 8)}, 0, 0, 0, 0, 1, one),    // Raw, Difference
      StatDef::Source(2, "t.cpu.used", {Attr("cpu", 7)}, 0, 0, 0, 3, 0, one),  // Delta, None
      StatDef::Aggregation(3, "t.cpu.used.total", {}, 0, 0, 0, 0, 0, StatSourceRef{2, "", {}}, 0, one),
      StatDef::Derivative(4, "t.cpu.usage", {Attr("cpu", 7)}, 0, 0, 0, 0, {StatSourceRef{2, "", {}}}, 3,
                          StatValue(100)),  // First, PerTime, x100
      StatDef::Derivative(5, "t.bytes.per.count", {Attr("intf", 8)}, 0, 0, 0, 4,
                          {StatSourceRef{1, "", {}}, StatSourceRef{0, "", {}}}, 0, one),  // Divide
  };
}

// Provider side: a value table the test fills before each pass, reported in
// table order (or reversed), every value matching a requested instance.
class TestSource {
public:
  explicit TestSource(const StatsRegistryRef& registry, const std::string& name = "test//values",
                      StatDefList defs = Catalogue()) {
    GetStatValuesHandlerRef handler(new GetStatValuesHandlerImpl(
        [this](const StatInstanceList& instances, StatsResult& result) { Report(instances, result); }, name,
        StatsProviderRef()));
    registry->Register(defs, handler, infos_, item_);
    for (const auto& info : infos_) ids_[info->GetDef()->GetProviderId()] = info;
  }
  ~TestSource() { item_->Unregister(); }
  int64_t Id(int64_t providerId) const { return ids_.at(providerId)->GetRegistryId(); }
  /// Set gives each instance of providerId its value (by its one attribute value; "" for none).
  void Set(int64_t providerId, const std::map<std::string, int64_t>& values) {
    for (const auto& [a, v] : values) table_[{providerId, a.empty() ? AttributeValues{} : AttributeValues{a}}] = v;
  }
  void Remove(int64_t providerId, AttributeValues values) { table_.erase({providerId, values}); }
  size_t failAfter = SIZE_MAX;  // throws instead of reporting value number failAfter (once)
  bool reversed = false;

private:
  void Report(const StatInstanceList& instances, StatsResult& result) {
    std::vector<std::tuple<const StatInfo*, AttributeValues, int64_t>> out;
    for (const auto& inst : instances)
      for (const auto& [key, value] : table_) {
        const auto& want = inst->GetAttributeValues();
        bool match = ids_.at(key.first)->GetRegistryId() == inst->GetStatId() && want.size() == key.second.size();
        for (size_t i = 0; match && i < want.size(); ++i) match = want[i] == "*" || want[i] == key.second[i];
        if (match) out.emplace_back(ids_.at(key.first).Get(), key.second, value);
      }
    if (reversed) std::reverse(out.begin(), out.end());
    for (size_t n = 0; n < out.size(); ++n) {
      if (n == failAfter) {
        failAfter = SIZE_MAX;
        throw Kestrix::Exception("provider failed");
      }
      result.AddValue(*std::get<0>(out[n]), std::get<1>(out[n]), std::get<2>(out[n]));
    }
  }

  StatInfoList infos_;
  StatsRegistryItemRef item_;
  std::map<int64_t, StatInfoRef> ids_;
  std::map<std::pair<int64_t, AttributeValues>, int64_t> table_;
};

// Client side: allocator and writer that name every key "<statId>(<values>)".
class Collector : public StatInstanceWriter, public StatInstanceAllocator, public Kestrix::ObjectImpl {
public:
  uint64_t Allocate(uint64_t statId, const AttributeValues& values) override {
    names_[next_] = InstanceToString(static_cast<int64_t>(statId), values);
    return next_++;
  }
  void Free(uint64_t key) override { freed.push_back(names_.at(key)); }
  void Write(uint64_t key, uint64_t timestamp, const StatValue* value, StatInstanceWriter*) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = names_.find(key);
    pass[it == names_.end() ? "?" : it->second] = {timestamp, *value};
  }
  /// At: the value written under name in the last pass (fails when absent).
  StatValue At(const std::string& name) const {
    auto it = pass.find(name);
    EXPECT_NE(it, pass.end()) << "nothing written for " << name;
    return it == pass.end() ? InvalidValue : it->second.second;
  }
  std::map<std::string, std::pair<uint64_t, StatValue>> pass;
  std::vector<std::string> freed;

private:
  std::mutex mutex_;
  std::map<uint64_t, std::string> names_;
  uint64_t next_ = 0;
};

class QueryScenario : public ::testing::Test {
protected:
  QueryScenario()
      : clock_(5 * kSecond, kStartUtc), scoped_(clock_), registry_(CreateRegistry({})), source_(registry_),
        collector_(new Collector) {}

  StatsQueryRef NewQuery() { return CreateQuery(collector_, collector_, 0, {}, registry_); }
  std::string Name(int64_t providerId, const AttributeValues& v = {}) const {
    return InstanceToString(source_.Id(providerId), v);
  }
  StatInstanceConstRef Req(int64_t providerId, AttributeValues v = {}) const {
    return MakeStatInstance(source_.Id(providerId), std::move(v));
  }
  void Pass(const StatsQueryRef& q) {
    collector_->pass.clear();
    q->Execute(false);
    clock_.Advance(kSecond);
  }
  void RequestAll(const StatsQueryRef& q) { q->Request({Req(0), Req(1, {"*"}), Req(3), Req(4, {"*"}), Req(5, {"*"})}); }
  /// Expect checks the values written in the last pass for (provider id, attribute values).
  void Expect(const std::vector<std::tuple<int64_t, AttributeValues, StatValue>>& want) {
    for (const auto& [id, values, value] : want) EXPECT_EQ(collector_->At(Name(id, values)), value) << Name(id, values);
  }

  Kestrix::System::TestClock clock_;
  Kestrix::System::ScopedTestClock scoped_;
  StatsRegistryRef registry_;
  TestSource source_;
  Kestrix::Ref<Collector> collector_;
};

StatValue V(int64_t n, int64_t d = 1) { return MakeValue(n, d); }

TEST_F(QueryScenario, FirstPassThenSteadyStateInAnyReportOrder) {
  auto q = NewQuery();
  RequestAll(q);
  auto* impl = dynamic_cast<QueryImpl*>(q.Get());
  source_.Set(0, {{"", 4}});
  source_.Set(1, {{"eth0", 1000}, {"lo", 10}});
  source_.Set(2, {{"0", 100}, {"1", 200}});
  Pass(q);
  EXPECT_EQ(collector_->pass.at(Name(0)).first, kStartUtc);
  // A difference needs two samples; the aggregation (no delta yet) has the key of the source that made it.
  Expect({{0, {}, V(4)}, {1, {"eth0"}, InvalidValue}, {3, {"0"}, InvalidValue}});
  // The ratio's co-source reported before the ratio existed: no set, nothing written.
  EXPECT_EQ(collector_->pass.count(Name(5, {"eth0"})), 0u);

  const size_t instances = impl->GetInstanceCount();
  source_.Set(1, {{"eth0", 3000}});
  source_.Set(2, {{"0", 150}, {"1", 260}});
  source_.reversed = true;  // the same instances are found whatever the order
  Pass(q);
  EXPECT_EQ(impl->GetInstanceCount(), instances);
  Expect({{1, {"eth0"}, V(2000)}, {1, {"lo"}, V(0)}, {3, {"0"}, V(110)},  // 50 + 60
          {4, {"0"}, V(1, 200)}, {4, {"1"}, V(3, 500)},                   // 50 per 10^6 µs x 100
          {5, {"eth0"}, V(750)}, {5, {"lo"}, V(5, 2)}});                  // 3000 / 4
  EXPECT_EQ(collector_->pass.count(Name(2, {"0"})), 0u);  // fed but not requested

  source_.Set(2, {{"0", 1150}});
  clock_.SetUtc(clock_.UtcMicros() + 3600 * kSecond);  // an NTP step of one hour does not distort rates
  Pass(q);
  EXPECT_EQ(collector_->At(Name(4, {"0"})), V(1, 10));  // 1000 per second x 100 / 10^6

  const std::string prefix = "/qel/stats/distillery/qr-" + q->GetName();
  auto& counters = Kestrix::PerfCounter::GetCounterRegistry();
  ASSERT_TRUE(counters.Find(prefix + "/elapsedTime"));
  EXPECT_EQ(counters.Find(prefix + "/elapsedTime")->Read().count, 3u);
  EXPECT_EQ(counters.Find(prefix + "/processTime")->Read().count, 3u);
  EXPECT_EQ(counters.Find(prefix + "/statProcessTime")->Read().count, 15u);  // five values per pass
  EXPECT_EQ(counters.Find(prefix + "/numStatsLastCollected")->Read().count, 0u);
  q.Reset();
  EXPECT_FALSE(counters.Find(prefix + "/elapsedTime"));
}

TEST_F(QueryScenario, IdleInstancesExpireWithTheirDependentsAndNewOnesGrowTheGraph) {
  auto q = NewQuery();
  RequestAll(q);
  auto* impl = dynamic_cast<QueryImpl*>(q.Get());
  source_.Set(0, {{"", 2}});
  source_.Set(1, {{"eth0", 10}, {"lo", 20}});
  Pass(q);
  Pass(q);
  const size_t before = impl->GetInstanceCount();
  source_.Remove(1, {"lo"});
  source_.Set(1, {{"eth1", 7}});
  Pass(q);
  Pass(q);
  EXPECT_EQ(collector_->pass.count(Name(1, {"lo"})), 0u);
  EXPECT_EQ(collector_->pass.count(Name(5, {"lo"})), 0u);
  EXPECT_EQ(collector_->At(Name(5, {"eth1"})), V(7, 2));
  EXPECT_EQ(impl->GetInstanceCount(), before);  // lo's source and ratio went, eth1's came
  std::vector<std::string> freed = collector_->freed;
  std::sort(freed.begin(), freed.end());
  EXPECT_EQ(freed, (std::vector<std::string>{Name(1, {"lo"}), Name(5, {"lo"})}));
  source_.Set(1, {{"lo", 30}});  // comes back as a new instance
  Pass(q);
  Pass(q);
  EXPECT_EQ(collector_->At(Name(1, {"lo"})), V(0));
}

TEST_F(QueryScenario, RequestsAreNormalisedResolvedAndChecked) {
  auto q = NewQuery();
  q->Request({Req(1, {"eth0"}), Req(1, {"*"}), Req(1, {"*"}), Req(3), Req(5, {"eth0"})});
  auto* impl = dynamic_cast<QueryImpl*>(q.Get());
  std::vector<std::string> raw;
  for (const auto& i : impl->GetRawInstances()) raw.push_back(InstanceToString(*i));
  // The aggregation reads every CPU; the ratio reads eth0 (absorbed by "*") and the count.
  EXPECT_EQ(raw, (std::vector<std::string>{Name(0), Name(1, {"*"}), Name(2, {"*"})}));
  EXPECT_EQ(impl->GetRequests().count(source_.Id(1)), 1u);
  auto fails = [](const char* text) { return ::testing::ThrowsMessage<Kestrix::Exception>(::testing::StrEq(text)); };
  EXPECT_THAT([&] { q->Request({}); }, fails("Invalid argument : instance"));
  EXPECT_THAT([&] { q->Request({Req(0), MakeStatInstance(999, {})}); }, fails("Invalid argument : instance[1].id"));
  EXPECT_THAT([&] { q->Request({Req(1)}); }, fails("Invalid argument : instance[0].attribute"));
  EXPECT_THAT([&] { q->Execute(true); }, fails("Not Supported"));
  EXPECT_THAT([&] { CreateQuery({}, collector_, 0, {}, registry_); }, fails("Invalid argument : writer"));
}

TEST_F(QueryScenario, FailedPassLeavesNoResidue) {
  auto q = NewQuery();
  q->Request({Req(3)});
  source_.Set(2, {{"0", 100}, {"1", 200}});
  Pass(q);
  source_.Set(2, {{"0", 110}, {"1", 230}});
  source_.failAfter = 1;  // cpu 0 is written, then the provider throws
  EXPECT_THROW(Pass(q), Kestrix::Exception);
  EXPECT_TRUE(collector_->pass.empty());
  source_.Set(2, {{"0", 115}, {"1", 240}});
  Pass(q);
  // Only this pass's deltas: cpu 0 115-110, cpu 1 240-200 (its failed-pass value never arrived).
  EXPECT_EQ(collector_->At(Name(3, {"0"})), V(45));
  EXPECT_EQ(collector_->pass.at(Name(3, {"0"})).first, clock_.UtcMicros() - kSecond);
}

TEST_F(QueryScenario, ParallelCollectionGivesTheSerialValues) {
  // A second provider with its own handler, so the registry dispatches two tasks.
  TestSource other(registry_, "other//values",
                   {StatDef::Source(0, "u.count", {}, 0, 0, 0, 0, 0, StatValue(1)),
                    StatDef::Source(1, "u.items", {Attr("disk", 22)}, 0, 0, 0, 0, 0, StatValue(1))});
  other.Set(0, {{"", 9}});
  source_.Set(0, {{"", 4}});
  for (int i = 0; i < 50; ++i) {
    other.Set(1, {{"d" + std::to_string(i), i}});
    source_.Set(1, {{"e" + std::to_string(i), i * 10}});
  }
  std::map<std::string, StatValue> results[2];
  auto config = Kestrix::Service::GetApp()->GetConfig()->GetRoot();
  for (int mode = 0; mode < 2; ++mode) {
    config->SetString("statsRegistry/parallelCollect", mode ? "true" : "false");
    auto q = NewQuery();
    q->Request({Req(0), Req(1, {"*"}), MakeStatInstance(other.Id(0), {}), MakeStatInstance(other.Id(1), {"*"})});
    Pass(q);
    Pass(q);
    for (const auto& [name, written] : collector_->pass) results[mode][name] = written.second;
  }
  config->SetString("statsRegistry/parallelCollect", "false");
  EXPECT_EQ(results[0].size(), 102u);
  EXPECT_EQ(results[0], results[1]);
}

}  // namespace
}  // namespace Stats
