// The 1 ms tick, its timer and its timing counters.
#include "hardware/tick.h"

#include <algorithm>
#include <cstring>

#include "hardware/device.h"
#include "hardware/runtime.h"
#include "motor/commands.h"

namespace mervane {

namespace {
// After this many idle ticks (no channel running anywhere) the timer thread rests until the next
// start, so an idle library costs no CPU. Timer thread only.
constexpr unsigned kIdleTicksBeforeRest = 100;
unsigned g_idleTicks = 0;

void TimerCallback(void*, const platform::RealtimeTimer::Beat& beat) {
  if (Tick(TickTime{beat.deadline, platform::NowSeconds(), beat.skipped})) {
    g_idleTicks = 0;
  } else if (++g_idleTicks >= kIdleTicksBeforeRest) {
    g_idleTicks = 0;
    GetRuntime().tickTimer.RestAfterThisCall();
  }
}

// Where one channel stood when the tick began and where its step of this tick lands in the
// output: the count of the first bytes that must reach the box for the motor to have moved.
struct ChannelTick {
  std::int32_t before = 0;
  std::uint32_t lands = 0;  // 0: no step queued for this channel in this tick
  bool moving = false;      // running when the tick began (Step never starts a channel)
};

// The bytes of a step command up to the one that moves the motor: a coil pattern moves it with
// its first byte, a two-wire pulse with the rise of the step line that ends it (its tenth byte).
std::uint32_t MovingBytes(const SMotor& motor) {
  return commands::DriveOf(motor.record->type) == commands::Drive::TwoWire ? commands::kTwoWireStepMoves : 1;
}

// A write that did not wholly reach the box: `sent` of its first bytes went out (0 when the call
// failed). A step whose moving bytes are among them happened; every other step of the tick did
// not. Each channel that was moving stops where its motor now stands (the box dropped the rest,
// the watchdog finds out whether it is gone); resting channels keep their pending destinations.
// Returns the steps that happened. Allocation-free.
std::uint64_t KeepSentSteps(USBDriver& device, const ChannelTick (&channels)[kChannelCount], std::uint32_t sent) {
  std::uint64_t kept = 0;
  for (std::uint32_t m = 0; m < static_cast<std::uint32_t>(kChannelCount); ++m) {
    const ChannelTick& c = channels[m];
    if (!c.moving) continue;
    SMotor& motor = device.motors[m];
    if (c.lands != 0 && c.lands <= sent)
      ++kept;
    else
      motor.position = c.before;
    // Reports the stop of a channel still running; one whose move ended in this very tick has
    // reported it already.
    Halt(motor);
  }
  return kept;
}

// One device's share of a tick. The device lock is only tried: a device the control thread is
// changing right now is left for the next tick, its channels untouched, so no step is lost.
// `tick` holds this tick's own counts; the device's steps and failed writes are added to `total`.
// Returns whether the device may still move.
bool TickDevice(USBDriver& device, double now, const TickCounters::Values& tick, const Driver& driver,
                TickCounters::Values& total) {
  if (!device.Lock().try_lock()) {
    device.counters.Add({.skippedPeriods = tick.skippedPeriods + 1});
    return true;
  }
  std::memset(device.output, 0, kOutputSize);
  device.outputCount = 0;
  device.stepsQueued = 0;
  bool busy = device.batchHold;
  if (device.connected && !device.batchHold) {
    const std::uint32_t count = std::min(device.motorCount, static_cast<std::uint32_t>(kChannelCount));
    ChannelTick channels[kChannelCount] = {};
    for (std::uint32_t m = 0; m < count; ++m) {
      SMotor& motor = device.motors[m];
      ChannelTick& c = channels[m];
      c.before = motor.position;
      c.moving = motor.direction != 0;
      const std::uint32_t start = device.outputCount;  // a step is the first command a channel queues
      Step(motor, now);
      // A step whose command did not fit the buffer never leaves: it lands nowhere.
      if (motor.position != c.before && device.outputCount >= start + MovingBytes(motor))
        c.lands = start + MovingBytes(motor);
      busy = busy || motor.direction != 0;
    }
    std::uint64_t steps = 0;
    std::uint64_t failedWrites = 0;
    if (device.outputCount > 0) {
      std::uint32_t sent = 0;
      device.lastStatus = driver.Write(device.handle, device.output, device.outputCount, sent);
      if (device.lastStatus == FT_OK) {
        steps = device.stepsQueued;
      } else {
        failedWrites = 1;
        steps = KeepSentSteps(device, channels, sent);
        busy = false;
      }
    }
    // Built field by field: a copy of `tick` here costs more than all the counting.
    device.counters.Add({.ticks = 1,
                         .skippedPeriods = tick.skippedPeriods,
                         .lateTicks = tick.lateTicks,
                         .failedWrites = failedWrites,
                         .steps = steps,
                         .worstLateness = tick.worstLateness});
    total.steps += steps;
    total.failedWrites += failedWrites;
  } else if (device.connected) {
    device.counters.Add({.skippedPeriods = tick.skippedPeriods});
  }
  device.UnlockAndRaise();
  return busy;
}
}  // namespace

TickCounters::Values TickCounters::Read() const {
  Values values;
  const std::uint32_t done = resetsDone_.load(std::memory_order_acquire);
  if (resetsAsked_.load(std::memory_order_relaxed) != done) return values;  // reset, not yet carried out
  values.ticks = ticks_.load(std::memory_order_relaxed);
  values.skippedPeriods = skippedPeriods_.load(std::memory_order_relaxed);
  values.lateTicks = lateTicks_.load(std::memory_order_relaxed);
  values.failedWrites = failedWrites_.load(std::memory_order_relaxed);
  values.steps = steps_.load(std::memory_order_relaxed);
  values.worstLateness = worstLateness_.load(std::memory_order_relaxed);
  return values;
}

void TickCounters::Reset() { resetsAsked_.fetch_add(1, std::memory_order_relaxed); }

TickCounters& TimerCounters() {
  static TickCounters counters;
  return counters;
}

bool Tick(const TickTime& time) {
  const double lateness = std::max(0.0, time.ran - time.due);
  const bool late = lateness > kTickPeriod / 2;
  const double now = late ? time.ran : time.due;
  const TickCounters::Values tick{.ticks = 1,
                                  .skippedPeriods = time.skippedBefore,
                                  .lateTicks = late ? 1u : 0u,
                                  .worstLateness = lateness};
  Runtime& runtime = GetRuntime();
  const DeviceList& list = runtime.devices;
  std::uint32_t count = list.Count();
  TickCounters::Values total = tick;
  bool busy = false;
  for (std::uint32_t i = 0; i < count; ++i) busy = TickDevice(*list.At(i), now, tick, runtime.driver, total) || busy;
  TimerCounters().Add(total);
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
