// The tick's time base: steps on the 1 ms grid whatever rounding the times carry and whatever
// jitter the wake-ups have, late ticks that do not bunch steps, skipped periods that lose none,
// and the timing counters with their C functions. Ticks run as the timer would run them, with
// explicit grid points and explicit lateness.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <ostream>
#include <vector>

#include "mervane_ext.h"
#include "support.h"

namespace mervane::testing {
namespace {

constexpr double kP = kTickPeriod;

// The ramp law of a move of `steps` steps (at least 2 * acceleration) in milliseconds per
// interval: A * min / k while accelerating, min while cruising, the mirror image while decelerating.
std::vector<double> LawMs(int acceleration, int minStepMs, int steps) {
  std::vector<double> law;
  const double k = static_cast<double>(acceleration) * minStepMs;
  for (int i = 1; i < acceleration; ++i) law.push_back(k / i);
  while (static_cast<int>(law.size()) < steps - acceleration) law.push_back(minStepMs);
  for (int c = acceleration - 1; c >= 1; --c) law.push_back(k / c);
  return law;
}

// The law rounded up to whole ticks.
long Ticks(double ms) { return std::lround(std::ceil(ms - 1e-9)); }

class TickTimingTest : public MotionTest {
protected:
  void SetUp() override {
    MotionTest::SetUp();
    TimerCounters().Reset();  // the timer's counters live as long as the process
  }

  // What the simulated timer saw: per step, the grid index of its tick and when it really went
  // out; the grid points passed over and the late ticks.
  struct Run {
    std::vector<long> stepTicks;
    std::vector<double> stepTimes;  // seconds: the tick's real start
    std::uint64_t skipped = 0;
    std::uint64_t late = 0;
    double worst = 0;
  };

  // Runs the timer on the grid base + index * 1 ms (from index 0) until the channel rests: the
  // tick of grid point `index` begins `lateness(index)` seconds late and, like the timer, the
  // next tick is the first grid point after that start.
  Run RunTimer(int channel, double base, const std::function<double(long)>& lateness, long limit = 100000) {
    Run run;
    long index = 0;
    std::uint64_t skipped = 0;
    for (long n = 0; n < limit && Running(channel); ++n) {
      const double due = base + static_cast<double>(index) * kP;
      const double late = lateness(index);
      const std::int32_t before = Motor(channel).position;
      Tick(TickTime{due, due + late, skipped});
      run.skipped += skipped;
      if (Motor(channel).position != before) {
        run.stepTicks.push_back(index);
        run.stepTimes.push_back(due + late);
      }
      run.late += late > kP / 2 ? 1 : 0;
      run.worst = std::max(run.worst, late);
      long next = index + 1;
      while (base + static_cast<double>(next) * kP <= due + late) ++next;
      skipped = static_cast<std::uint64_t>(next - index - 1);
      index = next;
    }
    EXPECT_FALSE(Running(channel));
    return run;
  }
};

struct GridCase {
  const char* name;
  std::int8_t acceleration;
  std::uint16_t minStepTime;
  double base;  // seconds: the timer's start on the monotonic clock
  friend void PrintTo(const GridCase& c, std::ostream* os) { *os << c.name; }
};

class GridTest : public TickTimingTest, public ::testing::WithParamInterface<GridCase> {};

// Ticks exactly on their grid points, or up to 0.45 ms late in an irregular pattern: every step
// goes out in the tick of the first grid point at or after its due time, so every interval is the
// law rounded up to whole ticks, never one tick more. Time bases up to a month of uptime make the
// sums of due times and grid points differ in their last bits.
TEST_P(GridTest, StepsGoOutInTheTickOfTheirGridPoint) {
  const GridCase& c = GetParam();
  const int steps = 120;
  const std::vector<double> law = LawMs(c.acceleration, c.minStepTime, steps);
  int ch = AddMotor({.address = 1, .acceleration = c.acceleration, .minStepTime = c.minStepTime});
  for (int pass = 0; pass < 2; ++pass) {
    const double jitter = pass == 0 ? 0.0 : 0.45e-3;
    ASSERT_TRUE(Start(ch, steps * (pass + 1)));
    std::uint32_t seed = 12345;
    Run run = RunTimer(ch, c.base + pass, [&](long) {
      seed = seed * 1103515245u + 12345u;
      return jitter * static_cast<double>((seed >> 8) % 1000) / 999.0;
    });
    ASSERT_EQ(run.stepTicks.size(), static_cast<std::size_t>(steps)) << "jitter " << jitter;
    EXPECT_EQ(run.stepTicks.front(), 0) << "a start goes out at the next tick";
    long ideal = 0;
    for (std::size_t i = 1; i < run.stepTicks.size(); ++i) {
      EXPECT_EQ(run.stepTicks[i] - run.stepTicks[i - 1], Ticks(law[i - 1])) << "interval " << i << ", jitter " << jitter;
      ideal += Ticks(law[i - 1]);
    }
    EXPECT_EQ(run.stepTicks.back(), ideal);
    EXPECT_EQ(run.late, 0u);
    EXPECT_EQ(run.skipped, 0u);
    EXPECT_EQ(boxsim_position(kSerial, 1), steps * (pass + 1));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Moves, GridTest,
    ::testing::Values(GridCase{"cruise_1ms_base100", 1, 1, 100.0},
                      GridCase{"cruise_1ms_base_month", 1, 1, 2629743.831},
                      GridCase{"cruise_5ms_base_odd", 1, 5, 4711.000813},
                      GridCase{"ramp20_5ms_base100", 20, 5, 100.0},
                      GridCase{"ramp20_5ms_base_day", 20, 5, 86399.9997},
                      GridCase{"ramp20_1ms_base_odd", 20, 1, 12345.678901},
                      GridCase{"ramp7_3ms_base_month", 7, 3, 2629743.831}),
    ParamName());

// A due time computed by a sum that overshoots the grid point by a rounding error still goes out
// in that grid point's tick, and one a whole microsecond and more past it waits for the next.
TEST_F(TickTimingTest, DueTestToleratesRoundingButNotRealLateness) {
  int ch = AddMotor({.address = 1, .acceleration = 1, .minStepTime = 5});
  ASSERT_TRUE(Start(ch, 10));
  Tick(Ms(0));
  ASSERT_EQ(Motor(ch).position, 1);
  const double grid = Ms(5);
  {
    DeviceGuard guard(Box());
    Box().motors[ch].nextStepTime = std::nextafter(std::nextafter(grid, 1e9), 1e9);
  }
  Tick(grid);
  EXPECT_EQ(Motor(ch).position, 2) << "two units in the last place past the grid point";
  {
    DeviceGuard guard(Box());
    Box().motors[ch].nextStepTime = Ms(10) + 2e-6;
  }
  Tick(Ms(10));
  EXPECT_EQ(Motor(ch).position, 2) << "2 us past the grid point is really later";
  Tick(Ms(11));
  EXPECT_EQ(Motor(ch).position, 3);
}

struct LateCase {
  const char* name;
  std::int8_t acceleration;
  std::uint16_t minStepTime;
  double lateness;  // seconds, of every 7th tick
  friend void PrintTo(const LateCase& c, std::ostream* os) { *os << c.name; }
};

class LateTickTest : public TickTimingTest, public ::testing::WithParamInterface<LateCase> {};

// Every 7th tick begins late. However late, no interval at the motor (between the real starts of
// the ticks that carried two successive steps) is shorter than the law minus half a period; a
// tick late by more than that times its steps from when it really ran, so the interval after it
// is the whole law. All steps arrive.
TEST_P(LateTickTest, NoIntervalShorterThanTheLawLessHalfAPeriod) {
  const LateCase& c = GetParam();
  const int steps = 120;
  const std::vector<double> law = LawMs(c.acceleration, c.minStepTime, steps);
  int ch = AddMotor({.address = 1, .acceleration = c.acceleration, .minStepTime = c.minStepTime});
  ASSERT_TRUE(Start(ch, steps));
  const auto lateness = [&](long index) { return index % 7 == 3 ? c.lateness : 0.0; };
  Run run = RunTimer(ch, kT0, lateness);
  ASSERT_EQ(run.stepTimes.size(), static_cast<std::size_t>(steps));
  for (std::size_t i = 1; i < run.stepTimes.size(); ++i) {
    const double interval = (run.stepTimes[i] - run.stepTimes[i - 1]) * 1000.0;
    EXPECT_GE(interval, law[i - 1] - 0.5 - 1e-6) << "interval " << i;
    if (c.lateness > kP / 2 && lateness(run.stepTicks[i - 1]) > 0) {
      EXPECT_GE(interval, law[i - 1] - 1e-6) << "interval " << i << " after a late tick";
    }
  }
  EXPECT_EQ(Motor(ch).position, steps);
  EXPECT_EQ(boxsim_position(kSerial, 1), steps);
  EXPECT_EQ(boxsim_errors(kSerial, 1), 0);
  const TickCounters::Values timer = TimerCounters().Read();
  EXPECT_EQ(timer.lateTicks, run.late);
  EXPECT_EQ(timer.skippedPeriods, run.skipped);
  EXPECT_NEAR(timer.worstLateness, run.worst, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(Lateness, LateTickTest,
                         ::testing::Values(LateCase{"cruise_1ms_0_3ms_late", 1, 1, 0.3e-3},
                                           LateCase{"cruise_1ms_0_49ms_late", 1, 1, 0.49e-3},
                                           LateCase{"cruise_1ms_0_8ms_late", 1, 1, 0.8e-3},
                                           LateCase{"cruise_5ms_0_9ms_late", 1, 5, 0.9e-3},
                                           LateCase{"cruise_5ms_3_7ms_late", 1, 5, 3.7e-3},
                                           LateCase{"ramp20_5ms_0_7ms_late", 20, 5, 0.7e-3},
                                           LateCase{"ramp20_1ms_0_6ms_late", 20, 1, 0.6e-3},
                                           LateCase{"ramp20_1ms_2_4ms_late", 20, 1, 2.4e-3}),
                         ParamName());

// A host stall: ticks 3.2 ms late pass over three grid points each. A motor due at every tick
// loses none of its steps; each goes out in a tick of its own (never two in one write), and the
// move simply ends later.
TEST_F(TickTimingTest, SkippedPeriodsLoseNoStep) {
  int ch = AddMotor({.address = 1, .acceleration = 1, .minStepTime = 1});
  ASSERT_TRUE(Start(ch, -60));
  Run run = RunTimer(ch, kT0, [](long index) { return index % 10 == 5 ? 3.2e-3 : 0.0; });
  EXPECT_EQ(run.stepTicks.size(), 60u);
  EXPECT_GT(run.skipped, 15u);
  EXPECT_EQ(Motor(ch).position, -60);
  EXPECT_EQ(boxsim_position(kSerial, 1), -60);
  EXPECT_EQ(boxsim_errors(kSerial, 1), 0);
  EXPECT_EQ(WireWriteSizes(kSerial), std::vector<int>(60, 3));
  for (std::size_t i = 1; i < run.stepTimes.size(); ++i)
    EXPECT_GE(run.stepTimes[i] - run.stepTimes[i - 1], 0.5e-3 - 1e-9) << "interval " << i;
}

// --- Counters --------------------------------------------------------------------------------

void ExpectCounts(const TickCounters::Values& v, std::uint64_t ticks, std::uint64_t skipped, std::uint64_t late,
                  std::uint64_t failed, std::uint64_t steps, double worst, const char* what) {
  EXPECT_EQ(v.ticks, ticks) << what;
  EXPECT_EQ(v.skippedPeriods, skipped) << what;
  EXPECT_EQ(v.lateTicks, late) << what;
  EXPECT_EQ(v.failedWrites, failed) << what;
  EXPECT_EQ(v.steps, steps) << what;
  EXPECT_DOUBLE_EQ(v.worstLateness, worst) << what;
}

// Two boxes through a scripted run: late ticks, skipped periods, a box held by the control
// thread, failed writes, a disconnected box. The timer counts every tick and sums the boxes'
// steps and failures; each box counts only the ticks that stepped it.
TEST_F(TickTimingTest, CountersCountWhatHappened) {
  boxsim_plug("VORK-ql2", "MOT00002");
  {
    LibraryLock lock;
    ASSERT_EQ(RefreshDevices(), 2);
    ASSERT_EQ(AddSlot(Device(1), MotionRecord({.address = 1, .acceleration = 1, .minStepTime = 1})), 0);
  }
  boxsim_wire("MOT00002", 1, "four-wire");
  int ch = AddMotor({.address = 1, .acceleration = 1, .minStepTime = 1});
  TimerCounters().Reset();
  Box().counters.Reset();
  Device(1).counters.Reset();
  ASSERT_TRUE(Start(ch, 1000));
  {
    LibraryLock lock;
    DeviceGuard guard(Device(1));
    ASSERT_TRUE(StartMove(Device(1).motors[0], 1000, false));
  }
  Tick(TickTime{Ms(0), Ms(0), 0});             // both step
  Tick(TickTime{Ms(1), Ms(1) + 0.3e-3, 0});    // 0.3 ms late: on time as far as motion goes
  Tick(TickTime{Ms(2), Ms(2) + 2.6e-3, 0});    // late: both step, the next at 2 + 2.6 + 1 ms
  Tick(TickTime{Ms(5), Ms(5), 2});             // after two grid points passed over: none due
  {
    LockHolder holder(Device(1));
    Tick(TickTime{Ms(6), Ms(6), 0});           // box 1 left out; box 0 steps
  }
  Tick(TickTime{Ms(7), Ms(7), 0});             // both step
  boxsim_fail(kSerial, "write", 1);
  Tick(TickTime{Ms(8), Ms(8) + 0.7e-3, 0});    // late: both step, box 0's write fails
  {
    DeviceGuard guard(Device(1));
    Device(1).connected = false;
  }
  Tick(TickTime{Ms(9), Ms(9), 0});             // box 1 not connected; box 0's next is due at 9.7
  const double worst = (Ms(2) + 2.6e-3) - Ms(2);
  ExpectCounts(TimerCounters().Read(), 8, 2, 2, 1, 5 + 5, worst, "timer");
  ExpectCounts(Box().counters.Read(), 8, 2, 2, 1, 5, worst, "box 0");
  EXPECT_EQ(boxsim_position(kSerial, 1), 5) << "the steps counted are those that reached the box";
  ExpectCounts(Device(1).counters.Read(), 6, 3, 2, 0, 5, worst, "box 1");
  EXPECT_EQ(boxsim_position("MOT00002", 1), 5);

  // A reset shows at once, before the next tick; afterwards the count starts from zero.
  Box().counters.Reset();
  ExpectCounts(Box().counters.Read(), 0, 0, 0, 0, 0, 0.0, "box 0 reset");
  EXPECT_EQ(TimerCounters().Read().ticks, 8u) << "the timer's counters are reset on their own";
  const std::int32_t before = Motor(ch).position;
  Tick(TickTime{Ms(10), Ms(10) + 0.2e-3, 0});
  ExpectCounts(Box().counters.Read(), 1, 0, 0, 0, static_cast<std::uint64_t>(Motor(ch).position - before),
               (Ms(10) + 0.2e-3) - Ms(10), "box 0 after its reset");
  TimerCounters().Reset();
  EXPECT_EQ(TimerCounters().Read().ticks, 0u);
}

// The C functions of mervane_ext.h: the same values, and false for a bad index or a null pointer.
TEST_F(TickTimingTest, ExtensionFunctionsReadAndResetTheCounters) {
  int ch = AddMotor({.address = 1, .acceleration = 1, .minStepTime = 1});
  EXT_ResetTimerCounters();
  ASSERT_TRUE(EXT_ResetDeviceCounters(0));
  ASSERT_TRUE(Start(ch, 5));
  Tick(TickTime{Ms(0), Ms(0), 0});
  Tick(TickTime{Ms(1), Ms(1) + 1.5e-3, 0});  // late: the next step is due at 1 + 1.5 + 1 ms
  Tick(TickTime{Ms(3), Ms(3), 1});
  Tick(TickTime{Ms(4), Ms(4), 0});
  MervaneTickCounters box{}, timer{};
  ASSERT_TRUE(EXT_GetDeviceCounters(0, &box));
  ASSERT_TRUE(EXT_GetTimerCounters(&timer));
  for (const MervaneTickCounters& c : {box, timer}) {
    EXPECT_EQ(c.ticks, 4u);
    EXPECT_EQ(c.skippedPeriods, 1u);
    EXPECT_EQ(c.lateTicks, 1u);
    EXPECT_EQ(c.failedWrites, 0u);
    EXPECT_EQ(c.steps, 3u);
    EXPECT_DOUBLE_EQ(c.worstLateness, (Ms(1) + 1.5e-3) - Ms(1));
  }
  EXPECT_FALSE(EXT_GetDeviceCounters(1, &box));
  EXPECT_FALSE(EXT_GetDeviceCounters(0xFFFFFFFFu, &box));
  EXPECT_FALSE(EXT_GetDeviceCounters(0, nullptr));
  EXPECT_FALSE(EXT_GetTimerCounters(nullptr));
  EXPECT_FALSE(EXT_ResetDeviceCounters(1));
  ASSERT_TRUE(EXT_ResetDeviceCounters(0));
  ASSERT_TRUE(EXT_GetDeviceCounters(0, &box));
  EXPECT_EQ(box.ticks, 0u);
  EXPECT_EQ(box.steps, 0u);
  ASSERT_TRUE(EXT_GetTimerCounters(&timer));
  EXPECT_EQ(timer.steps, 3u);
  EXT_ResetTimerCounters();
  ASSERT_TRUE(EXT_GetTimerCounters(&timer));
  EXPECT_EQ(timer.ticks, 0u);
  EXPECT_EQ(timer.worstLateness, 0.0);
}

}  // namespace
}  // namespace mervane::testing
