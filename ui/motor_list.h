// The control window's logic, free of any toolkit: the motor list with its 500 ms refresh rules,
// the detail panel, the commands of the buttons, the destination box, the "Zero" check box and
// the context menu with its "Devices" submenu, and the rename flow. It reaches the library
// through WindowApi and shows everything through MotorListView.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "ui/window_api.h"

namespace mervane::ui {

// Columns of LvMotorList: 0 is the caption ("Name"), 1..13 the sub-items "Device".."Auto release".
enum Column : int {
  kName,
  kDevice,
  kAddress,
  kType,
  kPosition,
  kDestination,
  kLength,
  kCoef,
  kOffset,
  kAcceleration,
  kMinStepTime,
  kMaxStepTime,
  kHalfSteps,
  kAutoRelease,
  kColumnCount
};
extern const char* const kColumnTitles[kColumnCount];
extern const int kColumnWidths[kColumnCount];

// Image indices of ImageList1.
enum Lamp : int { kRed = 0, kGreen = 1, kYellow = 2 };

// Value labels of the detail panel.
enum class Detail { LDev, LAddr, LTyp, LPos, LLen, LCoef, LOff, LAccel, LMin, LMax, LPosReal, LSteps, LFix, Count };

// What the window shows. Calls never call back into the model.
class MotorListView {
public:
  virtual ~MotorListView() = default;
  // A row with kColumnCount empty texts at `at` (-1: at the end).
  virtual void InsertRow(int at) = 0;
  virtual void DeleteRow(int row) = 0;
  virtual void SetText(int row, int column, const std::string& text) = 0;
  virtual void SetLamp(int row, int lamp) = 0;
  // The selected row, -1 when none.
  virtual int SelectedRow() const = 0;
  // Makes `row` the selected and focused row.
  virtual void SelectRow(int row) = 0;
  virtual void SetDetail(Detail label, const std::string& text) = 0;
  virtual std::string Destination() const = 0;
  virtual void SetDestination(const std::string& text) = 0;
  // A modal message box over the window.
  virtual void Message(const std::string& text, const std::string& caption, Icon icon) = 0;
  // The modal rename dialog with this caption; true on OK, with the typed name.
  virtual bool AskRename(const std::string& caption, std::string& name) = 0;
  // Waits until `done` holds or `seconds` have passed and returns done(). A window keeps
  // repainting and refreshing meanwhile, with a busy cursor, and takes no user input; this
  // default only polls every 10 ms.
  virtual bool WaitUntil(const std::function<bool()>& done, double seconds);
};

// Enabled and checked states of PmMenu's items, as the last opening of the menu left them.
struct MotorMenuState {
  bool setup = false;
  bool initialize = false;
  bool zero = false;
  bool reset = false;
  bool release = false;
  bool remove = false;
  bool zeroChecked = false;  // "Set zero"'s check mark, copied from the "Zero" check box
};

// One entry of the "Devices" submenu, kept for every serial number ever seen.
struct DeviceMenuEntry {
  std::string serial;
  std::string caption;
  std::array<bool, 5> enabled{};  // by tag: Open, Close, Rename..., Add motor..., Release all motors
};
enum DeviceTag : int { kOpen, kClose, kRename, kAddMotor, kReleaseAllMotors };
extern const char* const kDeviceCommandCaptions[5];

// Where the context menu opened.
enum class Hit { Row, Empty, Other };

class MotorListModel {
public:
  MotorListModel(const WindowApi& api, MotorListView& view);

  // --- list and refresh ---
  void ClearMotorDetails();
  // The 500 ms timer: nothing while closed, else discovery, the rows, then the lamps.
  void TimerTick();
  void RefreshMotorList();
  void UpdateRowImages();
  // The row of channel `channel` of the box `serial`; -1 when none. Every motor has a row of its
  // own, identified by its box and channel; commands act on exactly that motor.
  int FindMotorRow(const std::string& serial, std::uint32_t channel) const;
  // The user selected `row` (LvMotorListSelectItem).
  void RowSelected(int row);
  // The user closed the window (it is hidden, not destroyed) or it is shown again.
  void Closed() { closed_ = true; }
  void Reopened() { closed_ = false; }
  bool IsClosed() const { return closed_; }

  // --- commands ---
  void SetTargetClick();
  void MoveClick(bool relative);
  void StopClick();
  void RunAllClick();
  void StopAllClick();
  void DestinationChanged();
  void ZeroClick(bool checked);
  void SetupClick();  // double click and "Setup"
  void InitializeClick();
  void SetZeroClick();
  void ResetClick();
  void RemoveClick();
  void ReleaseClick();
  void ReleaseAllClick();

  // --- context menu ---
  void MenuPopup(Hit hit, int row);
  void DeviceMenuClick(std::size_t entry, int tag);
  const MotorMenuState& Menu() const { return menu_; }
  const std::vector<DeviceMenuEntry>& DeviceMenu() const { return devices_; }

  // --- state, for the view and tests ---
  int RowCount() const { return static_cast<int>(rows_.size()); }
  const std::string& Text(int row, int column) const { return rows_[row].texts[column]; }
  const std::string& Key(int row) const { return *rows_[row].key; }
  std::uint32_t Channel(int row) const { return rows_[row].channel; }
  int LampOf(int row) const { return rows_[row].lamp; }
  std::size_t RowKeyCount() const { return rowKeys_.size(); }
  // The device name as the window shows it: whole, however long.
  std::string DeviceName(std::uint32_t device) const;

  // How long a command waits for its motors to come to rest.
  static constexpr double kWaitSeconds = 10.0;

private:
  struct Row {
    const std::string* key;  // an entry of rowKeys_: the box's serial number
    std::uint32_t channel;   // the motor's channel on that box
    std::array<std::string, kColumnCount> texts;
    int lamp;
  };

  int CreateRow(const std::string& serial, std::uint32_t channel);
  void Put(int row, int column, const std::string& text, bool selected);
  void PutInteger(int row, int column, long value, bool selected);
  void UpdateRow(int row, std::uint32_t device, std::uint32_t channel, const MotorInfo& info,
                 const std::string& deviceName);
  // Reads the motor of `row` again at once (after its setup).
  void ReloadRow(int row);
  void SetLampOf(int row, int lamp);
  void DeleteRowAt(int row);
  bool Resolve(int row, std::uint32_t& device, std::uint32_t& channel) const;
  // The selected row, or -1 after the selection message with `caption`.
  int SelectedOrMessage(const char* caption);
  // The selected row when its motor is found, after the selection message or `failure` with the
  // reason otherwise.
  int SelectedMotor(std::uint32_t& device, std::uint32_t& channel, const std::string& failure,
                    const char* caption = "Error");
  void Error(const std::string& text, const char* caption = "Error", Icon icon = Icon::Error);
  // Stops the motors `stop` names and lets the window go on until `resting` holds (at most
  // kWaitSeconds); true once it does.
  bool StopAndWait(const std::function<void()>& stop, const std::function<bool()>& resting);
  bool StopAndWait(std::uint32_t device, std::uint32_t channel);
  bool StopAndWaitDevice(std::uint32_t device);
  // "Set zero" and "Reset": the motor is brought to rest first, then `act` runs on it.
  void ResetCommand(bool (*act)(std::uint32_t, std::uint32_t));

  const WindowApi& api_;
  MotorListView& view_;
  std::vector<Row> rows_;
  // Every row's key; entries are never removed while the window lives, and a deque keeps their
  // addresses, so a row's key stays valid for as long as the row exists.
  std::deque<std::string> rowKeys_;
  bool closed_ = false;
  MotorMenuState menu_;
  std::vector<DeviceMenuEntry> devices_;
};

// The motor name of a record, read with its 10-byte bound.
std::string InfoName(const MotorInfo& info);
// The display name of a motor type code; "???" for an unknown one.
std::string TypeName(const WindowApi& api, std::uint8_t code);

}  // namespace mervane::ui
