// A scripted stand-in for the library functions the plug-in calls, so that its registration and
// handlers can be built and run alone (also as a 32-bit program): results come from the script,
// every call is noted as "Function(argument)".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mervane.h"
#include "motor/motor.h"

namespace fake {

struct Api {
  // The script.
  std::uint32_t countInAll = 0;
  MotorInfo info{};                  // SM_GetInfoInAll succeeds for indices below countInAll
  bool ok = true;                    // the bool result of every operation
  int isRunning = 0;                 // SMN_IsRunning
  int lookup = 1;                    // SM_GetIndex result
  std::uint32_t device = 0, channel = 0;  // SM_GetIndex outputs
  double position = 0;               // SM_GetPosition
  const char* typeName = "X (4wires)";    // INF_GetMTypeName; null stores nothing
  // What happened.
  std::vector<std::string> calls;
  double units = 0;
  bool relative = false;
  std::uint32_t speed = 0;
  mervane::MotorStoppedHook hook = nullptr;
  std::string caption, message;      // platform::ShowMessage
};

// The fake's state; Reset() gives a fresh script.
Api& State();
void Reset();

}  // namespace fake
