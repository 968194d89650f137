// The exported extensions of mervane_ext.h: the tick's timing counters, per box and for the timer.
#include "api/export.h"
#include "hardware/device.h"
#include "hardware/tick.h"
#include "mervane_ext.h"

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
