#include <gtest/gtest.h>

#include <cstdio>
#include <regex>

#include "registryTestSupport.h"
#include "stats/registry/statsRegistryImpl.h"

namespace RegistryTest {
namespace {

/// The registry's logger name, built here from its address.
std::string RegistryLoggerName(const std::string& parent, const StatsRegistryRef& registry) {
  char hex[32];
  std::snprintf(hex, sizeof hex, "0x%llx",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(dynamic_cast<const void*>(registry.Get()))));
  const std::string field = hex;
  return (parent.empty() ? "" : parent + ".") + "StatsRegistry(" + std::string(16 - field.size(), '0') + field + ")";
}

TEST(RegistryLog, RegistrationLinesNameTheRegistry) {
  LogCapture capture;
  StatsRegistryRef registry = CreateRegistry(capture.logger);
  StatsRegistryItemRef item = Register(registry, {Src(7, "cpu.used.user", {Attr("cpu", 7, true)})}), existing;
  registry->RegisterExisting({StatInfoRef(new StatInfo(5, Src(8, "mem.free")))}, QuietHandler("h"), existing);
  std::vector<std::string> got;
  for (const auto& l : capture.Lines()) got.push_back(l.level + " " + l.logger + ": " + l.message);
  const std::string name = RegistryLoggerName("T", registry);
  EXPECT_EQ(got, (std::vector<std::string>{
                     "verbose " + name + ": Created",
                     "verbose " + name + ": Registered stat: registryId=0/providerId=7/label='cpu.used.user.pCPU' : "
                                         "0->cpu.used.user(cpu|*:pCPU)",
                     "verbose " + name + ": Registered stat: existing registryId=5/providerId=8/label='mem.free.host' "
                                         ": 5->mem.free()"}));
  auto orphan = Kestrix::RefCast<Registry::RegistryImpl>(CreateRegistry(Kestrix::Service::LoggerRef()));
  ASSERT_TRUE(orphan);
  EXPECT_EQ(orphan->GetLogger()->GetName(), RegistryLoggerName("", StatsRegistryRef(orphan.Get())))
      << "without a parent, below the default logger";
}

TEST(RegistryLog, ParallelRetrievalLinesNameTheRetriever) {
  LogCapture capture;
  StatsRegistryRef registry = CreateRegistry(capture.logger);
  TestProviderRef a(new TestProvider("A", {Src(1, "a")})), b(new TestProvider("B", {Src(2, "b")}));
  a->RegisterStats(registry);
  b->RegisterStats(registry);
  {
    ScopedParallelCollect on("true");
    StatInstanceValueList values;
    registry->GetStatValues({MakeStatInstance(0, {}), MakeStatInstance(1, {})}, values);
  }
  a->UnregisterStats();
  b->UnregisterStats();
  // "<registry logger>.Retriever(" + 16 characters: '0' fill, "0x", hex digits + ")".
  const std::regex retriever(std::regex_replace(RegistryLoggerName("T", registry), std::regex(R"([().])"), R"(\$&)") +
                             R"(\.Retriever\((?=.{16}\)$)0*0x[0-9a-f]+\))");
  std::vector<std::string> got;
  for (const auto& l : capture.Lines()) {
    const bool again = got.size() > 1 && l.message.rfind("Waiting", 0) == 0;
    if (std::regex_match(l.logger, retriever) && !again) got.push_back(l.level + " " + l.message);
  }
  // The first wait happens before any worker can count down, so it reports 2;
  // a spurious wake-up may repeat it.
  EXPECT_EQ(got, (std::vector<std::string>{
                     "verbose Created", "trivia Waiting for get stats value call from 2 providers",
                     "info got stat values from all providers [count=0], total stats[2]",
                     "trivia Finish retrieving stat values from all providers [count=0], total stats[2]"}));
}

}  // namespace
}  // namespace RegistryTest
