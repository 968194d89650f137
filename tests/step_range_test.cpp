// Step positions at the ends of the int32 range: every path that forms a target checks its range
// and a refused start changes nothing; positions from a file are held to the range; arithmetic on
// position, target, destination and zero never overflows; no saved position is infinite.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "api_fixture.h"

namespace mervane::testing {
namespace {

constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();

class StepRangeTest : public ApiTest {
protected:
  // Opens the box with channel 0 configured from `record` (written as its settings file).
  void StartWith(const MotorRecord& record) {
    DeviceSettings block = FreshSettings();
    block.records[0] = record;
    WriteFileBytes(SettingsFile(kSerial), BlockBytes(block));
    ASSERT_EQ(Start(), 1);
    ASSERT_EQ(SM_GetCount(0), 1);
  }
};

// The fields a refused start must leave as they were.
void ExpectSameMotion(const SMotor& after, const SMotor& before) {
  EXPECT_EQ(after.position, before.position);
  EXPECT_EQ(after.target, before.target);
  EXPECT_EQ(after.destination, before.destination);
  EXPECT_EQ(after.direction, before.direction);
  EXPECT_EQ(after.zero, before.zero);
  EXPECT_EQ(after.destinationUnits, before.destinationUnits);
}

struct RefusedStart {
  const char* name;
  std::uint8_t address;  // 0: the record has no connector
  std::function<bool()> start;
};
void PrintTo(const RefusedStart& c, std::ostream* os) { *os << c.name; }

class RefusedStartTest : public StepRangeTest, public ::testing::WithParamInterface<RefusedStart> {};

// Coefficient 1000 and a saved position of 2147400 units: the zero lies at 2147400000 steps, and
// 100 units further (100000 steps) is beyond int32. Each way of starting that move is refused
// and changes nothing (before, the target wrapped to about -2.1e9 and the motor ran the wrong
// way); a stop afterwards works on the unchanged values.
TEST_P(RefusedStartTest, ATargetBeyondInt32IsRefusedAndChangesNothing) {
  const RefusedStart& c = GetParam();
  MotorRecord record = UsedRecord(c.address, 1000.0f, 2147400.0f, "X");
  StartWith(record);
  ASSERT_TRUE(SM_SetZero(0, 0));
  ASSERT_EQ(Channel(0, 0).zero, 2147400000);
  const SMotor before = Channel(0, 0);
  boxsim_clear(kSerial);

  EXPECT_FALSE(c.start());
  ExpectSameMotion(Channel(0, 0), before);
  TickFor(0.05);
  EXPECT_TRUE(WireBytes(kSerial).empty());
  EXPECT_TRUE(SM_Stop(0, 0));
  EXPECT_DOUBLE_EQ(SM_GetTarget(0, 0), (static_cast<double>(before.destination) - before.zero) / 1000.0);
  EXPECT_DOUBLE_EQ(SM_GetPosition(0, 0), 0.0);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RefusedStartTest,
    ::testing::Values(
        RefusedStart{"SM_Move", 1, [] { return SM_Move(0, 0, 100.0); }},
        RefusedStart{"SMN_Move", 1, [] { return SMN_Move("X", 100.0, false); }},
        RefusedStart{"SMN_StepMove", 1, [] { return SMN_StepMove("X", 100000, false); }},
        RefusedStart{"SMN_StepMove_relative", 1, [] { return SMN_StepMove("X", 100000, true); }},
        RefusedStart{"SM_SetDestination", 1, [] { return SM_SetDestination(0, 0, 100.0); }},
        // Without a connector the start is refused for that reason too; before, the refusal
        // still wrote the wrapped target and SM_Stop then overflowed on target - zero.
        RefusedStart{"SM_Move_no_address", 0, [] { return SM_Move(0, 0, 100.0); }},
        RefusedStart{"SM_Move_no_address_in_range", 0, [] { return SM_Move(0, 0, -5.0); }}),
    [](const auto& test) { return std::string(test.param.name); });

// Run starts towards destination - zero and a relative step move adds target - zero: near the
// end of the range these differences leave int32 although the target itself is fine. They are
// taken in 64 bits, and reported positions relative to the zero are exact, not saturated.
TEST_F(StepRangeTest, RunAndRelativeStepMovesNearTheEndOfTheRange) {
  StartWith(UsedRecord(1, 1.0f, 0.0f, "X"));
  {
    LibraryLock lock;
    DeviceGuard guard(Device(0));
    SMotor& m = Device(0).motors[0];
    m.position = m.target = kMax - 5;
    m.zero = -100;
    m.destination = kMax - 8;  // absolute, as SM_SetDestination keeps it
  }
  ASSERT_TRUE(::Run(0));
  ASSERT_TRUE(TickUntilIdle(0, 0));
  EXPECT_EQ(Channel(0, 0).position, kMax - 8);
  EXPECT_TRUE(SMN_StepMove("X", 3, true));
  ASSERT_TRUE(TickUntilIdle(0, 0));
  EXPECT_EQ(Channel(0, 0).position, kMax - 5);
  const SMotor before = Channel(0, 0);
  EXPECT_FALSE(SMN_StepMove("X", 6, true)) << "one beyond the end";
  ExpectSameMotion(Channel(0, 0), before);
  EXPECT_EQ(SM_GetPosition(0, 0), static_cast<double>(kMax) - 5.0 + 100.0);
  EXPECT_EQ(SM_GetTarget(0, 0), static_cast<double>(kMax) - 5.0 + 100.0);
}

// Saved positions that are no int32 step count are held to the range (0 for not a number) and
// every value derived from them stays exact: zero, reset and stop compute 0 - INT32_MIN in 64
// bits, and a relative move from there is refused instead of starting from a wrapped destination.
struct LoadedPosition {
  const char* name;
  float saved;
  std::int32_t steps;
};

class LoadedPositionTest : public StepRangeTest, public ::testing::WithParamInterface<LoadedPosition> {};

TEST_P(LoadedPositionTest, IsHeldToTheRangeAndNothingOverflowsAfterwards) {
  const LoadedPosition& c = GetParam();
  StartWith(UsedRecord(1, 1.0f, c.saved, "X"));
  SMotor m = Channel(0, 0);
  EXPECT_EQ(m.position, c.steps);
  EXPECT_EQ(m.target, c.steps);
  EXPECT_EQ(SM_GetRealPosition(0, 0), static_cast<double>(c.steps));

  ASSERT_TRUE(SM_SetZero(0, 0));
  ASSERT_TRUE(SM_Reset(0, 0));
  EXPECT_TRUE(SM_Stop(0, 0));
  const double fromZero = -static_cast<double>(c.steps);  // position 0 against the zero
  EXPECT_EQ(SM_GetPosition(0, 0), fromZero);
  EXPECT_EQ(SM_GetTarget(0, 0), fromZero);
  EXPECT_EQ(Channel(0, 0).destinationUnits, fromZero);
  if (c.steps == kMin) {
    EXPECT_FALSE(SMN_Move("X", 1.0, true)) << "2147483649 units from the zero";
  }
  // Where the motor is, relative to the zero: "already there", unless that number of steps is
  // beyond int32 itself (2^31 above a zero at INT32_MIN).
  EXPECT_EQ(SMN_Move("X", fromZero, false), c.steps != kMin);
  EXPECT_FALSE(SM_IsRunning(0, 0));
}

INSTANTIATE_TEST_SUITE_P(
    Saved, LoadedPositionTest,
    ::testing::Values(LoadedPosition{"below_int32", -3e9f, kMin}, LoadedPosition{"above_int32", 3e9f, kMax},
                      LoadedPosition{"not_a_number", std::numeric_limits<float>::quiet_NaN(), 0},
                      LoadedPosition{"minus_infinity", -std::numeric_limits<float>::infinity(), kMin},
                      LoadedPosition{"in_range", -12345.0f, -12345}),
    ParamName());

// A coefficient so small that a few steps are more units than a float32 holds: a set-up refuses
// it; one that a settings file already holds still drives the motor, and the saved position is
// then the largest finite float32 of the right sign, never infinity, and the record handed out by
// SM_GetInfo says the same.
TEST_F(StepRangeTest, AShortMoveWithATinyCoefficientIsNeverSavedAsInfinity) {
  StartWith(UsedRecord(1, 1e-36f, 0.0f, "T"));
  MotorInfo refused = FourWireInfo(2, "U", 1e-36f);
  EXPECT_EQ(SM_Setup(0, -1, &refused), -1) << "a set-up takes no coefficient below 2^31 / FLT_MAX";
  for (std::int32_t steps : {1000, -1000}) {
    SCOPED_TRACE(steps);
    ASSERT_TRUE(SMN_StepMove("T", steps, false));
    ASSERT_TRUE(TickUntilIdle(0, 0));
    ASSERT_TRUE(CloseDevice(0));
    float saved = ReadAt<float>(ReadFileBytes(SettingsFile(kSerial)), RecordOffset(0) + kRecordPosition);
    EXPECT_TRUE(std::isfinite(saved));
    EXPECT_EQ(saved, steps > 0 ? std::numeric_limits<float>::max() : -std::numeric_limits<float>::max());
    ASSERT_TRUE(OpenDevice(0));
    MotorInfo info;
    ASSERT_TRUE(SM_GetInfo(0, 0, &info));
    EXPECT_TRUE(std::isfinite(info.position));
  }
}

// ---- The run-down of a reversal at the end of the range --------------------------------------

using RangeEndTest = MotionTest;

// A motor that would step past INT32_MAX stops there instead of wrapping to INT32_MIN.
TEST_F(RangeEndTest, AStepBeyondTheEndOfTheRangeHaltsTheMotorThere) {
  int ch = AddMotor({.address = 1});
  {
    LibraryLock lock;
    DeviceGuard guard(Box());
    SMotor& m = Box().motors[ch];
    m.position = m.target = kMax - 2;
  }
  ASSERT_TRUE(Start(ch, kMax));
  {
    LibraryLock lock;
    DeviceGuard guard(Box());
    SMotor& m = Box().motors[ch];
    m.position = kMax;  // as if a reversal's run-down had carried it to the end
    m.target = kMax - 10;
    m.rampState = RampState::Decelerating;
    m.rampCounter = 5;
  }
  StoppedEvents events;
  for (long k = 0; k < 20; ++k) Tick(Ms(k));
  SMotor m = Motor(ch);
  EXPECT_EQ(m.position, kMax);
  EXPECT_EQ(m.direction, 0);
  EXPECT_EQ(m.target, kMax);
  EXPECT_EQ(events.Count(), 1u);
}

}  // namespace
}  // namespace mervane::testing
