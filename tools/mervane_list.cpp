// mervane-list: finds the attached boxes through the driver library (the vendor's, or the box
// emulator named by MERVANE_D2XX_LIBRARY), opens them, and prints serial, model, name, motors
// and settings file of each.
#include <cstdio>

#include "hardware/device.h"
#include "hardware/device_list.h"
#include "hardware/runtime.h"

int main() {
  using namespace mervane;
  LibraryLock lock;
  Runtime& runtime = GetRuntime();
  std::int32_t count = RefreshDevices();
  if (count < 0) {
    std::printf("No boxes: the driver library%s could not list any device.\n",
                runtime.driver.Loaded() ? "" : " (not loaded)");
    return 1;
  }
  std::printf("Driver library: %s\n", runtime.driver.Source().c_str());
  std::printf("%-4s %-12s %-10s %-16s %-6s %s\n", "#", "Serial", "Model", "Name", "Motors", "Settings file");
  for (std::uint32_t i = 0; i < runtime.devices.Count(); ++i) {
    const USBDriver& d = *runtime.devices.At(i);
    std::printf("%-4u %-12s %-10s %-16s %-6u %s\n", i, d.serial.c_str(), d.type.c_str(), d.name.c_str(),
                d.motorCount, SettingsPath(d.serial, false).c_str());
    for (std::uint32_t m = 0; m < d.motorCount; ++m) {
      const MotorRecord& r = d.settings.records[m];
      std::printf("       motor %u: %-9s %-20s address %u, %g units\n", m, RecordName(r).c_str(),
                  MotorTypeName(r.type), r.address, ToUnits(d.motors[m], d.motors[m].position));
    }
  }
  CloseAllDevices();
  return 0;
}
