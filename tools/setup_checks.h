// The motor setup dialog's field checks and messages, without any toolkit, so that a command line
// (and later the dialog itself) applies the same rules: which texts are numbers, which are
// integers, the checks at OK, and how the fields fill a motor record.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "mervane.h"

namespace mervane::setup {

// A refused field: the message box's caption and text, exactly as the dialog shows them.
struct Complaint {
  std::string caption;  // "Type error" or "Error"
  std::string text;
};

// The dialog's defaults for a new motor (form values).
inline constexpr const char* kDefaultCoefficient = "1";
inline constexpr const char* kDefaultOffset = "0";
inline constexpr const char* kDefaultLength = "5";
inline constexpr int kDefaultAcceleration = 20;  // also the field's fallback after a bad entry
inline constexpr int kDefaultMinStepTime = 5;
inline constexpr int kDefaultMaxStepTime = 50;
// The step-time spinners' range; the record holds 16 bits, the acceleration a signed byte.
inline constexpr long kMaxStepTimeMs = 10000;
inline constexpr long kMaxAcceleration = 127;
inline constexpr std::size_t kMaxNameLength = 9;
inline constexpr int kAddressCount = 7;  // connectors 1..7; 0 is "Unplugged"

// "%lg" reading of the coefficient, length and start position fields: a leading number counts
// ("12abc" is 12), blank text reads as nothing without complaint.
std::optional<double> ReadNumber(const std::string& text);
// The whole text as a decimal integer (surrounding blanks allowed), else nothing.
std::optional<long> ReadInteger(const std::string& text);

// Change check of the coefficient, length and start position: "Value must be number!".
std::optional<Complaint> CheckNumber(const std::string& text);
// Exit check of the coefficient: "Value must be different from zero!".
std::optional<Complaint> CheckCoefficientExit(const std::string& text);
// Exit check of acceleration and step times: "Value must be integer!", "Value must be higher
// then zero!", and, beyond the dialog (whose spinners stop there), a value above `limit`.
std::optional<Complaint> CheckPositiveInteger(const std::string& text, long limit);
// The checks at OK, in the dialog's order: coefficient not zero (unreadable counts as zero),
// then maximum step time not below the minimum.
std::optional<Complaint> CheckOnOk(const std::string& coefficient, long minStepTime, long maxStepTime);
// Name length (the edit's limit) and address choice (1..7 or 0 for "Unplugged").
std::optional<Complaint> CheckName(const std::string& name);
std::optional<Complaint> CheckAddress(long address);

// Motor type from a code ("0x85", "133") or a name ("X (4wires)"; case and blanks ignored).
// `nameOf(code)` gives a code's name, "???" when the code is unknown.
std::optional<std::uint8_t> ParseMotorType(const std::string& text,
                                           const std::function<std::string(int)>& nameOf);

// The dialog's fields as texts; a field left empty keeps the record's value (or, for a new
// motor, the form default).
struct Fields {
  std::optional<std::string> name, coefficient, length, offset, acceleration, minStepTime, maxStepTime;
  std::optional<std::uint8_t> type;
  std::optional<long> address;
  std::optional<bool> halfSteps, autoRelease;
};

// Runs every check a user would meet in the dialog (exit checks of each field given, then the
// checks at OK) and, when all pass, writes the record as the dialog does on OK: name, type,
// address, coefficient, length in steps (text × new coefficient, truncated), offset,
// acceleration, step times, flags; position and zero stay. `record` holds the motor's present
// configuration, or zeros for a new motor.
std::optional<Complaint> Apply(const Fields& fields, bool newMotor, MotorInfo& record);

// The user unit of a type: "deg" for the rotary types (name starting with "R"), else "mm".
const char* UnitOf(const std::string& typeName);

}  // namespace mervane::setup
