// The control window's widgets and their wiring to MotorListModel.
#include "ui/qt/mervane_window.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

#include "ui/qt/message.h"
#include "ui/qt/rename_dialog.h"

namespace mervane::ui::qt {

namespace {
constexpr int kRefreshMs = 500;

struct DetailCaption {
  Detail label;
  const char* name;     // component name of the value label
  const char* caption;  // its caption label
};
constexpr DetailCaption kDetails[] = {
    {Detail::LDev, "LDev", "Device:"},
    {Detail::LAddr, "LAddr", "Address:"},
    {Detail::LTyp, "LTyp", "Type motor:"},
    {Detail::LLen, "LLen", "Lenght:"},
    {Detail::LCoef, "LCoef", "Coef"},
    {Detail::LOff, "LOff", "Offset:"},
    {Detail::LAccel, "LAccel", "Acceleration lenght:"},
    {Detail::LMin, "LMin", "Min step time:"},
    {Detail::LMax, "LMax", "Max step time:"},
    {Detail::LSteps, "LSteps", "Half steps:"},
    {Detail::LFix, "LFix", "Auto release:"},
};

QPushButton* Button(const char* name, const char* caption, QWidget* parent) {
  auto* button = new QPushButton(caption, parent);
  button->setObjectName(name);
  return button;
}

// Menu captions are shown literally: '&' would otherwise mark an accelerator key.
QString Literal(const std::string& text) { return ToQt(text).replace('&', "&&"); }
}  // namespace

MervaneWindow::MervaneWindow(const WindowApi& api, std::function<void(bool)> visibility)
    : QWidget(nullptr), api_(api), visibility_(std::move(visibility)) {
  setObjectName("DlgMervane");
  setWindowTitle("VORK - KADO");
  setWindowIcon(LampIcon(kGreen));
  setMinimumSize(490, 390);
  resize(941, 414);
  QFont small = font();  // the layout's pixel sizes were made for an 8 pt font
  small.setPointSize(8);
  setFont(small);
  if (QScreen* screen = this->screen()) move(screen->availableGeometry().center() - rect().center());

  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(4, 4, 4, 4);
  BuildList();
  layout->addWidget(list_, 1);
  layout->addWidget(BuildPanel());
  BuildMenu();

  model_ = std::make_unique<MotorListModel>(api_, *this);
  timer_ = new QTimer(this);
  timer_->setObjectName("Timer");
  timer_->setInterval(kRefreshMs);
  connect(timer_, &QTimer::timeout, this, [this] { Command([this] { model_->TimerTick(); }); });
  timer_->start();
}

MervaneWindow::~MervaneWindow() = default;

void MervaneWindow::BuildList() {
  list_ = new QTreeWidget(this);
  list_->setObjectName("LvMotorList");
  list_->setColumnCount(kColumnCount);
  QStringList titles;
  for (const char* title : kColumnTitles) titles << title;
  list_->setHeaderLabels(titles);
  list_->header()->setStretchLastSection(false);
  list_->setTextElideMode(Qt::ElideNone);
  list_->header()->setMinimumSectionSize(1);
  for (int c = 0; c < kColumnCount; ++c) {
    list_->setColumnWidth(c, 1);  // not the header's default: each column starts from its own width
    FitColumn(c, QString());
  }
  list_->setRootIsDecorated(false);
  list_->setUniformRowHeights(true);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list_->setIconSize(QSize(16, 16));
  list_->setAllColumnsShowFocus(true);
  list_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(list_, &QTreeWidget::customContextMenuRequested, this, &MervaneWindow::ShowPopup);
  connect(list_, &QTreeWidget::itemDoubleClicked, this, [this] { Command([this] { model_->SetupClick(); }); });
  connect(list_, &QTreeWidget::itemSelectionChanged, this, [this] {
    int row = SelectedRow();
    if (!selecting_ && row >= 0) Command([this, row] { model_->RowSelected(row); });
  });
}

// Column widths come from the font: a title or a text is never cut, whatever font the desktop
// gives; the least widths hold for short texts.
void MervaneWindow::FitColumn(int column, const QString& text) {
  const QFontMetrics metrics(list_->font());
  const QFontMetrics titles(list_->header()->font());
  constexpr int kPadding = 16;  // the cell's margins and the header's sort mark space
  int wanted = std::max(kColumnWidths[column], titles.horizontalAdvance(kColumnTitles[column]) + kPadding);
  if (!text.isEmpty()) wanted = std::max(wanted, metrics.horizontalAdvance(text) + kPadding);
  if (column == kName) wanted += list_->iconSize().width() + 4;  // the lamp
  if (list_->columnWidth(column) < wanted) list_->setColumnWidth(column, wanted);
}

QWidget* MervaneWindow::BuildPanel() {
  auto* panel1 = new QWidget(this);
  panel1->setObjectName("Panel1");
  // At least the classic width, wider when its captions, buttons or a long box name need it.
  panel1->setMinimumWidth(222);
  panel1->setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Preferred);
  auto* column = new QVBoxLayout(panel1);
  column->setContentsMargins(4, 0, 0, 0);

  auto* panel2 = new QFrame(panel1);
  panel2->setObjectName("Panel2");
  panel2->setFrameShape(QFrame::StyledPanel);
  auto* details = new QGridLayout;
  details->setVerticalSpacing(2);
  int line = 0;
  for (const DetailCaption& d : kDetails) {
    auto* caption = new QLabel(d.caption, panel2);
    auto* value = new QLabel(panel2);
    value->setObjectName(d.name);
    details_[static_cast<int>(d.label)] = value;
    details->addWidget(caption, line, 0);
    details->addWidget(value, line, 1);
    ++line;
  }
  details->setColumnStretch(1, 1);

  auto* group = new QGroupBox("Move to...", panel2);
  group->setObjectName("GroupBox1");
  auto* move = new QGridLayout(group);
  move->setVerticalSpacing(3);
  move->addWidget(new QLabel("Position:", group), 0, 0);
  auto* position = new QLabel(group);
  position->setObjectName("LPos");
  QFont bold = position->font();
  bold.setBold(true);
  position->setFont(bold);
  details_[static_cast<int>(Detail::LPos)] = position;
  move->addWidget(position, 0, 1);
  zero_ = new QCheckBox("Zero", group);
  zero_->setObjectName("ChBZero");
  move->addWidget(zero_, 0, 2);
  auto* real = new QLabel(group);
  real->setObjectName("LPosReal");
  details_[static_cast<int>(Detail::LPosReal)] = real;
  move->addWidget(real, 1, 1, 1, 2);
  move->addWidget(new QLabel("Destination:", group), 2, 0, 1, 3);
  destination_ = new QLineEdit("0", group);
  destination_->setObjectName("EbDestination");
  move->addWidget(destination_, 3, 0, 1, 2);
  auto* set = Button("BttnSet", "Set target", group);
  move->addWidget(set, 3, 2);
  auto* buttons = new QHBoxLayout;
  auto* moveAbs = Button("BttnMoveAbs", "Move abs", group);
  auto* moveRel = Button("BttnMoveRel", "Move rel", group);
  auto* stop = Button("BttnStop", "Stop", group);
  buttons->addWidget(moveAbs);
  buttons->addWidget(moveRel);
  buttons->addWidget(stop);
  move->addLayout(buttons, 4, 0, 1, 3);

  auto* panel2Layout = new QVBoxLayout(panel2);
  panel2Layout->addLayout(details);
  panel2Layout->addStretch(1);
  panel2Layout->addWidget(group);
  column->addWidget(panel2, 1);
  auto* run = Button("BttnRun", "Run All", panel1);
  auto* stopAll = Button("BttnStopAll", "Stop All", panel1);
  column->addWidget(run);
  column->addWidget(stopAll);

  connect(set, &QPushButton::clicked, this, [this] { Command([this] { model_->SetTargetClick(); }); });
  connect(moveAbs, &QPushButton::clicked, this, [this] { Command([this] { model_->MoveClick(false); }); });
  connect(moveRel, &QPushButton::clicked, this, [this] { Command([this] { model_->MoveClick(true); }); });
  connect(stop, &QPushButton::clicked, this, [this] { Command([this] { model_->StopClick(); }); });
  connect(run, &QPushButton::clicked, this, [this] { Command([this] { model_->RunAllClick(); }); });
  connect(stopAll, &QPushButton::clicked, this, [this] { Command([this] { model_->StopAllClick(); }); });
  connect(destination_, &QLineEdit::textEdited, this, [this] { Command([this] { model_->DestinationChanged(); }); });
  connect(zero_, &QCheckBox::clicked, this, [this](bool checked) {
    Command([this, checked] {
      model_->ZeroClick(checked);
      SyncMenu();
    });
  });
  return panel1;
}

void MervaneWindow::BuildMenu() {
  menu_ = new QMenu(this);
  menu_->setObjectName("PmMenu");
  devices_ = menu_->addMenu("Devices");
  devices_->setObjectName("PmDev");
  QAction* releaseAll = menu_->addAction("Release all");
  releaseAll->setObjectName("PmRelAll");
  connect(releaseAll, &QAction::triggered, this, [this] { Command([this] { model_->ReleaseAllClick(); }); });
  menu_->addSeparator()->setObjectName("N1");
  struct Item {
    QAction** action;
    const char* name;
    const char* caption;
    QKeySequence shortcut;
    void (MotorListModel::*command)();
  };
  const Item items[] = {
      {&setup_, "PmSetup", "Setup", QKeySequence(Qt::CTRL | Qt::Key_S), &MotorListModel::SetupClick},
      {&initialize_, "PmInitialize", "Initialize", QKeySequence(Qt::CTRL | Qt::Key_I), &MotorListModel::InitializeClick},
      {&setZero_, "PmZero", "Set zero", QKeySequence(Qt::CTRL | Qt::Key_Z), &MotorListModel::SetZeroClick},
      {&reset_, "PmReset", "Reset", QKeySequence(Qt::CTRL | Qt::Key_R), &MotorListModel::ResetClick},
      {&release_, "PmRelease", "Release", QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_R), &MotorListModel::ReleaseClick},
      {&remove_, "PmRemove", "Remove", QKeySequence(Qt::SHIFT | Qt::Key_Delete), &MotorListModel::RemoveClick},
  };
  for (const Item& item : items) {
    QAction* action = menu_->addAction(item.caption);
    action->setObjectName(item.name);
    action->setShortcut(item.shortcut);
    // The shortcuts act while the list has the keyboard focus.
    action->setShortcutContext(Qt::WidgetShortcut);
    list_->addAction(action);
    auto command = item.command;
    connect(action, &QAction::triggered, this, [this, command] { Command([this, command] { (model_.get()->*command)(); }); });
    *item.action = action;
  }
  setZero_->setCheckable(true);
  SyncMenu();
}

void MervaneWindow::SyncMenu() {
  const MotorMenuState& state = model_ ? model_->Menu() : MotorMenuState{};
  setup_->setEnabled(state.setup);
  initialize_->setEnabled(state.initialize);
  setZero_->setEnabled(state.zero);
  reset_->setEnabled(state.reset);
  release_->setEnabled(state.release);
  remove_->setEnabled(state.remove);
  setZero_->setChecked(state.zeroChecked);
}

void MervaneWindow::RebuildDevicesMenu() {
  devices_->clear();
  const std::vector<DeviceMenuEntry>& entries = model_->DeviceMenu();
  for (std::size_t e = 0; e < entries.size(); ++e) {
    QMenu* device = devices_->addMenu(Literal(entries[e].caption));
    device->setObjectName(ToQt(entries[e].serial));
    for (int tag = kOpen; tag <= kReleaseAllMotors; ++tag) {
      if (tag == kRename || tag == kAddMotor) device->addSeparator();
      QAction* action = device->addAction(kDeviceCommandCaptions[tag]);
      action->setEnabled(entries[e].enabled[static_cast<std::size_t>(tag)]);
      connect(action, &QAction::triggered, this, [this, e, tag] { Command([this, e, tag] { model_->DeviceMenuClick(e, tag); }); });
    }
  }
}

void MervaneWindow::PreparePopup(const QPoint& pos) {
  QTreeWidgetItem* item = list_->itemAt(pos);
  Hit hit = item != nullptr ? Hit::Row : (list_->viewport()->rect().contains(pos) ? Hit::Empty : Hit::Other);
  Command([&] {
    model_->MenuPopup(hit, item != nullptr ? list_->indexOfTopLevelItem(item) : -1);
    SyncMenu();
    RebuildDevicesMenu();
  });
}

void MervaneWindow::ShowPopup(const QPoint& pos) {
  PreparePopup(pos);
  if (!disposed_) menu_->exec(list_->viewport()->mapToGlobal(pos));
}

void MervaneWindow::Command(const std::function<void()>& command) {
  if (disposed_) return;
  ++busy_;
  command();
  if (--busy_ == 0 && disposed_) deleteLater();
}

void MervaneWindow::ShowAgain() {
  model_->Reopened();
  if (!timer_->isActive()) timer_->start();
  show();
  // The offscreen platform has no stacking order to change (and says so on every call).
  if (QGuiApplication::platformName() != "offscreen") {
    raise();
    activateWindow();
  }
}

void MervaneWindow::Dispose() {
  if (disposed_) return;
  disposed_ = true;
  timer_->stop();
  if (openBox_) openBox_->reject();
  menu_->close();
  hide();
  if (busy_ == 0) deleteLater();
}

void MervaneWindow::closeEvent(QCloseEvent* event) {
  // The user's close hides the window; the object stays until CloseSetupWin.
  model_->Closed();
  timer_->stop();
  event->accept();
}

void MervaneWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (visibility_) visibility_(true);
}

void MervaneWindow::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  if (visibility_) visibility_(false);
}

// --- MotorListView ---------------------------------------------------------------------------------

void MervaneWindow::InsertRow(int at) {
  auto* item = new QTreeWidgetItem;
  if (at < 0 || at > list_->topLevelItemCount()) at = list_->topLevelItemCount();
  list_->insertTopLevelItem(at, item);
}

void MervaneWindow::DeleteRow(int row) {
  selecting_ = true;  // a selection that moves on is not the user's
  delete list_->takeTopLevelItem(row);
  selecting_ = false;
}

void MervaneWindow::SetText(int row, int column, const std::string& text) {
  if (QTreeWidgetItem* item = list_->topLevelItem(row)) {
    const QString shown = ToQt(text);
    item->setText(column, shown);
    FitColumn(column, shown);
  }
}

void MervaneWindow::SetLamp(int row, int lamp) {
  if (QTreeWidgetItem* item = list_->topLevelItem(row)) item->setIcon(kName, LampIcon(lamp));
}

int MervaneWindow::SelectedRow() const {
  const QList<QTreeWidgetItem*> selected = list_->selectedItems();
  return selected.isEmpty() ? -1 : list_->indexOfTopLevelItem(selected.front());
}

void MervaneWindow::SelectRow(int row) {
  QTreeWidgetItem* item = list_->topLevelItem(row);
  if (item == nullptr) return;
  selecting_ = true;
  list_->setCurrentItem(item);
  item->setSelected(true);
  selecting_ = false;
}

void MervaneWindow::SetDetail(Detail label, const std::string& text) {
  if (QLabel* value = details_[static_cast<std::size_t>(label)]) value->setText(ToQt(text));
}

std::string MervaneWindow::Destination() const { return FromQt(destination_->text()); }

void MervaneWindow::SetDestination(const std::string& text) { destination_->setText(ToQt(text)); }

void MervaneWindow::Message(const std::string& text, const std::string& caption, Icon icon) {
  if (disposed_) return;  // the window is going: nobody is there to read it
  ShowMessageBox(this, text, caption, icon, &openBox_);
}

// The window keeps painting and its refresh timer running, under a busy cursor; the user's input
// waits until the command is done.
bool MervaneWindow::WaitUntil(const std::function<bool()>& done, double seconds) {
  constexpr int kPollMs = 10;
  QApplication::setOverrideCursor(Qt::WaitCursor);
  QElapsedTimer clock;
  clock.start();
  bool rested = done();
  while (!rested && !disposed_ && clock.elapsed() < static_cast<qint64>(seconds * 1000)) {
    QEventLoop loop;
    QTimer::singleShot(kPollMs, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    rested = done();
  }
  QApplication::restoreOverrideCursor();
  return rested;
}

bool MervaneWindow::AskRename(const std::string& caption, std::string& name) {
  RenameDialog dialog(this, api_);
  dialog.SetCaption(ToQt(caption));
  openBox_ = &dialog;
  bool ok = dialog.exec() == QDialog::Accepted;
  openBox_ = nullptr;
  if (ok) name = dialog.Name();
  return ok;
}

}  // namespace mervane::ui::qt
