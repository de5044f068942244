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

TEST(ProcParsersTest, MeminfoYieldsEveryWellFormedLineByKey) {
  MeminfoCursor cursor(
      "MemTotal:  100 kB\nHugePages_Total:   3\nbad line\nActive(anon): 12x kB\nZswap: 0 kB");
  std::vector<std::string> got;
  MeminfoLine line;
  while (cursor.Next(line))
    got.push_back(std::string(line.key) + "=" + std::to_string(line.value) + std::string(line.unit));
  EXPECT_EQ(got, (std::vector<std::string>{"MemTotal=100kB", "HugePages_Total=3", "Zswap=0kB"}));
  EXPECT_EQ(cursor.SkippedLines(), 2u);
}

TEST(ProcParsersTest, StatDispatchesOnFirstToken) {
  const std::string intr = "intr " + std::string(20000, '1');
  const std::string text = "cpu  1 2 3 4 5 6 7 8 9 10\ncpu3 10 20 30 40 50 60 70 80\ncpu1 1 2\n" + intr +
                           "\nbtime 1600000000\nctxt 5\ncpu2 1 2 3 4 5 6 7 8";
  StatCursor cursor(text);
  StatLine line;
  ASSERT_TRUE(cursor.Next(line));
  EXPECT_EQ(line.kind, StatLine::CpuTotal);
  EXPECT_EQ(line.ticks[7], 8u);
  ASSERT_TRUE(cursor.Next(line));
  EXPECT_EQ(line.kind, StatLine::Cpu);
  EXPECT_EQ(line.cpu, 3u);
  EXPECT_EQ(line.ticks[0], 10u);
  ASSERT_TRUE(cursor.Next(line));  // cpu1 has too few columns; the long intr line is one line
  EXPECT_EQ(line.kind, StatLine::BootTime);
  EXPECT_EQ(line.bootTime, 1600000000u);
  ASSERT_TRUE(cursor.Next(line));
  EXPECT_EQ(line.cpu, 2u);
  EXPECT_FALSE(cursor.Next(line));
  EXPECT_EQ(cursor.SkippedLines(), 1u);
}

TEST(ProcParsersTest, CpuinfoPairsEachProcessorWithItsFrequency) {
  CpuinfoCursor cursor(
      "cpu MHz : 1.0\nprocessor\t: 0\nmodel : x\ncpu MHz\t\t: 2394.454\nprocessor : 2\n"
      "processor : 4\ncpu MHz : 1000.000\ncpu MHz : 5.0\n");
  std::vector<std::pair<uint32_t, uint64_t>> got;
  CpuFrequency f;
  while (cursor.Next(f)) got.emplace_back(f.processor, ScaleFloat(f.mhz, 1000));
  EXPECT_EQ(got, (std::vector<std::pair<uint32_t, uint64_t>>{{0, 2394454}, {4, 1000000}}));
}

TEST(ProcParsersTest, DiskstatsAndNetDevCheckTheirColumns) {
  DiskstatsCursor disks(
      " 259 0 nvme0n1 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17\n 8 0 sda 1 2 3\n"
      " 8 1 sda1 1 2 3 4 5 6 7 8 9 10 11");
  DiskstatsLine d;
  ASSERT_TRUE(disks.Next(d));
  EXPECT_EQ(d.name, "nvme0n1");
  EXPECT_EQ(d.values[10], 11u);
  ASSERT_TRUE(disks.Next(d));
  EXPECT_EQ(d.name, "sda1");
  EXPECT_FALSE(disks.Next(d));
  EXPECT_EQ(disks.SkippedLines(), 1u);

  NetDevCursor nets("h1\nh2\n  eth0:1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16\nx: 1\n"
                    "br-lan.100: 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 99\n");
  NetDevLine n;
  ASSERT_TRUE(nets.Next(n));
  EXPECT_EQ(n.name, "eth0");
  EXPECT_EQ(n.values[0], 1u);
  ASSERT_TRUE(nets.Next(n));
  EXPECT_EQ(n.name, "br-lan.100");
  EXPECT_EQ(n.values[15], 99u);
  EXPECT_FALSE(nets.Next(n));
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
