// The 1 ms tick and its timer.
#include "hardware/tick.h"

#include <algorithm>
#include <cstring>

#include "hardware/device.h"
#include "hardware/runtime.h"

namespace mervane {

namespace {
constexpr double kTickPeriod = 0.001;  // seconds

// After this many idle ticks (no channel running anywhere) the timer thread rests until the next
// start, so an idle library costs no CPU. Timer thread only.
constexpr unsigned kIdleTicksBeforeRest = 100;
unsigned g_idleTicks = 0;

void TimerCallback(void*, double) {
  if (Tick(platform::NowSeconds())) {
    g_idleTicks = 0;
  } else if (++g_idleTicks >= kIdleTicksBeforeRest) {
    g_idleTicks = 0;
    GetRuntime().tickTimer.RestAfterThisCall();
  }
}

// A write that did not reach the box: the steps queued in it never happened. Each channel that
// was moving goes back to the position the last good write left it at and stops there (the box
// drops the rest of the move; the watchdog finds out whether it is gone). Resting channels keep
// their pending destinations. Allocation-free.
void UndoUnsentSteps(USBDriver& device, const std::int32_t (&before)[kChannelCount], std::uint8_t moving) {
  for (std::uint32_t m = 0; m < static_cast<std::uint32_t>(kChannelCount); ++m) {
    if (!(moving & (1u << m))) continue;
    SMotor& motor = device.motors[m];
    motor.position = before[m];
    // Reports the stop of a channel still running; one whose move ended in this very tick has
    // reported it already.
    Halt(motor);
  }
}

// One device's share of a tick. The device lock is only tried: a device the control thread is
// changing right now is left for the next tick, its channels untouched, so no step is lost.
// Returns whether the device may still move.
bool TickDevice(USBDriver& device, double now, const Driver& driver) {
  if (!device.Lock().try_lock()) return true;
  std::memset(device.output, 0, kOutputSize);
  device.outputCount = 0;
  bool busy = device.batchHold;
  if (device.connected && !device.batchHold) {
    const std::uint32_t count = std::min(device.motorCount, static_cast<std::uint32_t>(kChannelCount));
    std::int32_t before[kChannelCount] = {};
    std::uint8_t moving = 0;  // channels running when the tick began (Step never starts one)
    for (std::uint32_t m = 0; m < count; ++m) {
      before[m] = device.motors[m].position;
      if (device.motors[m].direction != 0) moving = static_cast<std::uint8_t>(moving | (1u << m));
      Step(device.motors[m], now);
      busy = busy || device.motors[m].direction != 0;
    }
    if (device.outputCount > 0) {
      device.lastStatus = driver.Write(device.handle, device.output, device.outputCount);
      if (device.lastStatus != FT_OK) {
        UndoUnsentSteps(device, before, moving);
        busy = false;
      }
    }
  }
  device.UnlockAndRaise();
  return busy;
}
}  // namespace

bool Tick(double now) {
  Runtime& runtime = GetRuntime();
  const DeviceList& list = runtime.devices;
  std::uint32_t count = list.Count();
  bool busy = false;
  for (std::uint32_t i = 0; i < count; ++i) busy = TickDevice(*list.At(i), now, runtime.driver) || busy;
  return busy;
}

void WakeTickTimer() { GetRuntime().tickTimer.Wake(); }

bool StartTickTimer() {
  Runtime& runtime = GetRuntime();
  if (runtime.manualTiming) return false;
  if (runtime.tickTimer.Running()) return true;
  return runtime.tickTimer.Start(kTickPeriod, &TimerCallback, nullptr);
}

void StopTickTimer() { GetRuntime().tickTimer.Stop(); }

bool TickTimerRunning() { return GetRuntime().tickTimer.Running(); }

bool TickDriven() {
  Runtime& runtime = GetRuntime();
  return runtime.manualTiming || runtime.tickTimer.Running();
}

}  // namespace mervane
