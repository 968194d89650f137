// The motor setup dialog's widgets and their wiring to MotorSetupModel.
#include "ui/qt/motor_setup_dialog.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QToolButton>
#include <QVBoxLayout>

#include "ui/form_pointer.h"
#include "ui/qt/message.h"
#include "ui/texts.h"

namespace mervane::ui::qt {

namespace {
constexpr int kUpDownMin = 1;
constexpr int kUpDownMax = 10000;

struct FieldSpec {
  SetupField field;
  const char* name;
  const char* initial;
};
constexpr FieldSpec kFields[] = {
    {SetupField::EBName, "EBName", ""},   {SetupField::EBCoef, "EBCoef", "1"}, {SetupField::EBOffset, "EBOffset", "0"},
    {SetupField::EBLen, "EBLen", "5"},    {SetupField::EBAccel, "EBAccel", "20"}, {SetupField::EBMin, "EBMin", "5"},
    {SetupField::EBMax, "EBMax", "50"},
};

QLabel* Unit(const char* text, const char* name, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  if (name != nullptr) label->setObjectName(name);
  return label;
}
}  // namespace

MotorSetupDialog::MotorSetupDialog(const WindowApi& api, std::uint32_t device, int motor, const MotorInfo& start)
    : QDialog(nullptr), api_(api) {
  setObjectName("DlgMotorSetup");
  setWindowTitle("Motor Setup");
  for (const FieldSpec& field : kFields) {
    auto* edit = new QLineEdit(field.initial, this);
    edit->setObjectName(field.name);
    fields_[static_cast<std::size_t>(field.field)] = edit;
  }
  Field(SetupField::EBName)->setMaxLength(9);
  type_ = new QComboBox(this);
  type_->setObjectName("CBTyp");
  type_->setMaxVisibleItems(25);
  steps_ = new QCheckBox("Half steps:", this);
  steps_->setObjectName("ChSteps");
  steps_->setLayoutDirection(Qt::RightToLeft);
  steps_->setEnabled(false);
  fix_ = new QCheckBox("Auto Release:", this);
  fix_->setObjectName("ChFix");
  fix_->setLayoutDirection(Qt::RightToLeft);
  coefficientUnit_ = Unit("step/mm", "LbCoeff", this);
  startUnit_ = Unit("mm", "LbStart", this);
  lengthUnit_ = Unit("mm", "LbLength", this);

  auto* paddress = new QFrame(this);
  paddress->setObjectName("PAddress");
  paddress->setFrameShape(QFrame::StyledPanel);
  paddress->setFixedSize(202, 50);
  BuildAddressSelector(paddress);

  auto* grid = new QGridLayout;
  int line = 0;
  auto row = [&](const char* caption, QWidget* field, QWidget* unit) {
    grid->addWidget(new QLabel(caption, this), line, 0);
    grid->addWidget(field, line, 1);
    if (unit != nullptr) grid->addWidget(unit, line, 2);
    ++line;
  };
  row("Address:", paddress, nullptr);
  row("Name:", Field(SetupField::EBName), nullptr);
  row("Type:", type_, nullptr);
  row("Coefficient:", Field(SetupField::EBCoef), coefficientUnit_);
  row("Start position:", Field(SetupField::EBOffset), startUnit_);
  row("Length:", Field(SetupField::EBLen), lengthUnit_);
  row("Acceleration lenght:", Field(SetupField::EBAccel), Unit("steps", nullptr, this));
  row("Min step time:", UpDown("UDMin", Field(SetupField::EBMin)), Unit("ms", nullptr, this));
  row("Max step time:", UpDown("UDMax", Field(SetupField::EBMax)), Unit("ms", nullptr, this));
  auto* flags = new QHBoxLayout;
  flags->addWidget(steps_);
  flags->addWidget(fix_);
  flags->addStretch(1);
  grid->addLayout(flags, line++, 0, 1, 3);

  auto* ok = new QPushButton("OK", this);
  ok->setObjectName("Button1");
  ok->setDefault(true);
  auto* cancel = new QPushButton("Cancel", this);
  cancel->setObjectName("Button2");
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(ok);
  buttons->addWidget(cancel);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addLayout(buttons);

  model_ = std::make_unique<MotorSetupModel>(api_, *this, device, motor);
  model_->Record() = start;
  // At creation the position and zero fields of the edited record are 0.
  model_->Record().position = 0;
  model_->Record().zeroPoint = 0;

  connect(ok, &QPushButton::clicked, this, [this] {
    model_->OkClicked();
    accept();
  });
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);  // as Escape
  connect(type_, &QComboBox::currentIndexChanged, this, [this] { model_->TypeChanged(); });
  for (SetupField field : {SetupField::EBCoef, SetupField::EBLen, SetupField::EBOffset})
    connect(Field(field), &QLineEdit::textEdited, this, [this, field] {
      Check([this, field] {
        model_->NumberChanged(field);
        return true;
      });
    });
  for (SetupField field : {SetupField::EBCoef, SetupField::EBMin, SetupField::EBAccel, SetupField::EBMax})
    connect(Field(field), &QLineEdit::editingFinished, this, [this, field] { LeaveCheck(field); });
  for (QLineEdit* edit : fields_) edit->installEventFilter(this);
  PublishForm(api_.dlgMotorSetup, static_cast<QWidget*>(this));
}

// A check's message box takes the focus from its field, which makes the field report that it was
// left: that second report is not checked again.
bool MotorSetupDialog::Check(const std::function<bool()>& check) {
  if (checking_) return true;
  checking_ = true;
  bool passed = check();
  checking_ = false;
  return passed;
}

bool MotorSetupDialog::LeaveCheck(SetupField field) {
  return Check([this, field] { return model_->FieldLeft(field); });
}

bool MotorSetupDialog::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      for (const FieldSpec& entry : kFields)
        if (watched == Field(entry.field) && !LeaveCheck(entry.field)) return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

MotorSetupDialog::~MotorSetupDialog() { PublishForm(api_.dlgMotorSetup, nullptr); }

// Seven numbered columns (addresses 1..7) and "U" for a motor on no connector; one radio group.
void MotorSetupDialog::BuildAddressSelector(QWidget* parent) {
  addresses_ = new QButtonGroup(this);
  addresses_->setExclusive(true);
  for (int i = 0; i < kAddressColumns; ++i) {
    bool unplugged = i == kUnpluggedColumn;
    QLabel* number = nullptr;
    if (unplugged) {
      number = new QLabel("U", parent);
      number->setGeometry(176, 8, 20, 14);
      number->setToolTip("Unplugged");
    } else {
      auto* panel = new QFrame(parent);
      panel->setGeometry(8 + 24 * i, 4, 20, 42);
      panels_[static_cast<std::size_t>(i)] = panel;
      number = new QLabel(QString::number(i + 1), panel);
      number->setGeometry(0, 2, 20, 16);
    }
    number->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    auto* radio = new QRadioButton(parent);
    radio->setObjectName(unplugged ? "RbU" : QString("Rb%1").arg(i + 1));
    radio->setGeometry(unplugged ? 176 : 10 + 24 * i, 24, unplugged ? 17 : 16, 16);
    if (unplugged) radio->setToolTip("Unplugged");
    radio->raise();
    addresses_->addButton(radio, unplugged ? 0 : i + 1);  // the id is the address written
    radios_[static_cast<std::size_t>(i)] = radio;
    numbers_[static_cast<std::size_t>(i)] = number;
  }
}

// The up-down buttons of a step time field: one step per click within 1..10000.
QWidget* MotorSetupDialog::UpDown(const char* name, QLineEdit* edit) {
  auto* box = new QWidget(this);
  auto* layout = new QHBoxLayout(box);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(edit, 1);
  auto* arrows = new QWidget(box);
  arrows->setObjectName(name);
  auto* column = new QVBoxLayout(arrows);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  for (int step : {+1, -1}) {
    auto* arrow = new QToolButton(arrows);
    arrow->setArrowType(step > 0 ? Qt::UpArrow : Qt::DownArrow);
    arrow->setFixedSize(16, 11);
    column->addWidget(arrow);
    connect(arrow, &QToolButton::clicked, this, [edit, step] {
      int value = ToInteger(FromQt(edit->text())).value_or(kUpDownMin) + step;
      edit->setText(QString::number(std::clamp(value, kUpDownMin, kUpDownMax)));
    });
  }
  layout->addWidget(arrows);
  return box;
}

void MotorSetupDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (shown_) return;
  shown_ = true;
  model_->FormShow();
}

void MotorSetupDialog::Cancel() {
  cancelled_ = true;
  if (openBox_) openBox_->reject();
  QDialog::done(Rejected);
}

void MotorSetupDialog::reject() {
  if (!closingByTitleBar_) model_->CancelClicked();  // Cancel or Escape
  QDialog::reject();
}

// The title bar's close button: with OK pressed before, the validation runs here too.
void MotorSetupDialog::closeEvent(QCloseEvent* event) {
  closingByTitleBar_ = true;
  QDialog::closeEvent(event);
  closingByTitleBar_ = false;
}

// Every way of closing ends here. With OK pressed the validation decides; a refusal keeps the
// dialog open with the flag still set.
void MotorSetupDialog::done(int result) {
  if (!cancelled_) {
    if (!model_->CloseQuery()) return;
    model_->Close();
  }
  QDialog::done(result);
}

// --- MotorSetupView ----------------------------------------------------------------------------

std::string MotorSetupDialog::Text(SetupField field) const { return FromQt(Field(field)->text()); }

void MotorSetupDialog::SetText(SetupField field, const std::string& text) { Field(field)->setText(ToQt(text)); }

void MotorSetupDialog::SetTypeNames(const std::vector<std::string>& names) {
  QSignalBlocker quiet(type_);
  type_->clear();
  for (const std::string& name : names) type_->addItem(ToQt(name));
}

int MotorSetupDialog::TypeIndex() const { return type_->currentIndex(); }

void MotorSetupDialog::SetTypeIndex(int index) {
  QSignalBlocker quiet(type_);
  type_->setCurrentIndex(index);
}

void MotorSetupDialog::SetAddressEnabled(int column, bool enabled) {
  if (column < 0 || column >= kAddressColumns) return;
  radios_[static_cast<std::size_t>(column)]->setEnabled(enabled);
  numbers_[static_cast<std::size_t>(column)]->setEnabled(enabled);
}

void MotorSetupDialog::SetAddressHint(int column, const std::string& hint) {
  if (column < 0 || column >= kAddressColumns) return;
  radios_[static_cast<std::size_t>(column)]->setToolTip(ToQt(hint));
  numbers_[static_cast<std::size_t>(column)]->setToolTip(ToQt(hint));
  if (QFrame* panel = column < 7 ? panels_[static_cast<std::size_t>(column)] : nullptr) panel->setToolTip(ToQt(hint));
}

void MotorSetupDialog::CheckAddress(int column) {
  if (column >= 0 && column < kAddressColumns) radios_[static_cast<std::size_t>(column)]->setChecked(true);
}

int MotorSetupDialog::CheckedAddress() const {
  for (int i = 0; i < kAddressColumns; ++i)
    if (radios_[static_cast<std::size_t>(i)]->isChecked()) return i;
  return -1;
}

bool MotorSetupDialog::FlagChecked(SetupFlag flag) const {
  return (flag == SetupFlag::ChSteps ? steps_ : fix_)->isChecked();
}

void MotorSetupDialog::SetFlagChecked(SetupFlag flag, bool checked) {
  (flag == SetupFlag::ChSteps ? steps_ : fix_)->setChecked(checked);
}

void MotorSetupDialog::SetFlagEnabled(SetupFlag flag, bool enabled) {
  (flag == SetupFlag::ChSteps ? steps_ : fix_)->setEnabled(enabled);
}

void MotorSetupDialog::SetUnits(const std::string& coefficient, const std::string& start, const std::string& length) {
  coefficientUnit_->setText(ToQt(coefficient));
  startUnit_->setText(ToQt(start));
  lengthUnit_->setText(ToQt(length));
}

void MotorSetupDialog::Message(const std::string& text, const std::string& caption, Icon icon) {
  ShowMessageBox(this, text, caption, icon, &openBox_);
}

}  // namespace mervane::ui::qt
