#include "kestrix/perfCounter.h"

#include <gtest/gtest.h>

#include "tests/kestrix/testSupport.h"

namespace {

using Kestrix::PerfCounter::MeterAccumulator;

TEST(PerfCounterTest, MeterCountsRecordsFromSeveralThreads) {
  auto meter = Kestrix::MakeRef<MeterAccumulator>("/t/m");
  auto s = meter->Read();
  EXPECT_EQ(s.count, 0u);
  EXPECT_EQ(s.minimum, 0) << "no record: no sentinel shows through";
  EXPECT_EQ(s.maximum, 0);
  TestSupport::RunThreads(4, [&](int) {
    for (int64_t i = 1; i <= 5000; ++i) meter->Record(i);
  });
  meter->Record(-3);
  s = meter->Read();
  EXPECT_EQ(s.count, 20001u);
  EXPECT_EQ(s.sum, 4 * 12502500 - 3);
  EXPECT_EQ(s.minimum, -3);
  EXPECT_EQ(s.maximum, 5000);
  EXPECT_EQ(s.last, -3);
}

TEST(PerfCounterTest, RegistryFindsMetersByPath) {
  auto& registry = Kestrix::PerfCounter::GetCounterRegistry();
  auto a = Kestrix::MakeRef<MeterAccumulator>("/qel/test/a");
  EXPECT_TRUE(registry.Register(a));
  EXPECT_FALSE(registry.Register(Kestrix::MakeRef<MeterAccumulator>("/qel/test/a"))) << "path taken";
  EXPECT_EQ(registry.Find("/qel/test/a"), a);
  EXPECT_TRUE(registry.Unregister("/qel/test/a"));
  EXPECT_FALSE(registry.Unregister("/qel/test/a"));
  EXPECT_FALSE(registry.Find("/qel/test/a"));
}

}  // namespace
