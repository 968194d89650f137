// "Motor Stopped" events: a fixed ring that many threads fill without locks, emptied in order by
// the event thread (or by a flush) which calls the hook with no library lock held.
#include "hardware/events.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <system_error>

#include "hardware/runtime.h"
#include "hardware/settings.h"
#include "motor/motor.h"
#include "platform/platform.h"

namespace mervane {

namespace {

// Bounded multi-producer queue of channel numbers (after D. Vyukov's bounded MPMC queue), with
// one consumer at a time. Cell i is free for the producer of position p when its sequence is p,
// and holds that producer's channel once its sequence is p + 1. Sequences are stored minus the
// cell's index, so that the all-zero image of a static ring is the empty ring: no constructor
// runs before the first stop may be handed over.
constexpr std::uint32_t kRingSize = 1024;  // a power of two
static_assert((kRingSize & (kRingSize - 1)) == 0);

struct Cell {
  std::atomic<std::uint32_t> sequence;  // the sequence minus this cell's index
  std::uint8_t channel;                 // written before `sequence` is released
};

struct Ring {
  Cell cells[kRingSize];
  std::atomic<std::uint32_t> pushPosition;
  std::atomic<std::uint32_t> popPosition;  // the consumer's (one at a time, under g_consumer)
};
constinit Ring g_ring{};

// Stops handed over while the ring was full: counted per channel, raised after the ring's, so a
// handler slower than the stops loses none of them (only their order among themselves).
constinit std::atomic<std::uint32_t> g_overflow[kChannelCount]{};

constinit std::atomic<MotorStoppedHook> g_hook{nullptr};

// Serialises the consumers (the event thread and flushes), so the events reach the hook one at
// a time and in order. Held while the hook runs; never taken by a producer.
std::mutex g_consumer;

// Set on the thread that is inside the hook: a flush from there would wait for itself.
thread_local bool t_raising = false;

// The event thread; lives from the library's load to its unload.
platform::SignalledThread g_thread;

bool TryPush(std::uint8_t channel) {
  std::uint32_t position = g_ring.pushPosition.load(std::memory_order_relaxed);
  for (;;) {
    const std::uint32_t index = position & (kRingSize - 1);
    Cell& cell = g_ring.cells[index];
    const std::uint32_t sequence = cell.sequence.load(std::memory_order_acquire) + index;
    const auto lag = static_cast<std::int32_t>(sequence - position);
    if (lag == 0) {
      if (g_ring.pushPosition.compare_exchange_weak(position, position + 1, std::memory_order_relaxed)) {
        cell.channel = channel;
        cell.sequence.store(position + 1 - index, std::memory_order_release);
        return true;
      }
    } else if (lag < 0) {
      return false;  // full: the cell still holds an event of the previous lap
    } else {
      position = g_ring.pushPosition.load(std::memory_order_relaxed);
    }
  }
}

// g_consumer held. False when the ring is empty or its oldest cell is still being written (its
// producer signals once it is done).
bool TryPop(std::uint8_t& channel) {
  const std::uint32_t position = g_ring.popPosition.load(std::memory_order_relaxed);
  const std::uint32_t index = position & (kRingSize - 1);
  Cell& cell = g_ring.cells[index];
  const std::uint32_t sequence = cell.sequence.load(std::memory_order_acquire) + index;
  if (sequence != position + 1) return false;
  channel = cell.channel;
  cell.sequence.store(position + kRingSize - index, std::memory_order_release);
  g_ring.popPosition.store(position + 1, std::memory_order_relaxed);
  return true;
}

// g_consumer held. The hook is looked up per event: one removed meanwhile gets no more.
void RaiseOne(std::uint32_t channel) {
  MotorStoppedHook hook = g_hook.load(std::memory_order_acquire);
  if (hook == nullptr) return;
  t_raising = true;
  hook(channel);
  t_raising = false;
}

// Raises everything handed over so far, in order.
void Drain() {
  if (t_raising) return;
  std::lock_guard consumer(g_consumer);
  for (;;) {
    std::uint8_t channel = 0;
    bool any = false;
    while (TryPop(channel)) {
      RaiseOne(channel);
      any = true;
    }
    for (std::uint32_t c = 0; c < static_cast<std::uint32_t>(kChannelCount); ++c)
      for (std::uint32_t n = g_overflow[c].exchange(0, std::memory_order_acquire); n > 0; --n, any = true)
        RaiseOne(c);
    if (!any) return;
  }
}

void EventThreadWork(void*) { Drain(); }

}  // namespace

void SetMotorStoppedHook(MotorStoppedHook hook) { g_hook.store(hook, std::memory_order_release); }

// Tick thread or control thread: one lock-free push (or one counter increment) and a wake-up of
// the event thread. Channels are 0..6 (SMotor::channel).
void RaiseMotorStopped(std::uint32_t channel) {
  if (channel >= static_cast<std::uint32_t>(kChannelCount)) return;
  if (g_hook.load(std::memory_order_acquire) == nullptr) return;  // nobody listens
  if (!TryPush(static_cast<std::uint8_t>(channel))) g_overflow[channel].fetch_add(1, std::memory_order_release);
  g_thread.Signal();
}

bool StartEventThread() {
  if (GetRuntime().manualTiming) return false;
  return g_thread.Start(&EventThreadWork, nullptr);
}

void StopEventThread() noexcept {
  try {
    g_thread.Stop();
    Drain();  // events of a thread never started (manual timing, or a failed start)
  } catch (const std::system_error&) {
    // A failed join or lock leaves the events queued for the next start or flush.
  }
}

void FlushStoppedEvents() { Drain(); }

}  // namespace mervane
