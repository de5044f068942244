#include "stats/providers/procParsers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "stats/providers/procFileReader.h"

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
  };
  for (const auto& c : cases) {
    uint64_t v = 99;
    EXPECT_EQ(ParseUnsigned(c.text, v), c.ok) << "'" << c.text << "'";
    EXPECT_EQ(v, c.ok ? c.want : 99) << "'" << c.text << "'";
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

TEST(ProcParsersTest, PidStatCommandNameRunsToTheLastParenthesis) {
  PidStat s;
  ASSERT_TRUE(ParsePidStat(
      "42 ((my daemon) (x)) R 0 42 42 0 -1 4194560 100 0 0 0 7 3 0 0 20 0 4 0 900 4096 12 0\n", s));
  EXPECT_EQ(s.comm, "((my daemon) (x))");
  EXPECT_EQ(s.state, 'R');
  EXPECT_EQ(s.utime, 7u);
  EXPECT_EQ(s.stime, 3u);
  EXPECT_EQ(s.threads, 4u);
  EXPECT_EQ(s.startTime, 900u);
  EXPECT_EQ(s.vsize, 4096u);
  EXPECT_EQ(s.rss, 12u);
  // Cut short after utime: the later fields stay absent.
  ASSERT_TRUE(ParsePidStat("7 (a) S 1 1 1 0 -1 0 0 0 0 0 5", s));
  EXPECT_EQ(s.utime, 5u);
  EXPECT_EQ(s.stime, kAbsent);
  for (const char* bad : {"", "400 (broken\n", "x (a) S", "1 (a) ", "1 (a) SS 1"})
    EXPECT_FALSE(ParsePidStat(bad, s)) << bad;
}

TEST(ProcParsersTest, PidStatmAndCmdline) {
  PidStatm m;
  ASSERT_TRUE(ParsePidStatm("41250 3000 2000 300 0 1500 0\n", m));
  EXPECT_EQ(m.size, 41250u);
  EXPECT_EQ(m.shared, 2000u);
  EXPECT_EQ(m.data, 1500u);
  ASSERT_TRUE(ParsePidStatm("10 20", m));
  EXPECT_EQ(m.resident, 20u);
  EXPECT_EQ(m.text, kAbsent);
  EXPECT_FALSE(ParsePidStatm("garbage", m));

  std::string out = "stale";
  CmdlineToText(std::string("a\0b\0c\0", 6), out);
  EXPECT_EQ(out, "a b c");
  CmdlineToText(std::string("\0 x\0\0y \0", 8), out);
  EXPECT_EQ(out, "x  y");
  CmdlineToText("", out);
  EXPECT_EQ(out, "");
}

TEST(ProcFileReaderTest, ReadsWholeFilesRelativeToItsRoot) {
  ProcFileReader reader(std::string(TW_FIXTURES_DIR) + "/proc/large-host");
  std::string_view text;
  ASSERT_TRUE(reader.Read("stat", text));
  EXPECT_GT(text.size(), 6000u);  // the intr line alone is several kB
  EXPECT_EQ(text.substr(0, 4), "cpu ");
  EXPECT_EQ(text.back(), '\n');
  EXPECT_FALSE(reader.Read("no-such-file", text));
  EXPECT_EQ(reader.LastError(), ENOENT);

  ProcFileReader missing("/nonexistent-root");
  EXPECT_FALSE(missing.Read("stat", text));
  EXPECT_EQ(missing.LastError(), ENOENT);
}

}  // namespace
}  // namespace Providers
}  // namespace Stats
