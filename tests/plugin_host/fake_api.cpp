// The scripted library functions of fake_api.h, defined under the names the plug-in links to.
#include "tests/plugin_host/fake_api.h"

#include "api/api.h"
#include "hardware/settings.h"
#include "platform/platform.h"

namespace fake {

Api& State() {
  static Api api;
  return api;
}

void Reset() { State() = Api{}; }

namespace {
// Notes a call with its text argument ("(null)" for none).
void Note(const char* function, const char* argument) {
  State().calls.push_back(std::string(function) + "(" + (argument != nullptr ? argument : "(null)") + ")");
}
void Note(const char* function, std::uint32_t a, std::uint32_t b) {
  State().calls.push_back(std::string(function) + "(" + std::to_string(a) + "," + std::to_string(b) + ")");
}
}  // namespace

}  // namespace fake

using fake::Note;
using fake::State;

extern "C" {
std::int32_t InitPlugin(void) {
  Note("InitPlugin", "");
  return 1;
}
void Exit(void) { Note("Exit", ""); }
std::uint32_t SM_GetCountInAll(void) { return State().countInAll; }
bool SM_GetInfoInAll(std::uint32_t index, MotorInfo* info) {
  Note("SM_GetInfoInAll", index, 0);
  if (index >= State().countInAll) return false;
  *info = State().info;
  return true;
}
int INF_GetMTypeName(int code, const char** name) {
  Note("INF_GetMTypeName", static_cast<std::uint32_t>(code), 0);
  if (State().typeName == nullptr) return -1;
  *name = State().typeName;
  return static_cast<int>(std::string(State().typeName).size());
}
int SM_GetIndex(std::uint32_t* device, std::uint32_t* channel, const char* motorName, const char* serial, int n) {
  Note("SM_GetIndex", motorName);
  if (serial != nullptr || n != -1) return 0;
  *device = State().device;
  *channel = State().channel;
  return State().lookup;
}
double SM_GetPosition(std::uint32_t device, std::uint32_t channel) {
  Note("SM_GetPosition", device, channel);
  return State().position;
}
bool SM_Stop(std::uint32_t device, std::uint32_t channel) {
  Note("SM_Stop", device, channel);
  return State().ok;
}
bool SMN_Setup(const char* name) {
  Note("SMN_Setup", name);
  return State().ok;
}
int SMN_IsRunning(const char* name) {
  Note("SMN_IsRunning", name);
  return State().isRunning;
}
bool SMN_SetZero(const char* name) {
  Note("SMN_SetZero", name);
  return State().ok;
}
bool SMN_Release(const char* name) {
  Note("SMN_Release", name);
  return State().ok;
}
bool SMN_Reset(const char* name) {
  Note("SMN_Reset", name);
  return State().ok;
}
}

namespace mervane {

bool api::MoveByName(const char* name, double units, bool relative, std::uint32_t speed) {
  Note("MoveByName", name);
  State().units = units;
  State().relative = relative;
  State().speed = speed;
  return State().ok;
}

void SetMotorStoppedHook(MotorStoppedHook hook) { State().hook = hook; }

char* ConfigDirBuffer() {
  static char folder[kConfigDirSize];
  return folder;
}

void platform::ShowMessage(const std::string& caption, const std::string& text) {
  State().caption = caption;
  State().message = text;
}

}  // namespace mervane
