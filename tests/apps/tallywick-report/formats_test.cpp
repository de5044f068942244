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
      {"v\xff\xc3\xa9,", "\"v%FF\xc3\xa9,\"", "\"v%FF\xc3\xa9,\""},  // an old database's raw name
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

TEST(SeriesListTest, TableColumnsAlignByCharacters) {
  std::vector<SeriesInfo> series(2);
  series[0].name = "net.rx.packetRate.eth0";
  series[0].metadata.unit = "packets_per_microsec";  // "packets/µs"
  series[0].metadata.category = "network";
  series[1].name = "mem.total";
  series[1].metadata.unit = "kb";
  series[1].metadata.category = "memory";
  std::ostringstream out;
  WriteSeriesList(series, Format::Table, out);
  // "packets/µs" is ten characters and eleven bytes: the columns after it line up.
  EXPECT_EQ(out.str(),
            "SERIES                  UNIT        CATEGORY  FIRST  LAST  ROWS  TABLE\n"
            "net.rx.packetRate.eth0  packets/\u00b5s  Network   -      -        -   (missing)\n"
            "mem.total               KiB         Memory    -      -        -   (missing)\n");
}

}  // namespace
