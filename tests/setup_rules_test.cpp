// The setup dialog's field checks as the command-line tools apply them: number reading, the
// messages in the dialog's order, and how the fields fill the motor record.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "ui/setup_rules.h"

namespace mervane::setup {
namespace {

TEST(SetupChecksTest, ReadsNumbersAsTheDialog) {
  EXPECT_EQ(ReadNumber("12abc"), 12.0);  // a leading number counts
  EXPECT_EQ(ReadNumber(" 2.5e1"), 25.0);
  EXPECT_EQ(ReadNumber("abc"), std::nullopt);
  EXPECT_EQ(CheckNumber("   "), std::nullopt);  // blank: no message
  EXPECT_EQ(CheckNumber("x1")->text, "Value must be number!");
  EXPECT_EQ(ReadInteger(" 42 "), 42);
  EXPECT_EQ(ReadInteger("4.5"), std::nullopt);
  EXPECT_EQ(ReadInteger("99999999999999999999"), std::nullopt);
  EXPECT_EQ(ReadInteger("3000000000"), std::nullopt) << "beyond int32, as the dialog reads it";
}

// A length whose steps leave int32 is held at its end, as the dialog writes it (a plain
// conversion would be undefined and wrap); one that is not a number gives 0 steps.
TEST(SetupChecksTest, LengthStepsStayInsideTheRecord) {
  struct LengthCase {
    const char* length;
    std::int32_t steps;
  } cases[] = {{"5", 1000}, {"-2.5", -500}, {"1e12", INT32_MAX}, {"-1e12", INT32_MIN}, {"nan", 0}};
  for (const LengthCase& c : cases) {
    MotorInfo record{};
    Fields f;
    f.coefficient = "200";
    f.length = c.length;
    ASSERT_EQ(Apply(f, true, record), std::nullopt) << c.length;
    EXPECT_EQ(+record.length, c.steps) << c.length;
  }
}

struct Case {
  const char* what;
  Fields fields;
  const char* message;  // nullptr: accepted
};

TEST(SetupChecksTest, ComplaintsInTheDialogsOrder) {
  auto with = [](auto set) {
    Fields f;
    set(f);
    return f;
  };
  const Case cases[] = {
      {"defaults", Fields{}, nullptr},
      {"coefficient 0", with([](Fields& f) { f.coefficient = "0"; }), "Value must be different from zero!"},
      {"acceleration 0", with([](Fields& f) { f.acceleration = "0"; }), "Value must be higher then zero!"},
      {"acceleration 128", with([](Fields& f) { f.acceleration = "128"; }), "Value must not be higher then 127!"},
      {"min abc", with([](Fields& f) { f.minStepTime = "abc"; }), "Value must be integer!"},
      {"max 10001", with([](Fields& f) { f.maxStepTime = "10001"; }), "Value must not be higher then 10000!"},
      {"max below min", with([](Fields& f) { f.minStepTime = "30"; f.maxStepTime = "10"; }),
       "Max step time must be higher then Min step time!"},
      {"max equal min", with([](Fields& f) { f.minStepTime = "7"; f.maxStepTime = "7"; }), nullptr},
      {"number before integer", with([](Fields& f) { f.length = "?"; f.minStepTime = "?"; }), "Value must be number!"},
      {"address 8", with([](Fields& f) { f.address = 8; }), "Address must be 1..7, or 0 for Unplugged!"},
      {"name of 10", with([](Fields& f) { f.name = "ABCDEFGHIJ"; }), "Name must be at most 9 characters!"},
  };
  for (const Case& c : cases) {
    MotorInfo record{};
    auto complaint = Apply(c.fields, true, record);
    if (c.message == nullptr) {
      EXPECT_FALSE(complaint) << c.what << ": " << complaint->text;
    } else {
      ASSERT_TRUE(complaint) << c.what;
      EXPECT_EQ(complaint->text, c.message) << c.what;
      EXPECT_EQ(complaint->caption, "Type error") << c.what;
    }
  }
}

TEST(SetupChecksTest, FillsTheRecordAsTheDialog) {
  Fields f;
  f.name = "Feed";
  f.type = 0x85;
  f.address = 3;
  f.coefficient = "200";
  f.length = "5";
  f.offset = "-1.5";
  f.halfSteps = true;
  MotorInfo record{};
  record.position = 7.0f;  // kept: the dialog never writes position or zero
  ASSERT_FALSE(Apply(f, true, record));
  EXPECT_STREQ(record.name, "Feed");
  EXPECT_EQ(+record.type, 0x85);
  EXPECT_EQ(+record.address, 3);
  EXPECT_EQ(+record.length, 1000);  // 5 mm at 200 steps/mm
  EXPECT_EQ(+record.offset, -1.5f);
  EXPECT_EQ(+record.acceleration, 20);  // form defaults
  EXPECT_EQ(+record.minStepTime, 5);
  EXPECT_EQ(+record.maxStepTime, 50);
  EXPECT_EQ(+record.halfSteps, 1);
  EXPECT_EQ(+record.autoRelease, 0);
  EXPECT_EQ(+record.position, 7.0f);

  // Reconfiguring: a new coefficient carries the length in units over; other fields stay.
  Fields change;
  change.coefficient = "100";
  ASSERT_FALSE(Apply(change, false, record));
  EXPECT_EQ(+record.length, 500);
  EXPECT_STREQ(record.name, "Feed");
  EXPECT_EQ(+record.address, 3);
  EXPECT_EQ(+record.halfSteps, 1);
  // Untouched length and coefficient: the steps stay exactly (no round trip through "%.6lg").
  record.length = 1234567;
  ASSERT_FALSE(Apply(Fields{}, false, record));
  EXPECT_EQ(+record.length, 1234567);
}

TEST(SetupChecksTest, MotorTypesByCodeOrName) {
  auto nameOf = [](int code) -> std::string {
    return code == 0x85 ? "X (4wires)" : code == 0 ? "None" : "???";
  };
  EXPECT_EQ(ParseMotorType("0x85", nameOf), 0x85);
  EXPECT_EQ(ParseMotorType("133", nameOf), 0x85);
  EXPECT_EQ(ParseMotorType("x(4WIRES)", nameOf), 0x85);
  EXPECT_EQ(ParseMotorType("0x99", nameOf), std::nullopt);
  EXPECT_EQ(ParseMotorType("Y (4wires)", nameOf), std::nullopt);
  EXPECT_EQ(UnitOf("R (synchron)"), std::string("deg"));
  EXPECT_EQ(UnitOf("X (synchron)"), std::string("mm"));
}

}  // namespace
}  // namespace mervane::setup
