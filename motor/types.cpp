// The motor type table, address codes and unit conversions.
#include <cmath>
#include <limits>

#include "hardware/settings.h"
#include "motor/motor.h"

namespace mervane {

namespace {
constexpr MotorType kTypes[] = {
    {0x00, "None"},
    {0x01, "X (2wires)"},         {0x02, "Y (2wires)"},         {0x03, "Z (2wires)"},
    {0x04, "R (2wires)"},         {0x85, "X (4wires)"},         {0x86, "Y (4wires)"},
    {0x87, "Z (4wires)"},         {0x88, "R (4wires)"},         {0x2A, "X (synchron)"},
    {0x2B, "Y (synchron)"},       {0x2C, "Z (synchron)"},       {0x2D, "R (synchron)"},
    {0x41, "X block (2wires)"},   {0x42, "Y block (2wires)"},   {0x43, "Z block (2wires)"},
    {0x44, "R block (2wires)"},   {0xC5, "X block (4wires)"},   {0xC6, "Y block (4wires)"},
    {0xC7, "Z block (4wires)"},   {0xC8, "R block (4wires)"},   {0x6A, "X block (synchron)"},
    {0x6B, "Y block (synchron)"}, {0x6C, "Z block (synchron)"}, {0x6D, "R block (synchron)"},
};
constexpr int kTypeCount = static_cast<int>(sizeof kTypes / sizeof kTypes[0]);
static_assert(kTypeCount == 25);
}  // namespace

int MotorTypeCount() { return kTypeCount; }

const MotorType& MotorTypeAt(int index) {
  if (index < 0) index = 0;
  if (index >= kTypeCount) index = kTypeCount - 1;
  return kTypes[index];
}

int MotorTypeIndex(std::uint8_t code) {
  for (int i = 0; i < kTypeCount; ++i)
    if (kTypes[i].code == code) return i;
  return 0;
}

const char* MotorTypeName(std::uint8_t code) {
  for (const auto& type : kTypes)
    if (type.code == code) return type.name;
  return "???";
}

std::uint8_t CommandBase(std::uint8_t addressCode) {
  if (addressCode == 0 || addressCode > 8) return 0;
  return static_cast<std::uint8_t>(0x80 + 0x10 * (addressCode - 1));
}

bool TryToSteps(const SMotor& motor, double units, std::int32_t& steps) {
  steps = 0;
  double coefficient = motor.record != nullptr ? static_cast<double>(motor.record->coefficient) : 0.0;
  double p = units * coefficient;
  p = p > 0 ? p + 0.5 : p - 0.5;
  p = std::trunc(p);
  if (!std::isfinite(p) || p > std::numeric_limits<std::int32_t>::max() ||
      p < std::numeric_limits<std::int32_t>::min())
    return false;
  steps = static_cast<std::int32_t>(p);
  return true;
}

std::int32_t ToSteps(const SMotor& motor, double units) {
  std::int32_t steps = 0;
  if (TryToSteps(motor, units, steps)) return steps;
  double p = units * (motor.record != nullptr ? static_cast<double>(motor.record->coefficient) : 0.0);
  if (std::isnan(p)) return 0;
  return p > 0 ? std::numeric_limits<std::int32_t>::max() : std::numeric_limits<std::int32_t>::min();
}

double ToUnits(const SMotor& motor, std::int64_t steps) {
  if (motor.record == nullptr || motor.record->coefficient == 0.0f) return 0.0;
  return static_cast<double>(steps) / static_cast<double>(motor.record->coefficient);
}

bool InStepRange(std::int64_t steps) {
  return steps >= std::numeric_limits<std::int32_t>::min() && steps <= std::numeric_limits<std::int32_t>::max();
}

}  // namespace mervane
