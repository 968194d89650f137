// Phase-table and step-pulse decoding of a box's connectors.
#include "boxsim/decoder.h"

#include <algorithm>
#include <sstream>

namespace mervane::boxsim {
namespace {

constexpr std::uint8_t kStepLine = 0x08;  // two-wire: one step per low pulse
constexpr std::uint8_t kDownLine = 0x04;  // two-wire: set while stepping down

constexpr std::array<std::uint8_t, 4> kFourWire = {0x08, 0x04, 0x02, 0x01};
constexpr std::array<std::uint8_t, 8> kFourWireHalf = {0x08, 0x0C, 0x04, 0x06,
                                                       0x02, 0x03, 0x01, 0x09};
constexpr std::array<std::uint8_t, 4> kSynchron = {0x08, 0x02, 0x04, 0x01};
constexpr std::array<std::uint8_t, 8> kSynchronHalf = {0x08, 0x0A, 0x02, 0x06,
                                                       0x04, 0x05, 0x01, 0x09};

std::span<const std::uint8_t> PhaseTable(MotorKind kind) {
  switch (kind) {
    case MotorKind::FourWire: return kFourWire;
    case MotorKind::FourWireHalf: return kFourWireHalf;
    case MotorKind::Synchron: return kSynchron;
    case MotorKind::SynchronHalf: return kSynchronHalf;
    case MotorKind::TwoWire: break;
  }
  return {};
}

// Index of `pattern` in `table`, or the table size when absent.
std::size_t PhaseIndex(std::span<const std::uint8_t> table, std::uint8_t pattern) {
  return static_cast<std::size_t>(std::find(table.begin(), table.end(), pattern) - table.begin());
}

}  // namespace

namespace {
struct KindName {
  std::string_view name;
  MotorKind kind;
};
constexpr KindName kKindNames[] = {
    {"two-wire", MotorKind::TwoWire},       {"four-wire", MotorKind::FourWire},
    {"four-wire-half", MotorKind::FourWireHalf}, {"synchron", MotorKind::Synchron},
    {"synchron-half", MotorKind::SynchronHalf},
};
}  // namespace

std::optional<MotorKind> ParseMotorKind(std::string_view name) {
  for (const KindName& e : kKindNames) {
    if (e.name == name) return e.kind;
  }
  return std::nullopt;
}

std::string_view MotorKindName(MotorKind kind) {
  for (const KindName& e : kKindNames) {
    if (e.kind == kind) return e.name;
  }
  return "two-wire";
}

void Connector::Drive(std::uint8_t lines) {
  lines &= 0x0F;
  if (lines == lines_) return;
  if (kind_ == MotorKind::TwoWire) {
    DriveTwoWire(lines);
  } else {
    DriveCoils(lines);
  }
  lines_ = lines;
}

// A release leaves the rotor where it is, so a coil motor compares its next pattern with the
// last non-zero one: only a move to a neighbouring phase is a step.
void Connector::DriveCoils(std::uint8_t lines) {
  if (lines == 0 || lines == lastDrive_) return;
  const auto table = PhaseTable(kind_);
  const std::size_t n = table.size();
  const std::size_t from = PhaseIndex(table, lastDrive_);
  const std::size_t to = PhaseIndex(table, lines);
  if (from < n && to < n && to == (from + 1) % n) {
    ++position_;
  } else if (from < n && to < n && from == (to + 1) % n) {
    --position_;
  } else {
    ++errors_;
  }
  lastDrive_ = lines;
}

// The step counts on the rise that ends a low pulse, in the direction the down line gives then;
// a rise after a release (or power-up) completes no pulse.
void Connector::DriveTwoWire(std::uint8_t lines) {
  const bool wasHigh = (lines_ & kStepLine) != 0;
  const bool isHigh = (lines & kStepLine) != 0;
  if (wasHigh && !isHigh) {
    armed_ = true;
  } else if (!wasHigh && isHigh && armed_) {
    position_ += (lines & kDownLine) != 0 ? -1 : 1;
    armed_ = false;
  }
}

void Connector::Deselect() {
  if (lines_ == 0) armed_ = false;
}

void Connector::PowerOff() {
  lines_ = 0;
  armed_ = false;
}

bool BusDecoder::Wire(int address, MotorKind kind) {
  if (address < 1 || address > kConnectors) return false;
  connectors_[static_cast<std::size_t>(address - 1)] = Connector(kind);
  return true;
}

void BusDecoder::Feed(std::span<const std::uint8_t> bytes) {
  for (std::uint8_t b : bytes) Feed(b);
}

// Bit 7 strobes the address in bits 4..6: codes 0..6 select connectors 1..7, code 7 (0xF_)
// selects none. The low nibble drives the selected connector's four lines.
void BusDecoder::Feed(std::uint8_t byte) {
  if ((byte & 0x80) == 0) return;
  const int code = (byte >> 4) & 0x07;
  const int address = code == 7 ? 0 : code + 1;
  if (address != selected_ && selected_ != 0) {
    connectors_[static_cast<std::size_t>(selected_ - 1)].Deselect();
  }
  selected_ = address;
  if (address != 0) {
    connectors_[static_cast<std::size_t>(address - 1)].Drive(byte & 0x0F);
  }
}

void BusDecoder::PowerOff() {
  selected_ = 0;
  for (Connector& c : connectors_) c.PowerOff();
}

std::string BusDecoder::Save() const {
  std::ostringstream out;
  out << "selected " << selected_ << '\n';
  for (const Connector& c : connectors_) {
    out << MotorKindName(c.kind_) << ' ' << c.position_ << ' ' << c.errors_ << ' ' << int{c.lines_} << ' '
        << int{c.lastDrive_} << ' ' << (c.armed_ ? 1 : 0) << '\n';
  }
  return out.str();
}

bool BusDecoder::Restore(std::string_view text) {
  std::istringstream in{std::string(text)};
  std::string word;
  int selected = -1;
  if (!(in >> word >> selected) || word != "selected" || selected < 0 || selected > kConnectors) return false;
  std::array<Connector, kConnectors> restored{};
  for (Connector& c : restored) {
    std::string kind;
    int lines = 0, lastDrive = 0, armed = 0;
    if (!(in >> kind >> c.position_ >> c.errors_ >> lines >> lastDrive >> armed)) return false;
    const std::optional<MotorKind> parsed = ParseMotorKind(kind);
    if (!parsed || lines < 0 || lines > 0x0F || lastDrive < 0 || lastDrive > 0x0F) return false;
    c.kind_ = *parsed;
    c.lines_ = static_cast<std::uint8_t>(lines);
    c.lastDrive_ = static_cast<std::uint8_t>(lastDrive);
    c.armed_ = armed != 0;
  }
  connectors_ = restored;
  selected_ = selected;
  return true;
}

const Connector* BusDecoder::At(int address) const {
  if (address < 1 || address > kConnectors) return nullptr;
  return &connectors_[static_cast<std::size_t>(address - 1)];
}

}  // namespace mervane::boxsim
