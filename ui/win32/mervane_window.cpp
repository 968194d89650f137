// The control window's Windows controls and their wiring to MotorListModel.
#include "ui/win32/mervane_window.h"

#include <commctrl.h>

#include <algorithm>
#include <chrono>

#include "ui/win32/controls.h"
#include "ui/win32/dialogs.h"
#include "ui/win32/gui_thread.h"

namespace mervane::ui::win32 {

namespace {
constexpr UINT kRefreshMs = 500;
constexpr int kPanelWidth = 222;
constexpr int kLineHeight = 16;
constexpr int kGroupHeight = 132;
// Deletes a disposed window once its last command has returned: posted, so that no control's
// own message handling is still on the stack when its window goes.
constexpr UINT kDeleteMessage = WM_APP + 2;

struct DetailCaption {
  Detail label;
  const char* caption;
};
constexpr DetailCaption kDetails[] = {
    {Detail::LDev, "Device:"},       {Detail::LAddr, "Address:"},     {Detail::LTyp, "Type motor:"},
    {Detail::LLen, "Lenght:"},       {Detail::LCoef, "Coef"},         {Detail::LOff, "Offset:"},
    {Detail::LAccel, "Acceleration lenght:"}, {Detail::LMin, "Min step time:"}, {Detail::LMax, "Max step time:"},
    {Detail::LSteps, "Half steps:"}, {Detail::LFix, "Auto release:"},
};

struct ButtonSpec {
  int id;
  const char* caption;
};
// In the order of MervaneWindow::buttons_.
constexpr ButtonSpec kButtons[] = {{kBttnSet, "Set target"}, {kBttnMoveAbs, "Move abs"}, {kBttnMoveRel, "Move rel"},
                                   {kBttnStop, "Stop"},       {kBttnRun, "Run All"},     {kBttnStopAll, "Stop All"}};

bool RegisterWindowClass() {
  static const bool registered = [] {
    WNDCLASSEXA type{};
    type.cbSize = sizeof type;
    type.lpfnWndProc = DefWindowProcA;  // replaced per window at WM_NCCREATE
    type.hInstance = static_cast<HINSTANCE>(ModuleInstance());
    type.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    type.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    type.lpszClassName = kWindowClass;
    return RegisterClassExA(&type) != 0;
  }();
  return registered;
}

void Move(HWND control, int x, int y, int width, int height) {
  MoveWindow(control, x, y, width, height, TRUE);
}
}  // namespace

MervaneWindow::MervaneWindow(const WindowApi& api) : api_(api) {
  if (!RegisterWindowClass()) return;
  window_ = CreateWindowExA(WS_EX_CONTROLPARENT, kWindowClass, kWindowCaption,
                            WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 941, 414, nullptr,
                            nullptr, static_cast<HINSTANCE>(ModuleInstance()), nullptr);
  if (window_ == nullptr) return;
  SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  SetWindowLongPtrA(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WindowProc));
  Build();
  BuildMenu();
  // Centred on the desktop at the initial size.
  RECT area{};
  SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
  SetWindowPos(window_, nullptr, std::max<int>(area.left, (area.left + area.right - 941) / 2),
               std::max<int>(area.top, (area.top + area.bottom - 414) / 2), 941, 414, SWP_NOZORDER | SWP_NOACTIVATE);
  Layout();
  model_ = std::make_unique<MotorListModel>(api_, *this);
  SetTimer(window_, kRefreshTimer, kRefreshMs, nullptr);
}

MervaneWindow::~MervaneWindow() {
  if (window_ != nullptr) {
    SetWindowLongPtrA(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
  }
  if (menu_ != nullptr) DestroyMenu(menu_);
}

void MervaneWindow::Build() {
  HICON icon = ImageList_GetIcon(LampImages(), kGreen, ILD_NORMAL);
  SendMessageA(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
  SendMessageA(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));

  list_ = Child(window_, WC_LISTVIEWA, "",
                WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | LVS_SHAREIMAGELISTS, kLvMotorList, 0,
                0, 100, 100, WS_EX_CLIENTEDGE);
  SendMessageA(list_, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
  SendMessageA(list_, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(LampImages()));
  for (int c = 0; c < kColumnCount; ++c) {
    LVCOLUMNA column{};
    column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
    column.pszText = const_cast<char*>(kColumnTitles[c]);
    // The given width, wider where the title needs more (as the header draws it, with margins).
    int title = static_cast<int>(SendMessageA(list_, LVM_GETSTRINGWIDTHA, 0, reinterpret_cast<LPARAM>(kColumnTitles[c])));
    column.cx = std::max(kColumnWidths[c], title + 14);
    column.iSubItem = c;
    SendMessageA(list_, LVM_INSERTCOLUMNA, static_cast<WPARAM>(c), reinterpret_cast<LPARAM>(&column));
  }
  SetWindowSubclass(list_, &ListProc, 1, reinterpret_cast<DWORD_PTR>(this));

  // The group box first: the controls drawn inside it are its later siblings.
  group_ = Child(window_, "Button", "Move to...", BS_GROUPBOX, kGroupBox1, 0, 0, 10, 10);
  for (const DetailCaption& d : kDetails) {
    auto index = static_cast<std::size_t>(d.label);
    captions_[index] = Child(window_, "Static", d.caption, SS_LEFT, kCaptionBase + static_cast<int>(index), 0, 0, 10, 10);
    details_[index] = Child(window_, "Static", "", SS_LEFT, DetailId(d.label), 0, 0, 10, 10);
  }
  positionCaption_ = Child(window_, "Static", "Position:", SS_LEFT, kCaptionBase + 20, 0, 0, 10, 10);
  details_[static_cast<std::size_t>(Detail::LPos)] = Child(window_, "Static", "", SS_LEFT, DetailId(Detail::LPos), 0, 0, 10, 10);
  SendMessageA(details_[static_cast<std::size_t>(Detail::LPos)], WM_SETFONT, reinterpret_cast<WPARAM>(BoldFont()), FALSE);
  zero_ = Child(window_, "Button", "Zero", WS_TABSTOP | BS_AUTOCHECKBOX, kChBZero, 0, 0, 10, 10);
  details_[static_cast<std::size_t>(Detail::LPosReal)] =
      Child(window_, "Static", "", SS_LEFT, DetailId(Detail::LPosReal), 0, 0, 10, 10);
  destinationCaption_ = Child(window_, "Static", "Destination:", SS_LEFT, kCaptionBase + 21, 0, 0, 10, 10);
  destination_ = Child(window_, "Edit", "0", WS_TABSTOP | ES_AUTOHSCROLL, kEbDestination, 0, 0, 10, 10, WS_EX_CLIENTEDGE);
  for (std::size_t b = 0; b < buttons_.size(); ++b)
    buttons_[b] = Child(window_, "Button", kButtons[b].caption, WS_TABSTOP | BS_PUSHBUTTON, kButtons[b].id, 0, 0, 10, 10);
}

void MervaneWindow::BuildMenu() {
  menu_ = CreatePopupMenu();
  devices_ = CreatePopupMenu();
  AppendMenuA(menu_, MF_POPUP | MF_STRING, reinterpret_cast<UINT_PTR>(devices_), "Devices");
  AppendMenuA(menu_, MF_STRING, kPmRelAll, MenuCaption(kPmRelAll).c_str());
  AppendMenuA(menu_, MF_SEPARATOR, 0, nullptr);
  for (int id = kPmSetup; id <= kPmRemove; ++id)
    AppendMenuA(menu_, MF_STRING | MF_GRAYED, static_cast<UINT_PTR>(id), MenuCaption(id).c_str());
  SetPropA(window_, kMenuProperty, menu_);
}

// The list fills the client area left of the 222 px panel; the panel's detail lines run from the
// top, "Move to..." sits at the bottom of its upper part and the two buttons below it.
void MervaneWindow::Layout() {
  RECT client{};
  GetClientRect(window_, &client);
  int width = client.right;
  int height = client.bottom;
  int x0 = std::max(0, width - kPanelWidth);
  Move(list_, 2, 2, std::max(0, x0 - 4), std::max(0, height - 4));
  int y = 8;
  for (const DetailCaption& d : kDetails) {
    auto index = static_cast<std::size_t>(d.label);
    Move(captions_[index], x0 + 6, y, 104, kLineHeight);
    Move(details_[index], x0 + 112, y, kPanelWidth - 116, kLineHeight);
    y += kLineHeight;
  }
  int buttonsTop = height - 58;
  int gx = x0 + 2;
  int gy = std::max(y + 4, buttonsTop - 4 - kGroupHeight);
  Move(group_, gx, gy, kPanelWidth - 6, kGroupHeight);
  Move(positionCaption_, gx + 8, gy + 20, 52, kLineHeight);
  Move(details_[static_cast<std::size_t>(Detail::LPos)], gx + 62, gy + 20, 82, kLineHeight);
  Move(zero_, gx + 150, gy + 18, 60, 18);
  Move(details_[static_cast<std::size_t>(Detail::LPosReal)], gx + 62, gy + 37, 140, kLineHeight);
  Move(destinationCaption_, gx + 8, gy + 55, 100, kLineHeight);
  Move(destination_, gx + 8, gy + 72, 124, 22);
  Move(buttons_[0], gx + 138, gy + 71, 72, 24);
  Move(buttons_[1], gx + 8, gy + 100, 64, 24);
  Move(buttons_[2], gx + 76, gy + 100, 64, 24);
  Move(buttons_[3], gx + 144, gy + 100, 66, 24);
  Move(buttons_[4], x0 + 2, buttonsTop, kPanelWidth - 6, 25);
  Move(buttons_[5], x0 + 2, buttonsTop + 29, kPanelWidth - 6, 25);
}

LRESULT CALLBACK MervaneWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<MervaneWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (self == nullptr) return DefWindowProcA(window, message, wParam, lParam);
  return self->Handle(message, wParam, lParam);
}

// The shortcuts act while the list has the keyboard focus, on enabled menu items only.
LRESULT CALLBACK MervaneWindow::ListProc(HWND list, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                         DWORD_PTR self) {
  if (message == WM_KEYDOWN || message == WM_SYSKEYDOWN) {
    auto* window = reinterpret_cast<MervaneWindow*>(self);
    int command = ShortcutCommand(static_cast<unsigned>(wParam), GetKeyState(VK_CONTROL) < 0,
                                  GetKeyState(VK_MENU) < 0, GetKeyState(VK_SHIFT) < 0);
    if (command != 0) {
      UINT state = GetMenuState(window->menu_, static_cast<UINT>(command), MF_BYCOMMAND);
      if (state != static_cast<UINT>(-1) && (state & (MF_GRAYED | MF_DISABLED)) == 0) window->OnCommand(command, 0);
      return 0;
    }
  }
  return DefSubclassProc(list, message, wParam, lParam);
}

LRESULT MervaneWindow::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_SIZE:
      Layout();
      return 0;
    case WM_GETMINMAXINFO: {
      auto* limits = reinterpret_cast<MINMAXINFO*>(lParam);
      limits->ptMinTrackSize = {490, 390};
      return 0;
    }
    case WM_TIMER:
      if (wParam == kRefreshTimer) Command([this] { model_->TimerTick(); });
      return 0;
    case WM_COMMAND:
      OnCommand(LOWORD(wParam), HIWORD(wParam));
      return 0;
    case WM_NOTIFY:
      OnNotify(*reinterpret_cast<const NMHDR*>(lParam));
      return 0;
    case WM_CONTEXTMENU:
      if (reinterpret_cast<HWND>(wParam) == list_) {
        POINT at{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
        if (lParam == -1) {  // from the keyboard: at the selected row, else the list's corner
          RECT item{LVIR_BOUNDS, 0, 0, 0};
          int row = SelectedRow();
          at = {4, 4};
          if (row >= 0 && SendMessageA(list_, LVM_GETITEMRECT, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item)))
            at = {item.left + 4, item.top + 4};
          ClientToScreen(list_, &at);
        }
        ShowPopup(at);
        return 0;
      }
      break;
    case kDeleteMessage:
      if (disposed_ && busy_ == 0) delete this;
      return 0;
    case kPreparePopupMessage:
      PreparePopup(POINT{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))});
      return 0;
    case WM_CLOSE:
      // The user's close hides the window; the object stays until CloseSetupWin.
      if (model_) model_->Closed();
      KillTimer(window_, kRefreshTimer);
      ShowWindow(window_, SW_HIDE);
      return 0;
    default:
      break;
  }
  return DefWindowProcA(window_, message, wParam, lParam);
}

void MervaneWindow::OnCommand(int id, int code) {
  if (!model_) return;
  switch (id) {
    case kBttnSet: Command([this] { model_->SetTargetClick(); }); return;
    case kBttnMoveAbs: Command([this] { model_->MoveClick(false); }); return;
    case kBttnMoveRel: Command([this] { model_->MoveClick(true); }); return;
    case kBttnStop: Command([this] { model_->StopClick(); }); return;
    case kBttnRun: Command([this] { model_->RunAllClick(); }); return;
    case kBttnStopAll: Command([this] { model_->StopAllClick(); }); return;
    case kEbDestination:
      if (code == EN_CHANGE && !quiet_) Command([this] { model_->DestinationChanged(); });
      return;
    case kChBZero:
      if (code == BN_CLICKED)
        Command([this] {
          model_->ZeroClick(SendMessageA(zero_, BM_GETCHECK, 0, 0) == BST_CHECKED);
          SyncMenu();
        });
      return;
    case kPmRelAll: Command([this] { model_->ReleaseAllClick(); }); return;
    case kPmSetup: Command([this] { model_->SetupClick(); }); return;
    case kPmInitialize: Command([this] { model_->InitializeClick(); }); return;
    case kPmZero: Command([this] { model_->SetZeroClick(); }); return;
    case kPmReset: Command([this] { model_->ResetClick(); }); return;
    case kPmRelease: Command([this] { model_->ReleaseClick(); }); return;
    case kPmRemove: Command([this] { model_->RemoveClick(); }); return;
    default:
      if (id >= kDeviceCommandBase) {
        auto entry = static_cast<std::size_t>((id - kDeviceCommandBase) / 5);
        int tag = (id - kDeviceCommandBase) % 5;
        Command([this, entry, tag] { model_->DeviceMenuClick(entry, tag); });
      }
      return;
  }
}

void MervaneWindow::OnNotify(const NMHDR& header) {
  if (header.hwndFrom != list_) return;
  if (header.code == LVN_ITEMCHANGED) {
    const auto& change = reinterpret_cast<const NMLISTVIEW&>(header);
    bool nowSelected = (change.uChanged & LVIF_STATE) != 0 && (change.uNewState & LVIS_SELECTED) != 0 &&
                       (change.uOldState & LVIS_SELECTED) == 0;
    int row = change.iItem;
    if (nowSelected && !selecting_ && row >= 0) Command([this, row] { model_->RowSelected(row); });
  } else if (header.code == NM_DBLCLK) {
    if (reinterpret_cast<const NMITEMACTIVATE&>(header).iItem >= 0) Command([this] { model_->SetupClick(); });
  }
}

void MervaneWindow::PreparePopup(POINT inList) {
  LVHITTESTINFO test{};
  test.pt = inList;
  int row = static_cast<int>(SendMessageA(list_, LVM_HITTEST, 0, reinterpret_cast<LPARAM>(&test)));
  RECT client{};
  GetClientRect(list_, &client);
  RECT header{};
  if (HWND headerWindow = reinterpret_cast<HWND>(SendMessageA(list_, LVM_GETHEADER, 0, 0)))
    GetWindowRect(headerWindow, &header);
  client.top += header.bottom - header.top;
  Hit hit = row >= 0 && (test.flags & LVHT_ONITEM) != 0 ? Hit::Row
            : PtInRect(&client, inList)                 ? Hit::Empty
                                                        : Hit::Other;
  if (hit != Hit::Row) row = -1;
  Command([&] {
    model_->MenuPopup(hit, row);
    SyncMenu();
    RebuildDevicesMenu();
  });
}

void MervaneWindow::ShowPopup(POINT onScreen) {
  POINT inList = onScreen;
  ScreenToClient(list_, &inList);
  PreparePopup(inList);
  if (disposed_) return;
  SetForegroundWindow(window_);
  TrackPopupMenu(menu_, TPM_LEFTALIGN | TPM_RIGHTBUTTON, onScreen.x, onScreen.y, 0, window_, nullptr);
  PostMessageA(window_, WM_NULL, 0, 0);
}

void MervaneWindow::SyncMenu() {
  const MotorMenuState& state = model_->Menu();
  const std::pair<int, bool> items[] = {{kPmSetup, state.setup},     {kPmInitialize, state.initialize},
                                        {kPmZero, state.zero},       {kPmReset, state.reset},
                                        {kPmRelease, state.release}, {kPmRemove, state.remove}};
  for (const auto& [id, enabled] : items)
    EnableMenuItem(menu_, static_cast<UINT>(id), MF_BYCOMMAND | (enabled ? MF_ENABLED : MF_GRAYED));
  CheckMenuItem(menu_, kPmZero, MF_BYCOMMAND | (state.zeroChecked ? MF_CHECKED : MF_UNCHECKED));
}

void MervaneWindow::RebuildDevicesMenu() {
  while (GetMenuItemCount(devices_) > 0) DeleteMenu(devices_, 0, MF_BYPOSITION);  // frees the submenus
  const std::vector<DeviceMenuEntry>& entries = model_->DeviceMenu();
  for (std::size_t e = 0; e < entries.size(); ++e) {
    HMENU device = CreatePopupMenu();
    for (int tag = kOpen; tag <= kReleaseAllMotors; ++tag) {
      if (tag == kRename || tag == kAddMotor) AppendMenuA(device, MF_SEPARATOR, 0, nullptr);
      UINT flags = MF_STRING | (entries[e].enabled[static_cast<std::size_t>(tag)] ? MF_ENABLED : MF_GRAYED);
      AppendMenuA(device, flags, static_cast<UINT_PTR>(DeviceCommandId(e, tag)), kDeviceCommandCaptions[tag]);
    }
    AppendMenuA(devices_, MF_POPUP | MF_STRING, reinterpret_cast<UINT_PTR>(device), Literal(entries[e].caption).c_str());
  }
}

void MervaneWindow::Command(const std::function<void()>& command) {
  if (disposed_ || !model_) return;
  ++busy_;
  command();
  if (--busy_ == 0 && disposed_) PostMessageA(window_, kDeleteMessage, 0, 0);
}

void MervaneWindow::ShowAgain() {
  model_->Reopened();
  SetTimer(window_, kRefreshTimer, kRefreshMs, nullptr);
  ShowWindow(window_, SW_SHOW);
  SetForegroundWindow(window_);
}

void MervaneWindow::Dispose() {
  if (disposed_) return;
  disposed_ = true;
  KillTimer(window_, kRefreshTimer);
  ShowWindow(window_, SW_HIDE);
  if (busy_ == 0) delete this;
}

// --- MotorListView ---------------------------------------------------------------------------------

void MervaneWindow::InsertRow(int at) {
  int count = static_cast<int>(SendMessageA(list_, LVM_GETITEMCOUNT, 0, 0));
  LVITEMA item{};
  item.mask = LVIF_TEXT | LVIF_IMAGE;
  item.iItem = at < 0 || at > count ? count : at;
  item.pszText = const_cast<char*>("");
  item.iImage = kGreen;
  SendMessageA(list_, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
}

void MervaneWindow::DeleteRow(int row) {
  selecting_ = true;  // a selection that moves on is not the user's
  SendMessageA(list_, LVM_DELETEITEM, static_cast<WPARAM>(row), 0);
  selecting_ = false;
}

void MervaneWindow::SetText(int row, int column, const std::string& text) {
  LVITEMA item{};
  item.iSubItem = column;
  item.pszText = const_cast<char*>(text.c_str());
  SendMessageA(list_, LVM_SETITEMTEXTA, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

void MervaneWindow::SetLamp(int row, int lamp) {
  LVITEMA item{};
  item.mask = LVIF_IMAGE;
  item.iItem = row;
  item.iImage = lamp;
  SendMessageA(list_, LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&item));
}

int MervaneWindow::SelectedRow() const {
  return static_cast<int>(SendMessageA(list_, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
}

void MervaneWindow::SelectRow(int row) {
  selecting_ = true;
  LVITEMA item{};
  item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
  item.state = LVIS_SELECTED | LVIS_FOCUSED;
  SendMessageA(list_, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
  selecting_ = false;
}

void MervaneWindow::SetDetail(Detail label, const std::string& text) {
  if (HWND value = details_[static_cast<std::size_t>(label)]) SetWindowTextA(value, text.c_str());
}

std::string MervaneWindow::Destination() const { return WindowText(destination_); }

void MervaneWindow::SetDestination(const std::string& text) { SetTextQuietly(destination_, text, quiet_); }

void MervaneWindow::Message(const std::string& text, const std::string& caption, Icon icon) {
  if (!disposed_) ShowMessageBox(window_, text, caption, icon);
}

bool MervaneWindow::AskRename(const std::string& caption, std::string& name) {
  return !disposed_ && RunRenameDialog(window_, api_, caption, name);
}

}  // namespace mervane::ui::win32

namespace mervane::ui::win32 {

// The window goes on repainting and refreshing while a command waits for its motors; the user's
// input waits too (the window is disabled) and the cursor says so.
bool MervaneWindow::WaitUntil(const std::function<bool()>& done, double seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  bool wasEnabled = IsWindowEnabled(window_) != FALSE;
  EnableWindow(window_, FALSE);
  HCURSOR before = SetCursor(LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_WAIT)));
  bool reached = done();
  bool quit = false;
  while (!reached && !quit && std::chrono::steady_clock::now() < deadline) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    MSG message;
    while (!quit && PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) {
        PostQuitMessage(static_cast<int>(message.wParam));  // for the loop that owns it
        quit = true;
        break;
      }
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
    reached = done();
  }
  if (!disposed_) EnableWindow(window_, wasEnabled);
  SetCursor(before);
  return reached;
}

}  // namespace mervane::ui::win32
