#include "kestrix/stringUtil.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "tests/kestrix/testSupport.h"

namespace {

TEST(StringUtilTest, TrimRemovesSurroundingWhiteSpaceOnly) {
  struct Case {
    std::string in, want;
  } cases[] = {{"", ""}, {" \t\r\n\v\f", ""}, {"x", "x"}, {"  a b  ", "a b"},
               {"\n/proc/1/cmdline \t", "/proc/1/cmdline"}, {std::string("a\0b ", 4), std::string("a\0b", 3)}};
  for (const auto& c : cases) EXPECT_EQ(Kestrix::StringUtil::Trim(c.in), c.want) << "[" << c.in << "]";
}

TEST(StringUtilTest, UuidsAreCanonicalVersion4AndUniqueAcrossThreads) {
  const std::regex form("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  std::mutex m;
  std::set<std::string> seen;  // guarded by m
  TestSupport::RunThreads(4, [&](int) {
    for (int i = 0; i < 1000; ++i) {
      const std::string u = Kestrix::StringUtil::GenerateUuid();
      EXPECT_TRUE(std::regex_match(u, form)) << u;
      std::lock_guard<std::mutex> lock(m);
      seen.insert(u);
    }
  });
  EXPECT_EQ(seen.size(), 4000u);
}

}  // namespace
