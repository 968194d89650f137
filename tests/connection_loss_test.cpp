// A box that goes away or refuses writes: a reopen that fails half way leaves nothing running and
// stalls nothing, steps whose write failed do not count, and the library's positions stay the
// motors' positions across unplug and replug.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "api_fixture.h"

namespace mervane::testing {
namespace {

// ---- A reopen that fails half way --------------------------------------------------------------

// The driver operation that keeps failing while the replugged box is reopened.
struct ReopenFailure {
  const char* name;
  const char* operation;
};

class FailingReopenTest : public ApiTest, public ::testing::WithParamInterface<ReopenFailure> {
protected:
  // Seconds taken by `call`.
  template <typename Call>
  static double Timed(Call&& call) {
    double start = platform::NowSeconds();
    call();
    return platform::NowSeconds() - start;
  }
};

// A motor at rest, the box unplugged and plugged back while one open step keeps failing: no move
// is accepted on the box that is not connected, nothing is "running", every watchdog run and
// export answers at once, and the next watchdog run after the box works again reconnects it with
// its motor where it was.
TEST_P(FailingReopenTest, NothingRunsNothingWaitsAndTheBoxComesBack) {
  const ReopenFailure& c = GetParam();
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 1, "X"), 0);
  MoveAndRest(0, 0, 1.0);
  USBDriver& box = Device(0);

  ASSERT_EQ(boxsim_unplug(kSerial), 0);
  RunWatchdog(box);
  ASSERT_FALSE(CheckDeviceConnection(0));
  ASSERT_EQ(boxsim_plug("VORK-KADO", kSerial), 0);
  ASSERT_EQ(boxsim_fail(kSerial, c.operation, 1000000), 0);
  RunWatchdog(box);
  ASSERT_FALSE(CheckDeviceConnection(0));

  EXPECT_FALSE(SM_Move(0, 0, 2.0)) << "a box that is not connected cannot move a motor";
  if (SM_GetCount(0) > 0) {
    EXPECT_FALSE(::Run(0));
  }
  EXPECT_FALSE(SM_IsRunning(0, 0));
  EXPECT_NE(SMN_IsRunning("X"), 1);
  for (int attempt = 0; attempt < 3; ++attempt) {
    SCOPED_TRACE(attempt);
    EXPECT_LT(Timed([&] { RunWatchdog(box); }), 1.0);
    EXPECT_LT(Timed([&] { SM_Release(0, 0); }), 1.0);
    EXPECT_LT(Timed([&] { SM_ReleaseAll(); }), 1.0);
    EXPECT_LT(Timed([&] { SM_Reset(0, 0); }), 1.0);
    EXPECT_FALSE(CheckDeviceConnection(0));
  }

  ASSERT_EQ(boxsim_fail(kSerial, c.operation, 0), 0);
  RunWatchdog(box);
  ASSERT_TRUE(CheckDeviceConnection(0)) << "back at the first watchdog run after it works";
  EXPECT_DOUBLE_EQ(SM_GetRealPosition(0, 0), 1.0);
  EXPECT_EQ(boxsim_position(kSerial, 1), 100);
  MoveAndRest(0, 0, 2.0);
  EXPECT_EQ(boxsim_position(kSerial, 1), 200);
}

// After an unplug and replug the motor's target is where it stands, as before the unplug: a Run
// of the box right after leaves it there instead of sending it back to 0.
TEST_F(ApiTest, AReopenedMotorsTargetIsWhereItStandsSoRunLeavesItThere) {
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 1, "X"), 0);
  MoveAndRest(0, 0, 1.0);
  EXPECT_DOUBLE_EQ(SM_GetTarget(0, 0), 1.0);
  USBDriver& box = Device(0);
  ASSERT_EQ(boxsim_unplug(kSerial), 0);
  RunWatchdog(box);
  ASSERT_FALSE(CheckDeviceConnection(0));
  ASSERT_EQ(boxsim_plug("VORK-KADO", kSerial), 0);
  RunWatchdog(box);
  ASSERT_TRUE(CheckDeviceConnection(0));
  EXPECT_DOUBLE_EQ(SM_GetTarget(0, 0), 1.0);
  EXPECT_DOUBLE_EQ(SMN_GetTarget("X"), 1.0);
  ASSERT_TRUE(::Run(0));
  ASSERT_TRUE(TickUntilIdle(0, 0));
  EXPECT_DOUBLE_EQ(SM_GetRealPosition(0, 0), 1.0);
  EXPECT_EQ(boxsim_position(kSerial, 1), 100);
}

INSTANTIATE_TEST_SUITE_P(Steps, FailingReopenTest,
                         ::testing::Values(ReopenFailure{"release_write", "write"}, ReopenFailure{"open", "open"},
                                           ReopenFailure{"setbitmode", "setbitmode"},
                                           ReopenFailure{"uaread", "uaread"}),
                         ParamName());

// The same with the real watchdog and tick: while the reopen keeps failing at its release, every
// export answers within a second, and the box is back within a few watchdog periods after it
// works again. Real time, so the bounds are generous.
TEST_F(ApiTest, WithRealTimersEveryExportAnswersWhileTheReopenFailsAndTheBoxComesBack) {
  GetRuntime().manualTiming = false;
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 1, "X"), 0);
  ASSERT_TRUE(SM_Move(0, 0, 0.2));
  for (int i = 0; i < 500 && SM_IsRunning(0, 0); ++i) platform::SleepMs(10);
  ASSERT_FALSE(SM_IsRunning(0, 0));

  ASSERT_EQ(boxsim_fail(kSerial, "write", 1000000), 0);
  ASSERT_EQ(boxsim_unplug(kSerial), 0);
  for (int i = 0; i < 300 && CheckDeviceConnection(0); ++i) platform::SleepMs(10);
  ASSERT_FALSE(CheckDeviceConnection(0));
  ASSERT_EQ(boxsim_plug("VORK-KADO", kSerial), 0);
  platform::SleepMs(300);  // at least one failed reopen
  SM_Move(0, 0, 1.0);      // refused; before, this left a "running" motor that stalled every reopen

  // Two seconds of calls, or the one call that blocks longer than that.
  double slowest = 0;
  for (double end = platform::NowSeconds() + 2.0; platform::NowSeconds() < end;) {
    double start = platform::NowSeconds();
    CheckDeviceConnection(0);
    SM_IsRunning(0, 0);
    slowest = std::max(slowest, platform::NowSeconds() - start);
    platform::SleepMs(50);
  }
  RecordProperty("slowest_call_ms", static_cast<int>(slowest * 1000));
  EXPECT_LT(slowest, 1.0);
  EXPECT_FALSE(SM_IsRunning(0, 0));

  ASSERT_EQ(boxsim_fail(kSerial, "write", 0), 0);
  double back = platform::NowSeconds();
  for (int i = 0; i < 300 && !CheckDeviceConnection(0); ++i) platform::SleepMs(5);
  back = platform::NowSeconds() - back;
  RecordProperty("back_after_ms", static_cast<int>(back * 1000));
  EXPECT_TRUE(CheckDeviceConnection(0));
  EXPECT_LT(back, 1.0);
}

// ---- Waits for a motor that cannot move ----------------------------------------------------------

using StalledWaitTest = MotionTest;

// With nothing driving the tick, a running motor will never rest by itself: the wait halts it
// where it is at once instead of holding the library lock for 10 s.
TEST_F(StalledWaitTest, AWaitForAMotorNothingStepsHaltsItAtOnce) {
  int ch = AddMotor({.address = 1, .minStepTime = 2});
  ASSERT_TRUE(Start(ch, 1000));
  for (long k = 0; k < 40; ++k) Tick(Ms(k));
  ASSERT_TRUE(Running(ch));
  StoppedEvents events;
  GetRuntime().manualTiming = false;  // no timer was started: nothing drives the tick now
  double start = platform::NowSeconds();
  bool rested = false;
  {
    LibraryLock lock;
    rested = WaitStopped(Box(), ch);
  }
  double took = platform::NowSeconds() - start;
  GetRuntime().manualTiming = true;
  EXPECT_TRUE(rested);
  EXPECT_LT(took, 1.0);
  SMotor m = Motor(ch);
  EXPECT_EQ(m.direction, 0);
  EXPECT_EQ(m.target, m.position);
  EXPECT_EQ(m.destination, m.position);
  EXPECT_EQ(m.position, boxsim_position(kSerial, 1));
  EXPECT_EQ(events.Channels(), (std::vector<std::uint32_t>{static_cast<std::uint32_t>(ch)}));
}

// ---- Steps whose write failed ----------------------------------------------------------------------

struct Wiring {
  const char* name;
  MotorSetup setup;
};

class UnsentStepsTest : public MotionTest, public ::testing::WithParamInterface<Wiring> {
protected:
  std::int64_t BoxPosition(const MotorSetup& setup) { return boxsim_position(kSerial, setup.address); }
};

// The box unplugged mid-move, three times: from the first failed write on, no step counts and the
// motor stops where the box has it; the watchdog saves that position, and after the replug the
// library's position is the motor's.
TEST_P(UnsentStepsTest, AnUnplugMidMoveLosesNoStep) {
  const MotorSetup& setup = GetParam().setup;
  int ch = AddMotor(setup);
  StoppedEvents events;
  long k = 0;
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    ASSERT_TRUE(Start(ch, round % 2 == 0 ? 3000 : -3000));
    for (long end = k + 80 + 37 * round; k < end; ++k) Tick(Ms(k));
    ASSERT_TRUE(Running(ch));
    events.Clear();
    ASSERT_EQ(boxsim_unplug(kSerial), 0);
    for (long end = k + 200; k < end; ++k) Tick(Ms(k));  // until the watchdog notices
    SMotor m = Motor(ch);
    EXPECT_EQ(m.direction, 0);
    EXPECT_EQ(m.position, BoxPosition(setup));
    EXPECT_EQ(m.target, m.position);
    EXPECT_EQ(events.Channels(), (std::vector<std::uint32_t>{static_cast<std::uint32_t>(ch)}));

    RunWatchdog(Box());
    ASSERT_FALSE(IsConnected(Box()));
    ASSERT_EQ(boxsim_plug("VORK-KADO", kSerial), 0);
    RunWatchdog(Box());
    ASSERT_TRUE(IsConnected(Box()));
    EXPECT_EQ(Motor(ch).position, BoxPosition(setup)) << "reopened from the file";
  }
  ASSERT_TRUE(Start(ch, 0));
  TickUntilStopped(k, ch);
  EXPECT_EQ(Motor(ch).position, 0);
  EXPECT_EQ(BoxPosition(setup), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Motors, UnsentStepsTest,
    ::testing::Values(Wiring{"four_wire", {.address = 1, .acceleration = 10, .minStepTime = 2}},
                      Wiring{"two_wire", {.address = 2, .type = 0x01, .acceleration = 10, .minStepTime = 2}},
                      Wiring{"synchron_half",
                             {.address = 3, .type = 0x2A, .acceleration = 10, .minStepTime = 2, .halfSteps = true}}),
    ParamName());

// One write refused by a box that stays connected: every running channel of the box stops where
// the last good write left it and reports its stop once, the resting one keeps its pending
// destination, and the next moves start from there.
TEST_F(UnsentStepsTest, OneFailedWriteStopsEveryRunningChannelOfTheBox) {
  int a = AddMotor({.address = 1, .acceleration = 10, .minStepTime = 2});
  int b = AddMotor({.address = 2, .type = 0x01, .acceleration = 10, .minStepTime = 1});
  int idle = AddMotor({.address = 3});
  {
    LibraryLock lock;
    DeviceGuard guard(Box());
    Box().motors[idle].destination = 77;  // pending, as SM_SetDestination leaves it for Run
  }
  ASSERT_TRUE(Start(a, 500));
  ASSERT_TRUE(Start(b, -500));
  long k = 0;
  for (; k < 50; ++k) Tick(Ms(k));
  ASSERT_TRUE(Running(a) && Running(b));
  StoppedEvents events;
  ASSERT_EQ(boxsim_fail(kSerial, "write", 1), 0);
  for (long end = k + 5; k < end; ++k) Tick(Ms(k));
  EXPECT_TRUE(IsConnected(Box()));
  EXPECT_NE(Box().lastStatus, FT_OK);
  for (int ch : {a, b}) {
    SCOPED_TRACE(ch);
    SMotor m = Motor(ch);
    EXPECT_EQ(m.direction, 0);
    EXPECT_EQ(m.target, m.position);
    EXPECT_EQ(m.destination, m.position);
    EXPECT_EQ(m.position, boxsim_position(kSerial, ch + 1));
  }
  EXPECT_EQ(Motor(idle).position, 0);
  EXPECT_EQ(Motor(idle).destination, 77);
  std::vector<std::uint32_t> stopped = events.Channels();
  std::sort(stopped.begin(), stopped.end());
  EXPECT_EQ(stopped, (std::vector<std::uint32_t>{static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(b)}));

  ASSERT_TRUE(Start(a, 0));
  ASSERT_TRUE(Start(b, 0));
  TickUntilStopped(k, a);
  TickUntilStopped(k, b);
  EXPECT_EQ(boxsim_position(kSerial, 1), 0);
  EXPECT_EQ(boxsim_position(kSerial, 2), 0);
}

}  // namespace
}  // namespace mervane::testing
