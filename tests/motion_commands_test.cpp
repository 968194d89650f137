// Command bytes on the wire: step, set-up and release commands of every drive, byte for byte as
// the box receives them, and the 127-byte rule of the per-tick output buffer.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "motor/commands.h"
#include "support.h"

namespace mervane::testing {
namespace {

using Bytes = ByteImage;

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// The expected commands, written out from the wire format rather than through motor/commands.h.
Bytes PhaseStep(std::uint8_t base, std::uint8_t pattern) {
  auto b = static_cast<std::uint8_t>(base | pattern);
  return {b, b, static_cast<std::uint8_t>(0xF0 | pattern)};
}
Bytes TwoWireSetup(std::uint8_t base, bool down) {
  auto high = static_cast<std::uint8_t>(base | (down ? 0x0C : 0x08));
  return {high, high, high, high, static_cast<std::uint8_t>(0xF0 | (high & 0x0F))};
}
Bytes TwoWireStep(std::uint8_t base, bool down) {
  auto high = static_cast<std::uint8_t>(base | (down ? 0x0C : 0x08));
  auto low = static_cast<std::uint8_t>(base | (down ? 0x04 : 0x00));
  return {high, high, high, low, low, low, low, low, low, high, high, high, static_cast<std::uint8_t>(0xF0 | (high & 0x0F))};
}

using MotionCommandsTest = MotionTest;

TEST_F(MotionCommandsTest, FourWireFromZeroToTwoFollowsTheAbsolutePhase) {
  int ch = AddMotor({.address = 1, .type = 0x85});
  ASSERT_TRUE(Start(ch, 2));
  Trace trace = TickAtDueTimes(ch, kT0);
  ASSERT_EQ(trace.stepTimes.size(), 2u);
  EXPECT_EQ(WireBytes(kSerial), (Bytes{0x84, 0x84, 0xF4, 0x82, 0x82, 0xF2}));
  EXPECT_EQ(WireWriteSizes(kSerial), (std::vector<int>{3, 3}));
  EXPECT_EQ(boxsim_position(kSerial, 1), 2);
  EXPECT_EQ(boxsim_errors(kSerial, 1), 0);
}

TEST_F(MotionCommandsTest, TwoWireSetUpThenFirstStepAfterMaxStepTime) {
  int ch = AddMotor({.address = 2, .type = 0x01, .maxStepTime = 10});
  ASSERT_TRUE(Start(ch, 5));
  Tick(Ms(0));
  EXPECT_EQ(WireBytes(kSerial), (Bytes{0x98, 0x98, 0x98, 0x98, 0xF8}));
  EXPECT_EQ(Motor(ch).position, 0) << "the set-up moves nothing";
  for (long k = 1; k < 10; ++k) Tick(Ms(k));
  EXPECT_EQ(WireBytes(kSerial).size(), 5u) << "no step before maxStepTime";
  EXPECT_DOUBLE_EQ(Motor(ch).nextStepTime, Ms(10));
  Tick(Motor(ch).nextStepTime);
  EXPECT_EQ(WireBytes(kSerial), Concat({{0x98, 0x98, 0x98, 0x98, 0xF8},
                                        {0x98, 0x98, 0x98, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0x98, 0x98, 0x98, 0xF8}}));
  EXPECT_EQ(Motor(ch).position, 1);
  EXPECT_EQ(boxsim_position(kSerial, 2), 1);
}

TEST_F(MotionCommandsTest, TwoWireDownUsesTheDirectionLine) {
  int ch = AddMotor({.address = 2, .type = 0x01, .maxStepTime = 10});
  ASSERT_TRUE(Start(ch, -5));
  Tick(Ms(0));
  Tick(Motor(ch).nextStepTime);
  EXPECT_EQ(WireBytes(kSerial), Concat({{0x9C, 0x9C, 0x9C, 0x9C, 0xFC},
                                        {0x9C, 0x9C, 0x9C, 0x94, 0x94, 0x94, 0x94, 0x94, 0x94, 0x9C, 0x9C, 0x9C, 0xFC}}));
  EXPECT_EQ(boxsim_position(kSerial, 2), -1);
}

// Eight steps up and eight back down through each phase table; the wire carries exactly the
// table's patterns for the absolute positions 1..8 and back 7..0.
struct PhaseCase {
  const char* name;
  std::uint8_t type;
  bool halfSteps;
  std::vector<std::uint8_t> table;  // pattern of position 0, 1, 2, ...
};
void PrintTo(const PhaseCase& c, std::ostream* os) { *os << c.name; }

class PhaseTableTest : public MotionTest, public ::testing::WithParamInterface<PhaseCase> {};

TEST_P(PhaseTableTest, StepsUpAndDownThroughTheTable) {
  const PhaseCase& c = GetParam();
  const std::uint8_t address = 4, base = 0xB0;
  int ch = AddMotor({.address = address, .type = c.type, .acceleration = 1, .minStepTime = 1, .halfSteps = c.halfSteps});
  long k = 0;
  ASSERT_TRUE(Start(ch, 8));
  TickUntilStopped(k, ch);
  ASSERT_TRUE(Start(ch, 0));
  TickUntilStopped(k, ch);
  Bytes expected;
  auto pattern = [&](int position) { return c.table[static_cast<std::size_t>(position) % c.table.size()]; };
  for (int p = 1; p <= 8; ++p) expected = Concat({expected, PhaseStep(base, pattern(p))});
  for (int p = 7; p >= 0; --p) expected = Concat({expected, PhaseStep(base, pattern(p))});
  EXPECT_EQ(WireBytes(kSerial), expected);
  EXPECT_EQ(boxsim_position(kSerial, address), 0);
  EXPECT_EQ(boxsim_errors(kSerial, address), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Drives, PhaseTableTest,
    ::testing::Values(PhaseCase{"FourWireFull", 0x85, false, {0x08, 0x04, 0x02, 0x01}},
                      PhaseCase{"FourWireHalf", 0x86, true, {0x08, 0x0C, 0x04, 0x06, 0x02, 0x03, 0x01, 0x09}},
                      PhaseCase{"SynchronFull", 0x2A, false, {0x08, 0x02, 0x04, 0x01}},
                      PhaseCase{"SynchronHalf", 0x2B, true, {0x08, 0x0A, 0x02, 0x06, 0x04, 0x05, 0x01, 0x09}}),
    ParamName());

// Release: every open sends it for all seven channels; SM_Release of one channel sends its own.
TEST_F(MotionCommandsTest, ReleaseAllIsTheFourteenBytesInOneWrite) {
  AddMotor({.address = 5});  // records do not matter: all seven bases go out in order
  {
    LibraryLock lock;
    ASSERT_TRUE(Release(Box(), 8));
  }
  EXPECT_EQ(WireBytes(kSerial), ReleaseAllBytes());
  EXPECT_EQ(WireWriteSizes(kSerial), (std::vector<int>{14}));
}

TEST_F(MotionCommandsTest, OpenSendsReleaseAll) {
  boxsim_plug("VORK-ql2", "MOT00002");
  boxsim_clear("MOT00002");
  {
    LibraryLock lock;
    ASSERT_EQ(RefreshDevices(), 2);
  }
  EXPECT_EQ(WireBytes("MOT00002"), ReleaseAllBytes());
}

TEST_F(MotionCommandsTest, ReleaseOfAddressThreeIsA0F0AndDeEnergises) {
  AddMotor({.address = 1});
  int ch = AddMotor({.address = 3});
  long k = 0;
  ASSERT_TRUE(Start(ch, 3));
  TickUntilStopped(k, ch);
  EXPECT_EQ(boxsim_energised(kSerial, 3), 1);
  boxsim_clear(kSerial);
  {
    LibraryLock lock;
    ASSERT_TRUE(Release(Box(), static_cast<std::uint32_t>(ch)));
  }
  EXPECT_EQ(WireBytes(kSerial), (Bytes{0xA0, 0xF0}));
  EXPECT_EQ(boxsim_energised(kSerial, 3), 0);
  EXPECT_EQ(boxsim_position(kSerial, 3), 3) << "a release keeps the position";
}

// The output buffer: a command is queued only below 127 bytes and never past byte 127.
TEST(OutputBufferTest, AppendsWholeCommandsBelowTheLimit) {
  // A bare device object: no box, no watchdog (manual timing), nothing written anywhere.
  const bool previousTiming = GetRuntime().manualTiming;
  GetRuntime().manualTiming = true;
  USBDriver device(0, "VORK-KADO", "BUF00001", 0);
  GetRuntime().manualTiming = previousTiming;
  const std::uint8_t step[13] = {0x98, 0x98, 0x98, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0x98, 0x98, 0x98, 0xF8};
  struct Case {
    std::uint32_t queued;
    std::uint32_t length;
    bool taken;
  };
  const Case cases[] = {
      {0, 13, true},     {114, 13, true},  // ends exactly at 127 bytes
      {115, 13, true},                     // fills the buffer to its last byte
      {116, 13, false},                    // would run past byte 127: dropped whole
      {124, 3, true},    {125, 3, true},  {126, 3, false}, {126, 2, true},
      {127, 1, false},   {127, 2, false}, {128, 1, false},
  };
  for (const Case& c : cases) {
    DeviceGuard guard(device);
    std::memset(device.output, 0x11, sizeof device.output);
    device.outputCount = c.queued;
    EXPECT_EQ(device.AppendCommand(step, c.length), c.taken) << c.queued << " + " << c.length;
    EXPECT_EQ(device.outputCount, c.queued + (c.taken ? c.length : 0));
    if (c.taken) {
      EXPECT_EQ(std::memcmp(device.output + c.queued, step, c.length), 0);
    }
    if (c.queued + c.length < kOutputSize || !c.taken) {
      std::uint32_t after = c.queued + (c.taken ? c.length : 0);
      for (std::uint32_t i = after; i < kOutputSize; ++i) EXPECT_EQ(device.output[i], 0x11) << "byte " << i << " touched";
    }
  }
}

// Seven two-wire channels set up, step and end (with auto release) in the same ticks: the
// largest tick there is (7 x 13 + 7 x 2 = 105 bytes) stays below the limit, so nothing is lost.
TEST_F(MotionCommandsTest, SevenTwoWireChannelsStepInOneWrite) {
  for (std::uint8_t a = 1; a <= 7; ++a)
    AddMotor({.address = a, .type = 0x01, .acceleration = 20, .minStepTime = 5, .maxStepTime = 10, .autoRelease = true});
  for (int ch = 0; ch < 7; ++ch) ASSERT_TRUE(Start(ch, 1, ch < 6));
  Tick(Ms(0));                    // seven set-ups
  Tick(Motor(6).nextStepTime);    // seven first steps, maxStepTime later
  Bytes setups, steps, releases;
  for (std::uint8_t a = 0; a < 7; ++a) {
    auto base = static_cast<std::uint8_t>(0x80 + 0x10 * a);
    setups = Concat({setups, TwoWireSetup(base, false)});
    steps = Concat({steps, TwoWireStep(base, false)});
    releases = Concat({releases, Bytes{base, 0xF0}});
  }
  EXPECT_EQ(WireWriteSizes(kSerial), (std::vector<int>{35, 91}));
  EXPECT_EQ(WireBytes(kSerial), Concat({setups, steps}));
  // A one-step move rests at its next due tick (rampConstant / 1 = 100 ms): seven releases.
  EXPECT_NEAR(Motor(6).nextStepTime, Ms(110), 1e-9);
  Tick(Motor(6).nextStepTime);
  EXPECT_EQ(WireWriteSizes(kSerial), (std::vector<int>{35, 91, 14}));
  EXPECT_EQ(WireBytes(kSerial), Concat({setups, steps, releases}));
  for (int a = 1; a <= 7; ++a) {
    EXPECT_EQ(boxsim_position(kSerial, a), 1) << a;
    EXPECT_EQ(boxsim_energised(kSerial, a), 0) << a;
  }
}

TEST_F(MotionCommandsTest, SevenTwoWireChannelsEndingTogetherFitWithTheirReleases) {
  // Short ramps: the last step and the auto release of all seven land in one 105-byte write.
  for (std::uint8_t a = 1; a <= 7; ++a)
    AddMotor({.address = a, .type = 0x01, .acceleration = 2, .minStepTime = 1, .maxStepTime = 1, .autoRelease = true});
  for (int ch = 0; ch < 7; ++ch) ASSERT_TRUE(Start(ch, 6, ch < 6));
  long k = 0;
  TickUntilStopped(k, 6);
  std::vector<int> sizes = WireWriteSizes(kSerial);
  ASSERT_FALSE(sizes.empty());
  EXPECT_EQ(sizes.back(), 7 * 13 + 7 * 2);
  for (int a = 1; a <= 7; ++a) {
    EXPECT_EQ(boxsim_position(kSerial, a), 6) << a;
    EXPECT_EQ(boxsim_errors(kSerial, a), 0) << a;
    EXPECT_EQ(boxsim_energised(kSerial, a), 0) << a;
  }
}

// The command builders themselves, for the bytes no move above produces (address code 8).
TEST(CommandBuilderTest, AddressEightAndClosingBytes) {
  commands::Buffer out{};
  EXPECT_EQ(commands::PhaseStep(0xF0, 0x09, out), 3u);
  EXPECT_EQ((Bytes(out.begin(), out.begin() + 3)), (Bytes{0xF9, 0xF9, 0xF9}));
  EXPECT_EQ(commands::TwoWireStep(0xF0, -1, out), 13u);
  EXPECT_EQ(out[3], 0xF4);
  EXPECT_EQ(out[12], 0xFC);
  std::uint8_t release[2] = {};
  EXPECT_EQ(commands::ReleaseCommand(0xE0, release), 2u);
  EXPECT_EQ(release[0], 0xE0);
  EXPECT_EQ(release[1], 0xF0);
  EXPECT_EQ(commands::DriveOf(0xC5), commands::Drive::FourWire);
  EXPECT_EQ(commands::DriveOf(0x6A), commands::Drive::Synchron);
  EXPECT_EQ(commands::DriveOf(0x44), commands::Drive::TwoWire);
}

}  // namespace
}  // namespace mervane::testing
