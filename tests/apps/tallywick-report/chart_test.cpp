#include "apps/tallywick-report/chart.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

using namespace Tallywick::Report;

// Labels take the step's decimals, and big axes a k, M or G scale.
TEST(NiceTicksTest, RoundStepsCoverTheDataWithLabelsToMatch) {
  struct Case {
    double min, max;
    int count;
    double low, high, step;
    const char* labels;
  } cases[] = {
      {20, 80, 5, 20, 80, 10, "20 30 40 50 60 70 80"},
      {0.3, 9.7, 5, 0, 10, 2, "0 2 4 6 8 10"},
      {-3, 3, 5, -3, 3, 1, "-3 -2 -1 0 1 2 3"},
      // flat: widened by a tenth each way
      {16303248, 16303248, 5, 14500000, 18000000, 500000, "14.5M 15.0M 15.5M 16.0M 16.5M 17.0M 17.5M 18.0M"},
      {0, 0, 5, 0, 1, 0.2, "0.0 0.2 0.4 0.6 0.8 1.0"},
      {5, 5, 5, 4.4, 5.6, 0.2, "4.4 4.6 4.8 5.0 5.2 5.4 5.6"},
      {0.001, 0.004, 5, 0.001, 0.004, 0.0005, "0.0010 0.0015 0.0020 0.0025 0.0030 0.0035 0.0040"},
      {0.01, 0.09, 4, 0, 0.1, 0.02, "0.00 0.02 0.04 0.06 0.08 0.10"},
      {14.2e6, 17.9e6, 5, 14e6, 18e6, 1e6, "14M 15M 16M 17M 18M"},
      {0, 40000, 4, 0, 40000, 10000, "0k 10k 20k 30k 40k"},
      {0, 3e9, 3, 0, 3e9, 1e9, "0G 1G 2G 3G"},
  };
  for (const Case& c : cases) {
    const AxisTicks a = NiceTicks(c.min, c.max, c.count);
    EXPECT_DOUBLE_EQ(a.step, c.step) << c.min << ".." << c.max;
    EXPECT_DOUBLE_EQ(a.low, c.low) << c.min << ".." << c.max;
    EXPECT_DOUBLE_EQ(a.high, c.high) << c.min << ".." << c.max;
    EXPECT_DOUBLE_EQ(a.values.front(), a.low);
    EXPECT_NEAR(a.values.back(), a.high, a.step * 1e-9);
    std::string got;
    for (double v : a.values) got += (got.empty() ? "" : " ") + FormatTick(v, a);
    EXPECT_EQ(got, c.labels) << c.min << ".." << c.max;
  }
}

TEST(TimeTicksTest, RoundStepsAndDatesWhereTheDayChanges) {
  // 2024-12-07T05:00:00Z .. 2024-12-08T04:59:00Z, at most 8 ticks: every 3 h.
  const auto day = TimeTicks(1733547600, 1733633940, 8);
  std::string got;
  for (const TimeTick& t : day) got += t.label + (t.date.empty() ? "" : "/" + t.date) + " ";
  EXPECT_EQ(got, "06:00/2024-12-07 09:00 12:00 15:00 18:00 21:00 00:00/2024-12-08 03:00 ");
  // Ten minutes: seconds would crowd, minutes suffice.
  EXPECT_EQ(TimeTicks(1733547600, 1733548200, 6).front().label, "05:00");
  // Thirty seconds at most five ticks: every 10 s with seconds shown.
  const auto secs = TimeTicks(1733547601, 1733547631, 5);
  ASSERT_EQ(secs.size(), 3u);
  EXPECT_EQ(secs[0].label, "05:00:10");
  // Thirty days: weeks, as dates, counted from the epoch (a Thursday).
  const auto month = TimeTicks(1733529600, 1733529600 + 30 * 86400, 8);
  EXPECT_EQ(month.front().label, "2024-12-12");
  EXPECT_EQ(month[1].t - month[0].t, 7 * 86400);
}

TEST(XmlEscapeTest, AnyNameMakesWellFormedXml) {
  const std::pair<std::string, std::string> cases[] = {
      {"a<b>&\"c'", "a&lt;b&gt;&amp;&quot;c&#39;"},
      {"tab\tok\x01", "tab\tok?"},
      {"caf\xc3\xa9", "caf\xc3\xa9"},
      {"bad\xff\xc3", "bad%FF%C3"},
  };
  for (const auto& c : cases) EXPECT_EQ(XmlEscape(c.first), c.second) << c.first;
}

ChartLine Line(const std::string& name, const std::string& unit, std::vector<Segment> segments) {
  ChartLine l;
  l.name = name;
  l.unit = unit;
  l.segments = std::move(segments);
  return l;
}

TEST(RenderSvgTest, OnePanelPerUnitAndPathsThatBreakAtGaps) {
  ChartOptions o;
  o.start = 0;
  o.end = 1000;
  o.width = 1108;  // plot area 1000 px wide from x = 84: one pixel per second
  o.plotHeight = 100;
  const std::vector<ChartLine> lines = {
      Line("cpu.util", "%", {{{0, 20}, {500, 80}}, {{800, 50}}}),
      Line("mem<total>", "KiB", {{{0, 1}, {1000, 2}}}),
      Line("cpu.other", "%", {}),
  };
  const std::string svg = RenderSvg(lines, o);
  const auto count = [&](const std::string& what) {
    size_t n = 0;
    for (size_t p = svg.find(what); p != std::string::npos; p = svg.find(what, p + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("class=\"plot-area\""), 2u);
  EXPECT_EQ(count("data-unit=\"%\""), 1u);
  // Axis 20..80 over 100 px; the first panel's plot area starts at y = 12 +
  // one legend row (18) + 8 = 38, so 20 sits at y 138 and 80 at 38.
  EXPECT_NE(svg.find("<path d=\"M84.0 138.0L584.0 38.0\""), std::string::npos) << svg;
  EXPECT_NE(svg.find("<circle cx=\"884.0\" cy=\"88.0\" r=\"2\"/>"), std::string::npos);
  EXPECT_NE(svg.find("data-series=\"cpu.util\" data-segments=\"2\" data-points=\"3\""), std::string::npos);
  EXPECT_NE(svg.find("data-series=\"mem&lt;total&gt;\""), std::string::npos);
  EXPECT_EQ(svg.find("mem<total>"), std::string::npos);
  EXPECT_NE(svg.find("time (UTC)"), std::string::npos);
}

}  // namespace

TEST(TimeTicksTest, AnEndAtTheLastRepresentableSecondEndsTheTicks) {
  const int64_t end = std::numeric_limits<int64_t>::max();
  const std::vector<TimeTick> ticks = TimeTicks(end - 10 * 86400, end, 4);
  ASSERT_FALSE(ticks.empty());
  EXPECT_LE(ticks.size(), 4u);
  EXPECT_GE(ticks.front().t, end - 10 * 86400) << "ticks stay inside the range";
}
