// The exported motor functions: name lookup, queries, setup (record and dialog), moves by index,
// name and steps, stop, zero, reset, release and removal, and the motor type names.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <thread>

#include "api_fixture.h"

namespace mervane::testing {
namespace {

using ApiMotorTest = ApiTest;

// ---- Name lookup ----------------------------------------------------------------------------

TEST_F(ApiMotorTest, GetIndexCountsMatchesInListAndSlotOrder) {
  ASSERT_EQ(Start({kSerial, kSerial2}), 2);
  AddMotors(0, {"A", "B", "A"});
  ASSERT_EQ(AddMotor(1, 1, "A"), 0);

  struct Case {
    const char* name;
    const char* serial;
    int n;
    int result;
    std::uint32_t device, channel;  // stored; 99 = untouched
  };
  const Case cases[] = {
      {"A", nullptr, -1, 3, 0, 0},  // all matches counted, the first stored
      {"A", nullptr, 0, 0, 0, 0},   // no earlier match: this one, and n at once
      {"A", nullptr, 1, 1, 0, 2},
      {"A", nullptr, 2, 2, 1, 0},
      {"A", nullptr, 3, 3, 0, 0},   // beyond the matches: the total, the first stored
      {"B", nullptr, -1, 1, 0, 1},
      {"C", nullptr, -1, 0, 99, 99},
      {"a", nullptr, -1, 0, 99, 99},  // exact comparison
      {"", nullptr, -1, 0, 99, 99},
      {"A", kSerial2, -1, 1, 1, 0},   // the first on that device
      {"B", kSerial2, -1, 0, 99, 99},
      {"A", "NOSUCH", -1, 0, 99, 99},
      {"A", "", -1, 0, 99, 99},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " serial " + (c.serial ? c.serial : "null") + " n " + std::to_string(c.n));
    std::uint32_t device = 99;
    std::uint32_t channel = 99;
    EXPECT_EQ(SM_GetIndex(&device, &channel, c.name, c.serial, c.n), c.result);
    EXPECT_EQ(device, c.device);
    EXPECT_EQ(channel, c.channel);
  }
}

// ---- Queries ----------------------------------------------------------------------------------

TEST_F(ApiMotorTest, CountsAndInfoSpanAllDevicesInListOrder) {
  ASSERT_EQ(Start({kSerial, kSerial2}), 2);
  ASSERT_EQ(AddMotor(0, 1, "A"), 0);
  AddMotors(1, {"B", "C"});
  EXPECT_EQ(SM_GetCount(0), 1);
  EXPECT_EQ(SM_GetCount(1), 2);
  EXPECT_EQ(SM_GetCountInAll(), 3u);
  const char* names[] = {"A", "B", "C"};
  for (std::uint32_t i = 0; i < 3; ++i) {
    MotorInfo info;
    ASSERT_TRUE(SM_GetInfoInAll(i, &info));
    EXPECT_STREQ(info.name, names[i]);
  }
  MotorInfo untouched;
  std::memset(&untouched, 0x5A, sizeof untouched);
  EXPECT_FALSE(SM_GetInfoInAll(3, &untouched));
  EXPECT_FALSE(SM_GetInfoInAll(0xFFFFFFFFu, &untouched));
  EXPECT_EQ(untouched.address, 0x5A);
}

TEST_F(ApiMotorTest, GetInfoHandsOutTheRecordWithLivePositionAndZero) {
  ASSERT_EQ(Start(), 1);
  MotorInfo in = FourWireInfo(3, "INFO", 200.0f);
  in.offset = 1.25f;
  in.zeroPoint = 7.0f;  // as handed in; the info reports the live zero instead
  in.position = 9.0f;
  ASSERT_EQ(SM_Setup(0, -1, &in), 0);
  MoveAndRest(0, 0, 0.5, true);
  MoveAndRest(0, 0, 0.25);

  MotorInfo out;
  ASSERT_TRUE(SM_GetInfo(0, 0, &out));
  MotorInfo expected = in;
  expected.position = 0.75f;   // absolute: ToUnits(position)
  expected.zeroPoint = 0.5f;   // ToUnits(zero)
  EXPECT_EQ(std::memcmp(&out, &expected, sizeof out), 0);
  EXPECT_DOUBLE_EQ(SM_GetPosition(0, 0), 0.25);
  EXPECT_DOUBLE_EQ(SM_GetRealPosition(0, 0), 0.75);
  EXPECT_DOUBLE_EQ(SM_GetZero(0, 0), 0.5);
  EXPECT_DOUBLE_EQ(SM_GetTarget(0, 0), 0.25);
  EXPECT_DOUBLE_EQ(SMN_GetTarget("INFO"), 0.25);
  EXPECT_DOUBLE_EQ(SMN_GetTarget("NOSUCH"), 0.0);
}

TEST_F(ApiMotorTest, GetTypeCopiesTheNameUnterminatedWhenFullAndReturnsTheCode) {
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 1, "X"), 0);  // 0x85 "X (4wires)"
  char buffer[16];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(SM_GetType(0, 0, buffer, 12), 0x85);
  EXPECT_EQ(std::string(buffer, 12), std::string("X (4wires)\0\0", 12));  // zero-padded
  EXPECT_EQ(buffer[12], '#');
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(SM_GetType(0, 0, buffer, 4), 0x85);
  EXPECT_EQ(std::string(buffer, 5), "X (4#");  // no terminator forced: the caller's affair
  EXPECT_EQ(SM_GetType(0, 0, buffer, 0), -1);
  EXPECT_EQ(SM_GetType(0, 0, buffer, -5), -1);
  EXPECT_EQ(SM_GetType(0, 0, nullptr, 8), -1);
  EXPECT_EQ(std::string(buffer, 5), "X (4#");
}

// ---- Setup ---------------------------------------------------------------------------------------

TEST_F(ApiMotorTest, SetupAddsAndReconfiguresSlotsAndSavesThem) {
  ASSERT_EQ(Start(), 1);
  for (std::uint8_t a = 1; a <= 7; ++a) {
    std::string name = "M" + std::to_string(a);
    EXPECT_EQ(AddMotor(0, a, name.c_str()), a - 1);
  }
  EXPECT_EQ(AddMotor(0, 8, "M8"), -1);  // seven slots at most
  EXPECT_EQ(SM_GetCount(0), 7);

  // Slot 2 with its own address again: allowed; with slot 3's: refused, nothing saved.
  MotorInfo again = FourWireInfo(3, "AGAIN", 50.0f);
  EXPECT_EQ(SM_Setup(0, 2, &again), 2);
  ByteImage file = ReadFileBytes(SettingsFile(kSerial));
  ASSERT_EQ(file.size(), 289u);
  EXPECT_EQ(std::memcmp(file.data() + RecordOffset(2), &again, sizeof again), 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(file.data())), "VORK-KADO0");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(EepromBytes(kSerial).data())), "VORK-KADO0");
  MotorInfo duplicate = FourWireInfo(4, "DUP");
  EXPECT_EQ(SM_Setup(0, 2, &duplicate), -1);
  EXPECT_EQ(ReadFileBytes(SettingsFile(kSerial)), file);
  MotorInfo info;
  ASSERT_TRUE(SM_GetInfo(0, 2, &info));
  EXPECT_STREQ(info.name, "AGAIN");
}

TEST_F(ApiMotorTest, SetupRefusesRecordsThatCannotBeUsedSlots) {
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 1, "X"), 0);
  MotorInfo none = FourWireInfo(2, "NONE");
  none.type = 0;
  MotorInfo farAddress = FourWireInfo(9, "FAR");
  MotorInfo duplicate = FourWireInfo(1, "DUP");
  MotorInfo fine = FourWireInfo(2, "FINE");
  struct Case {
    const char* what;
    int channel;
    MotorInfo* info;
  };
  const Case cases[] = {
      {"type None", -1, &none},          {"type None on a slot", 0, &none},
      {"address above 8", -1, &farAddress}, {"duplicate address", -1, &duplicate},
      {"channel equal to the count", 1, &fine}, {"channel far beyond", 1000, &fine},
      {"no dialog installed", -1, nullptr},   {"no dialog installed, slot", 0, nullptr},
  };
  ByteImage file = ReadFileBytes(SettingsFile(kSerial));
  api::SetSetupDialog(nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(SM_Setup(0, c.channel, c.info), -1);
    EXPECT_EQ(SM_GetCount(0), 1);
  }
  EXPECT_EQ(ReadFileBytes(SettingsFile(kSerial)), file);
  EXPECT_EQ(SM_Setup(1, -1, &fine), -1);
  EXPECT_EQ(SM_Setup(0xFFFFFFFFu, -1, &fine), -1);
  EXPECT_EQ(SM_Setup(0, -1, &fine), 1);
}

TEST_F(ApiMotorTest, SetupCutsAnUnterminatedNameToNineCharacters) {
  ASSERT_EQ(Start(), 1);
  MotorInfo info = FourWireInfo(1, "");
  std::memcpy(info.name, "ABCDEFGHIJ", 10);  // no terminator inside the field
  ASSERT_EQ(SM_Setup(0, -1, &info), 0);
  MotorInfo out;
  ASSERT_TRUE(SM_GetInfo(0, 0, &out));
  EXPECT_EQ(std::string(out.name, 10), std::string("ABCDEFGHI\0", 10));
  ByteImage file = ReadFileBytes(SettingsFile(kSerial));
  EXPECT_EQ(std::string(file.begin() + RecordOffset(0) + 17, file.begin() + RecordOffset(0) + 27),
            std::string("ABCDEFGHI\0", 10));
  EXPECT_EQ(SMN_IsRunning("ABCDEFGHI"), 0);
  EXPECT_EQ(SMN_IsRunning("ABCDEFGHIJ"), -1);
}

// The dialog stand-in: records what it was shown and answers as told.
struct DialogScript {
  static inline int calls = 0;
  static inline bool ok = true;
  static inline std::uint32_t device = 99;
  static inline int channel = 99;
  static inline std::string shownName;
  static inline MotorInfo answer{};
  static bool Show(std::uint32_t d, int c, MotorRecord& record) {
    ++calls;
    device = d;
    channel = c;
    shownName = RecordName(record);
    if (ok) std::memcpy(&record, &answer, sizeof record);
    return ok;
  }
};

TEST_F(ApiMotorTest, SetupWithoutRecordAsksTheDialog) {
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 1, "X"), 0);
  api::SetSetupDialog(&DialogScript::Show);

  // Cancelled: nothing changes.
  DialogScript::ok = false;
  EXPECT_EQ(SM_Setup(0, 0, nullptr), -1);
  EXPECT_EQ(DialogScript::calls, 1);
  EXPECT_EQ(DialogScript::shownName, "X");  // started from the slot's record

  // OK on a new slot: it starts from a fresh record and its answer is configured.
  DialogScript::ok = true;
  DialogScript::answer = FourWireInfo(2, "NEW");
  EXPECT_EQ(SM_Setup(0, -1, nullptr), 1);
  EXPECT_EQ(DialogScript::channel, -1);
  EXPECT_EQ(DialogScript::shownName, "");

  // By name: the first motor of that name.
  DialogScript::answer = FourWireInfo(2, "RENAMED");
  EXPECT_TRUE(SMN_Setup("NEW"));
  EXPECT_EQ(DialogScript::device, 0u);
  EXPECT_EQ(DialogScript::channel, 1);
  std::uint32_t d = 0, c = 0;
  EXPECT_EQ(SM_GetIndex(&d, &c, "RENAMED", nullptr, -1), 1);
  EXPECT_FALSE(SMN_Setup("NEW"));  // no longer there
  DialogScript::ok = false;
  EXPECT_FALSE(SMN_Setup("X"));
  EXPECT_EQ(DialogScript::calls, 4);
}

// ---- Destinations and moves ----------------------------------------------------------------------

TEST_F(ApiMotorTest, MoveEmitsThePhaseOfTheAbsolutePosition) {
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 1, "X", 1.0f), 0);
  boxsim_clear(kSerial);
  MoveAndRest(0, 0, 2.0);
  EXPECT_EQ(WireBytes(kSerial), (ByteImage{0x84, 0x84, 0xF4, 0x82, 0x82, 0xF2}));
  EXPECT_DOUBLE_EQ(SM_GetPosition(0, 0), 2.0);
}

TEST_F(ApiMotorTest, DestinationsAreHeldAgainstTheZero) {
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 1, "X"), 0);
  MoveAndRest(0, 0, 1.0, true);  // zero at 100 steps

  // A destination is reported as handed in and reached relative to the zero.
  ASSERT_TRUE(SM_SetDestination(0, 0, 0.5));
  EXPECT_DOUBLE_EQ(SM_GetTarget(0, 0), 0.5);
  EXPECT_FALSE(SM_IsRunning(0, 0));  // only stored
  ASSERT_TRUE(::Run(0));
  ASSERT_TRUE(TickUntilIdle(0, 0));
  EXPECT_DOUBLE_EQ(SM_GetPosition(0, 0), 0.5);
  EXPECT_EQ(boxsim_position(kSerial, 1), 150);

  // Run again after a move goes nowhere further: the move's destination is where it is.
  MoveAndRest(0, 0, -0.25);
  EXPECT_DOUBLE_EQ(SM_GetTarget(0, 0), -0.25);
  ASSERT_TRUE(::Run(0));
  EXPECT_FALSE(SM_IsRunning(0, 0));
  EXPECT_EQ(boxsim_position(kSerial, 1), 75);
}

TEST_F(ApiMotorTest, DestinationsThatAreNoStepCountAreRefused) {
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 1, "X"), 0);
  ASSERT_TRUE(SM_SetDestination(0, 0, 0.25));
  const double bad[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                        -std::numeric_limits<double>::infinity(), 1e300, 3e7};
  for (double units : bad) {
    SCOPED_TRACE(units);
    EXPECT_FALSE(SM_SetDestination(0, 0, units));
    EXPECT_FALSE(SM_Move(0, 0, units));
    EXPECT_FALSE(SMN_Move("X", units, false));
    EXPECT_FALSE(SMN_Move("X", units, true));
    EXPECT_FALSE(SM_IsRunning(0, 0));
    EXPECT_DOUBLE_EQ(SM_GetTarget(0, 0), 0.25);
  }
  // Relative moves keep counting from the destination handed in last.
  EXPECT_TRUE(SMN_Move("X", 0.5, true));
  EXPECT_DOUBLE_EQ(SMN_GetTarget("X"), 0.75);
}

TEST_F(ApiMotorTest, MoveByNameRelativeTwiceAddsUp) {
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 1, "X"), 0);
  ASSERT_TRUE(SM_SetDestination(0, 0, 0.5));  // the start destination
  EXPECT_TRUE(SMN_Move("X", 1.5, true));
  TickFor(0.01);
  EXPECT_TRUE(SMN_Move("X", 1.5, true));  // while the first still runs
  EXPECT_DOUBLE_EQ(SMN_GetTarget("X"), 3.5);
  ASSERT_TRUE(TickUntilIdle(0, 0));
  EXPECT_DOUBLE_EQ(SM_GetPosition(0, 0), 3.5);
  EXPECT_EQ(boxsim_position(kSerial, 1), 350);

  EXPECT_TRUE(SMN_Move("X", -0.5, false));  // absolute
  ASSERT_TRUE(TickUntilIdle(0, 0));
  EXPECT_EQ(boxsim_position(kSerial, 1), -50);
  EXPECT_TRUE(api::MoveByName("X", 0.25, true, 500));  // the plug-in's entry, speed unused
  ASSERT_TRUE(TickUntilIdle(0, 0));
  EXPECT_EQ(boxsim_position(kSerial, 1), -25);
  EXPECT_FALSE(SMN_Move("NOSUCH", 1.0, false));
}

TEST_F(ApiMotorTest, StepMoveCountsStepsFromTheZero) {
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 1, "X"), 0);
  MoveAndRest(0, 0, 0.2, true);  // zero at 20 steps

  EXPECT_TRUE(SMN_StepMove("X", 30, false));
  ASSERT_TRUE(TickUntilIdle(0, 0));
  EXPECT_EQ(boxsim_position(kSerial, 1), 50);
  EXPECT_TRUE(SMN_StepMove("X", -10, true));
  EXPECT_DOUBLE_EQ(SMN_GetTarget("X"), 0.2);
  ASSERT_TRUE(TickUntilIdle(0, 0));
  EXPECT_EQ(boxsim_position(kSerial, 1), 40);
  EXPECT_DOUBLE_EQ(SM_GetPosition(0, 0), 0.2);
  // Relative beyond the step range: refused, nothing started.
  EXPECT_FALSE(SMN_StepMove("X", std::numeric_limits<std::int32_t>::max(), true));
  EXPECT_FALSE(SM_IsRunning(0, 0));
  EXPECT_FALSE(SMN_StepMove("NOSUCH", 1, false));
  EXPECT_FALSE(SMN_StepMove(nullptr, 1, false));
}

// ---- Running state and stop ----------------------------------------------------------------------

TEST_F(ApiMotorTest, IsRunningAndStopByIndexAndByName) {
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 1, "X"), 0);
  EXPECT_FALSE(SM_IsRunning(0, 0));
  EXPECT_EQ(SMN_IsRunning("X"), 0);
  EXPECT_EQ(SMN_IsRunning("Y"), -1);
  ASSERT_TRUE(SM_Move(0, 0, 100.0));
  TickFor(0.05);
  EXPECT_TRUE(SM_IsRunning(0, 0));
  EXPECT_EQ(SMN_IsRunning("X"), 1);
  EXPECT_TRUE(SMN_Stop("X"));
  SMotor m = Channel(0, 0);
  EXPECT_EQ(m.target, m.position + 5);  // the ramp's length ahead
  ASSERT_TRUE(TickUntilIdle(0, 0, 1.0));
  EXPECT_EQ(SMN_IsRunning("X"), 0);
  EXPECT_TRUE(SM_Stop(0, 0));  // at rest: harmless
  EXPECT_FALSE(SMN_Stop("Y"));

  // Unplugged: the box is closed by its watchdog and its motors are no longer found.
  boxsim_unplug(kSerial);
  RunWatchdog(Device(0));
  EXPECT_EQ(SMN_IsRunning("X"), -1);
}

// ---- Zero and reset -------------------------------------------------------------------------------

TEST_F(ApiMotorTest, SetZeroTwiceRestoresTheZero) {
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 1, "X"), 0);
  MoveAndRest(0, 0, 0.3);
  EXPECT_TRUE(SM_SetZero(0, 0));
  EXPECT_DOUBLE_EQ(SM_GetZero(0, 0), 0.3);
  EXPECT_DOUBLE_EQ(SM_GetPosition(0, 0), 0.0);
  EXPECT_TRUE(SMN_SetZero("X"));
  EXPECT_DOUBLE_EQ(SM_GetZero(0, 0), 0.0);
  EXPECT_DOUBLE_EQ(SM_GetPosition(0, 0), 0.3);
  EXPECT_FALSE(SMN_SetZero("Y"));
}

// The wait of SM_SetZero and SM_Reset lets the tick, on its own thread, bring the motor to rest.
TEST_F(ApiMotorTest, SetZeroAndResetStopARunningMotorAndWaitForIt) {
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 1, "X"), 0);
  std::atomic<bool> ticking{true};
  std::thread tick([&ticking, start = now_] {
    // Simulated time runs ahead of the real one: 5 ms per tick, one tick per real millisecond.
    for (double t = start; ticking; t += 0.005) {
      Tick(t);
      platform::SleepMs(1);
    }
  });
  ASSERT_TRUE(SM_Move(0, 0, 100.0));
  platform::SleepMs(20);
  EXPECT_TRUE(SM_SetZero(0, 0));
  SMotor m = Channel(0, 0);
  EXPECT_EQ(m.direction, 0);
  EXPECT_EQ(m.zero, m.position);
  EXPECT_GT(m.position, 0);
  EXPECT_LT(m.position, 10000);

  ASSERT_TRUE(SM_Move(0, 0, 100.0));
  platform::SleepMs(20);
  EXPECT_TRUE(SM_Reset(0, 0));
  SMotor r = Channel(0, 0);
  ticking = false;
  tick.join();
  EXPECT_EQ(r.direction, 0);
  EXPECT_EQ(r.position, 0);
  EXPECT_EQ(r.target, 0);
  EXPECT_EQ(r.destination, 0);
  EXPECT_EQ(r.destinationUnits, 0.0);
  EXPECT_EQ(r.zero, m.zero);  // the zero stays
}

// Without a tick the motor never comes to rest: after 10 s the wait gives up, changing nothing.
TEST_F(ApiMotorTest, SetZeroGivesUpAfterTenSecondsOnAMotorThatDoesNotStop) {
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 1, "X"), 0);
  ASSERT_TRUE(SM_Move(0, 0, 1.0));
  TickFor(0.02);
  SMotor before = Channel(0, 0);
  double start = platform::NowSeconds();
  EXPECT_FALSE(SM_SetZero(0, 0));
  EXPECT_GE(platform::NowSeconds() - start, 10.0);
  SMotor after = Channel(0, 0);
  EXPECT_EQ(after.zero, 0);
  EXPECT_EQ(after.position, before.position);
}

TEST_F(ApiMotorTest, ResetByNameHaltsAtOnceAndReportsTheStop) {
  ASSERT_EQ(Start(), 1);
  AddMotors(0, {"X", "Y"});
  MoveAndRest(0, 1, 0.2, true);
  ASSERT_TRUE(SM_Move(0, 1, 100.0));
  TickFor(0.05);
  StoppedEvents stops;
  EXPECT_TRUE(SMN_Reset("Y"));
  EXPECT_EQ(stops.Channels(), std::vector<std::uint32_t>{1});
  SMotor m = Channel(0, 1);
  EXPECT_EQ(m.direction, 0);
  EXPECT_EQ(m.position, 0);
  EXPECT_EQ(m.target, 0);
  EXPECT_EQ(m.destination, 0);
  EXPECT_EQ(m.zero, 20);
  EXPECT_DOUBLE_EQ(SM_GetRealPosition(0, 1), 0.0);
  EXPECT_DOUBLE_EQ(SM_GetPosition(0, 1), -0.2);
  // A later move starts cleanly from there.
  MoveAndRest(0, 1, 0.0);
  EXPECT_DOUBLE_EQ(SM_GetRealPosition(0, 1), 0.2);
  EXPECT_FALSE(SMN_Reset("Z"));
}

// ---- Release and removal --------------------------------------------------------------------------

TEST_F(ApiMotorTest, ReleaseSendsTheChannelsReleaseCommand) {
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 3, "C"), 0);
  MoveAndRest(0, 0, 0.05);
  EXPECT_EQ(boxsim_energised(kSerial, 3), 1);
  boxsim_clear(kSerial);
  EXPECT_TRUE(SM_Release(0, 0));
  EXPECT_EQ(WireBytes(kSerial), (ByteImage{0xA0, 0xF0}));
  EXPECT_EQ(boxsim_energised(kSerial, 3), 0);
  boxsim_clear(kSerial);
  EXPECT_TRUE(SMN_Release("C"));
  EXPECT_EQ(WireBytes(kSerial), (ByteImage{0xA0, 0xF0}));
  EXPECT_FALSE(SMN_Release("D"));
  boxsim_fail(kSerial, "write", 1);
  EXPECT_FALSE(SM_Release(0, 0));
}

TEST_F(ApiMotorTest, ReleaseAllReleasesEveryDeviceEvenAfterAFailure) {
  ASSERT_EQ(Start({kSerial, kSerial2}), 2);
  boxsim_clear(kSerial);
  boxsim_clear(kSerial2);
  EXPECT_TRUE(SM_ReleaseAll());
  EXPECT_EQ(WireBytes(kSerial), ReleaseAllBytes());
  EXPECT_EQ(WireBytes(kSerial2), ReleaseAllBytes());

  boxsim_clear(kSerial2);
  boxsim_fail(kSerial, "write", 1);
  EXPECT_FALSE(SM_ReleaseAll());
  EXPECT_EQ(WireBytes(kSerial2), ReleaseAllBytes());
}

TEST_F(ApiMotorTest, RemoveShiftsTheRecordsAndSaves) {
  ASSERT_EQ(Start(), 1);
  AddMotors(0, {"A", "B"});
  MotorInfo c = FourWireInfo(3, "C");
  ASSERT_EQ(SM_Setup(0, -1, &c), 2);

  ASSERT_TRUE(SM_Move(0, 1, 1.0));
  TickFor(0.01);
  EXPECT_FALSE(SM_Remove(0, 1));  // running
  EXPECT_FALSE(SM_Remove(0, 0));  // a running channel behind it
  ASSERT_TRUE(TickUntilIdle(0, 1));

  EXPECT_TRUE(SM_Remove(0, 1));
  EXPECT_EQ(SM_GetCount(0), 2);
  ByteImage file = ReadFileBytes(SettingsFile(kSerial));
  ASSERT_EQ(file.size(), 289u);
  // C's state moves down with its record: record 1 is saved with C's own position (it never
  // moved), not with B's 1.0.
  c.position = 0.0f;
  EXPECT_EQ(std::memcmp(file.data() + RecordOffset(1), &c, sizeof c), 0);
  MotorRecord fresh = FreshRecord();
  EXPECT_EQ(std::memcmp(file.data() + RecordOffset(2), &fresh, sizeof fresh), 0);
  EXPECT_FALSE(SM_Remove(0, 2));
  EXPECT_FALSE(SM_Remove(1, 0));
}

// ---- Motor type names ---------------------------------------------------------------------------

TEST(ApiTypeNameTest, NamesAndLengthsOfTypeCodes) {
  struct Case {
    int code;
    const char* name;
  };
  const Case cases[] = {{0x00, "None"},          {0x01, "X (2wires)"},        {0x85, "X (4wires)"},
                        {0x2D, "R (synchron)"},  {0xC8, "R block (4wires)"},  {0x6D, "R block (synchron)"},
                        {0x99, "???"},           {0x185, "???"},              {0x100, "???"},
                        {-1, "???"},             {std::numeric_limits<int>::min(), "???"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    const char* name = nullptr;
    EXPECT_EQ(INF_GetMTypeName(c.code, &name), static_cast<int>(std::strlen(c.name)));
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, c.name);
  }
  EXPECT_EQ(INF_GetMTypeName(0x85, nullptr), -1);
}

}  // namespace
}  // namespace mervane::testing
