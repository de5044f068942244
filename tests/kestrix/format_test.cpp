#include "kestrix/format.h"

#include <gtest/gtest.h>

#include "kestrix/exception.h"

namespace {

using Kestrix::MessageFormatter;

TEST(MessageFormatterTest, PlaceholdersTakeArgumentsByNumber) {
  struct Case {
    std::string got, want;
  } cases[] = {
      {MessageFormatter::ASPrint("%1 of %2", 3, "five"), "3 of five"},
      {MessageFormatter::ASPrint("%2-%1", 'a', std::string("b")), "b-a"},
      {MessageFormatter::ASPrint("100%% %1", true), "100% true"},
      {MessageFormatter::ASPrint("%3 stays, %1", false), "%3 stays, false"},
      {MessageFormatter::ASPrint("%10|%1", 1, 2, 3, 4, 5, 6, 7, 8, 9, 10), "10|1"},
      {MessageFormatter::ASPrint("%0 %x %", 1), "%0 %x %"},
      {MessageFormatter::ASPrint("%1", INT64_MIN), "-9223372036854775808"},
      {MessageFormatter::ASPrint("%1", UINT64_MAX), "18446744073709551615"},
      {MessageFormatter::ASPrint("%1", Kestrix::NotFoundException::Of("Unregister", ": id = 3")),
       "Object not found: Unregister: id = 3"},
      {MessageFormatter::ASPrint("%99999999999999999999|%1", 7), "%99999999999999999999|7"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want);
}

}  // namespace
