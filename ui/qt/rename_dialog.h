// TDlgRename: the small modal dialog that asks for a box's new name.
#pragma once

#include <QDialog>

#include <string>

#include "ui/window_api.h"

class QLineEdit;

namespace mervane::ui::qt {

class RenameDialog : public QDialog {
public:
  // Publishes itself in the library's DlgRename while it exists.
  RenameDialog(QWidget* owner, const WindowApi& api);
  ~RenameDialog() override;
  std::string Name() const;
  // The title, with the dialog made wide enough for the title bar to show all of it.
  void SetCaption(const QString& caption);
  QLineEdit* Edit() const { return edit_; }

private:
  const WindowApi& api_;
  QLineEdit* edit_;
};

}  // namespace mervane::ui::qt
