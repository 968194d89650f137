// The control window's logic: refresh rules of the motor list, commands, context menu and the
// rename flow. Runs on the window's thread; every library call goes through an export.
#include "ui/motor_list.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>

#include "ui/texts.h"

namespace mervane::ui {

const char* const kColumnTitles[kColumnCount] = {
    "Name", "Device", "Address", "Type", "Position", "Destination", "Length", "Coef", "Offset", "Acceleration",
    "Min step time", "Max step time", "Half steps", "Auto release"};
// The least width of each column; a view widens a column to its title and its texts.
const int kColumnWidths[kColumnCount] = {60, 60, 40, 50, 65, 65, 50, 50, 50, 50, 50, 50, 50, 50};
const char* const kDeviceCommandCaptions[5] = {"Open", "Close", "Rename...", "Add motor...", "Release all motors"};

namespace {
constexpr const char* kSelectMotor = "You must select motor from the list!";
constexpr const char* kResetFailed = "Attempt to reset running motor failed.\rStop the motor before reset please.";
// Added to a command's failure when the row's motor is no longer on its box.
constexpr const char* kNotFound = "\nMotor is not found";
constexpr std::uint8_t kBlockTypes = 0x40;
constexpr std::uint32_t kNameBuffer = 256;  // device names are shown whole

// The detail label that shows each column while its row is selected (Name and Destination have none).
constexpr Detail kDetailOf[kColumnCount] = {Detail::Count, Detail::LDev,   Detail::LAddr, Detail::LTyp,   Detail::LPos,
                                            Detail::Count, Detail::LLen,   Detail::LCoef, Detail::LOff,   Detail::LAccel,
                                            Detail::LMin,  Detail::LMax,   Detail::LSteps, Detail::LFix};

std::string DeviceText(bool (*get)(unsigned, char*, std::uint32_t), std::uint32_t device, bool* ok = nullptr) {
  char buffer[kNameBuffer] = {};
  bool got = get(device, buffer, sizeof buffer);
  if (ok != nullptr) *ok = got;
  return got ? std::string(buffer) : std::string();
}

std::string OnOff(std::uint8_t flag) { return flag != 0 ? "On" : "Off"; }
}  // namespace

bool MotorListView::WaitUntil(const std::function<bool()>& done, double seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::string TypeName(const WindowApi& api, std::uint8_t code) {
  for (int i = 0; i < api.typeCount && i < kMaxMotorTypes; ++i)
    if (api.typeCodes[i] == code) return api.typeNames[i];
  return "???";
}

std::string InfoName(const MotorInfo& info) { return std::string(info.name, strnlen(info.name, sizeof info.name)); }

MotorListModel::MotorListModel(const WindowApi& api, MotorListView& view) : api_(api), view_(view) {
  ClearMotorDetails();
}

std::string MotorListModel::DeviceName(std::uint32_t device) const { return DeviceText(api_.GetDeviceName, device); }

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

int MotorListModel::FindMotorRow(const std::string& serial, std::uint32_t channel) const {
  for (std::size_t i = 0; i < rows_.size(); ++i)
    if (rows_[i].channel == channel && *rows_[i].key == serial) return static_cast<int>(i);
  return -1;
}

int MotorListModel::CreateRow(const std::string& serial, std::uint32_t channel) {
  int at = static_cast<int>(rows_.size());
  rowKeys_.push_back(serial);
  rows_.push_back(Row{&rowKeys_.back(), channel, {}, kGreen});
  view_.InsertRow(at);
  view_.SetLamp(at, kGreen);
  return at;
}

// A cell is written only when its text changes, so an idle list redraws nothing; an empty cell is
// always written. The selected row's detail labels follow its cells.
void MotorListModel::Put(int row, int column, const std::string& text, bool selected) {
  std::string& shown = rows_[row].texts[column];
  if (!shown.empty() && shown == text) return;
  shown = text;
  view_.SetText(row, column, text);
  if (selected && kDetailOf[column] != Detail::Count) view_.SetDetail(kDetailOf[column], text);
}

// Integer columns compare the shown text read as an integer with the value.
void MotorListModel::PutInteger(int row, int column, long value, bool selected) {
  const std::string& shown = rows_[row].texts[column];
  if (!shown.empty() && std::strtol(shown.c_str(), nullptr, 10) == value) return;
  rows_[row].texts[column].clear();
  Put(row, column, Decimal(value), selected);
}

void MotorListModel::UpdateRow(int row, std::uint32_t d, std::uint32_t c, const MotorInfo& info,
                               const std::string& deviceName) {
  const bool selected = view_.SelectedRow() == row;
  Put(row, kName, InfoName(info), selected);
  Put(row, kDevice, deviceName, selected);
  Put(row, kAddress, info.address == 0 ? std::string("Unplugged") : Decimal(info.address), selected);
  Put(row, kType, TypeName(api_, info.type), selected);
  Put(row, kPosition, Format6(api_.SM_GetPosition(d, c)), selected);
  if (selected) {
    view_.SetDetail(Detail::LPos, rows_[row].texts[kPosition]);
    view_.SetDetail(Detail::LPosReal, Format6(api_.SM_GetRealPosition(d, c)));
  }
  Put(row, kDestination, Format6(api_.SM_GetTarget(d, c)), selected);
  Put(row, kLength, Format6(static_cast<double>(info.length) / static_cast<double>(info.coefficient)), selected);
  Put(row, kCoef, Format6(info.coefficient), selected);
  Put(row, kOffset, Format6(info.offset), selected);
  PutInteger(row, kAcceleration, info.acceleration, selected);
  PutInteger(row, kMinStepTime, info.minStepTime, selected);
  PutInteger(row, kMaxStepTime, info.maxStepTime, selected);
  Put(row, kHalfSteps, OnOff(info.halfSteps), selected);
  Put(row, kAutoRelease, OnOff(info.autoRelease), selected);
}

// Rows are updated in place and never rebuilt; a row whose motor disappeared stays (red). A new
// motor's row is appended and becomes the selected row, its details filled.
void MotorListModel::RefreshMotorList() {
  std::uint32_t count = api_.GetDevicesCount();
  for (std::uint32_t d = 0; d < count; ++d) {
    std::string serial = DeviceText(api_.GetDeviceSernum, d);
    std::string deviceName = DeviceName(d);
    int motors = api_.SM_GetCount(d);
    for (int c = 0; c < motors; ++c) {
      auto channel = static_cast<std::uint32_t>(c);
      MotorInfo info{};
      api_.SM_GetInfo(d, channel, &info);
      int row = FindMotorRow(serial, channel);
      const bool created = row < 0;
      if (created) row = CreateRow(serial, channel);
      UpdateRow(row, d, channel, info, deviceName);
      if (created) {
        view_.SelectRow(row);
        RowSelected(row);
      }
    }
  }
}

void MotorListModel::ReloadRow(int row) {
  std::uint32_t d = 0;
  std::uint32_t c = 0;
  if (!Resolve(row, d, c)) return;
  MotorInfo info{};
  if (!api_.SM_GetInfo(d, c, &info)) return;
  UpdateRow(row, d, c, info, DeviceName(d));
}

void MotorListModel::SetLampOf(int row, int lamp) {
  if (rows_[row].lamp == lamp) return;
  rows_[row].lamp = lamp;
  view_.SetLamp(row, lamp);
}

// The row's box by its serial number, and its channel while the box still has it.
bool MotorListModel::Resolve(int row, std::uint32_t& device, std::uint32_t& channel) const {
  int index = api_.GetDeviceIndex(rows_[row].key->c_str());
  if (index < 0) return false;
  int motors = api_.SM_GetCount(static_cast<std::uint32_t>(index));
  if (motors < 0 || rows_[row].channel >= static_cast<std::uint32_t>(motors)) return false;
  device = static_cast<std::uint32_t>(index);
  channel = rows_[row].channel;
  return true;
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
  std::uint32_t d = 0;
  std::uint32_t c = 0;
  view_.SetDetail(Detail::LPosReal, Resolve(row, d, c) ? Format6(api_.SM_GetRealPosition(d, c)) : std::string());
  view_.SetDestination(rows_[row].texts[kPosition]);
  DestinationChanged();
}

// The row goes; the row that takes its place (or the one before, at the end) becomes the selected
// one and the details describe it, or nothing when the list is empty.
void MotorListModel::DeleteRowAt(int row) {
  rows_.erase(rows_.begin() + row);
  view_.DeleteRow(row);
  if (rows_.empty()) return ClearMotorDetails();
  int next = std::min(row, RowCount() - 1);
  view_.SelectRow(next);
  RowSelected(next);
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

int MotorListModel::SelectedMotor(std::uint32_t& device, std::uint32_t& channel, const std::string& failure,
                                  const char* caption) {
  int row = SelectedOrMessage(caption);
  if (row < 0) return -1;
  if (Resolve(row, device, channel)) return row;
  Error(failure + kNotFound, caption);
  return -1;
}

bool MotorListModel::StopAndWait(const std::function<void()>& stop, const std::function<bool()>& resting) {
  stop();
  return resting() || view_.WaitUntil(resting, kWaitSeconds);
}

bool MotorListModel::StopAndWait(std::uint32_t d, std::uint32_t c) {
  return StopAndWait([&] { api_.SM_Stop(d, c); }, [&] { return !api_.SM_IsRunning(d, c); });
}

bool MotorListModel::StopAndWaitDevice(std::uint32_t d) {
  auto resting = [&] {
    for (int c = 0; c < api_.SM_GetCount(d); ++c)
      if (api_.SM_IsRunning(d, static_cast<std::uint32_t>(c))) return false;
    return true;
  };
  return StopAndWait([&] { api_.StopAll(d); }, resting);
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
  Put(row, kDestination, text, true);
}

void MotorListModel::MoveClick(bool relative) {
  int row = SelectedOrMessage("Error");
  if (row < 0) return;
  float value = 0;
  if (ScanFloat(view_.Destination(), value) != Scan::Number) value = 0;
  const std::string name = rows_[row].texts[kName];
  if (rows_[row].lamp <= kRed) return Error("Can't move with motor " + name + "!\nDevice is unpluged");
  std::uint32_t d = 0;
  std::uint32_t c = 0;
  if (!Resolve(row, d, c) || !api_.MoveMotor(d, c, value, relative))
    return Error("Can't move with motor " + name + "!");
  SetLampOf(row, kYellow);
  Put(row, kDestination, Format("%.15g", api_.SM_GetTarget(d, c)), true);
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

// A box that is not connected has no motors to start (they come back with it, at rest): when the
// list shows motors of it, the user is told that they did not move.
void MotorListModel::RunAllClick() {
  std::uint32_t count = api_.GetDevicesCount();
  for (std::uint32_t d = 0; d < count; ++d) {
    bool started = false;
    if (api_.CheckDeviceConnection(d)) {
      started = api_.Run(d);
    } else {
      const std::string serial = DeviceText(api_.GetDeviceSernum, d);
      started = std::none_of(rows_.begin(), rows_.end(), [&](const Row& row) { return *row.key == serial; });
    }
    if (!started) Error("Can't move with motors on device " + DeviceName(d));
  }
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
  std::uint32_t d = 0;
  std::uint32_t c = 0;
  if (rows_[row].lamp <= kRed) {
    Error("Can't reset motor " + name + "!\nDevice is unpluged");
  } else if (!Resolve(row, d, c)) {
    Error("Can't reset motor " + name + "!" + kNotFound);
  } else if (!StopAndWait(d, c) || !api_.SM_SetZero(d, c)) {
    Error("Motor " + name + " is running!\nStop the motor before reset please.", "Can't reset");
  }
  menu_.zeroChecked = checked;
}

// --- menu commands -----------------------------------------------------------------------------

// The dialog edits the motor of the row; on OK the row shows its new settings at once, in place.
void MotorListModel::SetupClick() {
  std::uint32_t d = 0;
  std::uint32_t c = 0;
  int row = view_.SelectedRow();
  std::string name = row >= 0 && row < RowCount() ? rows_[row].texts[kName] : std::string();
  if (SelectedMotor(d, c, "Can't setup motor " + name + "!", "Isn't selected item") < 0) return;
  const std::string key = *rows_[row].key;
  if (api_.SM_Setup(d, static_cast<int>(c), nullptr) < 0) return;  // cancelled, or refused by the dialog's checks
  // The dialog ran a nested event loop (refreshes included): the row is looked up again.
  row = FindMotorRow(key, c);
  if (row < 0) return;
  ReloadRow(row);
  if (view_.SelectedRow() == row) RowSelected(row);
}

void MotorListModel::InitializeClick() {
  std::uint32_t d = 0;
  std::uint32_t c = 0;
  if (SelectedMotor(d, c, "Can't initialize motor!") >= 0 && !api_.SM_Initialize(d, c))
    Error("Can't initialize motor!");
}

void MotorListModel::ResetCommand(bool (*act)(std::uint32_t, std::uint32_t)) {
  int row = view_.SelectedRow();
  std::string name = row >= 0 && row < RowCount() ? rows_[row].texts[kName] : std::string();
  std::uint32_t d = 0;
  std::uint32_t c = 0;
  if (SelectedMotor(d, c, "Can't reset motor " + name + "!") < 0) return;
  if (!StopAndWait(d, c) || !act(d, c)) Error(kResetFailed, "Can't reset", Icon::None);
}

void MotorListModel::SetZeroClick() { ResetCommand(api_.SM_SetZero); }

void MotorListModel::ResetClick() { ResetCommand(api_.SM_Reset); }

// The box moves the motors behind a removed one down by one channel: so do their rows.
void MotorListModel::RemoveClick() {
  std::uint32_t d = 0;
  std::uint32_t c = 0;
  int row = SelectedMotor(d, c, "Can't remove selected motor!");
  if (row < 0) return;
  if (!api_.SM_Remove(d, c)) return Error("Can't remove selected motor!");
  const std::string* key = rows_[row].key;
  for (Row& other : rows_)
    if (*other.key == *key && other.channel > c) --other.channel;
  DeleteRowAt(row);
}

void MotorListModel::ReleaseClick() {
  std::uint32_t d = 0;
  std::uint32_t c = 0;
  if (SelectedMotor(d, c, "Can't release selected motor!") < 0) return;
  if (!StopAndWait(d, c) || !api_.SM_Release(d, c)) Error("Can't release selected motor!");
}

void MotorListModel::ReleaseAllClick() {
  auto stop = [&] {
    for (std::uint32_t d = 0; d < api_.GetDevicesCount(); ++d) api_.StopAll(d);
  };
  auto resting = [&] {
    for (std::uint32_t d = 0; d < api_.GetDevicesCount(); ++d)
      for (int c = 0; c < api_.SM_GetCount(d); ++c)
        if (api_.SM_IsRunning(d, static_cast<std::uint32_t>(c))) return false;
    return true;
  };
  if (!StopAndWait(stop, resting) || !api_.SM_ReleaseAll()) Error("Can't release some motor!");
}

// --- context menu ------------------------------------------------------------------------------

void MotorListModel::MenuPopup(Hit hit, int row) {
  if (hit == Hit::Row && row >= 0 && row < RowCount()) {
    std::uint32_t d = 0;
    std::uint32_t c = 0;
    menu_.initialize = false;  // a motor that is not found is none of the block types
    if (Resolve(row, d, c)) {
      char type[50] = {};
      int code = api_.SM_GetType(d, c, type, sizeof type);
      menu_.initialize = code >= 0 && (code & kBlockTypes) != 0;
    }
    menu_.setup = menu_.reset = menu_.zero = menu_.remove = menu_.release = true;
  } else if (hit == Hit::Empty) {
    menu_.setup = menu_.initialize = menu_.reset = menu_.zero = menu_.remove = menu_.release = false;
  }
  // Every opening shows each box's present connection; a box no longer listed offers nothing.
  for (DeviceMenuEntry& entry : devices_) entry.enabled.fill(false);
  for (std::uint32_t i = 0; i < api_.GetDevicesCount(); ++i) {
    bool named = false;
    bool numbered = false;
    std::string name = DeviceText(api_.GetDeviceName, i, &named);
    std::string serial = DeviceText(api_.GetDeviceSernum, i, &numbered);
    if (!named || !numbered) continue;
    auto it = std::find_if(devices_.begin(), devices_.end(), [&](const DeviceMenuEntry& e) { return e.serial == serial; });
    if (it == devices_.end()) it = devices_.insert(devices_.end(), DeviceMenuEntry{serial, name, {}});
    it->caption = name;
    bool connected = api_.CheckDeviceConnection(i);
    it->enabled = {!connected, connected, connected, connected, connected};
  }
}

void MotorListModel::DeviceMenuClick(std::size_t entry, int tag) {
  if (entry >= devices_.size()) return;
  const DeviceMenuEntry target = devices_[entry];  // a nested loop below may grow the menu
  int index = api_.GetDeviceIndex(target.serial.c_str());
  if (index < 0) return;  // its entry is disabled: the box is no longer listed
  auto d = static_cast<std::uint32_t>(index);
  switch (tag) {
    case kOpen:
      if (!api_.OpenDevice(d)) Error("Can't open device " + target.caption + "!");
      break;
    case kClose:
      api_.CloseDevice(d);
      break;
    case kRename: {
      std::string name;
      if (view_.AskRename("Rename " + target.caption, name) && !api_.RenameDevice(d, name.c_str()))
        Error("Can't rename device " + target.caption + "!");
      break;
    }
    case kAddMotor:
      api_.SM_Setup(d, -1, nullptr);  // the new motor's row comes with the next refresh
      break;
    case kReleaseAllMotors:
      if (!StopAndWaitDevice(d) || !api_.ReleaseDevice(d)) Error("Can't release some motor!");
      break;
    default:
      break;
  }
}

}  // namespace mervane::ui
