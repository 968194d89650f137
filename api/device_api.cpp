// The exported device functions: discovery, names, open and close of the boxes, starting and
// stopping all motors of a box, and Exit.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

#include "api/api.h"
#include "api/export.h"
#include "hardware/device_list.h"
#include "hardware/events.h"
#include "mervane.h"
#include "motor/motor.h"
#include "platform/platform.h"

namespace mervane::api {

namespace {
std::atomic<CloseWindow> g_closeWindow{nullptr};

constexpr const char* kCompanion = "velquid";  // plus ".exe" on Windows

// The companion program runs beside the library and nothing here depends on it, so whether it
// could be started is not reported. MERVANE_COMPANION names another program; empty: none.
void LaunchCompanion() {
  std::string program =
      platform::GetEnv("MERVANE_COMPANION").value_or(std::string(kCompanion) + platform::kProgramSuffix);
  if (!program.empty()) platform::LaunchDetached(program);
}

// Bounded copy into a caller's buffer of `len` bytes: zero-padded, the last byte forced to 0, so
// a text of `len` bytes or more is cut to len - 1. A null buffer or len 0 is refused unwritten.
bool CopyOut(const std::string& text, char* buf, std::uint32_t len) {
  if (buf == nullptr || len == 0) return false;
  std::strncpy(buf, text.c_str(), len);
  buf[len - 1] = 0;
  return true;
}

// One text of a device (serial, type or name) copied out.
bool CopyDeviceText(unsigned index, char* buf, std::uint32_t len, std::string USBDriver::*field) {
  return Guarded(false, [&] {
    USBDriver* device = DeviceAt(index);
    return device != nullptr && CopyOut(device->*field, buf, len);
  });
}
}  // namespace

USBDriver* DeviceAt(std::uint32_t index) {
  const DeviceList& list = GetRuntime().devices;
  return index < list.Count() ? list.At(index) : nullptr;
}

SMotor* MotorAt(std::uint32_t device, std::uint32_t channel) {
  USBDriver* owner = DeviceAt(device);
  if (owner == nullptr || channel >= owner->motorCount || channel >= static_cast<std::uint32_t>(kChannelCount))
    return nullptr;
  return &owner->motors[channel];
}

void SetCloseWindow(CloseWindow close) { g_closeWindow.store(close, std::memory_order_release); }

}  // namespace mervane::api

using mervane::api::DeviceAt;
using mervane::api::Guarded;
using mervane::api::GuardedVoid;

int32_t InitPlugin(void) {
  return Guarded<int32_t>(-1, [] {
    mervane::api::LaunchCompanion();
    return mervane::RefreshDevices();
  });
}

int32_t RefreshDevices(void) {
  return Guarded<int32_t>(-1, [] { return mervane::RefreshDevices(); });
}

uint32_t GetDevicesCount(void) {
  return Guarded<uint32_t>(0, [] {
    mervane::RefreshDevices();
    return mervane::GetRuntime().devices.Count();
  });
}

int32_t GetDeviceIndex(const char* serial) {
  return Guarded<int32_t>(-1, [&] { return serial != nullptr ? mervane::FindBySerial(serial) : -1; });
}

bool CheckDeviceConnection(unsigned index) {
  return Guarded(false, [&] {
    mervane::USBDriver* device = DeviceAt(index);
    return device != nullptr && device->connected;
  });
}

bool GetDeviceSernum(unsigned index, char* buf, uint32_t len) {
  return mervane::api::CopyDeviceText(index, buf, len, &mervane::USBDriver::serial);
}

bool GetDeviceType(unsigned index, char* buf, uint32_t len) {
  return mervane::api::CopyDeviceText(index, buf, len, &mervane::USBDriver::type);
}

bool GetDeviceName(unsigned index, char* buf, uint32_t len) {
  return mervane::api::CopyDeviceText(index, buf, len, &mervane::USBDriver::name);
}

bool RenameDevice(unsigned index, const char* name) {
  return Guarded(false, [&] {
    mervane::USBDriver* device = DeviceAt(index);
    return device != nullptr && name != nullptr && mervane::Rename(*device, name);
  });
}

bool OpenDevice(unsigned index) {
  return Guarded(false, [&] {
    mervane::USBDriver* device = DeviceAt(index);
    if (device == nullptr) return false;
    return device->connected || device->Open();
  });
}

bool CloseDevice(unsigned index) {
  return Guarded(false, [&] {
    mervane::USBDriver* device = DeviceAt(index);
    if (device == nullptr) return false;
    device->Close(false);
    return true;
  });
}

// Starts every used channel towards its pending destination. The device lock is held across all
// starts, so the tick cannot step the device in between: every channel takes its first step in
// the same tick. `destination` holds absolute steps (see SM_SetDestination), so each channel is
// started with destination - zero, which StartMove takes relative to the zero.
bool Run(unsigned index) {
  return Guarded(false, [&] {
    mervane::USBDriver* device = DeviceAt(index);
    if (device == nullptr) return false;
    mervane::DeviceGuard guard(*device);
    std::uint32_t count = std::min(device->motorCount, static_cast<std::uint32_t>(mervane::kChannelCount));
    bool started = true;
    for (std::uint32_t m = 0; m < count && started; ++m) {
      mervane::SMotor& motor = device->motors[m];
      started = mervane::StartMove(motor, static_cast<std::int64_t>(motor.destination) - motor.zero, m + 1 < count);
    }
    // A start that fails, or a last channel that is already at its destination (StartMove then
    // leaves the flag alone), would otherwise keep the device held and the tick off it forever.
    device->batchHold = false;
    return started;
  });
}

void InitializeAll(unsigned index) {
  GuardedVoid([&] {
    mervane::USBDriver* device = DeviceAt(index);
    if (device == nullptr) return;
    mervane::DeviceGuard guard(*device);
    for (std::uint32_t m = 0; m < device->motorCount && m < static_cast<std::uint32_t>(mervane::kChannelCount); ++m)
      mervane::Initialize(device->motors[m]);
  });
}

void StopAll(unsigned index) {
  GuardedVoid([&] {
    mervane::USBDriver* device = DeviceAt(index);
    if (device == nullptr) return;
    for (std::uint32_t m = 0; m < device->motorCount; ++m) SM_Stop(index, m);
  });
}

// The event thread ends after the lock is given back: a handler on it may be waiting for the lock.
void CloseAllDevices(void) {
  GuardedVoid([] { mervane::CloseAllDevices(); });
  mervane::StopEventThread();
}

void Exit(void) {
  GuardedVoid([] {
    if (mervane::api::CloseWindow close = mervane::api::g_closeWindow.load(std::memory_order_acquire)) close();
    mervane::CloseAllDevices();
  });
  mervane::StopEventThread();
}
