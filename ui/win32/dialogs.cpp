// The modal "Motor Setup" and "Rename ..." dialogs: dialog-class windows made from an empty
// template, their controls built at WM_INITDIALOG, and their wiring to the shared logic.
#include "ui/win32/dialogs.h"

#include <commctrl.h>

#include <vector>

#include "ui/form_pointer.h"
#include "ui/win32/controls.h"
#include "ui/win32/gui_thread.h"

namespace mervane::ui::win32 {

namespace {

// Ends one of our dialogs as a refusal (EndModalBoxes); our dialogs carry kDialogProperty.
constexpr UINT kCancelDialogMessage = WM_APP + 3;
constexpr const char* kDialogProperty = "MervaneDialog";
constexpr int kUpDownMin = 1;
constexpr int kUpDownMax = 10000;

template <typename Dialog>
Dialog* DialogOf(HWND dialog, UINT message, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrA(dialog, DWLP_USER, lParam);
    SetPropA(dialog, kDialogProperty, reinterpret_cast<HANDLE>(1));
  }
  return reinterpret_cast<Dialog*>(GetWindowLongPtrA(dialog, DWLP_USER));
}

// --- Rename ---------------------------------------------------------------------------------------

struct Rename {
  const WindowApi& api;
  std::string caption;
  HWND owner;
  std::string name;
};

INT_PTR CALLBACK RenameProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  Rename* state = DialogOf<Rename>(dialog, message, lParam);
  if (state == nullptr) return FALSE;
  switch (message) {
    case WM_INITDIALOG: {
      SetWindowTextA(dialog, state->caption.c_str());
      HWND edit = Child(dialog, "Edit", "", WS_TABSTOP | ES_AUTOHSCROLL, kEdit1, 8, 8, 170, 22, WS_EX_CLIENTEDGE);
      Child(dialog, "Button", "OK", WS_TABSTOP | BS_DEFPUSHBUTTON, IDOK, 22, 39, 75, 25);
      Child(dialog, "Button", "Cancel", WS_TABSTOP | BS_PUSHBUTTON, IDCANCEL, 103, 39, 75, 25);
      PlaceCentred(dialog, 186, 70, state->owner);
      PublishForm(state->api.dlgRename, dialog);
      SetFocus(edit);
      return FALSE;
    }
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK) {
        state->name = WindowText(GetDlgItem(dialog, kEdit1));
        EndDialog(dialog, IDOK);
      } else if (LOWORD(wParam) == IDCANCEL) {
        EndDialog(dialog, IDCANCEL);
      }
      return TRUE;
    case kCancelDialogMessage:
    case WM_CLOSE:
      EndDialog(dialog, IDCANCEL);
      return TRUE;
    case WM_DESTROY:
      PublishForm(state->api.dlgRename, nullptr);
      return FALSE;
    default:
      return FALSE;
  }
}

BOOL CALLBACK CollectBox(HWND window, LPARAM boxes) {
  char type[16] = {};
  if (GetClassNameA(window, type, sizeof type) > 0 && std::string(type) == "#32770")
    reinterpret_cast<std::vector<HWND>*>(boxes)->push_back(window);
  return TRUE;
}

// --- Motor setup ----------------------------------------------------------------------------------

struct FieldSpec {
  const char* caption;
  const char* initial;
  const char* unit;
  int unitId;
};
// In SetupField order (EBName .. EBMax); the control ids follow the same order from kEBName.
constexpr FieldSpec kFields[] = {
    {"Name:", "", nullptr, 0},
    {"Coefficient:", "1", "step/mm", kLbCoeff},
    {"Start position:", "0", "mm", kLbStart},
    {"Length:", "5", "mm", kLbLength},
    {"Acceleration lenght:", "20", "steps", -1},
    {"Min step time:", "5", "ms", -1},
    {"Max step time:", "50", "ms", -1},
};
constexpr int FieldId(SetupField field) { return kEBName + static_cast<int>(field); }
constexpr int kAddressX = 120;
constexpr int kAddressY = 6;
constexpr int kClientWidth = 340;
constexpr int kClientHeight = 338;

int RowTop(int line) { return 64 + 26 * line; }

}  // namespace

bool RunRenameDialog(HWND owner, const WindowApi& api, const std::string& caption, std::string& name) {
  Rename state{api, caption, owner, {}};
  DialogTemplate empty;
  INT_PTR result = DialogBoxIndirectParamA(static_cast<HINSTANCE>(ModuleInstance()), empty.Get(), owner, RenameProc,
                                           reinterpret_cast<LPARAM>(&state));
  if (result != IDOK) return false;
  name = state.name;
  return true;
}

void EndModalBoxes() {
  std::vector<HWND> boxes;
  EnumThreadWindows(GetCurrentThreadId(), CollectBox, reinterpret_cast<LPARAM>(&boxes));
  for (HWND box : boxes) {
    if (GetPropA(box, kDialogProperty) != nullptr)
      SendMessageA(box, kCancelDialogMessage, 0, 0);
    else
      SendMessageA(box, WM_COMMAND, IDOK, 0);  // a message box: its only button
  }
}

MotorSetupDialog::MotorSetupDialog(const WindowApi& api, std::uint32_t device, int motor, const MotorInfo& start)
    : api_(api), model_(std::make_unique<MotorSetupModel>(api, *this, device, motor)) {
  model_->Record() = start;
  // At creation the position and zero fields of the edited record are 0.
  model_->Record().position = 0;
  model_->Record().zeroPoint = 0;
}

MotorSetupDialog::~MotorSetupDialog() { PublishForm(api_.dlgMotorSetup, nullptr); }

bool MotorSetupDialog::Run(HWND owner) {
  owner_ = owner;
  DialogTemplate empty;
  INT_PTR result = DialogBoxIndirectParamA(static_cast<HINSTANCE>(ModuleInstance()), empty.Get(), owner, Proc,
                                           reinterpret_cast<LPARAM>(this));
  dialog_ = nullptr;
  return result == IDOK && !cancelled_;
}

INT_PTR CALLBACK MotorSetupDialog::Proc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = DialogOf<MotorSetupDialog>(dialog, message, lParam);
  if (self == nullptr) return FALSE;
  if (message == WM_INITDIALOG) self->dialog_ = dialog;
  return self->Handle(message, wParam, lParam);
}

INT_PTR MotorSetupDialog::Handle(UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      SetWindowTextA(dialog_, kSetupCaption);
      Build();
      PlaceCentred(dialog_, kClientWidth, kClientHeight, owner_);
      PublishForm(api_.dlgMotorSetup, dialog_);
      ShowWindow(dialog_, SW_SHOW);
      model_->FormShow();
      SetFocus(Control(FieldId(SetupField::EBName)));
      return FALSE;
    case WM_COMMAND:
      OnCommand(LOWORD(wParam), HIWORD(wParam));
      return TRUE;
    case WM_CLOSE:
      // The title bar's close button: with OK pressed before, the validation runs here too.
      TryClose(IDCANCEL);
      return TRUE;
    case kCancelDialogMessage:
      cancelled_ = closing_ = true;
      EndDialog(dialog_, IDCANCEL);
      return TRUE;
    case WM_DESTROY:
      PublishForm(api_.dlgMotorSetup, nullptr);
      return FALSE;
    default:
      return FALSE;
  }
}

void MotorSetupDialog::Build() {
  BuildAddressSelector();
  Child(dialog_, "Static", "Address:", SS_LEFT, -1, 8, kAddressY + 18, 100, 16);
  for (std::size_t f = 0; f < std::size(kFields); ++f) {
    int line = static_cast<int>(f) + (f >= 1 ? 1 : 0);  // the type list sits below the name
    int top = RowTop(line);
    Child(dialog_, "Static", kFields[f].caption, SS_LEFT, -1, 8, top + 3, 110, 16);
    DWORD group = f == 0 ? WS_GROUP : 0;  // ends the address buttons' group
    Child(dialog_, "Edit", kFields[f].initial, group | WS_TABSTOP | ES_AUTOHSCROLL, kEBName + static_cast<int>(f), 120,
          top, 120, 22, WS_EX_CLIENTEDGE);
    if (kFields[f].unit != nullptr) Child(dialog_, "Static", kFields[f].unit, SS_LEFT, kFields[f].unitId, 246, top + 3, 80, 16);
    if (f == 0) {
      Child(dialog_, "Static", "Type:", SS_LEFT, -1, 8, RowTop(1) + 3, 110, 16);
      Child(dialog_, "ComboBox", "", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, kCBTyp, 120, RowTop(1), 200, 300);
    }
  }
  SendMessageA(Control(FieldId(SetupField::EBName)), EM_LIMITTEXT, 9, 0);
  const std::pair<SetupField, int> upDowns[] = {{SetupField::EBMin, kUDMin}, {SetupField::EBMax, kUDMax}};
  for (const auto& [field, id] : upDowns) {
    HWND buddy = Control(FieldId(field));
    int start = MotorSetupModel::FallbackOf(field);
    HWND arrows = CreateWindowExA(0, UPDOWN_CLASSA, "",
                                  WS_CHILD | WS_VISIBLE | UDS_SETBUDDYINT | UDS_ALIGNRIGHT | UDS_ARROWKEYS | UDS_NOTHOUSANDS,
                                  0, 0, 0, 0, dialog_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                  static_cast<HINSTANCE>(ModuleInstance()), nullptr);
    SendMessageA(arrows, UDM_SETBUDDY, reinterpret_cast<WPARAM>(buddy), 0);
    SendMessageA(arrows, UDM_SETRANGE32, kUpDownMin, kUpDownMax);
    SendMessageA(arrows, UDM_SETPOS32, 0, start);
  }
  HWND steps = Child(dialog_, "Button", "Half steps:", WS_TABSTOP | BS_AUTOCHECKBOX | BS_LEFTTEXT, kChSteps, 8,
                     RowTop(8) + 2, 104, 20);
  EnableWindow(steps, FALSE);
  Child(dialog_, "Button", "Auto Release:", WS_TABSTOP | BS_AUTOCHECKBOX | BS_LEFTTEXT, kChFix, 130, RowTop(8) + 2, 110, 20);
  Child(dialog_, "Button", "OK", WS_TABSTOP | BS_DEFPUSHBUTTON, IDOK, 176, kClientHeight - 32, 75, 25);
  Child(dialog_, "Button", "Cancel", WS_TABSTOP | BS_PUSHBUTTON, IDCANCEL, 257, kClientHeight - 32, 75, 25);
}

// Seven numbered columns (addresses 1..7) and "U" for a motor on no connector; one radio group.
// The hints are tooltips of the button, of its number and of the column's panel area.
void MotorSetupDialog::BuildAddressSelector() {
  tooltip_ = CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, 0, 0,
                             0, 0, dialog_, nullptr, static_cast<HINSTANCE>(ModuleInstance()), nullptr);
  SetPropA(dialog_, "Hints", tooltip_);
  for (int i = 0; i < kAddressColumns; ++i) {
    bool unplugged = i == kUnpluggedColumn;
    DWORD style = BS_AUTORADIOBUTTON | (i == 0 ? WS_GROUP | WS_TABSTOP : 0);
    HWND radio = Child(dialog_, "Button", "", style, kAddressRadioBase + i,
                       kAddressX + (unplugged ? 176 : 10 + 24 * i), kAddressY + 24, unplugged ? 17 : 16, 16);
    AddTool(radio, 0, nullptr, unplugged ? "Unplugged" : "");
  }
  for (int i = 0; i < kAddressColumns; ++i) {
    bool unplugged = i == kUnpluggedColumn;
    std::string number = unplugged ? "U" : std::to_string(i + 1);
    HWND label = Child(dialog_, "Static", number.c_str(), SS_CENTER | SS_NOTIFY, kAddressNumberBase + i,
                       kAddressX + (unplugged ? 176 : 8 + 24 * i), kAddressY + (unplugged ? 8 : 6), 20, 14);
    AddTool(label, 0, nullptr, unplugged ? "Unplugged" : "");
    if (!unplugged) {
      RECT panel{kAddressX + 8 + 24 * i, kAddressY + 4, kAddressX + 28 + 24 * i, kAddressY + 46};
      AddTool(nullptr, static_cast<UINT_PTR>(kAddressPanelBase + i), &panel, "");
    }
  }
  // The frame last: it lies below the buttons and labels drawn inside it.
  Child(dialog_, "Static", "", SS_ETCHEDFRAME, kPAddress, kAddressX, kAddressY, 202, 50);
}

void MotorSetupDialog::AddTool(HWND control, UINT_PTR id, const RECT* area, const char* hint) {
  TTTOOLINFOA tool{};
  tool.cbSize = TTTOOLINFOA_V2_SIZE;
  tool.hwnd = dialog_;
  tool.uFlags = TTF_SUBCLASS | (control != nullptr ? TTF_IDISHWND : 0);
  tool.uId = control != nullptr ? reinterpret_cast<UINT_PTR>(control) : id;
  if (area != nullptr) tool.rect = *area;
  tool.lpszText = const_cast<char*>(hint);
  SendMessageA(tooltip_, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
}

void MotorSetupDialog::OnCommand(int id, int code) {
  switch (id) {
    case IDOK: {
      // Enter in a field (the focus is still there): the field's own check first; a refused
      // value keeps the dialog open after its message.
      HWND focus = GetFocus();
      int focused = focus != nullptr && GetParent(focus) == dialog_ ? GetDlgCtrlID(focus) : 0;
      if (focused >= kEBName && focused <= kEBMax) {
        messageOpen_ = true;  // the check's message box takes the focus: no second check
        bool passed = model_->FieldLeft(static_cast<SetupField>(focused - kEBName));
        messageOpen_ = false;
        if (!passed) return;
      }
      model_->OkClicked();
      TryClose(IDOK);
      return;
    }
    case IDCANCEL:  // the Cancel button and Escape
      model_->CancelClicked();
      TryClose(IDCANCEL);
      return;
    case kCBTyp:
      if (code == CBN_SELCHANGE) model_->TypeChanged();
      return;
    default:
      break;
  }
  if (id < kEBName || id > kEBMax || quiet_) return;
  auto field = static_cast<SetupField>(id - kEBName);
  bool numberField = field == SetupField::EBCoef || field == SetupField::EBLen || field == SetupField::EBOffset;
  bool integerField = field == SetupField::EBMin || field == SetupField::EBAccel || field == SetupField::EBMax;
  if (code == EN_CHANGE && numberField) {
    model_->NumberChanged(field);
  } else if (code == EN_KILLFOCUS && !messageOpen_ && !closing_) {
    if (field == SetupField::EBCoef) model_->CoefficientLeft();
    if (integerField) model_->IntegerLeft(field);
  }
}

void MotorSetupDialog::TryClose(int result) {
  if (closing_) return;
  if (!cancelled_) {
    if (!model_->CloseQuery()) return;  // refused: stays open with the OK flag still set
    model_->Close();
  }
  closing_ = true;
  EndDialog(dialog_, result);
}

// --- MotorSetupView ----------------------------------------------------------------------------

std::string MotorSetupDialog::Text(SetupField field) const { return WindowText(Control(FieldId(field))); }

void MotorSetupDialog::SetText(SetupField field, const std::string& text) {
  SetTextQuietly(Control(FieldId(field)), text, quiet_);
}

void MotorSetupDialog::SetTypeNames(const std::vector<std::string>& names) {
  HWND types = Control(kCBTyp);
  SendMessageA(types, CB_RESETCONTENT, 0, 0);
  for (const std::string& name : names) SendMessageA(types, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
}

int MotorSetupDialog::TypeIndex() const { return static_cast<int>(SendMessageA(Control(kCBTyp), CB_GETCURSEL, 0, 0)); }

void MotorSetupDialog::SetTypeIndex(int index) { SendMessageA(Control(kCBTyp), CB_SETCURSEL, static_cast<WPARAM>(index), 0); }

void MotorSetupDialog::SetAddressEnabled(int column, bool enabled) {
  if (column < 0 || column >= kAddressColumns) return;
  EnableWindow(Control(kAddressRadioBase + column), enabled);
  EnableWindow(Control(kAddressNumberBase + column), enabled);
}

void MotorSetupDialog::SetAddressHint(int column, const std::string& hint) {
  if (column < 0 || column >= kAddressColumns) return;
  TTTOOLINFOA tool{};
  tool.cbSize = TTTOOLINFOA_V2_SIZE;
  tool.hwnd = dialog_;
  tool.lpszText = const_cast<char*>(hint.c_str());
  std::vector<UINT_PTR> tools = {reinterpret_cast<UINT_PTR>(Control(kAddressRadioBase + column)),
                                 reinterpret_cast<UINT_PTR>(Control(kAddressNumberBase + column))};
  if (column != kUnpluggedColumn) tools.push_back(static_cast<UINT_PTR>(kAddressPanelBase + column));
  for (UINT_PTR id : tools) {
    tool.uId = id;
    SendMessageA(tooltip_, TTM_UPDATETIPTEXTA, 0, reinterpret_cast<LPARAM>(&tool));
  }
}

void MotorSetupDialog::CheckAddress(int column) {
  if (column >= 0 && column < kAddressColumns)
    CheckRadioButton(dialog_, kAddressRadioBase, kAddressRadioBase + kAddressColumns - 1, kAddressRadioBase + column);
}

int MotorSetupDialog::CheckedAddress() const {
  for (int i = 0; i < kAddressColumns; ++i)
    if (IsDlgButtonChecked(dialog_, kAddressRadioBase + i) == BST_CHECKED) return i;
  return -1;
}

bool MotorSetupDialog::FlagChecked(SetupFlag flag) const {
  return IsDlgButtonChecked(dialog_, flag == SetupFlag::ChSteps ? kChSteps : kChFix) == BST_CHECKED;
}

void MotorSetupDialog::SetFlagChecked(SetupFlag flag, bool checked) {
  CheckDlgButton(dialog_, flag == SetupFlag::ChSteps ? kChSteps : kChFix, checked ? BST_CHECKED : BST_UNCHECKED);
}

void MotorSetupDialog::SetFlagEnabled(SetupFlag flag, bool enabled) {
  EnableWindow(Control(flag == SetupFlag::ChSteps ? kChSteps : kChFix), enabled);
}

void MotorSetupDialog::SetUnits(const std::string& coefficient, const std::string& start, const std::string& length) {
  SetWindowTextA(Control(kLbCoeff), coefficient.c_str());
  SetWindowTextA(Control(kLbStart), start.c_str());
  SetWindowTextA(Control(kLbLength), length.c_str());
}

void MotorSetupDialog::Message(const std::string& text, const std::string& caption, Icon icon) {
  messageOpen_ = true;
  ShowMessageBox(dialog_, text, caption, icon);
  messageOpen_ = false;
}

}  // namespace mervane::ui::win32
