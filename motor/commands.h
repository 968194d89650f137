// The command bytes sent to a box, built in one place: phase tables, step and set-up commands of
// each drive, and the release command. Every command ends with 0xF0 | (low nibble of its first
// byte), which takes the address off the bus.
#pragma once

#include <array>
#include <cstdint>

namespace mervane::commands {

constexpr std::uint32_t kMaxCommand = 13;  // the two-wire step
using Buffer = std::array<std::uint8_t, kMaxCommand + 1>;

constexpr std::uint8_t kDeselect = 0xF0;
constexpr std::uint8_t kStepLine = 0x08;       // two-wire: step line
constexpr std::uint8_t kDirectionLine = 0x04;  // two-wire: direction line (set = downwards)

enum class Drive { TwoWire, FourWire, Synchron };

constexpr std::array<std::uint8_t, 4> kFourWireFull = {0x08, 0x04, 0x02, 0x01};
constexpr std::array<std::uint8_t, 8> kFourWireHalf = {0x08, 0x0C, 0x04, 0x06, 0x02, 0x03, 0x01, 0x09};
constexpr std::array<std::uint8_t, 4> kSynchronFull = {0x08, 0x02, 0x04, 0x01};
constexpr std::array<std::uint8_t, 8> kSynchronHalf = {0x08, 0x0A, 0x02, 0x06, 0x04, 0x05, 0x01, 0x09};

// The drive a motor type code selects: bit 0x80 four-wire, else bit 0x20 synchron, else two-wire.
constexpr Drive DriveOf(std::uint8_t typeCode) {
  if (typeCode & 0x80) return Drive::FourWire;
  if (typeCode & 0x20) return Drive::Synchron;
  return Drive::TwoWire;
}

// Coil pattern for an absolute position (the phase follows the position, not the move).
constexpr std::uint8_t PhasePattern(Drive drive, bool halfSteps, std::int32_t position) {
  auto p = static_cast<std::uint32_t>(position);
  if (drive == Drive::Synchron) return halfSteps ? kSynchronHalf[p & 7] : kSynchronFull[p & 3];
  return halfSteps ? kFourWireHalf[p & 7] : kFourWireFull[p & 3];
}

constexpr std::uint8_t Closing(std::uint8_t first) {
  return static_cast<std::uint8_t>(kDeselect | (first & 0x0F));
}

// Four-wire or synchron step: B+p, B+p, F0+p.
constexpr std::uint32_t PhaseStep(std::uint8_t base, std::uint8_t pattern, Buffer& out) {
  auto b = static_cast<std::uint8_t>(base + pattern);
  out[0] = b;
  out[1] = b;
  out[2] = Closing(b);
  return 3;
}

// Two-wire levels: upwards high 0x08 / low 0x00, downwards high 0x0C / low 0x04.
constexpr std::uint8_t HighLevel(std::int32_t direction) {
  return direction >= 0 ? kStepLine : static_cast<std::uint8_t>(kStepLine | kDirectionLine);
}
constexpr std::uint8_t LowLevel(std::int32_t direction) {
  return direction >= 0 ? std::uint8_t{0} : kDirectionLine;
}

// Two-wire set-up: B+high four times, F0|high.
constexpr std::uint32_t TwoWireSetup(std::uint8_t base, std::int32_t direction, Buffer& out) {
  auto high = static_cast<std::uint8_t>(base + HighLevel(direction));
  for (int i = 0; i < 4; ++i) out[i] = high;
  out[4] = Closing(high);
  return 5;
}

// Two-wire step: B+high three times, B+low six times, B+high three times, F0|high.
constexpr std::uint32_t TwoWireStep(std::uint8_t base, std::int32_t direction, Buffer& out) {
  auto high = static_cast<std::uint8_t>(base + HighLevel(direction));
  auto low = static_cast<std::uint8_t>(base + LowLevel(direction));
  for (int i = 0; i < 3; ++i) out[i] = high;
  for (int i = 3; i < 9; ++i) out[i] = low;
  for (int i = 9; i < 12; ++i) out[i] = high;
  out[12] = Closing(high);
  return 13;
}

// Bytes of a two-wire step up to the rise of the step line that makes the motor move.
constexpr std::uint32_t kTwoWireStepMoves = 10;

// Release: B, F0 (the connector is left at 0 and de-energised).
constexpr std::uint32_t ReleaseCommand(std::uint8_t base, std::uint8_t* out) {
  out[0] = base;
  out[1] = kDeselect;
  return 2;
}

}  // namespace mervane::commands
