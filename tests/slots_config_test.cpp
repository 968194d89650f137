// Slot configuration (the packed list of used records, unique addresses), release of channels,
// waiting for a stop, and the positions a save stores for the channels.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "support.h"

namespace mervane::testing {
namespace {

using SlotsTest = MotionTest;

bool SameRecord(const MotorRecord& a, const MotorRecord& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST_F(SlotsTest, AddedSlotsArePackedAndAddressesStayUnique) {
  EXPECT_EQ(AddMotor({.address = 1}), 0);
  EXPECT_EQ(AddMotor({.address = 2, .type = 0x01}), 1);
  EXPECT_EQ(AddMotor({.address = 5, .type = 0x2A}), 2);
  EXPECT_EQ(Box().motorCount, 3u);
  LibraryLock lock;
  // Adding a slot with the address of slot 2 fails and copies nothing.
  MotorRecord clash = MotionRecord({.address = 5, .type = 0x86});
  EXPECT_EQ(AddSlot(Box(), clash), -1);
  EXPECT_EQ(Box().motorCount, 3u);
  EXPECT_EQ(Box().settings.records[3].type, 0);
  // Changing slot 2 itself with its own address succeeds; taking slot 0's address does not.
  MotorRecord changed = Box().settings.records[2];
  changed.acceleration = 33;
  EXPECT_TRUE(ConfigureSlot(Box(), 2, changed, true));
  EXPECT_EQ(Box().settings.records[2].acceleration, 33);
  changed.address = 1;
  EXPECT_FALSE(ConfigureSlot(Box(), 2, changed, true));
  EXPECT_EQ(Box().settings.records[2].address, 5);
  // Without the check the caller takes responsibility (slot removal moves records this way).
  EXPECT_TRUE(ConfigureSlot(Box(), 2, changed, false));
  EXPECT_EQ(Box().settings.records[2].address, 1);
}

TEST_F(SlotsTest, SlotsBeyondTheSeventhAndOutsideTheBlockAreRefused) {
  for (std::uint8_t a = 1; a <= 7; ++a) ASSERT_EQ(AddMotor({.address = a}), a - 1);
  LibraryLock lock;
  EXPECT_EQ(AddSlot(Box(), MotionRecord({.address = 8})), -1);
  EXPECT_EQ(Box().motorCount, 7u);
  EXPECT_FALSE(ConfigureSlot(Box(), 7, MotionRecord({.address = 8}), false));
  EXPECT_FALSE(ConfigureSlot(Box(), -1, MotionRecord({.address = 8}), false));
}

TEST_F(SlotsTest, ConfiguringASlotCopiesEveryFieldAndTheDeviceName) {
  MotorRecord source = MotionRecord({.address = 3, .type = 0xC6, .acceleration = -7, .minStepTime = 4, .maxStepTime = 9,
                                     .halfSteps = true, .autoRelease = true, .length = 1234, .coefficient = 2.5f});
  std::strcpy(source.name, "Lift");
  source.position = 1.25f;
  source.offset = -3.0f;
  source.zeroPoint = 7.5f;
  {
    LibraryLock lock;
    Box().name = "Bench";
    ASSERT_EQ(AddSlot(Box(), source), 0);
  }
  EXPECT_TRUE(SameRecord(Box().settings.records[0], source));
  EXPECT_EQ(BlockName(Box().settings), "Bench");
}

TEST_F(SlotsTest, RemovingSlotOneOfThreeMovesRecordTwoWithItsMotorsState) {
  AddMotor({.address = 1});
  AddMotor({.address = 2, .type = 0x01});
  AddMotor({.address = 3, .type = 0x2A, .acceleration = 9});
  const MotorRecord third = Box().settings.records[2];
  {
    DeviceGuard guard(Box());
    for (int r = 0; r < 3; ++r) Box().motors[r].position = Box().motors[r].target = 11 * (r + 1);
  }
  {
    LibraryLock lock;
    ASSERT_TRUE(RemoveSlot(Box(), 1));
  }
  EXPECT_EQ(Box().motorCount, 2u);
  EXPECT_TRUE(SameRecord(Box().settings.records[1], third));
  EXPECT_TRUE(SameRecord(Box().settings.records[2], FreshRecord()));
  // Each motor's state goes with its record; the freed last channel starts afresh.
  const int expected[3] = {11, 33, 0};
  for (int r = 0; r < 3; ++r) EXPECT_EQ(Motor(r).position, expected[r]) << "channel " << r;
}

TEST_F(SlotsTest, RemovingTheLastSlotAndOutOfRange) {
  AddMotor({.address = 1});
  AddMotor({.address = 2});
  LibraryLock lock;
  EXPECT_FALSE(RemoveSlot(Box(), 2));
  EXPECT_FALSE(RemoveSlot(Box(), 0xFFFFFFFFu));
  ASSERT_TRUE(RemoveSlot(Box(), 1));
  EXPECT_EQ(Box().motorCount, 1u);
  EXPECT_TRUE(SameRecord(Box().settings.records[1], FreshRecord()));
  ASSERT_TRUE(RemoveSlot(Box(), 0));
  EXPECT_EQ(Box().motorCount, 0u);
}

// A running channel at or behind the removed slot would have its record moved under it.
TEST_F(SlotsTest, RemovalRefusedWhileAChannelAtOrBehindItRuns) {
  AddMotor({.address = 1});
  AddMotor({.address = 2});
  AddMotor({.address = 3});
  ASSERT_TRUE(Start(1, 50));
  Tick(Ms(0));
  LibraryLock lock;
  EXPECT_FALSE(RemoveSlot(Box(), 0));
  EXPECT_FALSE(RemoveSlot(Box(), 1));
  EXPECT_EQ(Box().motorCount, 3u);
  EXPECT_TRUE(RemoveSlot(Box(), 2)) << "the running channel lies before slot 2";
}

// --- Release --------------------------------------------------------------------------------

TEST_F(SlotsTest, ReleaseOfAChannelWithoutAddressWritesNothing) {
  int ch = AddMotor({.address = 0});
  LibraryLock lock;
  EXPECT_TRUE(Release(Box(), static_cast<std::uint32_t>(ch)));
  EXPECT_TRUE(WireBytes(kSerial).empty());
}

TEST_F(SlotsTest, FailedReleaseWriteIsReportedAndKeptAsTheStatus) {
  int ch = AddMotor({.address = 4});
  boxsim_fail(kSerial, "write", 1);
  LibraryLock lock;
  EXPECT_FALSE(Release(Box(), static_cast<std::uint32_t>(ch)));
  EXPECT_NE(Box().lastStatus, static_cast<FT_STATUS>(FT_OK));
  EXPECT_TRUE(Release(Box(), static_cast<std::uint32_t>(ch)));
  EXPECT_EQ(Box().lastStatus, static_cast<FT_STATUS>(FT_OK));
  EXPECT_EQ(WireBytes(kSerial), (ByteImage{0xB0, 0xF0}));
}

// The control thread's release has bytes of its own: what the tick has queued stays queued.
TEST_F(SlotsTest, ReleaseLeavesTheTicksQueuedBytesAlone) {
  int ch = AddMotor({.address = 2});
  const std::uint8_t queued[] = {0x84, 0x84, 0xF4, 0x92, 0x92, 0xF2};
  {
    DeviceGuard guard(Box());
    std::memcpy(Box().output, queued, sizeof queued);
    Box().outputCount = sizeof queued;
  }
  {
    LibraryLock lock;
    ASSERT_TRUE(Release(Box(), static_cast<std::uint32_t>(ch)));
    ASSERT_TRUE(Release(Box(), 8));
  }
  DeviceGuard guard(Box());
  EXPECT_EQ(Box().outputCount, sizeof queued);
  EXPECT_EQ(std::memcmp(Box().output, queued, sizeof queued), 0);
  ByteImage expected = {0x90, 0xF0};
  ByteImage all = ReleaseAllBytes();
  expected.insert(expected.end(), all.begin(), all.end());
  EXPECT_EQ(WireBytes(kSerial), expected);
}

TEST_F(SlotsTest, WaitStoppedOnARestingChannelReturnsAtOnce) {
  int ch = AddMotor({.address = 1});
  LibraryLock lock;
  EXPECT_TRUE(WaitStopped(Box(), ch));
  EXPECT_FALSE(WaitStopped(Box(), -1));
  EXPECT_FALSE(WaitStopped(Box(), 7));
}

// --- Positions stored by a save --------------------------------------------------------------

// However a motor got where it is, a save stores where it really is, ToUnits(position), and the
// next open rebuilds exactly that step position.
struct SaveCase {
  const char* name;
  MotorSetup setup;
  std::function<void(MotionTest&, long& k)> move;
  std::int32_t expectedPosition;
};
void PrintTo(const SaveCase& c, std::ostream* os) { *os << c.name; }

class SavedPositionTest : public MotionTest, public ::testing::WithParamInterface<SaveCase> {
public:
  void Drive(long& k) { TickUntilStopped(k, 0); }
  bool StartPublic(std::int32_t steps) { return Start(0, steps); }
  void StopPublic() { Stop(0); }
  void TickPublic(long k) { Tick(Ms(k)); }
  std::int32_t Position() { return Motor(0).position; }
  void InitializePublic() {
    DeviceGuard guard(Box());
    Initialize(Box().motors[0]);
  }
};

TEST_P(SavedPositionTest, StoresWhereTheMotorReallyIs) {
  const SaveCase& c = GetParam();
  ASSERT_EQ(AddMotor(c.setup), 0);
  long k = 0;
  c.move(*this, k);
  ASSERT_FALSE(Running(0));
  const std::int32_t position = Motor(0).position;
  EXPECT_EQ(position, c.expectedPosition);
  EXPECT_EQ(boxsim_position(kSerial, c.setup.address), position);
  const double units = position / static_cast<double>(c.setup.coefficient);
  {
    LibraryLock lock;
    ASSERT_TRUE(SaveSettings(Box(), false));
  }
  ByteImage file = ReadFileBytes(SettingsFile(kSerial));
  ASSERT_EQ(file.size(), 289u);
  EXPECT_EQ(ReadAt<float>(file, RecordOffset(0) + kRecordPosition), static_cast<float>(units));
  // Closed and opened again: the channel comes back at the same step position.
  {
    LibraryLock lock;
    CloseAllDevices();
    ASSERT_EQ(RefreshDevices(), 1);
  }
  EXPECT_EQ(Motor(0).position, position);
  EXPECT_EQ(Motor(0).target, position);
}

SaveCase MoveTo(const char* name, std::int32_t steps) {
  return {name, {.address = 2, .acceleration = 10, .minStepTime = 1, .coefficient = 8.0f},
          [steps](MotionTest& fixture, long& tick) {
            auto& s = static_cast<SavedPositionTest&>(fixture);
            ASSERT_TRUE(s.StartPublic(steps));
            s.Drive(tick);
          },
          steps};
}

INSTANTIATE_TEST_SUITE_P(
    HowItMoved, SavedPositionTest,
    ::testing::Values(
        MoveTo("PlainMove", 123), MoveTo("PlainMoveDown", -77),
        // Stopped on the ramp of a move to 1000: rests 10 steps after the stop, far from 1000.
        SaveCase{"StoppedOnTheRamp",
                 {.address = 2, .acceleration = 10, .minStepTime = 1, .coefficient = 8.0f},
                 [](MotionTest& fixture, long& tick) {
                   auto& s = static_cast<SavedPositionTest&>(fixture);
                   ASSERT_TRUE(s.StartPublic(1000));
                   while (s.Position() < 40) s.TickPublic(tick++);
                   s.StopPublic();
                   s.Drive(tick);
                 },
                 50},
        // Reversed in flight: the destination changed twice, the motor ended at the last one.
        SaveCase{"Reversed",
                 {.address = 2, .acceleration = 10, .minStepTime = 1, .coefficient = 8.0f},
                 [](MotionTest& fixture, long& tick) {
                   auto& s = static_cast<SavedPositionTest&>(fixture);
                   ASSERT_TRUE(s.StartPublic(300));
                   while (s.Position() < 100) s.TickPublic(tick++);
                   ASSERT_TRUE(s.StartPublic(-20));
                   s.Drive(tick);
                 },
                 -20},
        // The initialisation run of a block axis ends 10 % below its low end.
        SaveCase{"Initialized",
                 {.address = 2, .type = 0xC5, .acceleration = 10, .minStepTime = 1, .length = 80, .coefficient = 8.0f},
                 [](MotionTest& fixture, long& tick) {
                   auto& s = static_cast<SavedPositionTest&>(fixture);
                   s.InitializePublic();
                   s.Drive(tick);
                 },
                 -88}),
    ParamName());

}  // namespace
}  // namespace mervane::testing
