// The platform layer (POSIX and Windows alike): whole-file reads, atomic file replacement, folders, dynamic
// libraries, the control thread's timers and the real-time timer (bounded real-time tests).
#include <atomic>
#include <fstream>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "support.h"

namespace mervane::testing {
namespace {

using platform::ReadStatus;

// Waits (polling, 1 ms sleeps) until `done` holds or `limit` seconds pass; whether it held.
template <typename Condition>
bool WaitUntil(Condition done, double limit = 2.0) {
  double start = platform::NowSeconds();
  while (!done()) {
    if (platform::NowSeconds() - start > limit) return false;
    platform::SleepMs(1);
  }
  return true;
}

// --- Reading whole files ---------------------------------------------------------------------------

TEST(ReadWholeFile, ReadsEveryByteOfFilesLargeAndEmpty) {
  ScratchFolder folder;
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{289}, std::size_t{4096}, std::size_t{10007}}) {
    ByteImage bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 31 + size);
    const std::string path = folder.WithSlash() + "f" + std::to_string(size);
    WriteFileBytes(path, bytes);
    ByteImage read = {1, 2, 3};
    EXPECT_EQ(platform::ReadWholeFile(path, read), ReadStatus::Ok) << size;
    EXPECT_EQ(read, bytes) << size;
  }
}

// What is not a readable regular file: Missing when nothing is there, Failed otherwise, and the
// output emptied either way.
TEST(ReadWholeFile, MissingAndFailedCases) {
  ScratchFolder folder;
  WriteFileBytes(folder.WithSlash() + "plain", {7});
  std::filesystem::create_directory(folder.Path() / "folder");
  std::vector<std::tuple<const char*, std::string, ReadStatus>> cases = {
      {"no such file", folder.WithSlash() + "absent", ReadStatus::Missing},
      {"no such folder", folder.WithSlash() + "absent/file", ReadStatus::Missing},
      {"under a plain file", folder.WithSlash() + "plain/file", ReadStatus::Missing},
      {"empty path", "", ReadStatus::Missing},
      {"a folder", folder.WithSlash() + "folder", ReadStatus::Failed},
  };
#if !defined(_WIN32)  // no named pipes among the files of a Windows folder
  ASSERT_TRUE(MakeFifo(folder.Path() / "pipe"));
  cases.emplace_back("a pipe without writer", folder.WithSlash() + "pipe", ReadStatus::Failed);
#endif
  for (const auto& [label, path, status] : cases) {
    ByteImage out = {1, 2, 3};
    double start = platform::NowSeconds();
    EXPECT_EQ(platform::ReadWholeFile(path, out), status) << label;
    EXPECT_TRUE(out.empty()) << label;
    EXPECT_LT(platform::NowSeconds() - start, 5.0) << label << " must not wait";
  }
}

// --- Atomic replacement ------------------------------------------------------------------------------

TEST(WriteFileAtomic, CreatesAndReplacesWithExactlyTheNewBytes) {
  ScratchFolder folder;
  const std::string path = folder.WithSlash() + "block.hws";
  const ByteImage longer(500, 0xEE);
  const ByteImage shorter = {1, 2, 3, 4};
  ASSERT_TRUE(platform::WriteFileAtomic(path, longer.data(), longer.size()));
  EXPECT_EQ(ReadFileBytes(path), longer);
  ASSERT_TRUE(platform::WriteFileAtomic(path, shorter.data(), shorter.size()));
  EXPECT_EQ(ReadFileBytes(path), shorter) << "no tail of the old contents";
  ASSERT_TRUE(platform::WriteFileAtomic(path, nullptr, 0));
  EXPECT_TRUE(std::filesystem::is_regular_file(path));
  EXPECT_EQ(std::filesystem::file_size(path), 0u);
  EXPECT_EQ(FolderEntries(folder.Path()), std::vector<std::string>{"block.hws"}) << "no temporary file left";
}

// Another program reading the file at the moment of a save (a viewer, a virus scanner) must not
// cost the save: on Windows the open file cannot be replaced until it is closed.
TEST(WriteFileAtomic, ReplacesAFileAnotherReaderHoldsOpenForAWhile) {
  ScratchFolder folder;
  const std::string path = folder.WithSlash() + "block.hws";
  const ByteImage before(289, 0x11);
  const ByteImage after(289, 0x22);
  ASSERT_TRUE(platform::WriteFileAtomic(path, before.data(), before.size()));
  std::atomic<int> opened{-1};  // -1 not yet tried, then whether the reader holds it
  std::thread reader([&] {
    std::ifstream held(path, std::ios::binary);  // the C runtime's sharing: no delete access
    opened = held.is_open() ? 1 : 0;
    platform::SleepMs(60);
  });
  while (opened < 0) platform::SleepMs(1);
  EXPECT_EQ(opened, 1);
  EXPECT_TRUE(platform::WriteFileAtomic(path, after.data(), after.size()));
  reader.join();
  EXPECT_EQ(ReadFileBytes(path), after);
  EXPECT_EQ(FolderEntries(folder.Path()), std::vector<std::string>{"block.hws"}) << "no temporary file left";
}

TEST(WriteFileAtomic, RefusesBadArgumentsAndUnwritablePlaces) {
  ScratchFolder folder;
  const ByteImage bytes = {9, 8, 7};
  std::filesystem::create_directory(folder.Path() / "taken");
  std::filesystem::create_directory(folder.Path() / "taken" / "child");
  EXPECT_FALSE(platform::WriteFileAtomic("", bytes.data(), bytes.size()));
  EXPECT_FALSE(platform::WriteFileAtomic(folder.WithSlash() + "null", nullptr, 3));
  EXPECT_FALSE(platform::WriteFileAtomic(folder.WithSlash() + "absent/file", bytes.data(), bytes.size()));
  EXPECT_FALSE(platform::WriteFileAtomic(folder.WithSlash() + "taken", bytes.data(), bytes.size()));
  EXPECT_TRUE(std::filesystem::is_directory(folder.Path() / "taken" / "child")) << "a folder is never replaced";
  EXPECT_EQ(FolderEntries(folder.Path()), std::vector<std::string>{"taken"});
}

TEST(WriteFileAtomic, AWriteThatCannotCompleteLeavesTheOldFileWhole) {
#if defined(_WIN32)
  MERVANE_POSIX_ONLY("a per-process file size limit (RLIMIT_FSIZE) to cut the write short");
#else
  ScratchFolder folder;
  const std::string path = folder.WithSlash() + "block.hws";
  const ByteImage old(289, 0x11);
  ASSERT_TRUE(platform::WriteFileAtomic(path, old.data(), old.size()));
  const ByteImage bigger(4000, 0x22);
  {
    FileSizeLimitScope limit(1000);
    ASSERT_TRUE(limit.Active());
    EXPECT_FALSE(platform::WriteFileAtomic(path, bigger.data(), bigger.size()));
  }
  EXPECT_EQ(ReadFileBytes(path), old);
  EXPECT_EQ(FolderEntries(folder.Path()), std::vector<std::string>{"block.hws"});
#endif
}

// --- Folders -------------------------------------------------------------------------------------

TEST(Folders, ExistenceAndOneLevelCreation) {
  ScratchFolder folder;
  WriteFileBytes(folder.WithSlash() + "plain", {1});
  EXPECT_TRUE(platform::DirectoryExists(folder.Path().string()));
  EXPECT_TRUE(platform::DirectoryExists(folder.WithSlash()));
  EXPECT_FALSE(platform::DirectoryExists(folder.WithSlash() + "plain"));
  EXPECT_FALSE(platform::DirectoryExists(""));
  EXPECT_TRUE(platform::FileExists(folder.WithSlash() + "plain"));
  EXPECT_FALSE(platform::FileExists(folder.Path().string()));
  EXPECT_FALSE(platform::FileExists(""));

  EXPECT_TRUE(platform::CreateDirectory(folder.WithSlash() + "one"));
  EXPECT_TRUE(platform::CreateDirectory(folder.WithSlash() + "one")) << "an existing folder is fine";
  EXPECT_FALSE(platform::CreateDirectory(folder.WithSlash() + "two/three")) << "one level only";
  EXPECT_FALSE(platform::CreateDirectory(folder.WithSlash() + "plain"));
  EXPECT_FALSE(platform::CreateDirectory(""));
  EXPECT_TRUE(platform::DirectoryExists(folder.WithSlash() + "one"));
}

// --- Dynamic libraries ------------------------------------------------------------------------------

TEST(DynamicLibrary, OpensResolvesClosesAndMoves) {
  platform::DynamicLibrary missing;
  EXPECT_FALSE(missing.Open(std::string("/nonexistent/libnothing") + (platform::kPathSeparator == '/' ? ".so" : ".dll")));
  EXPECT_FALSE(missing.Open(""));
  EXPECT_EQ(missing.Symbol("strlen"), nullptr);

  platform::DynamicLibrary library;
  ASSERT_TRUE(library.Open(MERVANE_BOXSIM_PATH));
  EXPECT_NE(library.Symbol("FT_ListDevices"), nullptr);
  EXPECT_EQ(library.Symbol("FT_NoSuchFunction"), nullptr);
  EXPECT_EQ(library.Symbol(nullptr), nullptr);

  platform::DynamicLibrary moved(std::move(library));
  EXPECT_FALSE(library.IsOpen());
  EXPECT_TRUE(moved.IsOpen());
  EXPECT_NE(moved.Symbol("FT_Write"), nullptr);
  moved.Close();
  EXPECT_FALSE(moved.IsOpen());
  EXPECT_EQ(moved.Symbol("FT_Write"), nullptr);
}

// --- Control thread ---------------------------------------------------------------------------------

TEST(ControlThread, TimersRunRepeatedlyWithTheSerialisingLockHeld) {
  std::recursive_mutex serialise;
  platform::ControlThread control(serialise);
  std::atomic<int> runs{0};
  std::atomic<int> unlockedRuns{0};
  control.AddTimer(0.002, [&] {
    // Another thread must find the lock taken while a callback runs.
    bool free = false;
    std::thread probe([&] {
      free = serialise.try_lock();
      if (free) serialise.unlock();
    });
    probe.join();
    if (free) ++unlockedRuns;
    ++runs;
  });
  EXPECT_EQ(control.TimerCount(), 1u);
  ASSERT_TRUE(WaitUntil([&] { return runs.load() >= 5; }));
  EXPECT_EQ(unlockedRuns.load(), 0);
}

TEST(ControlThread, NoCallbackRunsWhileSomeoneElseHoldsTheLock) {
  std::recursive_mutex serialise;
  platform::ControlThread control(serialise);
  std::atomic<int> runs{0};
  {
    std::lock_guard hold(serialise);
    control.AddTimer(0.001, [&] { ++runs; });
    platform::SleepMs(50);
    EXPECT_EQ(runs.load(), 0);
  }
  EXPECT_TRUE(WaitUntil([&] { return runs.load() >= 1; }));
}

TEST(ControlThread, ARemovedTimerNeverRunsAgain) {
  std::recursive_mutex serialise;
  platform::ControlThread control(serialise);
  std::atomic<int> removed{0};
  std::atomic<int> kept{0};
  auto removedId = control.AddTimer(0.001, [&] { ++removed; });
  control.AddTimer(0.001, [&] { ++kept; });
  ASSERT_TRUE(WaitUntil([&] { return removed.load() >= 3; }));
  int runsAtRemoval = 0;
  int keptAtRemoval = 0;
  {
    std::lock_guard hold(serialise);  // no callback is running now
    control.RemoveTimer(removedId);
    runsAtRemoval = removed.load();
    keptAtRemoval = kept.load();
  }
  EXPECT_EQ(control.TimerCount(), 1u);
  ASSERT_TRUE(WaitUntil([&] { return kept.load() >= keptAtRemoval + 5; })) << "the other timer runs on";
  EXPECT_EQ(removed.load(), runsAtRemoval);
}

TEST(ControlThread, ATimerMayRemoveItselfAndStopEndsEverything) {
  std::recursive_mutex serialise;
  platform::ControlThread control(serialise);
  std::atomic<int> once{0};
  std::atomic<int> runs{0};
  platform::ControlThread::TimerId self = 0;
  {
    std::lock_guard hold(serialise);
    self = control.AddTimer(0.001, [&] {
      ++once;
      control.RemoveTimer(self);
    });
  }
  control.AddTimer(0.001, [&] { ++runs; });
  ASSERT_TRUE(WaitUntil([&] { return runs.load() >= 5; }));
  EXPECT_EQ(once.load(), 1);
  control.Stop();
  int atStop = runs.load();
  platform::SleepMs(30);
  EXPECT_EQ(runs.load(), atStop);
}

// --- Real-time timer ---------------------------------------------------------------------------------

struct TimerLog {
  std::atomic<int> calls{0};
  std::atomic<bool> ordered{true};
  double lastDeadline = 0;  // touched by the timer thread only
};

void CountCall(void* context, const platform::RealtimeTimer::Beat& beat) {
  auto* log = static_cast<TimerLog*>(context);
  if (beat.deadline <= log->lastDeadline) log->ordered = false;
  log->lastDeadline = beat.deadline;
  ++log->calls;
}

// Every beat of a run, as the timer thread handed them over.
struct BeatLog {
  static constexpr int kCapacity = 200;
  platform::RealtimeTimer::Beat beats[kCapacity];
  std::atomic<int> count{0};
};

void RecordBeat(void* context, const platform::RealtimeTimer::Beat& beat) {
  auto* log = static_cast<BeatLog*>(context);
  const int i = log->count.load(std::memory_order_relaxed);
  if (i >= BeatLog::kCapacity) return;
  log->beats[i] = beat;
  log->count.store(i + 1, std::memory_order_release);
  // Now and then the callback overruns its period, as a stalled host would.
  if (i % 20 == 10) platform::SleepSeconds(0.0025);
}

// Deadlines lie on the grid start + index * period, worked out from the index (no drift however
// many periods pass), and every grid point is either called or counted as skipped.
TEST(RealtimeTimer, DeadlinesLieOnTheGridAndSkippedPointsAreCounted) {
  platform::RealtimeTimer timer;
  BeatLog log;
  const double period = 0.001;
  ASSERT_TRUE(timer.Start(period, &RecordBeat, &log));
  ASSERT_TRUE(WaitUntil([&] { return log.count.load() >= 100; }));
  timer.Stop();
  const int n = log.count.load(std::memory_order_acquire);
  const platform::RealtimeTimer::Beat& first = log.beats[0];
  EXPECT_EQ(first.index, 1u);
  EXPECT_EQ(first.skipped, 0u);
  const double start = first.deadline - period;
  std::uint64_t skipped = 0;
  for (int i = 1; i < n; ++i) {
    const platform::RealtimeTimer::Beat& beat = log.beats[i];
    EXPECT_EQ(beat.index, log.beats[i - 1].index + 1 + beat.skipped) << "beat " << i;
    EXPECT_NEAR(beat.deadline, start + static_cast<double>(beat.index) * period, 1e-9) << "beat " << i;
    skipped += beat.skipped;
  }
  EXPECT_GE(skipped, 4u) << "each 2.5 ms overrun passes over at least one grid point";
}

TEST(RealtimeTimer, RunsPeriodicallyAndNeverAfterStop) {
  platform::RealtimeTimer timer;
  TimerLog log;
  EXPECT_FALSE(timer.Running());
  ASSERT_TRUE(timer.Start(0.001, &CountCall, &log));
  EXPECT_TRUE(timer.Running());
  EXPECT_FALSE(timer.Start(0.001, &CountCall, &log)) << "already running";
  ASSERT_TRUE(WaitUntil([&] { return log.calls.load() >= 20; }));
  timer.Stop();
  EXPECT_FALSE(timer.Running());
  int atStop = log.calls.load();
  platform::SleepMs(20);
  EXPECT_EQ(log.calls.load(), atStop);
  EXPECT_TRUE(log.ordered.load()) << "deadlines only move forward";
  timer.Stop();  // a second stop is harmless

  TimerLog again;
  ASSERT_TRUE(timer.Start(0.001, &CountCall, &again)) << "restartable";
  EXPECT_TRUE(WaitUntil([&] { return again.calls.load() >= 3; }));
}

// An idle timer rests without a single wake-up until it is woken, then ticks on; Stop ends a rest.
struct RestingLog {
  platform::RealtimeTimer* timer = nullptr;
  std::atomic<int> calls{0};
  std::atomic<int> restAt{5};  // the call after which the callback asks for a rest
};

void RestOnCue(void* context, const platform::RealtimeTimer::Beat&) {
  auto* log = static_cast<RestingLog*>(context);
  if (++log->calls == log->restAt.load()) log->timer->RestAfterThisCall();
}

TEST(RealtimeTimer, RestsUntilWokenAndStopsWhileResting) {
  platform::RealtimeTimer timer;
  RestingLog log;
  log.timer = &timer;
  ASSERT_TRUE(timer.Start(0.001, &RestOnCue, &log));
  ASSERT_TRUE(WaitUntil([&] { return timer.Resting(); }));
  EXPECT_EQ(log.calls.load(), 5);
  platform::SleepMs(30);
  EXPECT_EQ(log.calls.load(), 5) << "a resting timer makes no calls";
  log.restAt = 15;
  timer.Wake();
  ASSERT_TRUE(WaitUntil([&] { return log.calls.load() >= 15 && timer.Resting(); }));
  EXPECT_EQ(log.calls.load(), 15);
  timer.Stop();  // returns although the thread rests
  EXPECT_FALSE(timer.Running());
}

TEST(RealtimeTimer, AWakeBeforeTheRestCancelsIt) {
  platform::RealtimeTimer timer;
  RestingLog log;
  log.timer = &timer;
  log.restAt = 1000000;
  ASSERT_TRUE(timer.Start(0.001, &RestOnCue, &log));
  timer.Wake();  // nobody rests yet: the next rest request is cancelled
  log.restAt = log.calls.load() + 3;
  ASSERT_TRUE(WaitUntil([&] { return log.calls.load() >= log.restAt.load() + 5; }));
  EXPECT_FALSE(timer.Resting());
}

TEST(RealtimeTimer, RefusesBadArguments) {
  platform::RealtimeTimer timer;
  TimerLog log;
  EXPECT_FALSE(timer.Start(0.001, nullptr, &log));
  EXPECT_FALSE(timer.Start(0.0, &CountCall, &log));
  EXPECT_FALSE(timer.Start(-1.0, &CountCall, &log));
  EXPECT_FALSE(timer.Start(std::numeric_limits<double>::quiet_NaN(), &CountCall, &log));
  EXPECT_FALSE(timer.Running());
}

}  // namespace
}  // namespace mervane::testing
