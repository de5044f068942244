#include "apps/tallywick-report/formats.h"

#include <gtest/gtest.h>

#include <limits>
#include <sstream>

#include "kestrix/exception.h"

namespace {

using namespace Tallywick::Report;

SampleValue I(int64_t v) { return SampleValue{SampleValue::Kind::Integer, v, 0}; }
SampleValue R(double v) { return SampleValue{SampleValue::Kind::Real, 0, v}; }

TEST(FormatNumberTest, IntegersExactRealsShortestRoundTrip) {
  const std::pair<SampleValue, const char*> cases[] = {
      {I(INT64_MIN), "-9223372036854775808"},
      {I(16303248), "16303248"},
      {R(3.5), "3.5"},
      {R(0.1), "0.1"},
      {R(50.0), "50"},
      {R(1e300), "1e+300"},
      {R(std::numeric_limits<double>::infinity()), "inf"},
      {R(-std::numeric_limits<double>::infinity()), "-inf"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatNumber(c.first), c.second);
}

TEST(EscapingTest, CsvAndJsonFieldsSurviveHostileNames) {
  const struct {
    const char* in;
    const char* csv;
    const char* json;
  } cases[] = {
      {"eth0", "eth0", "\"eth0\""},
      {"a,b", "\"a,b\"", "\"a,b\""},
      {"say \"hi\"", "\"say \"\"hi\"\"\"", "\"say \\\"hi\\\"\""},
      {"two\nlines", "\"two\nlines\"", "\"two\\nlines\""},
      {"back\\slash\x01", "back\\slash\x01", "\"back\\\\slash\\u0001\""},
  };
  for (const auto& c : cases) {
    std::string csv, json;
    AppendCsvField(csv, c.in);
    AppendJsonString(json, c.in);
    EXPECT_EQ(csv, c.csv) << c.in;
    EXPECT_EQ(json, c.json) << c.in;
  }
  EXPECT_EQ(ParseFormat("csv"), Format::Csv);
  EXPECT_THROW(ParseFormat("CSV"), Kestrix::InvalidArgumentException);
}

SeriesInfo Series() {
  SeriesInfo s;
  s.name = "net.rx.activity.my,if";
  s.table = "sm_stat_net_rx_activity_my,if";
  s.metadata.unit = "kb_per_sec";
  s.metadata.category = "network";
  s.metadata.instance = "my,if";
  s.hasMetadata = s.hasTable = true;
  s.rows = 2;
  s.first = 1733547600;
  s.last = 1733547660;
  return s;
}

std::string Show(Format f) {
  std::ostringstream out;
  SampleWriter w(Series(), f, out);
  w.Add(Sample{1733547600, R(2.25)});
  w.Add(Sample{1733547660, SampleValue{}});
  w.Add(Sample{1733547720, R(std::numeric_limits<double>::infinity())});
  w.Finish();
  return out.str();
}

TEST(SampleWriterTest, EachFormatByteExact) {
  EXPECT_EQ(Show(Format::Csv),
            "timestamp,time,value\n"
            "1733547600,2024-12-07T05:00:00Z,2.25\n"
            "1733547660,2024-12-07T05:01:00Z,\n"
            "1733547720,2024-12-07T05:02:00Z,inf\n");
  EXPECT_EQ(Show(Format::Json),
            "{\"series\": \"net.rx.activity.my,if\", \"table\": \"sm_stat_net_rx_activity_my,if\", "
            "\"unit\": \"kb_per_sec\", \"unit_label\": \"KiB/s\", \"samples\": [\n"
            "  {\"timestamp\": 1733547600, \"time\": \"2024-12-07T05:00:00Z\", \"value\": 2.25},\n"
            "  {\"timestamp\": 1733547660, \"time\": \"2024-12-07T05:01:00Z\", \"value\": null},\n"
            "  {\"timestamp\": 1733547720, \"time\": \"2024-12-07T05:02:00Z\", \"value\": null}\n"
            "]}\n");
  EXPECT_EQ(Show(Format::Table),
            "TIME                   TIMESTAMP  VALUE\n"
            "2024-12-07T05:00:00Z  1733547600  2.25\n"
            "2024-12-07T05:01:00Z  1733547660  -\n"
            "2024-12-07T05:02:00Z  1733547720  inf\n");
  std::ostringstream empty;
  SampleWriter(Series(), Format::Json, empty).Finish();
  EXPECT_EQ(empty.str().substr(empty.str().size() - 4), "[]}\n");
}

TEST(WriteSeriesListTest, CsvAndTable) {
  SeriesInfo missing;
  missing.name = "cpu.util";
  missing.table = "sm_stat_cpu_util";
  missing.metadata.unit = "percent";
  missing.metadata.category = "cpu";
  std::ostringstream csv, table;
  WriteSeriesList({Series(), missing}, Format::Csv, csv);
  EXPECT_EQ(csv.str(),
            "series,table,unit,category,instance,first,last,rows\n"
            "\"net.rx.activity.my,if\",\"sm_stat_net_rx_activity_my,if\",kb_per_sec,network,\"my,if\","
            "2024-12-07T05:00:00Z,2024-12-07T05:01:00Z,2\n"
            "cpu.util,sm_stat_cpu_util,percent,cpu,,,,0\n");
  WriteSeriesList({Series(), missing}, Format::Table, table);
  EXPECT_EQ(table.str(),
            "SERIES                 UNIT   CATEGORY  FIRST                 LAST                  ROWS  TABLE\n"
            "net.rx.activity.my,if  KiB/s  Network   2024-12-07T05:00:00Z  2024-12-07T05:01:00Z     2  "
            "sm_stat_net_rx_activity_my,if\n"
            "cpu.util               %      CPU       -                     -                        -  "
            "sm_stat_cpu_util (missing)\n");
}

}  // namespace
