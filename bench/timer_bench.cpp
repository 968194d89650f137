// Measuring tool for the 1 ms timer on this machine (not a Google Benchmark: it runs in wall time).
//   1. Accuracy: the real-time timer (calling the tick over 50 resting boxes) and, at the same time
//      on another thread, a plain sleep_for(1 ms) loop; ticks counted and lateness of each tick
//      against its deadline (median, p99, p99.9, max).
//   2. CPU: the library's own tick timer with no motor running, process CPU time per second of
//      wall time, for no boxes and for 50 resting boxes, beside the bare timer (empty callback).
// Usage: timer_bench [--seconds=N] [--timer-only]   (default 10 s per measurement; --timer-only
// leaves out the sleep_for loop, to see whether it disturbs the timer).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "hardware/tick.h"

namespace mervane::bench {
namespace {

struct Lateness {
  std::vector<double> samples;  // seconds late, one per tick inside the window
  long ticks = 0;               // ticks inside the window
  long expected = 0;            // ticks the window holds at the nominal period
};

double Percentile(std::vector<double> v, double q) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  auto index = static_cast<std::size_t>(std::ceil(q * static_cast<double>(v.size())));
  return v[std::min(v.size() - 1, index == 0 ? 0 : index - 1)];
}

void Print(const char* name, const Lateness& l) {
  const double us = 1e6;
  std::printf("  %-26s ticks %6ld of %6ld   lateness median %7.1f us  p99 %7.1f us  p99.9 %7.1f us  max %8.1f us\n",
              name, l.ticks, l.expected, Percentile(l.samples, 0.5) * us, Percentile(l.samples, 0.99) * us,
              Percentile(l.samples, 0.999) * us, Percentile(l.samples, 1.0) * us);
}

// The real-time timer's callback: lateness against the deadline it was due at, then the tick.
struct TimerProbe {
  std::vector<double> deadlines;
  std::vector<double> late;
  std::atomic<long> count{0};
  static void Callback(void* context, const platform::RealtimeTimer::Beat& beat) {
    auto* self = static_cast<TimerProbe*>(context);
    const double now = platform::NowSeconds();
    const long i = self->count.load(std::memory_order_relaxed);
    if (static_cast<std::size_t>(i) < self->late.size()) {
      self->deadlines[static_cast<std::size_t>(i)] = beat.deadline;
      self->late[static_cast<std::size_t>(i)] = now - beat.deadline;
      self->count.store(i + 1, std::memory_order_release);
    }
    Tick(TickTime{beat.deadline, now, beat.skipped});
  }
};

void MeasureAccuracy(double seconds, bool withSleeper) {
  const auto capacity = static_cast<std::size_t>(seconds * 1000.0 * 1.1 + 1000);
  TimerProbe probe;
  probe.deadlines.assign(capacity, 0.0);
  probe.late.assign(capacity, 0.0);
  std::vector<double> sleepWakes(capacity, 0.0);
  std::atomic<bool> stopSleeper{false};
  std::size_t sleepCount = 0;

  platform::RealtimeTimer timer;
  const double steal0 = StealSeconds();
  std::thread sleeper([&] {
    while (withSleeper && !stopSleeper.load(std::memory_order_relaxed) && sleepCount < sleepWakes.size()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      sleepWakes[sleepCount++] = platform::NowSeconds();
    }
  });
  if (!timer.Start(0.001, &TimerProbe::Callback, &probe)) {
    std::printf("  the real-time timer could not start\n");
  }
  platform::SleepSeconds(seconds + 0.1);
  const bool realtime = timer.RealtimePriority();
  timer.Stop();
  const double steal = steal0 < 0 ? -1 : StealSeconds() - steal0;
  stopSleeper = true;
  sleeper.join();

  // Timer: the window opens at its first deadline and holds seconds / period deadlines.
  Lateness real;
  const long n = probe.count.load(std::memory_order_acquire);
  if (n > 0) {
    const double first = probe.deadlines[0];
    real.expected = std::lround(seconds * 1000.0);
    for (long i = 0; i < n; ++i) {
      if (probe.deadlines[static_cast<std::size_t>(i)] > first + seconds - 0.0005) break;
      real.samples.push_back(probe.late[static_cast<std::size_t>(i)]);
      ++real.ticks;
    }
  }
  // sleep_for loop: each wake is due one period after the one before (the loop has no deadlines
  // of its own); counted over the same length of time from its first wake.
  Lateness plain;
  plain.expected = std::lround(seconds * 1000.0);
  if (sleepCount > 0) {
    for (std::size_t i = 1; i < sleepCount && sleepWakes[i] < sleepWakes[0] + seconds; ++i) {
      plain.samples.push_back(sleepWakes[i] - (sleepWakes[i - 1] + 0.001));
      ++plain.ticks;
    }
    ++plain.ticks;  // the first wake
  }
  std::printf("Timer accuracy over %.0f s (%s; timer thread real-time priority: %s)\n", seconds,
              withSleeper ? "both at the same time" : "timer alone", realtime ? "yes" : "no, refused");
  Print("RealtimeTimer + Tick", real);
  if (withSleeper) Print("sleep_for(1ms) loop", plain);
  if (steal >= 0) std::printf("  processor time taken by the hypervisor meanwhile (steal): %.0f ms\n", steal * 1000.0);
}

// Process CPU time (the main thread only sleeps meanwhile) per second of wall time, in percent.
template <typename Run>
double CpuPercent(double seconds, Run&& whileRunning) {
  platform::SleepSeconds(0.2);  // settle
  const std::clock_t cpu0 = std::clock();
  const double wall0 = platform::NowSeconds();
  whileRunning(seconds);
  const std::clock_t cpu1 = std::clock();
  const double wall1 = platform::NowSeconds();
  return 100.0 * (static_cast<double>(cpu1 - cpu0) / CLOCKS_PER_SEC) / (wall1 - wall0);
}

// The same real-time timer with an empty callback: what the machine charges for 1000 wake-ups a
// second, whatever the callback does.
void MeasureBareTimerCpu(double seconds) {
  platform::RealtimeTimer timer;
  timer.Start(0.001, [](void*, const platform::RealtimeTimer::Beat&) {}, nullptr);
  double percent = CpuPercent(seconds, [](double s) { platform::SleepSeconds(s); });
  timer.Stop();
  std::printf("  bare timer, empty callback:        %.3f %% of one core\n", percent);
}

// Process CPU time per second of wall time while the library's tick timer runs and nothing moves.
void MeasureIdleCpu(double seconds, int boxes) {
  BenchBoxes devices(boxes);
  BenchBoxes::Prepare({.running = false});
  GetRuntime().manualTiming = false;
  {
    LibraryLock lock;
    if (!StartTickTimer()) std::printf("  the tick timer could not start\n");
  }
  double percent = CpuPercent(seconds, [](double s) { platform::SleepSeconds(s); });
  {
    LibraryLock lock;
    StopTickTimer();
  }
  GetRuntime().manualTiming = true;
  std::printf("  tick timer, %2d boxes (%3d resting): %.3f %% of one core\n", boxes, boxes * kChannelCount, percent);
}

}  // namespace
}  // namespace mervane::bench

int main(int argc, char** argv) {
  double seconds = 10.0;
  bool withSleeper = true;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--seconds=", 10) == 0) {
      seconds = std::atof(argv[i] + 10);
    } else if (std::strcmp(argv[i], "--timer-only") == 0) {
      withSleeper = false;
    } else {
      std::fprintf(stderr, "usage: %s [--seconds=N] [--timer-only]\n", argv[0]);
      return 2;
    }
  }
  if (!(seconds > 0)) seconds = 10.0;
  {
    mervane::bench::BenchBoxes boxes(50);
    mervane::bench::BenchBoxes::Prepare({.running = false});
    mervane::bench::MeasureAccuracy(seconds, withSleeper);
  }
#if defined(_WIN32)
  // The Windows C runtime's std::clock counts wall time, not processor time.
  std::printf("Tick thread CPU: not measured on Windows (std::clock counts wall time there)\n");
  return 0;
#endif
  std::printf("Tick thread CPU with no motor running, over %.0f s (whole process; the main thread sleeps)\n", seconds);
  mervane::bench::MeasureBareTimerCpu(seconds);
  mervane::bench::MeasureIdleCpu(seconds, 0);
  mervane::bench::MeasureIdleCpu(seconds, 50);
  return 0;
}
