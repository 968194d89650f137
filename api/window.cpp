// The exported window functions (ShowSetupWin, IsSetupWinOpened, IsSetupWinVisible,
// CloseSetupWin), the exported form pointers, and the control window module on first need. On
// Linux the library never links the toolkit: the module libmervane-window.so is loaded from the
// library's own folder, and only when a display exists. On Windows the window is linked in.
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>

#include "api/api.h"
#include "api/export.h"
#include "hardware/runtime.h"
#include "mervane.h"
#include "motor/motor.h"
#include "platform/platform.h"
#include "plugin/plugin.h"
#include "ui/window_api.h"

// The form pointers, exported as data. The window sets the first three on its own thread while
// the forms exist; DlgTable and DlgName belong to forms that are never created and stay null.
extern "C" {
MERVANE_API void* DlgMotorSetup MERVANE_SYMBOL(DlgMotorSetup) = nullptr;
MERVANE_API void* DlgMervane MERVANE_SYMBOL(DlgMervane) = nullptr;
MERVANE_API void* DlgRename MERVANE_SYMBOL(DlgRename) = nullptr;
MERVANE_API void* DlgTable MERVANE_SYMBOL(DlgTable) = nullptr;
MERVANE_API void* DlgName MERVANE_SYMBOL(DlgName) = nullptr;
}

#ifdef MERVANE_WINDOW_LINKED
extern "C" const mervane::ui::WindowModule* mervane_window_module();
#endif

namespace mervane::api {

namespace {

constexpr const char* kModuleFile = "libmervane-window.so";

// Closes the window when the library is unloaded or the process ends without Exit. Constructed
// right after the module is attached, so it is destroyed before the library's runtime (the
// devices) and before the module's own teardown.
struct WindowCloser {
  WindowCloser() = default;
  WindowCloser(const WindowCloser&) = delete;
  WindowCloser& operator=(const WindowCloser&) = delete;
  ~WindowCloser();
};

// The loaded module. `g_moduleMutex` guards `g_library`, `g_tried` and the publication of
// `g_module`; taken by any thread that asks for the window, never while waiting on the window.
std::mutex g_moduleMutex;
platform::DynamicLibrary g_library;
bool g_tried = false;
std::atomic<const ui::WindowModule*> g_module{nullptr};
ui::WindowApi g_api{};

void FillApi(ui::WindowApi& api) {
  api.size = sizeof api;
  api.RefreshDevices = &::RefreshDevices;
  api.GetDevicesCount = &::GetDevicesCount;
  api.GetDeviceIndex = &::GetDeviceIndex;
  api.CheckDeviceConnection = &::CheckDeviceConnection;
  api.GetDeviceSernum = &::GetDeviceSernum;
  api.GetDeviceName = &::GetDeviceName;
  api.RenameDevice = &::RenameDevice;
  api.OpenDevice = &::OpenDevice;
  api.CloseDevice = &::CloseDevice;
  api.Run = &::Run;
  api.StopAll = &::StopAll;
  api.SM_GetIndex = &::SM_GetIndex;
  api.SM_GetCount = &::SM_GetCount;
  api.SM_GetType = &::SM_GetType;
  api.SM_GetPosition = &::SM_GetPosition;
  api.SM_GetRealPosition = &::SM_GetRealPosition;
  api.SM_GetTarget = &::SM_GetTarget;
  api.SM_GetInfo = &::SM_GetInfo;
  api.SM_Setup = &::SM_Setup;
  api.SM_SetDestination = &::SM_SetDestination;
  api.SM_IsRunning = &::SM_IsRunning;
  api.SM_Stop = &::SM_Stop;
  api.SM_Initialize = &::SM_Initialize;
  api.SM_SetZero = &::SM_SetZero;
  api.SM_Reset = &::SM_Reset;
  api.SM_Release = &::SM_Release;
  api.SM_ReleaseAll = &::SM_ReleaseAll;
  api.SM_Remove = &::SM_Remove;
  api.MoveMotor = &MoveMotor;
  api.ReleaseDevice = &ReleaseDevice;
  api.typeCount = std::min(MotorTypeCount(), ui::kMaxMotorTypes);
  for (int i = 0; i < api.typeCount; ++i) {
    api.typeCodes[i] = MotorTypeAt(i).code;
    api.typeNames[i] = MotorTypeAt(i).name;
  }
  api.dlgMervane = &DlgMervane;
  api.dlgMotorSetup = &DlgMotorSetup;
  api.dlgRename = &DlgRename;
}

// The module file: MERVANE_WINDOW_MODULE, else beside the file that holds this code (a build
// tree), else in its mervane/ subfolder (an installed library: the loader's own folders hold
// only libraries with a soname, and the module has none).
[[maybe_unused]] std::string ModulePath() {
  if (std::optional<std::string> chosen = platform::GetEnv("MERVANE_WINDOW_MODULE")) return *chosen;
  const std::string folder = platform::OwnFolder() + platform::kPathSeparator;
  const std::string beside = folder + kModuleFile;
  if (platform::FileExists(beside)) return beside;
  const std::string installed = folder + "mervane" + platform::kPathSeparator + kModuleFile;
  return platform::FileExists(installed) ? installed : beside;
}

// The module, loaded and attached on the first call that finds a display; null without one (then
// nothing of the toolkit is ever loaded). A failed attempt is not repeated.
const ui::WindowModule* Module() {
  if (const ui::WindowModule* module = g_module.load(std::memory_order_acquire)) return module;
  std::lock_guard guard(g_moduleMutex);
  if (g_tried) return g_module.load(std::memory_order_acquire);
  std::string displayPlatform = platform::DisplayPlatform();
  if (displayPlatform.empty()) return nullptr;  // asked again next time: a display may come
  g_tried = true;
#ifdef MERVANE_WINDOW_LINKED
  ui::WindowModuleEntry entry = &mervane_window_module;
#else
  // Kept loaded for the life of the process: its window thread may outlive this library.
  if (!g_library.Open(ModulePath(), true)) return nullptr;
  auto entry = reinterpret_cast<ui::WindowModuleEntry>(g_library.Symbol(ui::kWindowModuleEntry));
#endif
  const ui::WindowModule* module = entry != nullptr ? entry() : nullptr;
  if (module == nullptr || module->size != sizeof(ui::WindowModule) || module->apiSize != sizeof(ui::WindowApi))
    return nullptr;
  FillApi(g_api);
  if (!module->attach(&g_api, displayPlatform.c_str())) return nullptr;
  static WindowCloser closer;
  g_module.store(module, std::memory_order_release);
  return module;
}

// The module only when it is already loaded.
const ui::WindowModule* LoadedModule() { return g_module.load(std::memory_order_acquire); }

WindowCloser::~WindowCloser() {
  if (const ui::WindowModule* module = LoadedModule()) module->close();
}

// SM_Setup without a record. Runs with the library lock held by the export: every level is
// released while the dialog is open (the window keeps refreshing through the exports, and the
// control thread's watchdogs keep their period), then taken back. The device may have gone
// meanwhile: the dialog's OK counts only while the same box is still at `device` and the channel
// still exists; SM_Setup looks its device up again after this returns.
bool RunSetupDialog(std::uint32_t device, int channel, MotorRecord& record) {
  std::string serial;
  {
    USBDriver* owner = DeviceAt(device);
    if (owner == nullptr) return false;
    serial = owner->serial;
  }
  bool ok = false;
  {
    LibraryUnlocked unlocked;
    const ui::WindowModule* module = Module();
    if (module == nullptr) return false;
    MotorInfo info{};
    std::memcpy(&info, &record, sizeof info);
    ok = module->setupDialog(device, channel, &info);
    if (ok) std::memcpy(&record, &info, sizeof record);
  }
  USBDriver* owner = DeviceAt(device);
  return ok && owner != nullptr && owner->serial == serial &&
         (channel < 0 || static_cast<std::uint32_t>(channel) < owner->motorCount);
}

void CloseWindowForExit() {
  LibraryUnlocked unlocked;
  if (const ui::WindowModule* module = LoadedModule()) module->close();
}

// A warning for the user: a message box when a display exists, else standard error.
bool ShowWarning(const char* caption, const char* text) {
  LibraryUnlocked unlocked;
  const ui::WindowModule* module = Module();
  return module != nullptr && module->message(caption, text, ui::Icon::Warning);
}

// The hooks are set while the library loads (constant-initialised atomics, no order to fear).
[[maybe_unused]] const bool g_hooksInstalled = [] {
  InstallWindowHooks();
  plugin::SetShowWindowHook(&::ShowSetupWin);
  plugin::SetWarningHook(&ShowWarning);
  return true;
}();

}  // namespace

void InstallWindowHooks() {
  SetSetupDialog(&RunSetupDialog);
  SetCloseWindow(&CloseWindowForExit);
}

const ui::WindowApi& WindowApiTable() {
  static const ui::WindowApi table = [] {
    ui::WindowApi api{};
    FillApi(api);
    return api;
  }();
  return table;
}

}  // namespace mervane::api

void ShowSetupWin(void) {
  try {
    mervane::LibraryUnlocked unlocked;  // the window's thread calls exports while we wait
    if (const mervane::ui::WindowModule* module = mervane::api::Module()) module->show();
  } catch (...) {
  }
}

bool IsSetupWinOpened(void) {
  const mervane::ui::WindowModule* module = mervane::api::LoadedModule();
  return module != nullptr && module->isOpened();
}

bool IsSetupWinVisible(void) {
  const mervane::ui::WindowModule* module = mervane::api::LoadedModule();
  return module != nullptr && module->isVisible();
}

void CloseSetupWin(void) {
  try {
    mervane::LibraryUnlocked unlocked;
    if (const mervane::ui::WindowModule* module = mervane::api::LoadedModule()) module->close();
  } catch (...) {
  }
}
