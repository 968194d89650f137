// Faults the fuzz targets found (fuzz/), each as the shortest sequence that shows it.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "api_fixture.h"

namespace mervane::testing {
namespace {

class FuzzFindingsTest : public ApiTest {
protected:
  // Three motors on connectors 1, 2, 3, moved to 19, -2 and 7 units (1900, -200, 700 steps).
  void ThreeMotorsApart() {
    ASSERT_EQ(Start(), 1);
    AddMotors(0, {"A", "B", "C"});
    MoveAndRest(0, 0, 19.0);
    MoveAndRest(0, 1, -2.0);
    MoveAndRest(0, 2, 7.0);
    ASSERT_TRUE(SM_SetZero(0, 2));
  }
  // Every channel where the emulator decoded its connector.
  void ExpectDecoded() {
    for (std::uint32_t c = 0; c < static_cast<std::uint32_t>(SM_GetCount(0)); ++c) {
      MotorInfo info;
      ASSERT_TRUE(SM_GetInfo(0, c, &info));
      EXPECT_EQ(Channel(0, c).position, boxsim_position(kSerial, info.address)) << "channel " << c;
    }
  }
};

// The motors behind a removed one used to keep the channels' old positions: after removing "A",
// channel 0 ("B", at -200 steps) claimed A's 1900 steps, and the next save wrote that down.
TEST_F(FuzzFindingsTest, RemovingAMotorKeepsWhereTheOthersStand) {
  ThreeMotorsApart();
  ASSERT_TRUE(SM_Remove(0, 0));
  ASSERT_EQ(SM_GetCount(0), 2);
  EXPECT_DOUBLE_EQ(SM_GetRealPosition(0, 0), -2.0);
  EXPECT_DOUBLE_EQ(SM_GetRealPosition(0, 1), 7.0);
  EXPECT_DOUBLE_EQ(SM_GetPosition(0, 1), 0.0);  // C's zero went along with it
  ExpectDecoded();
  // The freed channel starts from nothing when a motor is added there.
  ASSERT_EQ(AddMotor(0, 4, "D"), 2);
  EXPECT_DOUBLE_EQ(SM_GetRealPosition(0, 2), 0.0);
  EXPECT_DOUBLE_EQ(SM_GetZero(0, 2), 0.0);
  // And what is saved is where the motors stand.
  CloseDevice(0);
  ASSERT_TRUE(OpenDevice(0));
  EXPECT_DOUBLE_EQ(SM_GetRealPosition(0, 0), -2.0);
  EXPECT_DOUBLE_EQ(SM_GetRealPosition(0, 1), 7.0);
}

// A removal whose save fails changes nothing, the positions of the motors included.
TEST_F(FuzzFindingsTest, ARemovalWhoseSaveFailsKeepsThePositions) {
  ThreeMotorsApart();
  ASSERT_EQ(boxsim_fail(kSerial, "uawrite", 1), 0);
  EXPECT_FALSE(SM_Remove(0, 1));
  ASSERT_EQ(SM_GetCount(0), 3);
  EXPECT_DOUBLE_EQ(SM_GetRealPosition(0, 0), 19.0);
  EXPECT_DOUBLE_EQ(SM_GetRealPosition(0, 1), -2.0);
  EXPECT_DOUBLE_EQ(SM_GetRealPosition(0, 2), 7.0);
  EXPECT_DOUBLE_EQ(SM_GetPosition(0, 2), 0.0);
  ExpectDecoded();
}

// A close whose EEPROM write failed used to leave the file as it was: the motors' positions were
// lost, and the next open put a motor that stood at -2750 steps back at 0.
TEST_F(FuzzFindingsTest, ACloseWhoseChipWriteFailsStillSavesThePositions) {
  ThreeMotorsApart();
  ASSERT_EQ(boxsim_fail(kSerial, "uawrite", 1), 0);
  EXPECT_TRUE(CloseDevice(0));
  ASSERT_EQ(ReadFileBytes(SettingsFile(kSerial)).size(), kSettingsSize);
  ASSERT_TRUE(OpenDevice(0));
  EXPECT_DOUBLE_EQ(SM_GetRealPosition(0, 0), 19.0);
  EXPECT_DOUBLE_EQ(SM_GetRealPosition(0, 1), -2.0);
  EXPECT_DOUBLE_EQ(SM_GetRealPosition(0, 2), 7.0);
  ExpectDecoded();
}

// ---- Changes while a box is out -----------------------------------------------------------------

// The fuzzer's "library at -3, emulator at 0": the box was pulled out and closed by its watchdog,
// plugged back, and its reopen failed at the release it sends last (a write the box refused). The
// half-open box still showed its slots, loaded from the file: SM_Reset said done, and the next
// reopen loaded the saved position again. Every change to a box that is not open is refused, in
// both states: still out, and back but not reopened.
struct OutOfBoxChange {
  std::string name;
  bool backButNotReopened;
  bool (*change)();  // whether the change was reported done
};

std::vector<OutOfBoxChange> OutOfBoxChanges() {
  static const std::pair<const char*, bool (*)()> kChanges[] = {
      {"Reset", [] { return SM_Reset(0, 0); }},
      {"ResetByName", [] { return SMN_Reset("A"); }},
      {"SetZero", [] { return SM_SetZero(0, 1); }},
      {"Release", [] { return SM_Release(0, 0); }},
      {"Remove", [] { return SM_Remove(0, 0); }},
      {"Rename", [] { return RenameDevice(0, "Other"); }},
      {"Configure", [] {
         MotorInfo info = FourWireInfo(1, "A");
         return SM_Setup(0, 0, &info) >= 0;
       }},
      {"Add", [] {
         MotorInfo info = FourWireInfo(5, "D");
         return SM_Setup(0, -1, &info) >= 0;
       }},
  };
  std::vector<OutOfBoxChange> cases;
  for (bool back : {false, true})
    for (const auto& [name, change] : kChanges) cases.push_back({std::string(back ? "BackNotReopened" : "Out") + name, back, change});
  return cases;
}

class OutOfBoxChangeTest : public FuzzFindingsTest, public ::testing::WithParamInterface<OutOfBoxChange> {};

TEST_P(OutOfBoxChangeTest, IsRefusedAndTheReopenedBoxIsAsItWas) {
  ThreeMotorsApart();
  char name[32] = {};
  ASSERT_TRUE(GetDeviceName(0, name, sizeof name));
  ASSERT_EQ(boxsim_unplug(kSerial), 0);
  RunWatchdog(Device(0));
  ASSERT_FALSE(CheckDeviceConnection(0));
  ASSERT_EQ(boxsim_plug("VORK-KADO", kSerial), 0);
  if (GetParam().backButNotReopened) {
    ASSERT_EQ(boxsim_fail(kSerial, "write", 1), 0);
    RunWatchdog(Device(0));
    ASSERT_FALSE(CheckDeviceConnection(0)) << "the reopen was to fail at its release";
  } else {
    ASSERT_EQ(boxsim_unplug(kSerial), 0);
  }
  EXPECT_FALSE(GetParam().change()) << "a change to a box that is not open was reported done";
  if (!GetParam().backButNotReopened) {
    ASSERT_EQ(boxsim_plug("VORK-KADO", kSerial), 0);
  }
  RunWatchdog(Device(0));
  ASSERT_TRUE(CheckDeviceConnection(0));
  ASSERT_EQ(SM_GetCount(0), 3);
  EXPECT_DOUBLE_EQ(SM_GetRealPosition(0, 0), 19.0);
  EXPECT_DOUBLE_EQ(SM_GetRealPosition(0, 1), -2.0);
  EXPECT_DOUBLE_EQ(SM_GetRealPosition(0, 2), 7.0);
  EXPECT_DOUBLE_EQ(SM_GetPosition(0, 2), 0.0);
  ExpectDecoded();
  char after[32] = {};
  ASSERT_TRUE(GetDeviceName(0, after, sizeof after));
  EXPECT_STREQ(after, name);
}

INSTANTIATE_TEST_SUITE_P(FuzzFindings, OutOfBoxChangeTest, ::testing::ValuesIn(OutOfBoxChanges()), ParamName());

// ---- A box closed a second time -------------------------------------------------------------

// What may happen to a box that is already closed; each must leave its file as the close wrote it.
struct ClosedBoxCall {
  const char* name;
  void (*call)();
  friend void PrintTo(const ClosedBoxCall& c, std::ostream* out) { *out << c.name; }
};

class ClosedBoxTest : public FuzzFindingsTest, public ::testing::WithParamInterface<ClosedBoxCall> {
protected:
  // The fuzzer's motor: four-wire half steps under a type code of no table entry (0x99), 200
  // steps a unit, auto release, on connector 2 behind a motor on connector 1.
  void HalfStepMotorOneStepIntoAMove() {
    ASSERT_EQ(Start(), 1);
    ASSERT_EQ(boxsim_wire(kSerial, 2, "four-wire-half"), 0);
    ASSERT_EQ(AddMotor(0, 1, "A"), 0);
    MotorInfo info = FourWireInfo(2, "B", 200.0f);
    info.type = 0x99;
    info.halfSteps = 1;
    info.autoRelease = 1;
    ASSERT_EQ(SM_Setup(0, -1, &info), 1);
    ASSERT_TRUE(SM_SetDestination(0, 1, -2.0));
    ASSERT_TRUE(::Run(0));
    Tick(now_);  // the first step goes out at once; the ramp holds the next one 5 ms
    now_ += 0.001;
    ASSERT_EQ(Channel(0, 1).position, -1);
    ASSERT_EQ(boxsim_position(kSerial, 2), -1);
  }
};

// The fuzzer's "library at 0, emulator at -1": the first close halted the motor one half step
// into its move and saved -1/200 units, then reset the channels. A second close of the closed box
// found no handle for the chip write and fell back to a file-only save, which took the reset
// channels' positions (0) as where the motors stood. The reopened box put a motor standing at -1
// at 0, and every later move was one half step off.
TEST_P(ClosedBoxTest, LeavesTheFileAsTheCloseWroteItAndTheReopenedMotorWhereItStands) {
  HalfStepMotorOneStepIntoAMove();
  ASSERT_TRUE(CloseDevice(0));
  const ByteImage closed = ReadFileBytes(SettingsFile(kSerial));
  ASSERT_EQ(closed.size(), kSettingsSize);
  float saved = 0.0f;
  std::memcpy(&saved, closed.data() + RecordOffset(1) + offsetof(MotorRecord, position), sizeof saved);
  ASSERT_EQ(saved, static_cast<float>(-1.0 / 200.0));

  GetParam().call();
  EXPECT_EQ(ReadFileBytes(SettingsFile(kSerial)), closed);

  ASSERT_EQ(InitPlugin(), 1);
  ASSERT_TRUE(CheckDeviceConnection(0));
  EXPECT_EQ(Channel(0, 1).position, -1);
  EXPECT_EQ(boxsim_position(kSerial, 2), -1);
  // The rest of the move continues the coil sequence from the phase the motor rests on.
  MoveAndRest(0, 1, -2.0);
  EXPECT_EQ(Channel(0, 1).position, -400);
  EXPECT_EQ(boxsim_position(kSerial, 2), -400);
  EXPECT_EQ(boxsim_errors(kSerial, 2), 0);
}

INSTANTIATE_TEST_SUITE_P(
    FuzzFindings, ClosedBoxTest,
    ::testing::Values(ClosedBoxCall{"CloseDeviceAgain", [] { EXPECT_TRUE(CloseDevice(0)); }},
                      ClosedBoxCall{"CloseAllDevices", [] { CloseAllDevices(); }},
                      ClosedBoxCall{"RenameDevice", [] { EXPECT_FALSE(RenameDevice(0, "Other")); }}),
    ParamName());

}  // namespace
}  // namespace mervane::testing
