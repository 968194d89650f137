// Cost of one 1 ms tick over 50 boxes of 7 channels (350 channels), the driver's write replaced by
// a no-op: per tick and per channel, for channels that step at every tick, channels that run but
// are mostly not due, and channels at rest.
#include <benchmark/benchmark.h>

#include "bench_support.h"
#include "hardware/tick.h"

namespace mervane::bench {
namespace {

constexpr int kBoxes = 50;

// Ticks 1 ms apart, as the timer would call them.
void RunTicks(benchmark::State& state, const ChannelSetup& setup) {
  BenchBoxes::Prepare(setup);
  double now = 1000.0;
  for (auto _ : state) {
    now += 0.001;
    Tick(now);
  }
  const double channels = BenchBoxes::Channels();
  state.counters["channels"] = channels;
  // Time per channel and tick: the benchmark's time divided by the channels it covered.
  state.counters["per_channel"] =
      benchmark::Counter(channels, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Every channel steps in every tick: the worst case (7 commands per box per tick).
void BM_TickFourWireAllStepping(benchmark::State& state) { RunTicks(state, {.type = 0x85}); }
// Two-wire steps are 13 bytes: 91 bytes per box per tick.
void BM_TickTwoWireAllStepping(benchmark::State& state) {
  RunTicks(state, {.type = 0x01});
}
// Cruising at 5 ms per step: in most ticks a running channel is only checked.
void BM_TickFourWireCruising5ms(benchmark::State& state) { RunTicks(state, {.type = 0x85, .minStepTime = 5}); }
// Nothing runs: the cost of the tick when the motors rest.
void BM_TickAllResting(benchmark::State& state) { RunTicks(state, {.type = 0x85, .running = false}); }

BENCHMARK(BM_TickFourWireAllStepping);
BENCHMARK(BM_TickTwoWireAllStepping);
BENCHMARK(BM_TickFourWireCruising5ms);
BENCHMARK(BM_TickAllResting);

}  // namespace
}  // namespace mervane::bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  {
    mervane::bench::BenchBoxes boxes(mervane::bench::kBoxes);
    benchmark::RunSpecifiedBenchmarks();
  }
  benchmark::Shutdown();
  return 0;
}
