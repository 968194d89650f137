// The motor setup rules, free of any toolkit, in one place for everyone who sets a motor up: the
// setup dialog (field checks on change, on leaving and at OK), `mervanectl setup`, and, through
// EXT_ApplySetupTexts, the Python package. Which texts are numbers or integers, each check with
// the dialog's message, and how the fields fill a motor record.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "mervane.h"

namespace mervane::setup {

// A refused field: the message box's caption and text, exactly as the dialog shows them, and the
// field's name for callers without a dialog ("coefficient", "acceleration", ...).
struct Complaint {
  std::string caption;  // "Type error" or "Error"
  std::string text;
  std::string field;
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
// The coefficient's size range: the record keeps it as a float, and the library refuses one
// whose positions its settings file could not hold (below 2^31 / FLT_MAX).
inline constexpr double kMinCoefficient = 2147483648.0 / 3.40282347e38;
inline constexpr double kMaxCoefficient = 3.40282347e38;

// "%lg" reading of the coefficient, length and start position fields: a leading number counts
// ("12abc" is 12), blank text reads as nothing without complaint.
std::optional<double> ReadNumber(const std::string& text);
// The whole text as a decimal integer (surrounding blanks allowed), else nothing.
std::optional<long> ReadInteger(const std::string& text);

// Change check of the coefficient, length and start position: "Value must be number!".
std::optional<Complaint> CheckNumber(const std::string& text);
// Exit check of the coefficient: "Value must be different from zero!".
std::optional<Complaint> CheckCoefficientExit(const std::string& text);

// The integer fields and what leaving one does: the message it raises, if any, and the text it
// holds afterwards (its fallback after a bad entry, the spinner's limit above it).
enum class IntegerField { Acceleration, MinStepTime, MaxStepTime };
struct IntegerExit {
  std::optional<Complaint> complaint;
  std::string text;
};
IntegerExit LeaveIntegerField(IntegerField field, const std::string& text);
int FallbackOf(IntegerField field);

// The checks at OK, in the dialog's order: the coefficient (unreadable counts as zero; not zero,
// then inside the size range a record can hold), then the maximum step time not below the
// minimum. The dialog resets the named fields when one fails.
std::optional<Complaint> CheckOnOk(const std::string& coefficient, long minStepTime, long maxStepTime);
// A motor name: 1..9 single-byte characters, none a control character (the name is a key of the
// lists and of tab-separated output).
std::optional<Complaint> CheckName(const std::string& name);
// The address choice: 1..7, or 0 for "Unplugged".
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
// acceleration, step times, flags; position and zero stay. A value the dialog would silently
// change (a step time beyond its spinner) is refused instead: a caller without the dialog cannot
// see the change. `record` holds the motor's present configuration, or zeros for a new motor.
std::optional<Complaint> Apply(const Fields& fields, bool newMotor, MotorInfo& record);

// The user unit of a type: "deg" for the rotary types (name starting with "R"), else "mm".
const char* UnitOf(const std::string& typeName);

}  // namespace mervane::setup
