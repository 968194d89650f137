// The device object: every open step failing, the watchdog's retries, unplug and replug of a box,
// and the release of stale handles.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "hardware/settings.h"
#include "support.h"

namespace mervane::testing {
namespace {


class DeviceTest : public EmulatorTest {
protected:
  // A settings file with channel 0 in use: coefficient 2 steps per unit, saved at 12.5 units.
  ByteImage WriteConfiguredFile() {
    DeviceSettings block = FreshSettings();
    std::memcpy(block.name, "Bench", 6);
    block.records[0] = UsedRecord(1, 2.0f, 12.5f, "Axis");
    block.tail = 0x5A;
    ByteImage bytes = BlockBytes(block);
    WriteFileBytes(SettingsFile(kKado), bytes);
    return bytes;
  }
};

// --- Each open step failing once --------------------------------------------------------------------

// How one open step is made to fail once, and undone.
struct StepFailure {
  const char* label;
  void (*inject)(const std::string& settingsFile);
  void (*undo)(const std::string& settingsFile);
};

void PrintTo(const StepFailure& c, std::ostream* os) { *os << c.label; }

void Nothing(const std::string&) {}
template <const char* Operation>
void FailOnce(const std::string&) {
  ASSERT_EQ(boxsim_fail(kKado, Operation, 1), 0);
}
// The settings file cannot be read: a folder stands in its place.
void UnreadableFile(const std::string& file) {
  std::filesystem::remove(file);
  std::filesystem::create_directory(file);
}
void ReadableAgain(const std::string& file) { std::filesystem::remove(file); }

constexpr char kOpen[] = "open";
constexpr char kSetBitMode[] = "setbitmode";
constexpr char kSetBaudRate[] = "setbaudrate";
constexpr char kUaRead[] = "uaread";
constexpr char kWrite[] = "write";

class OpenStepTest : public DeviceTest, public ::testing::WithParamInterface<StepFailure> {};

TEST_P(OpenStepTest, DiscoveryDropsTheBoxClosesTheHandleAndFindsItNextTime) {
  const StepFailure& c = GetParam();
  ASSERT_EQ(boxsim_plug("VORK-KADO", kKado), 0);
  c.inject(SettingsFile(kKado));
  {
    LibraryLock lock;
    EXPECT_EQ(RefreshDevices(), 0);
    EXPECT_EQ(GetRuntime().devices.Count(), 0u);
  }
  EXPECT_EQ(boxsim_is_open(kKado), 0) << "no handle may be left open";
  EXPECT_FALSE(std::filesystem::is_regular_file(SettingsFile(kKado))) << "a box never opened writes no file";
  c.undo(SettingsFile(kKado));

  LibraryLock lock;
  ASSERT_EQ(RefreshDevices(), 1);
  EXPECT_TRUE(Device(0).connected);
  EXPECT_EQ(boxsim_is_open(kKado), 1);
}

TEST_P(OpenStepTest, TheWatchdogRetriesAfterAFailedReopen) {
  const StepFailure& c = GetParam();
  ASSERT_EQ(PlugAndRefresh({{"VORK-KADO", kKado}}), 1);
  USBDriver& device = Device(0);
  ASSERT_EQ(boxsim_unplug(kKado), 0);
  {
    LibraryLock lock;
    EXPECT_FALSE(device.CheckConnection());
  }
  ASSERT_EQ(boxsim_plug("VORK-KADO", kKado), 0);
  c.inject(SettingsFile(kKado));
  boxsim_clear(kKado);

  RunWatchdog(device);
  EXPECT_FALSE(IsConnected(device));
  EXPECT_EQ(boxsim_is_open(kKado), 0) << "the failed attempt's handle is closed";

  c.undo(SettingsFile(kKado));
  RunWatchdog(device);
  EXPECT_TRUE(IsConnected(device));
  EXPECT_EQ(boxsim_is_open(kKado), 1);
  ByteImage wire = WireBytes(kKado);
  ASSERT_GE(wire.size(), ReleaseAllBytes().size());
  EXPECT_EQ(ByteImage(wire.end() - 14, wire.end()), ReleaseAllBytes()) << "the reopen ends with the release";
}

INSTANTIATE_TEST_SUITE_P(Steps, OpenStepTest,
                         ::testing::Values(StepFailure{"open", FailOnce<kOpen>, Nothing},
                                           StepFailure{"setbitmode", FailOnce<kSetBitMode>, Nothing},
                                           StepFailure{"setbaudrate", FailOnce<kSetBaudRate>, Nothing},
                                           StepFailure{"uaread", FailOnce<kUaRead>, Nothing},
                                           StepFailure{"settings", UnreadableFile, ReadableAgain},
                                           StepFailure{"release_write", FailOnce<kWrite>, Nothing}),
                         [](const auto& test) { return std::string(test.param.label); });

// --- Connection check and the watchdog ----------------------------------------------------------

TEST_F(DeviceTest, TheWatchdogLeavesAHealthyBoxAlone) {
  ASSERT_EQ(PlugAndRefresh({{"VORK-KADO", kKado}}), 1);
  USBDriver& device = Device(0);
  FT_HANDLE handle = device.handle;
  boxsim_clear(kKado);
  for (int i = 0; i < 3; ++i) RunWatchdog(device);
  EXPECT_TRUE(IsConnected(device));
  EXPECT_EQ(device.handle, handle);
  EXPECT_TRUE(WireBytes(kKado).empty());
  EXPECT_FALSE(std::filesystem::exists(SettingsFile(kKado))) << "nothing to save while connected";
}

TEST_F(DeviceTest, AFailedStatusQueryIsALostConnectionAndTheWatchdogReopensAtOnce) {
  WriteConfiguredFile();
  ASSERT_EQ(PlugAndRefresh({{"VORK-KADO", kKado}}), 1);
  USBDriver& device = Device(0);
  FT_HANDLE oldHandle = device.handle;
  ASSERT_EQ(boxsim_fail(kKado, "getstatus", 1), 0);
  RunWatchdog(device);
  EXPECT_TRUE(IsConnected(device));
  EXPECT_NE(device.handle, oldHandle);
  EXPECT_EQ(FT_Close(oldHandle), static_cast<FT_STATUS>(FT_INVALID_HANDLE)) << "the old handle was closed";
  LibraryLock lock;
  EXPECT_EQ(device.motorCount, 1u);
  EXPECT_EQ(device.motors[0].position, 25);
}

TEST_F(DeviceTest, UnplugAndReplugWhileIdle) {
  const ByteImage original = WriteConfiguredFile();
  ASSERT_EQ(boxsim_plug("VORK-KADO", kKado), 0);
  const ByteImage chipName = {'C', 'h', 'i', 'p', 0};
  ASSERT_EQ(boxsim_set_eeprom(kKado, chipName.data(), static_cast<int>(chipName.size())), 0);
  {
    LibraryLock lock;
    ASSERT_EQ(RefreshDevices(), 1);
  }
  USBDriver& device = Device(0);
  FT_HANDLE oldHandle = nullptr;
  {
    LibraryLock lock;
    EXPECT_EQ(device.name, "Chip");
    ASSERT_EQ(device.motorCount, 1u);
    EXPECT_EQ(device.motors[0].position, 25);
    EXPECT_EQ(device.motors[0].target, 25);
    EXPECT_DOUBLE_EQ(device.motors[0].destinationUnits, 12.5);
    oldHandle = device.handle;
    // The motor has moved since: 41 steps = 20.5 units.
    DeviceGuard guard(device);
    device.motors[0].position = device.motors[0].target = 41;
  }
  const ByteImage eeprom = EepromBytes(kKado);

  ASSERT_EQ(boxsim_unplug(kKado), 0);
  RunWatchdog(device);
  EXPECT_FALSE(IsConnected(device));
  ByteImage expected = original;
  WriteAt<float>(expected, RecordOffset(0) + kRecordPosition, 20.5f);
  // Saving with the chip would have failed at the chip and left the file as it was.
  EXPECT_EQ(ReadFileBytes(SettingsFile(kKado)), expected) << "saved, chip untouched";
  EXPECT_EQ(EepromBytes(kKado), eeprom);
  {
    LibraryLock lock;
    EXPECT_EQ(device.motorCount, 0u);
    EXPECT_EQ(device.motors[0].position, 0);
  }

  // More watchdog runs while the box is away change nothing: no save of the cleared channels.
  RunWatchdog(device);
  RunWatchdog(device);
  EXPECT_FALSE(IsConnected(device));
  EXPECT_EQ(ReadFileBytes(SettingsFile(kKado)), expected);

  ASSERT_EQ(boxsim_plug("VORK-KADO", kKado), 0);
  boxsim_clear(kKado);
  RunWatchdog(device);
  EXPECT_TRUE(IsConnected(device));
  EXPECT_EQ(boxsim_is_open(kKado), 1);
  EXPECT_EQ(WireBytes(kKado), ReleaseAllBytes());
  LibraryLock lock;
  EXPECT_NE(device.handle, oldHandle);
  EXPECT_EQ(FT_Close(oldHandle), static_cast<FT_STATUS>(FT_INVALID_HANDLE)) << "the stale handle was closed";
  EXPECT_EQ(device.name, "Chip");
  ASSERT_EQ(device.motorCount, 1u);
  EXPECT_EQ(device.motors[0].position, 41);
  EXPECT_EQ(device.motors[0].target, 41);
  EXPECT_DOUBLE_EQ(device.motors[0].destinationUnits, 20.5);
}

TEST_F(DeviceTest, ClosingAllDevicesSavesWritesTheNameToTheChipAndClosesTheHandle) {
  WriteConfiguredFile();
  ASSERT_EQ(PlugAndRefresh({{"VORK-KADO", kKado}}), 1);
  {
    LibraryLock lock;
    DeviceGuard guard(Device(0));
    Device(0).motors[0].position = 7;
  }
  {
    LibraryLock lock;
    CloseAllDevices();
    EXPECT_EQ(GetRuntime().devices.Count(), 0u);
  }
  EXPECT_EQ(boxsim_is_open(kKado), 0);
  ByteImage eeprom = EepromBytes(kKado);
  EXPECT_EQ(ByteImage(eeprom.begin(), eeprom.begin() + 10), (ByteImage{'B', 'e', 'n', 'c', 'h', 0, 0, 0, 0, 0}));
  EXPECT_EQ(ReadAt<float>(ReadFileBytes(SettingsFile(kKado)), RecordOffset(0) + kRecordPosition), 3.5f);
}

// A box named on another computer keeps its name when this one has no settings file for it yet.
TEST_F(DeviceTest, TheChipsNameSurvivesACloseWithoutASettingsFile) {
  ASSERT_EQ(boxsim_plug("VORK-KADO", kKado), 0);
  const ByteImage chipName = {'L', 'a', 'b', 0};
  ASSERT_EQ(boxsim_set_eeprom(kKado, chipName.data(), static_cast<int>(chipName.size())), 0);
  LibraryLock lock;
  ASSERT_EQ(RefreshDevices(), 1);
  EXPECT_EQ(Device(0).name, "Lab");
  CloseAllDevices();
  const ByteImage eeprom = EepromBytes(kKado);
  EXPECT_EQ(ByteImage(eeprom.begin(), eeprom.begin() + 4), chipName);
  ByteImage file = ReadFileBytes(SettingsFile(kKado));
  ASSERT_EQ(file.size(), 289u);
  EXPECT_EQ(ByteImage(file.begin(), file.begin() + 4), chipName);
  ASSERT_EQ(RefreshDevices(), 1);
  EXPECT_EQ(Device(0).name, "Lab");
}

TEST_F(DeviceTest, DestroyingAnUnpluggedBoxNeitherSavesNorLeaksItsHandle) {
  WriteConfiguredFile();
  ASSERT_EQ(PlugAndRefresh({{"VORK-KADO", kKado}}), 1);
  USBDriver& device = Device(0);
  ASSERT_EQ(boxsim_unplug(kKado), 0);
  FT_HANDLE stale = nullptr;
  {
    LibraryLock lock;
    EXPECT_FALSE(device.CheckConnection());  // lost: saved with the chip untouched, channels cleared
    stale = device.handle;
  }
  const ByteImage saved = ReadFileBytes(SettingsFile(kKado));
  ASSERT_EQ(saved.size(), 289u);
  EXPECT_EQ(ReadAt<float>(saved, RecordOffset(0) + kRecordPosition), 12.5f);
  {
    LibraryLock lock;
    CloseAllDevices();
  }
  EXPECT_EQ(ReadFileBytes(SettingsFile(kKado)), saved) << "the cleared channels did not overwrite the file";
  if (stale != nullptr) {  // a handle kept after the loss must be closed with the device
    EXPECT_EQ(FT_Close(stale), static_cast<FT_STATUS>(FT_INVALID_HANDLE));
  }
}

// A box pulled out after it last moved, before any watchdog noticed: closing it still records
// where its motors are (chip untouched), instead of failing on the chip write and losing them.
TEST_F(DeviceTest, ClosingABoxUnpluggedUnnoticedStillSavesItsPositions) {
  WriteConfiguredFile();
  ASSERT_EQ(PlugAndRefresh({{"VORK-KADO", kKado}}), 1);
  const ByteImage chipBefore = EepromBytes(kKado);
  {
    LibraryLock lock;
    DeviceGuard guard(Device(0));
    Device(0).motors[0].position = 41;  // moved since the open: 41 steps / 2 steps per unit
  }
  ASSERT_EQ(boxsim_unplug(kKado), 0);
  {
    LibraryLock lock;
    CloseAllDevices();
  }
  const ByteImage saved = ReadFileBytes(SettingsFile(kKado));
  ASSERT_EQ(saved.size(), 289u);
  EXPECT_EQ(ReadAt<float>(saved, RecordOffset(0) + kRecordPosition), 20.5f);
  EXPECT_EQ(EepromBytes(kKado), chipBefore);
}

// --- Real time: the control thread's watchdog and the tick timer ----------------------------------

// The one test on the real clock: a replugged box comes back within the watchdog period (250 ms)
// plus generous slack for a busy machine.
TEST_F(DeviceTest, RealWatchdogReopensARepluggedBoxWithinAQuarterSecond) {
  GetRuntime().manualTiming = false;
  WriteConfiguredFile();
  ASSERT_EQ(PlugAndRefresh({{"VORK-KADO", kKado}}), 1);
  USBDriver& device = Device(0);
  {
    LibraryLock lock;
    EXPECT_NE(device.reconnectTimer, 0u);
    EXPECT_TRUE(TickTimerRunning());
  }
  auto waitFor = [&](bool wanted, double limit) {
    double start = platform::NowSeconds();
    while (IsConnected(device) != wanted) {
      if (platform::NowSeconds() - start > limit) return -1.0;
      platform::SleepMs(2);
    }
    return platform::NowSeconds() - start;
  };

  ASSERT_EQ(boxsim_unplug(kKado), 0);
  double lost = waitFor(false, 2.0);
  ASSERT_GE(lost, 0.0) << "the unplug was not noticed within 2 s";
  EXPECT_TRUE(std::filesystem::is_regular_file(SettingsFile(kKado)));

  ASSERT_EQ(boxsim_plug("VORK-KADO", kKado), 0);
  double back = waitFor(true, 2.0);
  ASSERT_GE(back, 0.0) << "the replugged box was not reopened within 2 s";
  std::cout << "unplug noticed after " << lost * 1000 << " ms, replug reopened after " << back * 1000
            << " ms\n";
  RecordProperty("reopen_ms", static_cast<int>(back * 1000));
  LibraryLock lock;
  EXPECT_EQ(device.motorCount, 1u);
  EXPECT_EQ(boxsim_is_open(kKado), 1);
}

}  // namespace
}  // namespace mervane::testing
