// A call handed to the window's thread and waited for by its caller, the same for every view:
// the window thread may take it up late or never (its loop is not running, or it is busy), so the
// caller waits a bounded time for the start and then drops it; once started, it waits to the end.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace mervane::ui {

class QueuedCall {
public:
  // Window thread: whether the call may run (false once its caller has dropped it).
  bool Begin() {
    std::lock_guard lock(mutex_);
    if (state_ == State::Dropped) return false;
    state_ = State::Running;
    changed_.notify_all();
    return true;
  }
  // Window thread: the call has run.
  void Finish() {
    std::lock_guard lock(mutex_);
    state_ = State::Done;
    changed_.notify_all();
  }
  // Caller: waits up to `startSeconds` for the start, then for the end. False (and the call is
  // dropped, so it never runs later) when it did not start in time.
  bool Wait(double startSeconds) {
    if (!WaitStart(startSeconds) && Drop()) return false;
    WaitDone();
    return true;
  }
  // Caller: whether the call has started within `seconds`; it may still start later.
  bool WaitStart(double seconds) {
    std::unique_lock lock(mutex_);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    return changed_.wait_until(lock, deadline, [&] { return state_ != State::Waiting; });
  }
  void WaitDone() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return state_ == State::Done; });
  }
  // Caller: drops the call unless it has started; true when dropped.
  bool Drop() {
    std::lock_guard lock(mutex_);
    if (state_ != State::Waiting) return false;
    state_ = State::Dropped;
    return true;
  }

private:
  enum class State { Waiting, Running, Done, Dropped };
  std::mutex mutex_;  // guards `state_`; the caller and the window thread
  std::condition_variable changed_;
  State state_ = State::Waiting;
};

}  // namespace mervane::ui
