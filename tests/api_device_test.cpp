// The exported device functions: start with the companion program, discovery, texts copied out,
// rename, open and close, Run from one tick, InitializeAll, StopAll, CloseAllDevices and Exit.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "api_fixture.h"

namespace mervane::testing {
namespace {

using ApiDeviceTest = ApiTest;

// ---- InitPlugin and the companion program ---------------------------------------------------

// A program that appends one line, its name, to `log` each time it runs: a shell script, or on
// Windows a copy of the probe program named `name`.exe.
std::filesystem::path WriteCompanion(const std::filesystem::path& folder, const std::string& name,
                                     const std::filesystem::path& log) {
#if defined(_WIN32)
  std::filesystem::path program = folder / (name + ".exe");
  std::filesystem::copy_file(MERVANE_COMPANION_PROBE_PATH, program);
  platform::SetEnv("MERVANE_LAUNCH_LOG", log.string().c_str());
  return program;
#else
  std::filesystem::path script = folder / name;
  std::ofstream(script) << "#!/bin/sh\necho " << name << " >> '" << log.string() << "'\n";
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  return script;
#endif
}

// PATH with `folder` alone, or on Windows first (the shell finds its own programs through it).
void SetSearchPath(const std::filesystem::path& folder) {
  std::string path = folder.string();
#if defined(_WIN32)
  path += ";" + platform::GetEnv("PATH").value_or("");
#endif
  platform::SetEnv("PATH", path.c_str());
}

// The lines of `log` once it has at least one (10 s at most: the launch is not waited for).
std::vector<std::string> LaunchLog(const std::filesystem::path& log) {
  for (int i = 0; i < 1000 && !std::filesystem::exists(log); ++i) platform::SleepMs(10);
  platform::SleepMs(100);  // a second launch, if any, has had its time too
  std::vector<std::string> lines;
  std::ifstream in(log);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST_F(ApiDeviceTest, InitPluginLaunchesVelquidFromThePathUnlessTheVariableIsEmpty) {
  std::filesystem::path log = folder_.Path() / "launches.log";
  WriteCompanion(folder_.Path(), "velquid", log);
  SetSearchPath(folder_.Path());

  // Empty: no companion at all.
  platform::SetEnv("MERVANE_COMPANION", "");
  EXPECT_EQ(Start(), 1);
  // Unset: velquid, found on the PATH.
  platform::UnsetEnv("MERVANE_COMPANION");
  EXPECT_EQ(InitPlugin(), 1);
  EXPECT_EQ(LaunchLog(log), std::vector<std::string>{"velquid"});
}

TEST_F(ApiDeviceTest, InitPluginLaunchesTheProgramTheVariableNames) {
  std::filesystem::path log = folder_.Path() / "launches.log";
  std::filesystem::path other = WriteCompanion(folder_.Path(), "other-companion", log);
  platform::SetEnv("MERVANE_COMPANION", other.string().c_str());
  EXPECT_EQ(Start(), 1);
  EXPECT_EQ(LaunchLog(log), std::vector<std::string>{"other-companion"});
}

TEST_F(ApiDeviceTest, InitPluginIgnoresACompanionThatCannotStart) {
  platform::SetEnv("MERVANE_COMPANION", (folder_.Path() / "missing" / "velquid").string().c_str());
  EXPECT_EQ(InitPlugin(), -1);  // nothing attached yet
  EXPECT_EQ(Start(), 1);
  EXPECT_TRUE(CheckDeviceConnection(0));
}

// ---- Discovery and lookup -----------------------------------------------------------------

TEST_F(ApiDeviceTest, DiscoveryCountsAndFindsBoxes) {
  EXPECT_EQ(RefreshDevices(), -1);   // nothing attached
  EXPECT_EQ(GetDevicesCount(), 0u);  // never -1
  EXPECT_EQ(Start({kSerial, kSerial2}), 2);
  EXPECT_EQ(RefreshDevices(), 2);  // the same boxes again: no second entry
  EXPECT_EQ(GetDevicesCount(), 2u);
  EXPECT_EQ(GetDeviceIndex(kSerial), 0);
  EXPECT_EQ(GetDeviceIndex(kSerial2), 1);
  EXPECT_EQ(GetDeviceIndex("api00001"), -1);  // exact, case-sensitive
  EXPECT_EQ(GetDeviceIndex("API0000"), -1);
  EXPECT_EQ(GetDeviceIndex(""), -1);

  // A box that goes away stays listed, disconnected; GetDeviceIndex runs no discovery.
  boxsim_unplug(kSerial2);
  RunWatchdog(Device(1));
  EXPECT_FALSE(CheckDeviceConnection(1));
  EXPECT_EQ(GetDeviceIndex(kSerial2), 1);
  EXPECT_EQ(GetDevicesCount(), 2u);
}

// ---- Texts copied out ---------------------------------------------------------------------

struct CopyCase {
  const char* what;
  std::function<bool(unsigned, char*, std::uint32_t)> copy;
  const char* text;  // of device 0
};

TEST_F(ApiDeviceTest, TextsAreCopiedBoundedPaddedAndTerminated) {
  ASSERT_EQ(Start(), 1);
  const CopyCase cases[] = {
      {"GetDeviceSernum", GetDeviceSernum, kSerial},
      {"GetDeviceType", GetDeviceType, "VORK-KADO"},
      {"GetDeviceName", GetDeviceName, "VORK-KADO0"},
  };
  for (const CopyCase& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string text = c.text;
    // The buffer sits between guard bytes that must never change.
    for (std::uint32_t len : {64u, static_cast<std::uint32_t>(text.size() + 1), static_cast<std::uint32_t>(text.size()), 4u, 1u}) {
      SCOPED_TRACE(len);
      std::vector<char> area(len + 2, '#');
      ASSERT_TRUE(c.copy(0, area.data() + 1, len));
      std::string expected = text.substr(0, len - 1);
      expected.resize(len, '\0');  // zero-padded to the end of the buffer
      EXPECT_EQ(std::string(area.data() + 1, len), expected);
      EXPECT_EQ(area.front(), '#');
      EXPECT_EQ(area.back(), '#');
    }
    // Refused, nothing written: length 0, a null buffer, an index equal to or far beyond the count.
    char guard[4] = {'#', '#', '#', '#'};
    EXPECT_FALSE(c.copy(0, guard + 1, 0));
    EXPECT_FALSE(c.copy(0, nullptr, 16));
    EXPECT_FALSE(c.copy(0, nullptr, 0));
    EXPECT_FALSE(c.copy(1, guard + 1, 2));
    EXPECT_FALSE(c.copy(0xFFFFFFFFu, guard + 1, 2));
    EXPECT_EQ(std::string(guard, 4), "####");
  }
}

// ---- Rename ---------------------------------------------------------------------------------

TEST_F(ApiDeviceTest, RenameWritesTenBytesToChipAndFileAndKeepsTheWholeName) {
  ASSERT_EQ(Start(), 1);
  struct Case {
    std::string name;
    std::string nameArea;  // bytes 0..9 of the block and the chip
  };
  const Case cases[] = {
      {"ABCDEFGHI", std::string("ABCDEFGHI\0", 10)},
      {"ABCDEFGHIJ", "ABCDEFGHIJ"},
      {"ABCDEFGHIJKL", "ABCDEFGHIJ"},
      {"ABCDEFGHIJKLMNOPQRST", "ABCDEFGHIJ"},
      {"", std::string(10, '\0')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(RenameDevice(0, c.name.c_str()));
    ByteImage chip = EepromBytes(kSerial);
    ASSERT_EQ(chip.size(), 64u);
    EXPECT_EQ(std::string(chip.begin(), chip.begin() + 10), c.nameArea);
    ByteImage file = ReadFileBytes(SettingsFile(kSerial));
    ASSERT_EQ(file.size(), 289u);
    EXPECT_EQ(std::string(file.begin(), file.begin() + 10), c.nameArea);
    char shown[32] = {};
    ASSERT_TRUE(GetDeviceName(0, shown, sizeof shown));
    EXPECT_EQ(std::string(shown), c.name);
  }
  // The chip holds exactly what the last rename wrote: nothing else in the user area.
  ASSERT_TRUE(RenameDevice(0, "ABCDEFGHIJKL"));
  ByteImage expected(64, 0);
  std::memcpy(expected.data(), "ABCDEFGHIJ", 10);
  EXPECT_EQ(EepromBytes(kSerial), expected);
}

TEST_F(ApiDeviceTest, RenameRefusesANullNameAndBadIndicesWithoutTouchingChipOrFile) {
  ASSERT_EQ(Start(), 1);
  ASSERT_TRUE(RenameDevice(0, "FIRST"));
  ByteImage chip = EepromBytes(kSerial);
  ByteImage file = ReadFileBytes(SettingsFile(kSerial));
  EXPECT_FALSE(RenameDevice(0, nullptr));
  EXPECT_FALSE(RenameDevice(1, "OTHER"));
  EXPECT_FALSE(RenameDevice(0xFFFFFFFFu, "OTHER"));
  EXPECT_EQ(EepromBytes(kSerial), chip);
  EXPECT_EQ(ReadFileBytes(SettingsFile(kSerial)), file);
}

TEST_F(ApiDeviceTest, RenameReportsAFailedChipWrite) {
  ASSERT_EQ(Start(), 1);
  ASSERT_TRUE(RenameDevice(0, "FIRST"));
  ByteImage file = ReadFileBytes(SettingsFile(kSerial));
  boxsim_fail(kSerial, "uawrite", 1);
  EXPECT_FALSE(RenameDevice(0, "SECOND"));
  EXPECT_EQ(ReadFileBytes(SettingsFile(kSerial)), file);
}

// ---- Open and close -------------------------------------------------------------------------

TEST_F(ApiDeviceTest, OpenDeviceOnAConnectedBoxMakesNoDriverCall) {
  ASSERT_EQ(Start(), 1);
  boxsim_fail(kSerial, "open", 1);  // an open attempt would fail and use this up
  EXPECT_TRUE(OpenDevice(0));
  ASSERT_TRUE(CloseDevice(0));
  EXPECT_FALSE(OpenDevice(0));  // the injected failure was still pending
  EXPECT_TRUE(OpenDevice(0));
  EXPECT_TRUE(CheckDeviceConnection(0));
}

TEST_F(ApiDeviceTest, CloseDeviceSavesWritesTheNameClosesAndKeepsTheEntry) {
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 1, "X"), 0);
  MoveAndRest(0, 0, 0.2);
  ASSERT_TRUE(RenameDevice(0, "BENCH"));
  boxsim_set_eeprom(kSerial, "XXXXXXXXXX", 10);

  EXPECT_TRUE(CloseDevice(0));
  EXPECT_FALSE(CheckDeviceConnection(0));
  EXPECT_EQ(boxsim_is_open(kSerial), 0);
  EXPECT_EQ(GetDeviceIndex(kSerial), 0);
  EXPECT_EQ(SM_GetCount(0), 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(EepromBytes(kSerial).data())), "BENCH");
  ByteImage file = ReadFileBytes(SettingsFile(kSerial));
  EXPECT_FLOAT_EQ(ReadAt<float>(file, RecordOffset(0) + kRecordPosition), 0.2f);

  // Reopened, the motor is back where it was.
  EXPECT_TRUE(OpenDevice(0));
  EXPECT_EQ(SM_GetCount(0), 1);
  EXPECT_DOUBLE_EQ(SM_GetPosition(0, 0), 0.2);
}

// ---- Run ------------------------------------------------------------------------------------

TEST_F(ApiDeviceTest, RunStartsEveryChannelInTheSameTick) {
  ASSERT_EQ(Start(), 1);
  AddMotors(0, {"X", "Y", "Z"});
  ASSERT_TRUE(SM_SetDestination(0, 0, 0.1));
  ASSERT_TRUE(SM_SetDestination(0, 1, -0.1));
  ASSERT_TRUE(SM_SetDestination(0, 2, 0.2));
  boxsim_clear(kSerial);
  ASSERT_TRUE(::Run(0));
  Tick(now_);
  // Position +1 (pattern 04), -1 (pattern 01), +1: one step command per channel in one write.
  EXPECT_EQ(WireBytes(kSerial), (ByteImage{0x84, 0x84, 0xF4, 0x91, 0x91, 0xF1, 0xA4, 0xA4, 0xF4}));
  EXPECT_EQ(WireWriteSizes(kSerial), std::vector<int>{9});
  for (std::uint32_t c = 0; c < 3; ++c) ASSERT_TRUE(TickUntilIdle(0, c));
  EXPECT_EQ(boxsim_position(kSerial, 1), 10);
  EXPECT_EQ(boxsim_position(kSerial, 2), -10);
  EXPECT_EQ(boxsim_position(kSerial, 3), 20);
  EXPECT_DOUBLE_EQ(SM_GetPosition(0, 2), 0.2);
}

TEST_F(ApiDeviceTest, RunWithoutChannelsSucceeds) {
  ASSERT_EQ(Start(), 1);
  EXPECT_TRUE(::Run(0));
  EXPECT_FALSE(::Run(1));
}

TEST_F(ApiDeviceTest, RunReleasesTheDeviceWhenTheLastChannelIsAlreadyThere) {
  ASSERT_EQ(Start(), 1);
  AddMotors(0, {"X", "Y"});
  ASSERT_TRUE(SM_SetDestination(0, 0, 0.1));
  ASSERT_TRUE(SM_SetDestination(0, 1, 0.0));  // where it is: nothing to start
  ASSERT_TRUE(::Run(0));
  ASSERT_TRUE(TickUntilIdle(0, 0, 5.0));
  EXPECT_DOUBLE_EQ(SM_GetPosition(0, 0), 0.1);
  EXPECT_EQ(boxsim_position(kSerial, 1), 10);
}

TEST_F(ApiDeviceTest, RunStopsAtTheFirstFailedStartAndLetsTheStartedOnesRun) {
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 1, "X"), 0);
  ASSERT_EQ(AddMotor(0, 0, "NOADDR"), 1);  // no connector: cannot start
  ASSERT_EQ(AddMotor(0, 3, "Z"), 2);
  for (std::uint32_t c = 0; c < 3; ++c) ASSERT_TRUE(SM_SetDestination(0, c, 0.1));
  EXPECT_FALSE(::Run(0));
  EXPECT_FALSE(SM_IsRunning(0, 2));  // never started
  ASSERT_TRUE(TickUntilIdle(0, 0, 5.0));
  EXPECT_EQ(boxsim_position(kSerial, 1), 10);
  EXPECT_EQ(boxsim_position(kSerial, 3), 0);
}

// ---- InitializeAll, StopAll -----------------------------------------------------------------

TEST_F(ApiDeviceTest, InitializeAllDrivesBlockAxesBeyondTheirLowEnd) {
  ASSERT_EQ(Start(), 1);
  MotorInfo block = FourWireInfo(1, "B");
  block.type = 0xC5;  // X block (4wires)
  block.length = 10;
  ASSERT_EQ(SM_Setup(0, -1, &block), 0);
  ASSERT_EQ(AddMotor(0, 2, "F"), 1);  // not a block type: stays
  InitializeAll(0);
  EXPECT_TRUE(SM_IsRunning(0, 0));
  EXPECT_FALSE(SM_IsRunning(0, 1));
  EXPECT_EQ(Channel(0, 0).target, -11);
  ASSERT_TRUE(TickUntilIdle(0, 0));
  EXPECT_EQ(boxsim_position(kSerial, 1), -11);
  InitializeAll(1);  // beyond the count: nothing
}

TEST_F(ApiDeviceTest, StopAllRunsEveryChannelDownItsRamp) {
  ASSERT_EQ(Start(), 1);
  AddMotors(0, {"X", "Y"});
  ASSERT_TRUE(SM_Move(0, 0, 100.0));
  ASSERT_TRUE(SM_Move(0, 1, -100.0));
  TickFor(0.1);
  StopAll(0);
  for (std::uint32_t c = 0; c < 2; ++c) {
    SMotor m = Channel(0, c);
    // At most `acceleration` (5) steps beyond where the stop found it.
    EXPECT_LE(std::abs(m.target - m.position), 5) << c;
    ASSERT_TRUE(TickUntilIdle(0, c, 1.0));
  }
  EXPECT_LT(SM_GetPosition(0, 0), 2.0);
  EXPECT_GT(SM_GetPosition(0, 1), -2.0);
  StopAll(2);  // beyond the count: nothing
}

// ---- CloseAllDevices and Exit -----------------------------------------------------------------

TEST_F(ApiDeviceTest, CloseAllDevicesTwiceIsHarmless) {
  ASSERT_EQ(Start({kSerial, kSerial2}), 2);
  CloseAllDevices();
  EXPECT_EQ(GetDeviceIndex(kSerial), -1);
  EXPECT_EQ(boxsim_is_open(kSerial), 0);
  EXPECT_EQ(boxsim_is_open(kSerial2), 0);
  CloseAllDevices();
  EXPECT_FALSE(CheckDeviceConnection(0));
}

int g_windowClosed = 0;
std::int32_t g_listedWhenClosed = -1;

TEST_F(ApiDeviceTest, ExitClosesTheWindowThenEveryDeviceAndTwiceIsHarmless) {
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 1, "X"), 0);
  ASSERT_TRUE(RenameDevice(0, "EXITNAME"));
  boxsim_set_eeprom(kSerial, "XXXXXXXXXX", 10);
  g_windowClosed = 0;
  api::SetCloseWindow([] {
    ++g_windowClosed;
    g_listedWhenClosed = GetDeviceIndex(kSerial);
  });
  Exit();
  EXPECT_EQ(g_windowClosed, 1);
  EXPECT_EQ(g_listedWhenClosed, 0);  // the window went first
  EXPECT_EQ(GetDeviceIndex(kSerial), -1);
  EXPECT_EQ(boxsim_is_open(kSerial), 0);
  // The destruction saved the name to the chip and the settings file.
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(EepromBytes(kSerial).data())), "EXITNAME");
  EXPECT_EQ(ReadFileBytes(SettingsFile(kSerial)).size(), 289u);
  Exit();
  EXPECT_EQ(g_windowClosed, 2);
  EXPECT_EQ(SM_GetCountInAll(), 0u);
}

}  // namespace
}  // namespace mervane::testing
