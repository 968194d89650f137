// The exported extensions of mervane_ext.h: the tick's timing counters, per box and for the timer,
// and the motor setup rules for tools without the dialog.
#include <cstdio>
#include <optional>
#include <string>

#include "api/export.h"
#include "hardware/device.h"
#include "hardware/tick.h"
#include "mervane_ext.h"
#include "ui/setup_rules.h"

namespace {

void CopyOut(const mervane::TickCounters& source, MervaneTickCounters& out) {
  const mervane::TickCounters::Values values = source.Read();
  out.ticks = values.ticks;
  out.skippedPeriods = values.skippedPeriods;
  out.lateTicks = values.lateTicks;
  out.failedWrites = values.failedWrites;
  out.steps = values.steps;
  out.worstLateness = values.worstLateness;
}

}  // namespace

using mervane::api::DeviceAt;
using mervane::api::Guarded;
using mervane::api::GuardedVoid;

bool EXT_GetTimerCounters(MervaneTickCounters* counters) {
  return Guarded(false, [&] {
    if (counters == nullptr) return false;
    CopyOut(mervane::TimerCounters(), *counters);
    return true;
  });
}

// The library lock keeps the box in the list while its counters are read; the tick never takes it.
bool EXT_GetDeviceCounters(unsigned index, MervaneTickCounters* counters) {
  return Guarded(false, [&] {
    mervane::USBDriver* device = DeviceAt(index);
    if (device == nullptr || counters == nullptr) return false;
    CopyOut(device->counters, *counters);
    return true;
  });
}

void EXT_ResetTimerCounters(void) {
  GuardedVoid([] { mervane::TimerCounters().Reset(); });
}

bool EXT_ResetDeviceCounters(unsigned index) {
  return Guarded(false, [&] {
    mervane::USBDriver* device = DeviceAt(index);
    if (device == nullptr) return false;
    device->counters.Reset();
    return true;
  });
}

namespace {
std::optional<std::string> Given(const char* text) {
  if (text == nullptr) return std::nullopt;
  return std::string(text);
}

void Tell(char* message, std::uint32_t size, const std::string& text) {
  if (message != nullptr && size > 0) std::snprintf(message, size, "%s", text.c_str());
}
}  // namespace

// Pure rules: no library state, so no library lock.
bool EXT_ApplySetupTexts(const MervaneSetupTexts* texts, bool newMotor, MotorInfo* record, char* message,
                         uint32_t size) {
  try {
    Tell(message, size, "");
    if (texts == nullptr || record == nullptr) return false;
    namespace setup = mervane::setup;
    setup::Fields fields;
    fields.name = Given(texts->name);
    fields.coefficient = Given(texts->coefficient);
    fields.length = Given(texts->length);
    fields.offset = Given(texts->offset);
    fields.acceleration = Given(texts->acceleration);
    fields.minStepTime = Given(texts->minStepTime);
    fields.maxStepTime = Given(texts->maxStepTime);
    if (texts->address != nullptr) {
      std::optional<long> address = setup::ReadInteger(texts->address);
      if (!address) {
        Tell(message, size, "address\tType error\tValue must be integer!");
        return false;
      }
      fields.address = *address;
    }
    MotorInfo edited = *record;
    if (auto complaint = setup::Apply(fields, newMotor, edited)) {
      Tell(message, size, complaint->field + "\t" + complaint->caption + "\t" + complaint->text);
      return false;
    }
    *record = edited;
    return true;
  } catch (...) {
    return false;
  }
}
