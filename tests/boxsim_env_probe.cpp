// Checks the boxes the emulator plugged at load from BOXSIM_BOXES against the arguments
// (DESCRIPTION:SERIAL each, in listing order); exits 0 when they match.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "boxsim/boxsim.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  // Boxes are read when the library loads: a later change of the variable must not matter.
  mervane::platform::SetEnv("BOXSIM_BOXES", "LATE:LATE0001");
  std::vector<std::string> listed;
  FT_DWORD count = 0;
  if (FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY) != FT_OK) return 2;
  for (std::uintptr_t i = 0; i < count; ++i) {
    char description[64] = {}, serial[64] = {};
    if (FT_ListDevices(reinterpret_cast<void*>(i), description,
                       FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION) != FT_OK ||
        FT_ListDevices(reinterpret_cast<void*>(i), serial,
                       FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER) != FT_OK) {
      return 2;
    }
    listed.push_back(std::string(description) + ":" + serial);
  }
  const std::vector<std::string> expected(argv + 1, argv + argc);
  for (const std::string& box : listed) std::printf("listed %s\n", box.c_str());
  return listed == expected ? 0 : 1;
}
