// Soak: seven motors of mixed kinds on two emulated boxes, the real 1 ms timer and the real
// watchdogs, two host threads calling the C API at random (moves, stops, Run, set-ups, renames,
// zeroes, releases, queries), a third pulling one box out and plugging it back at random moments
// (mid-move and mid-save too) and making driver writes and EEPROM writes fail. Bounded: 10 s,
// or MERVANE_SOAK_SECONDS. Checks: every call returns within 1 s (the waits for a motor to rest
// within their 10 s), every settings file is always 289 bytes, and at the end every motor stands
// where the emulator decoded it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "api_fixture.h"

namespace mervane::testing {
namespace {

struct SoakMotor {
  std::uint32_t device;
  MotorSetup setup;
};

// Two-wire, four-wire, synchron, each in full and half steps where they have them, auto release.
const SoakMotor kMotors[] = {
    {0, {.address = 1, .type = 0x85, .acceleration = 6, .minStepTime = 1, .maxStepTime = 4, .coefficient = 100.0f}},
    {0, {.address = 2, .type = 0x01, .acceleration = 6, .minStepTime = 2, .maxStepTime = 5, .coefficient = 10.0f}},
    {0, {.address = 3, .type = 0x2B, .acceleration = 4, .minStepTime = 1, .maxStepTime = 3, .halfSteps = true, .coefficient = 1.0f}},
    {0, {.address = 5, .type = 0x86, .acceleration = 8, .minStepTime = 1, .maxStepTime = 6, .halfSteps = true, .coefficient = 200.0f}},
    {1, {.address = 1, .type = 0x02, .acceleration = 5, .minStepTime = 1, .maxStepTime = 4, .autoRelease = true, .coefficient = 2.0f}},
    {1, {.address = 4, .type = 0x2A, .acceleration = 3, .minStepTime = 2, .maxStepTime = 4, .coefficient = 50.0f}},
    {1, {.address = 7, .type = 0x87, .acceleration = 7, .minStepTime = 1, .maxStepTime = 5, .autoRelease = true, .coefficient = 4.0f}},
};
constexpr const char* kSerials[] = {"SOAK0001", "SOAK0002"};
constexpr std::uint32_t kCounts[] = {4, 3};
constexpr double kCallLimit = 1.0;   // seconds, any call
constexpr double kWaitLimit = 10.5;  // seconds, a call that waits for a motor to rest (10 s)

double SoakSeconds() {
  const char* text = std::getenv("MERVANE_SOAK_SECONDS");
  const double seconds = text != nullptr ? std::atof(text) : 0.0;
  return seconds > 0 ? seconds : 10.0;
}

MotorInfo InfoOf(const MotorSetup& setup, int index) {
  MotorRecord record = MotionRecord(setup);
  const std::string name = "S" + std::to_string(index);
  std::memcpy(record.name, name.c_str(), name.size());
  MotorInfo info;
  std::memcpy(&info, &record, sizeof info);
  return info;
}

class SoakTest : public ApiTest {
protected:
  // The slowest call seen, by kind of call.
  struct Slowest {
    std::mutex mutex;  // guards the fields; the two host threads write them
    double call = 0;
    double wait = 0;
    std::string what;
  };

  // Runs one export and notes how long it took.
  // A call that overlapped the other thread's wait may have queued behind it for the library lock,
  // which that wait holds: its limit is the wait's plus its own.
  template <typename Call>
  void Timed(const char* what, bool waits, Call&& call) {
    const std::uint64_t waitsBefore = waitsStarted_.load();
    const bool waitRunning = waitsRunning_.load() > 0;
    if (waits) {
      waitsStarted_.fetch_add(1);
      waitsRunning_.fetch_add(1);
    }
    const double start = platform::NowSeconds();
    call();
    const double took = platform::NowSeconds() - start;
    if (waits) waitsRunning_.fetch_sub(1);
    const bool queued = !waits && (waitRunning || waitsStarted_.load() != waitsBefore);
    const double limit = waits ? kWaitLimit : (queued ? kWaitLimit + kCallLimit : kCallLimit);
    std::lock_guard guard(slowest_.mutex);
    double& worst = waits ? slowest_.wait : slowest_.call;
    if (took > worst) {
      worst = took;
      if (took > limit) slowest_.what += std::string(what) + " took " + std::to_string(took) + " s; ";
    }
  }

  // One random call of a host thread.
  void RandomCall(std::mt19937& rng) {
    auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
    const int m = pick(7);
    const std::uint32_t d = kMotors[m].device;
    const std::uint32_t c = static_cast<std::uint32_t>(m < 4 ? m : m - 4);
    const double units = std::uniform_int_distribution<int>(-60, 60)(rng) / static_cast<double>(kMotors[m].setup.coefficient);
    switch (pick(12)) {
      case 0:
      case 1:
      case 2:
        Timed("SM_Move", false, [&] { SM_Move(d, c, units); });
        break;
      case 3:
        Timed("SM_Stop", false, [&] { SM_Stop(d, c); });
        break;
      case 4:
        Timed("Run", false, [&] {
          for (std::uint32_t k = 0; k < kCounts[d]; ++k) SM_SetDestination(d, k, units * (k + 1));
          ::Run(d);
        });
        break;
      case 5:
        Timed("StopAll", false, [&] { StopAll(d); });
        break;
      case 6: {  // the same motor with another ramp, maybe while it runs
        MotorSetup setup = kMotors[m].setup;
        setup.acceleration = static_cast<std::int8_t>(2 + pick(8));
        setup.maxStepTime = static_cast<std::uint16_t>(setup.minStepTime + pick(5));
        MotorInfo info = InfoOf(setup, m);
        Timed("SM_Setup", true, [&] { SM_Setup(d, static_cast<int>(c), &info); });
        break;
      }
      case 7:
        Timed("RenameDevice", false, [&] { RenameDevice(d, pick(2) ? "BENCH" : "LONGERNAME12"); });
        break;
      case 8:
        Timed("SM_SetZero", true, [&] { SM_SetZero(d, c); });
        break;
      case 9:
        Timed("SM_Release", true, [&] { SM_Release(d, c); });
        break;
      case 10:
        Timed("SMN_Move", false, [&] { SMN_Move(("S" + std::to_string(m)).c_str(), units, pick(2) == 0); });
        break;
      default:
        Timed("queries", false, [&] {
          SM_GetPosition(d, c);
          SM_IsRunning(d, c);
          CheckDeviceConnection(d);
          SM_GetCountInAll();
        });
    }
  }

  // Every settings file that exists is a whole block.
  void CheckFiles(std::atomic<int>& badFiles) {
    for (const char* serial : kSerials) {
      const ByteImage bytes = ReadFileBytes(SettingsFile(serial));
      if (!bytes.empty() && bytes.size() != kSettingsSize) ++badFiles;
    }
  }

  Slowest slowest_;
  std::atomic<std::uint64_t> waitsStarted_{0};  // waits begun by either host thread
  std::atomic<int> waitsRunning_{0};
};

TEST_F(SoakTest, TwoHostThreadsAgainstReplugAndFailuresOnTheRealTimer) {
  GetRuntime().manualTiming = false;
  ASSERT_EQ(boxsim_plug("VORK-KADO", kSerials[0]), 0);
  ASSERT_EQ(boxsim_plug("VORK-ql2", kSerials[1]), 0);
  ASSERT_EQ(InitPlugin(), 2);
  for (int m = 0; m < 7; ++m) {
    const SoakMotor& motor = kMotors[m];
    MotorInfo info = InfoOf(motor.setup, m);
    ASSERT_GE(SM_Setup(motor.device, -1, &info), 0) << "motor " << m;
    ASSERT_EQ(boxsim_wire(kSerials[motor.device], motor.setup.address, WiringOf(MotionRecord(motor.setup))), 0);
  }

  const double seconds = SoakSeconds();
  const double end = platform::NowSeconds() + seconds;
  // A hang would keep the test from ever reporting: past the soak, its 10 s waits and a margin,
  // the process ends with what was seen.
  std::atomic<bool> finished{false};
  std::thread hangGuard([&] {
    while (!finished && platform::NowSeconds() < end + 40.0) platform::SleepMs(50);
    if (finished) return;
    std::lock_guard guard(slowest_.mutex);
    std::fprintf(stderr, "soak: hung 40 s past its end; slowest call %.3f s, slowest wait %.3f s; %s\n", slowest_.call,
                 slowest_.wait, slowest_.what.c_str());
    std::abort();
  });
  std::atomic<bool> done{false};
  std::atomic<long> calls{0};
  std::atomic<int> badFiles{0};
  std::atomic<int> unplugs{0};
  std::vector<std::thread> threads;
  for (unsigned seed : {0x50A1u, 0x50A2u}) {
    threads.emplace_back([&, seed] {
      std::mt19937 rng(seed);
      while (platform::NowSeconds() < end) {
        RandomCall(rng);
        ++calls;
        platform::SleepMs(std::uniform_int_distribution<unsigned>(0, 4)(rng));
      }
    });
  }
  // The second box comes and goes; writes and EEPROM writes fail now and then on both.
  threads.emplace_back([&] {
    std::mt19937 rng(0x50A3u);
    bool plugged = true;
    while (platform::NowSeconds() < end) {
      platform::SleepMs(std::uniform_int_distribution<unsigned>(5, 300)(rng));
      const char* serial = kSerials[std::uniform_int_distribution<int>(0, 1)(rng)];
      switch (std::uniform_int_distribution<int>(0, 3)(rng)) {
        case 0:
          plugged ? boxsim_unplug(kSerials[1]) : boxsim_plug("VORK-ql2", kSerials[1]);
          unplugs += plugged;
          plugged = !plugged;
          break;
        case 1:
          boxsim_fail(serial, "write", std::uniform_int_distribution<int>(1, 3)(rng));
          break;
        case 2:
          boxsim_fail(serial, "uawrite", 1);
          break;
        default:
          boxsim_fail(serial, "getstatus", 1);
      }
    }
    if (!plugged) boxsim_plug("VORK-ql2", kSerials[1]);
  });
  threads.emplace_back([&] {
    while (!done) {
      CheckFiles(badFiles);
      platform::SleepMs(1);
    }
  });
  for (std::size_t t = 0; t + 1 < threads.size(); ++t) threads[t].join();
  done = true;
  threads.back().join();

  // Quiet: no more failures, both boxes back (the watchdog within a few of its 250 ms periods),
  // every motor brought to rest.
  for (const char* serial : kSerials)
    for (const char* operation : {"write", "uawrite", "getstatus", "open", "setbitmode", "setbaudrate", "uaread"})
      boxsim_fail(serial, operation, 0);
  for (int i = 0; i < 300 && !(CheckDeviceConnection(0) && CheckDeviceConnection(1)); ++i) platform::SleepMs(10);
  EXPECT_TRUE(CheckDeviceConnection(0));
  EXPECT_TRUE(CheckDeviceConnection(1));
  for (std::uint32_t d = 0; d < 2; ++d) StopAll(d);
  for (int i = 0; i < 1000; ++i) {
    bool running = false;
    for (std::uint32_t d = 0; d < 2; ++d)
      for (std::uint32_t c = 0; c < kCounts[d]; ++c) running = running || SM_IsRunning(d, c);
    if (!running) break;
    platform::SleepMs(10);
  }

  finished = true;
  hangGuard.join();
  std::printf("soak: %.0f s, %ld calls, %d unplugs, slowest call %.3f s, slowest wait %.3f s\n", seconds, calls.load(),
              unplugs.load(), slowest_.call, slowest_.wait);
  EXPECT_EQ(slowest_.what, "");
  EXPECT_EQ(badFiles.load(), 0);
  EXPECT_GT(calls.load(), 100);
  {
    LibraryLock lock;
    for (std::uint32_t d = 0; d < 2; ++d) {
      USBDriver& device = Device(d);
      ASSERT_EQ(device.motorCount, kCounts[d]);
      for (std::uint32_t c = 0; c < kCounts[d]; ++c) {
        DeviceGuard guard(device);
        const int address = device.settings.records[c].address;
        EXPECT_EQ(device.motors[c].direction, 0) << kSerials[d] << " channel " << c;
        EXPECT_EQ(boxsim_position(kSerials[d], address), device.motors[c].position) << kSerials[d] << " channel " << c;
        EXPECT_EQ(boxsim_errors(kSerials[d], address), 0) << kSerials[d] << " channel " << c;
      }
    }
  }
  for (const char* serial : kSerials) EXPECT_EQ(ReadFileBytes(SettingsFile(serial)).size(), kSettingsSize);
}

}  // namespace
}  // namespace mervane::testing
