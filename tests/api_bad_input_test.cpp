// Bad input through the exported functions: indices equal to and far beyond the counts, null
// pointers for every pointer argument, names too long for a record, and calls before InitPlugin
// and after Exit. Every call returns its failure value and changes nothing.
#include <gtest/gtest.h>

#include <climits>
#include <functional>

#include "api_fixture.h"

namespace mervane::testing {
namespace {

// A call addressing (device, channel); true when it was refused with its failure value and
// wrote nothing into the caller's memory.
struct MotorCall {
  const char* name;
  std::function<bool(std::uint32_t, std::uint32_t)> refused;
};

const std::vector<MotorCall>& MotorCalls() {
  static const std::vector<MotorCall> calls = {
      {"SM_GetType",
       [](std::uint32_t d, std::uint32_t c) {
         char buffer[8] = {'#', '#', '#', '#', '#', '#', '#', '#'};
         return SM_GetType(d, c, buffer, 8) == -1 && std::string(buffer, 8) == "########";
       }},
      {"SM_GetPosition", [](std::uint32_t d, std::uint32_t c) { return SM_GetPosition(d, c) == 0.0; }},
      {"SM_GetRealPosition", [](std::uint32_t d, std::uint32_t c) { return SM_GetRealPosition(d, c) == 0.0; }},
      {"SM_GetTarget", [](std::uint32_t d, std::uint32_t c) { return SM_GetTarget(d, c) == 0.0; }},
      {"SM_GetZero", [](std::uint32_t d, std::uint32_t c) { return SM_GetZero(d, c) == 0.0; }},
      {"SM_GetInfo",
       [](std::uint32_t d, std::uint32_t c) {
         MotorInfo info;
         std::memset(&info, 0x5A, sizeof info);
         MotorInfo before = info;
         return !SM_GetInfo(d, c, &info) && std::memcmp(&info, &before, sizeof info) == 0;
       }},
      {"SM_SetDestination", [](std::uint32_t d, std::uint32_t c) { return !SM_SetDestination(d, c, 0.7); }},
      {"SM_Move", [](std::uint32_t d, std::uint32_t c) { return !SM_Move(d, c, 0.7); }},
      {"SM_IsRunning", [](std::uint32_t d, std::uint32_t c) { return !SM_IsRunning(d, c); }},
      {"SM_Stop", [](std::uint32_t d, std::uint32_t c) { return !SM_Stop(d, c); }},
      {"SM_Initialize", [](std::uint32_t d, std::uint32_t c) { return !SM_Initialize(d, c); }},
      {"SM_SetZero", [](std::uint32_t d, std::uint32_t c) { return !SM_SetZero(d, c); }},
      {"SM_Reset", [](std::uint32_t d, std::uint32_t c) { return !SM_Reset(d, c); }},
      {"SM_Release", [](std::uint32_t d, std::uint32_t c) { return !SM_Release(d, c); }},
      {"SM_Remove", [](std::uint32_t d, std::uint32_t c) { return !SM_Remove(d, c); }},
      {"SM_Setup",
       [](std::uint32_t d, std::uint32_t c) {
         MotorInfo info = FourWireInfo(7, "NEW");
         // The channel is an int: beyond INT_MAX it would read as "add a motor".
         int channel = c > static_cast<std::uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(c);
         return SM_Setup(d, channel, &info) == -1;
       }},
  };
  return calls;
}

// Device-level calls with `index`; true when refused.
struct DeviceCall {
  const char* name;
  std::function<bool(unsigned)> refused;
};

const std::vector<DeviceCall>& DeviceCalls() {
  static const std::vector<DeviceCall> calls = {
      {"CheckDeviceConnection", [](unsigned i) { return !CheckDeviceConnection(i); }},
      {"GetDeviceSernum",
       [](unsigned i) {
         char buffer[4] = {'#', '#', '#', '#'};
         return !GetDeviceSernum(i, buffer, 4) && std::string(buffer, 4) == "####";
       }},
      {"GetDeviceType",
       [](unsigned i) {
         char buffer[4] = {'#', '#', '#', '#'};
         return !GetDeviceType(i, buffer, 4) && std::string(buffer, 4) == "####";
       }},
      {"GetDeviceName",
       [](unsigned i) {
         char buffer[4] = {'#', '#', '#', '#'};
         return !GetDeviceName(i, buffer, 4) && std::string(buffer, 4) == "####";
       }},
      {"RenameDevice", [](unsigned i) { return !RenameDevice(i, "NAME"); }},
      {"OpenDevice", [](unsigned i) { return !OpenDevice(i); }},
      {"CloseDevice", [](unsigned i) { return !CloseDevice(i); }},
      {"Run", [](unsigned i) { return !Run(i); }},
      {"SM_GetCount", [](unsigned i) { return SM_GetCount(i) == -1; }},
      {"InitializeAll", [](unsigned i) {
         InitializeAll(i);
         return true;  // nothing to return: the caller checks that nothing moved
       }},
      {"StopAll", [](unsigned i) {
         StopAll(i);
         return true;
       }},
  };
  return calls;
}

class ApiBadInputTest : public ApiTest {
protected:
  // Box 0 with motors A, B on channels 0, 1, both moved and with a zero; channel 2 had motor C,
  // moved to 50 steps and then removed: it keeps its live state, so a call that wrongly accepted
  // channel 2 (the motor count) would see a motor there.
  void Populate() {
    ASSERT_EQ(Start(), 1);
    AddMotors(0, {"A", "B", "C"});
    ASSERT_TRUE(SM_Move(0, 0, 0.2));
    ASSERT_TRUE(SM_Move(0, 1, -0.3));
    ASSERT_TRUE(SM_Move(0, 2, 0.5));
    for (std::uint32_t c = 0; c < 3; ++c) ASSERT_TRUE(TickUntilIdle(0, c));
    ASSERT_TRUE(SM_SetZero(0, 2));
    ASSERT_TRUE(SM_Remove(0, 2));
    ASSERT_EQ(SM_GetCount(0), 2);
    boxsim_clear(kSerial);
  }

  // Nothing moved, nothing was written, nothing was saved.
  void ExpectUntouched(const ByteImage& file) {
    TickFor(0.05);
    EXPECT_TRUE(WireBytes(kSerial).empty());
    EXPECT_EQ(ReadFileBytes(SettingsFile(kSerial)), file);
    EXPECT_EQ(SM_GetCount(0), 2);
    // The freed channel starts afresh (a motor added there later must not inherit C's state).
    SMotor removed = Channel(0, 2);
    EXPECT_EQ(removed.position, 0);
    EXPECT_EQ(removed.zero, 0);
    EXPECT_EQ(removed.direction, 0);
    EXPECT_DOUBLE_EQ(SM_GetPosition(0, 0), 0.2);
    EXPECT_DOUBLE_EQ(SM_GetPosition(0, 1), -0.3);
  }
};

TEST_F(ApiBadInputTest, MotorIndicesAtAndBeyondTheCountsAreRefused) {
  Populate();
  ByteImage file = ReadFileBytes(SettingsFile(kSerial));
  const std::pair<std::uint32_t, std::uint32_t> indices[] = {
      {0, 2},  {0, 3},  {0, 7}, {0, 8}, {0, 0x7FFFFFFFu}, {0, 0x80000000u}, {0, 0xFFFFFFFFu},
      {1, 0},  {1, 2},  {2, 0}, {0xFFFFFFFFu, 0}, {0xFFFFFFFFu, 0xFFFFFFFFu},
  };
  for (const MotorCall& call : MotorCalls()) {
    for (auto [device, channel] : indices) {
      EXPECT_TRUE(call.refused(device, channel)) << call.name << "(" << device << ", " << channel << ")";
    }
  }
  ExpectUntouched(file);
}

TEST_F(ApiBadInputTest, DeviceIndicesAtAndBeyondTheCountAreRefused) {
  Populate();
  ByteImage file = ReadFileBytes(SettingsFile(kSerial));
  for (const DeviceCall& call : DeviceCalls()) {
    for (unsigned index : {1u, 2u, 53u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
      EXPECT_TRUE(call.refused(index)) << call.name << "(" << index << ")";
    }
  }
  MotorInfo info;
  EXPECT_FALSE(SM_GetInfoInAll(2, &info));
  EXPECT_FALSE(SM_GetInfoInAll(0xFFFFFFFFu, &info));
  EXPECT_EQ(GetDeviceIndex("API00002"), -1);
  ExpectUntouched(file);
}

TEST_F(ApiBadInputTest, NullPointersAreRefused) {
  Populate();
  api::SetSetupDialog(nullptr);
  ByteImage file = ReadFileBytes(SettingsFile(kSerial));
  std::uint32_t device = 99;
  std::uint32_t channel = 99;
  EXPECT_EQ(GetDeviceIndex(nullptr), -1);
  EXPECT_FALSE(GetDeviceSernum(0, nullptr, 16));
  EXPECT_FALSE(GetDeviceType(0, nullptr, 16));
  EXPECT_FALSE(GetDeviceName(0, nullptr, 16));
  EXPECT_FALSE(RenameDevice(0, nullptr));
  EXPECT_EQ(SM_GetIndex(nullptr, &channel, "A", nullptr, -1), -1);
  EXPECT_EQ(SM_GetIndex(&device, nullptr, "A", nullptr, -1), -1);
  EXPECT_EQ(SM_GetIndex(&device, &channel, nullptr, nullptr, -1), -1);
  EXPECT_EQ(SM_GetIndex(&device, &channel, nullptr, kSerial, -1), -1);
  EXPECT_EQ(device, 99u);
  EXPECT_EQ(channel, 99u);
  EXPECT_FALSE(SM_GetInfoInAll(0, nullptr));
  EXPECT_EQ(SM_GetType(0, 0, nullptr, 16), -1);
  EXPECT_FALSE(SM_GetInfo(0, 0, nullptr));
  EXPECT_EQ(SM_Setup(0, -1, nullptr), -1);  // the dialog's case, while no dialog exists
  EXPECT_EQ(SM_Setup(0, 0, nullptr), -1);
  EXPECT_EQ(SMN_GetTarget(nullptr), 0.0);
  EXPECT_FALSE(SMN_Setup(nullptr));
  EXPECT_FALSE(SMN_Move(nullptr, 1.0, false));
  EXPECT_FALSE(api::MoveByName(nullptr, 1.0, true, 0));
  EXPECT_FALSE(SMN_StepMove(nullptr, 5, true));
  EXPECT_EQ(SMN_IsRunning(nullptr), -1);
  EXPECT_FALSE(SMN_Stop(nullptr));
  EXPECT_FALSE(SMN_SetZero(nullptr));
  EXPECT_FALSE(SMN_Reset(nullptr));
  EXPECT_FALSE(SMN_Release(nullptr));
  EXPECT_EQ(INF_GetMTypeName(0x85, nullptr), -1);
  // A null serial is no failure: it means "on any device".
  EXPECT_EQ(SM_GetIndex(&device, &channel, "B", nullptr, -1), 1);
  EXPECT_EQ(channel, 1u);
  ExpectUntouched(file);
}

// A call by name; true when it found its motor (and did its work).
struct NameCall {
  const char* name;
  std::function<bool(const char*)> found;
};

TEST_F(ApiBadInputTest, NamesLongerThanARecordHoldsMatchNoMotor) {
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 1, "NINECHARS"), 0);
  MoveAndRest(0, 0, 0.1);
  const NameCall calls[] = {
      {"SMN_GetTarget", [](const char* n) { return SMN_GetTarget(n) != 0.0; }},
      {"SMN_IsRunning", [](const char* n) { return SMN_IsRunning(n) != -1; }},
      {"SMN_Move", [](const char* n) { return SMN_Move(n, 0.1, false); }},
      {"SMN_StepMove", [](const char* n) { return SMN_StepMove(n, 10, false); }},
      {"SMN_Stop", [](const char* n) { return SMN_Stop(n); }},
      {"SMN_SetZero", [](const char* n) { return SMN_SetZero(n) && SMN_SetZero(n); }},
      {"SMN_Release", [](const char* n) { return SMN_Release(n); }},
      {"SMN_Reset", [](const char* n) { return SMN_Reset(n); }},
      {"SM_GetIndex",
       [](const char* n) {
         std::uint32_t d = 0, c = 0;
         return SM_GetIndex(&d, &c, n, nullptr, -1) == 1;
       }},
  };
  for (const NameCall& call : calls) {
    SCOPED_TRACE(call.name);
    EXPECT_FALSE(call.found("NINECHARSX"));
    EXPECT_FALSE(call.found("NINECHARSXYZABCDEFGHI"));
    EXPECT_FALSE(call.found("NINECHAR"));
    EXPECT_FALSE(call.found(""));
  }
  for (const NameCall& call : calls) {
    SCOPED_TRACE(call.name);
    EXPECT_TRUE(call.found("NINECHARS"));
  }
}

TEST_F(ApiBadInputTest, CallsBeforeInitPluginAreRefused) {
  boxsim_plug("VORK-KADO", kSerial);
  for (const MotorCall& call : MotorCalls()) EXPECT_TRUE(call.refused(0, 0)) << call.name;
  for (const DeviceCall& call : DeviceCalls()) EXPECT_TRUE(call.refused(0)) << call.name;
  EXPECT_EQ(SM_GetCountInAll(), 0u);
  EXPECT_EQ(GetDeviceIndex(kSerial), -1);
  EXPECT_EQ(SMN_IsRunning("A"), -1);
  EXPECT_TRUE(SM_ReleaseAll());  // no device, so none failed
  CloseAllDevices();
  Exit();
  EXPECT_EQ(boxsim_is_open(kSerial), 0);  // nothing was opened on the way
  EXPECT_EQ(InitPlugin(), 1);
}

TEST_F(ApiBadInputTest, CallsAfterExitAreRefusedAndExitTwiceIsHarmless) {
  Populate();
  Exit();
  Exit();
  for (const MotorCall& call : MotorCalls()) EXPECT_TRUE(call.refused(0, 0)) << call.name;
  for (const DeviceCall& call : DeviceCalls()) EXPECT_TRUE(call.refused(0)) << call.name;
  EXPECT_EQ(SM_GetCountInAll(), 0u);
  EXPECT_EQ(SMN_IsRunning("A"), -1);
  EXPECT_FALSE(SMN_Move("A", 1.0, false));
  EXPECT_EQ(boxsim_is_open(kSerial), 0);
  EXPECT_TRUE(WireBytes(kSerial).empty());
}

}  // namespace
}  // namespace mervane::testing
