// The registered functions through a recording host against an emulated box, with the tick driven
// by hand: motion to the step, "Motor Stopped" once per stop with its channel, and the motor
// operations behind every function.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <thread>

#include "api_fixture.h"
#include "mervane_plugin.h"
#include "plugin/plugin.h"
#include "plugin_host/host_kit.h"

namespace mervane::testing {
namespace {

using host_kit::Block;
using host_kit::Call;
using host_kit::Rec;

class PluginHandlersTest : public ApiTest {
protected:
  void SetUp() override {
    ApiTest::SetUp();
    host_kit::ResetRecording();
    ASSERT_EQ(boxsim_plug("VORK-KADO", kSerial), 0);
    ASSERT_EQ(boxsim_wire(kSerial, 1, "four-wire"), 0);
    ASSERT_EQ(boxsim_wire(kSerial, 2, "four-wire"), 0);
    host_ = host_kit::MakeHost(111, folder_.WithSlash());
    ASSERT_EQ(InitZelPlugin(&host_), 0);
    ASSERT_EQ(AddMotor(0, 1, "M0", 10.0f), 0);
    ASSERT_EQ(AddMotor(0, 2, "M1", 10.0f), 1);
  }
  void TearDown() override {
    plugin::SetShowWindowHook(nullptr);
    ApiTest::TearDown();
  }

  // Manual timing has no event thread: the stops handed over so far are raised here first.
  static std::vector<std::int32_t> RaisedChannels() {
    FlushStoppedEvents();
    std::vector<std::int32_t> channels;
    for (const host_kit::Raise* r : host_kit::Raises()) {
      EXPECT_EQ(r->handle, host_kit::kEventHandle);
      channels.push_back(r->value);
    }
    return channels;
  }
  static std::int32_t IntResult(const char* function, const char* name, std::int32_t* result = nullptr) {
    Block in = host_kit::NameBlock(name);
    Block out = Block::Output(4);
    const std::int32_t r = Call(function, in.Data(), out.Data());
    if (result != nullptr) *result = r;
    EXPECT_TRUE(out.GuardIntact());
    return out.IntAt(0);
  }
  static double Position(const char* name) {
    Block in = host_kit::NameBlock(name);
    Block out = Block::Output(8);
    EXPECT_EQ(Call("Motor Position", in.Data(), out.Data()), 0);
    return out.DoubleAt(0);
  }

  ZelHostInterface host_{};
};

TEST_F(PluginHandlersTest, InitZelPluginStartsTheDriverInTheHostsFolder) {
  EXPECT_TRUE(CheckDeviceConnection(0));
  EXPECT_EQ(std::string(ConfigDirBuffer()), folder_.WithSlash());
  EXPECT_TRUE(std::filesystem::exists(SettingsFile(kSerial)));  // saved by the setups
  EXPECT_EQ(Rec().functions.size(), 11u);
}

TEST_F(PluginHandlersTest, MovesRunToTheStepAndRaiseOncePerStop) {
  Block out = host_kit::MoveBlock(2.5, false, "M1");
  ASSERT_EQ(Call("Move Motor", out.Data(), nullptr), 0);
  EXPECT_EQ(IntResult("Motor Is Running", "M1"), 1);
  EXPECT_TRUE(RaisedChannels().empty());
  ASSERT_TRUE(TickUntilIdle(0, 1));
  TickFor(0.5);
  EXPECT_EQ(RaisedChannels(), (std::vector<std::int32_t>{1}));
  EXPECT_EQ(host_kit::Raises()[0]->thread, std::this_thread::get_id());  // the flush ran here
  EXPECT_EQ(IntResult("Motor Is Running", "M1"), 0);
  EXPECT_EQ(Position("M1"), 2.5);
  EXPECT_EQ(boxsim_position(kSerial, 2), 25);

  Block back = host_kit::Move2Block(-1, true, "M1");
  ASSERT_EQ(Call("Move2Motor", back.Data(), nullptr), 0);
  Block quick = host_kit::QuickMoveBlock(1, false, 9, "M0");
  ASSERT_EQ(Call("QuickMoveMotor", quick.Data(), nullptr), 0);
  ASSERT_TRUE(TickUntilIdle(0, 1));
  ASSERT_TRUE(TickUntilIdle(0, 0));
  TickFor(0.5);
  std::vector<std::int32_t> raised = RaisedChannels();
  std::sort(raised.begin() + 1, raised.end());  // the two ran at once: either may stop first
  EXPECT_EQ(raised, (std::vector<std::int32_t>{1, 0, 1}));
  EXPECT_EQ(Position("M1"), 1.5);
  EXPECT_EQ(Position("M0"), 1.0);
  EXPECT_EQ(boxsim_position(kSerial, 2), 15);
  EXPECT_EQ(boxsim_position(kSerial, 1), 10);
  EXPECT_EQ(Rec().logs, (std::vector<std::string>{"mervane|0|MoveMotor(2.5, false, M1)=true",
                                                  "mervane|0|MoveMotor(-1, true, M1)=true",
                                                  "mervane|0|MoveMotor(1, false, M0)=true"}));
}

TEST_F(PluginHandlersTest, MoveToTheHeldPositionRaisesOnceWithoutMoving) {
  Block stay = host_kit::MoveBlock(0, false, "M1");
  ASSERT_EQ(Call("Move Motor", stay.Data(), nullptr), 0);
  EXPECT_EQ(RaisedChannels(), (std::vector<std::int32_t>{1}));
  EXPECT_EQ(IntResult("Motor Is Running", "M1"), 0);
}

TEST_F(PluginHandlersTest, StopMotorEndsAMoveEarlyWithOneRaise) {
  Block far = host_kit::QuickMoveBlock(100, false, 0, "M1");
  ASSERT_EQ(Call("QuickMoveMotor", far.Data(), nullptr), 0);
  TickFor(0.05);
  Block name = host_kit::NameBlock("M1");
  EXPECT_EQ(Call("Stop Motor", name.Data(), nullptr), 0);
  ASSERT_TRUE(TickUntilIdle(0, 1, 2.0));
  TickFor(0.2);
  EXPECT_EQ(RaisedChannels(), (std::vector<std::int32_t>{1}));
  const double at = Position("M1");
  EXPECT_GT(at, 0.0);
  EXPECT_LT(at, 10.0);
  EXPECT_EQ(at, SM_GetPosition(0, 1));
}

TEST_F(PluginHandlersTest, MotorInfoReportsTheRecordLiveValuesAndSpeeds) {
  Block move = host_kit::MoveBlock(2, false, "M1");
  ASSERT_EQ(Call("Move Motor", move.Data(), nullptr), 0);
  ASSERT_TRUE(TickUntilIdle(0, 1));
  ASSERT_EQ(IntResult("Set Zero", "M1"), 1);

  struct Case {
    std::int32_t index;
    const char* name;
    const char* type;
    double position, zero, speedMin, speedMax;
  };
  // M0 and M1: 1 ms and 5 ms step times, coefficient 10.
  const Case cases[] = {
      {1, "M1", "X (4wires)", 2, 2, 10000, 2000}, {0, "M0", "X (4wires)", 0, 0, 10000, 2000},
      {-1, "???", "???", 0, 0, 0, 0},               {2, "???", "???", 0, 0, 0, 0},
      {INT32_MAX, "???", "???", 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.index);
    Block in = Block().Int(c.index);
    Block out = Block::Output(host_kit::kInfoSize);
    EXPECT_EQ(Call("Motor Info", in.Data(), out.Data()), 0);
    EXPECT_EQ(out.IntAt(host_kit::kInfoCount), 2);
    EXPECT_EQ(out.TextAt(host_kit::kInfoName, 10), c.name);
    EXPECT_EQ(out.TextAt(host_kit::kInfoType, 64), c.type);
    EXPECT_EQ(out.DoubleAt(host_kit::kInfoPosition), c.position);
    EXPECT_EQ(out.DoubleAt(host_kit::kInfoZero), c.zero);
    EXPECT_EQ(out.DoubleAt(host_kit::kInfoSpeedMin), c.speedMin);
    EXPECT_EQ(out.DoubleAt(host_kit::kInfoSpeedMax), c.speedMax);
    EXPECT_TRUE(out.GuardIntact());
  }
}

TEST_F(PluginHandlersTest, SetZeroTogglesTheZeroPoint) {
  Block move = host_kit::MoveBlock(2, false, "M1");
  ASSERT_EQ(Call("Move Motor", move.Data(), nullptr), 0);
  ASSERT_TRUE(TickUntilIdle(0, 1));
  std::int32_t result = -1;
  EXPECT_EQ(IntResult("Set Zero", "M1", &result), 1);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(Position("M1"), 0.0);
  Block name = host_kit::NameBlock("M1");
  EXPECT_EQ(Call("Set Zero", name.Data(), nullptr), 0);
  EXPECT_EQ(Position("M1"), 2.0);
}

TEST_F(PluginHandlersTest, ReleaseAndResetWorkWithAndWithoutAnOutputBlock) {
  Block move = host_kit::MoveBlock(2, false, "M1");
  ASSERT_EQ(Call("Move Motor", move.Data(), nullptr), 0);
  ASSERT_TRUE(TickUntilIdle(0, 1));
  ASSERT_EQ(boxsim_energised(kSerial, 2), 1);
  Block name = host_kit::NameBlock("M1");
  EXPECT_EQ(Call("Release Motor", name.Data(), nullptr), 0);
  TickFor(0.01);
  EXPECT_EQ(boxsim_energised(kSerial, 2), 0);
  EXPECT_EQ(IntResult("Release Motor", "M1"), 1);

  EXPECT_EQ(Call("ResetMotor", name.Data(), nullptr), 0);
  EXPECT_EQ(Position("M1"), 0.0);
  std::int32_t result = -1;
  EXPECT_EQ(IntResult("ResetMotor", "M1", &result), 1);
  EXPECT_EQ(result, 0);
}

TEST_F(PluginHandlersTest, SetupMotorGoesThroughTheSetupDialog) {
  api::SetSetupDialog(nullptr);
  EXPECT_EQ(IntResult("Setup Motor", "M1"), 0);  // no dialog installed
  static std::uint32_t seenChannel = 99;
  api::SetSetupDialog([](std::uint32_t, int channel, MotorRecord&) {
    seenChannel = static_cast<std::uint32_t>(channel);
    return true;
  });
  std::int32_t result = -1;
  EXPECT_EQ(IntResult("Setup Motor", "M1", &result), 1);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(seenChannel, 1u);
}

TEST_F(PluginHandlersTest, UnknownNamesFailWithoutTouchingOutputs) {
  struct Case {
    const char* function;
    std::int32_t result;
    std::int32_t output;  // the first four output bytes afterwards
  };
  const std::int32_t untouched = static_cast<std::int32_t>(0xCDCDCDCDu);
  const Case cases[] = {
      {"Setup Motor", 0, 0}, {"Motor Is Running", 0, -1}, {"Motor Position", 1, untouched},
      {"Stop Motor", 1, untouched}, {"Set Zero", 1, 0}, {"Release Motor", 1, 0}, {"ResetMotor", 1, 0},
  };
  for (const char* name : {"nobody", "", "M1\nM1", "M1 "}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.function) + " \"" + name + "\"");
      Block in = host_kit::NameBlock(name);
      Block out = Block::Output(8);
      EXPECT_EQ(Call(c.function, in.Data(), out.Data()), c.result);
      EXPECT_EQ(out.IntAt(0), c.output);
      EXPECT_TRUE(out.GuardIntact());
    }
  }
  Block move = host_kit::MoveBlock(1, true, "nobody");
  Block move2 = host_kit::Move2Block(1, false, "nobody");
  Block quick = host_kit::QuickMoveBlock(1, false, 3, "nobody");
  EXPECT_EQ(Call("Move Motor", move.Data(), nullptr), 1);
  EXPECT_EQ(Call("Move2Motor", move2.Data(), nullptr), 1);
  EXPECT_EQ(Call("QuickMoveMotor", quick.Data(), nullptr), 1);
  EXPECT_EQ(Rec().logs, (std::vector<std::string>{"mervane|0|MoveMotor(1, true, nobody)=false",
                                                  "mervane|0|MoveMotor(1, false, nobody)=false",
                                                  "mervane|0|MoveMotor(1, false, nobody)=false"}));
  EXPECT_TRUE(RaisedChannels().empty());
}

TEST_F(PluginHandlersTest, MenuClickOpensTheWindowOnceItExists) {
  ASSERT_NE(Rec().menuClick, nullptr);
  Rec().menuClick();  // no window yet: nothing happens
  static int opened = 0;
  plugin::SetShowWindowHook([] { ++opened; });
  Rec().menuClick();
  EXPECT_EQ(opened, 1);
}

TEST_F(PluginHandlersTest, ExitNoticeClosesEveryBoxAndSavesItsSettings) {
  Block move = host_kit::MoveBlock(2, false, "M1");
  ASSERT_EQ(Call("Move Motor", move.Data(), nullptr), 0);
  ASSERT_TRUE(TickUntilIdle(0, 1));
  std::filesystem::remove(SettingsFile(kSerial));
  ASSERT_NE(Rec().exitNotice, nullptr);
  Rec().exitNotice();
  EXPECT_FALSE(CheckDeviceConnection(0));
  EXPECT_EQ(boxsim_is_open(kSerial), 0);
  EXPECT_TRUE(std::filesystem::exists(SettingsFile(kSerial)));
  Block name = host_kit::NameBlock("M1");
  EXPECT_EQ(Call("Motor Position", name.Data(), nullptr), 1);  // no motor any more
}

}  // namespace
}  // namespace mervane::testing
