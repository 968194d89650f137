// The motor setup dialog's logic, free of any toolkit: filling the fields from a motor's record,
// the address selector's occupied columns, the field checks on change and on leaving, the
// validation on OK and the writing of the edited record.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ui/window_api.h"

namespace mervane::ui {

// The steps of a length given in units times the coefficient: truncated toward zero, held inside
// int32 (not a number: 0), as the record keeps them.
std::int32_t LengthSteps(double steps);

enum class SetupField { EBName, EBCoef, EBOffset, EBLen, EBAccel, EBMin, EBMax };
enum class SetupFlag { ChSteps, ChFix };
// Columns of the address selector: 0..6 are addresses 1..7, 7 is "U" (unplugged, address 0).
inline constexpr int kAddressColumns = 8;
inline constexpr int kUnpluggedColumn = 7;

class MotorSetupView {
public:
  virtual ~MotorSetupView() = default;
  virtual std::string Text(SetupField field) const = 0;
  // Sets a field's text without running its change check.
  virtual void SetText(SetupField field, const std::string& text) = 0;
  virtual void SetTypeNames(const std::vector<std::string>& names) = 0;
  virtual int TypeIndex() const = 0;
  virtual void SetTypeIndex(int index) = 0;
  // A column's radio button and number label.
  virtual void SetAddressEnabled(int column, bool enabled) = 0;
  virtual void SetAddressHint(int column, const std::string& hint) = 0;
  virtual void CheckAddress(int column) = 0;
  // The checked column, -1 when none.
  virtual int CheckedAddress() const = 0;
  virtual bool FlagChecked(SetupFlag flag) const = 0;
  virtual void SetFlagChecked(SetupFlag flag, bool checked) = 0;
  virtual void SetFlagEnabled(SetupFlag flag, bool enabled) = 0;
  virtual void SetUnits(const std::string& coefficient, const std::string& start, const std::string& length) = 0;
  virtual void Message(const std::string& text, const std::string& caption, Icon icon) = 0;
};

class MotorSetupModel {
public:
  // `motor` < 0: a new motor is added to `device`.
  MotorSetupModel(const WindowApi& api, MotorSetupView& view, std::uint32_t device, int motor);

  void FormShow();
  void TypeChanged();                   // CBTypChange
  void NumberChanged(SetupField field); // EBCoefChange: EBCoef, EBLen, EBOffset
  // The checks on leaving a field; false when the field's value was refused (after its message).
  bool CoefficientLeft();               // EBCoefExit
  bool IntegerLeft(SetupField field);   // EBAccelExit: EBMin, EBAccel, EBMax
  // Enter in a field: the field's check on leaving runs first, and only when it passes (true)
  // does Enter go on to OK, so a refused value keeps the dialog open after its message.
  bool FieldLeft(SetupField field);
  void OkClicked() { okPressed_ = true; }
  void CancelClicked() { okPressed_ = false; }
  // Whether the dialog may close now (runs the validation after OK).
  bool CloseQuery();
  // The dialog closes: after OK the fields are written into the record.
  void Close();

  bool OkPressed() const { return okPressed_; }
  const MotorInfo& Record() const { return record_; }
  MotorInfo& Record() { return record_; }
  // The value a field falls back to after a bad entry (its Tag).
  static int FallbackOf(SetupField field);

private:
  void Error(const std::string& text, const char* caption = "Type error");
  void LoadMotor();

  const WindowApi& api_;
  MotorSetupView& view_;
  std::uint32_t device_;
  int motor_;
  bool okPressed_ = false;
  MotorInfo record_{};
};

}  // namespace mervane::ui
