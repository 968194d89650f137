// The parts of the platform layer that need no operating-system call of their own, shared by the
// POSIX and the Windows layers: ownership of a dynamic library, and the control thread with its
// periodic timers on the standard library's threads.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <thread>

#include "platform/platform.h"

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
