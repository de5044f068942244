#include "stats/providers/procParsers.h"

#include <gtest/gtest.h>

#include <string>

namespace Stats {
namespace Providers {
namespace {

TEST(ProcParsersTest, NumbersAreParsedStrictlyAloneAndAsColumns) {
  const std::pair<const char*, uint64_t> ok[] = {
      {"0", 0}, {"18446744073709551615", UINT64_MAX}, {"007", 7}, {"000000000000000000000000042", 42}};
  for (const auto& [text, want] : ok) {
    uint64_t v = 99, w = 99;
    EXPECT_TRUE(ParseUnsigned(text, v) && v == want) << text;
    const std::string line = "\t" + std::string(text) + "  5";  // the next column follows
    FieldCursor columns(line);
    EXPECT_TRUE(columns.NextUnsigned(w) && w == want && columns.NextUnsigned(w) && w == 5) << text;
  }
  for (const char* text : {"18446744073709551616", "12x", "", "-1", "+1", " 1", "99999999999999999999"}) {
    uint64_t v = 99, w = 99;
    EXPECT_FALSE(ParseUnsigned(text, v)) << "'" << text << "'";
    EXPECT_EQ(v, 99u) << "'" << text << "'";
    if (!*text || *text == ' ') continue;
    const std::string line = "\t" + std::string(text) + "  5";
    FieldCursor columns(line);
    EXPECT_FALSE(columns.NextUnsigned(w)) << text;
    EXPECT_TRUE(w == 99 && columns.NextUnsigned(w) && w == 5) << text;
  }
  int64_t s = 0;
  EXPECT_TRUE(ParseSigned("-20", s) && s == -20);
  EXPECT_FALSE(ParseSigned("-", s));
}

TEST(ProcParsersTest, FloatsScaleInSinglePrecisionTruncated) {
  const std::tuple<const char*, float, uint64_t> cases[] = {
      {"2394.454", 1000, 2394454}, {"0.57", 100, 57}, {"1.25", 100, 125},        {"0.26", 100, 26},
      {"2445.406", 1000, 2445406}, {"-0.5", 100, kAbsent}, {"1e40", 1, kAbsent}, {"nan", 1, kAbsent},
      {"inf", 1, kAbsent},         {"1.5x", 1, kAbsent},   {"", 1, kAbsent},     {"0x10", 1, kAbsent}};
  for (const auto& [text, factor, want] : cases) {
    float f = 0;
    EXPECT_EQ(ParseFloat(text, f) ? ScaleFloat(f, factor) : kAbsent, want) << text;
  }
  EXPECT_EQ(MultiplyOrAbsent(250, 10000), 2500000u);
  EXPECT_EQ(MultiplyOrAbsent(uint64_t{1} << 54, 1024), kAbsent);
  EXPECT_EQ(MultiplyOrAbsent(kAbsent, 1), kAbsent);
}

TEST(ProcParsersTest, DiskParentStripsTrailingDigitsOnly) {
  const std::pair<const char*, const char*> cases[] = {{"sda1", "sda"}, {"nvme0n1p1", "nvme0n1p"}, {"dm-0", "dm-"},
                                                       {"sda", "sda"},  {"123", "1"},              {"md127", "md"},
                                                       {"", ""}};
  for (const auto& [name, parent] : cases) EXPECT_EQ(DiskParentName(name), parent) << name;
}

}  // namespace
}  // namespace Providers
}  // namespace Stats
