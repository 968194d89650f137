// The 1 ms tick over the device list: which devices it steps and writes, how it treats a device
// the control thread holds, when "Motor Stopped" is raised, and how an auto release made inside a
// tick shares that tick's buffer.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "support.h"

namespace mervane::testing {
namespace {

using TickDeviceTest = MotionTest;

TEST_F(TickDeviceTest, TickWithoutDevicesDoesNothing) {
  LibraryLock lock;
  CloseAllDevices();
  ASSERT_EQ(GetRuntime().devices.Count(), 0u);
  for (long k = 0; k < 10; ++k) Tick(Ms(k));
  EXPECT_TRUE(WireWriteSizes(kSerial).empty());
}

// A disconnected device gets its buffer cleared and nothing else: no step, no write.
TEST_F(TickDeviceTest, DisconnectedDeviceIsClearedButNeitherSteppedNorWritten) {
  int ch = AddMotor({.address = 1});
  ASSERT_TRUE(Start(ch, 5));
  {
    DeviceGuard guard(Box());
    Box().connected = false;
    std::memset(Box().output, 0x55, sizeof Box().output);
    Box().outputCount = 9;
  }
  for (long k = 0; k < 50; ++k) Tick(Ms(k));
  EXPECT_TRUE(WireWriteSizes(kSerial).empty());
  {
    DeviceGuard guard(Box());
    EXPECT_EQ(Box().outputCount, 0u);
    for (std::uint8_t b : Box().output) EXPECT_EQ(b, 0);
    EXPECT_EQ(Box().motors[ch].position, 0);
    Box().connected = true;
  }
  Tick(Ms(50));
  EXPECT_EQ(Motor(ch).position, 1);
  EXPECT_EQ(WireBytes(kSerial), (ByteImage{0x84, 0x84, 0xF4}));
}

TEST_F(TickDeviceTest, RestingChannelsWriteNothing) {
  AddMotor({.address = 1});
  AddMotor({.address = 2, .type = 0x01});
  for (long k = 0; k < 100; ++k) Tick(Ms(k));
  EXPECT_TRUE(WireWriteSizes(kSerial).empty());
}

// The control thread holds the device: the tick leaves it for later. Its positions do not
// advance, so when the lock is free again the move goes on and no step is lost.
TEST_F(TickDeviceTest, DeviceHeldByTheControlThreadIsSkippedAndLosesNothing) {
  int ch = AddMotor({.address = 1, .acceleration = 4, .minStepTime = 1});
  ASSERT_TRUE(Start(ch, 30));
  {
    LockHolder holder(Box());
    for (long k = 0; k < 20; ++k) Tick(Ms(k));
    EXPECT_TRUE(WireWriteSizes(kSerial).empty());
    holder.Release();
  }
  EXPECT_EQ(Motor(ch).position, 0);
  EXPECT_EQ(Motor(ch).nextStepTime, 0.0);
  Tick(Ms(20));
  EXPECT_EQ(Motor(ch).position, 1);
  long k = 21;
  // Held again mid-move, for a while.
  while (Motor(ch).position < 12) Tick(Ms(k++));
  {
    LockHolder holder(Box());
    for (int i = 0; i < 15; ++i) Tick(Ms(k++));
  }
  EXPECT_EQ(Motor(ch).position, 12);
  TickUntilStopped(k, ch);
  EXPECT_EQ(Motor(ch).position, 30);
  EXPECT_EQ(boxsim_position(kSerial, 1), 30);
  EXPECT_EQ(boxsim_errors(kSerial, 1), 0);
}

// The tick tells its timer whether anything may still move, so that an idle timer can rest: busy
// while a channel runs, while a batch is held back and while a device is left for later.
TEST_F(TickDeviceTest, TickReportsWhetherAnythingMayStillMove) {
  int ch = AddMotor({.address = 1, .acceleration = 4, .minStepTime = 1});
  EXPECT_FALSE(Tick(Ms(0))) << "nothing runs";
  ASSERT_TRUE(Start(ch, 3, /*hold=*/true));
  EXPECT_TRUE(Tick(Ms(1))) << "a batch is being started";
  {
    DeviceGuard guard(Box());
    Box().batchHold = false;
  }
  EXPECT_TRUE(Tick(Ms(2)));
  {
    LockHolder holder(Box());
    EXPECT_TRUE(Tick(Ms(3))) << "a device left for the next tick";
  }
  long k = 4;
  TickUntilStopped(k, ch);
  EXPECT_EQ(Motor(ch).position, 3);
  EXPECT_FALSE(Tick(Ms(k)));
}

TEST_F(TickDeviceTest, OnlyTheHeldDeviceIsSkipped) {
  boxsim_plug("VORK-ql2", "MOT00002");
  {
    LibraryLock lock;
    ASSERT_EQ(RefreshDevices(), 2);
  }
  USBDriver& other = Device(1);
  int ch = AddMotor({.address = 1});
  {
    LibraryLock lock;
    ASSERT_EQ(AddSlot(other, MotionRecord({.address = 1})), 0);
    DeviceGuard guard(other);
    ASSERT_TRUE(StartMove(other.motors[0], 5, false));
  }
  ASSERT_TRUE(Start(ch, 5));
  boxsim_clear("MOT00002");
  {
    LockHolder holder(other);
    Tick(Ms(0));
  }
  EXPECT_EQ(Motor(ch).position, 1);
  EXPECT_EQ(WireBytes(kSerial), (ByteImage{0x84, 0x84, 0xF4}));
  EXPECT_TRUE(WireBytes("MOT00002").empty());
  Tick(Ms(1));
  EXPECT_EQ(WireBytes("MOT00002"), (ByteImage{0x84, 0x84, 0xF4}));
}

// --- "Motor Stopped" ------------------------------------------------------------------------

TEST_F(TickDeviceTest, MotorStoppedOncePerStopWithItsChannelAfterTheLockIsFree) {
  StoppedEvents events;
  events.Watch(&Box());
  AddMotor({.address = 1, .acceleration = 3, .minStepTime = 1});
  AddMotor({.address = 2, .acceleration = 3, .minStepTime = 1});
  AddMotor({.address = 3, .acceleration = 3, .minStepTime = 1});
  ASSERT_TRUE(Start(2, 0));  // already there: raised at once, from the control thread
  EXPECT_EQ(events.Channels(), (std::vector<std::uint32_t>{2}));
  ASSERT_TRUE(Start(1, 9));
  ASSERT_TRUE(Start(0, 4));
  long k = 0;
  TickUntilStopped(k, 1);
  for (int i = 0; i < 200; ++i) Tick(Ms(k++));  // resting channels raise nothing more
  EXPECT_EQ(events.Channels(), (std::vector<std::uint32_t>{2, 0, 1}));
  // A reversal is no stop; the end of the reversed move is one.
  events.Clear();
  ASSERT_TRUE(Start(0, 40));
  while (Motor(0).position < 20) Tick(Ms(k++));
  ASSERT_TRUE(Start(0, 0));
  TickUntilStopped(k, 0);
  EXPECT_EQ(events.Channels(), (std::vector<std::uint32_t>{0}));
  EXPECT_EQ(events.RaisedUnderLock(), 0);
}

TEST_F(TickDeviceTest, ChannelsStoppingInOneTickRaiseOneEventEach) {
  StoppedEvents events;
  events.Watch(&Box());
  for (std::uint8_t a = 1; a <= 4; ++a) AddMotor({.address = a, .acceleration = 2, .minStepTime = 1});
  for (int ch = 0; ch < 4; ++ch) ASSERT_TRUE(Start(ch, 7, ch < 3));
  long k = 0;
  TickUntilStopped(k, 3);
  EXPECT_EQ(events.Channels(), (std::vector<std::uint32_t>{0, 1, 2, 3}));
  EXPECT_EQ(events.RaisedUnderLock(), 0);
}

// --- Auto release inside a tick -------------------------------------------------------------

// An auto release at the end of a move joins the tick's buffer behind what earlier channels
// queued in that tick, and goes out in the tick's one write.
TEST_F(TickDeviceTest, AutoReleaseAppendsToTheTicksBuffer) {
  // A minimum step time of 0: due at every tick, whatever the rounding of the tick times.
  int steady = AddMotor({.address = 1, .acceleration = 1, .minStepTime = 0});
  int ending = AddMotor({.address = 2, .autoRelease = true});
  ASSERT_TRUE(Start(steady, 1000, true));
  ASSERT_TRUE(Start(ending, 1, false));
  Tick(Ms(0));
  EXPECT_EQ(WireBytes(kSerial), (ByteImage{0x84, 0x84, 0xF4, 0x94, 0x94, 0xF4}));
  for (long k = 1; k < 100; ++k) Tick(Ms(k));
  EXPECT_EQ(Motor(steady).position, 100);
  boxsim_clear(kSerial);
  Tick(Motor(ending).nextStepTime + 0.0005);
  // Channel 0's step to position 101 (pattern 0x04), then channel 1's release.
  EXPECT_EQ(WireBytes(kSerial), (ByteImage{0x84, 0x84, 0xF4, 0x90, 0xF0}));
  EXPECT_EQ(WireWriteSizes(kSerial), (std::vector<int>{5}));
  EXPECT_EQ(boxsim_energised(kSerial, 2), 0);
  EXPECT_EQ(boxsim_energised(kSerial, 1), 1);
}

// Each box gets its own bytes in its own write.
TEST_F(TickDeviceTest, EachBoxGetsItsOwnWrite) {
  boxsim_plug("VORK-ql2", "MOT00002");
  {
    LibraryLock lock;
    ASSERT_EQ(RefreshDevices(), 2);
    ASSERT_EQ(AddSlot(Device(1), MotionRecord({.address = 7, .type = 0x01})), 0);
    DeviceGuard guard(Device(1));
    ASSERT_TRUE(StartMove(Device(1).motors[0], -2, false));
  }
  boxsim_wire("MOT00002", 7, "two-wire");
  boxsim_clear("MOT00002");
  int ch = AddMotor({.address = 3, .type = 0x2A});
  ASSERT_TRUE(Start(ch, 2));
  Tick(Ms(0));
  EXPECT_EQ(WireBytes(kSerial), (ByteImage{0xA2, 0xA2, 0xF2}));
  EXPECT_EQ(WireBytes("MOT00002"), (ByteImage{0xEC, 0xEC, 0xEC, 0xEC, 0xFC}));
  long k = 1;
  while (Running(ch) || [&] { DeviceGuard g(Device(1)); return Device(1).motors[0].direction != 0; }()) Tick(Ms(k++));
  EXPECT_EQ(boxsim_position(kSerial, 3), 2);
  EXPECT_EQ(boxsim_position("MOT00002", 7), -2);
}

}  // namespace
}  // namespace mervane::testing
