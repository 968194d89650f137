// The bus decoder against the byte sequences the library sends, for every kind of motor.
#include <gtest/gtest.h>

#include <ostream>
#include <vector>

#include "boxsim/decoder.h"

namespace mervane::boxsim {
namespace {

struct DecodeCase {
  const char* name;
  MotorKind kind;  // wired to the connector under test
  int address;
  std::vector<std::uint8_t> bytes;
  long long position;
  long long errors;
  bool energised;
};

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }

class BoxsimDecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(BoxsimDecodeTest, EndsAtPositionWithErrors) {
  const DecodeCase& c = GetParam();
  BusDecoder bus;
  ASSERT_TRUE(bus.Wire(c.address, c.kind));
  bus.Feed(c.bytes);
  const Connector* connector = bus.At(c.address);
  ASSERT_NE(connector, nullptr);
  EXPECT_EQ(connector->Position(), c.position);
  EXPECT_EQ(connector->Errors(), c.errors);
  EXPECT_EQ(connector->Energised(), c.energised);
}

using K = MotorKind;
const DecodeCase kDecodeCases[] = {
    {"FourWireUp", K::FourWire, 1, {0x84, 0x84, 0xF4, 0x82, 0x82, 0xF2}, 2, 0, true},
    {"FourWireDownWraps", K::FourWire, 1, {0x81, 0xF1, 0x82, 0xF2}, -2, 0, true},
    {"FourWireFullTurnWraps", K::FourWire, 1, {0x84, 0x82, 0x81, 0x88, 0x84, 0xF4}, 5, 0, true},
    {"FourWireRestsOnFirstPhase", K::FourWire, 1, {0x88, 0xF8}, 0, 0, true},
    {"FourWireSkippedPhaseIsError", K::FourWire, 1, {0x82, 0xF2, 0x81, 0xF1}, 1, 1, true},
    {"FourWireHalfPatternIsError", K::FourWire, 1, {0x8C, 0xFC}, 0, 1, true},
    {"FourWireHalfUpFullCycle", K::FourWireHalf, 1,
     {0x8C, 0x84, 0x86, 0x82, 0x83, 0x81, 0x89, 0x88, 0xF8}, 8, 0, true},
    {"FourWireHalfDownWraps", K::FourWireHalf, 1, {0x89, 0x81, 0x83, 0xF3}, -3, 0, true},
    {"FourWireHalfFullStepIsError", K::FourWireHalf, 1, {0x84, 0xF4}, 0, 1, true},
    {"SynchronUpFullCycle", K::Synchron, 1, {0x82, 0x84, 0x81, 0x88, 0xF8}, 4, 0, true},
    {"SynchronDownWraps", K::Synchron, 1, {0x81, 0x84, 0xF4}, -2, 0, true},
    {"SynchronFourWireOrderIsError", K::Synchron, 1, {0x84, 0x84, 0xF4, 0x82, 0x82, 0xF2}, -1, 1,
     true},
    {"SynchronHalfUpFullCycle", K::SynchronHalf, 1,
     {0x8A, 0x82, 0x86, 0x84, 0x85, 0x81, 0x89, 0x88, 0xF8}, 8, 0, true},
    {"SynchronHalfDownWraps", K::SynchronHalf, 1, {0x89, 0x81, 0xF1}, -2, 0, true},
    // 02 is no neighbour of the resting 08: resuming is compared with the last drive, 04.
    {"ReleaseThenResumeFromLastDrive", K::FourWire, 1, {0x84, 0xF4, 0x80, 0xF0, 0x82, 0xF2}, 2, 0,
     true},
    {"ReleaseDoesNotMove", K::FourWire, 1, {0x84, 0xF4, 0x80, 0xF0, 0x84, 0xF4}, 1, 0, true},
    {"ReleaseDeEnergises", K::FourWire, 3, {0xA4, 0xF4, 0xA0, 0xF0}, 1, 0, false},
    {"TwoWireSetUp", K::TwoWire, 2, {0x98, 0x98, 0x98, 0x98, 0xF8}, 0, 0, true},
    {"TwoWireStepUp", K::TwoWire, 2,
     {0x98, 0x98, 0x98, 0x98, 0xF8, 0x98, 0x98, 0x98, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0x98,
      0x98, 0x98, 0xF8},
     1, 0, true},
    {"TwoWireStepDown", K::TwoWire, 2,
     {0x9C, 0x9C, 0xFC, 0x9C, 0x9C, 0x9C, 0x94, 0x94, 0x94, 0x9C, 0x9C, 0x9C, 0xFC}, -1, 0, true},
    {"TwoWireTwoUpOneDown", K::TwoWire, 2,
     {0x98, 0xF8, 0x98, 0x90, 0x98, 0x90, 0x98, 0xF8, 0x9C, 0x94, 0x9C, 0xFC}, 1, 0, true},
    {"TwoWireReleasedRiseIsNoStep", K::TwoWire, 2, {0x98, 0xF8, 0x90, 0xF0, 0x98, 0xF8}, 0, 0,
     true},
    {"TwoWireReleasedReadsDeEnergised", K::TwoWire, 2, {0x98, 0xF8, 0x90, 0xF0}, 0, 0, false},
    // A low step line with the direction line set is no release: the latched pulse completes.
    {"TwoWireLatchedLowCompletes", K::TwoWire, 2, {0x9C, 0x94, 0xF4, 0x9C, 0xFC}, -1, 0, true},
    {"BytesWithoutBit7Ignored", K::TwoWire, 2, {0x98, 0x90, 0x10, 0x08, 0x98, 0xF8}, 1, 0, true},
};

INSTANTIATE_TEST_SUITE_P(Vectors, BoxsimDecodeTest, ::testing::ValuesIn(kDecodeCases),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(BoxsimDecoderTest, InterleavedAddressesLatchTheirLines) {
  BusDecoder bus;
  bus.Wire(1, MotorKind::FourWire);
  bus.Wire(3, MotorKind::FourWireHalf);
  // Connector 2 is unwired and so decodes as two-wire.
  bus.Feed(std::vector<std::uint8_t>{0x9C, 0xFC, 0x84, 0xF4, 0x94, 0xF4, 0xAC, 0x82, 0xF2, 0x9C,
                                     0xFC});
  EXPECT_EQ(bus.At(1)->Position(), 2);
  EXPECT_EQ(bus.At(2)->Position(), -1);
  EXPECT_EQ(bus.At(3)->Position(), 1);
  for (int a = 1; a <= 3; ++a) EXPECT_EQ(bus.At(a)->Errors(), 0) << a;
}

TEST(BoxsimDecoderTest, ReleaseAllDeEnergisesEveryConnectorAndKeepsPositions) {
  BusDecoder bus;
  for (int a = 1; a <= kConnectors; ++a) {
    bus.Wire(a, MotorKind::FourWire);
    bus.Feed(static_cast<std::uint8_t>(0x74 + 0x10 * a));  // pattern 04 on connector a
  }
  bus.Feed(std::vector<std::uint8_t>{0x80, 0xF0, 0x90, 0xF0, 0xA0, 0xF0, 0xB0, 0xF0, 0xC0, 0xF0,
                                     0xD0, 0xF0, 0xE0, 0xF0});
  for (int a = 1; a <= kConnectors; ++a) {
    EXPECT_FALSE(bus.At(a)->Energised()) << a;
    EXPECT_EQ(bus.At(a)->Position(), 1) << a;
  }
}

// Another process going on from the saved state decodes the next step as this one would: the
// rotor phase, a half-done two-wire pulse and the selected address all survive the round trip.
TEST(BoxsimDecoderTest, SavedStateDecodesOnAsIfNeverStopped) {
  BusDecoder bus;
  bus.Wire(1, MotorKind::FourWire);
  bus.Wire(2, MotorKind::TwoWire);
  bus.Wire(3, MotorKind::SynchronHalf);
  // Connector 1: 08 -> 04 -> 02 (two steps, resting on phase 2); connector 3: 08 -> 0A -> 02;
  // connector 2: step line high, then low (armed), still selected at the end.
  bus.Feed(std::vector<std::uint8_t>{0x88, 0x84, 0x82, 0xA8, 0xAA, 0xA2, 0x98, 0x90});
  BusDecoder copy;
  ASSERT_TRUE(copy.Restore(bus.Save()));
  EXPECT_EQ(copy.Save(), bus.Save());
  // The rise on connector 2 completes the pulse, then the next phases on 1 and 3.
  const std::vector<std::uint8_t> next = {0x98, 0x81, 0x88, 0xA6, 0xA4};
  bus.Feed(next);
  copy.Feed(next);
  for (int a = 1; a <= 3; ++a) {
    EXPECT_EQ(copy.At(a)->Position(), bus.At(a)->Position()) << a;
    EXPECT_EQ(copy.At(a)->Errors(), 0) << a;
  }
  EXPECT_EQ(copy.At(1)->Position(), 4);
  EXPECT_EQ(copy.At(2)->Position(), 1);
  EXPECT_EQ(copy.At(3)->Position(), 4);
  // A fresh decoder, its rotor back on the first phase, reads the same two steps as one back
  // and one forward: the count of every process after the first would drift.
  BusDecoder fresh;
  fresh.Wire(1, MotorKind::FourWire);
  fresh.Feed(std::vector<std::uint8_t>{0x81, 0x88});
  EXPECT_EQ(fresh.At(1)->Position(), 0);
}

TEST(BoxsimDecoderTest, RestoreRefusesWhatIsNoSavedState) {
  BusDecoder bus;
  bus.Wire(1, MotorKind::FourWire);
  bus.Feed(std::vector<std::uint8_t>{0x88, 0x84});
  const std::string before = bus.Save();
  std::string wrongKind = before;
  wrongKind.replace(wrongKind.find("four-wire"), 9, "five-wire");
  std::string badLines = before;
  badLines.replace(badLines.find(" 4 4 0"), 6, " 99 4 0");
  for (const std::string& text : {std::string(), std::string("selected 9\n"), before.substr(0, before.size() / 2),
                                   wrongKind, badLines}) {
    EXPECT_FALSE(bus.Restore(text)) << text;
    EXPECT_EQ(bus.Save(), before) << "unchanged after " << text;
  }
}

TEST(BoxsimDecoderTest, RewiringAndPowerOff) {
  BusDecoder bus;
  EXPECT_FALSE(bus.At(1)->Energised());
  EXPECT_EQ(bus.At(0), nullptr);
  EXPECT_EQ(bus.At(8), nullptr);
  EXPECT_FALSE(bus.Wire(0, MotorKind::FourWire));
  EXPECT_FALSE(bus.Wire(8, MotorKind::FourWire));

  bus.Wire(1, MotorKind::FourWire);
  bus.Feed(std::vector<std::uint8_t>{0x82, 0x84, 0xF4});  // 08 to 02 skips a phase
  EXPECT_EQ(bus.At(1)->Errors(), 1);
  bus.Wire(1, MotorKind::FourWire);
  EXPECT_EQ(bus.At(1)->Position(), 0);
  EXPECT_EQ(bus.At(1)->Errors(), 0);
  EXPECT_FALSE(bus.At(1)->Energised());

  // Mid-pulse power loss: the rise after power-up completes nothing.
  bus.Feed(std::vector<std::uint8_t>{0x98, 0x90});
  bus.PowerOff();
  EXPECT_FALSE(bus.At(2)->Energised());
  bus.Feed(std::vector<std::uint8_t>{0x98, 0xF8});
  EXPECT_EQ(bus.At(2)->Position(), 0);
}

TEST(BoxsimDecoderTest, ParsesExactlyTheFiveKindNames) {
  EXPECT_EQ(ParseMotorKind("two-wire"), MotorKind::TwoWire);
  EXPECT_EQ(ParseMotorKind("four-wire"), MotorKind::FourWire);
  EXPECT_EQ(ParseMotorKind("four-wire-half"), MotorKind::FourWireHalf);
  EXPECT_EQ(ParseMotorKind("synchron"), MotorKind::Synchron);
  EXPECT_EQ(ParseMotorKind("synchron-half"), MotorKind::SynchronHalf);
  for (const char* bad : {"", "Four-wire", "four-wire ", "half", "stepper"}) {
    EXPECT_FALSE(ParseMotorKind(bad).has_value()) << bad;
  }
}

}  // namespace
}  // namespace mervane::boxsim
