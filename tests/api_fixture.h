// Fixture of the C API tests: emulated boxes reached only through the exported functions of
// include/mervane.h, with manual timing (the tests drive the tick with explicit times) and no
// companion program.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "api/api.h"
#include "mervane.h"
#include "support.h"

namespace mervane::testing {

// A four-wire, full-step motor for SM_Setup: a 5-step ramp down to 1 ms steps.
inline MotorInfo FourWireInfo(std::uint8_t address, const char* name, float coefficient = 100.0f) {
  MotorSetup setup;
  setup.address = address;
  setup.acceleration = 5;
  setup.minStepTime = 1;
  setup.maxStepTime = 5;
  setup.length = 1000;
  setup.coefficient = coefficient;
  MotorRecord record = MotionRecord(setup);
  std::memcpy(record.name, name, std::min(std::strlen(name), sizeof record.name - 1));
  MotorInfo info;
  std::memcpy(&info, &record, sizeof info);
  return info;
}

class ApiTest : public EmulatorTest {
protected:
  static constexpr const char* kSerial = "API00001";
  static constexpr const char* kSerial2 = "API00002";

  void SetUp() override {
    EmulatorTest::SetUp();
    platform::SetEnv("MERVANE_COMPANION", "");
  }
  void TearDown() override {
    // As the next case in this process expects them: the library's own, as after load.
    api::InstallWindowHooks();
    SetMotorStoppedHook(nullptr);
    EmulatorTest::TearDown();
  }

  // Plugs VORK-KADO boxes with four-wire motors on connectors 1..7, then InitPlugin.
  std::int32_t Start(const std::vector<std::string>& serials = {kSerial}) {
    for (const std::string& serial : serials) {
      boxsim_plug("VORK-KADO", serial.c_str());
      for (int address = 1; address <= 7; ++address) boxsim_wire(serial.c_str(), address, "four-wire");
    }
    return InitPlugin();
  }

  // SM_Setup of a new four-wire motor; its channel, or -1.
  int AddMotor(std::uint32_t device, std::uint8_t address, const char* name, float coefficient = 100.0f) {
    MotorInfo info = FourWireInfo(address, name, coefficient);
    return SM_Setup(device, -1, &info);
  }

  // Motors on connectors 1, 2, ... of `device`, one per name, in channel order.
  void AddMotors(std::uint32_t device, const std::vector<const char*>& names) {
    for (std::size_t i = 0; i < names.size(); ++i)
      ASSERT_EQ(AddMotor(device, static_cast<std::uint8_t>(i + 1), names[i]), static_cast<int>(i));
  }

  // Moves a motor to `units` and waits (ticking) until it rests; with `zeroThere` its zero
  // is then put there.
  void MoveAndRest(std::uint32_t device, std::uint32_t channel, double units, bool zeroThere = false) {
    ASSERT_TRUE(SM_Move(device, channel, units));
    ASSERT_TRUE(TickUntilIdle(device, channel));
    if (zeroThere) {
      ASSERT_TRUE(SM_SetZero(device, channel));
    }
  }

  void TickFor(double seconds) {
    for (double end = now_ + seconds; now_ < end; now_ += 0.001) Tick(now_);
  }
  // Ticks in 1 ms steps until the motor rests; false when it still runs after `limit` seconds.
  bool TickUntilIdle(std::uint32_t device, std::uint32_t channel, double limit = 30.0) {
    for (double end = now_ + limit; now_ < end; now_ += 0.001) {
      if (!SM_IsRunning(device, channel)) return true;
      Tick(now_);
    }
    return !SM_IsRunning(device, channel);
  }

  // The channel's live state, copied under the device lock.
  SMotor Channel(std::uint32_t device, std::uint32_t channel) {
    LibraryLock lock;
    DeviceGuard guard(Device(device));
    return Device(device).motors[channel];
  }

  double now_ = 100.0;  // seconds on the tick's clock
};

}  // namespace mervane::testing
