// InitZelPlugin: the version check, the registration of the menu entry, the eleven functions and
// the "Motor Stopped" event with the host, the host's "Exit" notice and the raise of the event.
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <exception>

#include "hardware/settings.h"
#include "motor/motor.h"
#include "platform/platform.h"
#include "plugin/plugin.h"

namespace mervane::plugin {

namespace {

static_assert(ZEL_CONFIG_DIR_SIZE == kConfigDirSize, "the host writes into the settings base folder buffer");

// --- Constant descriptors -------------------------------------------------------------------

constexpr void CopyInto(char* dest, std::size_t size, const char* text) {
  for (std::size_t i = 0; i + 1 < size && text[i] != '\0'; ++i) dest[i] = text[i];
}

constexpr ZelParameterSlot Slot(ZelTypeCode type, std::int32_t count, const char* name) {
  ZelParameterSlot slot{};
  slot.type = type;
  slot.count = count;
  CopyInto(slot.name, sizeof slot.name, name);
  return slot;
}

constexpr ZelParameterSlot Scalar(ZelTypeCode type, const char* name) { return Slot(type, 1, name); }

// `declaredOutputs` may be below the slots given: a function with no declared outputs still
// carries a placeholder in slot 0.
template <std::size_t Inputs, std::size_t Outputs>
constexpr ZelFunctionDescriptor Function(ZelHandler handler, const char* name, const char* description,
                                         const ZelParameterSlot (&inputs)[Inputs], std::int32_t declaredOutputs,
                                         const ZelParameterSlot (&outputs)[Outputs]) {
  static_assert(Inputs <= ZEL_MAX_PARAMETERS && Outputs <= ZEL_MAX_PARAMETERS);
  ZelFunctionDescriptor d{};
  d.handler = handler;
  d.inputCount = static_cast<std::int32_t>(Inputs);
  d.outputCount = declaredOutputs;
  for (std::size_t i = 0; i < Inputs; ++i) d.inputs[i] = inputs[i];
  for (std::size_t i = 0; i < Outputs; ++i) d.outputs[i] = outputs[i];
  CopyInto(d.plugin, sizeof d.plugin, kPluginName);
  CopyInto(d.name, sizeof d.name, name);
  CopyInto(d.description, sizeof d.description, description);
  return d;
}

constexpr ZelParameterSlot kNameString[] = {Scalar(ZEL_STRING, "MotorName")};
constexpr ZelParameterSlot kSucces[] = {Scalar(ZEL_BOOL, "Succes")};
constexpr ZelParameterSlot kDummy[] = {Scalar(ZEL_DOUBLE, "dummy")};

// In registration order.
constexpr ZelFunctionDescriptor kFunctions[] = {
    Function(HandleMotorInfo, "Motor Info", "Get motors count, or motor info", {Scalar(ZEL_I32, "MotorIndex")}, 5,
             {Scalar(ZEL_U32, "Count"), Slot(ZEL_CHAR, 10, "Name"), Slot(ZEL_CHAR, 64, "Type"),
              Slot(ZEL_DOUBLE, 2, "Position, Zero"), Slot(ZEL_DOUBLE, 2, "Speed Min/Max")}),
    Function(HandleSetupMotor, "Setup Motor", "Open window for setup motor", kNameString, 1, kSucces),
    Function(HandleMotorIsRunning, "Motor Is Running", "Motor is connected (Status=-1|0) or running (Status=1)",
             kNameString, 1, {Scalar(ZEL_I32, "Status")}),
    Function(HandleMotorPosition, "Motor Position", "Return position of selected motor.", kNameString, 1,
             {Scalar(ZEL_DOUBLE, "Position")}),
    Function(HandleMoveMotor, "Move Motor", "Moves selected motor",
             {Scalar(ZEL_DOUBLE, "Destination"), Scalar(ZEL_BOOL, "Relative"), Scalar(ZEL_STRING, "MotorName")}, 0,
             kDummy),
    Function(HandleMove2Motor, "Move2Motor", "Moves selected motor",
             {Scalar(ZEL_DOUBLE, "Destination"), Scalar(ZEL_BOOL, "Relative"), Slot(ZEL_CHAR, 64, "MotorName")}, 0,
             kDummy),
    Function(HandleQuickMoveMotor, "QuickMoveMotor", "Moves selected motor specified speed",
             {Scalar(ZEL_DOUBLE, "Destination"), Scalar(ZEL_BOOL, "Relative"), Scalar(ZEL_U32, "Speed"),
              Slot(ZEL_CHAR, 64, "MotorName")},
             0, kDummy),
    Function(HandleStopMotor, "Stop Motor", "Stops selected motor", kNameString, 0, kDummy),
    Function(HandleSetZero, "Set Zero", "Set actual position of motor as zero", kNameString, 1, kSucces),
    Function(HandleReleaseMotor, "Release Motor", "Unplug supply of motor", kNameString, 0, kSucces),
    Function(HandleResetMotor, "ResetMotor", "Reset motor position", kNameString, 0, kSucces),
};
static_assert(sizeof kFunctions / sizeof kFunctions[0] == 11);

constexpr ZelEventDescriptor Event(const char* name, const char* description) {
  ZelEventDescriptor e{};
  CopyInto(e.plugin, sizeof e.plugin, kPluginName);
  CopyInto(e.name, sizeof e.name, name);
  CopyInto(e.description, sizeof e.description, description);
  return e;
}

constexpr ZelEventDescriptor kMotorStopped = Event("Motor Stopped", "One of motors has been stopped");

// --- Process-wide state -----------------------------------------------------------------------

// Both are published before the stopped hook is installed, which the tick reads with acquire.
std::atomic<const ZelHostInterface*> g_host{nullptr};
std::atomic<std::int32_t> g_eventHandle{0};
std::atomic<ShowWindowHook> g_showWindow{nullptr};
std::atomic<WarningHook> g_warning{nullptr};

// Runs on the library's event thread (or a flush), never with a lock of the library held: a
// host's handler may call any export.
void RaiseStoppedEvent(std::uint32_t channel) {
  if (const ZelHostInterface* host = g_host.load(std::memory_order_acquire))
    CallHost(host->raiseEvent, g_eventHandle.load(std::memory_order_relaxed), static_cast<std::int32_t>(channel));
}

// The click shows the control window (ShowSetupWin, installed through SetShowWindowHook by the
// window's loader); with no hook a click does nothing.
void MERVANE_CALL MenuClick() noexcept { CallHost(g_showWindow.load(std::memory_order_acquire)); }

void MERVANE_CALL ExitNotice() noexcept { Exit(); }

void ReportVersionMismatch(std::int32_t hostVersion) {
  char text[256];
  std::snprintf(text, sizeof text,
                "Plugin \"%s\" was compiled with header files ver. %d, this version is %d, please recompile the plugin.",
                kPluginName, ZEL_INTERFACE_VERSION, static_cast<int>(hostVersion));
  try {
    WarningHook warning = g_warning.load(std::memory_order_acquire);
    if (warning == nullptr || !warning("Plugin version check failed", text))
      platform::ShowMessage("Plugin version check failed", text);
  } catch (const std::exception&) {
    // Out of memory for the message: the result -1 still tells the host.
  }
}

// Every host entry is optional: a null one is skipped.
void Register(const ZelHostInterface& host) {
  char* folder = ConfigDirBuffer();
  if (CallHost(host.getConfigDir, folder)) folder[kConfigDirSize - 1] = '\0';
  const void* none = nullptr;
  CallHost(host.addMenuEntry, kPluginName, "USB Stepper motors", "Devices", ZelCallback{MenuClick}, none, none, none);
  for (const ZelFunctionDescriptor& function : kFunctions) CallHost(host.registerFunction, &function);
  std::int32_t handle = 0;
  if (CallHost(host.registerEvent, &kMotorStopped, &handle)) g_eventHandle.store(handle, std::memory_order_relaxed);
  CallHost(host.subscribe, "zelmgr", "Exit", ZelCallback{ExitNotice});
}

}  // namespace

const ZelHostInterface* Host() { return g_host.load(std::memory_order_acquire); }

void SetShowWindowHook(ShowWindowHook hook) { g_showWindow.store(hook, std::memory_order_release); }

void SetWarningHook(WarningHook hook) { g_warning.store(hook, std::memory_order_release); }

}  // namespace mervane::plugin

extern "C" MERVANE_API std::int32_t MERVANE_CALL InitZelPlugin(ZelHostInterface* host) {
  using namespace mervane;
  if (host == nullptr) return -1;
  if (host->version != ZEL_INTERFACE_VERSION) {
    plugin::ReportVersionMismatch(host->version);
    return -1;
  }
  plugin::g_host.store(host, std::memory_order_release);
  plugin::Register(*host);
  SetMotorStoppedHook(plugin::RaiseStoppedEvent);
  InitPlugin();
  return 0;
}
