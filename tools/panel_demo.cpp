// The demo motors of mervane-panel and the environment it runs them in.
#include "tools/panel_demo.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "mervane.h"
#include "platform/platform.h"

namespace mervane::tools {

namespace {

struct DemoMotor {
  unsigned device;
  const char* name;
  std::uint8_t address;
  std::uint8_t type;
  float coefficient;  // steps per unit
  float length;       // units
  std::uint16_t minStepTime;
  double destination;  // units; moved to at once when `moving`, else only set
  bool moving;
};

// Two boxes: a bench with a four-wire X/Y pair, a synchronous Z, a rotary table and a clamp on a
// block; a feeder with a two-wire feed, a synchronous table and a lift that is not plugged in.
constexpr DemoMotor kDemo[] = {
    {0, "X", 1, 0x85, 200, 300, 2, 120, true},       {0, "Y", 2, 0x86, 200, 200, 2, 40, false},
    {0, "Z", 3, 0x2C, 400, 80, 3, -12.5, true},      {0, "Rot", 4, 0x88, 10, 360, 4, 90, false},
    {0, "Grip", 5, 0x41, 100, 20, 5, 0, false},      {1, "Feed", 1, 0x01, 50, 1000, 2, 250, true},
    {1, "Table", 2, 0x2D, 20, 360, 3, 45, false},    {1, "Lift", 0, 0x87, 800, 50, 5, 0, false},
};

}  // namespace

bool SetUpDemo() {
  const char* names[] = {"Bench", "Feeder"};
  for (unsigned d = 0; d < 2; ++d) {
    RenameDevice(d, names[d]);
    for (int c = SM_GetCount(d) - 1; c >= 0; --c) SM_Remove(d, static_cast<std::uint32_t>(c));
  }
  for (const DemoMotor& m : kDemo) {
    MotorInfo info{};
    info.address = m.address;
    info.type = m.type;
    info.coefficient = m.coefficient;
    info.length = static_cast<std::int32_t>(m.length * m.coefficient);
    info.acceleration = 40;
    info.minStepTime = m.minStepTime;
    info.maxStepTime = 20;
    info.halfSteps = (m.type & 0x80) != 0 ? 1 : 0;
    info.autoRelease = m.type == 0x41 ? 1 : 0;
    std::snprintf(info.name, sizeof info.name, "%s", m.name);
    int channel = SM_Setup(m.device, -1, &info);
    if (channel < 0) {
      std::fprintf(stderr, "mervane-panel: cannot set up motor %s\n", m.name);
      return false;
    }
    auto c = static_cast<std::uint32_t>(channel);
    if (m.moving)
      SM_Move(m.device, c, m.destination);
    else
      SM_SetDestination(m.device, c, m.destination);
  }
  return true;
}

void PrepareDemo(const char* boxsim) {
  using platform::GetEnv;
  using platform::SetEnv;
  if (!GetEnv("MERVANE_D2XX_LIBRARY")) SetEnv("MERVANE_D2XX_LIBRARY", boxsim);
  if (!GetEnv("MERVANE_CONFIG_DIR")) {
    std::error_code error;
    std::string folder = (std::filesystem::temp_directory_path(error) / "mervane-panel-demo").string();
    platform::CreateDirectory(folder);
    SetEnv("MERVANE_CONFIG_DIR", (folder + platform::kPathSeparator).c_str());
  }
  SetEnv("MERVANE_COMPANION", "");
}

}  // namespace mervane::tools
