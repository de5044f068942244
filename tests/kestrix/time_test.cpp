#include "kestrix/time.h"

#include <gtest/gtest.h>

#include "kestrix/exception.h"

namespace {

using Kestrix::System::TestClock;

TEST(DateTimeTest, PrintsUtcWithMicroseconds) {
  struct Case {
    uint64_t utc;
    std::string want;
  } cases[] = {
      {0, "1970-01-01T00:00:00.000000Z"},
      {1000000123456, "1970-01-12T13:46:40.123456Z"},         // 1e6 s = 11 d 13 h 46 min 40 s
      {951782400000000, "2000-02-29T00:00:00.000000Z"},       // leap day
      {1767225599999999, "2025-12-31T23:59:59.999999Z"},      // 2026-01-01 is 1767225600 s
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Kestrix::MessageFormatter::ASPrint("%1", Kestrix::System::DateTimeFromUtc(c.utc)), c.want) << c.utc;
  }
}

TEST(TestClockTest, EveryClockReadGoesThroughTheInstalledClock) {
  TestClock clock(1000000000, 1700000000000000);
  {
    Kestrix::System::ScopedTestClock scoped(clock);
    EXPECT_EQ(Kestrix::System::GetMonotonicTime(), 1000000000u);
    EXPECT_EQ(Kestrix::System::Get100NsTime(), 10000000000u);
    EXPECT_EQ(Kestrix::System::GetUtcDateTime().GetUtcTime(), 1700000000000000u);
    clock.Advance(2500);
    EXPECT_EQ(Kestrix::System::GetMonotonicTime(), 1000002500u);
    EXPECT_EQ(Kestrix::System::GetUtcDateTime().GetUtcTime(), 1700000000002500u);
    clock.SetUtc(5);  // a wall-clock step leaves monotonic time alone
    EXPECT_EQ(Kestrix::System::GetUtcDateTime().GetUtcTime(), 5u);
    EXPECT_EQ(Kestrix::System::GetMonotonicTime(), 1000002500u);
    clock.SetMonotonic(2000000000);
    EXPECT_EQ(Kestrix::System::GetMonotonicTime(), 2000000000u);
    EXPECT_EQ(Kestrix::System::GetUtcDateTime().GetUtcTime(), 5u);
    EXPECT_THROW(clock.SetMonotonic(1999999999), Kestrix::InvalidArgumentException);
    clock.Advance(UINT64_MAX);
    EXPECT_EQ(Kestrix::System::GetMonotonicTime(), UINT64_MAX) << "saturates";
    // CPU time stays real under a test clock.
    int64_t user = -1, sys = -1;
    for (volatile uint64_t spin = 0; user + sys <= 0; ++spin) Kestrix::System::GetCpuTime(user, sys);
    EXPECT_GE(user, 0);
    EXPECT_GE(sys, 0);
  }
  EXPECT_EQ(Kestrix::System::GetClockSource(), nullptr);
  const uint64_t a = Kestrix::System::GetMonotonicTime();
  EXPECT_GE(Kestrix::System::GetMonotonicTime(), a);
  EXPECT_GT(Kestrix::System::GetUtcDateTime().GetUtcTime(), 1700000000000000u) << "real time is after 2023";
}

}  // namespace
