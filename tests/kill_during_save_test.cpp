// A process killed (SIGKILL) at any moment of a save: a child renames its box in a loop, each
// rename saving the settings file, and is killed after a random delay. The file must always be a
// whole block, the old one or a new one, never a torn or short one, and the temporary file a
// killed save leaves behind must go with the next save of that box.
#include <gtest/gtest.h>

#include "support.h"

#if defined(_WIN32)
namespace mervane::testing {
namespace {
TEST(KillDuringSaveTest, TheFileIsAlwaysAWholeOldOrNewBlock) {
  MERVANE_POSIX_ONLY("fork and SIGKILL to end a process in the middle of a save");
}
}  // namespace
}  // namespace mervane::testing
#else
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <string>

namespace mervane::testing {
namespace {

constexpr const char* kSerial = "KIL00001";

class KillDuringSaveTest : public EmulatorTest {};

// The child's whole life: save a new name as fast as it can until it is killed.
[[noreturn]] void SaveForever(USBDriver& device) {
  for (unsigned long k = 0;; ++k) {
    LibraryLock lock;
    Rename(device, "N" + std::to_string(k));
  }
}

TEST_F(KillDuringSaveTest, TheFileIsAlwaysAWholeOldOrNewBlock) {
  ASSERT_EQ(PlugAndRefresh({{"VORK-KADO", kSerial}}), 1);
  USBDriver& device = Device(0);
  {
    LibraryLock lock;
    ASSERT_EQ(AddSlot(device, UsedRecord(1, 100.0f, 0.0f, "X")), 0);
    ASSERT_EQ(AddSlot(device, UsedRecord(2, 10.0f, 0.0f, "Y")), 1);
    ASSERT_TRUE(Rename(device, "START"));
  }
  const ByteImage first = ReadFileBytes(SettingsFile(kSerial));
  ASSERT_EQ(first.size(), kSettingsSize);

  std::mt19937 rng(0x4B111u);
  constexpr int kKills = 40;
  int torn = 0;
  for (int i = 0; i < kKills; ++i) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) SaveForever(device);
    // Mostly early (the first saves), sometimes later; each save flushes to disk, so a kill lands
    // in the middle of one more often than not.
    platform::SleepSeconds(std::uniform_real_distribution<double>(0.0, i % 4 == 0 ? 0.05 : 0.01)(rng));
    ASSERT_EQ(kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the child ended by itself";

    const ByteImage now = ReadFileBytes(SettingsFile(kSerial));
    ASSERT_EQ(now.size(), kSettingsSize) << "kill " << i;
    // Only the name area may differ from the first block: "START" or "N<k>", NUL-padded.
    const bool recordsKept = std::equal(now.begin() + kNameAreaSize, now.end(), first.begin() + kNameAreaSize);
    const std::string name(reinterpret_cast<const char*>(now.data()), strnlen(reinterpret_cast<const char*>(now.data()), 10));
    const bool nameWhole = name == "START" || (name.size() >= 2 && name[0] == 'N' &&
                                               name.find_first_not_of("0123456789", 1) == std::string::npos);
    if (!recordsKept || !nameWhole) ++torn;
    EXPECT_TRUE(recordsKept) << "kill " << i;
    EXPECT_TRUE(nameWhole) << "kill " << i << ": name \"" << name << "\"";
  }
  EXPECT_EQ(torn, 0);

  // The next save of this box removes what the killed saves left behind.
  {
    LibraryLock lock;
    ASSERT_TRUE(Rename(device, "AFTER"));
  }
  EXPECT_EQ(FolderEntries(folder_.Path()), std::vector<std::string>{std::string(kSerial) + ".hws"});
  const ByteImage last = ReadFileBytes(SettingsFile(kSerial));
  ASSERT_EQ(last.size(), kSettingsSize);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(last.data())), "AFTER");
}

}  // namespace
}  // namespace mervane::testing
#endif
