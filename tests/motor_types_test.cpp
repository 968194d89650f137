// The motor type table, address codes and the conversions between user units and steps.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <string>

#include "hardware/settings.h"
#include "motor/motor.h"

namespace mervane {
namespace {

TEST(MotorTypeTableTest, TwentyFiveEntriesInTheirOrder) {
  struct Entry {
    std::uint8_t code;
    const char* name;
  };
  const Entry expected[] = {
      {0x00, "None"},           {0x01, "X (2wires)"},         {0x02, "Y (2wires)"},         {0x03, "Z (2wires)"},
      {0x04, "R (2wires)"},     {0x85, "X (4wires)"},         {0x86, "Y (4wires)"},         {0x87, "Z (4wires)"},
      {0x88, "R (4wires)"},     {0x2A, "X (synchron)"},       {0x2B, "Y (synchron)"},       {0x2C, "Z (synchron)"},
      {0x2D, "R (synchron)"},   {0x41, "X block (2wires)"},   {0x42, "Y block (2wires)"},   {0x43, "Z block (2wires)"},
      {0x44, "R block (2wires)"}, {0xC5, "X block (4wires)"}, {0xC6, "Y block (4wires)"},   {0xC7, "Z block (4wires)"},
      {0xC8, "R block (4wires)"}, {0x6A, "X block (synchron)"}, {0x6B, "Y block (synchron)"}, {0x6C, "Z block (synchron)"},
      {0x6D, "R block (synchron)"},
  };
  ASSERT_EQ(MotorTypeCount(), 25);
  for (int i = 0; i < 25; ++i) {
    EXPECT_EQ(MotorTypeAt(i).code, expected[i].code) << i;
    EXPECT_STREQ(MotorTypeAt(i).name, expected[i].name) << i;
    EXPECT_EQ(MotorTypeIndex(expected[i].code), i);
    EXPECT_STREQ(MotorTypeName(expected[i].code), expected[i].name);
  }
}

TEST(MotorTypeTableTest, UnknownCodesAndIndices) {
  EXPECT_STREQ(MotorTypeName(0x99), "???");
  EXPECT_EQ(MotorTypeIndex(0x99), 0);
  EXPECT_STREQ(MotorTypeName(0x05), "???");
  EXPECT_EQ(MotorTypeIndex(0xFF), 0);
  EXPECT_EQ(MotorTypeAt(-1).code, 0x00);
  EXPECT_EQ(MotorTypeAt(25).code, 0x6D);
}

TEST(AddressCodeTest, BasesOfTheEightCodes) {
  EXPECT_EQ(CommandBase(0), 0);
  for (std::uint8_t code = 1; code <= 8; ++code) EXPECT_EQ(CommandBase(code), 0x80 + 0x10 * (code - 1)) << int(code);
  EXPECT_EQ(CommandBase(9), 0);
  EXPECT_EQ(CommandBase(0xFF), 0);
}

// A channel bound to a record with the given coefficient.
struct Channel {
  explicit Channel(float coefficient) : record(FreshRecord()) {
    record.coefficient = coefficient;
    motor.record = &record;
  }
  MotorRecord record;
  SMotor motor;
};

struct StepsCase {
  float coefficient;
  double units;
  std::int32_t steps;
};
void PrintTo(const StepsCase& c, std::ostream* os) { *os << c.units << " units at " << c.coefficient; }

class ToStepsTest : public ::testing::TestWithParam<StepsCase> {};

TEST_P(ToStepsTest, RoundsHalfAwayFromZero) {
  const StepsCase& c = GetParam();
  Channel ch(c.coefficient);
  EXPECT_EQ(ToSteps(ch.motor, c.units), c.steps) << c.units << " units at " << c.coefficient;
}

INSTANTIATE_TEST_SUITE_P(Values, ToStepsTest,
                         ::testing::Values(StepsCase{200.0f, 0.0025, 1}, StepsCase{200.0f, -0.0025, -1},
                                           StepsCase{200.0f, 0.0024, 0}, StepsCase{200.0f, -0.0024, 0},
                                           StepsCase{200.0f, 1.5, 300}, StepsCase{1.0f, 2.5, 3},
                                           StepsCase{1.0f, -2.5, -3}, StepsCase{1.0f, 2.4999, 2},
                                           StepsCase{0.5f, 3.0, 2},  // 1.5 rounds away: 2
                                           StepsCase{0.0f, 123.0, 0}, StepsCase{-4.0f, 2.0, -8}));

TEST(ToStepsTest, OutOfRangeAndNotANumber) {
  Channel ch(1000.0f);
  std::int32_t steps = 7;
  EXPECT_FALSE(TryToSteps(ch.motor, 1e9, steps));
  EXPECT_EQ(steps, 0);
  EXPECT_EQ(ToSteps(ch.motor, 1e9), INT_MAX);
  EXPECT_EQ(ToSteps(ch.motor, -1e9), INT_MIN);
  EXPECT_FALSE(TryToSteps(ch.motor, std::nan(""), steps));
  EXPECT_EQ(ToSteps(ch.motor, std::nan("")), 0);
  EXPECT_EQ(ToSteps(ch.motor, std::numeric_limits<double>::infinity()), INT_MAX);
  EXPECT_TRUE(TryToSteps(ch.motor, 2147483.0, steps));
  EXPECT_EQ(steps, 2147483000);
  SMotor unbound;
  EXPECT_EQ(ToSteps(unbound, 5.0), 0);
}

TEST(ToUnitsTest, DividesByTheCoefficient) {
  Channel ch(200.0f);
  EXPECT_DOUBLE_EQ(ToUnits(ch.motor, 1), 0.005);
  EXPECT_DOUBLE_EQ(ToUnits(ch.motor, -300), -1.5);
  Channel zero(0.0f);
  EXPECT_EQ(ToUnits(zero.motor, 1000), 0.0);
  SMotor unbound;
  EXPECT_EQ(ToUnits(unbound, 1000), 0.0);
  Channel steps(1.0f);
  EXPECT_DOUBLE_EQ(ToUnits(steps.motor, INT_MIN), -2147483648.0);
}

TEST(UnitsRoundTripTest, StepsSurviveTheTripThroughUnits) {
  for (float coefficient : {1.0f, 3.0f, 200.0f, 0.01f, 123.456f}) {
    Channel ch(coefficient);
    for (std::int32_t steps : {0, 1, -1, 77, -12345, 1000000}) {
      EXPECT_EQ(ToSteps(ch.motor, ToUnits(ch.motor, steps)), steps) << coefficient << " " << steps;
    }
  }
}

}  // namespace
}  // namespace mervane
