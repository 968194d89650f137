// The parts of the platform layer that need no operating-system call of their own, shared by the
// POSIX and the Windows layers: ownership of a dynamic library, the signalled worker thread and
// the control thread with its periodic timers on the standard library's threads.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/platform.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace mervane::platform {

// --- DynamicLibrary (Open, Close and Symbol are the system's) -------------------------------------

DynamicLibrary::~DynamicLibrary() { Close(); }

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept : handle_(other.handle_) {
  other.handle_ = nullptr;
}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = nullptr;
  }
  return *this;
}

namespace {
// Sleeps while `word` holds `seen`, and wakes one sleeper: a futex on Linux, WaitOnAddress on
// Windows. Neither wake takes a lock (the standard library's wait does on Windows), so the
// real-time tick may wake.
void WaitWhileEqual(std::atomic<std::uint32_t>& word, std::uint32_t seen) {
#if defined(_WIN32)
  while (word.load(std::memory_order_acquire) == seen) {
    std::uint32_t expected = seen;
    WaitOnAddress(&word, &expected, sizeof expected, INFINITE);
  }
#else
  word.wait(seen, std::memory_order_acquire);
#endif
}

void WakeOneWaiter(std::atomic<std::uint32_t>& word) {
#if defined(_WIN32)
  WakeByAddressSingle(&word);
#else
  word.notify_one();
#endif
}
}  // namespace

// --- SignalledThread ------------------------------------------------------------------------

struct SignalledThread::State {
  // Counts signals; the thread sleeps on it until it differs from what it last saw.
  std::atomic<std::uint32_t> signals{0};
  std::atomic<bool> ending{false};
  std::atomic<std::thread::id> id{};
  // Guards `thread` across Start and Stop from different threads. Never taken by Signal or by the
  // thread itself.
  std::mutex lifecycle;
  std::thread thread;

  void Loop(Work work, void* context) {
    id.store(std::this_thread::get_id(), std::memory_order_release);
    for (;;) {
      const std::uint32_t seen = signals.load(std::memory_order_acquire);
      // Read before the call: a Stop seen here came after every signal this call serves.
      const bool last = ending.load(std::memory_order_acquire);
      work(context);
      if (last) break;
      WaitWhileEqual(signals, seen);
    }
  }
};

SignalledThread::SignalledThread() : state_(new State) {}

SignalledThread::~SignalledThread() {
  // While the process ends the thread is gone, perhaps holding the state's lock: leave it all.
  if (ProcessEnding()) return;
  if (OnThisThread()) {
    // Unloaded from its own work: it cannot wait for itself, so it is left to end on its own.
    state_->ending.store(true, std::memory_order_release);
    state_->thread.detach();
    return;
  }
  Stop();
  delete state_;
}

bool SignalledThread::Start(Work work, void* context) {
  if (OnThisThread()) return true;
  std::lock_guard guard(state_->lifecycle);
  if (state_->thread.joinable()) return true;
  if (work == nullptr) return false;
  state_->ending.store(false, std::memory_order_relaxed);
  try {
    state_->thread = std::thread([s = state_, work, context] { s->Loop(work, context); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void SignalledThread::Signal() {
  state_->signals.fetch_add(1, std::memory_order_release);
  WakeOneWaiter(state_->signals);
}

void SignalledThread::Stop() {
  if (OnThisThread() || ProcessEnding()) return;
  std::lock_guard guard(state_->lifecycle);
  if (!state_->thread.joinable()) return;
  state_->ending.store(true, std::memory_order_release);
  Signal();
  state_->thread.join();
  state_->id.store(std::thread::id{}, std::memory_order_release);
}

bool SignalledThread::OnThisThread() const {
  return state_->id.load(std::memory_order_acquire) == std::this_thread::get_id();
}

// --- ControlThread ----------------------------------------------------------------------------

struct ControlThread::State {
  explicit State(std::recursive_mutex& s) : serialise(s) {}
  struct Timer {
    double interval;
    double due;
    std::function<void()> callback;
  };
  std::recursive_mutex& serialise;
  // Guards `timers`, `stop` and `started`; held only briefly, never while a callback runs, so
  // RemoveTimer from a thread holding `serialise` never waits on a callback.
  std::mutex mutex;
  std::condition_variable wake;
  std::map<TimerId, Timer> timers;
  TimerId nextId = 1;
  bool stop = false;
  bool started = false;
  std::thread thread;

  void Loop();
};

void ControlThread::State::Loop() {
  std::unique_lock lock(mutex);
  while (!stop) {
    double now = NowSeconds();
    double nextDue = now + 1.0;
    TimerId dueId = 0;
    for (auto& [id, timer] : timers) {
      if (timer.due <= now) {
        dueId = id;
        break;
      }
      nextDue = std::min(nextDue, timer.due);
    }
    if (dueId == 0) {
      double wait = std::max(0.0, nextDue - now);
      wake.wait_for(lock, std::chrono::duration<double>(wait));
      continue;
    }
    lock.unlock();
    {
      // Callbacks run one at a time with the library's lock held; the timer is looked up again
      // under that lock so a timer removed meanwhile never runs.
      std::lock_guard big(serialise);
      std::function<void()> callback;
      {
        std::lock_guard small(mutex);
        auto it = timers.find(dueId);
        if (it != timers.end() && !stop) {
          it->second.due = NowSeconds() + it->second.interval;
          callback = it->second.callback;
        }
      }
      if (callback) callback();
    }
    lock.lock();
  }
}

ControlThread::ControlThread(std::recursive_mutex& serialise) : state_(new State(serialise)) {}

ControlThread::~ControlThread() {
  // While the process ends the thread is gone, perhaps holding the state's lock: leave it all.
  if (ProcessEnding()) return;
  Stop();
  delete state_;
}

ControlThread::TimerId ControlThread::AddTimer(double intervalSeconds, std::function<void()> callback) {
  std::lock_guard lock(state_->mutex);
  TimerId id = state_->nextId++;
  double interval = intervalSeconds > 0 ? intervalSeconds : 0.001;
  state_->timers[id] = State::Timer{interval, NowSeconds() + interval, std::move(callback)};
  if (!state_->started && !state_->stop) {
    state_->started = true;
    state_->thread = std::thread([s = state_] { s->Loop(); });
  }
  state_->wake.notify_all();
  return id;
}

void ControlThread::RemoveTimer(TimerId id) {
  std::lock_guard lock(state_->mutex);
  state_->timers.erase(id);
}

void ControlThread::Stop() {
  if (ProcessEnding()) return;  // see the destructor
  {
    std::lock_guard lock(state_->mutex);
    state_->stop = true;
    state_->wake.notify_all();
  }
  if (state_->thread.joinable() && state_->thread.get_id() != std::this_thread::get_id())
    state_->thread.join();
}

std::size_t ControlThread::TimerCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->timers.size();
}

}  // namespace mervane::platform
