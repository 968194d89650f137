// The 1 ms tick and its timer.
#include "hardware/tick.h"

#include <cstring>

#include "hardware/device.h"
#include "hardware/runtime.h"

namespace mervane {

namespace {
constexpr double kTickPeriod = 0.001;  // seconds

void TimerCallback(void*, double) { Tick(platform::NowSeconds()); }

// One device's share of a tick. The device lock is only tried: a device the control thread is
// changing right now is left for the next tick, its channels untouched, so no step is lost.
void TickDevice(USBDriver& device, double now, const Driver& driver) {
  if (!device.Lock().try_lock()) return;
  std::memset(device.output, 0, kOutputSize);
  device.outputCount = 0;
  if (device.connected && !device.batchHold) {
    for (std::uint32_t m = 0; m < device.motorCount && m < kChannelCount; ++m) Step(device.motors[m], now);
    if (device.outputCount > 0) device.lastStatus = driver.Write(device.handle, device.output, device.outputCount);
  }
  device.UnlockAndRaise();
}
}  // namespace

void Tick(double now) {
  Runtime& runtime = GetRuntime();
  const DeviceList& list = runtime.devices;
  std::uint32_t count = list.Count();
  for (std::uint32_t i = 0; i < count; ++i) TickDevice(*list.At(i), now, runtime.driver);
}

bool StartTickTimer() {
  Runtime& runtime = GetRuntime();
  if (runtime.manualTiming) return false;
  if (runtime.tickTimer.Running()) return true;
  return runtime.tickTimer.Start(kTickPeriod, &TimerCallback, nullptr);
}

void StopTickTimer() { GetRuntime().tickTimer.Stop(); }

bool TickTimerRunning() { return GetRuntime().tickTimer.Running(); }

}  // namespace mervane
