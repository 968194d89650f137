// The Windows control window's costs, measured through its real controls: the first and a later
// ShowSetupWin, one refresh of a 14-row list (two emulated boxes with seven motors each) with
// nothing changed and with every position changing, and the process's CPU use while the window
// stays open and refreshes every 500 ms on its own.
// Usage: win32_window_timing [idle seconds, default 10]
#include <windows.h>
#undef CreateDirectory  // the library's own, not the Windows macro

#include <cstdio>
#include <cstdlib>
#include <string>

#include "boxsim/boxsim.h"
#include "hardware/runtime.h"
#include "hardware/tick.h"
#include "mervane.h"
#include "platform/platform.h"
#include "ui/win32/controls.h"

namespace {

double Now() { return mervane::platform::NowSeconds(); }

// User plus kernel time of the whole process, in seconds.
double ProcessCpu() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  auto seconds = [](const FILETIME& t) {
    return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) * 1e-7;
  };
  return seconds(kernel) + seconds(user);
}

// One refresh as the 500 ms timer runs it, on the window's thread; its duration in ms.
double Refresh(HWND window) {
  double start = Now();
  SendMessageA(window, WM_TIMER, mervane::ui::win32::kRefreshTimer, 0);
  return (Now() - start) * 1e3;
}

}  // namespace

int main(int argc, char** argv) {
  double idleSeconds = argc > 1 ? std::atof(argv[1]) : 10.0;
  mervane::platform::SetEnv("MERVANE_D2XX_LIBRARY", MERVANE_BOXSIM_PATH);
  std::string folder = mervane::platform::OwnFolder() + "\\win32_window_timing\\";
  mervane::platform::CreateDirectory(folder);
  mervane::platform::SetEnv("MERVANE_CONFIG_DIR", folder.c_str());
  mervane::platform::SetEnv("MERVANE_COMPANION", "");
  mervane::GetRuntime().manualTiming = true;  // positions change only when this tool ticks
  for (int b = 0; b < 2; ++b) boxsim_plug("VORK-KADO", ("WBENCH" + std::to_string(b)).c_str());
  InitPlugin();
  for (std::uint32_t b = 0; b < 2; ++b) {
    for (int c = SM_GetCount(b) - 1; c >= 0; --c) SM_Remove(b, static_cast<std::uint32_t>(c));
    for (int m = 0; m < 7; ++m) {
      MotorInfo info{};
      info.address = static_cast<std::uint8_t>(m + 1);
      info.type = 0x85;
      info.coefficient = 100;
      info.length = 100000;
      info.minStepTime = 1;
      info.maxStepTime = 5;
      info.acceleration = 5;
      std::snprintf(info.name, sizeof info.name, "M%d", m);
      SM_Setup(b, -1, &info);
    }
  }

  double t0 = Now();
  ShowSetupWin();
  double t1 = Now();
  ShowSetupWin();
  double t2 = Now();
  auto window = static_cast<HWND>(DlgMervane);
  if (window == nullptr) {
    std::printf("SKIPPED: no window can be made here (no Wine display driver)\n");
    return 77;
  }
  std::printf("ShowSetupWin: first %.1f ms, again %.3f ms\n", (t1 - t0) * 1e3, (t2 - t1) * 1e3);
  double first = Refresh(window);
  HWND list = FindWindowExA(window, nullptr, "SysListView32", nullptr);
  std::printf("first refresh (creates the rows): %.2f ms, rows %ld\n", first,
              static_cast<long>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0)));

  constexpr int kRounds = 200;
  double idle = 0;
  for (int i = 0; i < kRounds; ++i) idle += Refresh(window);
  double moving = 0;
  double now = 1000.0;
  for (int i = 0; i < kRounds; ++i) {
    for (std::uint32_t b = 0; b < 2; ++b)
      for (std::uint32_t m = 0; m < 7; ++m) SM_Move(b, m, static_cast<double>(i % 50));
    for (int t = 0; t < 20; ++t) mervane::Tick(now += 0.001);
    moving += Refresh(window);
  }
  std::printf("refresh of 14 rows: nothing changed %.3f ms, every position changing %.3f ms (mean of %d)\n",
              idle / kRounds, moving / kRounds, kRounds);
  for (std::uint32_t b = 0; b < 2; ++b) StopAll(b);
  for (int t = 0; t < 20000; ++t) mervane::Tick(now += 0.001);

  double cpu0 = ProcessCpu();
  double w0 = Now();
  Sleep(static_cast<DWORD>(idleSeconds * 1000));
  double cpu = ProcessCpu() - cpu0;
  double wall = Now() - w0;
  std::printf("idle with the window open: %.2f %% of one core over %.1f s (%.1f ms CPU)\n", 100.0 * cpu / wall, wall,
              cpu * 1e3);
  Exit();
  return 0;
}
