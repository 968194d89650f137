// The motor setup dialog's logic: fill, field checks, validation and record writing.
#include "ui/motor_setup.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

#include "ui/motor_list.h"
#include "ui/texts.h"

namespace mervane::ui {

namespace {
constexpr std::uint8_t kFourWire = 0x80;
constexpr std::uint8_t kSynchron = 0x20;
constexpr int kStepTimeMax = 10000;  // the range of the up-down buttons UDMin and UDMax
constexpr int kAccelerationMax = 127;  // the record keeps it in a signed byte

// A number field's value at close: what "%lg" reads, 0 when it reads nothing.
double ReadOrZero(const std::string& text) {
  double value = 0;
  return ScanDouble(text, value) == Scan::Number ? value : 0.0;
}

// Whether "%lg" reads a number from the text's start.
bool Readable(const std::string& text) {
  double value = 0;
  return ScanDouble(text, value) == Scan::Number;
}

}  // namespace

std::int32_t LengthSteps(double steps) {
  if (std::isnan(steps)) return 0;
  if (steps >= static_cast<double>(std::numeric_limits<std::int32_t>::max()))
    return std::numeric_limits<std::int32_t>::max();
  if (steps <= static_cast<double>(std::numeric_limits<std::int32_t>::min()))
    return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(std::trunc(steps));
}

MotorSetupModel::MotorSetupModel(const WindowApi& api, MotorSetupView& view, std::uint32_t device, int motor)
    : api_(api), view_(view), device_(device), motor_(motor) {}

int MotorSetupModel::FallbackOf(SetupField field) {
  switch (field) {
    case SetupField::EBMin:
      return 5;
    case SetupField::EBMax:
      return 50;
    default:
      return 20;
  }
}

void MotorSetupModel::Error(const std::string& text, const char* caption) { view_.Message(text, caption, Icon::Error); }

void MotorSetupModel::FormShow() {
  std::vector<std::string> names;
  for (int i = 0; i < api_.typeCount && i < kMaxMotorTypes; ++i) names.emplace_back(api_.typeNames[i]);
  view_.SetTypeNames(names);
  view_.SetTypeIndex(0);
  // Addresses in use on the device carry their motor's name as hint and cannot be chosen.
  for (std::uint32_t k = 0; k < 7; ++k) {
    if (!api_.SM_GetInfo(device_, k, &record_)) continue;
    if (record_.address >= 1 && record_.address <= 7) {
      view_.SetAddressHint(record_.address - 1, InfoName(record_));
      view_.SetAddressEnabled(record_.address - 1, false);
    }
  }
  if (motor_ >= 0) {
    LoadMotor();
  } else {
    // A new motor starts unplugged unless the user picks an address.
    view_.CheckAddress(kUnpluggedColumn);
  }
  TypeChanged();
}

void MotorSetupModel::LoadMotor() {
  if (!api_.SM_GetInfo(device_, static_cast<std::uint32_t>(motor_), &record_)) {
    Error("Can't load motor info!", "Error");
    view_.CheckAddress(kUnpluggedColumn);
    return;
  }
  int column = record_.address == 0 ? kUnpluggedColumn : std::min(record_.address - 1, kUnpluggedColumn);
  view_.SetAddressEnabled(column, true);
  view_.CheckAddress(column);
  view_.SetText(SetupField::EBName, InfoName(record_));
  int typeIndex = 0;
  for (int i = 0; i < api_.typeCount && i < kMaxMotorTypes; ++i)
    if (api_.typeCodes[i] == record_.type) typeIndex = i;
  view_.SetTypeIndex(typeIndex);
  view_.SetText(SetupField::EBCoef, Format6(record_.coefficient));
  view_.SetText(SetupField::EBLen, Format6(static_cast<double>(record_.length) / static_cast<double>(record_.coefficient)));
  view_.SetText(SetupField::EBOffset, Format6(record_.offset));
  view_.SetText(SetupField::EBAccel, Decimal(record_.acceleration));
  view_.SetText(SetupField::EBMin, Decimal(record_.minStepTime));
  view_.SetText(SetupField::EBMax, Decimal(record_.maxStepTime));
  view_.SetFlagChecked(SetupFlag::ChSteps, record_.halfSteps != 0);
  view_.SetFlagChecked(SetupFlag::ChFix, record_.autoRelease != 0);
}

void MotorSetupModel::TypeChanged() {
  int index = view_.TypeIndex();
  bool known = index >= 0 && index < api_.typeCount && index < kMaxMotorTypes;
  std::uint8_t code = known ? api_.typeCodes[index] : 0;
  bool flags = (code & (kFourWire | kSynchron)) != 0;
  view_.SetFlagEnabled(SetupFlag::ChSteps, flags);
  view_.SetFlagEnabled(SetupFlag::ChFix, flags);
  if (known && api_.typeNames[index][0] == 'R')
    view_.SetUnits("step/deg", "deg", "deg");
  else
    view_.SetUnits("step/mm", "mm", "mm");
}

void MotorSetupModel::NumberChanged(SetupField field) {
  double value = 0;
  if (ScanDouble(view_.Text(field), value) == Scan::NoNumber) Error("Value must be number!");
}

bool MotorSetupModel::CoefficientLeft() {
  double value = 0;
  if (ScanDouble(view_.Text(SetupField::EBCoef), value) == Scan::Number && value == 0) {
    Error("Value must be different from zero!");
    return false;
  }
  return true;
}

bool MotorSetupModel::IntegerLeft(SetupField field) {
  std::optional<int> value = ToInteger(view_.Text(field));
  const std::string fallback = Decimal(FallbackOf(field));
  if (!value) {
    Error("Value must be integer!");
    view_.SetText(field, fallback);
    return false;
  }
  if (*value < 1 || (field == SetupField::EBAccel && *value > kAccelerationMax)) {
    // A negative acceleration (a value above 127 in the signed byte) would stall the motor.
    Error("Value must be higher then zero!");
    view_.SetText(field, fallback);
    return false;
  }
  if (field != SetupField::EBAccel && *value > kStepTimeMax) {
    view_.SetText(field, Decimal(kStepTimeMax));  // the up-down buttons' limit
  }
  return true;
}

bool MotorSetupModel::FieldLeft(SetupField field) {
  switch (field) {
    case SetupField::EBCoef:
      return CoefficientLeft();
    case SetupField::EBAccel:
    case SetupField::EBMin:
    case SetupField::EBMax:
      return IntegerLeft(field);
    case SetupField::EBLen:
    case SetupField::EBOffset:
      if (!Readable(view_.Text(field))) {
        Error("Value must be number!");
        return false;
      }
      return true;
    default:
      return true;
  }
}

bool MotorSetupModel::CloseQuery() {
  if (!okPressed_) return true;
  for (SetupField field : {SetupField::EBMin, SetupField::EBMax, SetupField::EBAccel}) {
    std::string text = view_.Text(field);
    if (!ToInteger(text)) {
      Error(NotInteger(text), "Error");
      return false;
    }
  }
  // A length or start position that holds no number would be saved as 0, a value nobody chose.
  for (SetupField field : {SetupField::EBLen, SetupField::EBOffset}) {
    if (!Readable(view_.Text(field))) {
      Error("Value must be number!");
      return false;
    }
  }
  int minimum = *ToInteger(view_.Text(SetupField::EBMin));
  int maximum = *ToInteger(view_.Text(SetupField::EBMax));
  double coefficient = ReadOrZero(view_.Text(SetupField::EBCoef));
  // Not a number or infinite would make every conversion between steps and units meaningless.
  if (coefficient == 0 || !std::isfinite(coefficient)) {
    view_.SetText(SetupField::EBCoef, "1");
    Error("Coefficient must be different from zero!");
    return false;
  }
  if (maximum < minimum) {
    view_.SetText(SetupField::EBMin, "1");
    view_.SetText(SetupField::EBMax, "20");
    Error("Max step time must be higher then Min step time!");
    return false;
  }
  return true;
}

void MotorSetupModel::Close() {
  if (!okPressed_) return;
  std::string name = view_.Text(SetupField::EBName).substr(0, sizeof record_.name - 1);
  std::memset(record_.name, 0, sizeof record_.name);
  std::memcpy(record_.name, name.data(), name.size());
  int typeIndex = view_.TypeIndex();
  if (typeIndex >= 0 && typeIndex < api_.typeCount && typeIndex < kMaxMotorTypes)
    record_.type = api_.typeCodes[typeIndex];
  int column = view_.CheckedAddress();
  if (column >= 0 && column < kAddressColumns)
    record_.address = static_cast<std::uint8_t>(column == kUnpluggedColumn ? 0 : column + 1);
  auto coefficient = static_cast<float>(ReadOrZero(view_.Text(SetupField::EBCoef)));
  record_.coefficient = coefficient;
  record_.length = LengthSteps(ReadOrZero(view_.Text(SetupField::EBLen)) * static_cast<double>(coefficient));
  record_.offset = static_cast<float>(ReadOrZero(view_.Text(SetupField::EBOffset)));
  record_.acceleration = static_cast<std::int8_t>(ToInteger(view_.Text(SetupField::EBAccel)).value_or(FallbackOf(SetupField::EBAccel)));
  record_.minStepTime = static_cast<std::uint16_t>(ToInteger(view_.Text(SetupField::EBMin)).value_or(FallbackOf(SetupField::EBMin)));
  record_.maxStepTime = static_cast<std::uint16_t>(ToInteger(view_.Text(SetupField::EBMax)).value_or(FallbackOf(SetupField::EBMax)));
  record_.halfSteps = view_.FlagChecked(SetupFlag::ChSteps) ? 1 : 0;
  record_.autoRelease = view_.FlagChecked(SetupFlag::ChFix) ? 1 : 0;
}

}  // namespace mervane::ui
