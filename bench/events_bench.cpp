// Cost to the tick of handing over one "Motor Stopped" (RaiseMotorStopped): a lock-free push into
// the event ring plus the wake-up of the event thread, with that thread raising them meanwhile,
// and the push alone (no thread; the ring emptied outside the timing).
#include <benchmark/benchmark.h>

#include <atomic>

#include "hardware/events.h"
#include "hardware/runtime.h"
#include "motor/motor.h"

namespace mervane::bench {
namespace {

std::atomic<long> g_raised{0};
void CountRaise(std::uint32_t) { g_raised.fetch_add(1, std::memory_order_relaxed); }

// The event thread runs and raises what comes; each hand-over may have to wake it.
void BM_HandOverStopToEventThread(benchmark::State& state) {
  GetRuntime().manualTiming = false;
  SetMotorStoppedHook(&CountRaise);
  StartEventThread();
  std::uint32_t channel = 0;
  for (auto _ : state) {
    RaiseMotorStopped(channel);
    channel = channel == 6 ? 0 : channel + 1;
  }
  StopEventThread();
  state.counters["raised"] = static_cast<double>(g_raised.exchange(0));
  SetMotorStoppedHook(nullptr);
  GetRuntime().manualTiming = true;
}

// No thread: the push alone, the ring emptied every 512 stops outside the timing.
void BM_HandOverStopPushOnly(benchmark::State& state) {
  GetRuntime().manualTiming = true;
  SetMotorStoppedHook(&CountRaise);
  long n = 0;
  for (auto _ : state) {
    RaiseMotorStopped(static_cast<std::uint32_t>(n % 7));
    if (++n % 512 == 0) {
      state.PauseTiming();
      FlushStoppedEvents();
      state.ResumeTiming();
    }
  }
  FlushStoppedEvents();
  SetMotorStoppedHook(nullptr);
}

BENCHMARK(BM_HandOverStopToEventThread);
BENCHMARK(BM_HandOverStopPushOnly);

}  // namespace
}  // namespace mervane::bench

BENCHMARK_MAIN();
