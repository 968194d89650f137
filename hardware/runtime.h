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

// RAII hold of the library-wide lock.
class LibraryLock {
public:
  LibraryLock() : guard_(GetRuntime().lock) {}

private:
  std::lock_guard<std::recursive_mutex> guard_;
};

}  // namespace mervane
