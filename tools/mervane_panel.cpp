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

namespace {

struct DemoMotor {
  unsigned device;
  const char* name;
  std::uint8_t address;
  std::uint8_t type;
  float coefficient;  // steps per unit
  float length;       // units
  std::uint16_t minStepTime;
  double destination;  // units; moved to at once when `moving`, else only set
  bool moving;
};

// Two boxes: a bench with a four-wire X/Y pair, a synchronous Z, a rotary table and a clamp on a
// block; a feeder with a two-wire feed, a synchronous table and a lift that is not plugged in.
constexpr DemoMotor kDemo[] = {
    {0, "X", 1, 0x85, 200, 300, 2, 120, true},       {0, "Y", 2, 0x86, 200, 200, 2, 40, false},
    {0, "Z", 3, 0x2C, 400, 80, 3, -12.5, true},      {0, "Rot", 4, 0x88, 10, 360, 4, 90, false},
    {0, "Grip", 5, 0x41, 100, 20, 5, 0, false},      {1, "Feed", 1, 0x01, 50, 1000, 2, 250, true},
    {1, "Table", 2, 0x2D, 20, 360, 3, 45, false},    {1, "Lift", 0, 0x87, 800, 50, 5, 0, false},
};

bool SetUpDemo() {
  const char* names[] = {"Bench", "Feeder"};
  for (unsigned d = 0; d < 2; ++d) {
    RenameDevice(d, names[d]);
    for (int c = SM_GetCount(d) - 1; c >= 0; --c) SM_Remove(d, static_cast<std::uint32_t>(c));
  }
  for (const DemoMotor& m : kDemo) {
    MotorInfo info{};
    info.address = m.address;
    info.type = m.type;
    info.coefficient = m.coefficient;
    info.length = static_cast<std::int32_t>(m.length * m.coefficient);
    info.acceleration = 40;
    info.minStepTime = m.minStepTime;
    info.maxStepTime = 20;
    info.halfSteps = (m.type & 0x80) != 0 ? 1 : 0;
    info.autoRelease = m.type == 0x41 ? 1 : 0;
    std::snprintf(info.name, sizeof info.name, "%s", m.name);
    int channel = SM_Setup(m.device, -1, &info);
    if (channel < 0) {
      std::fprintf(stderr, "mervane-panel: cannot set up motor %s\n", m.name);
      return false;
    }
    auto c = static_cast<std::uint32_t>(channel);
    if (m.moving)
      SM_Move(m.device, c, m.destination);
    else
      SM_SetDestination(m.device, c, m.destination);
  }
  return true;
}

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
  if (demo) {
    // The emulator's two boxes, settings in a folder of their own, no companion program.
    if (!GetEnv("MERVANE_D2XX_LIBRARY")) SetEnv("MERVANE_D2XX_LIBRARY", MERVANE_BOXSIM_PATH);
    if (!GetEnv("MERVANE_CONFIG_DIR")) {
      std::string folder = "/tmp/mervane-panel-demo";
      mervane::platform::CreateDirectory(folder);
      SetEnv("MERVANE_CONFIG_DIR", (folder + "/").c_str());
    }
    SetEnv("MERVANE_COMPANION", "");
  }

  QApplication app(argc, argv);
  std::setlocale(LC_NUMERIC, "C");  // the library's texts use the C number format
  QApplication::setQuitOnLastWindowClosed(false);

  if (InitPlugin() < 1) std::fprintf(stderr, "mervane-panel: no boxes found\n");
  if (demo && !SetUpDemo()) return 1;
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
