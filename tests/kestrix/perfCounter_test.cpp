#include "kestrix/perfCounter.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

using Kestrix::PerfCounter::GetCounterRegistry;
using Kestrix::PerfCounter::MeterAccumulator;

TEST(PerfCounterTest, MeterKeepsCountSumMinimumMaximumAndLast) {
  auto meter = Kestrix::MakeRef<MeterAccumulator>("/t/m");
  auto s = meter->Read();
  EXPECT_EQ(s.count, 0u);
  EXPECT_EQ(s.minimum, 0);
  EXPECT_EQ(s.maximum, 0);
  for (int64_t v : {5, -3, 10, 7}) meter->Record(v);
  s = meter->Read();
  EXPECT_EQ(s.count, 4u);
  EXPECT_EQ(s.sum, 19);
  EXPECT_EQ(s.minimum, -3);
  EXPECT_EQ(s.maximum, 10);
  EXPECT_EQ(s.last, 7);
}

TEST(PerfCounterTest, RegistryFindsMetersByPath) {
  auto& registry = GetCounterRegistry();
  auto a = Kestrix::MakeRef<MeterAccumulator>("/qel/test/a");
  auto b = Kestrix::MakeRef<MeterAccumulator>("/qel/test/b");
  EXPECT_TRUE(registry.Register(b));
  EXPECT_TRUE(registry.Register(a));
  EXPECT_FALSE(registry.Register(Kestrix::MakeRef<MeterAccumulator>("/qel/test/a"))) << "path taken";
  a->Record(4);
  EXPECT_EQ(registry.Find("/qel/test/a"), a);
  EXPECT_EQ(registry.Find("/qel/test/a")->Read().sum, 4);
  EXPECT_TRUE(registry.Unregister("/qel/test/a"));
  EXPECT_FALSE(registry.Unregister("/qel/test/a"));
  EXPECT_FALSE(registry.Find("/qel/test/a"));
  EXPECT_TRUE(registry.Unregister("/qel/test/b"));
}

TEST(PerfCounterTest, ConcurrentRecordsAreAllCounted) {
  auto meter = Kestrix::MakeRef<MeterAccumulator>("/t/c");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int64_t i = 1; i <= 10000; ++i) meter->Record(i);
    });
  }
  for (auto& th : threads) th.join();
  const auto s = meter->Read();
  EXPECT_EQ(s.count, 40000u);
  EXPECT_EQ(s.sum, 4 * 50005000);
  EXPECT_EQ(s.minimum, 1);
  EXPECT_EQ(s.maximum, 10000);
}

}  // namespace
