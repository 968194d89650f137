// Construction and orderly teardown of the library's process-wide state.
#include "hardware/runtime.h"

#include "hardware/device.h"
#include "hardware/events.h"
#include "hardware/tick.h"

namespace mervane {

Runtime::Runtime() = default;

Runtime::~Runtime() {
  {
    std::lock_guard guard(lock);
    tickTimer.Stop();
    devices.Clear();
  }
  StopEventThread();  // its handlers may wait for the lock: stopped with the lock free
  control.Stop();
}

Runtime& GetRuntime() {
  static Runtime runtime;
  return runtime;
}

}  // namespace mervane
