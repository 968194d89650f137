// The control window's real widgets on Qt's offscreen platform, against emulated boxes with
// manual timing: "Move abs" moves a motor, the context menu's states, and the setup dialog
// writing the record that SM_GetInfo returns afterwards.
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QTreeWidget>

#include "api_fixture.h"
#include "ui/qt/mervane_window.h"
#include "ui/qt/motor_setup_dialog.h"
#include "window_support.h"

namespace mervane::testing {
namespace {

class WindowWidgetsTest : public ApiTest {
protected:
  void SetUp() override {
    if (!OffscreenPlatformAvailable()) GTEST_SKIP() << "Qt's offscreen platform plug-in is not installed";
    ApiTest::SetUp();
    OffscreenApplication();
  }
  QAction* MenuItem(ui::qt::MervaneWindow& window, const char* name) {
    return window.Menu()->findChild<QAction*>(name);
  }
};

TEST_F(WindowWidgetsTest, MoveAbsMovesTheSelectedMotor) {
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 1, "X"), 0);
  ui::qt::MervaneWindow window(api::WindowApiTable(), nullptr);
  window.show();
  QTreeWidget* list = window.findChild<QTreeWidget*>("LvMotorList");
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->topLevelItemCount(), 0);
  window.Model().TimerTick();  // what the 500 ms timer does
  ASSERT_EQ(list->topLevelItemCount(), 1);
  EXPECT_EQ(list->topLevelItem(0)->text(ui::kType), "X (4wires)");
  EXPECT_EQ(list->headerItem()->text(ui::kMinStepTime), "Min step time");

  window.findChild<QLineEdit*>("EbDestination")->setText("3");
  window.findChild<QPushButton*>("BttnMoveAbs")->click();
  EXPECT_TRUE(SM_IsRunning(0, 0));
  EXPECT_EQ(list->topLevelItem(0)->text(ui::kDestination), "3");
  ASSERT_TRUE(TickUntilIdle(0, 0));
  EXPECT_DOUBLE_EQ(SM_GetPosition(0, 0), 3.0);
  window.Model().TimerTick();
  EXPECT_EQ(list->topLevelItem(0)->text(ui::kPosition), "3");
  EXPECT_EQ(window.findChild<QLabel*>("LPos")->text(), "3");
}

TEST_F(WindowWidgetsTest, ContextMenuEnablesItemsByWhatWasClicked) {
  ASSERT_EQ(Start(), 1);
  MotorInfo block = FourWireInfo(1, "B");
  block.type = 0x41;  // "X block (2wires)"
  ASSERT_EQ(SM_Setup(0, -1, &block), 0);
  ASSERT_EQ(AddMotor(0, 2, "P"), 1);
  ui::qt::MervaneWindow window(api::WindowApiTable(), nullptr);
  window.show();
  window.Model().TimerTick();
  QTreeWidget* list = window.List();
  for (const char* name : {"PmSetup", "PmInitialize", "PmZero", "PmReset", "PmRelease", "PmRemove"})
    EXPECT_FALSE(MenuItem(window, name)->isEnabled()) << name;  // until the menu first opens

  window.PreparePopup(list->visualItemRect(list->topLevelItem(0)).center());
  for (const char* name : {"PmSetup", "PmInitialize", "PmZero", "PmReset", "PmRelease", "PmRemove"})
    EXPECT_TRUE(MenuItem(window, name)->isEnabled()) << name;
  window.PreparePopup(list->visualItemRect(list->topLevelItem(1)).center());
  EXPECT_FALSE(MenuItem(window, "PmInitialize")->isEnabled());
  EXPECT_TRUE(MenuItem(window, "PmRemove")->isEnabled());
  window.PreparePopup(QPoint(5, list->viewport()->height() - 5));
  for (const char* name : {"PmSetup", "PmInitialize", "PmZero", "PmReset", "PmRelease", "PmRemove"})
    EXPECT_FALSE(MenuItem(window, name)->isEnabled()) << name;
  EXPECT_EQ(MenuItem(window, "PmRemove")->shortcut(), QKeySequence(Qt::SHIFT | Qt::Key_Delete));

  // The "Devices" submenu: one entry per box, its commands enabled by its connection.
  QMenu* devices = window.Menu()->findChild<QMenu*>("PmDev");
  ASSERT_EQ(devices->actions().size(), 1);
  QMenu* box = devices->actions()[0]->menu();
  ASSERT_NE(box, nullptr);
  QStringList shown;
  for (QAction* action : box->actions())
    if (!action->isSeparator()) shown << action->text() + (action->isEnabled() ? "+" : "-");
  EXPECT_EQ(shown, QStringList({"Open-", "Close+", "Rename...+", "Add motor...+", "Release all motors+"}));
}

TEST_F(WindowWidgetsTest, SetupDialogWritesTheRecordThatGetInfoReturns) {
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 2, "OTHER"), 0);
  MotorInfo start{};
  ui::qt::MotorSetupDialog dialog(api::WindowApiTable(), 0, -1, start);
  EXPECT_EQ(static_cast<QWidget*>(DlgMotorSetup), &dialog);
  QTimer::singleShot(0, &dialog, [&] {
    EXPECT_FALSE(dialog.findChild<QRadioButton*>("Rb2")->isEnabled());  // OTHER's address
    EXPECT_EQ(dialog.findChild<QRadioButton*>("Rb2")->toolTip(), "OTHER");
    EXPECT_TRUE(dialog.findChild<QRadioButton*>("RbU")->isChecked());
    dialog.Field(ui::SetupField::EBName)->setText("AXIS");
    dialog.findChild<QComboBox*>("CBTyp")->setCurrentText("R (4wires)");
    EXPECT_EQ(dialog.findChild<QLabel*>("LbCoeff")->text(), "step/deg");
    dialog.Field(ui::SetupField::EBCoef)->setText("10");
    dialog.Field(ui::SetupField::EBLen)->setText("360");
    dialog.Field(ui::SetupField::EBMin)->setText("3");
    dialog.findChild<QRadioButton*>("Rb4")->click();
    dialog.findChild<QPushButton*>("Button1")->click();
  });
  ASSERT_EQ(dialog.exec(), QDialog::Accepted);
  MotorInfo edited = dialog.Model().Record();
  ASSERT_EQ(SM_Setup(0, -1, &edited), 1);
  MotorInfo info{};
  ASSERT_TRUE(SM_GetInfo(0, 1, &info));
  EXPECT_STREQ(info.name, "AXIS");
  EXPECT_EQ(+info.type, 0x88);
  EXPECT_EQ(+info.address, 4);
  EXPECT_FLOAT_EQ(+info.coefficient, 10.0f);
  EXPECT_EQ(+info.length, 3600);
  EXPECT_EQ(+info.minStepTime, 3);
  EXPECT_EQ(+info.maxStepTime, 50);
  EXPECT_EQ(+info.acceleration, 20);
}

}  // namespace
}  // namespace mervane::testing
