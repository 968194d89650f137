// TDlgMotorSetup, the modal motor setup dialog: a thin view over MotorSetupModel with the
// address selector, the fields, the type list, the two check boxes and OK/Cancel.
#pragma once

#include <QDialog>
#include <QPointer>

#include <array>
#include <functional>
#include <memory>

#include "ui/motor_setup.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QRadioButton;

namespace mervane::ui::qt {

class MotorSetupDialog : public QDialog, public MotorSetupView {
public:
  // `motor` < 0: a new motor. Publishes itself in DlgMotorSetup while it exists.
  MotorSetupDialog(const WindowApi& api, std::uint32_t device, int motor, const MotorInfo& start);
  ~MotorSetupDialog() override;

  MotorSetupModel& Model() { return *model_; }
  // Closes the dialog as a refusal whatever its state (the window is being destroyed).
  void Cancel();

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

  QLineEdit* Field(SetupField field) const { return fields_[static_cast<std::size_t>(field)]; }

  void done(int result) override;
  void reject() override;

protected:
  // Enter in a field runs the field's check first; a refused value ends the key there.
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

private:
  void BuildAddressSelector(QWidget* parent);
  QWidget* UpDown(const char* name, QLineEdit* edit);
  // Runs a field check unless one is running already; false when it refused the value.
  bool Check(const std::function<bool()>& check);
  bool LeaveCheck(SetupField field);

  const WindowApi& api_;
  std::array<QLineEdit*, 7> fields_{};
  std::array<QRadioButton*, kAddressColumns> radios_{};
  std::array<QLabel*, kAddressColumns> numbers_{};
  std::array<QFrame*, 7> panels_{};
  QButtonGroup* addresses_ = nullptr;
  QComboBox* type_ = nullptr;
  QCheckBox* steps_ = nullptr;
  QCheckBox* fix_ = nullptr;
  QLabel* coefficientUnit_ = nullptr;
  QLabel* startUnit_ = nullptr;
  QLabel* lengthUnit_ = nullptr;
  bool shown_ = false;
  bool cancelled_ = false;
  bool closingByTitleBar_ = false;
  bool checking_ = false;
  QPointer<QDialog> openBox_;
  std::unique_ptr<MotorSetupModel> model_;
};

}  // namespace mervane::ui::qt
