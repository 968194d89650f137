// The speed ramp of a move: step intervals of acceleration, cruise and deceleration, short moves,
// reversals, stops in every phase, one-step moves, refused and empty starts, block types and the
// initialisation run. Ticks come exactly when a step is due, so intervals are the ramp law's own.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <vector>

#include "support.h"

namespace mervane::testing {
namespace {

using Bytes = ByteImage;
using MotionRampTest = MotionTest;

constexpr double kK = 100.0;  // rampConstant in ms: A = 20 times minimum step time 5 ms

void ExpectIntervals(const std::vector<double>& actual, const std::vector<double>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) EXPECT_NEAR(actual[i], expected[i], 1e-6) << "interval " << i + 1;
}

// A = 20, 5 ms: 100, 50, 33.3, ... 5.26 ms while accelerating, 5 ms cruising, and the mirror
// image 5.26 ... 100 ms while decelerating; the last step ends the move in its own tick.
TEST_F(MotionRampTest, LongMoveAcceleratesCruisesAndDecelerates) {
  int ch = AddMotor({.acceleration = 20, .minStepTime = 5});
  ASSERT_TRUE(Start(ch, 100));
  Trace trace = TickAtDueTimes(ch, kT0);
  std::vector<double> expected;
  for (int k = 1; k <= 19; ++k) expected.push_back(kK / k);
  for (int i = 0; i < 61; ++i) expected.push_back(5.0);
  for (int c = 19; c >= 1; --c) expected.push_back(kK / c);
  ExpectIntervals(IntervalsMs(trace.stepTimes), expected);
  EXPECT_NEAR(IntervalsMs(trace.stepTimes)[2], 33.333333, 1e-5);
  EXPECT_NEAR(IntervalsMs(trace.stepTimes)[18], 5.263158, 1e-5);
  EXPECT_EQ(Motor(ch).position, 100);
  EXPECT_EQ(Motor(ch).rampState, RampState::Idle);
  EXPECT_EQ(boxsim_position(kSerial, 1), 100);
}

TEST_F(MotionRampTest, ShortMoveDeceleratesBeforeReachingFullSpeed) {
  int ch = AddMotor({.acceleration = 20, .minStepTime = 5});
  ASSERT_TRUE(Start(ch, 10));
  Trace trace = TickAtDueTimes(ch, kT0);
  ExpectIntervals(IntervalsMs(trace.stepTimes),
                  {kK / 1, kK / 2, kK / 3, kK / 4, kK / 5, kK / 4, kK / 3, kK / 2, kK / 1});
  EXPECT_EQ(Motor(ch).position, 10);
  EXPECT_EQ(trace.highest, 10);
}

// On the real 1 ms grid a step comes at the first tick at or after its due time: every interval
// is the law's, rounded up to whole ticks.
TEST_F(MotionRampTest, OnTheMillisecondGridIntervalsRoundUpToTicks) {
  int ch = AddMotor({.acceleration = 20, .minStepTime = 5});
  ASSERT_TRUE(Start(ch, 100));
  std::vector<long> stepTicks;
  long k = 0;
  for (std::int32_t last = 0; Running(ch) && k < 100000; ++k) {
    Tick(Ms(k));
    if (std::int32_t p = Motor(ch).position; p != last) {
      stepTicks.push_back(k);
      last = p;
    }
  }
  ASSERT_EQ(stepTicks.size(), 100u);
  std::vector<double> law;
  for (int i = 1; i <= 19; ++i) law.push_back(kK / i);
  for (int i = 0; i < 61; ++i) law.push_back(5.0);
  for (int c = 19; c >= 1; --c) law.push_back(kK / c);
  for (std::size_t i = 1; i < stepTicks.size(); ++i) {
    double ticks = static_cast<double>(stepTicks[i] - stepTicks[i - 1]);
    EXPECT_GE(ticks, law[i - 1] - 1e-6) << "interval " << i;
    EXPECT_LT(ticks, law[i - 1] + 1.0 + 1e-6) << "interval " << i;
  }
}

TEST_F(MotionRampTest, ZeroAccelerationStepsEveryMinimumStepTime) {
  int ch = AddMotor({.acceleration = 0, .minStepTime = 2});
  ASSERT_TRUE(Start(ch, -6));
  long k = 0;
  TickUntilStopped(k, ch);
  EXPECT_EQ(Motor(ch).position, -6);
  EXPECT_EQ(boxsim_position(kSerial, 1), -6);
}

// --- Reversals ------------------------------------------------------------------------------

TEST_F(MotionRampTest, ReversalWhileCruisingRunsDownThenComesBack) {
  StoppedEvents events;
  int ch = AddMotor({.acceleration = 20, .minStepTime = 5});
  ASSERT_TRUE(Start(ch, 200));
  Trace out = TickAtDueTimes(ch, kT0, [](const SMotor& m) { return m.position == 100; });
  ASSERT_EQ(Motor(ch).rampState, RampState::Cruising);
  ASSERT_TRUE(Start(ch, 0));
  Trace back = TickAtDueTimes(ch, out.next);
  EXPECT_EQ(back.highest, 120) << "the run-down takes A steps on";
  std::vector<double> intervals = IntervalsMs(back.stepTimes);
  ASSERT_GE(intervals.size(), 20u);
  std::vector<double> expected;
  for (int c = 19; c >= 1; --c) expected.push_back(kK / c);
  expected.push_back(1.0);  // turned: the first step the other way comes at the next tick
  ExpectIntervals(std::vector<double>(intervals.begin(), intervals.begin() + 20), expected);
  EXPECT_EQ(Motor(ch).position, 0);
  EXPECT_EQ(boxsim_position(kSerial, 1), 0);
  EXPECT_EQ(boxsim_errors(kSerial, 1), 0);
  EXPECT_EQ(events.Channels(), (std::vector<std::uint32_t>{0})) << "the turn is no stop";
}

// A reversal during the acceleration runs down from the speed reached, over as many steps as
// were accelerated, rather than stopping dead from near full speed.
TEST_F(MotionRampTest, ReversalWhileAcceleratingMirrorsTheStepsTaken) {
  int ch = AddMotor({.acceleration = 20, .minStepTime = 5});
  ASSERT_TRUE(Start(ch, 200));
  Trace out = TickAtDueTimes(ch, kT0, [](const SMotor& m) { return m.position == 5; });
  ASSERT_TRUE(Start(ch, -10));
  Trace back = TickAtDueTimes(ch, out.next);
  EXPECT_EQ(back.highest, 10);
  std::vector<double> all = IntervalsMs(Joined(out, back));
  ASSERT_GE(all.size(), 10u);
  // Up 100, 50, 33.3, 25, then the interval already scheduled (20); the run-down 25, 33.3, 50,
  // 100; the turn.
  ExpectIntervals(std::vector<double>(all.begin(), all.begin() + 10),
                  {kK / 1, kK / 2, kK / 3, kK / 4, kK / 5, kK / 4, kK / 3, kK / 2, kK / 1, 1.0});
  EXPECT_EQ(Motor(ch).position, -10);
  EXPECT_EQ(boxsim_position(kSerial, 1), -10);
}

TEST_F(MotionRampTest, ReversalLateInTheAccelerationNeverStopsDead) {
  int ch = AddMotor({.acceleration = 20, .minStepTime = 5});
  ASSERT_TRUE(Start(ch, 200));
  Trace out = TickAtDueTimes(ch, kT0, [](const SMotor& m) { return m.position == 19; });
  ASSERT_TRUE(Start(ch, 0));
  Trace back = TickAtDueTimes(ch, out.next);
  EXPECT_EQ(back.highest, 38);
  // Every interval of the run-down is at least the one before it: the speed only falls.
  std::vector<double> runDown = IntervalsMs(back.stepTimes);
  for (std::size_t i = 1; i < 18; ++i) EXPECT_GE(runDown[i], runDown[i - 1] - 1e-9) << i;
  EXPECT_EQ(Motor(ch).position, 0);
}

// The slot reconfigured with another ramp length while the motor runs, then the move is changed:
// the move keeps the ramp it started with, ends where it should, and no interval runs away.
struct RampChangeCase {
  const char* name;
  std::int8_t acceleration;  // at the start
  std::int32_t firstTarget;
  std::int32_t changeAt;     // position when the slot is reconfigured
  std::int8_t newAcceleration;
  std::int32_t secondTarget;
  std::int32_t furthest;     // highest position on the way
};
void PrintTo(const RampChangeCase& c, std::ostream* os) { *os << c.name; }

class RampChangeTest : public MotionTest, public ::testing::WithParamInterface<RampChangeCase> {};

TEST_P(RampChangeTest, TheMoveKeepsTheRampItStartedWith) {
  const RampChangeCase& c = GetParam();
  int ch = AddMotor({.acceleration = c.acceleration, .minStepTime = 1});
  ASSERT_TRUE(Start(ch, c.firstTarget));
  Trace out = TickAtDueTimes(ch, kT0, [&](const SMotor& m) { return m.position == c.changeAt; });
  {
    LibraryLock lock;
    MotorRecord record = Box().settings.records[ch];
    record.acceleration = c.newAcceleration;
    ASSERT_TRUE(ConfigureSlot(Box(), ch, record, true));
  }
  ASSERT_TRUE(Start(ch, c.secondTarget));
  Trace rest = TickAtDueTimes(ch, out.next);
  EXPECT_FALSE(Running(ch));
  EXPECT_EQ(Motor(ch).position, c.secondTarget);
  EXPECT_EQ(std::max(out.highest, rest.highest), c.furthest);
  std::vector<double> all = IntervalsMs(Joined(out, rest));
  EXPECT_LE(*std::max_element(all.begin(), all.end()), c.acceleration * 1.0 + 1e-6);
}

INSTANTIATE_TEST_SUITE_P(
    Changes, RampChangeTest,
    ::testing::Values(
        // Shortened after one step, then reversed: runs down the one step, not four billion.
        RampChangeCase{"ShortenedThenReversed", 8, 500, 1, 2, -5, 2},
        // Lengthened during the run-down, then the target moved further: accelerates on with the
        // old ramp (the new length mixed in gave an infinite interval).
        RampChangeCase{"LengthenedThenFurther", 5, 12, 9, 8, 40, 40}),
    ParamName());

// A two-wire motor that has only sent its set-up turns at once: a new set-up the other way, and
// no step in the old direction.
TEST_F(MotionRampTest, ReversalBeforeTheFirstStepJustTurns) {
  int ch = AddMotor({.address = 2, .type = 0x01, .acceleration = 20, .minStepTime = 5, .maxStepTime = 10});
  ASSERT_TRUE(Start(ch, 5));
  Tick(Ms(0));
  ASSERT_TRUE(Start(ch, -3));
  Trace trace = TickAtDueTimes(ch, Ms(1));
  EXPECT_EQ(trace.highest, 0);
  Bytes wire = WireBytes(kSerial);
  ASSERT_GE(wire.size(), 10u);
  EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 10), (Bytes{0x98, 0x98, 0x98, 0x98, 0xF8, 0x9C, 0x9C, 0x9C, 0x9C, 0xFC}));
  EXPECT_EQ(Motor(ch).position, -3);
  EXPECT_EQ(boxsim_position(kSerial, 2), -3);
}

// The target moved further away during the run-down: the acceleration resumes at the speed of
// the last interval, without a pause.
TEST_F(MotionRampTest, TargetMovedFurtherWhileDeceleratingResumesWithoutPause) {
  int ch = AddMotor({.acceleration = 20, .minStepTime = 5, .maxStepTime = 200});
  ASSERT_TRUE(Start(ch, 30));
  Trace first = TickAtDueTimes(ch, kT0, [](const SMotor& m) { return m.position == 20; });
  ASSERT_EQ(Motor(ch).rampState, RampState::Decelerating);
  ASSERT_TRUE(Start(ch, 100));
  Trace rest = TickAtDueTimes(ch, first.next);
  std::vector<double> all = IntervalsMs(Joined(first, rest));
  ASSERT_EQ(all.size(), 99u);
  // After step 20 (counter 10) the interval was 10 ms; step 21 keeps it, step 22 too, then faster.
  EXPECT_NEAR(all[19], kK / 10, 1e-6);
  EXPECT_NEAR(all[20], kK / 10, 1e-6);
  EXPECT_NEAR(all[21], kK / 10, 1e-6);
  EXPECT_NEAR(all[22], kK / 11, 1e-6);
  for (std::size_t i = 0; i < all.size(); ++i) EXPECT_LE(all[i], kK + 1e-6) << "interval " << i + 1;
  EXPECT_EQ(Motor(ch).position, 100);
}

// --- Stops ----------------------------------------------------------------------------------

struct StopCase {
  const char* name;
  std::int32_t moveTo;
  std::int32_t stopAt;    // position when the stop is requested
  RampState phase;        // ramp state at that moment
  std::int32_t restsAt;
};
void PrintTo(const StopCase& c, std::ostream* os) { *os << c.name; }

class RequestStopTest : public MotionTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(RequestStopTest, RunsDownWithinTheRampLength) {
  const StopCase& c = GetParam();
  StoppedEvents events;
  int ch = AddMotor({.acceleration = 20, .minStepTime = 5});
  ASSERT_TRUE(Start(ch, c.moveTo));
  Trace before = TickAtDueTimes(ch, kT0, [&](const SMotor& m) { return m.position == c.stopAt; });
  ASSERT_EQ(Motor(ch).position, c.stopAt);
  ASSERT_EQ(Motor(ch).rampState, c.phase);
  Stop(ch);
  EXPECT_EQ(Motor(ch).target, c.restsAt);
  EXPECT_DOUBLE_EQ(Motor(ch).destinationUnits, c.restsAt);
  Trace after = TickAtDueTimes(ch, before.next);
  EXPECT_EQ(Motor(ch).position, c.restsAt);
  // Never past the resting place, whichever way it moved.
  EXPECT_EQ(c.moveTo > 0 ? std::max(before.highest, after.highest) : std::min(before.lowest, after.lowest), c.restsAt);
  EXPECT_EQ(boxsim_position(kSerial, 1), c.restsAt);
  EXPECT_EQ(events.Count(), 1u);
  // No interval is longer than the slowest ramp step: the run-down has no pause in it.
  std::vector<double> all = IntervalsMs(Joined(before, after));
  EXPECT_LE(*std::max_element(all.begin(), all.end()), kK + 1e-6);
}

INSTANTIATE_TEST_SUITE_P(
    Phases, RequestStopTest,
    ::testing::Values(StopCase{"Accelerating", 1000, 5, RampState::Accelerating, 25},
                      StopCase{"Cruising", 1000, 100, RampState::Cruising, 120},
                      StopCase{"Decelerating", 100, 90, RampState::Decelerating, 100},
                      // A short move is never lengthened by a stop: it still ends at its target.
                      StopCase{"ShortMoveAccelerating", 10, 2, RampState::Accelerating, 10},
                      StopCase{"Downwards", -1000, -50, RampState::Cruising, -70}),
    ParamName());

TEST_F(MotionRampTest, StopDuringAReversalEndsWhereTheRunDownEnds) {
  int ch = AddMotor({.acceleration = 20, .minStepTime = 5});
  ASSERT_TRUE(Start(ch, 200));
  Trace out = TickAtDueTimes(ch, kT0, [](const SMotor& m) { return m.position == 100; });
  ASSERT_TRUE(Start(ch, 0));
  Trace turning = TickAtDueTimes(ch, out.next, [](const SMotor& m) { return m.position == 105; });
  Stop(ch);
  EXPECT_EQ(Motor(ch).target, 120);
  Trace rest = TickAtDueTimes(ch, turning.next);
  EXPECT_EQ(Motor(ch).position, 120);
  EXPECT_EQ(rest.lowest, 105) << "it did not come back";
  EXPECT_EQ(boxsim_position(kSerial, 1), 120);
}

TEST_F(MotionRampTest, StopOnARestingChannelOnlyRecomputesTheDestination) {
  int ch = AddMotor({.acceleration = 20, .coefficient = 4.0f});
  {
    DeviceGuard guard(Box());
    Box().motors[ch].zero = 8;
  }
  Stop(ch);
  EXPECT_EQ(Motor(ch).target, 0);
  EXPECT_DOUBLE_EQ(Motor(ch).destinationUnits, -2.0);
  EXPECT_FALSE(Running(ch));
}

// --- Ends and starts ------------------------------------------------------------------------

TEST_F(MotionRampTest, OneStepMoveEndsAtItsNextDueTickWithAutoRelease) {
  StoppedEvents events;
  int ch = AddMotor({.address = 1, .autoRelease = true});
  ASSERT_TRUE(Start(ch, 1));
  Tick(Ms(0));
  EXPECT_EQ(WireBytes(kSerial), (Bytes{0x84, 0x84, 0xF4}));
  EXPECT_TRUE(Running(ch));
  for (long k = 1; k < 100; ++k) Tick(Ms(k));
  EXPECT_EQ(events.Count(), 0u);
  EXPECT_NEAR(Motor(ch).nextStepTime, Ms(100), 1e-9);
  Tick(Motor(ch).nextStepTime);
  EXPECT_EQ(events.Channels(), (std::vector<std::uint32_t>{0}));
  EXPECT_FALSE(Running(ch));
  EXPECT_EQ(WireBytes(kSerial), (Bytes{0x84, 0x84, 0xF4, 0x80, 0xF0}));
  EXPECT_EQ(boxsim_energised(kSerial, 1), 0);
  EXPECT_EQ(boxsim_position(kSerial, 1), 1);
}

TEST_F(MotionRampTest, LongMoveWithAutoReleaseReleasesInItsLastTick) {
  int ch = AddMotor({.address = 3, .acceleration = 4, .minStepTime = 1, .autoRelease = true});
  ASSERT_TRUE(Start(ch, 12));
  TickAtDueTimes(ch, kT0);
  Bytes wire = WireBytes(kSerial);
  ASSERT_GE(wire.size(), 5u);
  // The twelfth step (position 12: pattern 0x08) and then the release.
  EXPECT_EQ(Bytes(wire.end() - 5, wire.end()), (Bytes{0xA8, 0xA8, 0xF8, 0xA0, 0xF0}));
  EXPECT_EQ(boxsim_energised(kSerial, 3), 0);
  EXPECT_EQ(boxsim_position(kSerial, 3), 12);
}

TEST_F(MotionRampTest, MoveToTheCurrentTargetRaisesStoppedAndStartsNothing) {
  StoppedEvents events;
  int ch = AddMotor({.address = 1});
  {
    DeviceGuard guard(Box());
    Box().motors[ch].zero = 7;
    Box().motors[ch].position = Box().motors[ch].target = 7;
  }
  EXPECT_TRUE(Start(ch, 0));
  EXPECT_EQ(events.Channels(), (std::vector<std::uint32_t>{0}));
  EXPECT_FALSE(Running(ch));
  for (long k = 0; k < 50; ++k) Tick(Ms(k));
  EXPECT_TRUE(WireBytes(kSerial).empty());
  EXPECT_EQ(Motor(ch).position, 7);
}

TEST_F(MotionRampTest, AddressZeroRefusesToStart) {
  int ch = AddMotor({.address = 0});
  EXPECT_FALSE(Start(ch, 40));
  EXPECT_FALSE(Running(ch));
  for (long k = 0; k < 50; ++k) Tick(Ms(k));
  EXPECT_TRUE(WireBytes(kSerial).empty());
  EXPECT_EQ(Motor(ch).position, 0);
}

// A refused start leaves its target behind; once the motor has an address the same move must
// still run, not be taken for "already there".
TEST_F(MotionRampTest, MoveRefusedForNoAddressRunsOnceAddressed) {
  int ch = AddMotor({.address = 0});
  ASSERT_FALSE(Start(ch, 40));
  {
    LibraryLock lock;
    MotorRecord record = Box().settings.records[ch];
    record.address = 1;
    ASSERT_TRUE(ConfigureSlot(Box(), ch, record, true));
  }
  boxsim_wire(kSerial, 1, "four-wire");
  ASSERT_TRUE(Start(ch, 40));
  EXPECT_TRUE(Running(ch));
  long k = 0;
  TickUntilStopped(k, ch);
  EXPECT_EQ(Motor(ch).position, 40);
  EXPECT_EQ(boxsim_position(kSerial, 1), 40);
}

struct BlockCase {
  const char* name;
  std::int32_t moveTo;
  std::int32_t position;  // at rest
  std::int32_t target;
};
void PrintTo(const BlockCase& c, std::ostream* os) { *os << c.name; }

class BlockEndTest : public MotionTest, public ::testing::WithParamInterface<BlockCase> {};

// A block axis (type bit 0x40) cannot pass its length: a move beyond it rests at the length.
TEST_P(BlockEndTest, RestsWithinTheLength) {
  const BlockCase& c = GetParam();
  int ch = AddMotor({.type = 0xC5, .acceleration = 5, .minStepTime = 1, .length = 100});
  ASSERT_TRUE(Start(ch, c.moveTo));
  long k = 0;
  TickUntilStopped(k, ch);
  EXPECT_EQ(Motor(ch).position, c.position);
  EXPECT_EQ(Motor(ch).target, c.target);
}

INSTANTIATE_TEST_SUITE_P(Lengths, BlockEndTest,
                         ::testing::Values(BlockCase{"Beyond", 150, 100, 100}, BlockCase{"Within", 80, 80, 80},
                                           BlockCase{"AtLength", 100, 100, 100}, BlockCase{"BelowZero", -30, -30, -30}),
                         ParamName());

TEST_F(MotionRampTest, NonBlockTypeIsNotClamped) {
  int ch = AddMotor({.type = 0x85, .acceleration = 5, .minStepTime = 1, .length = 100});
  ASSERT_TRUE(Start(ch, 150));
  long k = 0;
  TickUntilStopped(k, ch);
  EXPECT_EQ(Motor(ch).position, 150);
}

// --- Initialize -----------------------------------------------------------------------------

struct InitCase {
  const char* name;
  std::uint8_t type;
  std::int32_t length;
  std::int32_t position;
  std::int32_t zero;
  bool runs;
  std::int32_t target;
};
void PrintTo(const InitCase& c, std::ostream* os) { *os << c.name; }

class InitializeTest : public MotionTest, public ::testing::WithParamInterface<InitCase> {};

TEST_P(InitializeTest, HeadsTenPercentBeyondTheLowEnd) {
  const InitCase& c = GetParam();
  int ch = AddMotor({.type = c.type, .length = c.length});
  {
    DeviceGuard guard(Box());
    SMotor& m = Box().motors[ch];
    m.position = m.target = c.position;
    m.zero = c.zero;
    Initialize(m);
  }
  EXPECT_EQ(Running(ch), c.runs);
  EXPECT_EQ(Motor(ch).target, c.target);
  EXPECT_EQ(Motor(ch).direction, c.runs ? -1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Types, InitializeTest,
    ::testing::Values(InitCase{"FourWireDoesNothing", 0x85, 1000, 0, 0, false, 0},
                      InitCase{"BlockFromZero", 0xC5, 1000, 0, 0, true, -1100},
                      InitCase{"RelativeToTheZero", 0xC5, 1000, 0, 50, true, -1050},
                      InitCase{"TruncatedTowardZero", 0x6A, 999, 10, 0, true, -1088},
                      InitCase{"HugeLengthIsClamped", 0x41, INT_MAX, 0, 0, true, INT_MIN}),
    ParamName());

TEST_F(MotionRampTest, InitializeRunsToRestBelowZero) {
  int ch = AddMotor({.type = 0xC5, .acceleration = 10, .minStepTime = 1, .length = 100});
  {
    DeviceGuard guard(Box());
    Initialize(Box().motors[ch]);
  }
  long k = 0;
  TickUntilStopped(k, ch);
  EXPECT_EQ(Motor(ch).position, -110);
  EXPECT_EQ(Motor(ch).destination, Motor(ch).target);
  EXPECT_EQ(boxsim_position(kSerial, 1), -110);
}

// --- Batch start (Run) ----------------------------------------------------------------------

TEST_F(MotionRampTest, HeldStartsWaitForTheLastAndBeginInOneTick) {
  int a = AddMotor({.address = 1});
  int b = AddMotor({.address = 2});
  ASSERT_TRUE(Start(a, 10, true));
  for (long k = 0; k < 20; ++k) Tick(Ms(k));
  EXPECT_TRUE(WireBytes(kSerial).empty());
  EXPECT_EQ(Motor(a).position, 0);
  ASSERT_TRUE(Start(b, 10, false));
  Tick(Ms(20));
  EXPECT_EQ(WireBytes(kSerial), (Bytes{0x84, 0x84, 0xF4, 0x94, 0x94, 0xF4}));
  EXPECT_EQ(WireWriteSizes(kSerial), (std::vector<int>{6}));
}

TEST_F(MotionRampTest, LastStartAlreadyThereStillLetsTheBatchGo) {
  int a = AddMotor({.address = 1});
  int b = AddMotor({.address = 2});
  ASSERT_TRUE(Start(a, 10, true));
  ASSERT_TRUE(Start(b, 0, false));  // already at its destination
  Tick(Ms(0));
  EXPECT_EQ(Motor(a).position, 1);
}

TEST_F(MotionRampTest, RefusedStartDoesNotFreezeTheBox) {
  int a = AddMotor({.address = 1});
  int b = AddMotor({.address = 0});
  ASSERT_TRUE(Start(a, 10, true));
  ASSERT_FALSE(Start(b, 10, true));
  Tick(Ms(0));
  EXPECT_EQ(Motor(a).position, 1);
}

}  // namespace
}  // namespace mervane::testing
