// The window exports and their threads, as a host without a Qt application of its own sees them:
// the library loads libmervane-window.so, whose GUI thread owns the window; the real tick and
// control thread run. Bounded: every wait has a deadline.
#include <QApplication>
#include <QMetaObject>
#include <QPushButton>
#include <QWidget>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "api/api.h"
#include "hardware/runtime.h"
#include "mervane.h"
#include "support.h"
#include "window_support.h"

namespace mervane::testing {
namespace {

// The form pointers are written on the window's thread; a test thread reads them as a host that
// polls them should, through an atomic view.
void* Form(void*& pointer) { return std::atomic_ref<void*>(pointer).load(std::memory_order_acquire); }

class WindowExportsTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!OffscreenPlatformAvailable()) GTEST_SKIP() << "Qt's offscreen platform plug-in is not installed";
    // The window must get a thread of its own: a widget test's application (same process, when
    // the cases are not run one per process as CTest does) would own it without running its loop.
    if (QCoreApplication::instance() != nullptr) GTEST_SKIP() << "a Qt application exists in this process";
    platform::SetEnv("QT_QPA_PLATFORM", "offscreen");
    platform::SetEnv("MERVANE_WINDOW_MODULE", MERVANE_WINDOW_MODULE_PATH);
    platform::SetEnv("MERVANE_D2XX_LIBRARY", MERVANE_BOXSIM_PATH);
    platform::SetEnv("MERVANE_CONFIG_DIR", folder_.WithSlash().c_str());
    platform::SetEnv("MERVANE_COMPANION", "");
    boxsim_reset();
    boxsim_plug("VORK-KADO", "WIN00001");
    boxsim_wire("WIN00001", 1, "four-wire");
    ASSERT_EQ(InitPlugin(), 1);
    MotorInfo info{};
    info.address = 1;
    info.type = 0x85;
    info.coefficient = 100;
    info.acceleration = 5;
    info.minStepTime = 1;
    info.maxStepTime = 5;
    std::strcpy(info.name, "X");
    ASSERT_EQ(SM_Setup(0, -1, &info), 0);
  }
  void TearDown() override { Exit(); }

  // Clicks a button of the modal dialog on the window's thread (queued to its application).
  static void ClickInModal(const char* button) {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [button] {
          if (QWidget* modal = QApplication::activeModalWidget())
            if (auto* b = modal->findChild<QPushButton*>(button)) b->click();
        },
        Qt::QueuedConnection);
  }

  ScratchFolder folder_;
};

TEST_F(WindowExportsTest, ShowTwiceMakesOneWindowAndCloseAndExitAreHarmlessTwice) {
  EXPECT_FALSE(IsSetupWinVisible());
  EXPECT_FALSE(IsSetupWinOpened());
  EXPECT_EQ(Form(DlgMervane), nullptr);
  double start = platform::NowSeconds();
  ShowSetupWin();
  double first = platform::NowSeconds() - start;
  ASSERT_TRUE(IsSetupWinOpened());
  void* window = Form(DlgMervane);
  ASSERT_NE(window, nullptr);
  ShowSetupWin();
  EXPECT_EQ(Form(DlgMervane), window);
  EXPECT_TRUE(IsSetupWinVisible());
  EXPECT_EQ(DlgTable, nullptr);
  EXPECT_EQ(DlgName, nullptr);
  RecordProperty("first_show_ms", std::to_string(static_cast<int>(first * 1000)));
  CloseSetupWin();
  EXPECT_FALSE(IsSetupWinOpened());
  EXPECT_FALSE(IsSetupWinVisible());
  EXPECT_EQ(Form(DlgMervane), nullptr);
  CloseSetupWin();
  ShowSetupWin();  // the parked thread is reused
  EXPECT_TRUE(IsSetupWinVisible());
  Exit();
  EXPECT_FALSE(IsSetupWinOpened());
  EXPECT_EQ(GetDevicesCount(), 1u);  // discovery finds the box again
  Exit();
  EXPECT_EQ(SM_GetCountInAll(), 0u);
}

// A host thread shows the window, moves, asks for the setup dialog and closes the window in a loop
// while the window refreshes on its own thread. No wait holds the library lock, so nothing
// deadlocks, and a 250 ms timer on the control thread keeps its period while dialogs are open.
TEST_F(WindowExportsTest, HostThreadAndWindowThreadNeverBlockEachOther) {
  std::mutex timesMutex;  // guards `times`; the control thread and this one
  std::vector<double> times;
  platform::ControlThread::TimerId timer = GetRuntime().control.AddTimer(0.25, [&] {
    std::lock_guard lock(timesMutex);
    times.push_back(platform::NowSeconds());
  });
  std::atomic<int> answered{0};
  std::atomic<bool> done{false};
  std::thread answerer([&] {
    // Answers each setup dialog with OK after it has been open for a while.
    while (!done.load()) {
      if (Form(DlgMotorSetup) != nullptr) {
        std::this_thread::sleep_for(std::chrono::milliseconds(900));
        ClickInModal("Button1");
        ++answered;
        while (Form(DlgMotorSetup) != nullptr && !done.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  std::vector<int> results;
  std::thread host([&] {
    for (int i = 0; i < 3; ++i) {
      ShowSetupWin();
      SM_Move(0, 0, (i + 1) * 0.5);
      results.push_back(SM_Setup(0, 0, nullptr));
      CloseSetupWin();
    }
  });
  host.join();
  done = true;
  answerer.join();
  {
    LibraryLock lock;
    GetRuntime().control.RemoveTimer(timer);
  }
  EXPECT_EQ(results, (std::vector<int>{0, 0, 0}));
  EXPECT_EQ(answered.load(), 3);
  MotorInfo info{};
  ASSERT_TRUE(SM_GetInfo(0, 0, &info));
  EXPECT_STREQ(info.name, "X");  // OK without changes keeps the record
  std::lock_guard lock(timesMutex);
  ASSERT_GE(times.size(), 6u);
  double longest = 0;
  for (std::size_t i = 1; i < times.size(); ++i) longest = std::max(longest, times[i] - times[i - 1]);
  EXPECT_LT(longest, 0.75) << "the control thread stalled while a dialog was open";
}

TEST_F(WindowExportsTest, ExitCancelsAnOpenSetupDialogAndItsCallerGetsFailure) {
  std::atomic<int> result{1};
  std::thread host([&] { result = SM_Setup(0, 0, nullptr); });
  for (int i = 0; i < 500 && Form(DlgMotorSetup) == nullptr; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_NE(Form(DlgMotorSetup), nullptr);
  EXPECT_EQ(SM_Setup(0, 0, nullptr), -1);  // one setup dialog at a time
  Exit();
  host.join();
  EXPECT_EQ(result.load(), -1);
  EXPECT_EQ(Form(DlgMotorSetup), nullptr);
}

}  // namespace
}  // namespace mervane::testing
