#include "apps/tallywick-report/metadata.h"

#include <gtest/gtest.h>

namespace {

using Tallywick::Report::CategoryLabel;
using Tallywick::Report::ParseMetadata;
using Tallywick::Report::UnitLabel;

TEST(ParseMetadataTest, SplitsTheServiceTextsIntoParts) {
  struct Case {
    const char* text;
    const char* category;
    const char* unit;
    const char* instance;
    const char* nameKey;
  } cases[] = {
      {"category=com.norvex.fenmark.mon.cat.cpu;units=com.norvex.fenmark.mon.unit.percent;"
       "name=com.norvex.fenmark.mon.name.cpu.util;description=com.norvex.fenmark.mon.descr.cpu.util;",
       "cpu", "percent", "", "com.norvex.fenmark.mon.name.cpu.util"},
      {"category=com.norvex.fenmark.mon.cat.network;units=com.norvex.fenmark.mon.unit.kb_per_sec;instance=eth0;"
       "name=com.norvex.fenmark.mon.name.net.tx.activity.eth0;"
       "description=com.norvex.fenmark.mon.descr.net.tx.activity.eth0;",
       "network", "kb_per_sec", "eth0", "com.norvex.fenmark.mon.name.net.tx.activity.eth0"},
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
      {"percent", "%"},          {"cores", "cores"},
      {"mhz", "MHz"},            {"kb", "KiB"},
      {"kb_per_sec", "KiB/s"},   {"packets_per_microsec", "packets/\u00b5s"},
      {"furlongs", "furlongs"},  {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(UnitLabel(c.first), c.second) << c.first;
  EXPECT_EQ(CategoryLabel("memory"), "Memory");
  EXPECT_EQ(CategoryLabel("disk"), "disk");
}

}  // namespace
