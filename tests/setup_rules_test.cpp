// The motor setup rules as the dialog, mervanectl and the Python package (through
// EXT_ApplySetupTexts) apply them: number reading, the messages in the dialog's order with the
// field they name, the value ranges a record can hold, and how the fields fill the record.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "mervane_ext.h"
#include "ui/motor_setup.h"
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

// The dialog holds a length whose steps leave int32 at its end (a plain conversion would be
// undefined and wrap), and one that is not a number gives 0 steps; without the dialog such a
// length is refused, naming the field, and the record stays as it was.
TEST(SetupChecksTest, LengthStepsStayInsideTheRecord) {
  EXPECT_EQ(ui::LengthSteps(1e12), INT32_MAX);
  EXPECT_EQ(ui::LengthSteps(-1e12), INT32_MIN);
  EXPECT_EQ(ui::LengthSteps(std::nan("")), 0);
  EXPECT_EQ(ui::LengthSteps(-2.9), -2);
  struct LengthCase {
    const char* length;
    std::int32_t steps;  // 0: refused
    const char* message;
  } cases[] = {{"5", 1000, nullptr},
               {"-2.5", -500, nullptr},
               {"10737418.23", 2147483646, nullptr},
               {"1e12", 0, "Length must be at most 2147483647 steps!"},
               {"-2e7", 0, "Length must be at most 2147483647 steps!"},
               {"nan", 0, "Value must be number!"}};
  for (const LengthCase& c : cases) {
    MotorInfo record{};
    record.length = 77;
    Fields f;
    f.coefficient = "200";
    f.length = c.length;
    auto complaint = Apply(f, true, record);
    if (c.message == nullptr) {
      ASSERT_EQ(complaint, std::nullopt) << c.length;
      EXPECT_EQ(+record.length, c.steps) << c.length;
    } else {
      ASSERT_TRUE(complaint) << c.length;
      EXPECT_EQ(complaint->text, c.message) << c.length;
      EXPECT_EQ(complaint->field, "length") << c.length;
      EXPECT_EQ(+record.length, 77) << c.length;
    }
  }
}

struct Case {
  const char* what;
  Fields fields;
  const char* message;  // nullptr: accepted
  const char* field = "";
};

constexpr const char* kRange = "Coefficient must be between 6.3e-30 and 3.4e+38 in size!";

TEST(SetupChecksTest, ComplaintsInTheDialogsOrder) {
  auto with = [](auto set) {
    Fields f;
    set(f);
    return f;
  };
  const Case cases[] = {
      {"defaults", Fields{}, nullptr},
      {"coefficient 0", with([](Fields& f) { f.coefficient = "0"; }), "Coefficient must be different from zero!",
       "coefficient"},
      {"coefficient nan", with([](Fields& f) { f.coefficient = "nan"; }), kRange, "coefficient"},
      {"coefficient inf", with([](Fields& f) { f.coefficient = "-inf"; }), kRange, "coefficient"},
      {"coefficient 1e400", with([](Fields& f) { f.coefficient = "1e400"; }), kRange, "coefficient"},
      {"coefficient 1e39", with([](Fields& f) { f.coefficient = "1e39"; }), kRange, "coefficient"},
      {"coefficient 1e-50", with([](Fields& f) { f.coefficient = "1e-50"; }), kRange, "coefficient"},
      {"coefficient 1e-29", with([](Fields& f) { f.coefficient = "-1e-29"; f.length = "0"; }), nullptr},
      {"acceleration 0", with([](Fields& f) { f.acceleration = "0"; }), "Value must be higher then zero!", "acceleration"},
      {"acceleration 128", with([](Fields& f) { f.acceleration = "128"; }), "Value must not be higher then 127!",
       "acceleration"},
      {"acceleration 5.5", with([](Fields& f) { f.acceleration = "5.5"; }), "Value must be integer!", "acceleration"},
      {"min abc", with([](Fields& f) { f.minStepTime = "abc"; }), "Value must be integer!", "min step time"},
      {"max 10001", with([](Fields& f) { f.maxStepTime = "10001"; }), "Value must not be higher then 10000!",
       "max step time"},
      {"max below min", with([](Fields& f) { f.minStepTime = "30"; f.maxStepTime = "10"; }),
       "Max step time must be higher then Min step time!", "max step time"},
      {"max equal min", with([](Fields& f) { f.minStepTime = "7"; f.maxStepTime = "7"; }), nullptr},
      {"number before integer", with([](Fields& f) { f.length = "?"; f.minStepTime = "?"; }), "Value must be number!",
       "length"},
      {"offset inf", with([](Fields& f) { f.offset = "inf"; }), "Value must be number!", "offset"},
      {"address 8", with([](Fields& f) { f.address = 8; }), "Address must be 1..7, or 0 for Unplugged!", "address"},
      {"name of 10", with([](Fields& f) { f.name = "ABCDEFGHIJ"; }), "Name must be at most 9 characters!", "name"},
      {"empty name", with([](Fields& f) { f.name = ""; }), "Name must not be empty!", "name"},
      {"name with a tab", with([](Fields& f) { f.name = "A\tB"; }), "Name must not hold control characters!", "name"},
      {"name with DEL", with([](Fields& f) { f.name = "A\x7f"; }), "Name must not hold control characters!", "name"},
      {"name of Latin-1", with([](Fields& f) { f.name = "B\xe4r"; }), nullptr},
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
      EXPECT_EQ(complaint->field, c.field) << c.what;
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

// What leaving an integer field does, the dialog's fallback or limit included.
TEST(SetupChecksTest, LeavingAnIntegerField) {
  struct ExitCase {
    IntegerField field;
    const char* text;
    const char* message;  // "" for none
    const char* after;
  } cases[] = {
      {IntegerField::Acceleration, "0", "Value must be higher then zero!", "20"},
      {IntegerField::Acceleration, "128", "Value must not be higher then 127!", "20"},
      {IntegerField::Acceleration, "127", "", "127"},
      {IntegerField::MinStepTime, "abc", "Value must be integer!", "5"},
      {IntegerField::MaxStepTime, "-3", "Value must be higher then zero!", "50"},
      {IntegerField::MaxStepTime, "20000", "", "10000"},
  };
  for (const ExitCase& c : cases) {
    IntegerExit left = LeaveIntegerField(c.field, c.text);
    EXPECT_EQ(left.complaint ? left.complaint->text : "", c.message) << c.text;
    EXPECT_EQ(left.text, c.after) << c.text;
  }
}

// The library's export runs the same rules for tools without the dialog: the record is written
// on success only, and the message names the field.
TEST(SetupChecksTest, ExportedRulesForToolsWithoutTheDialog) {
  MervaneSetupTexts texts{};
  texts.name = "Feed";
  texts.address = "3";
  texts.coefficient = "200";
  texts.length = "5";
  MotorInfo record{};
  char message[128] = "stale";
  ASSERT_TRUE(EXT_ApplySetupTexts(&texts, true, &record, message, sizeof message));
  EXPECT_STREQ(message, "");
  EXPECT_STREQ(record.name, "Feed");
  EXPECT_EQ(+record.address, 3);
  EXPECT_EQ(+record.length, 1000);
  EXPECT_EQ(+record.acceleration, 20);

  texts.coefficient = "inf";
  MotorInfo before = record;
  EXPECT_FALSE(EXT_ApplySetupTexts(&texts, false, &record, message, sizeof message));
  EXPECT_STREQ(message, "coefficient\tType error\tCoefficient must be between 6.3e-30 and 3.4e+38 in size!");
  EXPECT_EQ(std::memcmp(&before, &record, sizeof record), 0);
  texts.coefficient = "200";
  texts.address = "x";
  EXPECT_FALSE(EXT_ApplySetupTexts(&texts, false, &record, message, sizeof message));
  EXPECT_STREQ(message, "address\tType error\tValue must be integer!");
  char small[8];
  EXPECT_FALSE(EXT_ApplySetupTexts(&texts, false, &record, small, sizeof small));
  EXPECT_STREQ(small, "address");  // cut, still terminated
  EXPECT_FALSE(EXT_ApplySetupTexts(nullptr, true, &record, nullptr, 0));
  EXPECT_FALSE(EXT_ApplySetupTexts(&texts, true, nullptr, message, sizeof message));
}

}  // namespace
}  // namespace mervane::setup
