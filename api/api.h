// The C API's internal entry points for the plug-in and the windows: the hooks through which the
// motor setup dialog and the control window join the exports, and a move by name with a speed.
#pragma once

#include <cstdint>

#include "hardware/settings.h"

namespace mervane::ui {
struct WindowApi;
}

namespace mervane::api {

// Shows the modal motor setup dialog for (device, channel) with `record` as its starting values
// (channel < 0: a new slot, starting from a fresh record) and leaves the edited record in
// `record`. True only when the user closed it with OK. Called on the exporting thread with the
// library-wide lock held; it may release the lock while the dialog is open, so the caller looks
// its device up again afterwards. Without a dialog (no display), SM_Setup without a record and
// SMN_Setup fail.
using SetupDialog = bool (*)(std::uint32_t device, int channel, MotorRecord& record);
void SetSetupDialog(SetupDialog dialog);

// Destroys the control window if one exists; Exit calls it before closing the devices.
using CloseWindow = void (*)();
void SetCloseWindow(CloseWindow close);

// Puts back the library's own setup dialog and window close (the control window's), which are in
// place from load on; for tests that replaced them.
void InstallWindowHooks();

// SMN_Move as the plug-in's move functions call it. `speed` is accepted for their parameter
// blocks and not used: a move's speeds come from the motor's record (minimum and maximum step
// time, acceleration).
bool MoveByName(const char* name, double units, bool relative, std::uint32_t speed);
// The same move for the motor on (device, channel): its destination in units is set, or moved on
// by `units` when relative, and the motor started towards it. False for an invalid index or a
// refused start (which changes nothing).
bool MoveMotor(std::uint32_t device, std::uint32_t channel, double units, bool relative);
// Switches off all seven connectors of one box (after every motor on it has come to rest), as the
// box's open does; false for an invalid index, a motor that does not stop or a failed write.
bool ReleaseDevice(std::uint32_t device);

// The library's exports as the control window calls them (for tests that drive the window's
// logic with the library linked in).
const ui::WindowApi& WindowApiTable();

}  // namespace mervane::api
