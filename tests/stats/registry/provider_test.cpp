#include <gtest/gtest.h>

#include "registryTestSupport.h"

namespace RegistryTest {
namespace {

std::string DecimalAddressOfBase(const TestProvider& p) {
  return std::to_string(reinterpret_cast<uintptr_t>(static_cast<const void*>(
      static_cast<const Stats::StatsProviderBase*>(&p))));
}

TEST(ProviderBase, IsNamedByPrefixAndAddressAndLogsCreating) {
  DefaultLogCapture capture;
  TestProviderRef p(new TestProvider("p", {}));
  const std::string name = "TestStatsProvider(" + DecimalAddressOfBase(*p) + ")";
  EXPECT_EQ(p->GetProviderName(), name);
  EXPECT_EQ(p->GetLogger()->GetName(), name);
  size_t creating = 0;
  for (const auto& l : capture.Lines()) {
    if (l.logger == name && l.message == "Creating...") creating += l.level == "verbose";
  }
  EXPECT_EQ(creating, 1u);
}

using Provider = ProviderFixture;

TEST_F(Provider, RegistrationFillsTheIdMapsFromTheReturnedInfos) {
  // Provider id 5 twice: the later entry wins in localToRegistry. The
  // derivative naming an unknown label is skipped and missing from every map.
  TestProviderRef p = Provide("P", {Src(5, "a"), Src(6, "b"), Src(5, "c"), Deriv(7, "d", {ByLabel("none.host")})});
  EXPECT_EQ(p->registryToLocal, (std::map<int64_t, int64_t>{{0, 5}, {1, 6}, {2, 5}}));
  EXPECT_EQ(p->localToRegistry, (std::map<int64_t, int64_t>{{5, 2}, {6, 1}}));
  ASSERT_EQ(p->registryToDef.size(), 3u);
  EXPECT_EQ(p->registryToDef.at(1)->GetName(), "b");
  EXPECT_EQ(p->registryToDef.at(2)->GetName(), "c");
}

TEST(ProviderBase, RefusedRegistrationLeavesMapsEmptyAndWarnsOnce) {
  DefaultLogCapture capture;
  StatsRegistryRef registry = Stats::CreateRegistry(Kestrix::Service::LoggerRef());
  TestProviderRef first(new TestProvider("1", {Src(1, "same")}));
  TestProviderRef second(new TestProvider("2", {Src(2, "other"), Src(3, "same")}));
  first->RegisterStats(registry);
  second->RegisterStats(registry);
  EXPECT_TRUE(second->registryToLocal.empty());
  EXPECT_TRUE(second->localToRegistry.empty());
  EXPECT_TRUE(second->registryToDef.empty());
  size_t warnings = 0;
  for (const auto& l : capture.Lines()) {
    if (l.message == "failed to register stats") {
      ++warnings;
      EXPECT_EQ(l.level, "warning");
      EXPECT_EQ(l.logger, second->GetProviderName());
    }
  }
  EXPECT_EQ(warnings, 1u);
  EXPECT_NO_THROW(second->UnregisterStats()) << "no handle to release";
  first->UnregisterStats();
}

TEST_F(Provider, UnregisterStatsReleasesEveryHandleOnce) {
  StatsRegistryRef other = Stats::CreateRegistry(capture.Logger());
  TestProviderRef p = Provide("P", {Src(1, "a")});
  p->RegisterStats(other);
  StatInfoRef info;
  ASSERT_TRUE(registry->GetStatInfo(0, info));
  ASSERT_TRUE(other->GetStatInfo(0, info));
  p->UnregisterStats();
  EXPECT_FALSE(registry->GetStatInfo(0, info));
  EXPECT_FALSE(other->GetStatInfo(0, info));
  EXPECT_NO_THROW(p->UnregisterStats());
  // Registering again works and gives new ids.
  p->RegisterStats(registry);
  EXPECT_EQ(p->IdOf(1), 1);

  TestProviderRef never(new TestProvider("N", {}));
  EXPECT_NO_THROW(never->UnregisterStats());
}

TEST(ProviderBase, EmptyRegistryMeansTheDefaultRegistry) {
  TestProviderRef p(new TestProvider("D", {Src(1, "registry.test.default.only")}));
  p->RegisterStats(StatsRegistryRef());
  const int64_t id = p->IdOf(1);
  StatInfoRef info;
  ASSERT_TRUE(Stats::GetDefaultRegistry()->GetStatInfo(id, info));
  EXPECT_EQ(info->GetDef()->GetName(), "registry.test.default.only");
  p->UnregisterStats();
  EXPECT_FALSE(Stats::GetDefaultRegistry()->GetStatInfo(id, info));
}

}  // namespace
}  // namespace RegistryTest
