// The control window's costs: one 500 ms refresh of the motor list (discovery, every row, every
// lamp) over emulated boxes with seven motors each, with nothing changed and with every position
// changing; and, once per process, how long the first and a later ShowSetupWin take.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "api/api.h"
#include "boxsim/boxsim.h"
#include "hardware/runtime.h"
#include "hardware/tick.h"
#include "mervane.h"
#include "platform/platform.h"
#include "ui/motor_list.h"

namespace {

// A view that keeps nothing: the cost measured is the logic's and the exports'.
class NullView : public mervane::ui::MotorListView {
public:
  void InsertRow(int) override {}
  void DeleteRow(int) override {}
  void SetText(int, int, const std::string&) override { ++writes; }
  void SetLamp(int, int) override {}
  int SelectedRow() const override { return 0; }
  void SelectRow(int) override {}
  void SetDetail(mervane::ui::Detail, const std::string&) override {}
  std::string Destination() const override { return "0"; }
  void SetDestination(const std::string&) override {}
  void Message(const std::string&, const std::string&, mervane::ui::Icon) override {}
  bool AskRename(const std::string&, std::string&) override { return false; }
  long writes = 0;
};

// `boxes` emulated boxes with seven four-wire motors each.
void PlugBoxes(int boxes) {
  static bool done = false;
  if (done) return;
  done = true;
  mervane::platform::SetEnv("MERVANE_D2XX_LIBRARY", MERVANE_BOXSIM_PATH);
  mervane::platform::SetEnv("MERVANE_CONFIG_DIR", "/tmp/");
  mervane::platform::SetEnv("MERVANE_COMPANION", "");
  mervane::GetRuntime().manualTiming = true;
  for (int b = 0; b < boxes; ++b) {
    std::string serial = "BENCH" + std::to_string(b);
    boxsim_plug("VORK-KADO", serial.c_str());
  }
  InitPlugin();
  for (int b = 0; b < boxes; ++b)
    for (int m = 0; m < 7; ++m) {
      MotorInfo info{};
      info.address = static_cast<std::uint8_t>(m + 1);
      info.type = 0x85;
      info.coefficient = 100;
      info.minStepTime = 1;
      info.maxStepTime = 5;
      info.acceleration = 5;
      std::snprintf(info.name, sizeof info.name, "M%d", m);
      SM_Setup(static_cast<std::uint32_t>(b), -1, &info);
    }
}

void BM_RefreshIdleList(benchmark::State& state) {
  PlugBoxes(2);
  NullView view;
  mervane::ui::MotorListModel model(mervane::api::WindowApiTable(), view);
  model.TimerTick();
  view.writes = 0;
  for (auto _ : state) model.TimerTick();
  state.counters["cells_written"] = static_cast<double>(view.writes) / static_cast<double>(state.iterations());
  state.counters["rows"] = model.RowCount();
}
BENCHMARK(BM_RefreshIdleList)->Unit(benchmark::kMicrosecond);

void BM_RefreshMovingList(benchmark::State& state) {
  PlugBoxes(2);
  NullView view;
  mervane::ui::MotorListModel model(mervane::api::WindowApiTable(), view);
  model.TimerTick();
  double now = 1000.0;
  for (auto _ : state) {
    state.PauseTiming();
    for (std::uint32_t b = 0; b < 2; ++b)
      for (std::uint32_t m = 0; m < 7; ++m) SM_Move(b, m, static_cast<double>(state.iterations() % 50));
    for (int t = 0; t < 20; ++t) mervane::Tick(now += 0.001);
    state.ResumeTiming();
    model.TimerTick();
  }
}
BENCHMARK(BM_RefreshMovingList)->Unit(benchmark::kMicrosecond);

}  // namespace

// Before the benchmarks: the first ShowSetupWin (loads the module and Qt, starts the window
// thread, builds the window) and a later one, when a display exists.
int main(int argc, char** argv) {
  PlugBoxes(2);
  if (!mervane::platform::GetEnv("MERVANE_WINDOW_MODULE")) mervane::platform::SetEnv("MERVANE_WINDOW_MODULE", MERVANE_WINDOW_MODULE_PATH);
  if (!mervane::platform::DisplayPlatform().empty()) {
    double t0 = mervane::platform::NowSeconds();
    ShowSetupWin();
    double t1 = mervane::platform::NowSeconds();
    ShowSetupWin();
    double t2 = mervane::platform::NowSeconds();
    std::printf("ShowSetupWin: first %.1f ms (window %s), again %.3f ms\n", (t1 - t0) * 1e3,
                IsSetupWinOpened() ? "open" : "not open", (t2 - t1) * 1e3);
    CloseSetupWin();
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  Exit();
  return 0;
}
