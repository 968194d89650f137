// The library's process-wide state: the library-wide lock, the driver library, the device list,
// the 1 ms tick timer and the control thread. Torn down in that reverse order at unload, the
// event thread (hardware/events.h) between the tick and the control thread.
#pragma once

#include <mutex>

#include "hardware/device_list.h"
#include "hardware/driver.h"
#include "platform/platform.h"

namespace mervane {

struct Runtime {
  Runtime();
  ~Runtime();
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  // The library-wide lock. Serialises every export, every control-thread timer callback and
  // every window command, as one GUI thread would. Recursive: exports call exports. The tick
  // never takes it.
  std::recursive_mutex lock;
  Driver driver;
  DeviceList devices;
  platform::RealtimeTimer tickTimer;
  platform::ControlThread control{lock};
  // Tests drive the tick and the watchdogs by hand: no timer thread is started, no watchdog
  // registered.
  bool manualTiming = false;
};

Runtime& GetRuntime();

// Levels of the library-wide lock that this thread holds through LibraryLock.
inline int& LibraryLockDepth() {
  thread_local int depth = 0;
  return depth;
}

// RAII hold of the library-wide lock.
class LibraryLock {
public:
  LibraryLock() : guard_(GetRuntime().lock) { ++LibraryLockDepth(); }
  ~LibraryLock() { --LibraryLockDepth(); }
  LibraryLock(const LibraryLock&) = delete;
  LibraryLock& operator=(const LibraryLock&) = delete;

private:
  std::lock_guard<std::recursive_mutex> guard_;
};

// Releases every level of the library-wide lock that this thread holds through LibraryLock, and
// takes them all back when it goes. For waits on another thread (the control window's) that
// itself calls exports: waiting with the lock held would deadlock against it and stall the
// control thread's watchdogs. Whoever takes the lock back re-checks what it had looked up.
class LibraryUnlocked {
public:
  LibraryUnlocked() : levels_(LibraryLockDepth()) {
    for (int i = 0; i < levels_; ++i) GetRuntime().lock.unlock();
    LibraryLockDepth() = 0;
  }
  ~LibraryUnlocked() {
    for (int i = 0; i < levels_; ++i) GetRuntime().lock.lock();
    LibraryLockDepth() = levels_;
  }
  LibraryUnlocked(const LibraryUnlocked&) = delete;
  LibraryUnlocked& operator=(const LibraryUnlocked&) = delete;

private:
  int levels_;
};

}  // namespace mervane
