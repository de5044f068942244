#include "apps/tallywick-report/metadata.h"

#include <gtest/gtest.h>

namespace {

using Tallywick::Report::CategoryLabel;
using Tallywick::Report::ParseMetadata;
using Tallywick::Report::UnitLabel;

// The service's usual texts are read end to end (tallywick-report list); here
// the texts it does not escape and the broken ones.
TEST(ParseMetadataTest, SplitsTheServiceTextsIntoParts) {
  struct Case {
    const char* text;
    const char* category;
    const char* unit;
    const char* instance;
    const char* nameKey;
  } cases[] = {
      // Mount paths may hold ';' and '='; the text is not escaped.
      {"category=com.norvex.fenmark.mon.cat.storage;units=com.norvex.fenmark.mon.unit.kb;instance=/mnt/a;b=c;"
       "name=n;",
       "storage", "kb", "/mnt/a;b=c", "n"},
      {"category=cpu;units=percent;", "cpu", "percent", "", ""},
      {"", "", "", "", ""},
      {"garbage;;=;units=com.norvex.fenmark.mon.unit.", "", "com.norvex.fenmark.mon.unit.", "", ""},
  };
  for (const Case& c : cases) {
    const auto m = ParseMetadata(c.text);
    EXPECT_EQ(m.category, c.category) << c.text;
    EXPECT_EQ(m.unit, c.unit) << c.text;
    EXPECT_EQ(m.instance, c.instance) << c.text;
    EXPECT_EQ(m.nameKey, c.nameKey) << c.text;
  }
}

TEST(UnitLabelTest, KnownCodesGetDisplayTextsOthersStay) {
  const std::pair<const char*, const char*> cases[] = {
      {"cores", "cores"},       {"mhz", "MHz"}, {"packets_per_microsec", "packets/\u00b5s"},
      {"furlongs", "furlongs"}, {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(UnitLabel(c.first), c.second) << c.first;
  EXPECT_EQ(CategoryLabel("disk"), "disk");
}

}  // namespace
