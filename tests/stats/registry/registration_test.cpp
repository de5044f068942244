#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "kestrix/time.h"
#include "registryTestSupport.h"
#include "stats/registry/statsRegistryImpl.h"

namespace RegistryTest {
namespace {

/// Names of infos as "id:name".
std::vector<std::string> Names(const StatInfoList& infos) {
  std::vector<std::string> out;
  for (const auto& i : infos) out.push_back(std::to_string(i->GetRegistryId()) + ":" + i->GetDef()->GetName());
  return out;
}

std::vector<std::string> Catalogue(const StatsRegistryRef& registry) {
  StatInfoList infos;
  registry->GetStatInfos(infos, 0);
  return Names(infos);
}

using Registration = ProviderFixture;

TEST_F(Registration, NumbersStatsInOrderAndRecordsThem) {
  StatInfoList infos;
  StatsRegistryItemRef item;
  const StatDefList defs = {Src(10, "a"), Src(11, "b", {Attr("cpu", 7, true)}), Src(12, "c")};
  registry->Register(defs, QuietHandler("h"), infos, item);
  ASSERT_TRUE(item);
  EXPECT_EQ(Names(infos), (std::vector<std::string>{"0:a", "1:b", "2:c"}));
  for (size_t i = 0; i < defs.size(); ++i) {
    StatInfoRef got;
    ASSERT_TRUE(registry->GetStatInfo(static_cast<int64_t>(i), got)) << "id " << i;
    EXPECT_EQ(got, infos[i]) << "id " << i;
    EXPECT_EQ(got->GetDef(), defs[i]) << "a source is registered as given, id " << i;
  }
  StatInfoRef untouched = infos[0];
  EXPECT_FALSE(registry->GetStatInfo(3, untouched));
  EXPECT_EQ(untouched, infos[0]);
  item->Unregister();
}

// Each case registers `first` in one call, then `second` in another, and names
// what the second call registered (id:name, resolved source ids in brackets).
TEST_F(Registration, ResolvesSourcesByLabelAndByEarlierProviderId) {
  struct Case {
    const char* what;
    StatDefList first, second;
    std::vector<std::string> want;
  };
  const Case cases[] = {
      {"derivative by registered label", {Src(1, "x")}, {Deriv(2, "d", {ByLabel("x.host")})}, {"1:d[0]"}},
      {"derivative by earlier provider id", {}, {Src(1, "x"), Src(2, "y"), Deriv(3, "d", {ById(2), ById(1)})},
       {"0:x", "1:y", "2:d[1,0]"}},
      {"derivative by later provider id is skipped and takes no id", {},
       {Deriv(3, "d", {ById(1)}), Src(1, "x"), Src(2, "y")}, {"0:x", "1:y"}},
      {"provider id of another call does not resolve", {Src(1, "x")}, {Deriv(3, "d", {ById(1)}), Src(2, "y")},
       {"1:y"}},
      {"one unknown label among resolved sources skips the derivative", {Src(1, "x")},
       {Src(2, "y"), Deriv(3, "d", {ByLabel("x.host"), ById(2), ByLabel("nope.host")})}, {"1:y"}},
      {"aggregation by label", {Src(1, "x")}, {Agg(2, "s", ByLabel("x.host"))}, {"1:s[0]"}},
      {"aggregation by earlier provider id", {}, {Src(1, "x"), Agg(2, "s", ById(1))}, {"0:x", "1:s[0]"}},
      {"aggregation of unknown provider id is skipped", {}, {Agg(2, "s", ById(9)), Src(1, "x")}, {"0:x"}},
      {"first stat of a provider id wins", {}, {Src(5, "x"), Src(5, "y"), Deriv(6, "d", {ById(5)})},
       {"0:x", "1:y", "2:d[0]"}},
      {"skipped stat cannot be named by id", {}, {Deriv(1, "d", {ById(7)}), Deriv(2, "e", {ById(1)})}, {}},
      {"derivative with empty sources is skipped", {},
       {Deriv(1, "d", {ByLabel("x.host")})->WithSources({}), Src(2, "y")}, {"0:y"}},
      {"aggregation with two sources is skipped", {Src(1, "x")},
       {Agg(2, "s", ByLabel("x.host"))->WithSources({ByLabel("x.host"), ByLabel("x.host")}), Src(3, "y")},
       {"1:y"}},
  };
  for (const auto& c : cases) {
    StatsRegistryRef reg = Stats::CreateRegistry(capture.Logger());
    StatInfoList infos1, infos2;
    StatsRegistryItemRef item1, item2;
    reg->Register(c.first, QuietHandler("h"), infos1, item1);
    reg->Register(c.second, QuietHandler("h"), infos2, item2);
    ASSERT_TRUE(item2) << c.what;
    std::vector<std::string> got;
    for (const auto& info : infos2) {
      std::string text = std::to_string(info->GetRegistryId()) + ":" + info->GetDef()->GetName();
      if (!info->GetDef()->IsSource()) {
        text += "[";
        for (size_t s = 0; s < info->GetDef()->GetSources().size(); ++s) {
          const StatSourceRef& src = info->GetDef()->GetSources()[s];
          EXPECT_EQ(src.providerId, -1) << c.what;
          EXPECT_EQ(src.label, "") << c.what;
          ASSERT_TRUE(src.info) << c.what;
          StatInfoRef live;
          EXPECT_TRUE(reg->GetStatInfo(src.info->GetRegistryId(), live) && live == src.info) << c.what;
          text += (s ? "," : "") + std::to_string(src.info->GetRegistryId());
        }
        text += "]";
      }
      got.push_back(text);
    }
    EXPECT_EQ(got, c.want) << c.what;
  }
}

TEST_F(Registration, ResolvedCopyKeepsEveryOtherField) {
  StatInfoList infos;
  StatsRegistryItemRef item;
  const StatDefRef agg = StatDef::Aggregation(4, "cpu.sum", {Attr("cpu", 7, true)}, 1, 2, 3, 0, 3, ById(1),
                                              2, Stats::StatValue(1, 1000), false);
  registry->Register({Src(1, "cpu.x", {Attr("cpu", 7, true), Attr("core", 7, false)}), agg}, QuietHandler("h"), infos,
                     item);
  ASSERT_EQ(infos.size(), 2u);
  const StatDef& got = *infos[1]->GetDef();
  EXPECT_NE(&got, agg.Get());
  EXPECT_EQ(got.GetProviderId(), 4);
  EXPECT_EQ(got.GetName(), "cpu.sum");
  EXPECT_EQ(StatDefToString(got), "cpu.sum(cpu|*:pCPU)");
  EXPECT_EQ(got.GetStatType(), 1u);
  EXPECT_EQ(got.GetUnit(), 2u);
  EXPECT_EQ(got.GetAuxCode(), 3u);
  EXPECT_EQ(got.GetTransform(), 1u);
  EXPECT_EQ(got.GetAggregatedAttribute(), 0);
  EXPECT_EQ(got.GetFunction(), 3);
  EXPECT_EQ(got.GetCooking(), 2u);
  EXPECT_EQ(got.GetScale(), Stats::StatValue(1, 1000));
  ASSERT_EQ(got.GetSources().size(), 1u);
  EXPECT_EQ(got.GetSources()[0].info, infos[0]);
  // The caller's definition is left as it was.
  EXPECT_EQ(agg->GetSources()[0].providerId, 1);
  EXPECT_FALSE(agg->GetSources()[0].info);
  item->Unregister();
}

TEST_F(Registration, KnownLabelRefusesTheWholeCall) {
  StatInfoList infos;
  StatsRegistryItemRef first, refused;
  registry->Register({Src(1, "mem.free")}, QuietHandler("h1"), infos, first);
  infos.clear();
  registry->Register({Src(2, "mem.used"), Src(3, "mem.free")}, QuietHandler("h2"), infos, refused);
  EXPECT_FALSE(refused);
  EXPECT_TRUE(infos.empty());
  EXPECT_EQ(Catalogue(registry), (std::vector<std::string>{"0:mem.free"}));
  // Nothing of the refused call was kept: no id, and its labels are free.
  StatsRegistryItemRef next;
  registry->Register({Src(2, "mem.used")}, QuietHandler("h3"), infos, next);
  ASSERT_EQ(infos.size(), 1u);
  EXPECT_EQ(infos[0]->GetRegistryId(), 1);
  // Labels of one call are not compared with each other; both stats register.
  StatsRegistryItemRef twice;
  infos.clear();
  registry->Register({Src(5, "dup"), Src(6, "dup")}, QuietHandler("h4"), infos, twice);
  EXPECT_EQ(Names(infos), (std::vector<std::string>{"2:dup", "3:dup"}));
  twice->Unregister();
  EXPECT_EQ(Catalogue(registry), (std::vector<std::string>{"0:mem.free", "1:mem.used"}));
  first->Unregister();
  next->Unregister();
}

TEST_F(Registration, EmptyListStillCreatesAGroup) {
  StatInfoList infos;
  StatsRegistryItemRef item;
  registry->Register({}, QuietHandler("h"), infos, item);
  ASSERT_TRUE(item);
  EXPECT_TRUE(infos.empty());
  EXPECT_NE(registry->GetStatInfos(infos, 0), 0u) << "the group is there, with its time";
  item->Unregister();
  EXPECT_EQ(registry->GetStatInfos(infos, 0), 0u);
}

TEST_F(Registration, EmptyHandlerOrDefinitionIsSkippedNotCrashed) {
  StatInfoList infos;
  StatsRegistryItemRef item;
  registry->Register({Src(1, "a")}, Stats::GetStatValuesHandlerRef(), infos, item);
  EXPECT_FALSE(item);
  EXPECT_TRUE(infos.empty());
  registry->Register({Src(1, "a"), StatDefRef(), Src(2, "b")}, QuietHandler("h"), infos, item);
  ASSERT_TRUE(item);
  EXPECT_EQ(Names(infos), (std::vector<std::string>{"0:a", "1:b"}));
  item->Unregister();
}

TEST_F(Registration, HandlersOfOneNameShareTheFirstHandlerObject) {
  TestProviderRef p1(new TestProvider("P1", {Src(1, "one")}, &calls));
  TestProviderRef p2(new TestProvider("P2", {Src(2, "two")}, &calls));
  providers = {p1, p2};
  p1->SetHandlerName("shared");
  p2->SetHandlerName("shared");
  p1->RegisterStats(registry);
  p2->RegisterStats(registry);
  StatInstanceValueList values;
  registry->GetStatValues({Stats::MakeStatInstance(p2->IdOf(2), {}), Stats::MakeStatInstance(p1->IdOf(1), {})},
                          values);
  // One handler id: one call, through P1's handler, in request order.
  EXPECT_EQ(calls.Get(), (std::vector<std::string>{"P1:[1(),0()]"}));
}

TEST_F(Registration, UnregisterRemovesStatsAndIdsAreNotReused) {
  StatInfoList infos;
  StatsRegistryItemRef item;
  registry->Register({Src(1, "a"), Src(2, "b")}, QuietHandler("h"), infos, item);
  item->Unregister();
  StatInfoRef info;
  EXPECT_FALSE(registry->GetStatInfo(0, info));
  EXPECT_FALSE(registry->GetStatInfo(1, info));
  EXPECT_NO_THROW(item->Unregister()) << "a second Unregister does nothing";
  infos.clear();
  StatsRegistryItemRef again;
  registry->Register({Src(1, "a"), Src(2, "b")}, QuietHandler("h"), infos, again);
  EXPECT_EQ(Names(infos), (std::vector<std::string>{"2:a", "3:b"}));
  // Releasing the last reference to a handle unregisters its group.
  again.Reset();
  EXPECT_TRUE(Catalogue(registry).empty());
}

TEST_F(Registration, UnregisterOfAnUnknownGroupRaisesNotFound) {
  auto impl = Kestrix::RefCast<Stats::Registry::RegistryImpl>(registry);
  ASSERT_TRUE(impl);
  StatsRegistryItemRef item(new Stats::Registry::RegistryImpl::RegistryItemImpl(99, impl));
  try {
    item->Unregister();
    ADD_FAILURE() << "no exception";
  } catch (const Kestrix::NotFoundException& e) {
    EXPECT_STREQ(e.what(), "Object not found: Unregister: id = 99");
  }
  EXPECT_NO_THROW(item->Unregister());
}

TEST_F(Registration, GetStatInfosSinceReturnsExactlyTheLaterGroups) {
  Kestrix::System::TestClock clock(1, 1000);
  Kestrix::System::ScopedTestClock installed(clock);
  StatInfoList infos;
  StatsRegistryItemRef g0, g1, g2, g3;
  registry->Register({Src(1, "a"), Src(2, "b")}, QuietHandler("h"), infos, g0);  // time 1000
  clock.SetUtc(2000);
  registry->Register({Src(3, "c")}, QuietHandler("h"), infos, g1);  // time 2000

  struct Case {
    uint64_t since;
    std::vector<std::string> want;
    uint64_t latest;
  } before[] = {{0, {"0:a", "1:b", "2:c"}, 2000}, {999, {"0:a", "1:b", "2:c"}, 2000},
                {1000, {"2:c"}, 2000},             {2000, {}, 2000}};
  for (const auto& c : before) {
    StatInfoList got;
    EXPECT_EQ(registry->GetStatInfos(got, c.since), c.latest) << "since " << c.since;
    EXPECT_EQ(Names(got), c.want) << "since " << c.since;
  }
  // A group registered in the same microsecond, and one after the clock
  // stepped back, still come after the time returned before.
  registry->Register({Src(4, "d")}, QuietHandler("h"), infos, g2);  // time 2001
  clock.SetUtc(500);
  registry->Register({Src(5, "e")}, QuietHandler("h"), infos, g3);  // time 2002
  StatInfoList later;
  EXPECT_EQ(registry->GetStatInfos(later, 2000), 2002u);
  EXPECT_EQ(Names(later), (std::vector<std::string>{"3:d", "4:e"}));
  // The list is appended to; unregistered stats are left out.
  g1->Unregister();
  StatInfoList appended = {later[0]};
  registry->GetStatInfos(appended, 0);
  EXPECT_EQ(Names(appended), (std::vector<std::string>{"3:d", "0:a", "1:b", "3:d", "4:e"}));
  for (auto* g : {&g0, &g2, &g3}) (*g)->Unregister();
}

TEST_F(Registration, RegisterExistingKeepsInfosAndNeverReusesTheirIds) {
  StatsRegistryRef source = Stats::CreateRegistry(capture.Logger());
  StatInfoList original;
  StatsRegistryItemRef sourceItem;
  source->Register({Src(1, "a"), Src(2, "b"), Src(3, "c")}, QuietHandler("h"), original, sourceItem);

  StatsRegistryItemRef item;
  registry->RegisterExisting({original[0], original[2]}, QuietHandler("h"), item);
  ASSERT_TRUE(item);
  for (int64_t id : {0, 2}) {
    StatInfoRef got;
    ASSERT_TRUE(registry->GetStatInfo(id, got)) << id;
    EXPECT_EQ(got, original[static_cast<size_t>(id)]) << "recorded unchanged, id " << id;
  }
  StatInfoList fresh;
  StatsRegistryItemRef freshItem;
  registry->Register({Src(9, "z")}, QuietHandler("h"), fresh, freshItem);
  ASSERT_EQ(fresh.size(), 1u);
  EXPECT_EQ(fresh[0]->GetRegistryId(), 3) << "fresh ids start above the recorded ones";

  // A known label refuses the call; a live id is skipped, the rest recorded.
  StatsRegistryItemRef refused, partial;
  registry->RegisterExisting({original[1], original[0]}, QuietHandler("h"), refused);
  EXPECT_FALSE(refused);
  StatInfoRef clash(new Stats::StatInfo(3, Src(8, "other")));
  registry->RegisterExisting({clash, original[1]}, QuietHandler("h"), partial);
  ASSERT_TRUE(partial);
  StatInfoRef got;
  ASSERT_TRUE(registry->GetStatInfo(3, got));
  EXPECT_EQ(got->GetDef()->GetName(), "z") << "the live stat stays";
  EXPECT_EQ(Catalogue(registry), (std::vector<std::string>{"0:a", "2:c", "3:z", "1:b"}));
  for (auto* i : {&item, &freshItem, &partial, &sourceItem}) (*i)->Unregister();
}

TEST(DefaultRegistry, IsOneObjectForEveryThread) {
  std::vector<Stats::StatsRegistry*> seen(8, nullptr);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&seen, i] { seen[i] = Stats::GetDefaultRegistry().Get(); });
  }
  for (auto& t : threads) t.join();
  for (size_t i = 0; i < seen.size(); ++i) {
    EXPECT_NE(seen[i], nullptr) << "thread " << i;
    EXPECT_EQ(seen[i], Stats::GetDefaultRegistry().Get()) << "thread " << i;
  }
}

}  // namespace
}  // namespace RegistryTest
