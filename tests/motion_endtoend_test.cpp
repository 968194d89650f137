// End to end through the box emulator: random moves of every motor kind in both directions,
// with stops and reversals in flight; after each move the position the emulator decoded from
// the wire must equal the library's, with no decoding error, and a release de-energises.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "support.h"

namespace mervane::testing {
namespace {

struct KindCase {
  const char* name;
  std::uint8_t type;
  bool halfSteps;
  std::uint8_t address;
};
void PrintTo(const KindCase& c, std::ostream* os) { *os << c.name; }

const KindCase kKinds[] = {
    {"TwoWire", 0x01, false, 1},      {"FourWire", 0x86, false, 2}, {"FourWireHalf", 0x87, true, 3},
    {"Synchron", 0x2C, false, 6},     {"SynchronHalf", 0x2D, true, 7},
};

constexpr std::int8_t kAcceleration = 8;

// What happens to a move while it runs.
enum class Interruption { None, Stop, Reverse, Retarget };

// Random targets, interruptions and delays from a fixed seed, so every run is the same.
class RandomMover {
public:
  explicit RandomMover(std::uint32_t seed) : rng_(seed) {}

  std::int32_t Target() { return std::uniform_int_distribution<std::int32_t>(-400, 400)(rng_); }
  Interruption Pick() { return static_cast<Interruption>(std::uniform_int_distribution<int>(0, 3)(rng_)); }
  int Delay() { return std::uniform_int_distribution<int>(1, 150)(rng_); }

private:
  std::mt19937 rng_;
};

class EndToEndTest : public MotionTest, public ::testing::WithParamInterface<KindCase> {
protected:
  // Runs one random move of `ch` and checks where it comes to rest.
  void RandomMove(RandomMover& mover, int ch, long& k, int& ups, int& downs, int& interruptions) {
    const std::int32_t from = Motor(ch).position;
    std::int32_t target = mover.Target();
    ASSERT_TRUE(Start(ch, target));
    (target > from ? ups : downs) += target != from ? 1 : 0;
    Interruption what = mover.Pick();
    int delay = mover.Delay();
    for (int i = 0; i < delay && Running(ch); ++i) Tick(Ms(k++));
    if (!Running(ch)) what = Interruption::None;
    std::int32_t stoppedAt = 0;
    switch (what) {
      case Interruption::None:
        break;
      case Interruption::Stop:
        stoppedAt = Motor(ch).position;
        Stop(ch);
        break;
      case Interruption::Reverse:
      case Interruption::Retarget:
        target = what == Interruption::Reverse ? 2 * Motor(ch).position - target : mover.Target();
        ASSERT_TRUE(Start(ch, target));
        break;
    }
    interruptions += what != Interruption::None ? 1 : 0;
    TickUntilStopped(k, ch);
    const std::int32_t rest = Motor(ch).position;
    if (what == Interruption::Stop) {
      EXPECT_LE(std::abs(rest - stoppedAt), kAcceleration) << "a stop runs down within the ramp length";
    } else {
      EXPECT_EQ(rest, target);
    }
  }
};

TEST_P(EndToEndTest, FiftyRandomMovesKeepTheDecodedPosition) {
  const KindCase& c = GetParam();
  int ch = AddMotor({.address = c.address, .type = c.type, .acceleration = kAcceleration, .minStepTime = 1,
                     .maxStepTime = 2, .halfSteps = c.halfSteps});
  RandomMover mover(0x5EED0000u + c.address);
  long k = 0;
  int ups = 0, downs = 0, interruptions = 0;
  for (int move = 0; move < 50; ++move) {
    SCOPED_TRACE("move " + std::to_string(move));
    RandomMove(mover, ch, k, ups, downs, interruptions);
    ASSERT_EQ(boxsim_position(kSerial, c.address), Motor(ch).position);
    ASSERT_EQ(boxsim_errors(kSerial, c.address), 0);
    ASSERT_EQ(boxsim_energised(kSerial, c.address), 1);
  }
  EXPECT_GE(ups, 10);
  EXPECT_GE(downs, 10);
  EXPECT_GE(interruptions, 15);
  {
    LibraryLock lock;
    ASSERT_TRUE(Release(Box(), static_cast<std::uint32_t>(ch)));
  }
  EXPECT_EQ(boxsim_energised(kSerial, c.address), 0);
  EXPECT_EQ(boxsim_position(kSerial, c.address), Motor(ch).position) << "a release does not move the motor";
}

INSTANTIATE_TEST_SUITE_P(Kinds, EndToEndTest, ::testing::ValuesIn(kKinds), ParamName());

// All five kinds on one box at once: their commands interleave in every write, each channel
// moving to its own random targets.
TEST_F(MotionTest, FiveKindsTogetherOnOneBox) {
  std::vector<int> channels;
  for (const KindCase& c : kKinds)
    channels.push_back(AddMotor({.address = c.address, .type = c.type, .acceleration = kAcceleration, .minStepTime = 1,
                                 .maxStepTime = 2, .halfSteps = c.halfSteps}));
  RandomMover mover(0x5EED1234u);
  long k = 0;
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    for (int ch : channels) ASSERT_TRUE(Start(ch, mover.Target(), ch != channels.back()));
    for (int i = mover.Delay(); i > 0; --i) Tick(Ms(k++));
    // Some stop, some turn back, while the others run on.
    for (int ch : channels) {
      if (!Running(ch)) continue;
      if (mover.Pick() == Interruption::Stop) {
        Stop(ch);
      } else {
        ASSERT_TRUE(Start(ch, mover.Target()));
      }
    }
    for (int ch : channels) TickUntilStopped(k, ch);
    for (std::size_t i = 0; i < channels.size(); ++i) {
      EXPECT_EQ(boxsim_position(kSerial, kKinds[i].address), Motor(channels[i]).position) << kKinds[i].name;
      EXPECT_EQ(boxsim_errors(kSerial, kKinds[i].address), 0) << kKinds[i].name;
    }
  }
  {
    LibraryLock lock;
    ASSERT_TRUE(Release(Box(), 8));
  }
  for (const KindCase& c : kKinds) EXPECT_EQ(boxsim_energised(kSerial, c.address), 0) << c.name;
}

}  // namespace
}  // namespace mervane::testing
