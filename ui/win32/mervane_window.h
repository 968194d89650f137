// TDlgMervane on Windows: the motor list (a report-view list view), the detail panel with
// "Move to...", the buttons and the context menu. A thin view over MotorListModel; lives on the
// window's thread.
#pragma once

#include <windows.h>

#include <array>
#include <functional>
#include <memory>

#include "ui/motor_list.h"

namespace mervane::ui::win32 {

class MervaneWindow : public MotorListView {
public:
  explicit MervaneWindow(const WindowApi& api);
  ~MervaneWindow() override;
  MervaneWindow(const MervaneWindow&) = delete;
  MervaneWindow& operator=(const MervaneWindow&) = delete;

  // Whether the window could be made.
  bool Created() const { return window_ != nullptr; }
  HWND Handle() const { return window_; }
  // ShowSetupWin: shows the window (again) and lets the refresh run.
  void ShowAgain();
  // CloseSetupWin: stops the refresh, hides the window and destroys it (and this object) as soon
  // as no command of it is running any more. The caller has ended the open message boxes.
  void Dispose();
  bool Disposed() const { return disposed_; }
  MotorListModel& Model() { return *model_; }

  // MotorListView
  void InsertRow(int at) override;
  void DeleteRow(int row) override;
  void SetText(int row, int column, const std::string& text) override;
  void SetLamp(int row, int lamp) override;
  int SelectedRow() const override;
  void SelectRow(int row) override;
  void SetDetail(Detail label, const std::string& text) override;
  std::string Destination() const override;
  void SetDestination(const std::string& text) override;
  void Message(const std::string& text, const std::string& caption, Icon icon) override;
  bool AskRename(const std::string& caption, std::string& name) override;
  bool WaitUntil(const std::function<bool()>& done, double seconds) override;

private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK ListProc(HWND list, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR self);
  LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
  void Build();
  void BuildMenu();
  void Layout();
  void OnCommand(int id, int code);
  void OnNotify(const NMHDR& header);
  void PreparePopup(POINT inList);
  void ShowPopup(POINT onScreen);
  void SyncMenu();
  void RebuildDevicesMenu();
  // Runs a command of the model; a window disposed meanwhile goes once the outermost one ends.
  void Command(const std::function<void()>& command);

  const WindowApi& api_;
  HWND window_ = nullptr;
  HWND list_ = nullptr;
  HWND destination_ = nullptr;
  HWND zero_ = nullptr;
  HWND group_ = nullptr;
  std::array<HWND, static_cast<int>(Detail::Count)> details_{};
  std::array<HWND, static_cast<int>(Detail::Count)> captions_{};
  std::array<HWND, 6> buttons_{};  // Set target, Move abs, Move rel, Stop, Run All, Stop All
  HWND positionCaption_ = nullptr;
  HWND destinationCaption_ = nullptr;
  HMENU menu_ = nullptr;
  HMENU devices_ = nullptr;
  int busy_ = 0;
  bool disposed_ = false;
  bool selecting_ = false;  // the model selects a row: no selection callback
  bool quiet_ = false;      // the destination box is set by the model: no change check
  std::unique_ptr<MotorListModel> model_;
};

}  // namespace mervane::ui::win32
