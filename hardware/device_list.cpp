// Discovery of attached boxes and the process-wide device list.
#include "hardware/device_list.h"

#include <cstring>
#include <memory>

#include "hardware/device.h"
#include "hardware/runtime.h"
#include "hardware/tick.h"

namespace mervane {

bool IsAcceptedModel(const char* description) {
  return std::strcmp(description, kModelOld) == 0 || std::strcmp(description, kModelCurrent) == 0;
}

std::int32_t FindBySerial(const std::string& serial) {
  const DeviceList& list = GetRuntime().devices;
  std::uint32_t count = list.Count();
  for (std::uint32_t i = 0; i < count; ++i)
    if (list.At(i)->serial == serial) return static_cast<std::int32_t>(i);
  return -1;
}

std::int32_t RefreshDevices() {
  Runtime& runtime = GetRuntime();
  if (!runtime.driver.Load()) return -1;
  runtime.driver.AnnounceCustomUsbIds();
  std::uint32_t attached = 0;
  if (runtime.driver.CountDevices(attached) != FT_OK || attached == 0) return -1;
  for (std::uint32_t i = 0; i < attached; ++i) {
    char description[kDescriptionSize];
    char serial[kDescriptionSize];
    if (runtime.driver.Description(i, description) != FT_OK) continue;
    if (!IsAcceptedModel(description)) continue;
    if (runtime.driver.SerialNumber(i, serial) != FT_OK) continue;
    if (std::int32_t known = FindBySerial(serial); known >= 0) {
      USBDriver* device = runtime.devices.At(static_cast<std::uint32_t>(known));
      if (!device->connected) device->Open();
      continue;
    }
    auto device = std::make_unique<USBDriver>(static_cast<std::int32_t>(i), description, serial,
                                              runtime.devices.Count());
    if (device->Open() && runtime.devices.Append(device.get())) device.release();
  }
  return static_cast<std::int32_t>(runtime.devices.Count());
}

void CloseAllDevices() {
  StopTickTimer();
  GetRuntime().devices.Clear();
}

}  // namespace mervane
