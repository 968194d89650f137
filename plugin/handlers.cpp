// The eleven functions registered with the host: each unpacks its input block, calls the motor
// API by motor name and packs the outcome into its output block.
#include <cstddef>
#include <cstring>

#include "api/api.h"
#include "mervane.h"
#include "plugin/plugin.h"

namespace mervane::plugin {

namespace {

constexpr std::int32_t kSuccess = 0;
constexpr std::int32_t kFailure = 1;
constexpr const char* kUnknownText = "???";
// The widest name a block carries inline; a "string" name is read no further either, which is
// ample for motor names (at most 9 characters) and keeps an unterminated text from running on.
constexpr std::size_t kNameBound = sizeof(MervaneMove2Input::motorName);

// A motor name taken out of a block: at most kNameBound bytes, up to the first NUL.
struct BoundedName {
  char text[kNameBound + 1] = {};
  bool present = false;  // false for a null "string" pointer
  const char* Get() const { return present ? text : nullptr; }
};

BoundedName ReadName(const char* source) {
  BoundedName name;
  if (source == nullptr) return name;
  name.present = true;
  for (std::size_t i = 0; i < kNameBound && source[i] != '\0'; ++i) name.text[i] = source[i];
  return name;
}

// Bounded copy into a fixed text field: reads at most `sourceSize` bytes of `source`, zero-fills
// the rest of `dest` and always leaves its last byte 0.
void CopyText(char* dest, std::size_t destSize, const char* source, std::size_t sourceSize) {
  std::memset(dest, 0, destSize);
  for (std::size_t i = 0; i + 1 < destSize && i < sourceSize && source[i] != '\0'; ++i) dest[i] = source[i];
}

// Blocks come from the host unaligned and packed: they are copied, never dereferenced in place.
template <class Block>
bool ReadBlock(const void* inputs, Block& block) {
  if (inputs == nullptr) return false;
  std::memcpy(&block, inputs, sizeof block);
  return true;
}

template <class Block>
void WriteBlock(void* outputs, const Block& block) {
  if (outputs != nullptr) std::memcpy(outputs, &block, sizeof block);
}

// "Succes" of Set Zero, Release and Reset: written into the first output position when the host
// gave an output block at all.
std::int32_t Outcome(bool ok, void* outputs) {
  WriteBlock(outputs, MervaneInt32Output{ok ? 1 : 0});
  return ok ? kSuccess : kFailure;
}

// Steps per second at `stepTimeMs`, times the coefficient; a step time of 0 gives 0 rather than
// an infinity the host could not use.
double Speed(std::uint16_t stepTimeMs, float coefficient) {
  if (stepTimeMs == 0) return 0.0;
  return 1000.0 / stepTimeMs * static_cast<double>(coefficient);
}

const char* TrueFalse(bool value) { return value ? "true" : "false"; }

// The three move functions: one move by name, traced through the host's log.
std::int32_t Move(double destination, std::int32_t relative, std::uint32_t speed, const BoundedName& name) {
  const bool isRelative = relative != 0;
  const bool accepted = api::MoveByName(name.Get(), destination, isRelative, speed);
  if (const ZelHostInterface* host = Host())
    CallHost(host->log, kPluginName, "MoveMotor(%g, %s, %s)=%s", std::int32_t{0}, destination, TrueFalse(isRelative),
             static_cast<const char*>(name.text), TrueFalse(accepted));
  return accepted ? kSuccess : kFailure;
}

// The device and channel of the first motor of that name.
bool Resolve(const BoundedName& name, std::uint32_t& device, std::uint32_t& channel) {
  return SM_GetIndex(&device, &channel, name.Get(), nullptr, -1) >= 1;
}

// The handlers that take one "string" motor name: `body(name)` gives the result.
template <class Body>
std::int32_t ByName(const void* inputs, Body body) {
  MervaneNameInput in;
  if (!ReadBlock(inputs, in)) return kFailure;
  return body(ReadName(in.motorName));
}

// The move handlers: their blocks differ in the name's form and in "Speed" (0 where absent).
template <class Block>
std::int32_t MoveFrom(const void* inputs) {
  Block in;
  if (!ReadBlock(inputs, in)) return kFailure;
  std::uint32_t speed = 0;
  if constexpr (requires { in.speed; }) speed = in.speed;
  return Move(in.destination, in.relative, speed, ReadName(in.motorName));
}

}  // namespace

std::int32_t MERVANE_CALL HandleMotorInfo(std::int32_t, const void* inputs, void* outputs) noexcept {
  MervaneMotorInfoInput in;
  if (!ReadBlock(inputs, in)) return kFailure;
  MervaneMotorInfoOutput out{};
  out.count = SM_GetCountInAll();
  ::MotorInfo info{};
  if (in.motorIndex >= 0 && SM_GetInfoInAll(static_cast<std::uint32_t>(in.motorIndex), &info)) {
    CopyText(out.name, sizeof out.name, info.name, sizeof info.name);
    const char* typeName = nullptr;
    INF_GetMTypeName(info.type, &typeName);
    if (typeName == nullptr) typeName = kUnknownText;
    CopyText(out.type, sizeof out.type, typeName, sizeof out.type);
    out.positionZero[0] = static_cast<double>(info.position);
    out.positionZero[1] = static_cast<double>(info.zeroPoint);
    out.speedMinMax[0] = Speed(info.minStepTime, info.coefficient);
    out.speedMinMax[1] = Speed(info.maxStepTime, info.coefficient);
  } else {
    CopyText(out.name, sizeof out.name, kUnknownText, sizeof out.name);
    CopyText(out.type, sizeof out.type, kUnknownText, sizeof out.type);
  }
  WriteBlock(outputs, out);
  return kSuccess;
}

std::int32_t MERVANE_CALL HandleSetupMotor(std::int32_t, const void* inputs, void* outputs) noexcept {
  return ByName(inputs, [outputs](const BoundedName& name) {
    WriteBlock(outputs, MervaneInt32Output{SMN_Setup(name.Get()) ? 1 : 0});
    return kSuccess;
  });
}

std::int32_t MERVANE_CALL HandleMotorIsRunning(std::int32_t, const void* inputs, void* outputs) noexcept {
  return ByName(inputs, [outputs](const BoundedName& name) {
    WriteBlock(outputs, MervaneInt32Output{SMN_IsRunning(name.Get())});
    return kSuccess;
  });
}

std::int32_t MERVANE_CALL HandleMotorPosition(std::int32_t, const void* inputs, void* outputs) noexcept {
  return ByName(inputs, [outputs](const BoundedName& name) {
    std::uint32_t device = 0, channel = 0;
    if (!Resolve(name, device, channel)) return kFailure;
    WriteBlock(outputs, MervanePositionOutput{SM_GetPosition(device, channel)});
    return kSuccess;
  });
}

std::int32_t MERVANE_CALL HandleMoveMotor(std::int32_t, const void* inputs, void*) noexcept {
  return MoveFrom<MervaneMoveInput>(inputs);
}

std::int32_t MERVANE_CALL HandleMove2Motor(std::int32_t, const void* inputs, void*) noexcept {
  return MoveFrom<MervaneMove2Input>(inputs);
}

// "Speed" goes to the move with the rest; the motor API keeps the motor's own ramp.
std::int32_t MERVANE_CALL HandleQuickMoveMotor(std::int32_t, const void* inputs, void*) noexcept {
  return MoveFrom<MervaneQuickMoveInput>(inputs);
}

std::int32_t MERVANE_CALL HandleStopMotor(std::int32_t, const void* inputs, void*) noexcept {
  return ByName(inputs, [](const BoundedName& name) {
    std::uint32_t device = 0, channel = 0;
    return Resolve(name, device, channel) && SM_Stop(device, channel) ? kSuccess : kFailure;
  });
}

std::int32_t MERVANE_CALL HandleSetZero(std::int32_t, const void* inputs, void* outputs) noexcept {
  return ByName(inputs, [outputs](const BoundedName& name) { return Outcome(SMN_SetZero(name.Get()), outputs); });
}

std::int32_t MERVANE_CALL HandleReleaseMotor(std::int32_t, const void* inputs, void* outputs) noexcept {
  return ByName(inputs, [outputs](const BoundedName& name) { return Outcome(SMN_Release(name.Get()), outputs); });
}

std::int32_t MERVANE_CALL HandleResetMotor(std::int32_t, const void* inputs, void* outputs) noexcept {
  return ByName(inputs, [outputs](const BoundedName& name) { return Outcome(SMN_Reset(name.Get()), outputs); });
}

}  // namespace mervane::plugin
