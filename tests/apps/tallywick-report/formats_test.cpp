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
  // The character offset of the category column is the same on every line.
  std::istringstream lines(out.str());
  std::string line;
  std::vector<size_t> offsets;
  while (std::getline(lines, line)) {
    size_t chars = 0, at = std::string::npos;
    for (size_t i = 0; i < line.size(); ++i) {
      if ((static_cast<unsigned char>(line[i]) & 0xC0) == 0x80) continue;
      if (line.compare(i, 8, "CATEGORY") == 0 || line.compare(i, 7, "Network") == 0 ||
          line.compare(i, 6, "Memory") == 0) {
        at = chars;
        break;
      }
      ++chars;
    }
    offsets.push_back(at);
  }
  ASSERT_EQ(offsets.size(), 3u) << out.str();
  EXPECT_NE(offsets[0], std::string::npos) << out.str();
  EXPECT_EQ(offsets[1], offsets[0]) << out.str();
  EXPECT_EQ(offsets[2], offsets[0]) << out.str();
}

}  // namespace
