#include "apps/tallywick-report/report.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "testDb.h"

namespace {

using namespace Tallywick::Report;
using TestSupport::TestDb;

CommandLine Chart(std::vector<std::string> series, std::string out = "c.svg") {
  CommandLine c;
  c.action = CommandLine::Action::Chart;
  c.series = std::move(series);
  c.out = std::move(out);
  return c;
}

TEST(BuildChartTest, RangeComesFromTheDataAndGapsFromTheInterval) {
  TestDb t;
  t.AddSeries("cpu.util", "cpu", "percent", 1);
  t.AddSeries("mem.util", "memory", "kb", 0);
  // One sample a minute for an hour, with 10:20..10:39 missing.
  for (int i = 0; i < 60; ++i) {
    if (i < 20 || i >= 40) t.AddReal("cpu.util", 36000 + 60 * i, i);
  }
  t.AddInteger("mem.util", 39000, 5);
  Database db(t.Path());
  ChartDocument d = BuildChart(db, Chart({"cpu.util", "mem.util"}));
  EXPECT_EQ(d.options.start, 36000);
  EXPECT_EQ(d.options.end, 36000 + 59 * 60);
  EXPECT_EQ(d.options.title, "cpu.util, mem.util");
  ASSERT_EQ(d.lines.size(), 2u);
  EXPECT_EQ(d.lines[0].unit, "%");
  EXPECT_EQ(d.lines[0].samples, 40);
  ASSERT_EQ(d.lines[0].segments.size(), 2u);
  EXPECT_EQ(d.lines[0].segments[0].back().t, 36000 + 19 * 60);
  EXPECT_EQ(d.lines[0].segments[1].front().t, 36000 + 40 * 60);
  EXPECT_EQ(d.lines[1].segments.size(), 1u);
  EXPECT_EQ(d.text.rfind("<svg", 0), 0u);

  // A gap longer than the data's distances joins everything; given bounds win.
  CommandLine c = Chart({"cpu.util"}, "c.html");
  c.gap = 3600;
  c.range = {36000 + 10 * 60, 36000 + 50 * 60};
  d = BuildChart(db, c);
  EXPECT_EQ(d.options.start, 36600);
  EXPECT_EQ(d.lines[0].samples, 21);  // minutes 10..19 and 40..50
  EXPECT_EQ(d.lines[0].segments.size(), 1u);
  EXPECT_EQ(d.text.rfind("<!DOCTYPE html>", 0), 0u);

  // A single sample is drawn over a minute around it.
  d = BuildChart(db, Chart({"mem.util"}));
  EXPECT_EQ(d.options.start, 39000 - 30);
  EXPECT_EQ(d.options.end, 39000 + 30);
}

TEST(BuildChartTest, UnknownOrEmptySeriesAreErrors) {
  TestDb t;
  t.AddSeries("cpu.util", "cpu", "percent", 1);
  t.AddSeries("gone", "cpu", "percent", 1);
  t.Exec("DROP TABLE sm_stat_gone;");
  Database db(t.Path());
  const std::pair<std::vector<std::string>, const char*> cases[] = {
      {{"cpu.utl"}, "unknown series 'cpu.utl'"},
      {{"gone"}, "has no table 'sm_stat_gone'"},
      {{"cpu.util"}, "no samples to chart"},
  };
  for (const auto& c : cases) {
    try {
      BuildChart(db, Chart(c.first));
      ADD_FAILURE() << c.second;
    } catch (const ReportException& e) {
      EXPECT_NE(std::string(e.what()).find(c.second), std::string::npos) << e.what();
    }
  }
  std::ostringstream out;
  EXPECT_THROW(RunShow(db, "cpu.utl", {}, Format::Csv, out), ReportException);
  // An empty series within a given range is a chart with an empty panel.
  CommandLine c = Chart({"cpu.util"});
  c.range = {100, 200};
  EXPECT_NE(BuildChart(db, c).text.find("no samples in this time range"), std::string::npos);
}

TEST(WriteFileAtomicallyTest, ReplacesTheFileOrFailsNamingIt) {
  TestDb t;
  const std::string path = t.Dir() + "/chart.svg";
  std::ofstream(path) << "old";
  WriteFileAtomically(path, "<svg/>");
  std::ifstream in(path);
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "<svg/>");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  try {
    WriteFileAtomically(t.Dir() + "/no/such/dir/c.svg", "x");
    FAIL() << "wrote into a missing directory";
  } catch (const ReportException& e) {
    EXPECT_NE(std::string(e.what()).find("/no/such/dir/c.svg"), std::string::npos) << e.what();
  }
}

}  // namespace
