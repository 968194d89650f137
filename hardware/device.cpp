// The device object: open sequence, close, connection check and watchdog.
#include "hardware/device.h"

#include <cstring>

#include "hardware/events.h"
#include "hardware/runtime.h"
#include "hardware/tick.h"

namespace mervane {

USBDriver::USBDriver(std::int32_t index, const std::string& description, const std::string& serialNumber,
                     std::uint32_t listCount)
    : name(description + std::to_string(listCount)),
      type(description),
      serial(serialNumber),
      listIndex(index),
      settings(FreshSettings()) {
  for (int r = 0; r < kChannelCount; ++r) {
    motors[r].owner = this;
    motors[r].record = &settings.records[r];
    motors[r].channel = static_cast<std::uint32_t>(r);
  }
  Runtime& runtime = GetRuntime();
  if (!runtime.manualTiming)
    reconnectTimer = runtime.control.AddTimer(kWatchdogPeriod, [this] { OnReconnectTimer(); });
}

USBDriver::~USBDriver() {
  if (reconnectTimer != 0) GetRuntime().control.RemoveTimer(reconnectTimer);
  Close(false);
  DeviceGuard guard(*this);
  CloseHandle();  // a handle kept from a lost connection goes too
}

void USBDriver::CloseHandle() {
  if (handle == nullptr) return;
  GetRuntime().driver.Close(handle);
  handle = nullptr;
}

bool USBDriver::Open() {
  const Driver& driver = GetRuntime().driver;
  FT_HANDLE fresh = nullptr;
  {
    DeviceGuard guard(*this);
    connected = false;
    // A handle left from a lost connection or a failed open is closed before a new one is made,
    // so the 250 ms retries never pile up handles.
    CloseHandle();
  }
  if (driver.OpenBySerial(serial, fresh) != FT_OK) return false;
  auto fail = [&] {
    driver.Close(fresh);
    return false;
  };
  if (driver.SetBitMode(fresh, kBitMask, FT_BITMODE_ASYNC_BITBANG) != FT_OK) return fail();
  if (driver.SetBaudRate(fresh, kBaudRate) != FT_OK) return fail();
  // Bounds how long a stalled box can hold a write (and the tick). A library without the call,
  // or a chip refusing it, leaves writes unbounded as before; the box still works.
  driver.SetTimeouts(fresh);

  std::uint8_t userArea[kUserAreaReadSize + 1] = {};
  std::uint32_t bytesRead = 0;
  if (driver.ReadUserArea(fresh, userArea, kUserAreaReadSize, bytesRead) != FT_OK) return fail();
  const std::string chipText(reinterpret_cast<const char*>(userArea),
                             strnlen(reinterpret_cast<const char*>(userArea), bytesRead));
  if (!chipText.empty()) name = chipText;

  if (!LoadSettings(*this)) return fail();
  // A user area smaller than the chip's share of the name holds only its start, or nothing: the
  // name the file kept whole is the box's name when it begins with what the chip holds.
  if (bytesRead < kChipNameSize) {
    std::string kept = BlockName(settings);
    if (!kept.empty() && kept.starts_with(chipText)) name = kept;
  }
  // A box named elsewhere keeps its name: a block without a name of its own takes the chip's,
  // so that the next save writes that name back to the chip instead of ten NUL bytes.
  if (!chipText.empty() && settings.name[0] == 0) SetBlockName(settings, name);

  {
    DeviceGuard guard(*this);
    handle = fresh;
    motorCount = 0;
    NoteAllSlotsChanged();
    for (int r = 0; r < kChannelCount; ++r) {
      if (settings.records[r].type == 0) continue;
      SMotor& motor = motors[r];
      // A saved position that is no number of steps in int32 (not a number, or beyond the range
      // after a change of coefficient) is held to the range; 0 when it is not a number.
      float saved = settings.records[r].position;
      std::int32_t steps = 0;
      bool exact = TryToSteps(motor, saved, steps);
      // The destination too: a Run right after a reopen must leave the motor where it stands,
      // not send it back to 0.
      motor.position = motor.target = motor.destination = exact ? steps : ToSteps(motor, saved);
      motor.destinationUnits = exact ? static_cast<double>(saved) : ToUnits(motor, motor.position);
      ++motorCount;
    }
  }
  if (!Release(*this, kChannelCount + 1)) {
    // Not opened after all: the box shows no slots, as after a close, so that nothing is set on
    // channels the next open loads afresh from the file (a reset would be reported as done and
    // then undone).
    DeviceGuard guard(*this);
    CloseHandle();
    ForgetChannels();
    return false;
  }
  StartTickTimer();
  StartEventThread();
  DeviceGuard guard(*this);
  connected = true;
  return true;
}

void USBDriver::Close(bool chipUntouched) {
  bool wasConnected = false;
  {
    DeviceGuard guard(*this);
    wasConnected = connected;
    // The motors stop where the last write left them before their positions are taken for the
    // save: the tick would otherwise step on meanwhile and the file would lag the motor.
    for (SMotor& motor : motors)
      if (motor.direction != 0) Halt(motor);
    // A box pulled out since the watchdog last looked cannot take its name any more; saving as
    // after a lost connection still keeps where its motors were.
    if (!chipUntouched && connected && GetRuntime().driver.GetStatus(handle) != FT_OK) chipUntouched = true;
  }
  // The closing save is the only record of where the motors stand: a chip that refuses the name
  // must not cost the positions, so the file is then written without it. Only for a box that was
  // open: one closed before (or never opened) holds reset channels (all at 0), and its file keeps
  // what the close that reset them wrote.
  if (wasConnected && !SaveSettings(*this, chipUntouched) && !chipUntouched) SaveSettings(*this, true);
  DeviceGuard guard(*this);
  // After a lost connection the handle is left for the next Open to close: the box is gone.
  if (!chipUntouched && connected) CloseHandle();
  ForgetChannels();
  connected = false;
}

void USBDriver::ForgetChannels() {
  for (int r = 0; r < kChannelCount; ++r) {
    if (settings.records[r].type == 0) continue;
    SMotor& motor = motors[r];
    motor.position = motor.target = motor.destination = motor.direction = 0;
    motor.destinationUnits = 0.0;
  }
  motorCount = 0;
  NoteAllSlotsChanged();
}

bool USBDriver::CheckConnection() {
  FT_STATUS status = FT_INVALID_HANDLE;
  {
    DeviceGuard guard(*this);
    if (handle != nullptr) status = GetRuntime().driver.GetStatus(handle);
  }
  if (status != FT_OK && connected) Close(true);
  return connected;
}

void USBDriver::OnReconnectTimer() {
  if (!CheckConnection()) Open();
}

bool USBDriver::AppendCommand(const std::uint8_t* bytes, std::uint32_t length) {
  if (outputCount >= kOutputLimit || length > kOutputSize - outputCount) return false;
  std::memcpy(output + outputCount, bytes, length);
  outputCount += length;
  return true;
}

void USBDriver::UnlockAndRaise() {
  std::uint8_t stops = pendingStops_;
  pendingStops_ = 0;
  lock_.unlock();
  for (std::uint32_t channel = 0; stops != 0; ++channel, stops = static_cast<std::uint8_t>(stops >> 1))
    if (stops & 1u) RaiseMotorStopped(channel);
}

}  // namespace mervane
