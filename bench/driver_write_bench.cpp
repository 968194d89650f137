// What one tick-sized write costs through the driver table: the D2XX path and the libftdi1 path,
// both on the box emulator (its D2XX face and its libftdi1 face), so the difference is the
// driver code's own. The emulator is loaded, not linked: its libftdi1 functions must not shadow
// a real libftdi1 in this process.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>

#include "hardware/driver.h"
#include "platform/platform.h"

namespace {

using Plug = int (*)(const char*, const char*);
using Reset = void (*)();
using ClearLog = void (*)(const char*);

// The emulator with one box open through the chosen face.
class OpenBox {
public:
  explicit OpenBox(const char* driver) {
    namespace pf = mervane::platform;
    pf::SetEnv("MERVANE_DRIVER", driver);
    pf::SetEnv("MERVANE_D2XX_LIBRARY", MERVANE_BOXSIM_PATH);
    pf::SetEnv("MERVANE_LIBFTDI_LIBRARY", MERVANE_BOXSIM_PATH);
    pf::SetEnv("BOXSIM_BOXES", "");
    if (!emulator_.Open(MERVANE_BOXSIM_PATH)) return;
    reinterpret_cast<Reset>(emulator_.Symbol("boxsim_reset"))();
    reinterpret_cast<Plug>(emulator_.Symbol("boxsim_plug"))("VORK-KADO", "BENCH001");
    clear_ = reinterpret_cast<ClearLog>(emulator_.Symbol("boxsim_clear"));
    std::uint32_t count = 0;
    if (!driver_.Load() || driver_.CountDevices(count) != FT_OK || count == 0) return;
    if (driver_.OpenBySerial("BENCH001", handle_) != FT_OK) return;
    driver_.SetBitMode(handle_, 0xFF, FT_BITMODE_ASYNC_BITBANG);
    driver_.SetBaudRate(handle_, 3000000);
    driver_.SetTimeouts(handle_);
  }
  ~OpenBox() {
    if (handle_ != nullptr) driver_.Close(handle_);
  }
  bool Ready() const { return handle_ != nullptr; }
  const mervane::Driver& Driver() const { return driver_; }
  FT_HANDLE Handle() const { return handle_; }
  // The emulator logs the first MiB of bytes; emptied between batches so every write is logged alike.
  void ClearLogs() const { clear_("BENCH001"); }

private:
  mervane::platform::DynamicLibrary emulator_;
  mervane::Driver driver_;
  FT_HANDLE handle_ = nullptr;
  ClearLog clear_ = nullptr;
};

void WriteTickSized(benchmark::State& state, const char* driver) {
  OpenBox box(driver);
  if (!box.Ready()) {
    state.SkipWithError("the emulator's box did not open");
    return;
  }
  std::uint8_t block[128];
  for (int i = 0; i < 128; ++i) block[i] = static_cast<std::uint8_t>(0x80 | (i & 0x7F));
  std::int64_t sinceClear = 0;
  for (auto _ : state) {
    if (box.Driver().Write(box.Handle(), block, sizeof block) != FT_OK) {
      state.SkipWithError("write failed");
      break;
    }
    if (++sinceClear == 4096) {
      state.PauseTiming();
      box.ClearLogs();
      sinceClear = 0;
      state.ResumeTiming();
    }
  }
  state.SetBytesProcessed(state.iterations() * 128);
}

void BM_WriteD2xxFace(benchmark::State& state) { WriteTickSized(state, "d2xx"); }
void BM_WriteLibFtdiFace(benchmark::State& state) { WriteTickSized(state, "libftdi"); }

BENCHMARK(BM_WriteD2xxFace);
BENCHMARK(BM_WriteLibFtdiFace);

}  // namespace

BENCHMARK_MAIN();
