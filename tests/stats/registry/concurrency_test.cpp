#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "registryTestSupport.h"

namespace RegistryTest {
namespace {

// Several collecting threads, one thread that registers and unregisters, and
// one that reads the catalogue, all on one registry; with parallel collection
// the stable providers report into one list from pool threads at once.
void RunConcurrently(const char* parallel) {
  ScopedParallelCollect setting(parallel);
  LogCapture capture;
  Kestrix::Service::LoggerRef quiet(
      new Kestrix::Service::Logger("Q", capture.Logger()->GetSink(), Kestrix::Service::LOG_WARNING));
  StatsRegistryRef registry = Stats::CreateRegistry(quiet);

  // Three stable providers with 4 stats of 5 instances each.
  std::vector<TestProviderRef> stable;
  StatInstanceList request;
  for (int p = 0; p < 3; ++p) {
    StatDefList defs;
    for (int s = 0; s < 4; ++s) defs.push_back(Src(s, "p" + std::to_string(p) + ".s" + std::to_string(s), {Attr("i", 1, true)}));
    stable.emplace_back(new TestProvider("S", defs));
    stable.back()->RegisterStats(registry);
    for (const auto& entry : stable.back()->registryToLocal) {
      for (int i = 0; i < 5; ++i) request.push_back(Stats::MakeStatInstance(entry.first, {std::to_string(i)}));
    }
  }
  TestProviderRef churn(new TestProvider("C", {Src(0, "churn.a"), Src(1, "churn.b")}));

  constexpr int kPasses = 60;
  std::atomic<int> wrongCounts{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < 2; ++c) {
    threads.emplace_back([&] {
      for (int pass = 0; pass < kPasses; ++pass) {
        StatInstanceValueList values;
        registry->GetStatValues(request, values);
        if (values.size() != request.size()) ++wrongCounts;
      }
    });
  }
  threads.emplace_back([&] {
    for (int round = 0; round < kPasses; ++round) {
      churn->RegisterStats(registry);
      churn->UnregisterStats();
    }
  });
  std::atomic<int> shortCatalogues{0};
  threads.emplace_back([&] {
    for (int round = 0; round < kPasses; ++round) {
      StatInfoList infos;
      registry->GetStatInfos(infos, 0);
      if (infos.size() != 12 && infos.size() != 14) ++shortCatalogues;
      StatInfoRef info;
      if (!registry->GetStatInfo(11, info)) ++shortCatalogues;
    }
  });
  for (auto& t : threads) t.join();

  EXPECT_EQ(wrongCounts.load(), 0) << "parallelCollect " << parallel;
  EXPECT_EQ(shortCatalogues.load(), 0) << "parallelCollect " << parallel;
  StatInfoList infos;
  registry->GetStatInfos(infos, 0);
  EXPECT_EQ(infos.size(), 12u);
  // The churning provider got fresh ids every round: 12 + 2 per round.
  churn->RegisterStats(registry);
  EXPECT_EQ(churn->IdOf(0), 12 + 2 * kPasses) << "parallelCollect " << parallel;
  churn->UnregisterStats();
  for (auto& p : stable) p->UnregisterStats();
}

TEST(RegistryConcurrency, SerialCollectionsBesideRegistrations) { RunConcurrently("false"); }
TEST(RegistryConcurrency, ParallelCollectionsBesideRegistrations) { RunConcurrently("true"); }

}  // namespace
}  // namespace RegistryTest
