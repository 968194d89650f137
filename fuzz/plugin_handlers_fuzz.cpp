// Fuzz target: the eleven functions the plug-in registers with its host, called as a host would
// with input blocks of any contents (inline names without a terminator, any doubles and flags),
// "string" names of any bytes but NUL, null name pointers and null input or output blocks. Each
// block is allocated at exactly its size, so a handler that reads or writes past it is caught.
// Three motors on an emulated box; after the calls every motor must be where the emulator says.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "harness.h"
#include "mervane_plugin.h"

namespace mervane::fuzz {
namespace {

constexpr const char* kSerial = "FZP00001";
constexpr int kFunctions = 11;

std::vector<const ZelFunctionDescriptor*>& Functions() {
  static std::vector<const ZelFunctionDescriptor*> functions;
  return functions;
}

// The host's side: the folder, a log that formats its line as a host would, and the event.
void MERVANE_CALL HostConfigDir(char* buffer) {
  const std::string folder = FolderWithSlash();
  std::memcpy(buffer, folder.c_str(), folder.size() + 1);
}
void MERVANE_CALL HostLog(const char*, const char* format, int32_t zero, ...) {
  char line[512];
  std::va_list args;
  va_start(args, zero);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
}
void MERVANE_CALL HostRegisterFunction(const ZelFunctionDescriptor* descriptor) { Functions().push_back(descriptor); }
void MERVANE_CALL HostRegisterEvent(const ZelEventDescriptor*, int32_t* handle) { *handle = 7; }
void MERVANE_CALL HostRaiseEvent(int32_t handle, int32_t value) {
  if (handle != 7 || value < 0 || value > 6) Fail("event raised with handle %d, value %d", handle, value);
}

ZelHostInterface& Host() {
  static ZelHostInterface host = [] {
    ZelHostInterface h{};
    h.version = ZEL_INTERFACE_VERSION;
    h.getConfigDir = HostConfigDir;
    h.log = HostLog;
    h.registerFunction = HostRegisterFunction;
    h.registerEvent = HostRegisterEvent;
    h.raiseEvent = HostRaiseEvent;
    return h;
  }();
  return host;
}

// Bytes of exactly `size`, heap-allocated so that the address sanitizer guards both ends.
struct ExactBlock {
  explicit ExactBlock(std::size_t n) : size(n), bytes(std::make_unique<std::uint8_t[]>(n == 0 ? 1 : n)) {}
  std::size_t size;
  std::unique_ptr<std::uint8_t[]> bytes;
};

// What each function's blocks hold, in registration order: input block size, where its "string"
// name pointer lies (-1: none, the name is inline or absent), and the output block size (the
// functions declaring no outputs still have a first slot).
struct Shape {
  std::size_t input;
  int namePointerAt;
  std::size_t output;
};
constexpr Shape kShapes[kFunctions] = {
    {sizeof(MervaneMotorInfoInput), -1, sizeof(MervaneMotorInfoOutput)},                        // Motor Info
    {sizeof(MervaneNameInput), 0, sizeof(MervaneInt32Output)},                                  // Setup Motor
    {sizeof(MervaneNameInput), 0, sizeof(MervaneInt32Output)},                                  // Motor Is Running
    {sizeof(MervaneNameInput), 0, sizeof(MervanePositionOutput)},                               // Motor Position
    {sizeof(MervaneMoveInput), offsetof(MervaneMoveInput, motorName), sizeof(double)},          // Move Motor
    {sizeof(MervaneMove2Input), -1, sizeof(double)},                                            // Move2Motor
    {sizeof(MervaneQuickMoveInput), -1, sizeof(double)},                                        // QuickMoveMotor
    {sizeof(MervaneNameInput), 0, sizeof(double)},                                              // Stop Motor
    {sizeof(MervaneNameInput), 0, sizeof(MervaneInt32Output)},                                  // Set Zero
    {sizeof(MervaneNameInput), 0, sizeof(MervaneInt32Output)},                                  // Release Motor
    {sizeof(MervaneNameInput), 0, sizeof(MervaneInt32Output)},                                  // ResetMotor
};

MotorInfo Motor(std::uint8_t address, std::uint8_t type, const char* name) {
  MotorInfo info{};
  info.address = address;
  info.type = type;
  info.length = 200;
  info.coefficient = 10.0f;
  info.acceleration = 5;
  info.minStepTime = 1;
  info.maxStepTime = 5;
  std::strncpy(info.name, name, sizeof info.name - 1);
  return info;
}

void CallOne(ByteReader& in, Wiring& wiring) {
  const int function = in.ConsumeIntegralInRange<int>(0, kFunctions - 1);
  const std::uint8_t flags = in.ConsumeIntegral<std::uint8_t>();
  const Shape& shape = kShapes[function];
  // A name as a host passes a "string": any bytes but NUL, terminated right after them.
  std::string text = in.ConsumeRandomLengthString(40);
  text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
  if (flags & 8) text = "M" + std::to_string(text.size() % 4);  // often a motor that exists
  ExactBlock name(text.size() + 1);
  std::memcpy(name.bytes.get(), text.c_str(), text.size() + 1);

  ExactBlock input(shape.input);
  auto contents = in.ConsumeBytes<std::uint8_t>(shape.input);
  std::memset(input.bytes.get(), 0, shape.input);
  if (!contents.empty()) std::memcpy(input.bytes.get(), contents.data(), contents.size());
  if (shape.namePointerAt >= 0) {
    const char* pointer = flags & 4 ? nullptr : reinterpret_cast<const char*>(name.bytes.get());
    std::memcpy(input.bytes.get() + shape.namePointerAt, &pointer, sizeof pointer);
  } else if (flags & 8 && function >= 5) {
    // An inline name of an existing motor, terminated, instead of the raw bytes.
    const std::size_t at = function == 5 ? offsetof(MervaneMove2Input, motorName) : offsetof(MervaneQuickMoveInput, motorName);
    std::memset(input.bytes.get() + at, 0, 64);
    std::memcpy(input.bytes.get() + at, text.c_str(), text.size());
  }
  // Set Zero, Release Motor and ResetMotor wait for the motor to rest, up to 10 s: they find it
  // resting (the wait itself is the soak test's business).
  if (function >= 8) Settle();
  ExactBlock output(shape.output);
  const void* inputs = flags & 1 ? nullptr : input.bytes.get();
  void* outputs = flags & 2 ? nullptr : output.bytes.get();
  const std::int32_t result = Functions()[static_cast<std::size_t>(function)]->handler(0, inputs, outputs);
  if (result != 0 && result != 1) Fail("function %d returned %d", function, result);
  // "ResetMotor" makes the library forget where the motor is: its connector starts afresh too.
  std::uint32_t d = 0, c = 0;
  if (function == 10 && result == 0 && inputs != nullptr && !(flags & 4) &&
      SM_GetIndex(&d, &c, text.c_str(), nullptr, -1) >= 1)
    wiring.Reset(d, c);
}

}  // namespace
}  // namespace mervane::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  using namespace mervane::fuzz;
  InitialiseProcess();
  boxsim_reset();
  if (InitZelPlugin(&Host()) != 0 || Functions().size() != kFunctions) Fail("the plug-in did not register");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace mervane::fuzz;
  ByteReader in(data, size);
  Wiring wiring;
  boxsim_plug("VORK-KADO", kSerial);
  if (RefreshDevices() != 1) Fail("the emulated box was not found");
  MotorInfo motors[] = {Motor(1, 0x85, "M0"), Motor(2, 0x01, "M1"), Motor(3, 0x2B, "M2")};
  for (MotorInfo& motor : motors)
    if (SM_Setup(0, -1, &motor) < 0) Fail("set-up of %s failed", motor.name);
  wiring.Sync();
  for (int n = 0; n < 16 && in.remaining_bytes() > 0; ++n) {
    CallOne(in, wiring);
    if (in.ConsumeBool()) TickFor(in.ConsumeIntegralInRange<unsigned>(1, 30));
    else Settle();
    wiring.Sync();
  }
  Settle();
  wiring.Sync();
  CheckFiles();
  wiring.CheckPositions();
  ResetWorld(wiring);
  return 0;
}
