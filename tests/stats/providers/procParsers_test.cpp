#include "stats/providers/procParsers.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <tuple>

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

TEST(ProcParsersTest, DecimalsScaleExactlyTruncated) {
  // 1024.002, 0.53 and 2.10 are among the values that single-precision
  // scaling turned into 1024001, 52 and 209.
  const std::tuple<const char*, unsigned, uint64_t> cases[] = {
      {"2394.454", 3, 2394454}, {"1024.002", 3, 1024002}, {"3000.007", 3, 3000007}, {"1200.5", 3, 1200500},
      {"0.53", 2, 53},          {"2.10", 2, 210},         {"1.17", 2, 117},         {"7", 2, 700},
      {"2394.4549", 3, 2394454}, {".5", 2, 50},           {"5.", 2, 500},           {"18446744073709551.614", 3, UINT64_MAX - 1},
      {"18446744073709551.616", 3, kAbsent}, {"-0.5", 2, kAbsent}, {"1e3", 0, kAbsent}, {"inf", 0, kAbsent},
      {"1.5x", 1, kAbsent},    {"", 1, kAbsent},         {".", 1, kAbsent},        {"1.2.3", 1, kAbsent},
      {"0x10", 0, kAbsent}};
  for (const auto& [text, decimals, want] : cases) {
    uint64_t v = kAbsent;
    EXPECT_EQ(ParseDecimal(text, decimals, v) ? v : kAbsent, want) << text << " with " << decimals << " decimals";
  }
  const std::string cpuinfo = "processor\t: 0\ncpu MHz\t\t: 1024.002\nprocessor\t: 1\ncpu MHz\t\t: 2596.142\n";
  CpuinfoCursor cursor(cpuinfo);
  CpuFrequency f;
  ASSERT_TRUE(cursor.Next(f));
  EXPECT_EQ(f.khz, 1024002u);
  ASSERT_TRUE(cursor.Next(f));
  EXPECT_TRUE(f.processor == 1 && f.khz == 2596142u) << f.processor << " " << f.khz;
  std::array<uint64_t, 3> loads{};
  ASSERT_TRUE(ParseLoadavg("0.53 2.10 1.17 2/118 10867\n", loads));
  EXPECT_EQ(loads, (std::array<uint64_t, 3>{53, 210, 117}));
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
