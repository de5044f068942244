// Text forms, labels, constructions and checked value arithmetic.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <tuple>

#include "kestrix/exception.h"
#include "public/stats/statDef.h"
#include "public/stats/statInstance.h"

namespace Stats {
namespace {

constexpr int64_t kMin = INT64_MIN;
constexpr int64_t kMax = INT64_MAX;

TEST(StatTextTest, FormsAndLabels) {
  const StatAttribute cpu{"cpu", 7, "", true}, disk{"disk", 22, "", false}, part{"part", 22, "", false},
      custom{"fs", 0, ".filesystem", false}, odd{"x", 25, "", false}, negative{"y", -1, "", true};
  auto def = [](const std::string& name, std::vector<StatAttribute> attrs) {
    return StatDef::Source(1, name, std::move(attrs), 0, 0, 0, 3, 0, StatValue(1));
  };
  auto used = def("cpu.used.user", {cpu}), reads = def("disk.reads", {disk, part}), count = def("cpu.count", {});
  const std::pair<std::string, std::string> cases[] = {
      {AttributeToString(custom), "fs:D.filesystem"},
      {AttributeToString(negative), "y|*:unknown"},
      {StatDefToString(*used), "cpu.used.user(cpu|*:pCPU)"},
      {StatDefToString(*count), "cpu.count()"},
      {StatDefToString(*reads), "disk.reads(disk:disk,part:disk)"},
      {RegisteredStatToString(17, *used), "17->cpu.used.user(cpu|*:pCPU)"},
      {InstanceToString(12, {"a", "b"}), "12('a','b')"},
      {InstanceToString(7, {}), "7()"},
      {MakeStatKey(*count), "cpu.count.host"},
      {MakeStatKey(*reads), "disk.reads.disk.disk"},
      {MakeStatKey("disk.reads", {disk}), "disk.reads.disk"},
      {MakeStatKey(*def("storage.used", {custom})), "storage.used.D.filesystem"},
      {MakeStatKey(*def("s", {odd, negative})), "s.unknown.unknown"},
      {MakeStatKey("net.tx.activity", {{"intf", 8, "", true}}), "net.tx.activity.pNIC"},
  };
  for (const auto& [got, want] : cases) EXPECT_EQ(got, want);
  // The last entry of each table, and one past the end.
  EXPECT_STREQ(StatAttributeTypeName(24), "memPool");
  EXPECT_STREQ(StatCookingName(3), "PerTime");
  EXPECT_STREQ(StatFormulaName(5), "SelfDelta");
  EXPECT_STREQ(StatAggregationName(4), "unknown");
}

TEST(StatDefTest, KindQuestionsRefuseTheWrongKindAndCopiesLeaveTheOriginal) {
  auto fails = [](const char* text) { return ::testing::ThrowsMessage<Kestrix::Exception>(::testing::StrEq(text)); };
  auto source = StatDef::Source(1, "a", {}, 1, 2, 3, 0, 1, StatValue(1, 1000));
  EXPECT_THAT([&] { source->GetSources(); }, fails("not a derivative or an aggregation"));
  auto der = StatDef::Derivative(3, "c", {}, 0, 0, 0, 4, {StatSourceRef{1, "", {}}, StatSourceRef{-1, "a.host", {}}},
                                 0, StatValue(100));
  EXPECT_THAT([&] { der->GetAggregatedAttribute(); }, fails("not an aggregation"));
  EXPECT_THAT([&] { StatDef::Derivative(4, "d", {}, 0, 0, 0, 0, {}, 0, StatValue(1)); },
              ::testing::ThrowsMessage<Kestrix::Exception>(::testing::StartsWith("derivative stat d")));
  auto copy = der->WithSources({StatSourceRef{-1, "", StatInfoRef(new StatInfo(9, source))}});
  EXPECT_EQ(copy->GetSources().size(), 1u);
  EXPECT_EQ(copy->GetScale(), StatValue(100));
  EXPECT_EQ(der->GetSources().size(), 2u);
}

TEST(StatValueTest, InvalidValueAndCheckedArithmeticAtTheEdges) {
  EXPECT_TRUE(IsInvalid(InvalidValue));
  EXPECT_EQ(std::make_pair(InvalidValue.numerator(), InvalidValue.denominator()), std::make_pair(kMin, int64_t(1)));
  EXPECT_FALSE(IsInvalid(MakeValue(kMin + 1)));
  EXPECT_TRUE(ValueLess(InvalidValue, MakeValue(kMin + 1)));
  EXPECT_FALSE(ValueLess(InvalidValue, InvalidValue));
  EXPECT_FALSE(ValueLess(MakeValue(kMin + 1), InvalidValue));
  EXPECT_TRUE(ValueLess(MakeValue(1, 3), MakeValue(1, 2)));
  EXPECT_TRUE(ValueLess(MakeValue(kMax - 1, kMax), StatValue(1)));
  const std::tuple<const char*, StatValue, StatValue> cases[] = {
      {"add", CheckedAdd(MakeValue(1, 3), MakeValue(1, 6)), MakeValue(1, 2)},
      {"add overflow", CheckedAdd(StatValue(kMax), StatValue(1)), InvalidValue},
      {"add to the marker's numerator", CheckedAdd(StatValue(kMin + 1), StatValue(-1)), InvalidValue},
      {"subtract wrapped counters", CheckedSubtract(StatValue(kMin + 1), StatValue(kMax)), InvalidValue},
      {"subtract", CheckedSubtract(StatValue(kMax), StatValue(kMax - 10)), StatValue(10)},
      {"multiply overflow", CheckedMultiply(StatValue(kMax), StatValue(2)), InvalidValue},
      {"multiply reduces", CheckedMultiply(MakeValue(kMax, 2), MakeValue(2, kMax)), StatValue(1)},
      {"divide by zero", CheckedDivide(StatValue(5), StatValue(0)), InvalidValue},
      {"divide sign", CheckedDivide(StatValue(3), StatValue(-6)), MakeValue(-1, 2)},
      {"divide huge denominators", CheckedDivide(MakeValue(1, kMax), StatValue(kMax)), InvalidValue},
      {"invalid operand", CheckedAdd(InvalidValue, StatValue(1)), InvalidValue},
      {"invalid divisor", CheckedDivide(StatValue(1), InvalidValue), InvalidValue},
      {"zero denominator", MakeValue(1, 0), InvalidValue},
      {"most negative numerator", MakeValue(kMin, 2), MakeValue(kMin / 2)},
      {"most negative over -1", MakeValue(kMin, -1), InvalidValue},
  };
  for (const auto& [name, got, want] : cases) EXPECT_EQ(got, want) << name;
  EXPECT_EQ(ToInteger(MakeValue(7, 2)), 3);
  EXPECT_EQ(ToInteger(MakeValue(-7, 2)), -3);
  EXPECT_EQ(ToInteger(InvalidValue), kMin);
}

}  // namespace
}  // namespace Stats
