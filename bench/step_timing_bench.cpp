// Measuring tool for step timing at the motor: three moves of one four-wire motor (120 steps) on an
// emulated box, driven by the library's real 1 ms tick timer, five runs each. The emulator stamps
// every write with the monotonic clock; one write carries one step here, so the write times are
// the step times the motor sees. For each move it prints the ideal move time on the 1 ms grid (every
// interval of the ramp law rounded up to whole periods), the measured move times and their median,
// and the share of intervals on the law (within half a period of the rounded law), 1 ms or more too
// long, and shorter than the unrounded law by more than half a period.
// Usage: step_timing_bench [--runs=N]   (default 5)
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"
#include "boxsim/boxsim.h"
#include "hardware/tick.h"

namespace mervane::bench {
namespace {

constexpr const char* kSerial = "STEPTIME1";
constexpr std::int32_t kSteps = 120;
constexpr double kPeriod = 0.001;  // seconds

struct MoveCase {
  const char* name;
  std::int8_t acceleration;
  std::uint16_t minStepTime;  // ms
};
constexpr MoveCase kMoves[] = {
    {"acceleration 20, min step 5 ms", 20, 5},
    {"acceleration 20, min step 1 ms", 20, 1},
    {"acceleration 1, min step 1 ms (pure cruise)", 1, 1},
};

double Median(std::vector<double> v) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// The law's interval rounded up to whole periods (a tolerance keeps 5.000000001 ms at 5 ms).
double OnGrid(double law) { return std::ceil(law / kPeriod - 1e-6) * kPeriod; }

USBDriver& Box() { return *GetRuntime().devices.At(0); }

SMotor MotorCopy() {
  DeviceGuard guard(Box());
  return Box().motors[0];
}

// Configures channel 0 for the move and starts 120 steps on from where it rests.
void StartMoveCase(const MoveCase& move) {
  LibraryLock lock;
  MotorRecord record = FreshRecord();
  record.address = 1;
  record.type = 0x85;  // four-wire, full steps
  record.acceleration = move.acceleration;
  record.minStepTime = move.minStepTime;
  record.maxStepTime = 10;
  ConfigureSlot(Box(), 0, record, false);
  DeviceGuard guard(Box());
  SMotor& m = Box().motors[0];
  StartMove(m, m.position + kSteps - m.zero, false);
}

// The law's own intervals: ticks run by hand exactly when each step falls due.
std::vector<double> LawIntervals(const MoveCase& move) {
  StartMoveCase(move);
  std::vector<double> times;
  double now = 1000.0;
  SMotor m = MotorCopy();
  for (int i = 0; i < 1000000 && m.direction != 0; ++i) {
    const std::int32_t before = m.position;
    Tick(now);
    m = MotorCopy();
    if (m.position != before) times.push_back(now);
    now = m.nextStepTime > now ? m.nextStepTime : now + kPeriod;
  }
  std::vector<double> intervals;
  for (std::size_t i = 1; i < times.size(); ++i) intervals.push_back(times[i] - times[i - 1]);
  return intervals;
}

// The write times of one move run by the real tick timer; empty when the move did not complete.
std::vector<double> RealRun(const MoveCase& move, double idealSeconds) {
  const long long target = boxsim_position(kSerial, 1) + kSteps;
  boxsim_clear(kSerial);
  StartMoveCase(move);
  platform::SleepSeconds(idealSeconds);
  for (int i = 0; i < 1000 && boxsim_position(kSerial, 1) != target; ++i) platform::SleepMs(10);
  platform::SleepMs(20);  // the tick's last call of the move (direction 0) writes nothing
  std::vector<double> times(4096);
  std::vector<int> sizes(4096);
  int n = boxsim_writes(kSerial, times.data(), sizes.data(), static_cast<int>(times.size()));
  times.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
  if (boxsim_position(kSerial, 1) != target || times.size() != static_cast<std::size_t>(kSteps)) return {};
  return times;
}

struct Shares {
  long onLaw = 0;
  long tooLong = 0;
  long tooShort = 0;
  long total = 0;
  double worstShort = 0;  // seconds below the law, the most of any interval
};

void Count(const std::vector<double>& times, const std::vector<double>& law, Shares& shares) {
  for (std::size_t i = 1; i < times.size() && i - 1 < law.size(); ++i) {
    const double measured = times[i] - times[i - 1];
    const double grid = OnGrid(law[i - 1]);
    ++shares.total;
    if (std::fabs(measured - grid) < kPeriod / 2) ++shares.onLaw;
    if (measured >= grid + kPeriod / 2) ++shares.tooLong;
    if (measured < law[i - 1] - kPeriod / 2) ++shares.tooShort;
    shares.worstShort = std::max(shares.worstShort, law[i - 1] - measured);
  }
}

int Measure(int runs) {
  std::vector<std::vector<double>> laws;
  for (const MoveCase& move : kMoves) laws.push_back(LawIntervals(move));
  boxsim_clear(kSerial);

  GetRuntime().manualTiming = false;
  {
    LibraryLock lock;
    if (!StartTickTimer()) {
      std::printf("the tick timer could not start\n");
      return 1;
    }
  }
  const double steal0 = StealSeconds();
  TimerCounters().Reset();
  int failures = 0;
  std::printf("%-44s %7s  %-*s  %-16s %8s %8s %8s %9s\n", "move (four-wire, 120 steps)", "ideal", 7 * runs,
              "measured move times (ms)", "median", "on law", "long", "short", "worst");
  for (std::size_t c = 0; c < std::size(kMoves); ++c) {
    const std::vector<double>& law = laws[c];
    double ideal = 0;
    for (double l : law) ideal += OnGrid(l);
    std::vector<double> moveTimes;
    Shares shares;
    std::string list;
    for (int r = 0; r < runs; ++r) {
      std::vector<double> times = RealRun(kMoves[c], ideal);
      if (times.empty()) {
        ++failures;
        list += " fail";
        continue;
      }
      moveTimes.push_back(times.back() - times.front());
      Count(times, law, shares);
      char cell[32];
      std::snprintf(cell, sizeof cell, " %6.1f", moveTimes.back() * 1e3);
      list += cell;
    }
    const double total = shares.total > 0 ? static_cast<double>(shares.total) : 1.0;
    std::printf("%-44s %4.0f ms %-*s  median %7.1f ms %6.1f %% %6.1f %% %6.2f %% %6.2f ms\n", kMoves[c].name, ideal * 1e3,
                7 * runs, list.c_str(), Median(moveTimes) * 1e3, 100.0 * static_cast<double>(shares.onLaw) / total,
                100.0 * static_cast<double>(shares.tooLong) / total, 100.0 * static_cast<double>(shares.tooShort) / total,
                shares.worstShort * 1e3);
  }
  const bool realtime = GetRuntime().tickTimer.RealtimePriority();
  const TickCounters::Values counters = TimerCounters().Read();
  {
    LibraryLock lock;
    StopTickTimer();
  }
  GetRuntime().manualTiming = true;
  const double steal = steal0 < 0 ? -1 : StealSeconds() - steal0;
  std::printf("timer thread real-time priority: %s; steal meanwhile: %.0f ms\n", realtime ? "yes" : "no, refused",
              steal * 1000.0);
  std::printf("tick counters: %llu ticks, %llu periods skipped, %llu ticks over half a period late (worst %.2f ms), "
              "%llu failed writes, %llu steps\n",
              static_cast<unsigned long long>(counters.ticks), static_cast<unsigned long long>(counters.skippedPeriods),
              static_cast<unsigned long long>(counters.lateTicks), counters.worstLateness * 1e3,
              static_cast<unsigned long long>(counters.failedWrites), static_cast<unsigned long long>(counters.steps));
  std::printf("on law: within half a period of the law rounded up to whole periods; long: 1 ms or more over it;\n"
              "short: under the unrounded law by more than half a period; worst: most any interval fell below the law\n");
  return failures == 0 ? 0 : 1;
}

// Opens one emulated box with one motor in a scratch settings folder, measures, closes.
int Main(int runs) {
  namespace fs = std::filesystem;
  const fs::path folder = fs::temp_directory_path() / ("mervane-steptime-" + std::to_string(static_cast<long long>(platform::NowSeconds() * 1e6)));
  fs::create_directories(folder);
  platform::SetEnv("MERVANE_D2XX_LIBRARY", MERVANE_BOXSIM_PATH);
  platform::SetEnv("MERVANE_CONFIG_DIR", (folder.string() + "/").c_str());
  GetRuntime().manualTiming = true;
  boxsim_reset();
  boxsim_plug("VORK-KADO", kSerial);
  int status = 1;
  {
    LibraryLock lock;
    if (RefreshDevices() == 1 && AddSlot(Box(), FreshRecord()) == 0) status = 0;
  }
  if (status == 0) {
    boxsim_wire(kSerial, 1, "four-wire");
    status = Measure(runs);
  } else {
    std::printf("the emulated box could not be opened\n");
  }
  {
    LibraryLock lock;
    CloseAllDevices();
  }
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  return status;
}

}  // namespace
}  // namespace mervane::bench

int main(int argc, char** argv) {
  int runs = 5;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--runs=", 7) == 0) {
      runs = std::max(1, std::atoi(argv[i] + 7));
    } else {
      std::fprintf(stderr, "usage: %s [--runs=N]\n", argv[0]);
      return 2;
    }
  }
  return mervane::bench::Main(runs);
}
