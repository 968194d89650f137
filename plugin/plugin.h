// The plug-in's internals shared by its registration and its handlers: the host interface kept
// by InitZelPlugin, the eleven handlers, and the hook through which a menu click opens the
// control window.
#pragma once

#include <cstdint>

#include "mervane_plugin.h"

namespace mervane::plugin {

inline constexpr const char* kPluginName = "mervane";

// The host interface given to InitZelPlugin; null before a successful version check.
const ZelHostInterface* Host();

// Calls a host entry when the host offers it (not null). Whatever the host's code throws stays
// here: nothing may unwind into the host's caller or into the tick. True when it was called.
template <class Entry, class... Args>
bool CallHost(Entry entry, Args... args) noexcept {
  if (entry == nullptr) return false;
  try {
    entry(args...);
  } catch (...) {
  }
  return true;
}

// The host's menu entry calls this hook. The control window sets it to its show function when it
// exists; until then (or with null) a click does nothing.
using ShowWindowHook = void (*)();
void SetShowWindowHook(ShowWindowHook hook);

// Shows the version warning in a message box; false when none could be shown (no display), and
// then it goes to standard error. Set by the control window's loader.
using WarningHook = bool (*)(const char* caption, const char* text);
void SetWarningHook(WarningHook hook);

// The registered functions, in registration order. Each reads its input block once, never writes
// through a null output block and never throws; see include/mervane_plugin.h for the blocks.
std::int32_t MERVANE_CALL HandleMotorInfo(std::int32_t, const void* inputs, void* outputs) noexcept;
std::int32_t MERVANE_CALL HandleSetupMotor(std::int32_t, const void* inputs, void* outputs) noexcept;
std::int32_t MERVANE_CALL HandleMotorIsRunning(std::int32_t, const void* inputs, void* outputs) noexcept;
std::int32_t MERVANE_CALL HandleMotorPosition(std::int32_t, const void* inputs, void* outputs) noexcept;
std::int32_t MERVANE_CALL HandleMoveMotor(std::int32_t, const void* inputs, void* outputs) noexcept;
std::int32_t MERVANE_CALL HandleMove2Motor(std::int32_t, const void* inputs, void* outputs) noexcept;
std::int32_t MERVANE_CALL HandleQuickMoveMotor(std::int32_t, const void* inputs, void* outputs) noexcept;
std::int32_t MERVANE_CALL HandleStopMotor(std::int32_t, const void* inputs, void* outputs) noexcept;
std::int32_t MERVANE_CALL HandleSetZero(std::int32_t, const void* inputs, void* outputs) noexcept;
std::int32_t MERVANE_CALL HandleReleaseMotor(std::int32_t, const void* inputs, void* outputs) noexcept;
std::int32_t MERVANE_CALL HandleResetMotor(std::int32_t, const void* inputs, void* outputs) noexcept;

}  // namespace mervane::plugin
