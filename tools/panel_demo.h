// The demo of mervane-panel, on Linux and Windows alike: two emulated boxes with motors of
// several kinds, some of them moving.
#pragma once

namespace mervane::tools {

// Before InitPlugin: the emulator `boxsim` as the driver, settings in a folder of their own, no
// companion program (each only where the environment does not choose already).
void PrepareDemo(const char* boxsim);
// After InitPlugin: names the two boxes and sets up the demo motors; false when one failed.
bool SetUpDemo();

}  // namespace mervane::tools
