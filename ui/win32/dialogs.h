// The modal dialogs of the Windows control window: "Motor Setup" and "Rename ...", and the ending
// of every modal box of the window's thread when the window is destroyed.
#pragma once

#include <windows.h>

#include <array>
#include <memory>

#include "ui/motor_setup.h"

namespace mervane::ui::win32 {

// The modal rename dialog over `owner` with this caption; true on OK, with the typed name.
bool RunRenameDialog(HWND owner, const WindowApi& api, const std::string& caption, std::string& name);

// Ends every modal dialog and message box of the calling (window) thread as a refusal: the
// setup and rename dialogs return "cancelled", message boxes return as if OK was pressed.
void EndModalBoxes();

// TDlgMotorSetup: a thin view over MotorSetupModel with the address selector, the fields, the
// type list, the two check boxes and OK/Cancel.
class MotorSetupDialog : public MotorSetupView {
public:
  // `motor` < 0: a new motor. Publishes itself in DlgMotorSetup while it is open.
  MotorSetupDialog(const WindowApi& api, std::uint32_t device, int motor, const MotorInfo& start);
  ~MotorSetupDialog() override;
  MotorSetupDialog(const MotorSetupDialog&) = delete;
  MotorSetupDialog& operator=(const MotorSetupDialog&) = delete;

  // Shows the dialog modally over `owner` (none: no owner); true when it closed with OK.
  bool Run(HWND owner);
  MotorSetupModel& Model() { return *model_; }

  // MotorSetupView
  std::string Text(SetupField field) const override;
  void SetText(SetupField field, const std::string& text) override;
  void SetTypeNames(const std::vector<std::string>& names) override;
  int TypeIndex() const override;
  void SetTypeIndex(int index) override;
  void SetAddressEnabled(int column, bool enabled) override;
  void SetAddressHint(int column, const std::string& hint) override;
  void CheckAddress(int column) override;
  int CheckedAddress() const override;
  bool FlagChecked(SetupFlag flag) const override;
  void SetFlagChecked(SetupFlag flag, bool checked) override;
  void SetFlagEnabled(SetupFlag flag, bool enabled) override;
  void SetUnits(const std::string& coefficient, const std::string& start, const std::string& length) override;
  void Message(const std::string& text, const std::string& caption, Icon icon) override;

private:
  static INT_PTR CALLBACK Proc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam);
  void Build();
  void BuildAddressSelector();
  void AddTool(HWND control, UINT_PTR id, const RECT* area, const char* hint);
  void OnCommand(int id, int code);
  // Every way of closing ends here: with OK pressed the validation decides.
  void TryClose(int result);
  HWND Control(int id) const { return GetDlgItem(dialog_, id); }

  const WindowApi& api_;
  HWND dialog_ = nullptr;
  HWND tooltip_ = nullptr;
  HWND owner_ = nullptr;
  bool quiet_ = false;        // a field is set by the model: no change check
  bool messageOpen_ = false;  // a check's message box has the focus: no leave checks
  bool closing_ = false;
  bool cancelled_ = false;
  std::unique_ptr<MotorSetupModel> model_;
};

}  // namespace mervane::ui::win32
