// Shared set-up of the benchmarks: a driver table whose operations do nothing (the cost measured
// is the library's, not a driver's), and a device list of boxes with seven configured channels.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "hardware/device.h"
#include "hardware/device_list.h"
#include "hardware/driver.h"
#include "hardware/runtime.h"
#include "hardware/settings.h"
#include "motor/motor.h"
#include "platform/platform.h"

namespace mervane::bench {

inline FT_STATUS FTD2XX_CALL NoopList(void*, void*, FT_DWORD) { return FT_OK; }
inline FT_STATUS FTD2XX_CALL NoopOpen(void*, FT_DWORD, FT_HANDLE*) { return FT_DEVICE_NOT_FOUND; }
inline FT_STATUS FTD2XX_CALL NoopClose(FT_HANDLE) { return FT_OK; }
inline FT_STATUS FTD2XX_CALL NoopBitMode(FT_HANDLE, FT_UCHAR, FT_UCHAR) { return FT_OK; }
inline FT_STATUS FTD2XX_CALL NoopBaud(FT_HANDLE, FT_ULONG) { return FT_OK; }
inline FT_STATUS FTD2XX_CALL NoopUaRead(FT_HANDLE, FT_UCHAR*, FT_DWORD, FT_DWORD* read) {
  *read = 0;
  return FT_OK;
}
inline FT_STATUS FTD2XX_CALL NoopUaWrite(FT_HANDLE, FT_UCHAR*, FT_DWORD) { return FT_OK; }
inline FT_STATUS FTD2XX_CALL NoopStatus(FT_HANDLE, FT_DWORD*, FT_DWORD*, FT_DWORD*) { return FT_OK; }
inline FT_STATUS FTD2XX_CALL NoopWrite(FT_HANDLE, void*, FT_DWORD length, FT_DWORD* written) {
  *written = length;
  return FT_OK;
}

inline D2xxFunctions NoopDriver() {
  D2xxFunctions f;
  f.listDevices = &NoopList;
  f.openEx = &NoopOpen;
  f.close = &NoopClose;
  f.setBitMode = &NoopBitMode;
  f.setBaudRate = &NoopBaud;
  f.eeUaRead = &NoopUaRead;
  f.eeUaWrite = &NoopUaWrite;
  f.getStatus = &NoopStatus;
  f.write = &NoopWrite;
  return f;
}

// Time the hypervisor took the machine's processors away (Linux "steal"), in seconds summed over
// all processors; negative when unknown. Explains stalls that no thread of ours caused.
inline double StealSeconds() {
  std::ifstream stat("/proc/stat");
  std::string cpu;
  long long user, nice, system, idle, iowait, irq, softirq, steal;
  if (!(stat >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal) || cpu != "cpu") return -1;
  return static_cast<double>(steal) / 100.0;  // USER_HZ
}

// How the channels of every box are set up for a measurement.
struct ChannelSetup {
  std::uint8_t type = 0x85;         // four-wire; 0x01 for two-wire
  std::int8_t acceleration = 1;
  std::uint16_t minStepTime = 0;    // ms; 0: a running channel steps at every tick
  bool running = true;
};

// `boxes` connected boxes of seven channels each in the library's device list, driven by the no-op
// table, with manual timing (no watchdogs). The settings files of the final save go to a scratch
// folder that is removed again.
class BenchBoxes {
public:
  explicit BenchBoxes(int boxes) : folder_(std::filesystem::temp_directory_path() / ("mervane-bench-" + std::to_string(static_cast<long long>(platform::NowSeconds() * 1e6)))) {
    std::filesystem::create_directories(folder_);
    platform::SetEnv("MERVANE_CONFIG_DIR", folder_.string().c_str());
    Runtime& runtime = GetRuntime();
    runtime.manualTiming = true;
    runtime.driver.Install(NoopDriver());
    LibraryLock lock;
    for (int b = 0; b < boxes; ++b) {
      auto* device = new USBDriver(b, "VORK-KADO", "BENCH" + std::to_string(b), runtime.devices.Count());
      DeviceGuard guard(*device);
      for (int r = 0; r < kChannelCount; ++r) {
        MotorRecord& record = device->settings.records[r];
        record = FreshRecord();
        record.address = static_cast<std::uint8_t>(r + 1);
        record.maxStepTime = 1;
      }
      device->motorCount = kChannelCount;
      device->handle = reinterpret_cast<FT_HANDLE>(static_cast<std::uintptr_t>(b + 1));
      device->connected = true;
      if (!runtime.devices.Append(device)) delete device;
    }
  }
  ~BenchBoxes() {
    {
      LibraryLock lock;
      CloseAllDevices();
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  BenchBoxes(const BenchBoxes&) = delete;
  BenchBoxes& operator=(const BenchBoxes&) = delete;

  // Resets every channel to rest at 0 with `setup`, and starts it towards a far target if asked.
  static void Prepare(const ChannelSetup& setup) {
    LibraryLock lock;
    DeviceList& list = GetRuntime().devices;
    for (std::uint32_t d = 0; d < list.Count(); ++d) {
      USBDriver& device = *list.At(d);
      DeviceGuard guard(device);
      for (int r = 0; r < kChannelCount; ++r) {
        MotorRecord& record = device.settings.records[r];
        record.type = setup.type;
        record.acceleration = setup.acceleration;
        record.minStepTime = setup.minStepTime;
        SMotor& motor = device.motors[r];
        motor.position = motor.target = motor.direction = 0;
        motor.rampState = RampState::Idle;
        if (setup.running) StartMove(motor, 1 << 30, false);
      }
    }
  }

  static std::uint32_t Channels() { return GetRuntime().devices.Count() * static_cast<std::uint32_t>(kChannelCount); }

private:
  std::filesystem::path folder_;
};

}  // namespace mervane::bench
