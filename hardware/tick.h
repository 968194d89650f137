// The 1 ms real-time tick: one time stamp, every channel of every connected box steps, and each
// box's queued bytes go out in one driver write. It allocates nothing and never waits. Also the
// tick's timing counters, per box and for the timer as a whole.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>

namespace mervane {

constexpr double kTickPeriod = 0.001;  // seconds

// The tick's counters are 64-bit atomics it writes while other threads read them; on 32-bit
// systems too they must be plain loads and stores, never a lock the tick could wait for.
static_assert(std::atomic<std::uint64_t>::is_always_lock_free && std::atomic<double>::is_always_lock_free,
              "64-bit atomics without a lock");

// When one tick runs. Motion uses the grid point `due` (so a step due exactly there goes out in
// this tick, whatever jitter the wake-up had); a tick that began more than half a period late uses
// `ran` instead, so that the steps it emits keep their intervals from the moment they really leave.
struct TickTime {
  double due = 0;                  // seconds: the timer's grid point for this tick
  double ran = 0;                  // seconds: when the tick really began (not before `due`)
  std::uint64_t skippedBefore = 0; // grid points the timer passed over right before this tick
};

// What the tick did, counted as it happened. The tick thread is the only writer. Any thread reads
// and resets without a lock and without ever making the tick wait: every value is an atomic read
// and written relaxed, and a reset is a request that the tick carries out at its next count
// (readers are shown zeros until then).
class TickCounters {
public:
  struct Values {
    std::uint64_t ticks = 0;           // ticks run
    std::uint64_t skippedPeriods = 0;  // periods that got no tick
    std::uint64_t lateTicks = 0;       // ticks that began more than half a period late
    std::uint64_t failedWrites = 0;    // driver writes whose status was not FT_OK
    std::uint64_t steps = 0;           // steps that went out in writes that succeeded
    double worstLateness = 0;          // seconds, the latest any counted tick began
  };
  // Any thread.
  Values Read() const;
  void Reset();
  // Tick thread: adds one tick's counts; `add.worstLateness` is that tick's lateness.
  void Add(const Values& add);

private:
  std::atomic<std::uint64_t> ticks_{0};
  std::atomic<std::uint64_t> skippedPeriods_{0};
  std::atomic<std::uint64_t> lateTicks_{0};
  std::atomic<std::uint64_t> failedWrites_{0};
  std::atomic<std::uint64_t> steps_{0};
  std::atomic<double> worstLateness_{0};
  std::atomic<std::uint32_t> resetsAsked_{0};  // any thread
  std::atomic<std::uint32_t> resetsDone_{0};   // tick thread
};

// Single writer: plain loads and stores of the atomics, no read-modify-write on the tick's path.
inline void TickCounters::Add(const Values& add) {
  const std::uint32_t asked = resetsAsked_.load(std::memory_order_relaxed);
  const bool reset = asked != resetsDone_.load(std::memory_order_relaxed);
  auto bump = [reset](std::atomic<std::uint64_t>& counter, std::uint64_t n) {
    if (reset || n != 0) counter.store((reset ? 0 : counter.load(std::memory_order_relaxed)) + n, std::memory_order_relaxed);
  };
  bump(ticks_, add.ticks);
  bump(skippedPeriods_, add.skippedPeriods);
  bump(lateTicks_, add.lateTicks);
  bump(failedWrites_, add.failedWrites);
  bump(steps_, add.steps);
  const double worst = reset ? 0.0 : worstLateness_.load(std::memory_order_relaxed);
  if (reset || add.worstLateness > worst) worstLateness_.store(std::max(worst, add.worstLateness), std::memory_order_relaxed);
  // Published after the zeros: a reader that sees the reset done sees them too.
  if (reset) resetsDone_.store(asked, std::memory_order_release);
}

// Starts the periodic 1 ms timer unless it runs (or timing is manual). Library lock held.
bool StartTickTimer();
// Stops it and waits for a running tick to finish. Library lock held.
void StopTickTimer();
bool TickTimerRunning();
// Whether anything drives the tick: the timer runs, or (manual timing) the caller does.
bool TickDriven();
// One tick. Whether anything may still move: a running channel, a batch being started, or a
// device left for the next tick.
bool Tick(const TickTime& time);
// One tick on time at `now` (seconds on the monotonic clock).
inline bool Tick(double now) { return Tick(TickTime{now, now, 0}); }
// Lets a resting timer tick again; called whenever a move starts. Control thread.
void WakeTickTimer();
// The counters of every tick run, summed over all boxes for writes and steps.
TickCounters& TimerCounters();

}  // namespace mervane
