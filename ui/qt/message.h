// Message boxes and lamp images shared by the control window's widgets.
#pragma once

#include <QIcon>
#include <QPointer>
#include <QString>

#include <string>

#include "ui/window_api.h"

class QDialog;
class QWidget;

namespace mervane::ui::qt {

// A modal message box with an OK button, the text, caption and icon given. While it is open,
// `open` (when given) points to it, so that its owner can cancel it.
void ShowMessageBox(QWidget* parent, const std::string& text, const std::string& caption, Icon icon,
                    QPointer<QDialog>* open = nullptr);

// The three 16 x 16 status lamps of the list, by image index: red, green, yellow.
const QIcon& LampIcon(int index);

// Text handed between the logic (8-bit, as the library's) and the widgets.
inline QString ToQt(const std::string& text) { return QString::fromLocal8Bit(text.data(), static_cast<int>(text.size())); }
inline std::string FromQt(const QString& text) { return text.toLocal8Bit().toStdString(); }

}  // namespace mervane::ui::qt
