#include "kestrix/time.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "kestrix/exception.h"

namespace {

using namespace Kestrix::System;

TEST(DateTimeTest, PrintsUtcWithMicroseconds) {
  const std::pair<uint64_t, std::string> cases[] = {
      {0, "1970-01-01T00:00:00.000000Z"},
      {951782400000000, "2000-02-29T00:00:00.000000Z"},   // leap day
      {1767225599999999, "2025-12-31T23:59:59.999999Z"},  // 2026-01-01 is 1767225600 s
  };
  for (const auto& [utc, want] : cases) EXPECT_EQ(Kestrix::MessageFormatter::ASPrint("%1", DateTimeFromUtc(utc)), want);
}

TEST(TestClockTest, EveryClockReadGoesThroughTheInstalledClock) {
  TestClock clock(1000000000, 1700000000000000);
  {
    ScopedTestClock scoped(clock);
    EXPECT_EQ(Get100NsTime(), 10000000000u);
    clock.Advance(2500);
    EXPECT_EQ(GetMonotonicTime(), 1000002500u);
    EXPECT_EQ(GetUtcDateTime().GetUtcTime(), 1700000000002500u);
    clock.SetUtc(5);  // a wall-clock step leaves monotonic time alone, and the other way round
    clock.SetMonotonic(2000000000);
    EXPECT_EQ(GetUtcDateTime().GetUtcTime(), 5u);
    EXPECT_EQ(GetMonotonicTime(), 2000000000u);
    EXPECT_THROW(clock.SetMonotonic(1999999999), Kestrix::InvalidArgumentException);
    clock.Advance(UINT64_MAX);
    EXPECT_EQ(GetMonotonicTime(), UINT64_MAX) << "saturates";
    // CPU time stays real under a test clock.
    int64_t user = -1, sys = -1;
    for (volatile uint64_t spin = 0; user + sys <= 0; ++spin) GetCpuTime(user, sys);
    EXPECT_GE(std::min(user, sys), 0);
  }
  EXPECT_EQ(GetClockSource(), nullptr);
  EXPECT_GT(GetUtcDateTime().GetUtcTime(), 1700000000000000u) << "real time is after 2023";
}

}  // namespace
