// The motor setup dialog's field checks and record filling, shared by the command-line tools.
#include "tools/setup_checks.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ui/motor_setup.h"
#include "ui/texts.h"

namespace mervane::setup {

namespace {
constexpr const char* kTypeError = "Type error";

Complaint TypeError(const char* text) { return Complaint{kTypeError, text}; }

// Lower case without blanks: "X (4wires)" and "x(4wires)" compare equal.
std::string Folded(const std::string& text) {
  std::string out;
  for (unsigned char c : text)
    if (!std::isspace(c)) out += static_cast<char>(std::tolower(c));
  return out;
}
}  // namespace

// The dialog's own readings (ui/texts.h), so that a field means the same in both.
std::optional<double> ReadNumber(const std::string& text) {
  double value = 0;
  if (ui::ScanDouble(text, value) != ui::Scan::Number) return std::nullopt;
  return value;
}

std::optional<long> ReadInteger(const std::string& text) {
  std::optional<int> value = ui::ToInteger(text);
  if (!value) return std::nullopt;
  return *value;
}

std::optional<Complaint> CheckNumber(const std::string& text) {
  // The dialog stays silent on blank text: the scan reports end of input there.
  double value = 0;
  if (ui::ScanDouble(text, value) != ui::Scan::NoNumber) return std::nullopt;
  return TypeError("Value must be number!");
}

std::optional<Complaint> CheckCoefficientExit(const std::string& text) {
  if (auto value = ReadNumber(text); value && *value == 0.0) return TypeError("Value must be different from zero!");
  return std::nullopt;
}

std::optional<Complaint> CheckPositiveInteger(const std::string& text, long limit) {
  auto value = ReadInteger(text);
  if (!value) return TypeError("Value must be integer!");
  if (*value < 1) return TypeError("Value must be higher then zero!");
  // The record cannot hold more: the dialog's spinners stop at the limit; a larger typed value
  // would be cut to its low bits (an acceleration of 200 turning into -56).
  if (*value > limit) return Complaint{kTypeError, "Value must not be higher then " + std::to_string(limit) + "!"};
  return std::nullopt;
}

std::optional<Complaint> CheckOnOk(const std::string& coefficient, long minStepTime, long maxStepTime) {
  if (ReadNumber(coefficient).value_or(0.0) == 0.0) return TypeError("Coefficient must be different from zero!");
  if (maxStepTime < minStepTime) return TypeError("Max step time must be higher then Min step time!");
  return std::nullopt;
}

std::optional<Complaint> CheckName(const std::string& name) {
  if (name.size() > kMaxNameLength) return TypeError("Name must be at most 9 characters!");
  return std::nullopt;
}

std::optional<Complaint> CheckAddress(long address) {
  if (address < 0 || address > kAddressCount) return TypeError("Address must be 1..7, or 0 for Unplugged!");
  return std::nullopt;
}

std::optional<std::uint8_t> ParseMotorType(const std::string& text,
                                           const std::function<std::string(int)>& nameOf) {
  const char* begin = text.c_str();
  char* end = nullptr;
  long code = std::strtol(begin, &end, 0);
  if (end != begin && *end == 0) {
    if (code < 0 || code > 0xFF || nameOf(static_cast<int>(code)) == "???") return std::nullopt;
    return static_cast<std::uint8_t>(code);
  }
  std::string wanted = Folded(text);
  for (int c = 0; c <= 0xFF; ++c) {
    std::string name = nameOf(c);
    if (name != "???" && Folded(name) == wanted) return static_cast<std::uint8_t>(c);
  }
  return std::nullopt;
}

std::optional<Complaint> Apply(const Fields& fields, bool newMotor, MotorInfo& record) {
  char buffer[32];
  auto shown = [&](double value) {  // how the dialog shows a stored number
    std::snprintf(buffer, sizeof buffer, "%.6lg", value);
    return std::string(buffer);
  };
  std::string coefficient = fields.coefficient.value_or(newMotor ? kDefaultCoefficient : shown(record.coefficient));
  std::string offset = fields.offset.value_or(newMotor ? kDefaultOffset : shown(record.offset));
  double oldCoefficient = record.coefficient != 0.0f ? record.coefficient : 1.0;
  std::string length = fields.length.value_or(newMotor ? kDefaultLength : shown(record.length / oldCoefficient));
  std::string acceleration =
      fields.acceleration.value_or(std::to_string(newMotor ? kDefaultAcceleration : record.acceleration));
  std::string minText = fields.minStepTime.value_or(std::to_string(newMotor ? kDefaultMinStepTime : record.minStepTime));
  std::string maxText = fields.maxStepTime.value_or(std::to_string(newMotor ? kDefaultMaxStepTime : record.maxStepTime));

  // Field checks in the dialog's tab order, then the checks at OK.
  if (fields.address)
    if (auto c = CheckAddress(*fields.address)) return c;
  if (fields.name)
    if (auto c = CheckName(*fields.name)) return c;
  for (const std::string* text : {&coefficient, &offset, &length})
    if (auto c = CheckNumber(*text)) return c;
  if (auto c = CheckCoefficientExit(coefficient)) return c;
  if (auto c = CheckPositiveInteger(acceleration, kMaxAcceleration)) return c;
  if (auto c = CheckPositiveInteger(minText, kMaxStepTimeMs)) return c;
  if (auto c = CheckPositiveInteger(maxText, kMaxStepTimeMs)) return c;
  long minStep = *ReadInteger(minText);
  long maxStep = *ReadInteger(maxText);
  if (auto c = CheckOnOk(coefficient, minStep, maxStep)) return c;

  // The record, in the order the dialog writes it.
  if (fields.name) {
    std::memset(record.name, 0, sizeof record.name);
    std::memcpy(record.name, fields.name->data(), fields.name->size());
  }
  if (fields.type) record.type = *fields.type;
  if (fields.address) record.address = static_cast<std::uint8_t>(*fields.address);
  double newCoefficient = *ReadNumber(coefficient);
  record.coefficient = static_cast<float>(newCoefficient);
  // A length typed in units becomes steps through the new coefficient; untouched, it stays.
  if (newMotor || fields.length || fields.coefficient)
    record.length = ui::LengthSteps(ReadNumber(length).value_or(0.0) * static_cast<double>(record.coefficient));
  record.offset = static_cast<float>(ReadNumber(offset).value_or(0.0));
  record.acceleration = static_cast<std::int8_t>(*ReadInteger(acceleration));
  record.minStepTime = static_cast<std::uint16_t>(minStep);
  record.maxStepTime = static_cast<std::uint16_t>(maxStep);
  if (fields.halfSteps) record.halfSteps = *fields.halfSteps ? 1 : 0;
  if (fields.autoRelease) record.autoRelease = *fields.autoRelease ? 1 : 0;
  return std::nullopt;
}

const char* UnitOf(const std::string& typeName) { return !typeName.empty() && typeName[0] == 'R' ? "deg" : "mm"; }

}  // namespace mervane::setup
