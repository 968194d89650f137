// The control window's Windows view inside the library, driven as a test program or a screen
// reader would drive it: by window messages to its real controls (list view rows and columns,
// buttons, the destination box, menu commands, dialog fields, OK/Cancel, message boxes), against
// emulated boxes with manual timing. The window runs on its own thread; this thread sends to it.
#if defined(_WIN32)
#include <windows.h>

#include <commctrl.h>

#include <chrono>
#include <future>
#include <thread>

#include "api_fixture.h"
#include "ui/motor_setup.h"
#include "ui/win32/controls.h"

namespace mervane::testing {
namespace {

namespace win = ui::win32;
constexpr int kMessageText = 0xFFFF;  // the text control of a message box

struct Box {
  std::string caption;
  std::string text;
};

class Win32WindowTest : public ApiTest {
protected:
  void TearDown() override {
    CloseSetupWin();
    ApiTest::TearDown();
  }

  // Shows the window; false (the case skips) where no window can be made here. The tests run in
  // parallel processes on one desktop: windows are looked for in this process only.
  bool Show() {
    ShowSetupWin();
    window_ = OwnWindow(win::kWindowClass, win::kWindowCaption);
    list_ = window_ != nullptr ? Item(win::kLvMotorList) : nullptr;
    return window_ != nullptr;
  }
  HWND Item(int id) const { return GetDlgItem(window_, id); }
  // What the 500 ms timer does, at once (the window's thread runs it; this one waits).
  void Refresh() { SendMessageA(window_, WM_TIMER, win::kRefreshTimer, 0); }
  // Waits until the window's thread is back in a message loop (after a closed message box, the
  // rest of the command that showed it has run).
  static void Settle(HWND target) { SendMessageA(target, WM_NULL, 0, 0); }

  int Rows() const { return static_cast<int>(SendMessageA(list_, LVM_GETITEMCOUNT, 0, 0)); }
  std::string Cell(int row, int column) const {
    char text[128] = {};
    LVITEMA item{};
    item.iSubItem = column;
    item.pszText = text;
    item.cchTextMax = sizeof text;
    SendMessageA(list_, LVM_GETITEMTEXTA, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
    return text;
  }
  int Lamp(int row) const {
    LVITEMA item{};
    item.mask = LVIF_IMAGE;
    item.iItem = row;
    SendMessageA(list_, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
    return item.iImage;
  }
  int Selected() const { return static_cast<int>(SendMessageA(list_, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED)); }
  // The user's selection of a row (none first: a row that stays selected is not selected anew).
  void Select(int row) {
    Deselect();
    LVITEMA item{};
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageA(list_, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
  }
  void Deselect() {
    LVITEMA none{};
    none.stateMask = LVIS_SELECTED;
    SendMessageA(list_, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&none));
  }
  static std::string Text(HWND control) {
    char text[256] = {};
    GetWindowTextA(control, text, sizeof text);
    return text;
  }
  // Types into an edit as the user would (its change notification runs) and clicks a button,
  // waiting until the window's thread has handled it. Where a message box will open, the
  // ...Async forms post instead (the box's own loop then runs on the window's thread).
  static void Type(HWND edit, const char* text) { SendMessageA(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)); }
  static void Click(HWND button) { SendMessageA(button, BM_CLICK, 0, 0); }
  // Key by key (a posted message carries no text): the edit's whole text is replaced.
  static void TypeAsync(HWND edit, const char* text) {
    SendMessageA(edit, EM_SETSEL, 0, -1);
    for (const char* c = text; *c != '\0'; ++c) PostMessageA(edit, WM_CHAR, static_cast<unsigned char>(*c), 1);
  }
  static void ClickAsync(HWND button) { PostMessageA(button, BM_CLICK, 0, 0); }

  // This process's visible top-level window of the class with the caption; null when none.
  struct Search {
    const char* type;
    const std::string& caption;
    HWND found;
  };
  static BOOL CALLBACK Match(HWND window, LPARAM data) {
    auto* s = reinterpret_cast<Search*>(data);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    char kind[64] = {};
    GetClassNameA(window, kind, sizeof kind);
    if (process != GetCurrentProcessId() || !IsWindowVisible(window) || std::string(kind) != s->type ||
        Text(window) != s->caption)
      return TRUE;
    s->found = window;
    return FALSE;
  }
  static HWND OwnWindow(const char* type, const std::string& caption) {
    Search search{type, caption, nullptr};
    EnumWindows(Match, reinterpret_cast<LPARAM>(&search));
    return search.found;
  }
  // The visible top-level dialog with this caption, waited for up to 5 s; null when none came.
  static HWND WaitDialog(const std::string& caption) {
    for (int i = 0; i < 250; ++i) {
      HWND found = OwnWindow("#32770", caption);
      if (found != nullptr) {
        SendMessageA(found, WM_NULL, 0, 0);  // its set-up has finished
        return found;
      }
      Sleep(20);
    }
    return nullptr;
  }
  // The next message box with `caption`: its text, then it is closed with OK.
  static Box TakeMessage(const std::string& caption) {
    HWND box = WaitDialog(caption);
    if (box == nullptr) return {"(none)", ""};
    Box shown{Text(box), ""};
    char text[512] = {};
    GetDlgItemTextA(box, kMessageText, text, sizeof text);
    shown.text = text;
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    WaitGone(box);
    return shown;
  }
  // Until a closed dialog is destroyed (up to 5 s): its modal loop has ended, so what the window's
  // thread does with its answer comes before the next message that thread takes (see Settle).
  static void WaitGone(HWND dialog) {
    for (int i = 0; i < 250 && IsWindow(dialog); ++i) Sleep(20);
  }
  static bool NoMessageBox() {
    Sleep(100);
    return OwnWindow("#32770", "Error") == nullptr && OwnWindow("#32770", "Type error") == nullptr;
  }

  HMENU Menu() const { return static_cast<HMENU>(GetPropA(window_, win::kMenuProperty)); }
  bool Enabled(HMENU menu, UINT id) const {
    return (GetMenuState(menu, id, MF_BYCOMMAND) & (MF_GRAYED | MF_DISABLED)) == 0;
  }
  // The context menu as a right click at the row's centre (row -1: below the last row) sets it.
  void PopupAt(int row) {
    RECT area{};
    if (row >= 0) {
      area.left = LVIR_BOUNDS;
      SendMessageA(list_, LVM_GETITEMRECT, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&area));
    } else {
      GetClientRect(list_, &area);
      area.top = area.bottom - 10;
      area.left = 0;
      area.right = 10;
    }
    SendMessageA(window_, win::kPreparePopupMessage, 0,
                 MAKELPARAM((area.left + area.right) / 2, (area.top + area.bottom) / 2));
  }

  HWND window_ = nullptr;
  HWND list_ = nullptr;
};

#define SHOW_OR_SKIP() \
  if (!Show()) GTEST_SKIP() << "no window can be made here (no Wine display driver: set Graphics=null; " \
                               "or a desktop that cannot measure text, as Wine 8's 32-bit mode)"

TEST_F(Win32WindowTest, ListHasTheColumnsARowPerMotorAndTheLamps) {
  ASSERT_EQ(Start({kSerial, kSerial2}), 2);
  AddMotors(0, {"X", "M\xE4"});  // a name with a byte above 127 is shown in the ANSI code page
  ASSERT_EQ(AddMotor(1, 1, "X"), 0);
  MotorInfo unplugged = FourWireInfo(0, "U0");
  ASSERT_EQ(SM_Setup(1, -1, &unplugged), 1);
  SHOW_OR_SKIP();
  EXPECT_TRUE(IsSetupWinVisible());
  EXPECT_EQ(DlgMervane, static_cast<void*>(window_));
  HWND header = reinterpret_cast<HWND>(SendMessageA(list_, LVM_GETHEADER, 0, 0));
  ASSERT_EQ(SendMessageA(header, HDM_GETITEMCOUNT, 0, 0), ui::kColumnCount);
  for (int c = 0; c < ui::kColumnCount; ++c) {
    char title[64] = {};
    LVCOLUMNA column{};
    column.mask = LVCF_TEXT | LVCF_WIDTH;
    column.pszText = title;
    column.cchTextMax = sizeof title;
    SendMessageA(list_, LVM_GETCOLUMNA, static_cast<WPARAM>(c), reinterpret_cast<LPARAM>(&column));
    EXPECT_STREQ(title, ui::kColumnTitles[c]);
    // The given width, or wider where the title needs it.
    EXPECT_GE(column.cx, ui::kColumnWidths[c]) << title;
    EXPECT_GE(column.cx, SendMessageA(list_, LVM_GETSTRINGWIDTHA, 0, reinterpret_cast<LPARAM>(title)) + 12) << title;
  }
  Refresh();
  ASSERT_EQ(Rows(), 4);
  const char* names[] = {"X", "M\xE4", "X", "U0"};
  for (int r = 0; r < 4; ++r) EXPECT_EQ(Cell(r, ui::kName), names[r]);
  EXPECT_EQ(Cell(0, ui::kType), "X (4wires)");
  EXPECT_EQ(Cell(0, ui::kLength), "10");
  EXPECT_EQ(Cell(0, ui::kHalfSteps), "Off");
  EXPECT_EQ(Cell(3, ui::kAddress), "Unplugged");
  EXPECT_EQ(Lamp(0), ui::kGreen);
  EXPECT_EQ(Selected(), 3);  // the last row created

  // A running motor shows yellow; a box that is gone leaves its rows red, texts kept.
  ASSERT_TRUE(SM_Move(0, 0, 2.0));
  Refresh();
  EXPECT_EQ(Lamp(0), ui::kYellow);
  ASSERT_TRUE(TickUntilIdle(0, 0));
  boxsim_unplug(kSerial2);
  RunWatchdog(Device(1));
  ASSERT_FALSE(CheckDeviceConnection(1));
  Refresh();
  EXPECT_EQ(Lamp(0), ui::kGreen);
  EXPECT_EQ(Lamp(2), ui::kRed);
  EXPECT_EQ(Cell(2, ui::kName), "X");
  EXPECT_EQ(Cell(0, ui::kPosition), "2");
}

TEST_F(Win32WindowTest, MoveAbsMovesTheSelectedMotor) {
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 1, "X"), 0);
  SHOW_OR_SKIP();
  Refresh();
  ASSERT_EQ(Rows(), 1);
  Select(0);
  EXPECT_EQ(Text(Item(win::DetailId(ui::Detail::LTyp))), "X (4wires)");
  EXPECT_EQ(Text(Item(win::kEbDestination)), "0");  // the position
  Type(Item(win::kEbDestination), "3");
  Click(Item(win::kBttnMoveAbs));
  Settle(window_);
  EXPECT_TRUE(SM_IsRunning(0, 0));
  EXPECT_EQ(Cell(0, ui::kDestination), "3");
  ASSERT_TRUE(TickUntilIdle(0, 0));
  EXPECT_DOUBLE_EQ(SM_GetPosition(0, 0), 3.0);
  Refresh();
  EXPECT_EQ(Cell(0, ui::kPosition), "3");
  EXPECT_EQ(Text(Item(win::DetailId(ui::Detail::LPos))), "3");

  // "Move rel" by 1.5, then "Stop" while it runs.
  Type(Item(win::kEbDestination), "1.5");
  Click(Item(win::kBttnMoveRel));
  Settle(window_);
  EXPECT_DOUBLE_EQ(SM_GetTarget(0, 0), 4.5);
  Click(Item(win::kBttnStop));
  Settle(window_);
  ASSERT_TRUE(TickUntilIdle(0, 0));
  EXPECT_LT(SM_GetPosition(0, 0), 4.5);
}

TEST_F(Win32WindowTest, MoveAbsOnTheRowOfANameOnTwoBoxesMovesThatRowsMotor) {
  ASSERT_EQ(Start({kSerial, kSerial2}), 2);
  ASSERT_EQ(AddMotor(0, 1, "X"), 0);
  ASSERT_EQ(AddMotor(1, 1, "X"), 0);
  SHOW_OR_SKIP();
  Refresh();
  ASSERT_EQ(Rows(), 2);
  Select(1);
  Type(Item(win::kEbDestination), "2");
  Click(Item(win::kBttnMoveAbs));
  Settle(window_);
  EXPECT_DOUBLE_EQ(SM_GetTarget(1, 0), 2.0);
  EXPECT_DOUBLE_EQ(SM_GetTarget(0, 0), 0.0);
}

TEST_F(Win32WindowTest, CommandsReportInMessageBoxesOverTheWindow) {
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 1, "X"), 0);
  SHOW_OR_SKIP();
  Refresh();
  // No selection: the selection message.
  Deselect();
  ASSERT_EQ(Selected(), -1);
  ClickAsync(Item(win::kBttnMoveAbs));
  Box box = TakeMessage("Error");
  EXPECT_EQ(box.text, "You must select motor from the list!");

  // "-" typed first in the destination box: the number message, and the box is emptied.
  Select(0);
  TypeAsync(Item(win::kEbDestination), "-");
  box = TakeMessage("Type error");
  EXPECT_EQ(box.text, "Value must be number!");
  Settle(window_);
  EXPECT_EQ(Text(Item(win::kEbDestination)), "");

  // "Set target" on a red row: the unplugged text, and nothing is called.
  boxsim_unplug(kSerial);
  RunWatchdog(Device(0));
  Refresh();
  ASSERT_EQ(Lamp(0), ui::kRed);
  Type(Item(win::kEbDestination), "5");
  ClickAsync(Item(win::kBttnSet));
  box = TakeMessage("Error");
  EXPECT_EQ(box.text, "Can't set destination for motor X!\nDevice is unpluged");
  EXPECT_NE(Cell(0, ui::kDestination), "5");
}

TEST_F(Win32WindowTest, ContextMenuEnablesItemsByWhatWasClicked) {
  ASSERT_EQ(Start(), 1);
  MotorInfo block = FourWireInfo(1, "B");
  block.type = 0x41;  // "X block (2wires)"
  ASSERT_EQ(SM_Setup(0, -1, &block), 0);
  ASSERT_EQ(AddMotor(0, 2, "P"), 1);
  SHOW_OR_SKIP();
  Refresh();
  HMENU menu = Menu();
  ASSERT_NE(menu, nullptr);
  const UINT motorItems[] = {win::kPmSetup, win::kPmInitialize, win::kPmZero, win::kPmReset, win::kPmRelease, win::kPmRemove};
  for (UINT id : motorItems) EXPECT_FALSE(Enabled(menu, id)) << id;  // until the menu first opens

  PopupAt(0);
  for (UINT id : motorItems) EXPECT_TRUE(Enabled(menu, id)) << id;
  PopupAt(1);
  EXPECT_FALSE(Enabled(menu, win::kPmInitialize));
  EXPECT_TRUE(Enabled(menu, win::kPmRemove));
  PopupAt(-1);
  for (UINT id : motorItems) EXPECT_FALSE(Enabled(menu, id)) << id;

  // Captions with their shortcuts, the order and the "Devices" submenu.
  char caption[64] = {};
  GetMenuStringA(menu, win::kPmRemove, caption, sizeof caption, MF_BYCOMMAND);
  EXPECT_STREQ(caption, "Remove\tShift+Del");
  GetMenuStringA(menu, 0, caption, sizeof caption, MF_BYPOSITION);
  EXPECT_STREQ(caption, "Devices");
  GetMenuStringA(menu, 1, caption, sizeof caption, MF_BYPOSITION);
  EXPECT_STREQ(caption, "Release all");
  HMENU devices = GetSubMenu(menu, 0);
  ASSERT_EQ(GetMenuItemCount(devices), 1);
  GetMenuStringA(devices, 0, caption, sizeof caption, MF_BYPOSITION);
  char name[64] = {};  // the whole name
  ASSERT_TRUE(GetDeviceName(0, name, sizeof name));
  EXPECT_STREQ(caption, name);
  HMENU box = GetSubMenu(devices, 0);
  std::string shown;
  for (int i = 0; i < GetMenuItemCount(box); ++i) {
    UINT id = GetMenuItemID(box, i);
    if (id == 0) continue;  // a separator
    GetMenuStringA(box, static_cast<UINT>(i), caption, sizeof caption, MF_BYPOSITION);
    shown += std::string(caption) + (Enabled(box, id) ? "+ " : "- ");
  }
  EXPECT_EQ(shown, "Open- Close+ Rename...+ Add motor...+ Release all motors+ ");
  EXPECT_EQ(GetMenuItemCount(box), 7);  // two separators

  // A menu command by its id: "Remove" on the selected row.
  Select(1);
  PopupAt(1);
  SendMessageA(window_, WM_COMMAND, win::kPmRemove, 0);
  EXPECT_EQ(SM_GetCount(0), 1);
}

TEST_F(Win32WindowTest, ZeroCheckBoxMarksSetZeroInTheMenu) {
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 1, "X"), 0);
  SHOW_OR_SKIP();
  Refresh();
  EXPECT_EQ(GetMenuState(Menu(), win::kPmZero, MF_BYCOMMAND) & MF_CHECKED, 0u);
  Click(Item(win::kChBZero));
  Settle(window_);
  EXPECT_EQ(SendMessageA(Item(win::kChBZero), BM_GETCHECK, 0, 0), BST_CHECKED);
  EXPECT_NE(GetMenuState(Menu(), win::kPmZero, MF_BYCOMMAND) & MF_CHECKED, 0u);
}

TEST_F(Win32WindowTest, RenameDialogRenamesOnOkOnly) {
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 1, "X"), 0);
  SHOW_OR_SKIP();
  Refresh();
  PopupAt(0);
  char name[64] = {};  // the menu entry's caption: the whole name
  ASSERT_TRUE(GetDeviceName(0, name, sizeof name));
  const std::string original = name;
  PostMessageA(window_, WM_COMMAND, static_cast<WPARAM>(win::DeviceCommandId(0, ui::kRename)), 0);
  HWND dialog = WaitDialog("Rename " + original);
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(GetWindow(dialog, GW_OWNER), window_);
  EXPECT_EQ(DlgRename, static_cast<void*>(dialog));
  SendMessageA(GetDlgItem(dialog, win::kEdit1), WM_SETTEXT, 0, reinterpret_cast<LPARAM>("Bench"));
  Click(GetDlgItem(dialog, IDCANCEL));
  WaitGone(dialog);
  Settle(window_);
  ASSERT_TRUE(GetDeviceName(0, name, sizeof name));
  EXPECT_EQ(name, original);
  EXPECT_EQ(DlgRename, nullptr);

  PostMessageA(window_, WM_COMMAND, static_cast<WPARAM>(win::DeviceCommandId(0, ui::kRename)), 0);
  dialog = WaitDialog("Rename " + original);
  ASSERT_NE(dialog, nullptr);
  SendMessageA(GetDlgItem(dialog, win::kEdit1), WM_SETTEXT, 0, reinterpret_cast<LPARAM>("Bench"));
  Click(GetDlgItem(dialog, IDOK));
  WaitGone(dialog);
  Settle(window_);
  EXPECT_TRUE(NoMessageBox());
  ASSERT_TRUE(GetDeviceName(0, name, sizeof name));
  EXPECT_STREQ(name, "Bench");
}

// SM_Setup without a record from a host thread, as a host calls it; the dialog's controls.
class Win32SetupDialogTest : public Win32WindowTest {
protected:
  std::future<int> OpenSetup(std::uint32_t device, int channel) {
    return std::async(std::launch::async, [device, channel] { return SM_Setup(device, channel, nullptr); });
  }
  static std::string Hint(HWND dialog, int id) {
    HWND tips = static_cast<HWND>(GetPropA(dialog, "Hints"));
    char text[128] = {};
    TTTOOLINFOA tool{};
    tool.cbSize = TTTOOLINFOA_V2_SIZE;
    tool.hwnd = dialog;
    tool.uId = reinterpret_cast<UINT_PTR>(GetDlgItem(dialog, id));
    tool.lpszText = text;
    SendMessageA(tips, TTM_GETTEXTA, sizeof text, reinterpret_cast<LPARAM>(&tool));
    return text;
  }
  static void ChooseType(HWND dialog, const char* name) {
    HWND types = GetDlgItem(dialog, win::kCBTyp);
    SendMessageA(types, CB_SELECTSTRING, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(name));
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(win::kCBTyp, CBN_SELCHANGE), reinterpret_cast<LPARAM>(types));
  }
  static bool Ready(std::future<int>& result) { return result.wait_for(std::chrono::seconds(10)) == std::future_status::ready; }
};

TEST_F(Win32SetupDialogTest, NewMotorWrittenFromTheFields) {
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 2, "OTHER"), 0);
  SHOW_OR_SKIP();
  std::future<int> result = OpenSetup(0, -1);
  HWND dialog = WaitDialog(win::kSetupCaption);
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(GetWindow(dialog, GW_OWNER), window_);
  EXPECT_EQ(DlgMotorSetup, static_cast<void*>(dialog));
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, win::kAddressRadioBase + 1)));  // OTHER's address
  EXPECT_EQ(Hint(dialog, win::kAddressRadioBase + 1), "OTHER");
  EXPECT_EQ(Hint(dialog, win::kAddressRadioBase + ui::kUnpluggedColumn), "Unplugged");
  EXPECT_EQ(SendMessageA(GetDlgItem(dialog, win::kCBTyp), CB_GETCOUNT, 0, 0), 25);
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, win::kChSteps)));
  SendMessageA(GetDlgItem(dialog, win::kEBName), WM_SETTEXT, 0, reinterpret_cast<LPARAM>("AXIS"));
  ChooseType(dialog, "R (4wires)");
  EXPECT_EQ(Text(GetDlgItem(dialog, win::kLbCoeff)), "step/deg");
  EXPECT_EQ(Text(GetDlgItem(dialog, win::kLbLength)), "deg");
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog, win::kChSteps)));
  SendMessageA(GetDlgItem(dialog, win::kEBCoef), WM_SETTEXT, 0, reinterpret_cast<LPARAM>("10"));
  SendMessageA(GetDlgItem(dialog, win::kEBLen), WM_SETTEXT, 0, reinterpret_cast<LPARAM>("360"));
  SendMessageA(GetDlgItem(dialog, win::kEBMin), WM_SETTEXT, 0, reinterpret_cast<LPARAM>("3"));
  Click(GetDlgItem(dialog, win::kAddressRadioBase + 3));
  Click(GetDlgItem(dialog, IDOK));
  ASSERT_TRUE(Ready(result));
  ASSERT_EQ(result.get(), 1);
  EXPECT_EQ(DlgMotorSetup, nullptr);
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

TEST_F(Win32SetupDialogTest, ChecksKeepItOpenAndCancelAddsNothing) {
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 3, "AX"), 0);
  SHOW_OR_SKIP();
  std::future<int> result = OpenSetup(0, 0);
  HWND dialog = WaitDialog(win::kSetupCaption);
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(Text(GetDlgItem(dialog, win::kEBName)), "AX");
  EXPECT_EQ(SendMessageA(GetDlgItem(dialog, win::kAddressRadioBase + 2), BM_GETCHECK, 0, 0), BST_CHECKED);
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog, win::kAddressRadioBase + 2)));

  // Leaving the acceleration at 0: the message, and the field returns to 20.
  HWND accel = GetDlgItem(dialog, win::kEBAccel);
  SendMessageA(accel, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("0"));
  PostMessageA(accel, WM_KILLFOCUS, 0, 0);
  Box box = TakeMessage("Type error");
  EXPECT_EQ(box.text, "Value must be higher then zero!");
  Settle(dialog);
  EXPECT_EQ(Text(accel), "20");
  // "abc" in the coefficient: the number message while typing.
  TypeAsync(GetDlgItem(dialog, win::kEBCoef), "a");
  EXPECT_EQ(TakeMessage("Type error").text, "Value must be number!");
  Settle(dialog);
  SendMessageA(GetDlgItem(dialog, win::kEBCoef), WM_SETTEXT, 0, reinterpret_cast<LPARAM>("100"));
  EXPECT_TRUE(NoMessageBox());

  // Max below min at OK: the fields become 1 and 20 and the dialog stays open.
  SendMessageA(GetDlgItem(dialog, win::kEBMin), WM_SETTEXT, 0, reinterpret_cast<LPARAM>("30"));
  SendMessageA(GetDlgItem(dialog, win::kEBMax), WM_SETTEXT, 0, reinterpret_cast<LPARAM>("10"));
  ClickAsync(GetDlgItem(dialog, IDOK));
  EXPECT_EQ(TakeMessage("Type error").text, "Max step time must be higher then Min step time!");
  Settle(dialog);
  EXPECT_TRUE(IsWindow(dialog));
  EXPECT_EQ(Text(GetDlgItem(dialog, win::kEBMin)), "1");
  EXPECT_EQ(Text(GetDlgItem(dialog, win::kEBMax)), "20");
  EXPECT_EQ(result.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);

  Click(GetDlgItem(dialog, IDCANCEL));
  ASSERT_TRUE(Ready(result));
  EXPECT_EQ(result.get(), -1);
  MotorInfo info{};
  ASSERT_TRUE(SM_GetInfo(0, 0, &info));
  EXPECT_EQ(+info.minStepTime, 1);  // unchanged
  EXPECT_EQ(SM_GetCount(0), 1);
}

TEST_F(Win32SetupDialogTest, CloseSetupWinCancelsTheOpenDialog) {
  ASSERT_EQ(Start(), 1);
  SHOW_OR_SKIP();
  std::future<int> result = OpenSetup(0, -1);
  HWND dialog = WaitDialog(win::kSetupCaption);
  ASSERT_NE(dialog, nullptr);
  CloseSetupWin();
  ASSERT_TRUE(Ready(result));
  EXPECT_EQ(result.get(), -1);
  EXPECT_FALSE(IsWindow(dialog));
  EXPECT_FALSE(IsWindow(window_));
  EXPECT_FALSE(IsSetupWinOpened());
  EXPECT_EQ(DlgMervane, nullptr);
  EXPECT_EQ(SM_GetCount(0), 0);
  // Without the window the dialog has no owner, and SMN_Setup reaches it too.
  ASSERT_EQ(AddMotor(0, 1, "X"), 0);
  auto named = std::async(std::launch::async, [] { return SMN_Setup("X"); });
  dialog = WaitDialog(win::kSetupCaption);
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(GetWindow(dialog, GW_OWNER), nullptr);
  PostMessageA(dialog, WM_CLOSE, 0, 0);
  ASSERT_EQ(named.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_FALSE(named.get());
}

TEST_F(Win32WindowTest, UserCloseHidesAndShowSetupWinShowsTheSameWindow) {
  ASSERT_EQ(Start(), 1);
  SHOW_OR_SKIP();
  HWND first = window_;
  SendMessageA(window_, WM_CLOSE, 0, 0);
  EXPECT_TRUE(IsSetupWinOpened());
  EXPECT_FALSE(IsSetupWinVisible());
  ASSERT_TRUE(Show());
  EXPECT_EQ(window_, first);
  EXPECT_TRUE(IsSetupWinVisible());
  CloseSetupWin();
  EXPECT_FALSE(IsWindow(first));
  CloseSetupWin();  // harmless
  Exit();
  Exit();
}

// "Remove" on the selected row; the details then describe the row that took its place, and the
// commands act on that motor.
TEST_F(Win32WindowTest, RemoveShowsTheNewlySelectedMotor) {
  ASSERT_EQ(Start(), 1);
  AddMotors(0, {"A", "B", "C"});
  MotorInfo c = FourWireInfo(3, "C", 250.0f);
  ASSERT_EQ(SM_Setup(0, 2, &c), 2);
  SHOW_OR_SKIP();
  Refresh();
  Select(1);
  PopupAt(1);  // the menu's last opening enables the motor items
  ASSERT_TRUE(Enabled(Menu(), win::kPmRemove));
  SendMessageA(window_, WM_COMMAND, win::kPmRemove, 0);
  ASSERT_EQ(Rows(), 2);
  EXPECT_EQ(SM_GetCount(0), 2);
  ASSERT_EQ(Selected(), 1);
  EXPECT_EQ(Cell(1, ui::kName), "C");
  EXPECT_EQ(Text(Item(win::DetailId(ui::Detail::LAddr))), "3");
  EXPECT_EQ(Text(Item(win::DetailId(ui::Detail::LCoef))), "250");
  Type(Item(win::kEbDestination), "1");
  Click(Item(win::kBttnMoveAbs));
  EXPECT_TRUE(SM_IsRunning(0, 1));
  EXPECT_FALSE(SM_IsRunning(0, 0));
  ASSERT_TRUE(TickUntilIdle(0, 1));
}

// Unplug a box, open the menu, plug it back: the next opening shows it connected again; "Release
// all motors" switches off the box's connectors.
TEST_F(Win32WindowTest, DevicesMenuFollowsUnplugAndReplug) {
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 1, "A"), 0);
  SHOW_OR_SKIP();
  Refresh();
  auto entry = [&] {
    PopupAt(-1);
    HMENU box = GetSubMenu(GetSubMenu(Menu(), 0), 0);
    std::string shown;
    for (int tag = ui::kOpen; tag <= ui::kReleaseAllMotors; ++tag)
      shown += Enabled(box, static_cast<UINT>(win::DeviceCommandId(0, tag))) ? '+' : '-';
    return shown;
  };
  EXPECT_EQ(entry(), "-++++");
  boxsim_unplug(kSerial);
  RunWatchdog(Device(0));
  EXPECT_EQ(entry(), "+----");
  boxsim_plug("VORK-KADO", kSerial);
  for (int address = 1; address <= 7; ++address) boxsim_wire(kSerial, address, "four-wire");
  RunWatchdog(Device(0));
  ASSERT_TRUE(CheckDeviceConnection(0));
  EXPECT_EQ(entry(), "-++++");

  MoveAndRest(0, 0, 0.05);
  ASSERT_EQ(boxsim_energised(kSerial, 1), 1);
  SendMessageA(window_, WM_COMMAND, static_cast<WPARAM>(win::DeviceCommandId(0, ui::kReleaseAllMotors)), 0);
  EXPECT_EQ(boxsim_energised(kSerial, 1), 0);
}

// While "Reset" waits for a running motor to stop, the window goes on answering (it is disabled
// for the user meanwhile); afterwards it takes input again.
TEST_F(Win32WindowTest, ResetWaitsWithTheWindowAlive) {
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 1, "A"), 0);
  SHOW_OR_SKIP();
  Refresh();
  Select(0);
  ASSERT_TRUE(SM_Move(0, 0, 5.0));
  TickFor(0.05);
  ASSERT_TRUE(SM_IsRunning(0, 0));
  PopupAt(0);
  PostMessageA(window_, WM_COMMAND, win::kPmReset, 0);
  // The motor runs on until this thread ticks: first the command must be waiting.
  for (int i = 0; i < 500 && IsWindowEnabled(window_); ++i) Sleep(10);
  ASSERT_FALSE(IsWindowEnabled(window_));
  int answeredWhileWaiting = 0;
  for (int i = 0; i < 2000 && SM_IsRunning(0, 0); ++i) {
    if (!IsWindowEnabled(window_) && Rows() == 1) ++answeredWhileWaiting;  // its thread answers
    TickFor(0.005);
    Sleep(1);
  }
  // The wait notices the rest at its next look (every 10 ms), then the window takes input again.
  for (int i = 0; i < 500 && !IsWindowEnabled(window_); ++i) Sleep(10);
  Settle(window_);
  EXPECT_GT(answeredWhileWaiting, 0);
  EXPECT_TRUE(IsWindowEnabled(window_));
  EXPECT_TRUE(NoMessageBox());
  EXPECT_FALSE(SM_IsRunning(0, 0));
  EXPECT_DOUBLE_EQ(SM_GetPosition(0, 0), 0.0);  // reset where it stopped
}

// Enter in a setup field with a bad value: the message, and the dialog stays open; nothing saved.
TEST_F(Win32SetupDialogTest, EnterOnABadValueKeepsTheDialogOpen) {
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 1, "A"), 0);
  SHOW_OR_SKIP();
  std::future<int> result = OpenSetup(0, 0);
  HWND dialog = WaitDialog(win::kSetupCaption);
  ASSERT_NE(dialog, nullptr);
  HWND min = GetDlgItem(dialog, win::kEBMin);
  SendMessageA(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(min), TRUE);  // the focus to EBMin
  Type(min, "abc");
  // Enter: the dialog's default button, with the focus still in the field.
  PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
  EXPECT_EQ(TakeMessage("Type error").text, "Value must be integer!");
  Settle(dialog);
  EXPECT_TRUE(IsWindow(dialog));
  EXPECT_EQ(Text(min), "5");  // the field's fallback
  EXPECT_EQ(result.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
  Click(GetDlgItem(dialog, IDCANCEL));
  ASSERT_TRUE(Ready(result));
  EXPECT_EQ(result.get(), -1);
  MotorInfo info{};
  ASSERT_TRUE(SM_GetInfo(0, 0, &info));
  EXPECT_EQ(+info.minStepTime, 1);  // unchanged
}

TEST(Win32WindowShortcuts, KeysMapToTheirMenuItems) {
  struct Case {
    unsigned key;
    bool control, alt, shift;
    int command;
  };
  const Case cases[] = {
      {'S', true, false, false, win::kPmSetup},   {'I', true, false, false, win::kPmInitialize},
      {'Z', true, false, false, win::kPmZero},    {'R', true, false, false, win::kPmReset},
      {'R', true, true, false, win::kPmRelease},  {VK_DELETE, false, false, true, win::kPmRemove},
      {'S', false, false, false, 0},              {'R', false, true, false, 0},
      {VK_DELETE, false, false, false, 0},        {VK_DELETE, true, false, true, 0},
      {'S', true, false, true, 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(win::ShortcutCommand(c.key, c.control, c.alt, c.shift), c.command) << c.key << c.control << c.alt << c.shift;
  EXPECT_EQ(win::MenuCaption(win::kPmRelease), "Release\tCtrl+Alt+R");
  EXPECT_EQ(win::MenuCaption(win::kPmRelAll), "Release all");
  EXPECT_EQ(win::Literal("A&B"), "A&&B");
}

}  // namespace
}  // namespace mervane::testing
#endif
