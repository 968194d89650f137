// One controller box: its names, driver handle, settings block, seven motor channels, the 1 ms
// output buffer and the 250 ms watchdog that notices an unplug and reopens the box.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "hardware/d2xx.h"
#include "hardware/settings.h"
#include "hardware/tick.h"
#include "motor/motor.h"
#include "platform/platform.h"

namespace mervane {

constexpr std::uint32_t kOutputSize = 128;
constexpr std::uint32_t kOutputLimit = 127;  // a command is queued only below this many bytes
constexpr std::uint8_t kBitMask = 0xFF;      // all eight data lines are outputs
constexpr std::uint32_t kBaudRate = 3000000;
constexpr double kWatchdogPeriod = 0.25;     // seconds

class USBDriver {
public:
  // A fresh object named description + listCount; does not touch the box.
  USBDriver(std::int32_t listIndex, const std::string& description, const std::string& serial,
            std::uint32_t listCount);
  // Saves, writes the name to the chip, closes the handle. Library lock held.
  ~USBDriver();
  USBDriver(const USBDriver&) = delete;
  USBDriver& operator=(const USBDriver&) = delete;

  // Opens the box: open by serial, bit-bang mode, baud rate, name from the EEPROM user area,
  // settings file, channels rebuilt, release of all channels, tick started. Library lock held.
  bool Open();
  // Saves (chip untouched after a lost connection) and resets the channels. Library lock held.
  void Close(bool chipUntouched);
  // Queries the driver status; a failure on a connected box is a lost connection.
  bool CheckConnection();
  // The watchdog's body (every 250 ms on the control thread): reopen when not connected.
  void OnReconnectTimer();

  // Appends one whole command to the output buffer while fewer than 127 bytes are queued and
  // the command fits; false when it was dropped. Device lock held.
  bool AppendCommand(const std::uint8_t* bytes, std::uint32_t length);
  // Remembers that a channel came to rest; raised when the device lock is released.
  void NoteStopped(std::uint32_t channel) { pendingStops_ |= static_cast<std::uint8_t>(1u << channel); }

  // The device lock. Guards the channels' motion state, the output buffer, `connected`,
  // `handle`, `motorCount`, `batchHold` and the pending stops. Taken by the tick with try_lock
  // (it skips a busy device for one tick and loses nothing) and briefly by the control thread.
  std::mutex& Lock() { return lock_; }
  // Unlocks, then hands the "Motor Stopped" events collected while it was held to the event
  // thread (hardware/events.h); it never calls the host.
  void UnlockAndRaise();

  std::string name;
  std::string type;
  std::string serial;
  std::int32_t listIndex;
  std::uint32_t motorCount = 0;
  FT_HANDLE handle = nullptr;
  platform::ControlThread::TimerId reconnectTimer = 0;
  bool connected = false;
  DeviceSettings settings;
  SMotor motors[kChannelCount];
  std::uint8_t output[kOutputSize] = {};
  std::uint32_t outputCount = 0;
  // Per slot, changes whenever the motor in it may be another one or its state was reloaded
  // (set-up, removal, close, open): a caller that let go of the library lock meanwhile compares
  // it before acting on the slot again. Library lock held.
  std::uint32_t slotChanges[kChannelCount] = {};
  void NoteSlotChanged(std::uint32_t slot) { ++slotChanges[slot]; }
  void NoteAllSlotsChanged() {
    for (std::uint32_t& changes : slotChanges) ++changes;
  }
  std::uint32_t stepsQueued = 0;  // steps among this tick's commands (tick thread, device lock held)
  bool batchHold = false;
  FT_STATUS lastStatus = FT_OK;
  // This box's share of the tick's timing; kept across reconnects, reset on request.
  TickCounters counters;

private:
  void CloseHandle();
  // A box that is not open shows no slots; its channels rest at 0 until the next open loads
  // them from the file. Device lock held.
  void ForgetChannels();

  std::mutex lock_;
  std::uint8_t pendingStops_ = 0;
};

// Holds a device lock for a scope on the control thread; raises collected stops on release.
class DeviceGuard {
public:
  explicit DeviceGuard(USBDriver& device) : device_(device) { device_.Lock().lock(); }
  ~DeviceGuard() { device_.UnlockAndRaise(); }
  DeviceGuard(const DeviceGuard&) = delete;
  DeviceGuard& operator=(const DeviceGuard&) = delete;

private:
  USBDriver& device_;
};

}  // namespace mervane
