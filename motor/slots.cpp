// Slot configuration (the packed list of used motor records of a box) and motor release.
#include <cmath>
#include <cstring>

#include "hardware/device.h"
#include "hardware/runtime.h"
#include "hardware/tick.h"
#include "motor/commands.h"
#include "motor/motor.h"
#include "platform/platform.h"

namespace mervane {

namespace {
constexpr double kWaitLimit = 10.0;  // seconds
constexpr unsigned kWaitSleep = 10;  // ms

bool Running(USBDriver& device, int channel) {
  DeviceGuard guard(device);
  return device.motors[channel].direction != 0;
}
}  // namespace

bool AddressTaken(const USBDriver& device, int slot, std::uint8_t address) {
  for (std::uint32_t i = 0; i < device.motorCount && i < static_cast<std::uint32_t>(kChannelCount); ++i)
    if (static_cast<int>(i) != slot && device.settings.records[i].address == address) return true;
  return false;
}

bool UsableNumbers(const MotorRecord& record) {
  return std::isfinite(record.coefficient) && std::fabs(record.coefficient) >= kMinCoefficient &&
         !std::isnan(record.offset);
}

// A record handed in (checkUnique: a new configuration) must be usable; records moved within the
// block by a removal are taken as they are, so that a removal never stops half way.
bool ConfigureSlot(USBDriver& device, int slot, const MotorRecord& source, bool checkUnique) {
  if (slot < 0 || slot >= kChannelCount) return false;
  MotorRecord copy = source;  // the source may be a record of this very block
  if (checkUnique && (!UsableNumbers(copy) || AddressTaken(device, slot, copy.address))) return false;
  DeviceGuard guard(device);
  SetBlockName(device.settings, device.name);
  device.settings.records[slot] = copy;
  device.NoteSlotChanged(static_cast<std::uint32_t>(slot));
  return true;
}

int AddSlot(USBDriver& device, const MotorRecord& source) {
  if (device.motorCount >= static_cast<std::uint32_t>(kChannelCount)) return -1;
  int slot = static_cast<int>(device.motorCount);
  if (!ConfigureSlot(device, slot, source, true)) return -1;
  DeviceGuard guard(device);
  ++device.motorCount;
  return slot;
}

bool RemoveSlot(USBDriver& device, std::uint32_t slot) {
  std::uint32_t count = device.motorCount;
  if (slot >= count) return false;
  for (std::uint32_t i = slot; i < count; ++i)
    if (Running(device, static_cast<int>(i))) return false;
  for (std::uint32_t b = slot + 1; b < count; ++b)
    if (!ConfigureSlot(device, static_cast<int>(b - 1), device.settings.records[b], false)) return false;
  DeviceGuard guard(device);
  // Each motor moves down with its record: where it stands, its zero and destination go along.
  // All of them rest (checked above), and with the library lock held nothing starts them.
  for (std::uint32_t b = slot + 1; b < count; ++b) CarryMotion(device.motors[b - 1], device.motors[b]);
  CarryMotion(device.motors[count - 1], SMotor{});
  for (std::uint32_t b = slot; b < count; ++b) device.NoteSlotChanged(b);
  --device.motorCount;
  device.settings.records[device.motorCount] = FreshRecord();
  return true;
}

void CarryMotion(SMotor& to, const SMotor& from) {
  SMotor carried = from;
  carried.owner = to.owner;
  carried.record = to.record;
  carried.channel = to.channel;
  to = carried;
}

bool WaitStopped(USBDriver& device, int channel) {
  if (channel < 0 || channel >= kChannelCount) return false;
  {
    DeviceGuard guard(device);
    SMotor& motor = device.motors[channel];
    if (motor.direction == 0) return true;
    // Nothing will step a motor on a box that is not connected, or while nothing drives the
    // tick: it rests where it is. Waiting for it would hold the library lock for 10 s and stall
    // every export and the watchdogs.
    if (!device.connected || !TickDriven()) {
      Halt(motor);
      return true;
    }
    RequestStop(motor);
  }
  // The sleeps let go of the library lock, so that other callers act on other motors and read
  // any motor meanwhile. Whatever they change, the box object stays alive until the device list
  // is cleared, and the slot is the same motor until it is set up, removed, closed or reopened:
  // either makes this wait fail, with nothing done to what is now there.
  const DeviceList& list = GetRuntime().devices;
  const std::uint64_t listGeneration = list.Generation();
  const std::uint32_t slotChanges = device.slotChanges[channel];
  const double start = platform::NowSeconds();
  while (Running(device, channel)) {
    if (platform::NowSeconds() - start > kWaitLimit) return false;
    {
      LibraryUnlocked unlocked;
      platform::SleepMs(kWaitSleep);
    }
    if (list.Generation() != listGeneration || device.slotChanges[channel] != slotChanges) return false;
  }
  return true;
}

bool Release(USBDriver& device, std::uint32_t channel) {
  // The release has its own buffer: bytes the tick queued for this millisecond are not touched.
  std::uint8_t bytes[2 * kChannelCount];
  std::uint32_t count = 0;
  if (channel < static_cast<std::uint32_t>(kChannelCount)) {
    if (!WaitStopped(device, static_cast<int>(channel))) return false;
    std::uint8_t base = CommandBase(device.settings.records[channel].address);
    // A channel without an address code has no connector to switch off.
    if (base == 0) return true;
    count += commands::ReleaseCommand(base, bytes + count);
  } else {
    for (int i = 0; i < kChannelCount; ++i) {
      if (!WaitStopped(device, i)) return false;
      count += commands::ReleaseCommand(static_cast<std::uint8_t>(0x80 + 0x10 * i), bytes + count);
    }
  }
  DeviceGuard guard(device);
  device.lastStatus = device.handle != nullptr
                          ? GetRuntime().driver.Write(device.handle, bytes, count)
                          : static_cast<FT_STATUS>(FT_INVALID_HANDLE);
  return device.lastStatus == FT_OK;
}

}  // namespace mervane
