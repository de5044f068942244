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

// Every malformed form a name taken from the system can hold.
TEST(StringUtilTest, InvalidUtf8IsEscapedAndValidTextKept) {
  struct Case {
    std::string in, want;
  } cases[] = {
      {"eth0.100-a\"b", "eth0.100-a\"b"},
      {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf"},
      {"\xff\xfe", "%FF%FE"},
      {"a\x80" "b", "a%80b"},                         // stray continuation byte
      {"\xc3", "%C3"},                                // truncated at the end
      {"\xe2\x82x", "%E2%82x"},                       // truncated before another byte
      {"\xc0\xaf\xe0\x9f\xbf", "%C0%AF%E0%9F%BF"},    // overlong forms
      {"\xed\xa0\x80", "%ED%A0%80"},                  // a surrogate
      {"\xf4\x90\x80\x80\xf5", "%F4%90%80%80%F5"},    // past U+10FFFF
      {std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const auto& c : cases) EXPECT_EQ(Kestrix::StringUtil::EscapeInvalidUtf8(c.in), c.want) << "[" << c.in << "]";
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
