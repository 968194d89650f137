// What the window tests share: whether Qt's offscreen platform can start here, and the one
// QApplication of a test process (each test case runs in a process of its own).
#pragma once

#include <QApplication>
#include <QDir>
#include <QLibraryInfo>

#include <clocale>
#include "platform/platform.h"

namespace mervane::testing {

inline bool OffscreenPlatformAvailable() {
  QDir plugins(QLibraryInfo::path(QLibraryInfo::PluginsPath) + "/platforms");
  return !plugins.entryList({"libqoffscreen*"}).isEmpty();
}

// The test process's application on the offscreen platform, on the calling (main) thread.
inline QApplication& OffscreenApplication() {
  platform::SetEnv("QT_QPA_PLATFORM", "offscreen");
  static int argc = 1;
  static char name[] = "mervane_window_tests";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    auto* created = new QApplication(argc, argv);
    std::setlocale(LC_ALL, "C");
    return created;
  }();
  return *app;
}

}  // namespace mervane::testing
