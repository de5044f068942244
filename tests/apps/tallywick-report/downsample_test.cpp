#include "apps/tallywick-report/downsample.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace {

using namespace Tallywick::Report;

Sample Real(int64_t t, double v) { return Sample{t, SampleValue{SampleValue::Kind::Real, 0, v}}; }
Sample Int(int64_t t, int64_t v) { return Sample{t, SampleValue{SampleValue::Kind::Integer, v, 0.0}}; }
Sample Null(int64_t t) { return Sample{t, SampleValue{}}; }

std::string Describe(const std::vector<Segment>& segments) {
  std::string out;
  for (const Segment& s : segments) {
    out += "[";
    for (const ChartPoint& p : s) out += std::to_string(p.t) + ":" + std::to_string(static_cast<int64_t>(p.v)) + " ";
    out += "]";
  }
  return out;
}

TEST(ColumnDownsamplerTest, ColumnsDivideTheRangeEvenly) {
  // 100 columns over [1000, 1999]: ten seconds per column.
  ColumnDownsampler d(1000, 1999, 100, 0);
  const std::pair<int64_t, int> cases[] = {{0, 0},     {1000, 0},  {1009, 0},  {1010, 1},
                                           {1555, 55}, {1999, 99}, {5000, 99}};
  for (const auto& c : cases) EXPECT_EQ(d.Column(c.first), c.second) << c.first;
  // A span of centuries in many columns needs more than 64 bits inside.
  ColumnDownsampler wide(0, std::numeric_limits<int64_t>::max() / 2, 10000, 0);
  EXPECT_EQ(wide.Column(std::numeric_limits<int64_t>::max() / 4), 4999);
}

TEST(ColumnDownsamplerTest, KeepsMinimumAndMaximumOfEachColumnInTimeOrder) {
  ColumnDownsampler d(0, 99, 10, 0);  // ten seconds per column
  for (const Sample& s : {Int(0, 5), Int(1, 9), Int(2, 1), Int(3, 4),  // column 0: max 9 at 1, min 1 at 2
                          Int(10, 7), Int(11, 2), Int(12, 8),          // column 1: min 2 at 11, max 8 at 12
                          Int(25, 3),                                  // column 2: one sample
                          Int(30, 6), Int(31, 6), Int(32, 6)}) {       // column 3: flat, first one kept
    d.Add(s);
  }
  EXPECT_EQ(Describe(d.Finish()), "[1:9 2:1 11:2 12:8 25:3 30:6 ]");
}

TEST(ColumnDownsamplerTest, BreaksTheLineAtNullsAndGapsOnly) {
  ColumnDownsampler d(0, 1000, 1000, 121);
  for (const Sample& s : {Real(0, 1), Real(60, 2), Real(181, 3),  // 121 apart: joined
                          Real(303, 4),                           // 122 apart: gap
                          Real(363, 5), Null(423), Real(483, 6),  // null: gap
                          Real(543, std::numeric_limits<double>::infinity()), Real(603, 7)}) {
    d.Add(s);
  }
  EXPECT_EQ(Describe(d.Finish()), "[0:1 60:2 181:3 ][303:4 363:5 ][483:6 ][603:7 ]");
}

}  // namespace
