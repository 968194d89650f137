// What real chips do that an always-willing emulator hides: short and stalled writes, small EEPROM
// user areas, unterminated listing texts, custom USB ids, and driver libraries that lack the
// optional calls.
#include <string>
#include <vector>

#include "hardware/settings.h"
#include "motor/motor.h"
#include "support.h"

namespace mervane::testing {
namespace {

// The emulated chip's 64 EEPROM bytes holding `text` and zeros.
ByteImage UserAreaImage(const std::string& text) {
  ByteImage image(64, 0);
  std::copy(text.begin(), text.end(), image.begin());
  return image;
}

// A vendor library without the optional calls (older versions, other platforms).
D2xxFunctions TableWithoutOptionalCalls() {
  D2xxFunctions f = EmulatorTable();
  f.setTimeouts = nullptr;
  f.eeUaSize = nullptr;
  f.setVidPid = nullptr;
  return f;
}

// Boxes driven through a library without the optional calls; the full table is back afterwards.
class PlainLibraryTest : public EmulatorTest {
protected:
  void SetUp() override {
    EmulatorTest::SetUp();
    GetRuntime().driver.Install(TableWithoutOptionalCalls());
  }
  void TearDown() override {
    EmulatorTest::TearDown();
    GetRuntime().driver.Install(EmulatorTable());
  }
};

// --- Short and stalled writes ---------------------------------------------------------------------

class WriteTest : public MotionTest {
protected:
  // A four-wire motor on connector 1, started on a long move and ticked until it has made a few
  // steps; `k` is the next tick.
  int MovingMotor(long& k) {
    int ch = AddMotor({.address = 1, .acceleration = 0, .minStepTime = 2, .maxStepTime = 2});
    EXPECT_TRUE(Start(ch, 1000));
    while (Motor(ch).position < 3 && k < 100) Tick(Ms(k++));
    EXPECT_EQ(Motor(ch).position, boxsim_position(kSerial, 1));
    return ch;
  }
  // Ticks until the box has received one more write call; that call's size.
  int TickUntilNextWrite(long& k) {
    std::size_t before = WireWriteSizes(kSerial).size();
    for (long end = k + 100; k < end && WireWriteSizes(kSerial).size() == before;) Tick(Ms(k++));
    std::vector<int> sizes = WireWriteSizes(kSerial);
    return sizes.size() > before ? sizes.back() : -1;
  }
  FT_STATUS LastStatus() {
    DeviceGuard guard(Box());
    return Box().lastStatus;
  }
};

TEST_F(WriteTest, AShortWriteReportedAsDoneIsAFailedWriteThatTellsWhatWentOut) {
  boxsim_short_write(kSerial, 1, 1);
  const std::uint8_t bytes[3] = {0x81, 0x81, 0xF1};
  DeviceGuard guard(Box());
  std::uint32_t sent = 99;
  EXPECT_EQ(GetRuntime().driver.Write(Box().handle, bytes, 3, sent), static_cast<FT_STATUS>(FT_FAILED_TO_WRITE_DEVICE));
  EXPECT_EQ(sent, 1u);
  EXPECT_EQ(GetRuntime().driver.Write(Box().handle, bytes, 3, sent), static_cast<FT_STATUS>(FT_OK)) << "only the next one";
  EXPECT_EQ(sent, 3u);
  boxsim_fail(kSerial, "write", 1);
  EXPECT_NE(GetRuntime().driver.Write(Box().handle, bytes, 3, sent), static_cast<FT_STATUS>(FT_OK));
  EXPECT_EQ(sent, 0u) << "a failed call tells nothing that went out";
  EXPECT_EQ(WireWriteSizes(kSerial), (std::vector<int>{1, 3}));
}

// A tick's write cut after `cut` bytes (-1: the call failed) while a four-wire motor (3 bytes a
// step, moving with its first byte) and a two-wire motor (13 bytes a step, moving with the rise
// of its tenth byte) step in the same tick: 16 bytes, the four-wire step first.
struct CutWrite {
  const char* name;
  int cut;
  int fourWireSteps;  // steps of that tick that happened: 0 or 1 each
  int twoWireSteps;
};

class ShortWriteTest : public WriteTest, public ::testing::WithParamInterface<CutWrite> {
protected:
  static constexpr int kFour = 1;  // connectors
  static constexpr int kTwo = 2;
  // Both motors stepping every 2 ms on the same ticks; ticks until a tick that steps both has
  // run, then returns the next tick (which steps both again).
  long BothStepping(int& four, int& two) {
    four = AddMotor({.address = kFour, .acceleration = 0, .minStepTime = 2, .maxStepTime = 2});
    two = AddMotor({.address = kTwo, .type = 0x01, .acceleration = 0, .minStepTime = 2, .maxStepTime = 2});
    EXPECT_TRUE(Start(four, 100000, true));
    EXPECT_TRUE(Start(two, 100000, false));
    long k = 0;
    for (; k < 100 && !(Motor(four).position >= 2 && Motor(two).position >= 2); ++k) Tick(Ms(k));
    return k;
  }
  void ExpectWhereDecoded(int four, int two, const std::string& when) {
    EXPECT_EQ(Motor(four).position, boxsim_position(kSerial, kFour)) << "four-wire motor " << when;
    EXPECT_EQ(Motor(two).position, boxsim_position(kSerial, kTwo)) << "two-wire motor " << when;
    EXPECT_EQ(boxsim_errors(kSerial, kFour), 0) << when;
  }
};

// The bytes that went out moved the motors: the library counts those steps and takes back only
// the rest, so it stays where the box put the motors.
TEST_P(ShortWriteTest, CountsTheStepsWhoseMovingBytesWentOut) {
  const CutWrite& c = GetParam();
  int four = 0, two = 0;
  long k = BothStepping(four, two);
  ASSERT_TRUE(Running(four) && Running(two));
  // The next step tick of both motors (2 ms apart) is cut.
  long stepTick = k;
  for (const double due = std::max(Motor(four).nextStepTime, Motor(two).nextStepTime); Ms(stepTick) < due - 1e-6;)
    Tick(Ms(stepTick++));
  const SMotor fourBefore = Motor(four), twoBefore = Motor(two);
  const std::uint64_t stepsBefore = Box().counters.Read().steps;
  if (c.cut < 0)
    boxsim_fail(kSerial, "write", 1);
  else
    boxsim_short_write(kSerial, 1, c.cut);
  Tick(Ms(stepTick++));
  {
    DeviceGuard guard(Box());
    ASSERT_EQ(Box().outputCount, 16u) << "the cut tick steps both motors";
  }
  EXPECT_NE(LastStatus(), static_cast<FT_STATUS>(FT_OK));
  EXPECT_EQ(Motor(four).position, fourBefore.position + c.fourWireSteps);
  EXPECT_EQ(Motor(two).position, twoBefore.position + c.twoWireSteps);
  EXPECT_EQ(Box().counters.Read().steps - stepsBefore, static_cast<std::uint64_t>(c.fourWireSteps + c.twoWireSteps));
  ExpectWhereDecoded(four, two, "after the cut write");
  EXPECT_FALSE(Running(four) || Running(two)) << "a box that dropped bytes is stopped";
  // Moving on from there keeps library and box together: three more cut writes, each on a fresh
  // start of both motors.
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(Start(four, Motor(four).position + 50, true));
    ASSERT_TRUE(Start(two, Motor(two).position - 50, false));
    for (long end = stepTick + 6; stepTick < end;) Tick(Ms(stepTick++));
    if (c.cut >= 0) boxsim_short_write(kSerial, 1, c.cut);
    for (long end = stepTick + 6; stepTick < end;) Tick(Ms(stepTick++));
    ExpectWhereDecoded(four, two, "after round " + std::to_string(round));
  }
}

INSTANTIATE_TEST_SUITE_P(
    ChipQuirks, ShortWriteTest,
    ::testing::Values(CutWrite{"NothingSent", 0, 0, 0}, CutWrite{"FirstPatternByte", 1, 1, 0},
                      CutWrite{"FourWireWhole", 3, 1, 0}, CutWrite{"TwoWireBeforeItsPulse", 5, 1, 0},
                      CutWrite{"TwoWireRiseSent", 13, 1, 1}, CutWrite{"AllButTheLastByte", 15, 1, 1},
                      CutWrite{"CallFailed", -1, 0, 0}),
    ParamName());

TEST_F(WriteTest, StepsOfATickWhoseWriteCameShortDoNotCount) {
  long k = 0;
  int ch = MovingMotor(k);
  boxsim_short_write(kSerial, 1, 0);
  EXPECT_EQ(TickUntilNextWrite(k), 0);
  EXPECT_NE(LastStatus(), static_cast<FT_STATUS>(FT_OK));
  EXPECT_EQ(Box().counters.Read().failedWrites, 1u);
  EXPECT_EQ(Motor(ch).position, boxsim_position(kSerial, 1)) << "the library counts a step the box never got";
  EXPECT_FALSE(Running(ch)) << "a box that lost steps is stopped";
  for (long end = k + 50; k < end;) Tick(Ms(k++));
  EXPECT_EQ(Motor(ch).position, boxsim_position(kSerial, 1));
}

TEST_F(WriteTest, AShortReleaseFailsTheOpenAndTheNextDiscoveryOpensTheBox) {
  constexpr const char* kOther = "MOT00002";
  ASSERT_EQ(boxsim_plug("VORK-KADO", kOther), 0);
  boxsim_short_write(kOther, 1, 5);
  LibraryLock lock;
  EXPECT_EQ(RefreshDevices(), 1) << "the box whose release came short is not listed";
  EXPECT_EQ(RefreshDevices(), 2);
  EXPECT_EQ(Device(1).serial, kOther);
}

// The tick must not wait for a stalled box longer than the write timeout set at open.
TEST_F(WriteTest, AStalledBoxHoldsTheTickOnlyForTheWriteTimeout) {
  long k = 0;
  MovingMotor(k);
  const double delay = 0.3;
  ASSERT_EQ(boxsim_write_delay(kSerial, delay), 0);
  std::size_t before = WireWriteSizes(kSerial).size();
  double longest = 0;
  for (long end = k + 10; k < end;) {
    double start = platform::NowSeconds();
    Tick(Ms(k++));
    longest = std::max(longest, platform::NowSeconds() - start);
  }
  boxsim_write_delay(kSerial, 0);
  ASSERT_GT(WireWriteSizes(kSerial).size(), before) << "no write was tried";
  EXPECT_LT(longest, delay / 2) << "a write waited for the stalled box";
  EXPECT_NE(LastStatus(), static_cast<FT_STATUS>(FT_OK)) << "what the timeout cut short counts as failed";
}

// A library without FT_SetTimeouts, FT_EE_UASize and FT_SetVIDPID still drives boxes (writes are
// then as long as the box takes).
TEST_F(PlainLibraryTest, BoxesWorkWithALibraryLackingTheOptionalCalls) {
  ASSERT_EQ(PlugAndRefresh({{"VORK-KADO", "PLAIN001"}}), 1);
  LibraryLock lock;
  EXPECT_TRUE(Rename(Device(0), "Plain"));
  EXPECT_EQ(EepromBytes("PLAIN001"), UserAreaImage("Plain"));
  ASSERT_EQ(boxsim_write_delay("PLAIN001", 0.05), 0);
  const std::uint8_t bytes[2] = {0x80, 0xF0};
  double start = platform::NowSeconds();
  DeviceGuard guard(Device(0));
  EXPECT_EQ(GetRuntime().driver.Write(Device(0).handle, bytes, 2), static_cast<FT_STATUS>(FT_OK));
  EXPECT_GE(platform::NowSeconds() - start, 0.05) << "without a timeout the write waits for the box";
}

// --- Small EEPROM user areas ----------------------------------------------------------------------

class UserAreaTest : public EmulatorTest, public ::testing::WithParamInterface<int> {};

// Whatever the user area holds, the rename is saved, the chip gets what fits, and the box comes
// back under its name.
TEST_P(UserAreaTest, RenameSavesWhatFitsOnTheChipAndTheWholeNameInTheFile) {
  const int size = GetParam();
  const std::string serial = "UA" + std::to_string(size);
  ASSERT_EQ(boxsim_plug("VORK-KADO", serial.c_str()), 0);
  ASSERT_EQ(boxsim_set_ua_size(serial.c_str(), size), 0);
  LibraryLock lock;
  ASSERT_EQ(RefreshDevices(), 1);
  ASSERT_TRUE(Rename(Device(0), "ABCDEFGHIJKL"));
  ByteImage file = ReadFileBytes(SettingsFile(serial));
  ASSERT_EQ(file.size(), kSettingsSize);
  EXPECT_EQ(ByteImage(file.begin(), file.begin() + 11), (ByteImage{'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 0}));
  EXPECT_EQ(EepromBytes(serial), UserAreaImage(std::string("ABCDEFGHIJ").substr(0, static_cast<std::size_t>(size))));

  CloseAllDevices();  // a fresh object, named from chip and file alone
  ASSERT_EQ(RefreshDevices(), 1);
  EXPECT_EQ(Device(0).name, "ABCDEFGHIJ");
}

INSTANTIATE_TEST_SUITE_P(Sizes, UserAreaTest, ::testing::Values(0, 4, 9, 10, 64));

TEST_F(PlainLibraryTest, WithoutTheSizeCallASmallUserAreaStillFailsTheSave) {
  ASSERT_EQ(boxsim_plug("VORK-KADO", "UASMALL1"), 0);
  ASSERT_EQ(boxsim_set_ua_size("UASMALL1", 4), 0);
  LibraryLock lock;
  ASSERT_EQ(RefreshDevices(), 1);
  EXPECT_FALSE(Rename(Device(0), "Bench"));
  EXPECT_FALSE(std::filesystem::exists(SettingsFile("UASMALL1")));
}

// A chip whose user area was written elsewhere keeps that text as its name, even when the file
// remembers another one.
TEST_F(EmulatorTest, ASmallUserAreaThatHoldsAnotherNameWins) {
  ASSERT_EQ(boxsim_plug("VORK-KADO", "UAOTHER1"), 0);
  ASSERT_EQ(boxsim_set_ua_size("UAOTHER1", 4), 0);
  DeviceSettings block = FreshSettings();
  std::memcpy(block.name, "Bench", 6);
  WriteFileBytes(SettingsFile("UAOTHER1"), BlockBytes(block));
  ASSERT_EQ(boxsim_set_eeprom("UAOTHER1", "Lab", 3), 0);
  LibraryLock lock;
  ASSERT_EQ(RefreshDevices(), 1);
  EXPECT_EQ(Device(0).name, "Lab");
}

// --- Listing texts --------------------------------------------------------------------------------

// What a listing call leaves in the caller's buffer.
FT_STATUS FTD2XX_CALL FillAll64(void*, void* buffer, FT_DWORD) {
  std::memset(buffer, 'S', 64);
  return FT_OK;
}
FT_STATUS FTD2XX_CALL TwoBytesNoNul(void*, void* buffer, FT_DWORD) {
  std::memcpy(buffer, "AB", 2);
  return FT_OK;
}

struct ListingCase {
  const char* name;
  FT_ListDevices_t list;
  std::string expected;
};

void PrintTo(const ListingCase& c, std::ostream* os) { *os << c.name; }

class ListingTextTest : public ::testing::TestWithParam<ListingCase> {};

TEST_P(ListingTextTest, TextsAreAtMost63CharactersOfWhatTheLibraryWrote) {
  D2xxFunctions table = EmulatorTable();
  table.listDevices = GetParam().list;
  Driver driver;
  driver.Install(table);
  char serial[kDescriptionSize];
  char description[kDescriptionSize];
  std::memset(serial, 'X', sizeof serial);  // what the stack held before
  std::memset(description, 'X', sizeof description);
  ASSERT_EQ(driver.SerialNumber(0, serial), static_cast<FT_STATUS>(FT_OK));
  ASSERT_EQ(driver.Description(0, description), static_cast<FT_STATUS>(FT_OK));
  EXPECT_EQ(std::string(serial), GetParam().expected);
  EXPECT_EQ(std::string(description), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Texts, ListingTextTest,
                         ::testing::Values(ListingCase{"full_64_bytes", &FillAll64, std::string(63, 'S')},
                                           ListingCase{"short_without_nul", &TwoBytesNoNul, "AB"}),
                         ParamName());

TEST_F(EmulatorTest, ABoxWithA64ByteSerialIsNeitherOpenedUnderACutSerialNorSaved) {
  const std::string longSerial(64, 'L');
  LibraryLock lock;
  ASSERT_EQ(boxsim_plug("VORK-KADO", longSerial.c_str()), 0);
  ASSERT_EQ(boxsim_plug("VORK-KADO", "SHORT001"), 0);
  EXPECT_EQ(RefreshDevices(), 1);
  EXPECT_EQ(Device(0).serial, "SHORT001");
  EXPECT_EQ(boxsim_is_open(longSerial.c_str()), 0);
  CloseAllDevices();
  EXPECT_EQ(FolderEntries(folder_.Path()), std::vector<std::string>{"SHORT001.hws"});
}

// --- Custom USB ids ---------------------------------------------------------------------------------

struct UsbIdsCase {
  const char* name;
  const char* text;
  std::vector<UsbId> expected;
};

void PrintTo(const UsbIdsCase& c, std::ostream* os) { *os << c.name; }

class UsbIdsParseTest : public ::testing::TestWithParam<UsbIdsCase> {};

TEST_P(UsbIdsParseTest, PairsAreReadAndMalformedOnesSkipped) {
  EXPECT_EQ(ParseUsbIds(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, UsbIdsParseTest,
    ::testing::Values(UsbIdsCase{"one", "0403:abcd", {{0x0403, 0xABCD}}},
                      UsbIdsCase{"two_with_blanks_and_0x", " 0x1234:0XBEEF , 403:6015 ", {{0x1234, 0xBEEF}, {0x0403, 0x6015}}},
                      UsbIdsCase{"empty", "", {}},
                      UsbIdsCase{"malformed_skipped", "12345:1,0403,:1,1:,g:1,1:2:3,0x:1,ABCD:EF01", {{0xABCD, 0xEF01}}}),
    ParamName());

TEST_F(EmulatorTest, ABoxWithItsOwnUsbIdsIsFoundOnlyOnceItsIdsAreNamed) {
#if defined(_WIN32)
  GTEST_SKIP() << "not on Windows: the installed driver decides which USB ids it serves (no FT_SetVIDPID)";
#endif
  ASSERT_EQ(boxsim_plug_ids("VORK-KADO", "CUSTOM01", 0x0403, 0xA7E1), 0);
  platform::UnsetEnv("MERVANE_USB_IDS");
  LibraryLock lock;
  EXPECT_EQ(RefreshDevices(), -1) << "the library sees no device at all";
  platform::SetEnv("MERVANE_USB_IDS", "1234:5678,0403:a7e1");
  ASSERT_EQ(RefreshDevices(), 1);
  EXPECT_EQ(Device(0).serial, "CUSTOM01");
  EXPECT_TRUE(Device(0).connected);
  platform::UnsetEnv("MERVANE_USB_IDS");
}

}  // namespace
}  // namespace mervane::testing
