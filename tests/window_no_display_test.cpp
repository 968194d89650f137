// Without a display the control window is never made: nothing is shown, neither the window module
// nor the toolkit is loaded, the setup dialog requests fail as before, and nothing crashes.
#if !defined(_WIN32)
#include <dlfcn.h>
#endif

#include "api_fixture.h"
#include "tests/host_os.h"

namespace mervane::testing {
namespace {

class WindowNoDisplayTest : public ApiTest {};

TEST_F(WindowNoDisplayTest, NothingShownNothingLoadedNothingCrashes) {
  if (HostLeaveDisplay() != 0) GTEST_SKIP() << "this process cannot be taken off its display";
  platform::SetEnv("XDG_RUNTIME_DIR", folder_.WithSlash().c_str());  // no Wayland socket there
#ifdef MERVANE_WINDOW_MODULE_PATH
  platform::SetEnv("MERVANE_WINDOW_MODULE", MERVANE_WINDOW_MODULE_PATH);
#endif
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 1, "X"), 0);
  ShowSetupWin();
  EXPECT_FALSE(IsSetupWinOpened());
  EXPECT_FALSE(IsSetupWinVisible());
  EXPECT_EQ(DlgMervane, nullptr);
  EXPECT_EQ(SM_Setup(0, 0, nullptr), -1);
  EXPECT_EQ(SM_Setup(0, -1, nullptr), -1);
  EXPECT_FALSE(SMN_Setup("X"));
  CloseSetupWin();
  Exit();
  Exit();
#if !defined(_WIN32)
#ifdef MERVANE_WINDOW_MODULE_PATH
  EXPECT_EQ(dlopen(MERVANE_WINDOW_MODULE_PATH, RTLD_NOW | RTLD_NOLOAD), nullptr);
#endif
  EXPECT_EQ(dlopen("libQt6Core.so.6", RTLD_NOW | RTLD_NOLOAD), nullptr);
#endif
}

}  // namespace
}  // namespace mervane::testing
