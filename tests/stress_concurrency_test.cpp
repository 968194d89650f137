// The tick against the control thread, for the thread sanitizer: a tick thread at full speed
// while the control thread starts, stops, reconfigures and releases channels and discovery
// appends boxes (growing the device list past its first capacity). Afterwards every motor must
// be where the emulator decoded it: no step lost or doubled by the sharing.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "mervane_ext.h"
#include "support.h"

namespace mervane::testing {
namespace {

std::atomic<long> g_stoppedEvents{0};
void CountStopped(std::uint32_t) { g_stoppedEvents.fetch_add(1, std::memory_order_relaxed); }

const MotorSetup kStressMotors[] = {
    {.address = 1, .type = 0x85, .acceleration = 4, .minStepTime = 1, .maxStepTime = 1},
    {.address = 2, .type = 0x01, .acceleration = 4, .minStepTime = 1, .maxStepTime = 1, .autoRelease = true},
    {.address = 3, .type = 0x2B, .acceleration = 4, .minStepTime = 1, .maxStepTime = 1, .halfSteps = true},
    {.address = 4, .type = 0x86, .acceleration = 4, .minStepTime = 1, .maxStepTime = 1, .halfSteps = true},
};

class StressTest : public EmulatorTest {
protected:
  void TearDown() override {
    SetMotorStoppedHook(nullptr);
    EmulatorTest::TearDown();
  }

  // Plugs a box, lets discovery open it, and gives it `motors` channels wired in the emulator.
  // Library lock held by the caller.
  void AddBox(const std::string& serial, int motors) {
    ASSERT_EQ(boxsim_plug("VORK-KADO", serial.c_str()), 0);
    std::uint32_t before = GetRuntime().devices.Count();
    ASSERT_EQ(RefreshDevices(), static_cast<std::int32_t>(before + 1));
    USBDriver& device = Device(before);
    for (int m = 0; m < motors; ++m) {
      ASSERT_EQ(AddSlot(device, MotionRecord(kStressMotors[m])), m);
      boxsim_wire(serial.c_str(), kStressMotors[m].address, WiringOf(device.settings.records[m]));
    }
  }

  // Every used channel of every box rests where the emulator says it is, with no decoding error.
  void ExpectDecodedPositions() {
    LibraryLock lock;
    for (std::uint32_t d = 0; d < GetRuntime().devices.Count(); ++d) {
      USBDriver& device = Device(d);
      for (std::uint32_t m = 0; m < device.motorCount; ++m) {
        const int address = device.settings.records[m].address;
        DeviceGuard guard(device);
        EXPECT_EQ(device.motors[m].direction, 0) << device.serial << " channel " << m;
        EXPECT_EQ(boxsim_position(device.serial.c_str(), address), device.motors[m].position)
            << device.serial << " channel " << m;
        EXPECT_EQ(boxsim_errors(device.serial.c_str(), address), 0) << device.serial << " channel " << m;
      }
    }
  }
};

// One random operation of the control thread on one channel, as the exports would do it.
// Library lock held.
void RandomOperation(std::mt19937& rng, USBDriver& device) {
  const std::uint32_t count = device.motorCount;
  if (count == 0) return;
  const auto ch = std::uniform_int_distribution<std::uint32_t>(0, count - 1)(rng);
  const auto target = std::uniform_int_distribution<std::int32_t>(-150, 150)(rng);
  switch (std::uniform_int_distribution<int>(0, 9)(rng)) {
    case 0:
    case 1: {
      DeviceGuard guard(device);
      StartMove(device.motors[ch], target, false);
      break;
    }
    case 2:  // Run: every channel, the tick held off until the last one is started
      for (std::uint32_t m = 0; m < count; ++m) {
        DeviceGuard guard(device);
        StartMove(device.motors[m], target + static_cast<std::int32_t>(m), m + 1 < count);
      }
      break;
    case 3: {
      DeviceGuard guard(device);
      RequestStop(device.motors[ch]);
      break;
    }
    case 4: {  // a new ramp for a channel, maybe while it runs
      MotorRecord record = device.settings.records[ch];
      record.acceleration = static_cast<std::int8_t>(std::uniform_int_distribution<int>(2, 8)(rng));
      EXPECT_TRUE(ConfigureSlot(device, static_cast<int>(ch), record, true));
      break;
    }
    case 5:
      EXPECT_TRUE(Release(device, ch));
      break;
    case 6:
      EXPECT_TRUE(Release(device, 8));
      break;
    case 7: {  // the last slot removed and added back (refused while it runs)
      MotorRecord record = device.settings.records[count - 1];
      if (RemoveSlot(device, count - 1)) {
        EXPECT_EQ(AddSlot(device, record), static_cast<int>(count - 1));
        // A motor added afresh starts at 0 steps: its connector starts afresh too.
        boxsim_wire(device.serial.c_str(), record.address, WiringOf(record));
      }
      break;
    }
    case 8:
      EXPECT_TRUE(SaveSettings(device, false));
      break;
    case 9:
      device.OnReconnectTimer();
      break;
  }
}

TEST_F(StressTest, TickAtFullSpeedAgainstTheControlThreadAndDiscovery) {
  constexpr int kIterations = 600;
  constexpr int kExtraBoxes = 60;  // past the list's first capacity of 53
  {
    LibraryLock lock;
    AddBox("STR00000", 4);
    AddBox("STR00001", 3);
  }
  g_stoppedEvents = 0;
  SetMotorStoppedHook(&CountStopped);
  std::atomic<bool> stop{false};
  std::atomic<long> ticks{0};
  std::thread tick([&] {
    while (!stop.load(std::memory_order_relaxed)) {
      Tick(platform::NowSeconds());
      ticks.fetch_add(1, std::memory_order_relaxed);
    }
  });

  std::mt19937 rng(0x57E55u);
  int added = 0;
  for (int i = 0; i < kIterations; ++i) {
    LibraryLock lock;
    if (i % 8 == 0 && added < kExtraBoxes) {
      AddBox("STR" + std::to_string(10000 + added), 1 + added % 4);
      ++added;
    }
    const std::uint32_t devices = GetRuntime().devices.Count();
    // The first two boxes take most of the load; the appended ones some of it.
    const std::uint32_t d = i % 3 == 0 ? std::uniform_int_distribution<std::uint32_t>(0, devices - 1)(rng) : i % 2;
    RandomOperation(rng, Device(d));
  }
  // Everything to rest (releases wait for the stops), then the tick thread ends.
  {
    LibraryLock lock;
    for (std::uint32_t d = 0; d < GetRuntime().devices.Count(); ++d) EXPECT_TRUE(Release(Device(d), 8));
  }
  stop = true;
  tick.join();
  FlushStoppedEvents();
  EXPECT_EQ(GetRuntime().devices.Count(), 2u + kExtraBoxes);
  EXPECT_GT(ticks.load(), 1000);
  EXPECT_GT(g_stoppedEvents.load(), 50);
  ExpectDecodedPositions();
}

// The real 1 ms timer and the real watchdogs (on the control thread) while this thread moves
// motors through the library lock and a box is unplugged and plugged back in.
TEST_F(StressTest, RealTimerAndWatchdogsAgainstMotionAndReplug) {
  GetRuntime().manualTiming = false;
  {
    LibraryLock lock;
    AddBox("RTM00000", 4);
    AddBox("RTM00001", 2);
    ASSERT_TRUE(TickTimerRunning());
  }
  std::mt19937 rng(0x7173u);
  const double end = platform::NowSeconds() + 1.5;
  bool unplugged = false;
  std::uint64_t steps = 0;
  for (int i = 0; platform::NowSeconds() < end; ++i) {
    {
      LibraryLock lock;
      RandomOperation(rng, Device(0));
    }
    // The timing counters are read and reset while the tick writes them.
    MervaneTickCounters counters{};
    EXPECT_TRUE(EXT_GetDeviceCounters(0, &counters));
    EXPECT_EQ(counters.failedWrites, 0u) << "box 0 stays plugged in";
    steps = std::max(steps, counters.steps);
    EXPECT_TRUE(EXT_GetTimerCounters(&counters));
    if (i % 50 == 49) {
      EXPECT_TRUE(EXT_ResetDeviceCounters(0));
      EXT_ResetTimerCounters();
    }
    if (i % 40 == 20) {
      unplugged ? boxsim_plug("VORK-KADO", "RTM00001") : boxsim_unplug("RTM00001");
      unplugged = !unplugged;
    }
    platform::SleepMs(2);
  }
  if (unplugged) boxsim_plug("VORK-KADO", "RTM00001");
  EXPECT_GT(steps, 0u) << "the real timer moved box 0's motors";
  {
    LibraryLock lock;
    EXPECT_TRUE(Release(Device(0), 8));
  }
  // The watchdog brings the box back within a few of its 250 ms periods.
  for (int i = 0; i < 200 && !IsConnected(Device(1)); ++i) platform::SleepMs(10);
  EXPECT_TRUE(IsConnected(Device(1)));
  {
    LibraryLock lock;
    USBDriver& device = Device(0);
    for (std::uint32_t m = 0; m < device.motorCount; ++m) {
      DeviceGuard guard(device);
      EXPECT_EQ(boxsim_position("RTM00000", device.settings.records[m].address), device.motors[m].position);
    }
  }
}

}  // namespace
}  // namespace mervane::testing
