// Message boxes and lamp images of the control window.
#include "ui/qt/message.h"

#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QRadialGradient>

#include <array>

namespace mervane::ui::qt {

void ShowMessageBox(QWidget* parent, const std::string& text, const std::string& caption, Icon icon,
                    QPointer<QDialog>* open) {
  QMessageBox::Icon shown = icon == Icon::Error     ? QMessageBox::Critical
                            : icon == Icon::Warning ? QMessageBox::Warning
                                                    : QMessageBox::NoIcon;
  QMessageBox box(shown, ToQt(caption), ToQt(text), QMessageBox::Ok, parent);
  box.setObjectName("MessageBox");
  if (open != nullptr) *open = &box;
  box.exec();
  if (open != nullptr) *open = nullptr;
}

namespace {
QIcon Lamp(QColor color) {
  QPixmap pixmap(16, 16);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  QRadialGradient glow(QPointF(6, 6), 8);
  glow.setColorAt(0, color.lighter(170));
  glow.setColorAt(1, color.darker(115));
  painter.setBrush(glow);
  painter.setPen(QPen(color.darker(170), 1));
  painter.drawEllipse(QRectF(2, 2, 12, 12));
  return QIcon(pixmap);
}
}  // namespace

const QIcon& LampIcon(int index) {
  static const std::array<QIcon, 3> lamps = {Lamp(QColor(220, 40, 30)), Lamp(QColor(40, 180, 50)),
                                             Lamp(QColor(240, 200, 20))};
  return lamps[static_cast<std::size_t>(index < 0 || index > 2 ? 0 : index)];
}

}  // namespace mervane::ui::qt
