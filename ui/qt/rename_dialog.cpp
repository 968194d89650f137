// The rename dialog: Edit1 over the OK and Cancel buttons.
#include "ui/qt/rename_dialog.h"

#include <QApplication>
#include <QGridLayout>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>

#include "ui/qt/message.h"
#include "ui/form_pointer.h"

namespace mervane::ui::qt {

namespace {
constexpr int kClientWidth = 186;
constexpr int kClientHeight = 70;
}  // namespace

RenameDialog::RenameDialog(QWidget* owner, const WindowApi& api) : QDialog(owner), api_(api) {
  setObjectName("DlgRename");
  auto* layout = new QGridLayout(this);
  edit_ = new QLineEdit(this);
  edit_->setObjectName("Edit1");
  auto* ok = new QPushButton("OK", this);
  ok->setObjectName("Button1");
  ok->setDefault(true);
  auto* cancel = new QPushButton("Cancel", this);
  cancel->setObjectName("Button2");
  layout->addWidget(edit_, 0, 0, 1, 2);
  layout->addWidget(ok, 1, 0);
  layout->addWidget(cancel, 1, 1);
  resize(kClientWidth, kClientHeight);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  PublishForm(api_.dlgRename, static_cast<QWidget*>(this));
}

RenameDialog::~RenameDialog() { PublishForm(api_.dlgRename, nullptr); }

void RenameDialog::SetCaption(const QString& caption) {
  setWindowTitle(caption);
  // Room for the title bar's icon and buttons besides the title in the title bar's font.
  constexpr int kTitleBarExtras = 110;
  const QFontMetrics title(QApplication::font("QMdiSubWindowTitleBar"));
  setMinimumWidth(std::max(kClientWidth, title.horizontalAdvance(caption) + kTitleBarExtras));
}

std::string RenameDialog::Name() const { return FromQt(edit_->text()); }

}  // namespace mervane::ui::qt
