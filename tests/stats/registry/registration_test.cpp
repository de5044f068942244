#include <gtest/gtest.h>

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
    std::string text = std::to_string(i->GetRegistryId()) + ":" + i->GetDef()->GetName(), ids;
    for (const auto& src : i->GetDef()->IsSource() ? std::vector<StatSourceRef>() : i->GetDef()->GetSources()) {
      const bool resolved = src.providerId == -1 && src.label.empty() && src.info;
      ids += (ids.empty() ? "" : ",") + (resolved ? std::to_string(src.info->GetRegistryId()) : "?");
    }
    out.push_back(i->GetDef()->IsSource() ? text : text + "[" + ids + "]");
  }
  return out;
}

std::vector<std::string> Catalogue(const StatsRegistryRef& registry, uint64_t since = 0) {
  StatInfoList infos;
  registry->GetStatInfos(infos, since);
  return Names(infos);
}

using Registration = ProviderFixture;

// Each case registers `first`, then `second`, and names what the second call
// registered and the error lines it logged.
TEST_F(Registration, NumbersStatsAndResolvesSourcesByLabelOrEarlierProviderId) {
  const std::string unable = "Unable to register stat: id=";
  struct Case {
    const char* what;
    StatDefList first, second;
    std::vector<std::string> want, errors;
  };
  const Case cases[] = {
      {"sources in order", {}, {Src(10, "a"), Src(11, "b", {Attr("cpu", 7, true)})}, {"0:a", "1:b"}, {}},
      {"derivative by registered label", {Src(1, "x")}, {Deriv(2, "d", {ByLabel("x.host")})}, {"1:d[0]"}, {}},
      {"derivative by earlier provider id", {}, {Src(1, "x"), Src(2, "y"), Deriv(3, "d", {ById(2), ById(1)})},
       {"0:x", "1:y", "2:d[1,0]"}, {}},
      {"later provider id: skipped, no id taken", {}, {Deriv(3, "d", {ById(1)}), Src(1, "x")}, {"0:x"},
       {unable + "0, label:'d.host' as derivative from stat with id=1"}},
      {"provider id of another call", {Src(1, "x")}, {Deriv(3, "d", {ById(1)}), Src(2, "y")}, {"1:y"},
       {unable + "1, label:'d.host' as derivative from stat with id=1"}},
      {"one unknown label among resolved sources", {Src(1, "x")},
       {Src(2, "y"), Deriv(3, "d", {ByLabel("x.host"), ById(2), ByLabel("nope.host")})}, {"1:y"},
       {unable + "2, label:'d.host' as derivative of stat with label:'nope.host'"}},
      {"aggregation by label", {Src(1, "x")}, {Agg(2, "s", ByLabel("x.host"))}, {"1:s[0]"}, {}},
      {"aggregation of an unknown label", {}, {Agg(2, "s", ByLabel("x.host"))}, {},
       {unable + "0, label:'s.host' as aggregation of stats with label:'x.host'"}},
      {"aggregation by earlier provider id", {}, {Src(1, "x"), Agg(2, "s", ById(1))}, {"0:x", "1:s[0]"}, {}},
      {"aggregation of an unknown provider id", {}, {Agg(2, "s", ById(9)), Src(1, "x")}, {"0:x"},
       {unable + "0, label:'s.host' as aggregation of stats with providerId=9"}},
      {"first stat of a provider id wins", {}, {Src(5, "x"), Src(5, "y"), Deriv(6, "d", {ById(5)})},
       {"0:x", "1:y", "2:d[0]"}, {}},
      {"a skipped stat cannot be named", {}, {Deriv(1, "d", {ById(7)}), Deriv(2, "e", {ById(1)})}, {},
       {unable + "0, label:'d.host' as derivative from stat with id=7",
        unable + "0, label:'e.host' as derivative from stat with id=1"}},
      {"derivative without sources", {}, {Deriv(1, "d", {ById(1)})->WithSources({}), Src(2, "y")}, {"0:y"},
       {"Attempt to register derivate stat: id=0, label'd.host' with empty sources"}},
      {"aggregation with two sources", {}, {Src(1, "x"), Agg(2, "s", ById(1))->WithSources({ById(1), ById(1)})},
       {"0:x"}, {"Attempt to register aggregation stat: id=1, label's.host' with 2 number of sources"}},
      {"labels of one call are not compared", {}, {Src(5, "dup"), Src(6, "dup")}, {"0:dup", "1:dup"}, {}},
  };
  for (const auto& c : cases) {
    LogCapture log;
    StatsRegistryRef reg = CreateRegistry(log.logger);
    StatInfoList infos;
    StatsRegistryItemRef first = Register(reg, c.first), second = Register(reg, c.second, &infos);
    ASSERT_TRUE(second) << c.what;
    EXPECT_EQ(Names(infos), c.want) << c.what;
    EXPECT_EQ(Catalogue(reg, 0).size(), c.first.size() + c.want.size()) << c.what;
    EXPECT_EQ(log.Messages("error"), c.errors) << c.what;
  }
  // The caller's definition is not changed by the resolution.
  const StatDefRef agg = Agg(2, "s", ById(1));
  StatsRegistryItemRef item = Register(registry, {Src(1, "x"), agg});
  EXPECT_EQ(agg->GetSources()[0].providerId, 1);
  EXPECT_FALSE(agg->GetSources()[0].info);
}

TEST_F(Registration, KnownLabelRefusesTheWholeCallAndEmptyInputIsSkipped) {
  StatsRegistryItemRef first = Register(registry, {Src(1, "mem.free")});
  StatInfoList infos;
  EXPECT_FALSE(Register(registry, {Src(2, "mem.used"), Src(3, "mem.free")}, &infos));
  EXPECT_TRUE(infos.empty());
  EXPECT_EQ(capture.Count("error", "Stat 'mem.free.host' already registered"), 1u);
  StatsRegistryItemRef none;
  registry->Register({Src(1, "a")}, GetStatValuesHandlerRef(), infos, none);
  EXPECT_FALSE(none) << "no handler: nothing registered";
  // Nothing of the refused calls was kept: neither an id nor a label.
  StatsRegistryItemRef next = Register(registry, {Src(2, "mem.used"), StatDefRef(), Src(3, "a")}, &infos);
  EXPECT_EQ(Names(infos), (std::vector<std::string>{"1:mem.used", "2:a"}));
  EXPECT_EQ(Catalogue(registry), (std::vector<std::string>{"0:mem.free", "1:mem.used", "2:a"}));
}

TEST_F(Registration, HandlersOfOneNameShareTheFirstHandlerObject) {
  Provide("P1", {Src(1, "one")}, "shared");
  Provide("P2", {Src(2, "two")}, "shared");
  StatInstanceValueList values;
  registry->GetStatValues({MakeStatInstance(1, {}), MakeStatInstance(0, {})}, values);
  EXPECT_EQ(calls, (std::vector<std::string>{"P1:[1(),0()]"})) << "one call through P1's handler";
}

TEST_F(Registration, UnregisterRemovesStatsOnceAndIdsAreNotReused) {
  StatsRegistryItemRef item = Register(registry, {Src(1, "a"), Src(2, "b")});
  item->Unregister();
  EXPECT_TRUE(Catalogue(registry).empty());
  EXPECT_NO_THROW(item->Unregister());
  StatsRegistryItemRef again = Register(registry, {Src(1, "a"), Src(2, "b")});
  EXPECT_EQ(Catalogue(registry), (std::vector<std::string>{"2:a", "3:b"}));
  again.Reset();  // releasing the handle unregisters as well
  StatInfoRef info;
  EXPECT_FALSE(registry->GetStatInfo(2, info));
  StatsRegistryItemRef unknown(
      new Registry::RegistryImpl::RegistryItemImpl(99, Kestrix::RefCast<Registry::RegistryImpl>(registry)));
  EXPECT_THROW(unknown->Unregister(), Kestrix::NotFoundException);
}

TEST_F(Registration, GetStatInfosSinceReturnsExactlyTheLaterGroups) {
  Kestrix::System::TestClock clock(1, 1000);
  Kestrix::System::ScopedTestClock installed(clock);
  StatsRegistryItemRef g0 = Register(registry, {Src(1, "a"), Src(2, "b")});  // time 1000
  clock.SetUtc(2000);
  StatsRegistryItemRef g1 = Register(registry, {Src(3, "c")}), empty = Register(registry, {});  // time 2000, 2001
  StatInfoList infos;
  EXPECT_EQ(registry->GetStatInfos(infos, 0), 2001u) << "an empty group is there, with its time";
  EXPECT_EQ(Catalogue(registry, 999), (std::vector<std::string>{"0:a", "1:b", "2:c"}));
  EXPECT_EQ(Catalogue(registry, 1000), (std::vector<std::string>{"2:c"}));
  EXPECT_TRUE(Catalogue(registry, 2000).empty());
  // Registered in the same microsecond, or after the clock stepped back: still
  // later than the time returned before.
  StatsRegistryItemRef g2 = Register(registry, {Src(4, "d")});
  clock.SetUtc(500);
  StatsRegistryItemRef g3 = Register(registry, {Src(5, "e")});
  EXPECT_EQ(Catalogue(registry, 2001), (std::vector<std::string>{"3:d", "4:e"}));
  g1->Unregister();
  StatInfoList appended = {infos[0]};
  EXPECT_EQ(registry->GetStatInfos(appended, 0), 2003u);
  EXPECT_EQ(Names(appended), (std::vector<std::string>{"0:a", "0:a", "1:b", "3:d", "4:e"}));
}

TEST_F(Registration, RegisterExistingKeepsInfosAndNeverReusesTheirIds) {
  StatsRegistryRef source = CreateRegistry(capture.logger);
  StatInfoList original;
  StatsRegistryItemRef sourceItem = Register(source, {Src(1, "a"), Src(2, "b"), Src(3, "c")}, &original);
  StatsRegistryItemRef item, refused, partial;
  registry->RegisterExisting({original[0], original[2]}, QuietHandler("h"), item);
  StatInfoRef got;
  ASSERT_TRUE(registry->GetStatInfo(2, got));
  EXPECT_EQ(got, original[2]) << "recorded unchanged";
  StatsRegistryItemRef fresh = Register(registry, {Src(9, "z")});
  registry->RegisterExisting({original[1], original[0]}, QuietHandler("h"), refused);
  EXPECT_FALSE(refused) << "label a is registered";
  // A live id is skipped, the rest recorded.
  registry->RegisterExisting({StatInfoRef(new StatInfo(3, Src(8, "other"))), original[1]}, QuietHandler("h"), partial);
  EXPECT_EQ(Catalogue(registry), (std::vector<std::string>{"0:a", "2:c", "3:z", "1:b"}));
}

}  // namespace
}  // namespace RegistryTest
