#include "apps/tallywick-report/timeText.h"

#include <gtest/gtest.h>

#include "kestrix/exception.h"

namespace {

using Tallywick::Report::FormatUtc;
using Tallywick::Report::ParseTimeArg;

const int64_t kNow = 1733547600;  // 2024-12-07T05:00:00Z

TEST(ParseTimeArgTest, AcceptsEveryDocumentedForm) {
  const std::pair<const char*, int64_t> cases[] = {
      {"now", kNow},
      {"0", 0},
      {"1733547600", 1733547600},
      {"-45s", kNow - 45},
      {"-90m", kNow - 5400},
      {"-36h", kNow - 129600},
      {"-7d", kNow - 604800},
      {"-2w", kNow - 1209600},
      {"1970-01-01", 0},
      {"2024-12-07", 1733529600},
      {"2024-12-07Z", 1733529600},
      {"2024-12-07T05:00", kNow},
      {"2024-12-07 05:00:30", kNow + 30},
      {"2024-12-07T05:00:30Z", kNow + 30},
      {"2024-02-29T23:59:59Z", 1709251199},
      {"2000-03-01", 951868800},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseTimeArg(c.first, kNow), c.second) << c.first;
}

TEST(ParseTimeArgTest, RejectsEverythingElse) {
  const char* cases[] = {
      "",          "yesterday", "12x",       "+5",         "-5",          "-h",        "-0d",
      "--5d",      "-5y",       "-1.5h",     "2024-13-01", "2024-00-10",  "2023-02-29", "2024-04-31",
      "2024-12-07T24:00",       "2024-12-07T05:60",        "2024-12-07T05:00:60",    "2024-12-07T5:00",
      "2024-12-07ZZ",           "2024-12-07T05:00Zx",      "2024-12-07T",            "2024/12/07",
      "99999999999999999999",   "-99999999999999999999d",  "-9999999999999999w",
  };
  for (const char* c : cases) {
    EXPECT_THROW(ParseTimeArg(c, kNow), Kestrix::InvalidArgumentException) << c;
  }
}

TEST(FormatUtcTest, WritesIsoUtc) {
  const std::pair<int64_t, const char*> cases[] = {
      {0, "1970-01-01T00:00:00Z"},
      {-1, "1969-12-31T23:59:59Z"},
      {951782400, "2000-02-29T00:00:00Z"},
      {1733547661, "2024-12-07T05:01:01Z"},
      {253402300799, "9999-12-31T23:59:59Z"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatUtc(c.first), c.second) << c.first;
}

TEST(FormatUtcTest, ReadsBackWhatItWrites) {
  // Every day from 1900 to 2100 at a time of day that varies.
  for (int64_t day = -25567; day < 47482; ++day) {
    const int64_t t = day * 86400 + (day * 7919) % 86400;
    ASSERT_EQ(ParseTimeArg(FormatUtc(t), kNow), t) << FormatUtc(t);
  }
}

}  // namespace
