// "Motor Stopped" on its way to the host: the tick only hands stops over, the event thread (or a
// flush) raises them in order and each once, a handler may call back into the library, and no
// event is lost when the handler falls behind.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "hardware/events.h"
#include "support.h"

namespace mervane::testing {
namespace {

// What the hook saw: channels in order and the threads it ran on. One recorder at a time.
struct Recorder {
  std::mutex mutex;
  std::vector<std::uint32_t> channels;
  std::vector<std::thread::id> threads;
  std::atomic<bool> lockLibrary{false};  // the hook takes the library lock, as an export would
  std::atomic<bool> flushInside{false};  // the hook flushes and stops the event thread itself

  static Recorder*& Current() {
    static Recorder* current = nullptr;
    return current;
  }
  static void Hook(std::uint32_t channel) {
    Recorder& r = *Current();
    if (r.lockLibrary) {
      LibraryLock lock;
    }
    if (r.flushInside) {
      FlushStoppedEvents();
      StopEventThread();
    }
    std::lock_guard guard(r.mutex);
    r.channels.push_back(channel);
    r.threads.push_back(std::this_thread::get_id());
  }
  Recorder() {
    Current() = this;
    SetMotorStoppedHook(&Hook);
  }
  ~Recorder() {
    SetMotorStoppedHook(nullptr);
    Current() = nullptr;
  }
  std::vector<std::uint32_t> Channels() {
    std::lock_guard guard(mutex);
    return channels;
  }
};

using StoppedEventsTest = MotionTest;

// A control thread holds the library lock (as SM_SetZero does while it waits for a motor) and the
// hook needs that lock: the tick must still run to the end, its stops raised only afterwards.
TEST_F(StoppedEventsTest, TickHandsStopsOverAndNeverCallsTheHook) {
  Recorder recorder;
  recorder.lockLibrary = true;
  AddMotor({.address = 1, .acceleration = 2, .minStepTime = 1});
  AddMotor({.address = 2, .acceleration = 2, .minStepTime = 1});
  ASSERT_TRUE(Start(1, 3));
  ASSERT_TRUE(Start(0, 1));
  {
    LibraryLock held;
    std::thread ticker([this] {
      for (long k = 0; k < 100; ++k) Tick(Ms(k));
    });
    ticker.join();  // a tick calling the hook would wait here for good
    EXPECT_TRUE(recorder.Channels().empty());
    EXPECT_EQ(Motor(0).position, 1);
    EXPECT_EQ(Motor(1).position, 3);
  }
  FlushStoppedEvents();
  EXPECT_EQ(recorder.Channels(), (std::vector<std::uint32_t>{0, 1}));
  FlushStoppedEvents();  // each once
  EXPECT_EQ(recorder.Channels().size(), 2u);
}

// Far more stops than the ring holds, with nobody raising them meanwhile: every one arrives, the
// ones that fitted first and in order.
TEST_F(StoppedEventsTest, NoStopIsLostWhenTheHandlerFallsBehind) {
  Recorder recorder;
  constexpr int kStops = 3000;
  for (int i = 0; i < kStops; ++i) RaiseMotorStopped(static_cast<std::uint32_t>(i % kChannelCount));
  FlushStoppedEvents();
  const std::vector<std::uint32_t> seen = recorder.Channels();
  ASSERT_EQ(seen.size(), static_cast<std::size_t>(kStops));
  for (int i = 0; i < 1024; ++i) ASSERT_EQ(seen[i], static_cast<std::uint32_t>(i % kChannelCount)) << i;
  std::vector<int> perChannel(kChannelCount, 0);
  for (std::uint32_t c : seen) ++perChannel[c];
  for (int c = 0; c < kChannelCount; ++c)
    EXPECT_EQ(perChannel[c], kStops / kChannelCount + (c < kStops % kChannelCount ? 1 : 0)) << c;
  // Afterwards the ring is in order again.
  recorder.channels.clear();
  for (std::uint32_t c : {6u, 2u, 4u}) RaiseMotorStopped(c);
  FlushStoppedEvents();
  EXPECT_EQ(recorder.Channels(), (std::vector<std::uint32_t>{6, 2, 4}));
}

// The event thread proper: several threads hand stops over at once; every stop is raised once,
// on the event thread; Stop raises what still waits before the thread ends.
TEST_F(StoppedEventsTest, EventThreadRaisesEveryStopOfManyProducersOnce) {
  Recorder recorder;
  GetRuntime().manualTiming = false;
  ASSERT_TRUE(StartEventThread());
  constexpr int kProducers = 4;
  constexpr int kEach = 2000;  // the event thread keeps up or the overflow counts them
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p)
    producers.emplace_back([p] {
      for (int i = 0; i < kEach; ++i) RaiseMotorStopped(static_cast<std::uint32_t>(p));
    });
  for (std::thread& t : producers) t.join();
  RaiseMotorStopped(5);
  StopEventThread();
  GetRuntime().manualTiming = true;
  const std::vector<std::uint32_t> seen = recorder.Channels();
  ASSERT_EQ(seen.size(), static_cast<std::size_t>(kProducers * kEach + 1));
  std::vector<int> perChannel(kChannelCount, 0);
  for (std::uint32_t c : seen) ++perChannel[c];
  for (int p = 0; p < kProducers; ++p) EXPECT_EQ(perChannel[p], kEach) << p;
  EXPECT_EQ(perChannel[5], 1);
  for (std::thread::id id : recorder.threads) EXPECT_NE(id, std::this_thread::get_id());
}

// A handler may flush and even stop the event thread from inside (a host calling Exit from its
// handler): neither waits for itself, and the thread still serves the next stops.
TEST_F(StoppedEventsTest, HandlerMayFlushAndStopFromInside) {
  Recorder recorder;
  recorder.flushInside = true;
  GetRuntime().manualTiming = false;
  ASSERT_TRUE(StartEventThread());
  RaiseMotorStopped(3);
  for (int i = 0; i < 500 && recorder.Channels().size() < 1; ++i) platform::SleepMs(10);
  RaiseMotorStopped(4);
  for (int i = 0; i < 500 && recorder.Channels().size() < 2; ++i) platform::SleepMs(10);
  EXPECT_EQ(recorder.Channels(), (std::vector<std::uint32_t>{3, 4}));
  recorder.flushInside = false;
  StopEventThread();
  GetRuntime().manualTiming = true;
  RaiseMotorStopped(1);
  EXPECT_EQ(recorder.Channels().size(), 2u);  // no thread any more: raised only by a flush
  FlushStoppedEvents();
  EXPECT_EQ(recorder.Channels(), (std::vector<std::uint32_t>{3, 4, 1}));
}

}  // namespace
}  // namespace mervane::testing
