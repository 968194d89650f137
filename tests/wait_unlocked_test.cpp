// Calls that wait for a motor to rest (set zero, reset, release, set-up) let other callers act on
// other motors and read any motor meanwhile, and fail cleanly when the box goes away under them.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>

#include "api_fixture.h"

namespace mervane::testing {
namespace {

using namespace std::chrono_literals;

struct WaitingCall {
  const char* name;
  std::function<bool()> call;
  bool forgetsPosition = false;  // a reset puts the library's count at 0 where the motor stands
};

struct RemovingAction {
  const char* name;
  std::function<void()> act;
  bool plugBack;  // the box must be plugged again before it reopens
};

class UnlockedWaitTest : public ApiTest {
protected:
  static constexpr std::int32_t kFar = 5000;  // steps: motor A's move, far longer than any case

  // Motor A (channel 0) on a long move, motor B (channel 1) at rest.
  void SetUp() override {
    ApiTest::SetUp();
    ASSERT_EQ(Start(), 1);
    AddMotors(0, {"A", "B"});
    ASSERT_TRUE(SM_Move(0, 0, kFar / 100.0));
    TickFor(0.02);
    ASSERT_TRUE(SM_IsRunning(0, 0));
  }

  // Starts `call` on a thread of its own and returns once it waits: its stop has shortened A's
  // move. No tick runs until the test drives one, so the call cannot finish by itself.
  std::future<bool> StartWaiting(const std::function<bool()>& call) {
    std::future<bool> done = std::async(std::launch::async, call);
    for (int i = 0; i < 5000 && Channel(0, 0).target == kFar; ++i) std::this_thread::sleep_for(1ms);
    EXPECT_NE(Channel(0, 0).target, kFar) << "the call did not stop the motor";
    return done;
  }

  // Drives the tick until the waiting call returns (the wait sleeps 10 ms between looks).
  bool TickUntilDone(std::future<bool>& done) {
    for (int i = 0; i < 20000; ++i) {
      if (done.wait_for(1ms) == std::future_status::ready) return done.get();
      Tick(now_);
      now_ += 0.001;
    }
    ADD_FAILURE() << "the waiting call did not return";
    return done.get();
  }
};

class WaitingCallTest : public UnlockedWaitTest, public ::testing::WithParamInterface<WaitingCall> {};

TEST_P(WaitingCallTest, OtherCallersActAndReadWhileItWaits) {
  std::future<bool> done = StartWaiting(GetParam().call);
  // Each of these used to wait behind the whole wait for A.
  EXPECT_DOUBLE_EQ(SM_GetPosition(0, 1), 0.0);
  EXPECT_GT(SM_GetPosition(0, 0), 0.0);
  EXPECT_TRUE(SM_IsRunning(0, 0));
  EXPECT_EQ(SMN_IsRunning("A"), 1);
  EXPECT_TRUE(SM_Move(0, 1, 0.05));
  EXPECT_EQ(SM_GetCount(0), 2);
  EXPECT_EQ(done.wait_for(0s), std::future_status::timeout) << "returned before A came to rest";
  EXPECT_TRUE(TickUntilDone(done));
  EXPECT_FALSE(SM_IsRunning(0, 0));
  ASSERT_TRUE(TickUntilIdle(0, 1));
  // Both motors stand where the box put them.
  EXPECT_EQ(Channel(0, 0).position, GetParam().forgetsPosition ? 0 : boxsim_position(kSerial, 1));
  EXPECT_EQ(Channel(0, 1).position, 5);
  EXPECT_EQ(boxsim_position(kSerial, 2), 5);
}

INSTANTIATE_TEST_SUITE_P(
    Waits, WaitingCallTest,
    ::testing::Values(WaitingCall{"SetZero", [] { return SM_SetZero(0, 0); }},
                      WaitingCall{"SetZeroByName", [] { return SMN_SetZero("A"); }},
                      WaitingCall{"Reset", [] { return SM_Reset(0, 0); }, true},
                      WaitingCall{"Release", [] { return SM_Release(0, 0); }},
                      WaitingCall{"ReleaseByName", [] { return SMN_Release("A"); }},
                      WaitingCall{"ReleaseAll", [] { return SM_ReleaseAll(); }},
                      WaitingCall{"Setup", [] {
                        MotorInfo record = FourWireInfo(1, "A2");
                        return SM_Setup(0, 0, &record) == 0;
                      }}),
    ParamName());

class RemovedDuringWaitTest : public UnlockedWaitTest, public ::testing::WithParamInterface<RemovingAction> {};

// The waiting reset fails at its next look, touches nothing of what is there now (a freed box
// is not read: the sanitizer builds see to that), and the motor comes back where it stands.
TEST_P(RemovedDuringWaitTest, TheWaitingCallFailsAndNothingIsUndone) {
  std::future<bool> done = StartWaiting([] { return SM_Reset(0, 0); });
  const auto start = std::chrono::steady_clock::now();
  GetParam().act();
  // Bounds far from the 10 s a wait may last: only "at once" against "after the wait" matters.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << "the removal waited behind the wait";
  ASSERT_EQ(done.wait_for(5s), std::future_status::ready) << "still waits for a motor that is gone";
  EXPECT_FALSE(done.get());
  if (GetParam().plugBack) boxsim_plug("VORK-KADO", kSerial);
  ASSERT_EQ(::RefreshDevices(), 1);
  ASSERT_TRUE(CheckDeviceConnection(0));
  EXPECT_GT(Channel(0, 0).position, 0) << "the reset was carried out after all";
  EXPECT_EQ(Channel(0, 0).position, boxsim_position(kSerial, 1));
}

INSTANTIATE_TEST_SUITE_P(
    Waits, RemovedDuringWaitTest,
    ::testing::Values(RemovingAction{"CloseDevice", [] { EXPECT_TRUE(CloseDevice(0)); }, false},
                      RemovingAction{"CloseAllDevices", [] { ::CloseAllDevices(); }, false},
                      RemovingAction{"UnplugNoticedByTheWatchdog",
                                     [] {
                                       ASSERT_EQ(boxsim_unplug("API00001"), 0);
                                       LibraryLock lock;
                                       GetRuntime().devices.At(0)->OnReconnectTimer();
                                     },
                                     true}),
    ParamName());

}  // namespace
}  // namespace mervane::testing
