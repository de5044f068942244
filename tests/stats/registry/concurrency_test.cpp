#include <gtest/gtest.h>

#include <atomic>

#include "registryTestSupport.h"

namespace RegistryTest {
namespace {

// Two collecting threads, one thread that registers and unregisters, and one
// that reads the catalogue, all on one registry; with parallel collection the
// stable providers report into one list from pool threads at once.
void RunConcurrently(const char* parallel) {
  ScopedParallelCollect setting(parallel);
  LogCapture capture;
  StatsRegistryRef registry = CreateRegistry(capture.Logger("Q", Kestrix::Service::LOG_WARNING));
  // Three stable providers with 4 stats of 5 instances each.
  std::vector<TestProviderRef> stable;
  StatInstanceList request;
  for (int p = 0; p < 3; ++p) {
    StatDefList defs;
    for (int s = 0; s < 4; ++s) defs.push_back(Src(s, "p" + std::to_string(p) + ".s" + std::to_string(s), {Attr("i", 1, true)}));
    stable.emplace_back(new TestProvider("S", defs));
    stable.back()->RegisterStats(registry);
    for (const auto& entry : stable.back()->registryToLocal) {
      for (int i = 0; i < 5; ++i) request.push_back(MakeStatInstance(entry.first, {std::to_string(i)}));
    }
  }
  TestProviderRef churn(new TestProvider("C", {Src(0, "churn.a"), Src(1, "churn.b")}));
  constexpr int kPasses = 60;
  std::atomic<int> faults{0};
  TestSupport::RunThreads(4, [&](int role) {
    for (int pass = 0; pass < kPasses; ++pass) {
      StatInstanceValueList values;
      StatInfoList infos;
      StatInfoRef info;
      if (role < 2) {  // collectors
        registry->GetStatValues(request, values);
        faults += values.size() != request.size();
      } else if (role == 2) {  // churn
        churn->RegisterStats(registry);
        churn->UnregisterStats();
      } else {  // catalogue reader
        registry->GetStatInfos(infos, 0);
        faults += (infos.size() != 12 && infos.size() != 14) || !registry->GetStatInfo(11, info);
      }
    }
  });
  EXPECT_EQ(faults.load(), 0) << "short value lists or catalogues, parallelCollect " << parallel;
  EXPECT_EQ(capture.Text(), "") << "no warning or error";
  // The churning provider got fresh ids every round: 12 + 2 per round.
  churn->RegisterStats(registry);
  EXPECT_EQ(churn->IdOf(0), 12 + 2 * kPasses) << "parallelCollect " << parallel;
  churn->UnregisterStats();
  for (auto& p : stable) p->UnregisterStats();
  StatInfoList infos;
  registry->GetStatInfos(infos, 0);
  EXPECT_TRUE(infos.empty());
}

TEST(RegistryConcurrency, SerialCollectionsBesideRegistrations) { RunConcurrently("false"); }
TEST(RegistryConcurrency, ParallelCollectionsBesideRegistrations) { RunConcurrently("true"); }

}  // namespace
}  // namespace RegistryTest
