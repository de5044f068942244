#include "stats/providers/procParsers.h"

#include <gtest/gtest.h>

#include <string>


namespace Stats {
namespace Providers {
namespace {

TEST(ProcParsersTest, NumbersAreParsedStrictly) {
  struct Case {
    const char* text;
    bool ok;
    uint64_t want;
  } cases[] = {
      {"0", true, 0},           {"18446744073709551615", true, UINT64_MAX},
      {"18446744073709551616", false, 0}, {"12x", false, 0}, {"", false, 0}, {"-1", false, 0},
      {"+1", false, 0},         {" 1", false, 0},           {"007", true, 7},
      {"000000000000000000000000042", true, 42},           {"99999999999999999999", false, 0},
  };
  for (const auto& c : cases) {
    uint64_t v = 99;
    EXPECT_EQ(ParseUnsigned(c.text, v), c.ok) << "'" << c.text << "'";
    EXPECT_EQ(v, c.ok ? c.want : 99) << "'" << c.text << "'";
    if (!*c.text || *c.text == ' ') continue;
    // As a column between blanks: the same verdict, and the next column follows.
    const std::string line = "\t" + std::string(c.text) + "  5";
    FieldCursor columns(line);
    uint64_t w = 99;
    EXPECT_EQ(columns.NextUnsigned(w), c.ok) << "'" << c.text << "'";
    EXPECT_EQ(w, c.ok ? c.want : 99) << "'" << c.text << "'";
    EXPECT_TRUE(columns.NextUnsigned(w) && w == 5) << "'" << c.text << "'";
  }
  int64_t s = 0;
  EXPECT_TRUE(ParseSigned("-20", s));
  EXPECT_EQ(s, -20);
  EXPECT_FALSE(ParseSigned("-", s));
}

TEST(ProcParsersTest, FloatsScaleInSinglePrecisionTruncated) {
  struct Case {
    const char* text;
    float factor;
    uint64_t want;
  } cases[] = {
      {"2394.454", 1000, 2394454}, {"0.57", 100, 57}, {"1.25", 100, 125},
      {"0.26", 100, 26},           {"2445.406", 1000, 2445406}, {"-0.5", 100, kAbsent},
      {"1e40", 1, kAbsent},
  };
  for (const auto& c : cases) {
    float f = 0;
    const bool ok = ParseFloat(c.text, f);
    EXPECT_EQ(ok ? ScaleFloat(f, c.factor) : kAbsent, c.want) << c.text;
  }
  float f = 0;
  for (const char* bad : {"nan", "inf", "1.5x", "", "0x10"}) EXPECT_FALSE(ParseFloat(bad, f)) << bad;
  EXPECT_EQ(MultiplyOrAbsent(250, 10000), 2500000u);
  EXPECT_EQ(MultiplyOrAbsent(uint64_t{1} << 54, 1024), kAbsent);
  EXPECT_EQ(MultiplyOrAbsent(kAbsent, 1), kAbsent);
}

TEST(ProcParsersTest, DiskParentStripsTrailingDigitsOnly) {
  const std::pair<const char*, const char*> cases[] = {
      {"sda1", "sda"}, {"nvme0n1p1", "nvme0n1p"}, {"dm-0", "dm-"}, {"sda", "sda"},
      {"123", "1"},    {"md127", "md"},          {"", ""},
  };
  for (const auto& [name, parent] : cases) EXPECT_EQ(DiskParentName(name), parent) << name;
}

}  // namespace
}  // namespace Providers
}  // namespace Stats
