#include <gtest/gtest.h>

#include <thread>

#include "kestrix/time.h"
#include "registryTestSupport.h"
#include "stats/registry/statsRegistryImpl.h"

namespace RegistryTest {
namespace {

/// "id:name" of each info; sources of aggregations and derivatives follow in
/// brackets as the ids they resolved to.
std::vector<std::string> Names(const StatInfoList& infos) {
  std::vector<std::string> out;
  for (const auto& i : infos) {
    std::string text = std::to_string(i->GetRegistryId()) + ":" + i->GetDef()->GetName();
    if (!i->GetDef()->IsSource()) {
      std::string ids;
      for (const auto& src : i->GetDef()->GetSources()) {
        const bool resolved = src.providerId == -1 && src.label.empty() && src.info;
        ids += (ids.empty() ? "" : ",") + (resolved ? std::to_string(src.info->GetRegistryId()) : "?");
      }
      text += "[" + ids + "]";
    }
    out.push_back(text);
  }
  return out;
}

std::vector<std::string> Catalogue(const StatsRegistryRef& registry, uint64_t since = 0) {
  StatInfoList infos;
  registry->GetStatInfos(infos, since);
  return Names(infos);
}

using Registration = ProviderFixture;

// Each case registers `first`, then `second`, and names what the second
// call registered.
TEST_F(Registration, NumbersStatsAndResolvesSourcesByLabelOrEarlierProviderId) {
  struct Case {
    const char* what;
    StatDefList first, second;
    std::vector<std::string> want;
  };
  const Case cases[] = {
      {"sources in order", {}, {Src(10, "a"), Src(11, "b", {Attr("cpu", 7, true)})}, {"0:a", "1:b"}},
      {"derivative by registered label", {Src(1, "x")}, {Deriv(2, "d", {ByLabel("x.host")})}, {"1:d[0]"}},
      {"derivative by earlier provider id", {}, {Src(1, "x"), Src(2, "y"), Deriv(3, "d", {ById(2), ById(1)})},
       {"0:x", "1:y", "2:d[1,0]"}},
      {"later provider id: skipped, no id taken", {}, {Deriv(3, "d", {ById(1)}), Src(1, "x")}, {"0:x"}},
      {"provider id of another call", {Src(1, "x")}, {Deriv(3, "d", {ById(1)}), Src(2, "y")}, {"1:y"}},
      {"one unknown label among resolved sources", {Src(1, "x")},
       {Src(2, "y"), Deriv(3, "d", {ByLabel("x.host"), ById(2), ByLabel("nope.host")})}, {"1:y"}},
      {"aggregation by label", {Src(1, "x")}, {Agg(2, "s", ByLabel("x.host"))}, {"1:s[0]"}},
      {"aggregation by earlier provider id", {}, {Src(1, "x"), Agg(2, "s", ById(1))}, {"0:x", "1:s[0]"}},
      {"aggregation of an unknown provider id", {}, {Agg(2, "s", ById(9)), Src(1, "x")}, {"0:x"}},
      {"first stat of a provider id wins", {}, {Src(5, "x"), Src(5, "y"), Deriv(6, "d", {ById(5)})},
       {"0:x", "1:y", "2:d[0]"}},
      {"a skipped stat cannot be named", {}, {Deriv(1, "d", {ById(7)}), Deriv(2, "e", {ById(1)})}, {}},
      {"derivative without sources", {}, {Deriv(1, "d", {ById(1)})->WithSources({}), Src(2, "y")}, {"0:y"}},
      {"aggregation with two sources", {},
       {Src(1, "x"), Agg(2, "s", ById(1))->WithSources({ById(1), ById(1)})}, {"0:x"}},
      {"labels of one call are not compared", {}, {Src(5, "dup"), Src(6, "dup")}, {"0:dup", "1:dup"}},
  };
  for (const auto& c : cases) {
    StatsRegistryRef reg = Stats::CreateRegistry(capture.Logger());
    StatInfoList infos;
    StatsRegistryItemRef first = Register(reg, c.first), second = Register(reg, c.second, &infos);
    ASSERT_TRUE(second) << c.what;
    EXPECT_EQ(Names(infos), c.want) << c.what;
    for (const auto& info : infos) {
      StatInfoRef live;
      EXPECT_TRUE(reg->GetStatInfo(info->GetRegistryId(), live) && live == info) << c.what;
    }
  }
  // The caller's definition is not changed by the resolution.
  const StatDefRef agg = Agg(2, "s", ById(1));
  StatsRegistryItemRef item = Register(registry, {Src(1, "x"), agg});
  EXPECT_EQ(agg->GetSources()[0].providerId, 1);
  EXPECT_FALSE(agg->GetSources()[0].info);
}

TEST_F(Registration, KnownLabelRefusesTheWholeCall) {
  StatsRegistryItemRef first = Register(registry, {Src(1, "mem.free")});
  StatInfoList infos;
  EXPECT_FALSE(Register(registry, {Src(2, "mem.used"), Src(3, "mem.free")}, &infos));
  EXPECT_TRUE(infos.empty());
  // Nothing of the refused call was kept: neither an id nor a label.
  StatsRegistryItemRef next = Register(registry, {Src(2, "mem.used")});
  EXPECT_EQ(Catalogue(registry), (std::vector<std::string>{"0:mem.free", "1:mem.used"}));
}

TEST_F(Registration, EmptyListCreatesAGroupAndEmptyInputIsSkipped) {
  StatsRegistryItemRef empty = Register(registry, {});
  ASSERT_TRUE(empty);
  StatInfoList infos;
  EXPECT_NE(registry->GetStatInfos(infos, 0), 0u) << "the group is there, with its time";
  StatsRegistryItemRef none;
  registry->Register({Src(1, "a")}, Stats::GetStatValuesHandlerRef(), infos, none);
  EXPECT_FALSE(none) << "no handler: nothing registered";
  StatsRegistryItemRef some = Register(registry, {Src(1, "a"), StatDefRef(), Src(2, "b")}, &infos);
  EXPECT_EQ(Names(infos), (std::vector<std::string>{"0:a", "1:b"}));
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
  registry->GetStatValues({Stats::MakeStatInstance(1, {}), Stats::MakeStatInstance(0, {})}, values);
  EXPECT_EQ(calls.Get(), (std::vector<std::string>{"P1:[1(),0()]"})) << "one call through P1's handler";
}

TEST_F(Registration, UnregisterRemovesStatsOnceAndIdsAreNotReused) {
  StatsRegistryItemRef item = Register(registry, {Src(1, "a"), Src(2, "b")});
  item->Unregister();
  StatInfoRef info;
  EXPECT_FALSE(registry->GetStatInfo(0, info) || registry->GetStatInfo(1, info));
  EXPECT_NO_THROW(item->Unregister());
  StatsRegistryItemRef again = Register(registry, {Src(1, "a"), Src(2, "b")});
  EXPECT_EQ(Catalogue(registry), (std::vector<std::string>{"2:a", "3:b"}));
  again.Reset();  // releasing the handle unregisters as well
  EXPECT_TRUE(Catalogue(registry).empty());

  auto impl = Kestrix::RefCast<Stats::Registry::RegistryImpl>(registry);
  StatsRegistryItemRef unknown(new Stats::Registry::RegistryImpl::RegistryItemImpl(99, impl));
  try {
    unknown->Unregister();
    ADD_FAILURE() << "no exception";
  } catch (const Kestrix::NotFoundException& e) {
    EXPECT_STREQ(e.what(), "Object not found: Unregister: id = 99");
  }
}

TEST_F(Registration, GetStatInfosSinceReturnsExactlyTheLaterGroups) {
  Kestrix::System::TestClock clock(1, 1000);
  Kestrix::System::ScopedTestClock installed(clock);
  StatsRegistryItemRef g0 = Register(registry, {Src(1, "a"), Src(2, "b")});  // time 1000
  clock.SetUtc(2000);
  StatsRegistryItemRef g1 = Register(registry, {Src(3, "c")});  // time 2000
  StatInfoList infos;
  EXPECT_EQ(registry->GetStatInfos(infos, 0), 2000u);
  EXPECT_EQ(Catalogue(registry, 999), (std::vector<std::string>{"0:a", "1:b", "2:c"}));
  EXPECT_EQ(Catalogue(registry, 1000), (std::vector<std::string>{"2:c"}));
  EXPECT_TRUE(Catalogue(registry, 2000).empty());
  // Registered in the same microsecond, or after the clock stepped back: still
  // later than the time returned before.
  StatsRegistryItemRef g2 = Register(registry, {Src(4, "d")});
  clock.SetUtc(500);
  StatsRegistryItemRef g3 = Register(registry, {Src(5, "e")});
  EXPECT_EQ(Catalogue(registry, 2000), (std::vector<std::string>{"3:d", "4:e"}));
  g1->Unregister();
  StatInfoList appended = {infos[0]};
  EXPECT_EQ(registry->GetStatInfos(appended, 0), 2002u);
  EXPECT_EQ(Names(appended), (std::vector<std::string>{"0:a", "0:a", "1:b", "3:d", "4:e"}));
}

TEST_F(Registration, RegisterExistingKeepsInfosAndNeverReusesTheirIds) {
  StatsRegistryRef source = Stats::CreateRegistry(capture.Logger());
  StatInfoList original;
  StatsRegistryItemRef sourceItem = Register(source, {Src(1, "a"), Src(2, "b"), Src(3, "c")}, &original);
  StatsRegistryItemRef item;
  registry->RegisterExisting({original[0], original[2]}, QuietHandler("h"), item);
  StatInfoRef got;
  ASSERT_TRUE(registry->GetStatInfo(2, got));
  EXPECT_EQ(got, original[2]) << "recorded unchanged";
  StatsRegistryItemRef fresh = Register(registry, {Src(9, "z")});
  StatsRegistryItemRef refused, partial;
  registry->RegisterExisting({original[1], original[0]}, QuietHandler("h"), refused);
  EXPECT_FALSE(refused) << "label a is registered";
  // A live id is skipped, the rest recorded.
  registry->RegisterExisting({StatInfoRef(new Stats::StatInfo(3, Src(8, "other"))), original[1]},
                             QuietHandler("h"), partial);
  EXPECT_EQ(Catalogue(registry), (std::vector<std::string>{"0:a", "2:c", "3:z", "1:b"}));
}

TEST(DefaultRegistry, IsOneObjectForEveryThread) {
  std::vector<Stats::StatsRegistry*> seen(8, nullptr);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i) threads.emplace_back([&seen, i] { seen[i] = Stats::GetDefaultRegistry().Get(); });
  for (auto& t : threads) t.join();
  for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], Stats::GetDefaultRegistry().Get()) << "thread " << i;
}

}  // namespace
}  // namespace RegistryTest
