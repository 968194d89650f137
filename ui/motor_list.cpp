// The control window's logic: refresh rules of the motor list, commands, context menu and the
// rename flow. Runs on the window's thread; every library call goes through an export.
#include "ui/motor_list.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "ui/texts.h"

namespace mervane::ui {

const char* const kColumnTitles[kColumnCount] = {
    "Name", "Device", "Address", "Type", "Position", "Destination", "Length", "Coef", "Offset", "Acceleration",
    "Min step time", "Max step time", "Half steps", "Auto release"};
const int kColumnWidths[kColumnCount] = {60, 60, 72, 100, 65, 65, 50, 50, 50, 50, 50, 50, 50, 50};
const char* const kDeviceCommandCaptions[5] = {"Open", "Close", "Rename...", "Add motor...", "Release all motors"};

namespace {
constexpr const char* kSelectMotor = "You must select motor from the list!";
constexpr const char* kResetFailed = "Attempt to reset running motor failed.\rStop the motor before reset please.";
constexpr std::uint8_t kBlockTypes = 0x40;

// The detail label that shows each column when a row is selected (Name has none).
constexpr Detail kDetailOf[kColumnCount] = {Detail::Count, Detail::LDev,   Detail::LAddr, Detail::LTyp,   Detail::LPos,
                                            Detail::Count, Detail::LLen,   Detail::LCoef, Detail::LOff,   Detail::LAccel,
                                            Detail::LMin,  Detail::LMax,   Detail::LSteps, Detail::LFix};

std::string DeviceText(bool (*get)(unsigned, char*, std::uint32_t), std::uint32_t device, std::uint32_t size,
                       bool* ok = nullptr) {
  char buffer[64] = {};
  bool got = get(device, buffer, size);
  if (ok != nullptr) *ok = got;
  return got ? std::string(buffer) : std::string();
}

std::string OnOff(std::uint8_t flag) { return flag != 0 ? "On" : "Off"; }
}  // namespace

std::string TypeName(const WindowApi& api, std::uint8_t code) {
  for (int i = 0; i < api.typeCount && i < kMaxMotorTypes; ++i)
    if (api.typeCodes[i] == code) return api.typeNames[i];
  return "???";
}

std::string InfoName(const MotorInfo& info) { return std::string(info.name, strnlen(info.name, sizeof info.name)); }

MotorListModel::MotorListModel(const WindowApi& api, MotorListView& view) : api_(api), view_(view) {
  ClearMotorDetails();
}

void MotorListModel::ClearMotorDetails() {
  for (int d = 0; d < static_cast<int>(Detail::Count); ++d) view_.SetDetail(static_cast<Detail>(d), "");
  view_.SetDestination("0");
}

void MotorListModel::TimerTick() {
  if (closed_) return;
  api_.RefreshDevices();
  RefreshMotorList();
  UpdateRowImages();
}

int MotorListModel::FindMotorRow(const std::string& serial, const std::string& name) const {
  for (std::size_t i = 0; i < rows_.size(); ++i)
    if (*rows_[i].key == serial && rows_[i].texts[kName] == name) return static_cast<int>(i);
  return -1;
}

int MotorListModel::CreateRow(const std::string& serial) {
  int at = static_cast<int>(rows_.size());
  if (insertIndex_ >= 0) {
    at = std::min(insertIndex_, at);
    insertIndex_ = -1;
  }
  rowKeys_.push_back(serial);
  rows_.insert(rows_.begin() + at, Row{&rowKeys_.back(), {}, kGreen});
  view_.InsertRow(at);
  view_.SetLamp(at, kGreen);
  view_.SelectRow(at);
  RowSelected(at);
  return at;
}

// A cell is written only when its text changes, so an idle list redraws nothing; an empty cell is
// always written.
void MotorListModel::Put(int row, int column, const std::string& text) {
  std::string& shown = rows_[row].texts[column];
  if (!shown.empty() && shown == text) return;
  shown = text;
  view_.SetText(row, column, text);
}

// Integer columns compare the shown text read as an integer with the value.
void MotorListModel::PutInteger(int row, int column, long value) {
  const std::string& shown = rows_[row].texts[column];
  if (!shown.empty() && std::strtol(shown.c_str(), nullptr, 10) == value) return;
  rows_[row].texts[column].clear();
  Put(row, column, Decimal(value));
}

void MotorListModel::UpdateRow(int row, std::uint32_t d, std::uint32_t c, const MotorInfo& info,
                               const std::string& deviceName) {
  Put(row, kName, InfoName(info));
  Put(row, kDevice, deviceName);
  Put(row, kAddress, info.address == 0 ? std::string("Unplugged") : Decimal(info.address));
  Put(row, kType, TypeName(api_, info.type));
  std::string position = Format6(api_.SM_GetPosition(d, c));
  Put(row, kPosition, position);
  if (view_.SelectedRow() == row) {
    view_.SetDetail(Detail::LPos, position);
    view_.SetDetail(Detail::LPosReal, Format6(api_.SM_GetRealPosition(d, c)));
  }
  Put(row, kDestination, Format6(api_.SM_GetTarget(d, c)));
  Put(row, kLength, Format6(static_cast<double>(info.length) / static_cast<double>(info.coefficient)));
  Put(row, kCoef, Format6(info.coefficient));
  Put(row, kOffset, Format6(info.offset));
  PutInteger(row, kAcceleration, info.acceleration);
  PutInteger(row, kMinStepTime, info.minStepTime);
  PutInteger(row, kMaxStepTime, info.maxStepTime);
  Put(row, kHalfSteps, OnOff(info.halfSteps));
  Put(row, kAutoRelease, OnOff(info.autoRelease));
}

// Rows are updated in place and never rebuilt; rows whose motor disappeared stay (red).
void MotorListModel::RefreshMotorList() {
  std::uint32_t count = api_.GetDevicesCount();
  for (std::uint32_t d = 0; d < count; ++d) {
    std::string serial = DeviceText(api_.GetDeviceSernum, d, 64);
    std::string deviceName = DeviceText(api_.GetDeviceName, d, 10);
    int motors = api_.SM_GetCount(d);
    for (int c = 0; c < motors; ++c) {
      MotorInfo info{};
      api_.SM_GetInfo(d, static_cast<std::uint32_t>(c), &info);
      int row = FindMotorRow(serial, InfoName(info));
      if (row < 0) row = CreateRow(serial);
      UpdateRow(row, d, static_cast<std::uint32_t>(c), info, deviceName);
    }
  }
}

void MotorListModel::SetLampOf(int row, int lamp) {
  if (rows_[row].lamp == lamp) return;
  rows_[row].lamp = lamp;
  view_.SetLamp(row, lamp);
}

bool MotorListModel::Resolve(int row, std::uint32_t& device, std::uint32_t& channel) const {
  return api_.SM_GetIndex(&device, &channel, rows_[row].texts[kName].c_str(), rows_[row].key->c_str(), -1) > 0;
}

void MotorListModel::UpdateRowImages() {
  for (int row = 0; row < RowCount(); ++row) {
    std::uint32_t d = 0;
    std::uint32_t c = 0;
    int lamp = kRed;
    if (Resolve(row, d, c) && api_.CheckDeviceConnection(d)) lamp = api_.SM_IsRunning(d, c) ? kYellow : kGreen;
    SetLampOf(row, lamp);
  }
}

void MotorListModel::RowSelected(int row) {
  if (row < 0 || row >= RowCount()) return;
  for (int column = kDevice; column < kColumnCount; ++column)
    if (kDetailOf[column] != Detail::Count) view_.SetDetail(kDetailOf[column], rows_[row].texts[column]);
  view_.SetDestination(rows_[row].texts[kPosition]);
  DestinationChanged();
}

void MotorListModel::DeleteRowAt(int row) {
  rows_.erase(rows_.begin() + row);
  view_.DeleteRow(row);
}

void MotorListModel::Error(const std::string& text, const char* caption, Icon icon) {
  view_.Message(text, caption, icon);
}

int MotorListModel::SelectedOrMessage(const char* caption) {
  int row = view_.SelectedRow();
  if (row < 0 || row >= RowCount()) {
    Error(kSelectMotor, caption);
    return -1;
  }
  return row;
}

// --- buttons -----------------------------------------------------------------------------------

void MotorListModel::SetTargetClick() {
  int row = SelectedOrMessage("Error");
  if (row < 0) return;
  const std::string name = rows_[row].texts[kName];
  if (rows_[row].lamp <= kRed) return Error("Can't set destination for motor " + name + "!\nDevice is unpluged");
  std::uint32_t d = 0;
  std::uint32_t c = 0;
  bool found = Resolve(row, d, c);
  std::string text = view_.Destination();
  std::optional<double> value = ToDouble(text);
  if (!value) return Error(NotNumber(text));  // ends the command
  if (!found || !api_.SM_SetDestination(d, c, *value))
    return Error("Can't set destination for motor " + name + "!");
  rows_[row].texts[kDestination].clear();
  Put(row, kDestination, text);
}

void MotorListModel::MoveClick(bool relative) {
  int row = SelectedOrMessage("Error");
  if (row < 0) return;
  float value = 0;
  if (ScanFloat(view_.Destination(), value) != Scan::Number) value = 0;
  const std::string name = rows_[row].texts[kName];
  if (rows_[row].lamp <= kRed) return Error("Can't move with motor " + name + "!\nDevice is unpluged");
  if (!api_.SMN_Move(name.c_str(), value, relative)) return Error("Can't move with motor " + name + "!");
  SetLampOf(row, kYellow);
  Put(row, kDestination, Format("%.15g", api_.SMN_GetTarget(name.c_str())));
}

void MotorListModel::StopClick() {
  int row = SelectedOrMessage("Error");
  if (row < 0) return;
  const std::string name = rows_[row].texts[kName];
  if (rows_[row].lamp <= kRed) return Error("Can't stop motor " + name + "!\nDevice is unpluged");
  std::uint32_t d = 0;
  std::uint32_t c = 0;
  if (!Resolve(row, d, c) || !api_.SM_Stop(d, c)) Error("Can't stop motor " + name + "!");
}

void MotorListModel::RunAllClick() {
  std::uint32_t count = api_.GetDevicesCount();
  for (std::uint32_t d = 0; d < count; ++d)
    if (!api_.Run(d)) Error("Can't move with motors on device " + DeviceText(api_.GetDeviceName, d, 10));
}

void MotorListModel::StopAllClick() {
  std::uint32_t count = api_.GetDevicesCount();
  for (std::uint32_t d = 0; d < count; ++d) api_.StopAll(d);
}

// Every change of the destination box: a text that holds no number loses its last character
// (which is a change again) until it does or is empty.
void MotorListModel::DestinationChanged() {
  std::string text = view_.Destination();
  float value = 0;
  while (!text.empty() && ScanFloat(text, value) == Scan::NoNumber) {
    Error("Value must be number!", "Type error");
    text.pop_back();
    view_.SetDestination(text);
  }
}

void MotorListModel::ZeroClick(bool checked) {
  int row = SelectedOrMessage("Error");
  if (row < 0) return;
  const std::string name = rows_[row].texts[kName];
  if (rows_[row].lamp <= kRed) {
    Error("Can't reset motor " + name + "!\nDevice is unpluged");
  } else {
    std::uint32_t d = 0;
    std::uint32_t c = 0;
    if (!Resolve(row, d, c) || !api_.SM_SetZero(d, c))
      Error("Motor " + name + " is running!\nStop the motor before reset please.", "Can't reset");
  }
  menu_.zeroChecked = checked;
}

// --- menu commands -----------------------------------------------------------------------------

void MotorListModel::SetupClick() {
  int row = SelectedOrMessage("Isn't selected item");
  if (row < 0) return;
  const std::string key = *rows_[row].key;
  const std::string name = rows_[row].texts[kName];
  if (!api_.SMN_Setup(name.c_str())) return;
  // The next refresh re-creates the row in place, with its new settings and name. The dialog ran
  // a nested event loop (refreshes included), so the row is looked up again.
  row = FindMotorRow(key, name);
  if (row < 0) return;
  insertIndex_ = row;
  DeleteRowAt(row);
}

// A menu command on the selected row's motor: nothing when it is not found, the message when the
// export refuses.
void MotorListModel::ActOnSelected(bool (*act)(std::uint32_t, std::uint32_t), const char* failure,
                                   const char* caption, Icon icon) {
  int row = SelectedOrMessage("Error");
  std::uint32_t d = 0;
  std::uint32_t c = 0;
  if (row >= 0 && Resolve(row, d, c) && !act(d, c)) Error(failure, caption, icon);
}

void MotorListModel::InitializeClick() { ActOnSelected(api_.SM_Initialize, "Can't initialize motor!"); }

void MotorListModel::SetZeroClick() { ActOnSelected(api_.SM_SetZero, kResetFailed, "Can't reset", Icon::None); }

void MotorListModel::ResetClick() { ActOnSelected(api_.SM_Reset, kResetFailed, "Can't reset", Icon::None); }

void MotorListModel::RemoveClick() {
  int row = SelectedOrMessage("Error");
  std::uint32_t d = 0;
  std::uint32_t c = 0;
  if (row < 0 || !Resolve(row, d, c)) return;
  DeleteRowAt(row);
  if (!api_.SM_Remove(d, c)) Error("Can't remove selected motor!");
}

void MotorListModel::ReleaseClick() {
  int row = SelectedOrMessage("Error");
  if (row >= 0 && !api_.SMN_Release(rows_[row].texts[kName].c_str())) Error("Can't release selected motor!");
}

void MotorListModel::ReleaseAllClick() {
  if (!api_.SM_ReleaseAll()) Error("Can't release some motor!");
}

// --- context menu ------------------------------------------------------------------------------

void MotorListModel::MenuPopup(Hit hit, int row) {
  if (hit == Hit::Row && row >= 0 && row < RowCount()) {
    std::uint32_t d = 0;
    std::uint32_t c = 0;
    if (Resolve(row, d, c)) {
      char type[50] = {};
      int code = api_.SM_GetType(d, c, type, sizeof type);
      menu_.initialize = code >= 0 && (code & kBlockTypes) != 0;
    }
    menu_.setup = menu_.reset = menu_.zero = menu_.remove = menu_.release = true;
  } else if (hit == Hit::Empty) {
    menu_.setup = menu_.initialize = menu_.reset = menu_.zero = menu_.remove = menu_.release = false;
  }
  for (std::uint32_t i = 0; i < api_.GetDevicesCount(); ++i) {
    bool named = false;
    bool numbered = false;
    std::string name = DeviceText(api_.GetDeviceName, i, 10, &named);
    std::string serial = DeviceText(api_.GetDeviceSernum, i, 64, &numbered);
    if (!named || !numbered) continue;
    auto it = std::find_if(devices_.begin(), devices_.end(), [&](const DeviceMenuEntry& e) { return e.serial == serial; });
    if (it == devices_.end()) {
      bool connected = api_.CheckDeviceConnection(i);
      devices_.push_back(DeviceMenuEntry{serial, name, {!connected, connected, connected, connected, connected}});
    } else if (it->caption != name) {
      it->caption = name;
    }
  }
}

void MotorListModel::DeviceMenuClick(std::size_t entry, int tag) {
  if (entry >= devices_.size()) return;
  const DeviceMenuEntry target = devices_[entry];  // a nested loop below may grow the menu
  int index = api_.GetDeviceIndex(target.serial.c_str());
  if (index < 0) return;
  auto d = static_cast<std::uint32_t>(index);
  switch (tag) {
    case kOpen:
      api_.OpenDevice(d);
      break;
    case kClose:
      api_.CloseDevice(d);
      break;
    case kRename: {
      std::string name;
      if (view_.AskRename("Rename " + target.caption, name)) api_.RenameDevice(d, name.c_str());
      break;
    }
    case kAddMotor:
      insertIndex_ = -1;
      api_.SM_Setup(d, -1, nullptr);  // the new motor's row comes with the next refresh
      break;
    case kReleaseAllMotors:
      api_.SM_Release(d, 0);
      break;
    default:
      break;
  }
}

}  // namespace mervane::ui
