// The two tables between libmervane.so and the control window module libmervane-window.so: the
// library's exported functions as the window calls them (WindowApi), and the module's operations
// as the library calls them (WindowModule). The window reaches the library only through the table,
// so the same window code runs inside the module, in tests linked with the library's objects, and
// headless against the real exports.
#pragma once

#include <cstdint>

#include "mervane.h"

namespace mervane::ui {

inline constexpr int kMaxMotorTypes = 32;

struct WindowApi {
  std::uint32_t size;  // sizeof(WindowApi): a module built from other sources is refused
  decltype(&::RefreshDevices) RefreshDevices;
  decltype(&::GetDevicesCount) GetDevicesCount;
  decltype(&::GetDeviceIndex) GetDeviceIndex;
  decltype(&::CheckDeviceConnection) CheckDeviceConnection;
  decltype(&::GetDeviceSernum) GetDeviceSernum;
  decltype(&::GetDeviceName) GetDeviceName;
  decltype(&::RenameDevice) RenameDevice;
  decltype(&::OpenDevice) OpenDevice;
  decltype(&::CloseDevice) CloseDevice;
  decltype(&::Run) Run;
  decltype(&::StopAll) StopAll;
  decltype(&::SM_GetIndex) SM_GetIndex;
  decltype(&::SM_GetCount) SM_GetCount;
  decltype(&::SM_GetType) SM_GetType;
  decltype(&::SM_GetPosition) SM_GetPosition;
  decltype(&::SM_GetRealPosition) SM_GetRealPosition;
  decltype(&::SM_GetTarget) SM_GetTarget;
  decltype(&::SM_GetInfo) SM_GetInfo;
  decltype(&::SM_Setup) SM_Setup;
  decltype(&::SM_SetDestination) SM_SetDestination;
  decltype(&::SM_IsRunning) SM_IsRunning;
  decltype(&::SM_Stop) SM_Stop;
  decltype(&::SM_Initialize) SM_Initialize;
  decltype(&::SM_SetZero) SM_SetZero;
  decltype(&::SM_Reset) SM_Reset;
  decltype(&::SM_Release) SM_Release;
  decltype(&::SM_ReleaseAll) SM_ReleaseAll;
  decltype(&::SM_Remove) SM_Remove;
  // Beyond the exports: the window acts on the motor of the row the user chose, by device and
  // channel, never on another motor of the same name.
  // A move by device and channel with the destination kept in units as SMN_Move keeps it.
  bool (*MoveMotor)(std::uint32_t device, std::uint32_t channel, double units, bool relative);
  // All seven connectors of one box switched off.
  bool (*ReleaseDevice)(std::uint32_t device);
  // The motor type table in table order (code and display name).
  int typeCount;
  std::uint8_t typeCodes[kMaxMotorTypes];
  const char* typeNames[kMaxMotorTypes];
  // The library's exported form pointers; the window sets them on its own thread while the forms
  // exist (read with atomic loads elsewhere).
  void** dlgMervane;
  void** dlgMotorSetup;
  void** dlgRename;
};

// Message box icons.
enum class Icon { None, Error, Warning };

struct WindowModule {
  std::uint32_t size;     // sizeof(WindowModule)
  std::uint32_t apiSize;  // sizeof(WindowApi) the module was built with
  // Starts (or joins) the window thread on `platform` ("offscreen", "xcb", ...). False when no
  // window can be made: the process has a non-widget application object, or Qt cannot start.
  bool (*attach)(const WindowApi* api, const char* platform);
  // The window exports behind these; each waits (bounded) for the window thread unless called on it.
  void (*show)();
  bool (*isOpened)();
  bool (*isVisible)();
  void (*close)();  // destroys the window and cancels an open setup dialog (its caller gets false)
  // The modal motor setup dialog for (device, channel); `record` in: starting values, out: the
  // edited record. True only on OK. Fails at once while another setup dialog is open.
  bool (*setupDialog)(std::uint32_t device, int channel, MotorInfo* record);
  // A modal message box; false when it could not be shown.
  bool (*message)(const char* caption, const char* text, Icon icon);
};

// The module's single entry point, looked up by name.
inline constexpr const char* kWindowModuleEntry = "mervane_window_module";
using WindowModuleEntry = const WindowModule* (*)();

}  // namespace mervane::ui
