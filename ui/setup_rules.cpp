// The motor setup rules: field checks with the dialog's messages, and the record filling.
#include "ui/setup_rules.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <cstring>

#include "ui/motor_setup.h"
#include "ui/texts.h"

namespace mervane::ui {

std::int32_t LengthSteps(double steps) {
  if (std::isnan(steps)) return 0;
  if (steps >= static_cast<double>(INT32_MAX)) return INT32_MAX;
  if (steps <= static_cast<double>(INT32_MIN)) return INT32_MIN;
  return static_cast<std::int32_t>(std::trunc(steps));
}

}  // namespace mervane::ui

namespace mervane::setup {

namespace {
constexpr const char* kTypeError = "Type error";

Complaint TypeError(const std::string& text, const char* field = "") { return Complaint{kTypeError, text, field}; }

// Lower case without blanks: "X (4wires)" and "x(4wires)" compare equal.
std::string Folded(const std::string& text) {
  std::string out;
  for (unsigned char c : text)
    if (!std::isspace(c)) out += static_cast<char>(std::tolower(c));
  return out;
}

const char* NameOf(IntegerField field) {
  switch (field) {
    case IntegerField::Acceleration:
      return "acceleration";
    case IntegerField::MinStepTime:
      return "min step time";
    case IntegerField::MaxStepTime:
      break;
  }
  return "max step time";
}

// A complaint about a field, named for callers without the dialog.
std::optional<Complaint> Named(std::optional<Complaint> complaint, const char* field) {
  if (complaint) complaint->field = field;
  return complaint;
}
}  // namespace

// The dialog's own readings (ui/texts.h), so that a field means the same everywhere.
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
  if (auto value = ReadNumber(text); value && *value == 0.0)
    return TypeError("Value must be different from zero!", "coefficient");
  return std::nullopt;
}

int FallbackOf(IntegerField field) {
  switch (field) {
    case IntegerField::MinStepTime:
      return kDefaultMinStepTime;
    case IntegerField::MaxStepTime:
      return kDefaultMaxStepTime;
    case IntegerField::Acceleration:
      break;
  }
  return kDefaultAcceleration;
}

IntegerExit LeaveIntegerField(IntegerField field, const std::string& text) {
  const std::string fallback = std::to_string(FallbackOf(field));
  std::optional<long> value = ReadInteger(text);
  if (!value) return {TypeError("Value must be integer!", NameOf(field)), fallback};
  if (*value < 1) return {TypeError("Value must be higher then zero!", NameOf(field)), fallback};
  // A negative acceleration (a value above 127 in the signed byte) would stall the motor.
  if (field == IntegerField::Acceleration && *value > kMaxAcceleration)
    return {TypeError("Value must not be higher then " + std::to_string(kMaxAcceleration) + "!", NameOf(field)), fallback};
  // The step times' up-down buttons stop there; the record holds 16 bits.
  if (field != IntegerField::Acceleration && *value > kMaxStepTimeMs) return {std::nullopt, std::to_string(kMaxStepTimeMs)};
  return {std::nullopt, text};
}

std::optional<Complaint> CheckOnOk(const std::string& coefficient, long minStepTime, long maxStepTime) {
  const double value = ReadNumber(coefficient).value_or(0.0);
  if (value == 0.0) return TypeError("Coefficient must be different from zero!", "coefficient");
  // Not a number, infinite, or beyond what the record's float keeps: every conversion between
  // steps and units would be meaningless, and the library refuses the record.
  const double size = std::fabs(value);
  if (!(size >= kMinCoefficient && size <= kMaxCoefficient))
    return TypeError("Coefficient must be between 6.3e-30 and 3.4e+38 in size!", "coefficient");
  if (maxStepTime < minStepTime) return TypeError("Max step time must be higher then Min step time!", "max step time");
  return std::nullopt;
}

std::optional<Complaint> CheckName(const std::string& name) {
  if (name.empty()) return TypeError("Name must not be empty!", "name");
  if (name.size() > kMaxNameLength) return TypeError("Name must be at most 9 characters!", "name");
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7F) return TypeError("Name must not hold control characters!", "name");
  return std::nullopt;
}

std::optional<Complaint> CheckAddress(long address) {
  if (address < 0 || address > kAddressCount) return TypeError("Address must be 1..7, or 0 for Unplugged!", "address");
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
  auto shown = [](double value) { return ui::Format6(value); };  // how the dialog shows a stored number
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
  const std::pair<const std::string*, const char*> numbers[] = {
      {&coefficient, "coefficient"}, {&offset, "offset"}, {&length, "length"}};
  for (const auto& [text, field] : numbers)
    if (auto c = Named(CheckNumber(*text), field)) return c;
  // The coefficient's exit check only warns; a zero is refused by the check at OK below.
  const std::pair<const std::string*, IntegerField> integers[] = {{&acceleration, IntegerField::Acceleration},
                                                                  {&minText, IntegerField::MinStepTime},
                                                                  {&maxText, IntegerField::MaxStepTime}};
  for (const auto& [text, field] : integers) {
    IntegerExit left = LeaveIntegerField(field, *text);
    if (left.complaint) return left.complaint;
    if (left.text != *text)
      return TypeError("Value must not be higher then " + left.text + "!", NameOf(field));
  }
  long minStep = *ReadInteger(minText);
  long maxStep = *ReadInteger(maxText);
  if (auto c = CheckOnOk(coefficient, minStep, maxStep)) return c;
  // The start position and the length too must be numbers the record holds.
  if (double start = ReadNumber(offset).value_or(0.0); !(std::fabs(start) <= kMaxCoefficient))
    return TypeError("Value must be number!", "offset");
  const double steps = ReadNumber(length).value_or(0.0) * static_cast<double>(static_cast<float>(*ReadNumber(coefficient)));
  if (std::isnan(steps)) return TypeError("Value must be number!", "length");
  if (!(std::fabs(steps) <= static_cast<double>(INT32_MAX)))
    return TypeError("Length must be at most 2147483647 steps!", "length");

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
