// Plumbing shared by the exported functions: every body runs under the library-wide lock with
// exceptions contained, and devices and channels are looked up with their index checks.
#pragma once

#include <cstdint>

#include "hardware/device.h"
#include "hardware/runtime.h"

namespace mervane::api {

// Runs `body` under the library-wide lock. Nothing may leave an export as an exception (the
// caller may be C or any other language), so any exception becomes `failure`.
template <typename R, typename Body>
R Guarded(R failure, Body&& body) noexcept {
  try {
    LibraryLock lock;
    return body();
  } catch (...) {
    return failure;
  }
}

template <typename Body>
void GuardedVoid(Body&& body) noexcept {
  try {
    LibraryLock lock;
    body();
  } catch (...) {
  }
}

// The device at list position `index`; null when index >= the list count. Library lock held.
USBDriver* DeviceAt(std::uint32_t index);
// Channel `channel` of device `device`; null unless both indices are valid (the channel below
// the device's motor count). Library lock held.
SMotor* MotorAt(std::uint32_t device, std::uint32_t channel);

// Name lookup of SM_GetIndex. `serial` null: counts the matches, stores the first one (or the
// one after `n` earlier matches, then returns `n` at once); else the first match on the device
// of that serial is stored and 1 returned, 0 when there is none. Outputs must not be null.
int LookupMotorName(std::uint32_t& device, std::uint32_t& channel, const char* name, const char* serial,
                    int n);

// Resolves `name` as the SMN_ functions do (first match in list and slot order) and runs
// `body(device, channel)`; `failure` when the name is null or no motor carries it.
template <typename R, typename Body>
R ByName(const char* name, R failure, Body&& body) {
  if (name == nullptr) return failure;
  std::uint32_t device = 0;
  std::uint32_t channel = 0;
  if (LookupMotorName(device, channel, name, nullptr, -1) < 1) return failure;
  return body(device, channel);
}

}  // namespace mervane::api
