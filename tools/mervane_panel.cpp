// mervane-panel: a small host of libmervane.so that starts the library (InitPlugin) and shows its
// control window until the user closes it. --demo first sets up motors of several kinds on the
// box emulator and starts some of them; --screenshot FILE saves the window as PNG after its first
// refresh and exits (works on QT_QPA_PLATFORM=offscreen).
#include <QApplication>
#include <QTimer>
#include <QTreeWidget>
#include <QWidget>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <string>

#include "mervane.h"
#include "platform/platform.h"
#include "tools/panel_demo.h"

namespace {

int Usage() {
  std::fprintf(stderr, "usage: mervane-panel [--demo] [--screenshot FILE.png]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool demo = false;
  std::string screenshot;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--demo") == 0)
      demo = true;
    else if (std::strcmp(argv[i], "--screenshot") == 0 && i + 1 < argc)
      screenshot = argv[++i];
    else
      return Usage();
  }
  using mervane::platform::GetEnv;
  using mervane::platform::SetEnv;
  if (mervane::platform::DisplayPlatform().empty()) {
    std::fprintf(stderr, "mervane-panel: no display (set DISPLAY, or QT_QPA_PLATFORM=offscreen)\n");
    return 1;
  }
  if (demo) mervane::tools::PrepareDemo(MERVANE_BOXSIM_PATH);

  QApplication app(argc, argv);
  std::setlocale(LC_NUMERIC, "C");  // the library's texts use the C number format
  QApplication::setQuitOnLastWindowClosed(false);

  if (InitPlugin() < 1) std::fprintf(stderr, "mervane-panel: no boxes found\n");
  if (demo && !mervane::tools::SetUpDemo()) return 1;
  ShowSetupWin();
  if (!IsSetupWinOpened()) {
    std::fprintf(stderr, "mervane-panel: the control window could not be opened\n");
    Exit();
    return 1;
  }

  int status = 0;
  QTimer watch;
  if (!screenshot.empty()) {
    auto* window = static_cast<QWidget*>(DlgMervane);
    // After the first refresh (500 ms) pick a row as a user would, then take the picture.
    QTimer::singleShot(800, window, [window] {
      if (auto* list = window->findChild<QTreeWidget*>("LvMotorList"); list != nullptr && list->topLevelItemCount() > 0)
        list->setCurrentItem(list->topLevelItem(0));
    });
    QTimer::singleShot(1300, window, [&, window] {
      if (!window->grab().save(QString::fromLocal8Bit(screenshot.c_str()), "PNG")) {
        std::fprintf(stderr, "mervane-panel: cannot write %s\n", screenshot.c_str());
        status = 1;
      }
      app.quit();
    });
  } else {
    // Until the user closes the window (which hides it).
    QObject::connect(&watch, &QTimer::timeout, &app, [&app] {
      if (!IsSetupWinVisible()) app.quit();
    });
    watch.start(200);
  }
  QApplication::exec();
  Exit();
  return status;
}
