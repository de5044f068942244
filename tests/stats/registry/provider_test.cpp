#include <gtest/gtest.h>

#include "registryTestSupport.h"

namespace RegistryTest {
namespace {

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

// Providers log below the default logger, here sent to a file at trivia level.
TEST(ProviderBase, IsNamedByAddressAndRefusedRegistrationLeavesMapsEmptyAndWarnsOnce) {
  LogCapture capture;
  const auto& root = Kestrix::Service::GetDefaultLogger();
  root->GetSink()->OpenFile(capture.dir.File("log"), capture.error);
  root->SetLevel(Kestrix::Service::LOG_TRIVIA);
  StatsRegistryRef registry = CreateRegistry(Kestrix::Service::LoggerRef());
  TestProviderRef first(new TestProvider("1", {Src(1, "same")})), second(new TestProvider("2", {Src(3, "same")}));
  first->RegisterStats(registry);
  second->RegisterStats(registry);
  root->SetLevel(Kestrix::Service::LOG_INFO);
  root->GetSink()->UseStandardError();
  EXPECT_TRUE(second->registryToLocal.empty() && second->localToRegistry.empty() && second->registryToDef.empty());
  const auto* base = static_cast<StatsProviderBase*>(second.Get());
  const std::string name = "TestStatsProvider(" + std::to_string(uintptr_t(base)) + ")";
  std::vector<std::string> lines;
  for (const auto& l : capture.Lines()) {
    if (l.logger == name) lines.push_back(l.level + " " + l.message);
  }
  EXPECT_EQ(lines, (std::vector<std::string>{"verbose Creating...", "warning failed to register stats"}));
  EXPECT_NO_THROW(second->UnregisterStats()) << "no handle to release";
  first->UnregisterStats();
}

TEST_F(Provider, UnregisterStatsReleasesEveryHandleOnceAndEmptyMeansTheDefaultRegistry) {
  TestProviderRef p = Provide("P", {Src(1, "registry.test.default.only")});
  p->RegisterStats(StatsRegistryRef());
  const int64_t id = p->IdOf(1);
  StatInfoRef info;
  ASSERT_TRUE(registry->GetStatInfo(0, info) && GetDefaultRegistry()->GetStatInfo(id, info));
  EXPECT_EQ(info->GetDef()->GetName(), "registry.test.default.only");
  p->UnregisterStats();
  EXPECT_FALSE(registry->GetStatInfo(0, info) || GetDefaultRegistry()->GetStatInfo(id, info));
  EXPECT_NO_THROW(p->UnregisterStats());
  p->RegisterStats(registry);
  EXPECT_EQ(p->IdOf(1), 1) << "registering again gives new ids";
  EXPECT_NO_THROW(TestProviderRef(new TestProvider("N", {}))->UnregisterStats()) << "never registered";
}

}  // namespace
}  // namespace RegistryTest
