// Faults the fuzz targets found (fuzz/), each as the shortest sequence that shows it.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace mervane::testing
