// Fuzz target: any bytes, of any length, as the settings file of a box that then opens, answers
// every query, moves, stops and zeroes its motors a little, closes (saving), reopens and closes
// again. The box must open, count exactly its used records (packed at the front), and the block
// saved after the reopen must equal the one saved before it: a save and a load lose nothing
// (positions in steps agree wherever the file's float32 can hold them exactly).
#include <cmath>
#include <cstring>
#include <vector>

#include "harness.h"

namespace mervane::fuzz {
namespace {

constexpr const char* kSerial = "FZL00001";

std::vector<std::uint8_t> FileBytes() {
  std::vector<std::uint8_t> bytes;
  if (platform::ReadWholeFile(FolderWithSlash() + kSerial + ".hws", bytes) != platform::ReadStatus::Ok)
    Fail("the settings file cannot be read back");
  return bytes;
}

// The live step positions of the used channels.
std::vector<std::int32_t> Positions() {
  LibraryLock lock;
  USBDriver& device = *GetRuntime().devices.At(0);
  DeviceGuard guard(device);
  std::vector<std::int32_t> positions;
  for (std::uint32_t c = 0; c < device.motorCount && c < kChannelCount; ++c) positions.push_back(device.motors[c].position);
  return positions;
}

// Whether a position of `steps` survives float32 user units with `coefficient` exactly.
bool Representable(std::int32_t steps, float coefficient) {
  if (!std::isfinite(coefficient) || coefficient == 0.0f || std::abs(steps) >= (1 << 22)) return false;
  const double units = std::abs(steps / static_cast<double>(coefficient));
  return steps == 0 || (units > 1e-30 && units < 1e30);
}

void OpenedAsFileSays() {
  LibraryLock lock;
  USBDriver& device = *GetRuntime().devices.At(0);
  if (!device.connected) Fail("the box did not open with its settings file");
  std::uint32_t used = 0;
  for (const MotorRecord& record : device.settings.records) used += record.type != 0;
  if (device.motorCount != used) Fail("%u used records, %u motors", used, device.motorCount);
  for (std::uint32_t c = 0; c < used; ++c)
    if (device.settings.records[c].type == 0) Fail("record %u is free among the %u used ones", c, used);
}

// Every query, then a little motion of each motor ended by a stop and a zero toggle.
void Exercise() {
  char text[32];
  GetDeviceName(0, text, sizeof text);
  const int count = SM_GetCount(0);
  for (int c = 0; c < count; ++c) {
    const auto channel = static_cast<std::uint32_t>(c);
    MotorInfo info;
    SM_GetInfo(0, channel, &info);
    SM_GetType(0, channel, text, sizeof text);
    SM_GetPosition(0, channel);
    SM_GetRealPosition(0, channel);
    SM_GetTarget(0, channel);
    SM_GetZero(0, channel);
    std::uint32_t d = 0, m = 0;
    char name[sizeof info.name + 1] = {};
    std::memcpy(name, info.name, sizeof info.name);
    SM_GetIndex(&d, &m, name, nullptr, -1);
    SMN_GetTarget(name);
    SM_Move(0, channel, 0.5);
    SM_SetDestination(0, channel, -0.25);
  }
  ::Run(0);
  TickFor(20);
  StopAll(0);
  Settle();
  // Each zero waits for its motor to rest: nothing may run meanwhile (the tick is driven here).
  for (int c = 0; c < count; ++c) SM_SetZero(0, static_cast<std::uint32_t>(c));
  SMN_StepMove("", 3, true);
  Settle();
}

}  // namespace
}  // namespace mervane::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  mervane::fuzz::InitialiseProcess();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace mervane::fuzz;
  boxsim_reset();
  boxsim_plug("VORK-KADO", kSerial);
  if (!mervane::platform::WriteFileAtomic(FolderWithSlash() + kSerial + ".hws", data, size))
    Fail("cannot write the settings file");
  if (RefreshDevices() != 1) Fail("the box was not listed");
  OpenedAsFileSays();
  Exercise();

  std::vector<float> coefficients;
  for (int c = 0; c < SM_GetCount(0); ++c) {
    MotorInfo info;
    SM_GetInfo(0, static_cast<std::uint32_t>(c), &info);
    const float coefficient = info.coefficient;  // a packed field: no reference to it
    coefficients.push_back(coefficient);
  }
  const std::vector<std::int32_t> before = Positions();
  CloseDevice(0);
  CheckFiles();
  const std::vector<std::uint8_t> saved = FileBytes();
  if (!OpenDevice(0)) Fail("the box did not reopen with the file it saved");
  OpenedAsFileSays();
  const std::vector<std::int32_t> after = Positions();
  if (after.size() != before.size()) Fail("%zu motors before the reopen, %zu after", before.size(), after.size());
  for (std::size_t c = 0; c < before.size(); ++c)
    if (after[c] != before[c] && Representable(before[c], coefficients[c]))
      Fail("channel %zu: at %d before the reopen, at %d after", c, before[c], after[c]);
  CloseDevice(0);
  const std::vector<std::uint8_t> again = FileBytes();
  if (again.size() != saved.size()) Fail("the block grew from %zu to %zu bytes", saved.size(), again.size());
  for (std::size_t i = 0; i < saved.size(); ++i) {
    // A used record's position field may round where float32 cannot hold the steps exactly.
    const std::size_t record = (i - 15) / 39;
    const bool position = i >= 15 && record < before.size() && (i - 15) % 39 >= 27 && (i - 15) % 39 < 31;
    if (position && !Representable(before[record], coefficients[record])) continue;
    if (saved[i] != again[i]) Fail("byte %zu of the block changed from %u to %u by a reopen", i, saved[i], again[i]);
  }
  Wiring none;
  ResetWorld(none);
  return 0;
}
