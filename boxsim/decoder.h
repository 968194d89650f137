// Decodes the bit-bang byte stream a box receives into what its seven motor connectors do.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace mervane::boxsim {

// What can be wired to a connector. Coil kinds are driven through a phase table; a two-wire
// motor has a step line (0x08, one step per low pulse) and a direction line (0x04, set = down).
enum class MotorKind { TwoWire, FourWire, FourWireHalf, Synchron, SynchronHalf };

// "two-wire", "four-wire", "four-wire-half", "synchron", "synchron-half"; empty for anything else.
std::optional<MotorKind> ParseMotorKind(std::string_view name);
std::string_view MotorKindName(MotorKind kind);

// Connectors are numbered 1..kConnectors, as on the box and in the address nibble.
inline constexpr int kConnectors = 7;

// One connector and the motor wired to it. Lines latch: they change only while the connector's
// address is on the bus.
class Connector {
public:
  // A freshly wired connector: de-energised, position 0, a coil rotor resting on the first
  // entry of its phase table.
  Connector() = default;
  explicit Connector(MotorKind kind) : kind_(kind) {}

  // New lines (low nibble) while this connector is selected.
  void Drive(std::uint8_t lines);
  // The bus moves to another address; lines left at 0 release the connector.
  void Deselect();
  // The box loses power: everything de-energises, the rotor stays where it is.
  void PowerOff();

  MotorKind Kind() const { return kind_; }
  long long Position() const { return position_; }
  long long Errors() const { return errors_; }
  std::uint8_t Lines() const { return lines_; }
  bool Energised() const { return lines_ != 0; }

private:
  friend class BusDecoder;  // saves and restores the whole state
  void DriveCoils(std::uint8_t lines);
  void DriveTwoWire(std::uint8_t lines);

  MotorKind kind_ = MotorKind::TwoWire;
  long long position_ = 0;
  long long errors_ = 0;
  std::uint8_t lines_ = 0;
  // Coil kinds: the last non-zero pattern, i.e. where the rotor was last pulled to.
  std::uint8_t lastDrive_ = 0x08;
  // Two-wire: the step line fell while powered, so the next rise completes a step.
  bool armed_ = false;
};

// The whole bus of one box: which address is selected, and the seven connectors.
class BusDecoder {
public:
  // Replaces connector `address` (1..kConnectors) with a fresh one of `kind`; false when out of
  // range.
  bool Wire(int address, MotorKind kind);
  // Bytes without bit 7 carry no address strobe; the box ignores them and so do we.
  void Feed(std::span<const std::uint8_t> bytes);
  void Feed(std::uint8_t byte);
  // Unplugged: no address is selected and every connector is de-energised.
  void PowerOff();
  // Null for an address outside 1..kConnectors.
  const Connector* At(int address) const;

  // The whole state as text (the selected address, then each connector's wiring, position,
  // errors, lines, rotor phase and pulse state), so that another process driving the same box
  // goes on decoding from where this one left; Restore takes such a text back and is false
  // (nothing changed) for anything else.
  std::string Save() const;
  bool Restore(std::string_view text);

private:
  std::array<Connector, kConnectors> connectors_{};
  // 1..kConnectors, or 0 while no connector is selected (address code 8, or power-up).
  int selected_ = 0;
};

}  // namespace mervane::boxsim
