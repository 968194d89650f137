// Publishing a form in the library's exported form pointer (DlgMervane, DlgMotorSetup,
// DlgRename): written on the window's thread, read by any thread of the host.
#pragma once

#include <atomic>

namespace mervane::ui {

inline void PublishForm(void** pointer, void* form) {
  if (pointer != nullptr) std::atomic_ref<void*>(*pointer).store(form, std::memory_order_release);
}

}  // namespace mervane::ui
