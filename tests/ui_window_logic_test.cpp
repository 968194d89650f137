// The control window's logic without a toolkit: refresh rules of the motor list, the commands'
// messages, the context menu, the rename flow and the motor setup dialog, against emulated boxes
// through the real exports and recording views.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <tuple>

#include "api_fixture.h"
#include "ui/motor_list.h"
#include "ui/motor_setup.h"

namespace mervane::testing {
namespace {

using ui::Column;
using ui::Detail;
using Shown = std::tuple<std::string, std::string, ui::Icon>;  // text, caption, icon

class FakeListView : public ui::MotorListView {
public:
  void InsertRow(int at) override { rows.insert(rows.begin() + at, std::vector<std::string>(ui::kColumnCount)); }
  void DeleteRow(int row) override {
    rows.erase(rows.begin() + row);
    if (selected == row) selected = -1;
    else if (selected > row) --selected;
  }
  void SetText(int row, int column, const std::string& text) override {
    rows[row][column] = text;
    ++writes;
  }
  void SetLamp(int, int) override {}
  int SelectedRow() const override { return selected; }
  void SelectRow(int row) override { selected = row; }
  void SetDetail(Detail label, const std::string& text) override { details[label] = text; }
  std::string Destination() const override { return destination; }
  void SetDestination(const std::string& text) override { destination = text; }
  void Message(const std::string& text, const std::string& caption, ui::Icon icon) override {
    messages.emplace_back(text, caption, icon);
  }
  bool AskRename(const std::string& caption, std::string& name) override {
    renameCaption = caption;
    name = renameAnswer;
    return renameOk;
  }
  // The window's wait: each poll lets 1 ms of the tick's time pass (`tick`), as the window's
  // own loop keeps refreshing meanwhile.
  bool WaitUntil(const std::function<bool()>& done, double seconds) override {
    ++waits;
    for (double waited = 0; waited < seconds; waited += 0.001) {
      if (done()) return true;
      if (tick) tick();
    }
    return done();
  }

  std::vector<std::vector<std::string>> rows;
  int selected = -1;
  int writes = 0;
  std::map<Detail, std::string> details;
  std::string destination;
  std::vector<Shown> messages;
  std::string renameCaption;
  std::string renameAnswer;
  bool renameOk = false;
  int waits = 0;
  std::function<void()> tick;
};

// The scripted answer of the setup dialog hook (SM_Setup without a record).
struct DialogAnswer {
  static inline bool ok = false;
  static inline MotorInfo record{};
  static inline std::vector<std::pair<std::uint32_t, int>> called;
  static bool Show(std::uint32_t device, int channel, MotorRecord& edited) {
    called.emplace_back(device, channel);
    if (ok) std::memcpy(&edited, &record, sizeof edited);
    return ok;
  }
};

class WindowLogicTest : public ApiTest {
protected:
  void SetUp() override {
    ApiTest::SetUp();
    api::SetSetupDialog(&DialogAnswer::Show);
  }
  // The menu commands that need a selected row, by name.
  void Run(const std::string& command) {
    static const std::map<std::string, void (ui::MotorListModel::*)()> commands = {
        {"Set target", &ui::MotorListModel::SetTargetClick}, {"Stop", &ui::MotorListModel::StopClick},
        {"Setup", &ui::MotorListModel::SetupClick},          {"Initialize", &ui::MotorListModel::InitializeClick},
        {"Set zero", &ui::MotorListModel::SetZeroClick},     {"Reset", &ui::MotorListModel::ResetClick},
        {"Remove", &ui::MotorListModel::RemoveClick},        {"Release", &ui::MotorListModel::ReleaseClick}};
    if (command == "Move abs") return model.MoveClick(false);
    if (command == "Zero") return model.ZeroClick(true);
    (model.*commands.at(command))();
  }
  Shown LastMessage() const { return view.messages.empty() ? Shown{} : view.messages.back(); }

  FakeListView view;
  ui::MotorListModel model{api::WindowApiTable(), view};
};

TEST_F(WindowLogicTest, RowsAppearAtTheFirstRefreshAndTheLastCreatedEndsSelected) {
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 1, "X", 200.0f), 0);
  MotorInfo unplugged = FourWireInfo(0, "U0", 1e7f);
  ASSERT_EQ(SM_Setup(0, -1, &unplugged), 1);
  ASSERT_TRUE(SM_SetDestination(0, 1, 0.1234567));
  ASSERT_TRUE(RenameDevice(0, "BENCH"));
  EXPECT_EQ(view.destination, "0");  // cleared details at construction
  EXPECT_TRUE(view.rows.empty());

  model.TimerTick();
  ASSERT_EQ(view.rows.size(), 2u);
  EXPECT_EQ(view.rows[0], (std::vector<std::string>{"X", "BENCH", "1", "X (4wires)", "0", "0", "5", "200", "0", "5",
                                                     "1", "5", "Off", "Off"}));
  EXPECT_EQ(view.rows[1][Column::kAddress], "Unplugged");
  EXPECT_EQ(view.rows[1][Column::kDestination], "0.123457");
  EXPECT_EQ(model.Key(1), kSerial);
  EXPECT_EQ(model.Channel(1), 1u);
  // The last row created is selected and the details describe its motor.
  EXPECT_EQ(view.selected, 1);
  EXPECT_EQ(view.destination, "0");  // the position, not the destination
  EXPECT_EQ(view.details[Detail::LPos], "0");
  EXPECT_EQ(view.details[Detail::LPosReal], "0");
  EXPECT_EQ(view.details[Detail::LDev], "BENCH");
  EXPECT_EQ(view.details[Detail::LAddr], "Unplugged");
  EXPECT_EQ(model.LampOf(0), ui::kGreen);

  // An idle list writes nothing; a user selection copies the row into the details.
  view.writes = 0;
  model.TimerTick();
  EXPECT_EQ(view.writes, 0);
  view.selected = 0;
  model.RowSelected(0);
  EXPECT_EQ(view.details[Detail::LAddr], "1");
  EXPECT_EQ(view.details[Detail::LCoef], "200");
  // The selected row's details follow its motor's settings.
  ASSERT_TRUE(RenameDevice(0, "BENCH-2"));
  model.TimerTick();
  EXPECT_EQ(view.details[Detail::LDev], "BENCH-2");
}

// The same name twice on one box and once on another: three rows, each acting on its own motor.
TEST_F(WindowLogicTest, EveryMotorHasItsOwnRowByBoxAndChannel) {
  ASSERT_EQ(Start({kSerial, kSerial2}), 2);
  ASSERT_TRUE(RenameDevice(0, "Bench"));
  ASSERT_TRUE(RenameDevice(1, "Feeder"));
  ASSERT_EQ(AddMotor(0, 1, "X"), 0);
  ASSERT_EQ(AddMotor(1, 1, "X"), 0);
  ASSERT_EQ(AddMotor(1, 2, "X"), 1);
  model.TimerTick();
  ASSERT_EQ(model.RowCount(), 3);
  EXPECT_EQ(view.rows[1][Column::kDevice], "Feeder");
  EXPECT_EQ(view.rows[2][Column::kAddress], "2");
  EXPECT_EQ(model.FindMotorRow(kSerial2, 1), 2);
  EXPECT_EQ(model.FindMotorRow(kSerial2, 2), -1);

  // Feeder's second X moves; Bench's X and Feeder's first X stay.
  view.selected = 2;
  view.destination = "3";
  model.MoveClick(false);
  EXPECT_TRUE(view.messages.empty());
  EXPECT_TRUE(SM_IsRunning(1, 1));
  EXPECT_FALSE(SM_IsRunning(0, 0));
  EXPECT_FALSE(SM_IsRunning(1, 0));
  EXPECT_EQ(model.Text(2, Column::kDestination), "3");
  ASSERT_TRUE(TickUntilIdle(1, 1));
  EXPECT_DOUBLE_EQ(SM_GetPosition(1, 1), 3.0);
  EXPECT_DOUBLE_EQ(SM_GetPosition(0, 0), 0.0);
  // "Move rel" goes on from that destination, on the same motor.
  view.destination = "1.5";
  model.MoveClick(true);
  EXPECT_DOUBLE_EQ(SM_GetTarget(1, 1), 4.5);
  EXPECT_DOUBLE_EQ(SM_GetTarget(0, 0), 0.0);
  ASSERT_TRUE(TickUntilIdle(1, 1));

  // "Setup" opens the dialog for Feeder's second X.
  DialogAnswer::ok = true;
  DialogAnswer::record = FourWireInfo(5, "Y");
  DialogAnswer::called.clear();
  model.SetupClick();
  EXPECT_EQ(DialogAnswer::called, (std::vector<std::pair<std::uint32_t, int>>{{1, 1}}));
  EXPECT_EQ(model.Text(2, Column::kName), "Y");  // at once, in place
  EXPECT_EQ(view.details[Detail::LAddr], "5");
  MotorInfo info{};
  ASSERT_TRUE(SM_GetInfo(0, 0, &info));
  EXPECT_STREQ(info.name, "X");

  // A motor renamed outside the window keeps its row.
  MotorInfo renamed = FourWireInfo(1, "X2");
  ASSERT_EQ(SM_Setup(0, 0, &renamed), 0);
  model.TimerTick();
  ASSERT_EQ(model.RowCount(), 3);
  EXPECT_EQ(model.Text(0, Column::kName), "X2");
  EXPECT_EQ(model.LampOf(0), ui::kGreen);

  // An unplugged box keeps its rows, red, with their texts.
  boxsim_unplug(kSerial);
  RunWatchdog(Device(0));
  ASSERT_FALSE(CheckDeviceConnection(0));
  model.TimerTick();
  EXPECT_EQ(model.LampOf(0), ui::kRed);
  EXPECT_EQ(model.Text(0, Column::kType), "X (4wires)");
  EXPECT_EQ(model.LampOf(2), ui::kGreen);
}

// "Remove" deletes the row, the details show the row that takes its place, and the rows behind
// follow their motors down one channel.
TEST_F(WindowLogicTest, RemoveShowsTheNextMotorAndKeepsRowsOnTheirMotors) {
  ASSERT_EQ(Start(), 1);
  AddMotors(0, {"A", "B", "C"});
  ASSERT_TRUE(SM_SetDestination(0, 2, 7.0));
  model.TimerTick();
  view.selected = 1;
  model.RowSelected(1);
  EXPECT_EQ(view.details[Detail::LAddr], "2");
  model.RemoveClick();
  EXPECT_TRUE(view.messages.empty());
  ASSERT_EQ(model.RowCount(), 2);
  EXPECT_EQ(view.selected, 1);
  EXPECT_EQ(model.Text(1, Column::kName), "C");
  EXPECT_EQ(model.Channel(1), 1u);
  EXPECT_EQ(view.details[Detail::LAddr], "3");  // C's, not B's
  view.destination = "2";
  model.MoveClick(false);
  EXPECT_TRUE(SM_IsRunning(0, 1));
  ASSERT_TRUE(TickUntilIdle(0, 1));
  model.TimerTick();
  EXPECT_EQ(model.RowCount(), 2);  // no row came back, none twice
  EXPECT_EQ(model.Text(1, Column::kPosition), "2");

  // The last row removed: the one before is selected; the list emptied: nothing is shown.
  model.RemoveClick();
  EXPECT_EQ(view.selected, 0);
  EXPECT_EQ(view.details[Detail::LAddr], "1");
  model.RemoveClick();
  EXPECT_EQ(model.RowCount(), 0);
  EXPECT_EQ(view.details[Detail::LAddr], "");
  EXPECT_EQ(view.details[Detail::LDev], "");
  EXPECT_EQ(SM_GetCount(0), 0);
}

TEST_F(WindowLogicTest, SetupCancelledOrRefusedLeavesTheRowAlone) {
  ASSERT_EQ(Start(), 1);
  AddMotors(0, {"A", "B"});
  model.TimerTick();
  DialogAnswer::ok = false;
  view.selected = 0;
  model.SetupClick();
  EXPECT_EQ(model.RowCount(), 2);
  EXPECT_EQ(model.Text(0, Column::kName), "A");
  EXPECT_TRUE(view.messages.empty());  // the user cancelled: nothing to say
  EXPECT_EQ(model.RowKeyCount(), 2u);
}

struct CommandCase {
  const char* name;
  const char* command;
  const char* text;
  const char* caption;
};

// Each command's message: without a selection, on a red row, and when the motor is gone.
TEST_F(WindowLogicTest, CommandMessagesAreExact) {
  const CommandCase noSelection[] = {
      {"", "Set target", "You must select motor from the list!", "Error"},
      {"", "Move abs", "You must select motor from the list!", "Error"},
      {"", "Stop", "You must select motor from the list!", "Error"},
      {"", "Zero", "You must select motor from the list!", "Error"},
      {"", "Setup", "You must select motor from the list!", "Isn't selected item"},
      {"", "Initialize", "You must select motor from the list!", "Error"},
      {"", "Remove", "You must select motor from the list!", "Error"},
      {"", "Release", "You must select motor from the list!", "Error"},
  };
  const CommandCase unplugged[] = {
      {"", "Set target", "Can't set destination for motor M!\nDevice is unpluged", "Error"},
      {"", "Move abs", "Can't move with motor M!\nDevice is unpluged", "Error"},
      {"", "Stop", "Can't stop motor M!\nDevice is unpluged", "Error"},
      {"", "Zero", "Can't reset motor M!\nDevice is unpluged", "Error"},
  };
  const CommandCase gone[] = {
      {"", "Set target", "Can't set destination for motor M!", "Error"},
      {"", "Move abs", "Can't move with motor M!", "Error"},
      {"", "Stop", "Can't stop motor M!", "Error"},
      {"", "Zero", "Can't reset motor M!\nMotor is not found", "Error"},
      {"", "Release", "Can't release selected motor!\nMotor is not found", "Error"},
      {"", "Remove", "Can't remove selected motor!\nMotor is not found", "Error"},
      {"", "Initialize", "Can't initialize motor!\nMotor is not found", "Error"},
      {"", "Set zero", "Can't reset motor M!\nMotor is not found", "Error"},
      {"", "Reset", "Can't reset motor M!\nMotor is not found", "Error"},
      {"", "Setup", "Can't setup motor M!\nMotor is not found", "Isn't selected item"},
  };
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 1, "M"), 0);
  model.TimerTick();
  for (const CommandCase& c : noSelection) {
    view.selected = -1;
    Run(c.command);
    EXPECT_EQ(LastMessage(), Shown(c.text, c.caption, ui::Icon::Error)) << c.command;
  }
  // The motor goes while its row still shows green.
  ASSERT_TRUE(SM_Remove(0, 0));
  for (const CommandCase& c : gone) {
    view.selected = 0;
    view.destination = "1";
    Run(c.command);
    EXPECT_EQ(LastMessage(), Shown(c.text, c.caption, ui::Icon::Error)) << c.command;
  }
  // Nothing was done to the row: it stays until its motor comes back.
  EXPECT_EQ(model.RowCount(), 1);
  model.UpdateRowImages();
  ASSERT_EQ(model.LampOf(0), ui::kRed);
  for (const CommandCase& c : unplugged) {
    view.selected = 0;
    Run(c.command);
    EXPECT_EQ(LastMessage(), Shown(c.text, c.caption, ui::Icon::Error)) << c.command;
  }
}

TEST_F(WindowLogicTest, MovesSetTargetsAndCheckTheDestinationBox) {
  ASSERT_EQ(Start({kSerial, kSerial2}), 2);
  ASSERT_EQ(AddMotor(0, 1, "M"), 0);
  ASSERT_EQ(AddMotor(1, 1, "M"), 0);
  ASSERT_EQ(AddMotor(1, 2, "N"), 1);
  model.TimerTick();
  // A row of the second box moves the second box's motor of that name.
  view.selected = 1;
  view.destination = "2.5";
  model.MoveClick(false);
  EXPECT_TRUE(SM_IsRunning(1, 0));
  EXPECT_FALSE(SM_IsRunning(0, 0));
  EXPECT_EQ(model.LampOf(1), ui::kYellow);
  EXPECT_EQ(model.Text(1, Column::kDestination), "2.5");
  // Empty box: "Move rel" by 0 keeps the destination.
  view.destination = "";
  model.MoveClick(true);
  EXPECT_DOUBLE_EQ(SM_GetTarget(1, 0), 2.5);

  // "Set target" takes the whole text; a text that is no number ends the command.
  view.selected = 2;
  view.destination = "7.25";
  model.SetTargetClick();
  EXPECT_DOUBLE_EQ(SM_GetTarget(1, 1), 7.25);
  EXPECT_EQ(model.Text(2, Column::kDestination), "7.25");
  view.destination = "7x";
  model.SetTargetClick();
  EXPECT_EQ(LastMessage(), Shown("'7x' is not a valid floating point value", "Error", ui::Icon::Error));
  EXPECT_DOUBLE_EQ(SM_GetTarget(1, 1), 7.25);

  // Typing: a text that holds no number loses its last character until it does.
  view.messages.clear();
  view.destination = "-";
  model.DestinationChanged();
  EXPECT_EQ(view.destination, "");
  view.destination = "ab";
  model.DestinationChanged();
  EXPECT_EQ(view.destination, "");
  EXPECT_EQ(view.messages.size(), 3u);
  EXPECT_EQ(LastMessage(), Shown("Value must be number!", "Type error", ui::Icon::Error));
  view.destination = "12abc";
  model.DestinationChanged();
  EXPECT_EQ(view.destination, "12abc");
}

TEST_F(WindowLogicTest, ContextMenuStatesAndDeviceCommands) {
  ASSERT_EQ(Start({kSerial, kSerial2}), 2);
  ASSERT_EQ(AddMotor(0, 1, "M"), 0);
  MotorInfo block = FourWireInfo(2, "B");
  block.type = 0xC5;  // "X block (4wires)"
  ASSERT_EQ(SM_Setup(0, -1, &block), 1);
  model.TimerTick();
  const ui::MotorMenuState& menu = model.Menu();
  EXPECT_FALSE(menu.setup || menu.initialize || menu.zero || menu.reset || menu.release || menu.remove);
  model.MenuPopup(ui::Hit::Row, 1);
  EXPECT_TRUE(menu.setup && menu.initialize && menu.zero && menu.reset && menu.release && menu.remove);
  model.MenuPopup(ui::Hit::Row, 0);
  EXPECT_FALSE(menu.initialize);
  EXPECT_TRUE(menu.remove);
  model.MenuPopup(ui::Hit::Other, -1);
  EXPECT_TRUE(menu.remove);
  model.MenuPopup(ui::Hit::Empty, -1);
  EXPECT_FALSE(menu.setup || menu.initialize || menu.zero || menu.reset || menu.release || menu.remove);

  ASSERT_EQ(model.DeviceMenu().size(), 2u);
  EXPECT_EQ(model.DeviceMenu()[0].serial, kSerial);
  EXPECT_EQ(model.DeviceMenu()[0].enabled, (std::array<bool, 5>{false, true, true, true, true}));
  // "Close" and "Open" act by serial.
  model.DeviceMenuClick(1, ui::kClose);
  EXPECT_FALSE(CheckDeviceConnection(1));
  model.DeviceMenuClick(1, ui::kOpen);
  EXPECT_TRUE(CheckDeviceConnection(1));
  // Every opening shows the box's present connection: unplugged, then back.
  boxsim_unplug(kSerial2);
  RunWatchdog(Device(1));
  model.MenuPopup(ui::Hit::Empty, -1);
  EXPECT_EQ(model.DeviceMenu()[1].enabled, (std::array<bool, 5>{true, false, false, false, false}));
  EXPECT_EQ(model.DeviceMenu()[0].enabled, (std::array<bool, 5>{false, true, true, true, true}));
  boxsim_plug("VORK-KADO", kSerial2);
  RunWatchdog(Device(1));
  EXPECT_TRUE(CheckDeviceConnection(1));
  model.MenuPopup(ui::Hit::Other, -1);
  EXPECT_EQ(model.DeviceMenu()[1].enabled, (std::array<bool, 5>{false, true, true, true, true}));

  // "Add motor..." asks the dialog for a new slot; the row comes with the next refresh.
  DialogAnswer::ok = true;
  DialogAnswer::record = FourWireInfo(3, "NEW");
  model.DeviceMenuClick(0, ui::kAddMotor);
  EXPECT_EQ(SM_GetCount(0), 3);
  model.TimerTick();
  EXPECT_EQ(model.Text(model.RowCount() - 1, Column::kName), "NEW");
}

// "Release all motors" switches off all seven connectors of its box, and no other box's.
TEST_F(WindowLogicTest, ReleaseAllMotorsReleasesEveryChannelOfItsBox) {
  ASSERT_EQ(Start({kSerial, kSerial2}), 2);
  AddMotors(0, {"A", "B", "C"});
  ASSERT_EQ(AddMotor(1, 1, "D"), 0);
  for (std::uint32_t c = 0; c < 3; ++c) MoveAndRest(0, c, 0.05);
  MoveAndRest(1, 0, 0.05);
  for (int address = 1; address <= 3; ++address) ASSERT_EQ(boxsim_energised(kSerial, address), 1) << address;
  model.MenuPopup(ui::Hit::Empty, -1);
  boxsim_clear(kSerial);
  model.DeviceMenuClick(0, ui::kReleaseAllMotors);
  EXPECT_TRUE(view.messages.empty());
  for (int address = 1; address <= 3; ++address) EXPECT_EQ(boxsim_energised(kSerial, address), 0) << address;
  EXPECT_EQ(WireBytes(kSerial), ReleaseAllBytes());
  EXPECT_EQ(boxsim_energised(kSerial2, 1), 1);
}

// Commands that wait for a motor to stop let the window go on meanwhile and then act.
TEST_F(WindowLogicTest, ResetAndReleaseWaitThroughTheWindowForARunningMotor) {
  ASSERT_EQ(Start(), 1);
  AddMotors(0, {"A", "B"});
  model.TimerTick();
  view.tick = [this] {
    Tick(now_);
    now_ += 0.001;
  };
  struct Case {
    const char* command;
    void (ui::MotorListModel::*run)();
  };
  for (const Case& c : {Case{"Reset", &ui::MotorListModel::ResetClick}, Case{"Release", &ui::MotorListModel::ReleaseClick}}) {
    ASSERT_TRUE(SM_Move(0, 1, 5.0));
    TickFor(0.05);
    ASSERT_TRUE(SM_IsRunning(0, 1));
    view.selected = 1;
    view.waits = 0;
    (model.*c.run)();
    EXPECT_EQ(view.waits, 1) << c.command;
    EXPECT_TRUE(view.messages.empty()) << c.command;
    EXPECT_FALSE(SM_IsRunning(0, 1)) << c.command;
    EXPECT_FALSE(SM_IsRunning(0, 0)) << c.command;
  }
  EXPECT_EQ(boxsim_energised(kSerial, 2), 0);
  // A motor that does not come to rest in time: the command reports it and changes nothing.
  view.tick = nullptr;
  ASSERT_TRUE(SM_Move(0, 0, 5.0));
  TickFor(0.05);
  double before = SM_GetPosition(0, 0);
  view.selected = 0;
  model.SetZeroClick();
  EXPECT_EQ(LastMessage(), Shown("Attempt to reset running motor failed.\rStop the motor before reset please.",
                                 "Can't reset", ui::Icon::None));
  EXPECT_DOUBLE_EQ(SM_GetPosition(0, 0), before);
  EXPECT_DOUBLE_EQ(SM_GetZero(0, 0), 0.0);
}

// Whole box names everywhere, also two boxes of one model with their default names.
TEST_F(WindowLogicTest, BoxNamesAreShownWhole) {
  ASSERT_EQ(Start({kSerial, kSerial2}), 2);
  ASSERT_EQ(AddMotor(0, 1, "A"), 0);
  ASSERT_EQ(AddMotor(1, 1, "B"), 0);
  model.TimerTick();
  EXPECT_EQ(model.Text(0, Column::kDevice), "VORK-KADO0");
  EXPECT_EQ(model.Text(1, Column::kDevice), "VORK-KADO1");
  EXPECT_EQ(view.details[Detail::LDev], "VORK-KADO1");
  model.MenuPopup(ui::Hit::Empty, -1);
  ASSERT_EQ(model.DeviceMenu().size(), 2u);
  EXPECT_EQ(model.DeviceMenu()[0].caption, "VORK-KADO0");
  EXPECT_EQ(model.DeviceMenu()[1].caption, "VORK-KADO1");
  model.DeviceMenuClick(1, ui::kRename);
  EXPECT_EQ(view.renameCaption, "Rename VORK-KADO1");

  // "Run All" that cannot start a box says which one, by its whole name.
  ASSERT_TRUE(SM_SetDestination(1, 0, 2.0));
  boxsim_unplug(kSerial2);
  RunWatchdog(Device(1));
  ASSERT_FALSE(CheckDeviceConnection(1));
  model.RunAllClick();
  EXPECT_EQ(view.messages, (std::vector<Shown>{{"Can't move with motors on device VORK-KADO1", "Error", ui::Icon::Error}}));
  EXPECT_FALSE(SM_IsRunning(1, 0));
}

TEST_F(WindowLogicTest, RenameAsksWithTheEntryCaptionAndRenamesOnlyOnOk) {
  ASSERT_EQ(Start(), 1);
  ASSERT_TRUE(RenameDevice(0, "OLD"));
  model.MenuPopup(ui::Hit::Empty, -1);
  view.renameAnswer = "NEWNAME";
  model.DeviceMenuClick(0, ui::kRename);
  EXPECT_EQ(view.renameCaption, "Rename OLD");
  char name[16] = {};
  ASSERT_TRUE(GetDeviceName(0, name, sizeof name));
  EXPECT_STREQ(name, "OLD");
  view.renameOk = true;
  model.DeviceMenuClick(0, ui::kRename);
  ASSERT_TRUE(GetDeviceName(0, name, sizeof name));
  EXPECT_STREQ(name, "NEWNAME");
  view.renameAnswer = "";
  model.DeviceMenuClick(0, ui::kRename);
  ASSERT_TRUE(GetDeviceName(0, name, sizeof name));
  EXPECT_STREQ(name, "");
}

// ---- Motor setup dialog -------------------------------------------------------------------------

class FakeSetupView : public ui::MotorSetupView {
public:
  FakeSetupView() {
    text = {{ui::SetupField::EBName, ""},   {ui::SetupField::EBCoef, "1"}, {ui::SetupField::EBOffset, "0"},
            {ui::SetupField::EBLen, "5"},   {ui::SetupField::EBAccel, "20"}, {ui::SetupField::EBMin, "5"},
            {ui::SetupField::EBMax, "50"}};
    enabled.fill(true);
  }
  std::string Text(ui::SetupField field) const override { return text.at(field); }
  void SetText(ui::SetupField field, const std::string& value) override { text[field] = value; }
  void SetTypeNames(const std::vector<std::string>& names) override { types = names; }
  int TypeIndex() const override { return type; }
  void SetTypeIndex(int index) override { type = index; }
  void SetAddressEnabled(int column, bool on) override { enabled[column] = on; }
  void SetAddressHint(int column, const std::string& hint) override { hints[column] = hint; }
  void CheckAddress(int column) override { checked = column; }
  int CheckedAddress() const override { return checked; }
  bool FlagChecked(ui::SetupFlag flag) const override { return flags.at(flag); }
  void SetFlagChecked(ui::SetupFlag flag, bool on) override { flags[flag] = on; }
  void SetFlagEnabled(ui::SetupFlag flag, bool on) override { flagEnabled[flag] = on; }
  void SetUnits(const std::string& c, const std::string& s, const std::string& l) override { units = c + "," + s + "," + l; }
  void Message(const std::string& t, const std::string& caption, ui::Icon icon) override { messages.emplace_back(t, caption, icon); }

  std::map<ui::SetupField, std::string> text;
  std::vector<std::string> types;
  int type = -1;
  std::array<bool, ui::kAddressColumns> enabled{};
  std::map<int, std::string> hints;
  int checked = -1;
  std::map<ui::SetupFlag, bool> flags{{ui::SetupFlag::ChSteps, false}, {ui::SetupFlag::ChFix, false}};
  std::map<ui::SetupFlag, bool> flagEnabled;
  std::string units;
  std::vector<Shown> messages;
};

class SetupLogicTest : public ApiTest {
protected:
  FakeSetupView view;
};

TEST_F(SetupLogicTest, ShowFillsTheFieldsAndMarksOccupiedAddresses) {
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 3, "EDITED", 200.0f), 0);
  ASSERT_EQ(AddMotor(0, 5, "OTHER"), 1);
  MotorInfo negative = FourWireInfo(0, "U0");
  negative.acceleration = static_cast<std::int8_t>(200);
  ASSERT_EQ(SM_Setup(0, -1, &negative), 2);

  ui::MotorSetupModel edit(api::WindowApiTable(), view, 0, 0);
  edit.FormShow();
  EXPECT_EQ(view.types.size(), 25u);
  EXPECT_FALSE(view.enabled[4]);
  EXPECT_EQ(view.hints[4], "OTHER");
  EXPECT_TRUE(view.enabled[2]);
  EXPECT_EQ(view.checked, 2);
  EXPECT_EQ(view.text[ui::SetupField::EBName], "EDITED");
  EXPECT_EQ(view.text[ui::SetupField::EBCoef], "200");
  EXPECT_EQ(view.text[ui::SetupField::EBLen], "5");  // 1000 steps / 200
  EXPECT_EQ(view.types[static_cast<std::size_t>(view.type)], "X (4wires)");
  EXPECT_EQ(view.units, "step/mm,mm,mm");
  EXPECT_TRUE(view.flagEnabled[ui::SetupFlag::ChSteps]);

  FakeSetupView third;
  ui::MotorSetupModel unplugged(api::WindowApiTable(), third, 0, 2);
  unplugged.FormShow();
  EXPECT_EQ(third.checked, ui::kUnpluggedColumn);
  EXPECT_EQ(third.text[ui::SetupField::EBAccel], "-56");

  // A new motor starts on "U"; a motor that cannot be read says so.
  FakeSetupView fresh;
  ui::MotorSetupModel add(api::WindowApiTable(), fresh, 0, -1);
  add.FormShow();
  EXPECT_EQ(fresh.checked, ui::kUnpluggedColumn);
  FakeSetupView missing;
  ui::MotorSetupModel none(api::WindowApiTable(), missing, 0, 6);
  none.FormShow();
  EXPECT_EQ(missing.messages, (std::vector<Shown>{{"Can't load motor info!", "Error", ui::Icon::Error}}));
}

TEST_F(SetupLogicTest, TypeChoiceSetsFlagsAndUnits) {
  const ui::WindowApi& api = api::WindowApiTable();
  ui::MotorSetupModel model(api, view, 0, -1);
  struct Case {
    const char* type;
    bool flags;
    const char* units;
  };
  for (const Case& c : {Case{"R (4wires)", true, "step/deg,deg,deg"}, Case{"X (2wires)", false, "step/mm,mm,mm"},
                        Case{"Z (synchron)", true, "step/mm,mm,mm"}, Case{"R block (2wires)", false, "step/deg,deg,deg"}}) {
    for (int i = 0; i < api.typeCount; ++i)
      if (std::string(api.typeNames[i]) == c.type) view.type = i;
    view.flags[ui::SetupFlag::ChFix] = true;
    model.TypeChanged();
    EXPECT_EQ(view.flagEnabled[ui::SetupFlag::ChSteps], c.flags) << c.type;
    EXPECT_EQ(view.flagEnabled[ui::SetupFlag::ChFix], c.flags) << c.type;
    EXPECT_TRUE(view.flags[ui::SetupFlag::ChFix]);  // disabling keeps the mark
    EXPECT_EQ(view.units, c.units) << c.type;
  }
}

TEST_F(SetupLogicTest, FieldChecksOnChangeAndOnLeaving) {
  ui::MotorSetupModel model(api::WindowApiTable(), view, 0, -1);
  struct Case {
    ui::SetupField field;
    const char* typed;
    void (*check)(ui::MotorSetupModel&, ui::SetupField);
    const char* message;  // empty: none
    const char* after;
  };
  auto changed = [](ui::MotorSetupModel& m, ui::SetupField f) { m.NumberChanged(f); };
  auto left = [](ui::MotorSetupModel& m, ui::SetupField f) { m.IntegerLeft(f); };
  auto coefLeft = [](ui::MotorSetupModel& m, ui::SetupField) { m.CoefficientLeft(); };
  const Case cases[] = {
      {ui::SetupField::EBCoef, "x1", changed, "Value must be number!", "x1"},
      {ui::SetupField::EBLen, "12abc", changed, "", "12abc"},
      {ui::SetupField::EBOffset, "  ", changed, "", "  "},
      {ui::SetupField::EBCoef, "0.0", coefLeft, "Value must be different from zero!", "0.0"},
      {ui::SetupField::EBCoef, "abc", coefLeft, "", "abc"},
      {ui::SetupField::EBAccel, "0", left, "Value must be higher then zero!", "20"},
      {ui::SetupField::EBAccel, "128", left, "Value must be higher then zero!", "20"},
      {ui::SetupField::EBAccel, "127", left, "", "127"},
      {ui::SetupField::EBMin, "abc", left, "Value must be integer!", "5"},
      {ui::SetupField::EBMax, "-3", left, "Value must be higher then zero!", "50"},
      {ui::SetupField::EBMax, "20000", left, "", "10000"},
  };
  for (const Case& c : cases) {
    view.messages.clear();
    view.text[c.field] = c.typed;
    c.check(model, c.field);
    if (*c.message == '\0')
      EXPECT_TRUE(view.messages.empty()) << c.typed;
    else
      EXPECT_EQ(view.messages, (std::vector<Shown>{{c.message, "Type error", ui::Icon::Error}})) << c.typed;
    EXPECT_EQ(view.text[c.field], c.after) << c.typed;
  }
}

// Enter in a field goes on to OK only when the field's check passes.
TEST_F(SetupLogicTest, EnterInARefusedFieldStopsAfterItsMessage) {
  ui::MotorSetupModel model(api::WindowApiTable(), view, 0, -1);
  struct Case {
    ui::SetupField field;
    const char* typed;
    bool passes;
    const char* message;
  };
  const Case cases[] = {
      {ui::SetupField::EBMin, "abc", false, "Value must be integer!"},
      {ui::SetupField::EBAccel, "0", false, "Value must be higher then zero!"},
      {ui::SetupField::EBCoef, "0", false, "Value must be different from zero!"},
      {ui::SetupField::EBLen, "x", false, "Value must be number!"},
      {ui::SetupField::EBOffset, "", false, "Value must be number!"},
      {ui::SetupField::EBMax, "60", true, ""},
      {ui::SetupField::EBLen, "2.5", true, ""},
      {ui::SetupField::EBName, "", true, ""},
  };
  for (const Case& c : cases) {
    view.messages.clear();
    std::string before = view.text[c.field];
    view.text[c.field] = c.typed;
    EXPECT_EQ(model.FieldLeft(c.field), c.passes) << c.typed;
    if (c.passes)
      EXPECT_TRUE(view.messages.empty()) << c.typed;
    else
      EXPECT_EQ(view.messages, (std::vector<Shown>{{c.message, "Type error", ui::Icon::Error}})) << c.typed;
    view.text[c.field] = before;
  }
  // OK with a length that holds no number is refused rather than saved as 0.
  model.OkClicked();
  view.text[ui::SetupField::EBLen] = "abc";
  EXPECT_FALSE(model.CloseQuery());
  EXPECT_EQ(view.messages.back(), Shown("Value must be number!", "Type error", ui::Icon::Error));
  view.text[ui::SetupField::EBLen] = "5";
  EXPECT_TRUE(model.CloseQuery());
}

TEST_F(SetupLogicTest, ValidationOnOkAndTheWrittenRecord) {
  ASSERT_EQ(Start(), 1);
  ui::MotorSetupModel model(api::WindowApiTable(), view, 0, -1);
  model.FormShow();
  EXPECT_TRUE(model.CloseQuery());  // not OK: closes at once
  model.OkClicked();
  view.text[ui::SetupField::EBCoef] = "0";
  EXPECT_FALSE(model.CloseQuery());
  EXPECT_EQ(view.text[ui::SetupField::EBCoef], "1");
  EXPECT_EQ(view.messages.back(), Shown("Coefficient must be different from zero!", "Type error", ui::Icon::Error));
  view.text[ui::SetupField::EBMin] = "30";
  view.text[ui::SetupField::EBMax] = "10";
  EXPECT_FALSE(model.CloseQuery());
  EXPECT_EQ(view.text[ui::SetupField::EBMin], "1");
  EXPECT_EQ(view.text[ui::SetupField::EBMax], "20");
  EXPECT_EQ(view.messages.back(),
            Shown("Max step time must be higher then Min step time!", "Type error", ui::Icon::Error));
  view.text[ui::SetupField::EBMax] = "1";
  EXPECT_TRUE(model.CloseQuery());  // equal passes
  EXPECT_TRUE(model.OkPressed());

  view.text[ui::SetupField::EBName] = "LONGNAME12";
  view.text[ui::SetupField::EBCoef] = "200";
  view.text[ui::SetupField::EBLen] = "5";
  view.text[ui::SetupField::EBOffset] = "-1.5";
  view.text[ui::SetupField::EBAccel] = "30";
  view.text[ui::SetupField::EBMax] = "40";
  view.type = 5;  // "X (4wires)"
  view.checked = 3;
  view.flags[ui::SetupFlag::ChFix] = true;
  model.Close();
  const MotorInfo& r = model.Record();
  EXPECT_STREQ(r.name, "LONGNAME1");
  EXPECT_EQ(+r.type, 0x85);
  EXPECT_EQ(+r.address, 4);
  EXPECT_FLOAT_EQ(+r.coefficient, 200.0f);
  EXPECT_EQ(+r.length, 1000);
  EXPECT_FLOAT_EQ(+r.offset, -1.5f);
  EXPECT_EQ(+r.acceleration, 30);
  EXPECT_EQ(+r.minStepTime, 1);
  EXPECT_EQ(+r.maxStepTime, 40);
  EXPECT_EQ(+r.halfSteps, 0);
  EXPECT_EQ(+r.autoRelease, 1);
  EXPECT_EQ(SM_Setup(0, -1, const_cast<MotorInfo*>(&r)), 0);
}

}  // namespace
}  // namespace mervane::testing
