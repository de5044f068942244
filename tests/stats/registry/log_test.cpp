#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

#include "registryTestSupport.h"
#include "stats/registry/statsRegistryImpl.h"

namespace RegistryTest {
namespace {

/// The registry's logger name, built here from its address.
std::string RegistryLoggerName(const std::string& parent, const StatsRegistryRef& registry) {
  char hex[32];
  std::snprintf(hex, sizeof hex, "0x%llx",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(dynamic_cast<const void*>(registry.Get()))));
  std::string field = hex;
  while (field.size() < 16) field = "0" + field;
  return (parent.empty() ? "" : parent + ".") + "StatsRegistry(" + field + ")";
}

const StatDefRef kCpu = Src(7, "cpu.used.user", {Attr("cpu", 7, true)});

// Each case triggers one line on a fresh registry; the texts are the
// operator-facing ones, with their placeholders filled in by hand.
TEST(RegistryLog, EveryLineIsWrittenWithItsTextAndLevel) {
  using Trigger = std::function<void(const StatsRegistryRef&)>;
  struct Case {
    const char* level;
    const char* message;
    Trigger trigger;
  };
  const Case cases[] = {
      {"verbose", "Created", [](const StatsRegistryRef&) {}},
      {"verbose", "Registered stat: registryId=0/providerId=7/label='cpu.used.user.pCPU' : 0->cpu.used.user(cpu|*:pCPU)",
       [](const StatsRegistryRef& r) { Register(r, {kCpu}); }},
      {"verbose",
       "Registered stat: existing registryId=5/providerId=7/label='cpu.used.user.pCPU' : 5->cpu.used.user(cpu|*:pCPU)",
       [](const StatsRegistryRef& r) {
         StatsRegistryItemRef item;
         r->RegisterExisting({StatInfoRef(new Stats::StatInfo(5, kCpu))}, QuietHandler("h"), item);
       }},
      {"error", "Stat 'mem.free.host' already registered",
       [](const StatsRegistryRef& r) { auto item = Register(r, {Src(1, "mem.free")}), refused = Register(r, {Src(2, "mem.free")}); }},
      {"error", "Attempt to register derivate stat: id=1, label'mem.rate.host' with empty sources",
       [](const StatsRegistryRef& r) {
         Register(r, {Src(1, "mem.free"), Deriv(2, "mem.rate", {ById(1)})->WithSources({})});
       }},
      {"error", "Attempt to register aggregation stat: id=1, label'mem.sum.host' with 2 number of sources",
       [](const StatsRegistryRef& r) {
         Register(r, {Src(1, "mem.free"), Agg(2, "mem.sum", ById(1))->WithSources({ById(1), ById(1)})});
       }},
      {"error", "Unable to register stat: id=1, label:'mem.rate.host' as derivative of stat with label:'mem.none.host'",
       [](const StatsRegistryRef& r) {
         Register(r, {Src(1, "mem.free"), Deriv(2, "mem.rate", {ByLabel("mem.none.host")})});
       }},
      {"error", "Unable to register stat: id=1, label:'mem.rate.host' as derivative from stat with id=9",
       [](const StatsRegistryRef& r) { Register(r, {Src(1, "mem.free"), Deriv(2, "mem.rate", {ById(9)})}); }},
      {"error",
       "Unable to register stat: id=1, label:'mem.sum.host' as aggregation of stats with label:'mem.none.host'",
       [](const StatsRegistryRef& r) {
         Register(r, {Src(1, "mem.free"), Agg(2, "mem.sum", ByLabel("mem.none.host"))});
       }},
      {"error", "Unable to register stat: id=1, label:'mem.sum.host' as aggregation of stats with providerId=9",
       [](const StatsRegistryRef& r) { Register(r, {Src(1, "mem.free"), Agg(2, "mem.sum", ById(9))}); }},
      {"warning", "failed to find stat 42",
       [](const StatsRegistryRef& r) { Collect(r, {Stats::MakeStatInstance(42, {})}); }},
      {"warning", "expect attribute count 1, got 0",
       [](const StatsRegistryRef& r) { auto item = Register(r, {kCpu}); Collect(r, {Stats::MakeStatInstance(0, {})}); }},
      {"warning", "wildcard not supported for stat (0:1).",
       [](const StatsRegistryRef& r) {
         auto item = Register(r, {Src(1, "disk.io", {Attr("disk", 22, true), Attr("part", 22, false)})});
         Collect(r, {Stats::MakeStatInstance(0, {"*", "*"})});
       }},
  };
  for (const auto& c : cases) {
    LogCapture capture;
    StatsRegistryRef registry = Stats::CreateRegistry(capture.Logger());
    c.trigger(registry);
    const std::string name = RegistryLoggerName("T", registry);
    size_t found = 0;
    for (const auto& l : capture.Lines()) {
      if (l.message != c.message) continue;
      ++found;
      EXPECT_EQ(l.level, c.level) << c.message;
      EXPECT_EQ(l.logger, name) << c.message;
    }
    EXPECT_EQ(found, 1u) << c.message;
  }
}

TEST(RegistryLog, ParallelRetrievalLinesNameTheRetriever) {
  LogCapture capture;
  StatsRegistryRef registry = Stats::CreateRegistry(capture.Logger());
  TestProviderRef a(new TestProvider("A", {Src(1, "a")}));
  TestProviderRef b(new TestProvider("B", {Src(2, "b")}));
  a->RegisterStats(registry);
  b->RegisterStats(registry);
  {
    ScopedParallelCollect on("true");
    Collect(registry, {Stats::MakeStatInstance(0, {}), Stats::MakeStatInstance(1, {})});
  }
  a->UnregisterStats();
  b->UnregisterStats();

  // "<registry logger>.Retriever(" + 16 characters: '0' fill, "0x", hex digits + ")".
  const std::string prefix = RegistryLoggerName("T", registry) + ".Retriever(";
  auto isRetriever = [&prefix](const std::string& logger) {
    if (logger.size() != prefix.size() + 17 || logger.compare(0, prefix.size(), prefix) != 0) return false;
    if (logger.back() != ')') return false;
    const std::string field = logger.substr(prefix.size(), 16);
    const size_t x = field.find("0x");
    if (x == std::string::npos || field.find_first_not_of('0') != x + 1) return false;
    return field.size() > x + 2 && field.find_first_not_of("0123456789abcdef", x + 2) == std::string::npos;
  };
  struct Want {
    const char* level;
    const char* message;
  } wants[] = {
      {"verbose", "Created"},
      {"trivia", "Waiting for get stats value call from 2 providers"},
      {"info", "got stat values from all providers [count=0], total stats[2]"},
      {"trivia", "Finish retrieving stat values from all providers [count=0], total stats[2]"},
  };
  std::vector<LogLine> lines;
  for (const auto& l : capture.Lines()) {
    if (isRetriever(l.logger)) lines.push_back(l);
  }
  // The first wait happens before any worker can count down, so it reports 2.
  size_t next = 0;
  for (const auto& w : wants) {
    while (next < lines.size() && lines[next].message != w.message) ++next;
    ASSERT_LT(next, lines.size()) << "missing or out of order: " << w.message;
    EXPECT_EQ(lines[next].level, w.level) << w.message;
    ++next;
  }
  EXPECT_EQ(lines.at(1).message, "Waiting for get stats value call from 2 providers");
}

TEST(RegistryLog, RegistryWithoutParentLogsUnderTheDefaultLogger) {
  StatsRegistryRef registry = Stats::CreateRegistry(Kestrix::Service::LoggerRef());
  auto impl = Kestrix::RefCast<Stats::Registry::RegistryImpl>(registry);
  ASSERT_TRUE(impl);
  EXPECT_EQ(impl->GetLogger()->GetName(), RegistryLoggerName("", registry));
}

}  // namespace
}  // namespace RegistryTest
