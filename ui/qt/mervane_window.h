// TDlgMervane, the control window: the motor list, the detail panel with "Move to...", the
// buttons and the context menu. A thin view over MotorListModel; lives on the GUI thread.
#pragma once

#include <QPointer>
#include <QWidget>

#include <array>
#include <functional>
#include <memory>

#include "ui/motor_list.h"

class QAction;
class QCheckBox;
class QDialog;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QTimer;
class QTreeWidget;

namespace mervane::ui::qt {

class MervaneWindow : public QWidget, public MotorListView {
public:
  // `visibility` is told every time the window is shown or hidden.
  MervaneWindow(const WindowApi& api, std::function<void(bool)> visibility);
  ~MervaneWindow() override;

  // ShowSetupWin: shows the window (again) and lets the refresh run.
  void ShowAgain();
  // CloseSetupWin: stops the refresh, cancels its open message or rename box, hides it and deletes
  // it as soon as no command of it is running any more.
  void Dispose();

  MotorListModel& Model() { return *model_; }
  QTreeWidget* List() const { return list_; }
  QMenu* Menu() const { return menu_; }
  // Opens the context menu as at `pos` in list coordinates, without showing it (tests).
  void PreparePopup(const QPoint& pos);

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

protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

private:
  void BuildList();
  // Widens a column to its title and to `text` (never below its least width).
  void FitColumn(int column, const QString& text);
  QWidget* BuildPanel();
  void BuildMenu();
  void RebuildDevicesMenu();
  void SyncMenu();
  // Runs a command of the model; a window disposed meanwhile goes once the outermost one ends.
  void Command(const std::function<void()>& command);
  void ShowPopup(const QPoint& pos);

  const WindowApi& api_;
  std::function<void(bool)> visibility_;
  QTreeWidget* list_ = nullptr;
  std::array<QLabel*, static_cast<int>(Detail::Count)> details_{};
  QLineEdit* destination_ = nullptr;
  QCheckBox* zero_ = nullptr;
  QTimer* timer_ = nullptr;
  QMenu* menu_ = nullptr;
  QMenu* devices_ = nullptr;
  QAction* setup_ = nullptr;
  QAction* initialize_ = nullptr;
  QAction* setZero_ = nullptr;
  QAction* reset_ = nullptr;
  QAction* release_ = nullptr;
  QAction* remove_ = nullptr;
  QPointer<QDialog> openBox_;
  int busy_ = 0;
  bool disposed_ = false;
  bool selecting_ = false;  // the model selects a row: no selection callback
  std::unique_ptr<MotorListModel> model_;
};

}  // namespace mervane::ui::qt
