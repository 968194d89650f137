// The exported motor functions: by device and channel (SM_), by name (SMN_) and the motor type
// names (INF_). Positions cross the boundary in user units; channels count steps.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <limits>
#include <string>

#include "api/api.h"
#include "api/export.h"
#include "hardware/device_list.h"
#include "mervane.h"
#include "motor/motor.h"

// MotorInfo is the C face of MotorRecord: the records are copied in and out byte for byte.
#define MERVANE_SAME_FIELD(field) \
  static_assert(offsetof(MotorInfo, field) == offsetof(mervane::MotorRecord, field), #field);
static_assert(sizeof(MotorInfo) == sizeof(mervane::MotorRecord));
MERVANE_SAME_FIELD(address) MERVANE_SAME_FIELD(type) MERVANE_SAME_FIELD(length) MERVANE_SAME_FIELD(coefficient)
MERVANE_SAME_FIELD(acceleration) MERVANE_SAME_FIELD(minStepTime) MERVANE_SAME_FIELD(maxStepTime)
MERVANE_SAME_FIELD(halfSteps) MERVANE_SAME_FIELD(autoRelease) MERVANE_SAME_FIELD(name) MERVANE_SAME_FIELD(position)
MERVANE_SAME_FIELD(offset) MERVANE_SAME_FIELD(zeroPoint)
#undef MERVANE_SAME_FIELD

namespace mervane::api {

namespace {
std::atomic<SetupDialog> g_setupDialog{nullptr};

constexpr std::uint32_t kAllChannels = 8;  // Release: any value of 7 and above means all seven

// A step count held in 64 bits, or false when it leaves int32.
bool FitSteps(std::int64_t steps, std::int32_t& out) {
  if (steps < std::numeric_limits<std::int32_t>::min() || steps > std::numeric_limits<std::int32_t>::max())
    return false;
  out = static_cast<std::int32_t>(steps);
  return true;
}

// Units of the step difference a - b (positions relative to the zero), taken in 64 bits.
double UnitsBetween(const SMotor& motor, std::int32_t a, std::int32_t b) {
  return ToUnits(motor, static_cast<std::int64_t>(a) - b);
}

// Runs `body(motor)` for a valid (device, channel) with the device lock held, since the tick
// writes the motion fields; `failure` for an invalid index.
template <typename R, typename Body>
R WithMotor(std::uint32_t device, std::uint32_t channel, R failure, Body&& body) {
  SMotor* motor = MotorAt(device, channel);
  if (motor == nullptr) return failure;
  DeviceGuard guard(*motor->owner);
  return body(*motor);
}

// Stops the channel and waits until the tick has brought it to rest (10 ms sleeps, 10 s at most,
// no device lock held meanwhile), then applies `change` with the device lock held. False, with
// nothing changed, when the index is invalid or the motor does not come to rest in time.
template <typename Change>
bool AfterStop(std::uint32_t device, std::uint32_t channel, Change&& change) {
  SMotor* motor = MotorAt(device, channel);
  if (motor == nullptr || !WaitStopped(*motor->owner, static_cast<int>(channel))) return false;
  DeviceGuard guard(*motor->owner);
  change(*motor);
  return true;
}

// Forgets where the motor is: position, destination and target 0; the zero stays. A motor still
// running is halted on the spot, and that is reported as its stop.
void ResetMotion(SMotor& motor) {
  if (motor.direction != 0) motor.owner->NoteStopped(motor.channel);
  motor.position = motor.destination = motor.target = motor.direction = 0;
  motor.destinationUnits = 0.0;
  motor.rampState = RampState::Idle;
  motor.nextStepTime = 0;
}

// A record that may become a used slot: a used record has a type ("None" marks a free one and
// would break the packing of used slots), its address code is none or a connector 1..8, and its
// numbers can drive a channel.
bool Configurable(const MotorRecord& record) {
  return record.type != 0 && record.address <= 8 && UsableNumbers(record);
}
}  // namespace

int LookupMotorName(std::uint32_t& device, std::uint32_t& channel, const char* name, const char* serial,
                    int n) {
  const DeviceList& list = GetRuntime().devices;
  const std::uint32_t count = list.Count();
  int matches = 0;
  for (std::uint32_t d = 0; d < count; ++d) {
    const USBDriver& owner = *list.At(d);
    if (serial != nullptr && owner.serial != serial) continue;
    for (std::uint32_t c = 0; c < owner.motorCount && c < static_cast<std::uint32_t>(kChannelCount); ++c) {
      if (RecordName(owner.settings.records[c]) != name) continue;
      if (matches == 0 || serial != nullptr || matches == n) {
        device = d;
        channel = c;
      }
      if (serial != nullptr) return 1;
      if (matches == n) return n;
      ++matches;
    }
  }
  return serial != nullptr ? 0 : matches;
}

void SetSetupDialog(SetupDialog dialog) { g_setupDialog.store(dialog, std::memory_order_release); }

bool MoveMotor(std::uint32_t device, std::uint32_t channel, double units, bool relative) {
  return Guarded(false, [&] {
    return WithMotor(device, channel, false, [&](SMotor& motor) {
      double next = relative ? motor.destinationUnits + units : units;
      std::int32_t steps = 0;
      if (!TryToSteps(motor, next, steps)) return false;
      // The units are kept only for a start that is taken: a refused one changes nothing.
      const double previous = motor.destinationUnits;
      motor.destinationUnits = next;
      if (StartMove(motor, steps, false)) return true;
      motor.destinationUnits = previous;
      return false;
    });
  });
}

bool MoveByName(const char* name, double units, bool relative, std::uint32_t /*speed*/) {
  return Guarded(false, [&] {
    return ByName(name, false, [&](std::uint32_t device, std::uint32_t channel) {
      return MoveMotor(device, channel, units, relative);
    });
  });
}

bool ReleaseDevice(std::uint32_t device) {
  return Guarded(false, [&] {
    USBDriver* owner = DeviceAt(device);
    return owner != nullptr && Release(*owner, kAllChannels);
  });
}

}  // namespace mervane::api

using mervane::SMotor;
using mervane::api::ByName;
using mervane::api::DeviceAt;
using mervane::api::Guarded;
using mervane::api::MotorAt;
using mervane::api::WithMotor;

int SM_GetIndex(uint32_t* device, uint32_t* channel, const char* motorName, const char* serial, int n) {
  return Guarded(-1, [&] {
    if (device == nullptr || channel == nullptr || motorName == nullptr) return -1;
    return mervane::api::LookupMotorName(*device, *channel, motorName, serial, n);
  });
}

uint32_t SM_GetCountInAll(void) {
  return Guarded<uint32_t>(0, [] {
    const mervane::DeviceList& list = mervane::GetRuntime().devices;
    std::uint32_t total = 0;
    for (std::uint32_t d = 0; d < list.Count(); ++d) total += list.At(d)->motorCount;
    return total;
  });
}

bool SM_GetInfoInAll(uint32_t index, MotorInfo* info) {
  return Guarded(false, [&] {
    const mervane::DeviceList& list = mervane::GetRuntime().devices;
    for (std::uint32_t d = 0; d < list.Count(); ++d) {
      std::uint32_t count = list.At(d)->motorCount;
      if (index < count) return SM_GetInfo(d, index, info);
      index -= count;
    }
    return false;
  });
}

int SM_GetCount(uint32_t device) {
  return Guarded(-1, [&] {
    mervane::USBDriver* owner = DeviceAt(device);
    return owner != nullptr ? static_cast<int>(owner->motorCount) : -1;
  });
}

// The copy is strncpy-like: zero-padded but not forced to end with a NUL (the caller's affair).
int SM_GetType(uint32_t device, uint32_t channel, char* buffer, int length) {
  return Guarded(-1, [&] {
    SMotor* motor = MotorAt(device, channel);
    if (motor == nullptr || buffer == nullptr || length <= 0) return -1;
    std::uint8_t code = motor->record->type;
    std::strncpy(buffer, mervane::MotorTypeName(code), static_cast<std::size_t>(length));
    return static_cast<int>(code);
  });
}

double SM_GetPosition(uint32_t device, uint32_t channel) {
  return Guarded(0.0, [&] {
    return WithMotor(device, channel, 0.0,
                     [](SMotor& m) { return mervane::api::UnitsBetween(m, m.position, m.zero); });
  });
}

double SM_GetRealPosition(uint32_t device, uint32_t channel) {
  return Guarded(0.0, [&] {
    return WithMotor(device, channel, 0.0, [](SMotor& m) { return mervane::ToUnits(m, m.position); });
  });
}

double SM_GetTarget(uint32_t device, uint32_t channel) {
  return Guarded(0.0, [&] {
    return WithMotor(device, channel, 0.0,
                     [](SMotor& m) { return mervane::api::UnitsBetween(m, m.destination, m.zero); });
  });
}

double SMN_GetTarget(const char* name) {
  return Guarded(0.0, [&] { return ByName(name, 0.0, SM_GetTarget); });
}

double SM_GetZero(uint32_t device, uint32_t channel) {
  return Guarded(0.0, [&] {
    return WithMotor(device, channel, 0.0, [](SMotor& m) { return mervane::ToUnits(m, m.zero); });
  });
}

// The record with two live values: the absolute position and the zero point, in user units. The
// name is handed out terminated even when a settings file left its record without a NUL.
bool SM_GetInfo(uint32_t device, uint32_t channel, MotorInfo* info) {
  return Guarded(false, [&] {
    if (info == nullptr) return false;
    return WithMotor(device, channel, false, [&](SMotor& m) {
      MotorInfo out;
      std::memcpy(&out, m.record, sizeof out);
      out.position = mervane::SavedPosition(mervane::ToUnits(m, m.position), 0.0f);
      out.zeroPoint = mervane::SavedPosition(mervane::ToUnits(m, m.zero), 0.0f);
      out.name[sizeof out.name - 1] = 0;
      std::memcpy(info, &out, sizeof out);
      return true;
    });
  });
}

// Configures a channel (channel >= 0, below the motor count) or adds one (channel < 0) from
// `info`, or from the motor setup dialog when `info` is null, and saves the settings (file and
// chip). The name is cut to 9 characters so that the record always holds its terminator.
int SM_Setup(uint32_t device, int channel, MotorInfo* info) {
  return Guarded(-1, [&] {
    mervane::USBDriver* owner = DeviceAt(device);
    if (owner == nullptr) return -1;
    // Record `motorCount` is not a used slot yet: configuring it without counting it would leave
    // a motor that no index reaches until the box is reopened. New slots come from channel < 0.
    if (channel >= 0 && static_cast<std::uint32_t>(channel) >= owner->motorCount) return -1;
    mervane::MotorRecord source;
    if (info != nullptr) {
      std::memcpy(&source, info, sizeof source);
    } else {
      mervane::api::SetupDialog dialog = mervane::api::g_setupDialog.load(std::memory_order_acquire);
      if (dialog == nullptr) return -1;
      source = channel >= 0 ? owner->settings.records[channel] : mervane::FreshRecord();
      if (!dialog(device, channel, source)) return -1;
      // The dialog ran without the library lock: look the device up again.
      owner = DeviceAt(device);
      if (owner == nullptr || (channel >= 0 && static_cast<std::uint32_t>(channel) >= owner->motorCount)) return -1;
    }
    if (!mervane::api::Configurable(source)) return -1;
    source.name[sizeof source.name - 1] = 0;
    const bool adding = channel < 0;
    if (mervane::AddressTaken(*owner, adding ? static_cast<int>(owner->motorCount) : channel, source.address))
      return -1;
    // A running channel must not change its record mid-move (the auto release would switch off
    // the new connector, a new half-step flag would break the coil sequence): it is stopped and
    // waited for first, and a channel that does not come to rest is left as it is.
    if (!adding && !mervane::WaitStopped(*owner, channel)) return -1;
    // A setup whose save fails is undone, so that -1 always means nothing changed.
    mervane::SettingsChange change(*owner);
    int slot = adding ? mervane::AddSlot(*owner, source)
                      : (mervane::ConfigureSlot(*owner, channel, source, true) ? channel : -1);
    if (slot < 0) return -1;
    return change.Commit() ? slot : -1;
  });
}

bool SMN_Setup(const char* name) {
  return Guarded(false, [&] {
    return ByName(name, false, [](std::uint32_t d, std::uint32_t c) { return SM_Setup(d, static_cast<int>(c), nullptr) >= 0; });
  });
}

// `destination` is kept in absolute steps here as StartMove keeps it, so that SM_GetTarget
// (destination - zero) reports what was handed in and Run (which starts towards destination -
// zero relative to the zero) goes there, whatever the zero is. With a zero of 0 this is the
// same as keeping it relative to the zero.
bool SM_SetDestination(uint32_t device, uint32_t channel, double units) {
  return Guarded(false, [&] {
    return WithMotor(device, channel, false, [&](SMotor& m) {
      std::int32_t steps = 0;
      std::int32_t absolute = 0;
      if (!mervane::TryToSteps(m, units, steps) ||
          !mervane::api::FitSteps(static_cast<std::int64_t>(steps) + m.zero, absolute))
        return false;
      m.destinationUnits = units;
      m.destination = absolute;
      return true;
    });
  });
}

// A destination that cannot be expressed in steps (not a number, beyond int32) is refused rather
// than clamped: the motor must not run to an end of the range instead.
bool SM_Move(uint32_t device, uint32_t channel, double units) {
  return Guarded(false, [&] {
    return WithMotor(device, channel, false, [&](SMotor& m) {
      std::int32_t steps = 0;
      return mervane::TryToSteps(m, units, steps) && mervane::StartMove(m, steps, false);
    });
  });
}

bool SMN_Move(const char* name, double units, bool relative) {
  return mervane::api::MoveByName(name, units, relative, 0);
}

bool SMN_StepMove(const char* name, int32_t steps, bool relative) {
  return Guarded(false, [&] {
    return ByName(name, false, [&](std::uint32_t d, std::uint32_t c) {
      return WithMotor(d, c, false, [&](SMotor& m) {
        std::int64_t wanted = steps;
        if (relative) wanted += static_cast<std::int64_t>(m.target) - m.zero;
        // The units are kept only for a start that is taken: a refused one changes nothing.
        const double units = m.destinationUnits;
        m.destinationUnits = mervane::ToUnits(m, wanted);
        if (mervane::StartMove(m, wanted, false)) return true;
        m.destinationUnits = units;
        return false;
      });
    });
  });
}

bool SM_IsRunning(uint32_t device, uint32_t channel) {
  return Guarded(false, [&] { return WithMotor(device, channel, false, [](SMotor& m) { return m.direction != 0; }); });
}

int SMN_IsRunning(const char* name) {
  return Guarded(-1, [&] {
    return ByName(name, -1, [](std::uint32_t d, std::uint32_t c) {
      if (!DeviceAt(d)->connected) return -1;
      return SM_IsRunning(d, c) ? 1 : 0;
    });
  });
}

bool SM_Stop(uint32_t device, uint32_t channel) {
  return Guarded(false, [&] {
    return WithMotor(device, channel, false, [](SMotor& m) {
      mervane::RequestStop(m);
      return true;
    });
  });
}

bool SMN_Stop(const char* name) {
  return Guarded(false, [&] { return ByName(name, false, SM_Stop); });
}

bool SM_Initialize(uint32_t device, uint32_t channel) {
  return Guarded(false, [&] {
    return WithMotor(device, channel, false, [](SMotor& m) {
      mervane::Initialize(m);
      return true;
    });
  });
}

// A toggle: a set zero is cleared, else the zero is put where the motor rests.
bool SM_SetZero(uint32_t device, uint32_t channel) {
  return Guarded(false, [&] {
    return mervane::api::AfterStop(device, channel, [](SMotor& m) { m.zero = m.zero != 0 ? 0 : m.position; });
  });
}

bool SMN_SetZero(const char* name) {
  return Guarded(false, [&] { return ByName(name, false, SM_SetZero); });
}

bool SM_Reset(uint32_t device, uint32_t channel) {
  return Guarded(false, [&] { return mervane::api::AfterStop(device, channel, mervane::api::ResetMotion); });
}

// Unlike SM_Reset, at once: no stop and no wait.
bool SMN_Reset(const char* name) {
  return Guarded(false, [&] {
    return ByName(name, false, [](std::uint32_t d, std::uint32_t c) {
      return WithMotor(d, c, false, [](SMotor& m) {
        mervane::api::ResetMotion(m);
        return true;
      });
    });
  });
}

bool SM_Release(uint32_t device, uint32_t channel) {
  return Guarded(false, [&] {
    SMotor* motor = MotorAt(device, channel);
    return motor != nullptr && mervane::Release(*motor->owner, channel);
  });
}

bool SMN_Release(const char* name) {
  return Guarded(false, [&] { return ByName(name, false, SM_Release); });
}

// Every device is released even after one fails; true only when all succeeded.
bool SM_ReleaseAll(void) {
  return Guarded(false, [] {
    const mervane::DeviceList& list = mervane::GetRuntime().devices;
    bool all = true;
    for (std::uint32_t d = 0; d < list.Count(); ++d)
      all = mervane::Release(*list.At(d), mervane::api::kAllChannels) && all;
    return all;
  });
}

bool SM_Remove(uint32_t device, uint32_t channel) {
  return Guarded(false, [&] {
    if (MotorAt(device, channel) == nullptr) return false;
    mervane::USBDriver& owner = *DeviceAt(device);
    // A removal whose save fails is undone: a host that retries must not remove a second motor.
    // The motors from `channel` on rest (RemoveSlot refuses otherwise) and nothing starts them
    // while the library lock is held, so their motion state goes back as it was taken.
    mervane::SettingsChange change(owner);
    mervane::SMotor before[mervane::kChannelCount];
    {
      mervane::DeviceGuard guard(owner);  // the tick may step the channels before `channel`
      std::copy(std::begin(owner.motors), std::end(owner.motors), before);
    }
    if (!mervane::RemoveSlot(owner, channel)) return false;
    if (change.Commit()) return true;
    mervane::DeviceGuard guard(owner);
    for (std::uint32_t c = channel; c < static_cast<std::uint32_t>(mervane::kChannelCount); ++c)
      mervane::CarryMotion(owner.motors[c], before[c]);
    return false;
  });
}

// Codes outside a byte are unknown too (they must not alias a code of the table).
int INF_GetMTypeName(int code, const char** name) {
  return Guarded(-1, [&] {
    if (name == nullptr) return -1;
    const char* text = code >= 0 && code <= 0xFF ? mervane::MotorTypeName(static_cast<std::uint8_t>(code)) : "???";
    *name = text;
    return static_cast<int>(std::strlen(text));
  });
}
