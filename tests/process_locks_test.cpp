// Locks between processes: the platform's file lock, and the emulator's boxes, which a process
// holds open alone (a second process is refused and told who holds the box) until it closes
// them or ends, however it ends. Child processes (fork) play the other process.
#include <gtest/gtest.h>

#include "support.h"

#if defined(_WIN32)
namespace mervane::testing {
namespace {
TEST(ProcessLocksTest, ABoxOpenHereIsBusyForAnotherProcess) { MERVANE_POSIX_ONLY("fork, to play a second process"); }
}  // namespace
}  // namespace mervane::testing
#else
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "boxsim/boxsim.h"
#include "platform/platform.h"

namespace mervane::testing {
namespace {

// Runs `body` in a child process and returns its exit status (the body's result), 255 when it
// died otherwise.
int RunInChild(const std::function<int()>& body) {
  const pid_t child = fork();
  if (child == 0) _exit(body());
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

TEST(ProcessLocksTest, AFileLockHasOneHolderAndNamesIt) {
  ScratchFolder folder;
  const std::string path = folder.WithSlash() + "box.lock";
  EXPECT_EQ(platform::FileLock::HolderOf(path), std::nullopt) << "no file, no holder";
  platform::FileLock first;
  ASSERT_TRUE(first.TryLock(path, "first, pid 1"));
  EXPECT_TRUE(first.Held());
  EXPECT_EQ(platform::FileLock::HolderOf(path), std::optional<std::string>("first, pid 1"));
  platform::FileLock second;  // another holder in this process is refused as well
  EXPECT_FALSE(second.TryLock(path, "second"));
  EXPECT_FALSE(second.Held());
  // A child process sees the holder and cannot take the lock.
  EXPECT_EQ(RunInChild([&] {
              platform::FileLock theirs;
              if (theirs.TryLock(path, "child")) return 1;
              return platform::FileLock::HolderOf(path) == std::optional<std::string>("first, pid 1") ? 0 : 2;
            }),
            0);
  first.Unlock();
  EXPECT_EQ(platform::FileLock::HolderOf(path), std::nullopt);
  EXPECT_TRUE(second.TryLock(path, "second"));
  EXPECT_EQ(platform::FileLock::HolderOf(path), std::optional<std::string>("second")) << "no tail of the old line";
}

// A holder that is killed leaves no lock behind: the system drops it with the process.
TEST(ProcessLocksTest, AKilledHolderLeavesNoLock) {
  ScratchFolder folder;
  const std::string path = folder.WithSlash() + "move.lock";
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  if (child == 0) {
    platform::FileLock mine;
    char byte = mine.TryLock(path, "child") ? 1 : 0;
    if (write(ready[1], &byte, 1) != 1) _exit(3);
    pause();
    _exit(0);
  }
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  ASSERT_EQ(byte, 1);
  EXPECT_EQ(platform::FileLock::HolderOf(path), std::optional<std::string>("child"));
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  close(ready[0]);
  close(ready[1]);
  EXPECT_EQ(platform::FileLock::HolderOf(path), std::nullopt);
  platform::FileLock mine;
  EXPECT_TRUE(mine.TryLock(path, "next"));
}

// The emulator's boxes: a box open here is refused to another process, which is told who holds
// it and cannot rewire it either; once closed here, the other process opens it.
TEST(ProcessLocksTest, ABoxOpenHereIsBusyForAnotherProcess) {
  ScratchFolder folder;
  platform::SetEnv("BOXSIM_STATE_DIR", folder.WithSlash().c_str());
  platform::SetEnv("BOXSIM_HOLDER", "boxsim test");
  boxsim_reset();
  const char* serial = "LOCK0001";
  ASSERT_EQ(boxsim_plug("VORK-KADO", serial), 0);
  char holder[128] = "stale";
  EXPECT_EQ(boxsim_holder(serial, holder, sizeof holder), 0);
  EXPECT_STREQ(holder, "");
  FT_HANDLE h = nullptr;
  ASSERT_EQ(FT_OpenEx(const_cast<char*>(serial), FT_OPEN_BY_SERIAL_NUMBER, &h), FT_OK);
  EXPECT_EQ(boxsim_holder(serial, holder, sizeof holder), 0) << "held here, not by another process";
  const std::string expected = "boxsim test, pid " + std::to_string(platform::CurrentProcessId());
  // The child asks as another process would: an emulator of its own on the same folder.
  auto other = [&](bool expectBusy) {
    return RunInChild([&] {
      boxsim_reset();
      if (boxsim_plug("VORK-KADO", serial) != 0) return 10;
      FT_HANDLE mine = nullptr;
      const FT_STATUS opened = FT_OpenEx(const_cast<char*>(serial), FT_OPEN_BY_SERIAL_NUMBER, &mine);
      if (!expectBusy) return opened == FT_OK ? 0 : 11;
      if (opened != FT_DEVICE_NOT_OPENED) return 12;
      char line[128] = {};
      if (boxsim_holder(serial, line, sizeof line) != 1 || expected != line) return 13;
      if (boxsim_wire(serial, 1, "four-wire") != -1) return 14;  // not behind the holder's back
      return 0;
    });
  };
  EXPECT_EQ(other(true), 0);
  ASSERT_EQ(FT_Close(h), FT_OK);
  EXPECT_EQ(other(false), 0);
  EXPECT_EQ(boxsim_holder(nullptr, holder, sizeof holder), -1);
  EXPECT_EQ(boxsim_holder(serial, nullptr, 0), -1);
  boxsim_reset();
  platform::UnsetEnv("BOXSIM_HOLDER");
  platform::UnsetEnv("BOXSIM_STATE_DIR");
}

}  // namespace
}  // namespace mervane::testing
#endif
