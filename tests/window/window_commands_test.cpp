// The control window driven as a user drives it: QTest clicks and keys on its real widgets on
// Qt's offscreen platform, against emulated boxes with manual timing. Each command acts on the
// motor of the row the user chose, the details and menus show what is true, and texts fit.
#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "api_fixture.h"
#include "ui/qt/mervane_window.h"
#include "ui/qt/motor_setup_dialog.h"
#include "ui/qt/rename_dialog.h"
#include "window_support.h"

namespace mervane::testing {
namespace {

// Every message the toolkit prints while a test runs; a warning is a fault of ours.
std::vector<std::string> g_qtMessages;
// The offscreen platform's own notes on what it cannot do (size hints of a window manager, ...)
// belong to the test platform and are left out.
void RecordQtMessage(QtMsgType type, const QMessageLogContext&, const QString& text) {
  if (type == QtDebugMsg || type == QtInfoMsg || text.startsWith("This plugin does not support")) return;
  g_qtMessages.push_back(text.toStdString());
}

// Which (device, channel) the setup dialog was asked for; answers Cancel.
std::vector<std::pair<std::uint32_t, int>> g_setupAsked;
bool RecordSetup(std::uint32_t device, int channel, MotorRecord&) {
  g_setupAsked.emplace_back(device, channel);
  return false;
}

class WindowCommandsTest : public ApiTest {
protected:
  void SetUp() override {
    if (!OffscreenPlatformAvailable()) GTEST_SKIP() << "Qt's offscreen platform plug-in is not installed";
    ApiTest::SetUp();
    OffscreenApplication();
    g_qtMessages.clear();
    g_setupAsked.clear();
    qInstallMessageHandler(RecordQtMessage);
    api::SetSetupDialog(&RecordSetup);
  }
  void TearDown() override {
    window_.reset();
    QApplication::processEvents();
    qInstallMessageHandler(nullptr);
    EXPECT_EQ(g_qtMessages, std::vector<std::string>{});
    ApiTest::TearDown();
  }

  ui::qt::MervaneWindow& Window() {
    if (!window_) {
      window_ = std::make_unique<ui::qt::MervaneWindow>(api::WindowApiTable(), nullptr);
      window_->show();
      EXPECT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
    }
    return *window_;
  }
  QTreeWidget* List() { return Window().List(); }
  // What the 500 ms timer does, then the list's layout, so that rows can be clicked.
  void Refresh() {
    Window().Model().TimerTick();
    QApplication::processEvents();
  }
  QString Label(const char* name) { return Window().findChild<QLabel*>(name)->text(); }
  QPushButton* Button(const char* name) { return Window().findChild<QPushButton*>(name); }
  QAction* MenuItem(const char* name) { return Window().Menu()->findChild<QAction*>(name); }
  // A point on the row's name (its whole width may reach beyond the visible part of the list).
  QPoint RowPoint(int row) { return QPoint(30, List()->visualItemRect(List()->topLevelItem(row)).center().y()); }
  void ClickRow(int row) { QTest::mouseClick(List()->viewport(), Qt::LeftButton, {}, RowPoint(row)); }
  void TypeDestination(const QString& text) {
    auto* edit = Window().findChild<QLineEdit*>("EbDestination");
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    QTest::keyClicks(edit, text);
  }
  // The captions and enabled states of a "Devices" entry as the menu's last opening left them.
  QStringList DeviceEntry(int entry) {
    QMenu* devices = Window().Menu()->findChild<QMenu*>("PmDev");
    QStringList shown;
    QMenu* box = devices->actions().value(entry)->menu();
    for (QAction* action : box->actions())
      if (!action->isSeparator()) shown << action->text() + (action->isEnabled() ? "+" : "-");
    return shown;
  }
  // Answers the next message box (with OK) once it is open, and keeps what it said.
  void AnswerNextMessage() {
    QTimer::singleShot(0, [this] {
      for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(widget); box != nullptr && box->isVisible()) {
          answered_.push_back(box->windowTitle() + "|" + box->text());
          box->accept();
          return;
        }
      }
      AnswerNextMessage();  // not open yet
    });
  }

  std::unique_ptr<ui::qt::MervaneWindow> window_;
  QStringList answered_;
};

// The same name on two boxes and twice on one box: every motor has its row and each row drives
// its own motor.
TEST_F(WindowCommandsTest, SameNameOnTwoBoxesMovesTheChosenMotor) {
  ASSERT_EQ(Start({kSerial, kSerial2}), 2);
  ASSERT_TRUE(RenameDevice(0, "Bench"));
  ASSERT_TRUE(RenameDevice(1, "Feeder"));
  ASSERT_EQ(AddMotor(0, 1, "X"), 0);
  ASSERT_EQ(AddMotor(1, 1, "X"), 0);
  ASSERT_EQ(AddMotor(1, 2, "X"), 1);
  Refresh();
  ASSERT_EQ(List()->topLevelItemCount(), 3);
  QStringList devices;
  for (int row = 0; row < 3; ++row) devices << List()->topLevelItem(row)->text(ui::kDevice);
  EXPECT_EQ(devices, QStringList({"Bench", "Feeder", "Feeder"}));

  ClickRow(1);  // Feeder's first X
  EXPECT_EQ(Label("LDev"), "Feeder");
  TypeDestination("3");
  QTest::mouseClick(Button("BttnMoveAbs"), Qt::LeftButton);
  EXPECT_TRUE(answered_.isEmpty());
  EXPECT_TRUE(SM_IsRunning(1, 0));
  EXPECT_FALSE(SM_IsRunning(0, 0)) << "Bench's X must stay";
  EXPECT_FALSE(SM_IsRunning(1, 1));
  ASSERT_TRUE(TickUntilIdle(1, 0));
  EXPECT_DOUBLE_EQ(SM_GetPosition(1, 0), 3.0);
  EXPECT_DOUBLE_EQ(SM_GetPosition(0, 0), 0.0);

  // The second X of Feeder: a double click asks the setup of exactly that motor.
  ClickRow(2);
  QTest::mouseDClick(List()->viewport(), Qt::LeftButton, {}, RowPoint(2));
  EXPECT_EQ(g_setupAsked, (std::vector<std::pair<std::uint32_t, int>>{{1, 1}}));
  EXPECT_EQ(Label("LAddr"), "2");
}

// Shift+Del removes the selected motor; the details then describe the row that took its place.
TEST_F(WindowCommandsTest, RemoveShowsTheNewlySelectedMotor) {
  ASSERT_EQ(Start(), 1);
  AddMotors(0, {"A", "B", "C"});
  MotorInfo c = FourWireInfo(3, "C", 250.0f);
  ASSERT_EQ(SM_Setup(0, 2, &c), 2);
  Refresh();
  ClickRow(1);
  Window().PreparePopup(RowPoint(1));  // the menu's last opening enables the motor items
  ASSERT_TRUE(MenuItem("PmRemove")->isEnabled());
  List()->setFocus();
  QTest::keyClick(List(), Qt::Key_Delete, Qt::ShiftModifier);
  ASSERT_EQ(List()->topLevelItemCount(), 2);
  EXPECT_EQ(SM_GetCount(0), 2);
  ASSERT_EQ(List()->selectedItems().size(), 1);
  EXPECT_EQ(List()->selectedItems().front()->text(ui::kName), "C");
  EXPECT_EQ(Label("LAddr"), "3");
  EXPECT_EQ(Label("LCoef"), "250");
  // The commands act on C now.
  TypeDestination("1");
  QTest::mouseClick(Button("BttnMoveAbs"), Qt::LeftButton);
  EXPECT_TRUE(SM_IsRunning(0, 1));
  EXPECT_FALSE(SM_IsRunning(0, 0));
  ASSERT_TRUE(TickUntilIdle(0, 1));
}

// Unplug a box, open the menu, plug it back: the next opening shows it connected again.
TEST_F(WindowCommandsTest, DevicesMenuFollowsUnplugAndReplug) {
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 1, "A"), 0);
  Refresh();
  Window().PreparePopup(QPoint(5, List()->viewport()->height() - 5));
  const QStringList connected = {"Open-", "Close+", "Rename...+", "Add motor...+", "Release all motors+"};
  EXPECT_EQ(DeviceEntry(0), connected);
  boxsim_unplug(kSerial);
  RunWatchdog(Device(0));
  Window().PreparePopup(QPoint(5, List()->viewport()->height() - 5));
  EXPECT_EQ(DeviceEntry(0), QStringList({"Open+", "Close-", "Rename...-", "Add motor...-", "Release all motors-"}));
  boxsim_plug("VORK-KADO", kSerial);
  for (int address = 1; address <= 7; ++address) boxsim_wire(kSerial, address, "four-wire");
  RunWatchdog(Device(0));
  ASSERT_TRUE(CheckDeviceConnection(0));
  Window().PreparePopup(QPoint(5, List()->viewport()->height() - 5));
  EXPECT_EQ(DeviceEntry(0), connected);

  // "Release all motors" of the entry switches off every connector of the box.
  MoveAndRest(0, 0, 0.05);
  ASSERT_EQ(boxsim_energised(kSerial, 1), 1);
  boxsim_clear(kSerial);
  QMenu* box = Window().Menu()->findChild<QMenu*>("PmDev")->actions().value(0)->menu();
  box->actions().constLast()->trigger();
  EXPECT_EQ(WireBytes(kSerial), ReleaseAllBytes());
  EXPECT_EQ(boxsim_energised(kSerial, 1), 0);
}

// While "Reset" waits for a running motor to stop, the window goes on: events are handled, the
// cursor is busy; afterwards it is not.
TEST_F(WindowCommandsTest, ResetWaitsWithABusyCursorAndTheWindowAlive) {
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 1, "A"), 0);
  Refresh();
  ClickRow(0);
  ASSERT_TRUE(SM_Move(0, 0, 5.0));
  TickFor(0.05);
  ASSERT_TRUE(SM_IsRunning(0, 0));
  int ticksWhileBusy = 0;
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout, [&] {
    if (QApplication::overrideCursor() != nullptr && QApplication::overrideCursor()->shape() == Qt::WaitCursor)
      ++ticksWhileBusy;
    for (int i = 0; i < 5; ++i) {
      Tick(now_);
      now_ += 0.001;
    }
  });
  ticker.start(1);
  Window().PreparePopup(RowPoint(0));
  MenuItem("PmReset")->trigger();
  ticker.stop();
  EXPECT_TRUE(answered_.isEmpty());
  EXPECT_GT(ticksWhileBusy, 0);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  EXPECT_FALSE(SM_IsRunning(0, 0));
  EXPECT_DOUBLE_EQ(SM_GetPosition(0, 0), 0.0);  // reset where it stopped
}

// Texts fit: column titles, whole box names in the list and the details, the buttons' captions.
TEST_F(WindowCommandsTest, TextsFitAndBoxNamesAreWhole) {
  ASSERT_EQ(Start({kSerial, kSerial2}), 2);
  ASSERT_EQ(AddMotor(0, 1, "A&B_long9"), 0);
  ASSERT_EQ(AddMotor(1, 1, "B"), 0);
  Refresh();
  const QFontMetrics titles(List()->header()->font());
  for (int column = 0; column < ui::kColumnCount; ++column) {
    EXPECT_GE(List()->columnWidth(column), titles.horizontalAdvance(ui::kColumnTitles[column]) + 8)
        << ui::kColumnTitles[column];
    EXPECT_GE(List()->columnWidth(column), ui::kColumnWidths[column]) << ui::kColumnTitles[column];
  }
  const QFontMetrics cells(List()->font());
  EXPECT_EQ(List()->topLevelItem(0)->text(ui::kDevice), "VORK-KADO0");
  EXPECT_EQ(List()->topLevelItem(1)->text(ui::kDevice), "VORK-KADO1");
  EXPECT_GE(List()->columnWidth(ui::kDevice), cells.horizontalAdvance("VORK-KADO1"));
  EXPECT_GE(List()->columnWidth(ui::kName), cells.horizontalAdvance("A&B_long9") + List()->iconSize().width());
  EXPECT_EQ(Label("LDev"), "VORK-KADO1");
  auto* ldev = Window().findChild<QLabel*>("LDev");
  EXPECT_GE(ldev->width(), ldev->fontMetrics().horizontalAdvance("VORK-KADO1"));
  for (const char* name : {"BttnSet", "BttnMoveAbs", "BttnMoveRel", "BttnStop", "BttnRun", "BttnStopAll"}) {
    QPushButton* button = Button(name);
    EXPECT_GE(button->width(), button->sizeHint().width()) << name;
  }
  // The rename dialog makes room for its whole title.
  ui::qt::RenameDialog rename(&Window(), api::WindowApiTable());
  rename.SetCaption("Rename VORK-KADO1");
  EXPECT_GT(rename.minimumWidth(), QFontMetrics(QApplication::font("QMdiSubWindowTitleBar")).horizontalAdvance(
                                       "Rename VORK-KADO1"));
}

// Enter in a setup field with a bad value: the message, and the dialog stays open; nothing saved.
TEST_F(WindowCommandsTest, EnterOnABadSetupValueKeepsTheDialogOpen) {
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 1, "A"), 0);
  MotorInfo start{};
  ui::qt::MotorSetupDialog dialog(api::WindowApiTable(), 0, 0, start);
  bool openAfterEnter = false;
  QTimer::singleShot(0, &dialog, [&] {
    QLineEdit* min = dialog.Field(ui::SetupField::EBMin);
    min->setFocus();
    min->selectAll();
    QTest::keyClicks(min, "abc");
    AnswerNextMessage();
    QTest::keyClick(min, Qt::Key_Return);
    openAfterEnter = dialog.isVisible();
    EXPECT_EQ(min->text(), "5");  // the field's fallback, shown for the user to see
    dialog.reject();
  });
  EXPECT_EQ(dialog.exec(), QDialog::Rejected);
  EXPECT_TRUE(openAfterEnter);
  EXPECT_EQ(answered_, QStringList({"Type error|Value must be integer!"}));
  MotorInfo info{};
  ASSERT_TRUE(SM_GetInfo(0, 0, &info));
  EXPECT_EQ(+info.minStepTime, 1);  // unchanged: the motor's own value
}

// The documentation's pictures: the window, both dialogs at their default sizes, and the window
// after an unplug and replug with the "Devices" menu open. Written only when asked for.
TEST_F(WindowCommandsTest, Screenshots) {
  std::optional<std::string> folder = platform::GetEnv("MERVANE_SCREENSHOTS");
  if (!folder || folder->empty()) GTEST_SKIP() << "set MERVANE_SCREENSHOTS to a folder to write the pictures";
  const QString to = QString::fromStdString(*folder) + "/";
  ASSERT_EQ(Start({kSerial, kSerial2}), 2);
  AddMotors(0, {"A&B_lo9ng", "Y", "Z"});
  MotorInfo block = FourWireInfo(1, "Gripper1", 200.0f);
  block.type = 0xC5;  // "X block (4wires)"
  ASSERT_EQ(SM_Setup(1, -1, &block), 0);
  ASSERT_EQ(AddMotor(1, 2, "Feeder_X"), 1);
  ASSERT_TRUE(SM_Move(0, 1, 2.5));
  TickFor(0.2);
  Refresh();
  Window().Model().UpdateRowImages();
  ClickRow(3);
  QApplication::processEvents();

  ui::qt::MotorSetupDialog setup(api::WindowApiTable(), 1, 0, MotorInfo{});
  QTimer::singleShot(50, &setup, [&] {
    EXPECT_TRUE(setup.grab().save(to + "setup_dialog.png"));
    setup.reject();
  });
  setup.exec();
  ui::qt::RenameDialog rename(&Window(), api::WindowApiTable());
  rename.SetCaption("Rename VORK-KADO1");
  QTimer::singleShot(50, &rename, [&] {
    EXPECT_TRUE(rename.grab().save(to + "rename_dialog.png"));
    rename.reject();
  });
  rename.exec();

  boxsim_unplug(kSerial);
  RunWatchdog(Device(0));
  Window().PreparePopup(RowPoint(0));
  boxsim_plug("VORK-KADO", kSerial);
  for (int address = 1; address <= 7; ++address) boxsim_wire(kSerial, address, "four-wire");
  RunWatchdog(Device(0));
  Refresh();
  Window().PreparePopup(RowPoint(0));
  QMenu* menu = Window().Menu();
  menu->popup(List()->viewport()->mapToGlobal(RowPoint(0)));
  QMenu* devices = menu->findChild<QMenu*>("PmDev");
  devices->popup(menu->mapToGlobal(menu->actionGeometry(devices->menuAction()).topRight()));
  QMenu* box = devices->actions().value(0)->menu();
  box->popup(devices->mapToGlobal(devices->actionGeometry(box->menuAction()).topRight()));
  QTest::qWait(200);
  QScreen* screen = Window().screen();
  QRect area = Window().frameGeometry().united(box->geometry()).united(devices->geometry());
  EXPECT_TRUE(screen->grabWindow(0, area.x(), area.y(), area.width(), area.height()).save(to + "window_replug_menu.png"));
  box->close();
  devices->close();
  menu->close();
}

}  // namespace
}  // namespace mervane::testing
