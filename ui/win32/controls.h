// The control window's Windows controls: their identifiers (also what test programs and screen
// readers find them by), and the helpers the window and its dialogs share.
#pragma once

#include <windows.h>

#include <commctrl.h>

#include <string>

#include "ui/motor_list.h"
#include "ui/window_api.h"

namespace mervane::ui::win32 {

// Window classes and captions.
inline constexpr const char* kWindowClass = "TDlgMervane";
inline constexpr const char* kWindowCaption = "VORK - KADO";
inline constexpr const char* kSetupCaption = "Motor Setup";

// Child control identifiers of the control window.
enum ControlId : int {
  kLvMotorList = 100,
  kBttnRun,
  kBttnStopAll,
  kBttnSet,
  kBttnMoveAbs,
  kBttnMoveRel,
  kBttnStop,
  kEbDestination,
  kChBZero,
  kGroupBox1,
  kDetailBase = 120,  // + Detail: the value labels LDev .. LFix
  kCaptionBase = 140, // caption labels, not addressed by anyone
};
inline constexpr int DetailId(Detail label) { return kDetailBase + static_cast<int>(label); }

// Menu command identifiers of PmMenu; the "Devices" entries are numbered from kDeviceCommandBase,
// five per entry in entry order (entry * 5 + tag).
enum MenuId : int {
  kPmRelAll = 200,
  kPmSetup,
  kPmInitialize,
  kPmZero,
  kPmReset,
  kPmRelease,
  kPmRemove,
  kDeviceCommandBase = 1000,
};
inline constexpr int DeviceCommandId(std::size_t entry, int tag) {
  return kDeviceCommandBase + static_cast<int>(entry) * 5 + tag;
}

// The refresh timer's identifier (WM_TIMER's wParam).
inline constexpr UINT_PTR kRefreshTimer = 1;
// Prepares the context menu as a right click at (x, y) in list coordinates would (LOWORD/HIWORD
// of lParam), without showing it; the menu is the window property kMenuProperty.
inline constexpr UINT kPreparePopupMessage = WM_APP + 1;
inline constexpr const char* kMenuProperty = "PmMenu";

// Motor setup dialog controls.
enum SetupId : int {
  kEBName = 300,
  kEBCoef,
  kEBOffset,
  kEBLen,
  kEBAccel,
  kEBMin,
  kEBMax,
  kCBTyp,
  kChSteps,
  kChFix,
  kUDMin,
  kUDMax,
  kLbCoeff,
  kLbStart,
  kLbLength,
  kPAddress,
  kAddressRadioBase = 320,   // + column 0..7 (7 is "U")
  kAddressNumberBase = 330,  // + column: the number labels
  kAddressPanelBase = 340,   // + column 0..6
  kSetupTooltip = 350,
};
// Rename dialog: Edit1 (OK and Cancel are IDOK and IDCANCEL, Button1 and Button2).
inline constexpr int kEdit1 = 400;

// Which key presses of the list are menu shortcuts: Ctrl+S, Ctrl+I, Ctrl+Z, Ctrl+R, Ctrl+Alt+R,
// Shift+Del. The menu item's id, 0 for none.
int ShortcutCommand(unsigned virtualKey, bool control, bool alt, bool shift);
// The caption with its shortcut as a menu shows it ("Setup\tCtrl+S").
std::string MenuCaption(int command);

// The window's font (8 pt sans serif at the screen's resolution); shared, never freed.
HFONT WindowFont();
HFONT BoldFont();
// A child control; its font is the window's.
HWND Child(HWND parent, const char* type, const char* text, DWORD style, int id, int x, int y, int width,
           int height, DWORD exStyle = 0);
std::string WindowText(HWND window);
// The text of a control as typed: sets it without the edit's change notification reaching us.
void SetTextQuietly(HWND window, const std::string& text, bool& quiet);
// A modal message box with an OK button over `owner` (none: no owner).
void ShowMessageBox(HWND owner, const std::string& text, const std::string& caption, Icon icon);
// The list's three 16 x 16 lamps (red, green, yellow); shared, never freed.
HIMAGELIST LampImages();
// A menu caption shown literally ('&' marks no accelerator key).
std::string Literal(const std::string& text);

// An empty dialog template: a modal "#32770" dialog whose controls are made at WM_INITDIALOG.
class DialogTemplate {
public:
  DialogTemplate();
  const DLGTEMPLATE* Get() const { return reinterpret_cast<const DLGTEMPLATE*>(words_); }

private:
  alignas(4) WORD words_[32]{};
};

// Sets the client size of a window and centres it over `over` (the desktop when null).
void PlaceCentred(HWND window, int clientWidth, int clientHeight, HWND over);

}  // namespace mervane::ui::win32
