#include "apps/tallywick/persistedStat.h"

#include <gtest/gtest.h>

#include <limits>

namespace Tallywick {
namespace {

using Stats::InvalidValue;
using Stats::StatValue;

PersistedStatRef Sampled(const std::string& name, uint64_t timestamp, StatValue value) {
  auto stat = Kestrix::MakeRef<PersistedStat>(name, name + ".host", ValueKindReal, "", 1);
  stat->SetSample(timestamp, value);
  return stat;
}

TEST(RationalPersistedStatTest, SumsNumeratorsOverDenominators) {
  const int64_t big = std::numeric_limits<int64_t>::max();
  struct Case {
    const char* what;
    std::vector<StatValue> numerators, denominators;
    StatValue want;
    uint64_t lastPartTime = 100;  // the last denominator's, or numerator's without denominators
  } cases[] = {
      {"30 + 10 over 4", {StatValue(30), StatValue(10)}, {StatValue(4)}, StatValue(10)},
      {"150 + 50 over 4 cores", {StatValue(150), StatValue(50)}, {StatValue(4)}, StatValue(50)},
      {"zero denominator", {StatValue(30), StatValue(10)}, {StatValue(0)}, InvalidValue},
      {"invalid numerator", {StatValue(30), InvalidValue}, {StatValue(4)}, InvalidValue},
      {"invalid denominator", {StatValue(30)}, {StatValue(4), InvalidValue}, InvalidValue},
      {"no denominators", {StatValue(1, 2), StatValue(1, 3)}, {}, StatValue(5, 6)},
      {"denominators summed", {StatValue(9)}, {StatValue(1), StatValue(2)}, StatValue(3)},
      {"reduced quotient", {StatValue(3)}, {StatValue(6)}, StatValue(1, 2)},
      {"numerator sum overflows", {StatValue(big), StatValue(1)}, {StatValue(1)}, InvalidValue},
      {"no numerators", {}, {StatValue(1)}, InvalidValue},
      // A part that got no value in the latest pass keeps an older sample.
      {"stale numerator", {StatValue(30), StatValue(10)}, {}, InvalidValue, 99},
      {"stale denominator", {StatValue(30)}, {StatValue(2), StatValue(2)}, InvalidValue, 99},
  };
  for (const auto& c : cases) {
    RationalPersistedStat r("cpu.util", ValueKindReal, "", 3);
    const size_t parts = c.numerators.size() + c.denominators.size();
    size_t part = 0;
    auto time = [&] { return ++part == parts ? c.lastPartTime : 100u; };
    for (const auto& v : c.numerators) r.AddNumerator(Sampled("n", time(), v));
    for (const auto& v : c.denominators) r.AddDenominator(Sampled("d", time(), v));
    const StatValue got = r.GetValue();
    EXPECT_TRUE(got == c.want && Stats::IsInvalid(got) == Stats::IsInvalid(c.want))
        << c.what << ": got " << got.numerator() << "/" << got.denominator();
    EXPECT_EQ(r.GetTimestamp(), c.numerators.empty() ? 0u : 100u) << c.what << ": first numerator's timestamp";
  }
}

}  // namespace
}  // namespace Tallywick
