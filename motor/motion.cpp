// Motion generation: the start of a move and the per-tick step with its linear speed ramp.
#include <algorithm>
#include <atomic>
#include <limits>

#include "hardware/device.h"
#include "hardware/tick.h"
#include "motor/commands.h"
#include "motor/motor.h"

namespace mervane {

namespace {
// A step scheduled for a tick's grid point is due in that tick although the sums that led to both
// times carry rounding errors (of the order of 1e-12 s); the tolerance stays far below a period.
constexpr double kDueTolerance = 1e-6;  // seconds

constexpr std::int32_t Sign(std::int64_t value) { return value > 0 ? 1 : (value < 0 ? -1 : 0); }

std::int32_t SignToTarget(const SMotor& m) {
  return Sign(static_cast<std::int64_t>(m.target) - m.position);
}

std::uint32_t Distance(const SMotor& m) {
  std::int64_t d = static_cast<std::int64_t>(m.target) - m.position;
  return static_cast<std::uint32_t>(d < 0 ? -d : d);
}

// The record's acceleration, sign-extended, as the ramp's unsigned counter arithmetic sees it.
std::uint32_t Acceleration(const SMotor& m) { return static_cast<std::uint32_t>(std::int32_t{m.record->acceleration}); }

// The acceleration of the move in progress, as loaded at its start. A slot reconfigured meanwhile
// must not mix its new length into counters and intervals built from the old one (that divides
// by zero and leaves the motor running for good).
std::uint32_t MoveAcceleration(const SMotor& m) {
  return static_cast<std::uint32_t>(static_cast<std::int32_t>(m.accelSteps));
}

void Stopped(SMotor& m) { m.owner->NoteStopped(m.channel); }

// Queues the channel's release command into this tick's buffer, behind what is queued.
void AutoRelease(SMotor& m) {
  if (!m.record->autoRelease) return;
  std::uint8_t base = CommandBase(m.record->address);
  if (base == 0) return;
  std::uint8_t bytes[2];
  m.owner->AppendCommand(bytes, commands::ReleaseCommand(base, bytes));
}

// Emits one step (or the two-wire set-up). False when only the set-up went out.
bool Emit(SMotor& m, double now) {
  commands::Buffer bytes{};
  std::uint8_t type = m.record->type;
  commands::Drive drive = commands::DriveOf(type);
  if (drive != commands::Drive::TwoWire) {
    m.position += m.direction;
    ++m.owner->stepsQueued;
    std::uint8_t pattern = commands::PhasePattern(drive, m.record->halfSteps != 0, m.position);
    m.owner->AppendCommand(bytes.data(), commands::PhaseStep(m.commandBase, pattern, bytes));
    m.setupPending = false;
    return true;
  }
  if (m.setupPending) {
    m.owner->AppendCommand(bytes.data(), commands::TwoWireSetup(m.commandBase, m.direction, bytes));
    m.setupPending = false;
    m.nextStepTime = now + m.maxStepTime;
    return false;
  }
  m.position += m.direction;
  ++m.owner->stepsQueued;
  m.owner->AppendCommand(bytes.data(), commands::TwoWireStep(m.commandBase, m.direction, bytes));
  return true;
}

// The motor has come to rest at the end of a ramp.
void ComeToRest(SMotor& m) {
  m.rampState = RampState::Idle;
  AutoRelease(m);
  if (m.record->type & kTypeBlock) {
    if (m.position > m.record->length) {
      m.position = m.target = m.record->length;
    } else if (m.position < 0) {
      m.destination = m.target;
    }
  }
  m.nextStepTime = 0;
}
}  // namespace

bool StartMove(SMotor& m, std::int64_t relativeSteps, bool hold) {
  if (m.record == nullptr || m.owner == nullptr) return false;
  // A refusal leaves the channel exactly as it was (a stale target would later be taken for
  // "already there", and a wrapped one is where signed overflow starts). It does end a batch,
  // so that a broken Run cannot keep the tick off the box for good.
  auto refuse = [&m] {
    m.owner->batchHold = false;
    return false;
  };
  // The tick never steps a box that is not connected: a move accepted there would leave the
  // channel "running" for good, and every wait for it would run into its time limit.
  if (!m.owner->connected) return refuse();
  // Callers pass int32 values or differences of two; anything wider is no step position.
  constexpr std::int64_t kSpan = std::int64_t{1} << 32;
  if (relativeSteps < -kSpan || relativeSteps > kSpan || !InStepRange(relativeSteps + m.zero)) return refuse();
  const auto t = static_cast<std::int32_t>(relativeSteps + m.zero);
  // At rest the target may be stale: only the position says "there".
  if (t == m.target && (m.direction != 0 || t == m.position)) {
    // Every start settles the hold flag, so the last start of a batch always lets the tick back
    // in, even when that channel is already where it should be.
    m.owner->batchHold = hold;
    Stopped(m);
    return true;
  }
  if (m.direction == 0 && m.record->address == 0) return refuse();
  m.owner->batchHold = hold;
  // A resting tick timer must come back for this move (cheap when it is ticking anyway).
  WakeTickTimer();
  m.target = t;
  m.destination = t;
  if (m.direction != 0) {
    // Retarget the move in progress; a reversal first runs down its ramp.
    if (SignToTarget(m) != m.direction) {
      const std::uint32_t a = MoveAcceleration(m);
      if (m.rampState == RampState::Accelerating && m.rampCounter == a) {
        // No step taken yet: the motor still rests, so it simply sets off the other way.
        m.direction = SignToTarget(m);
        m.setupPending = true;
        m.nextStepTime = 0;
        if (m.direction == 0) {
          m.rampState = RampState::Idle;
          Stopped(m);
        }
        return true;
      }
      // Run down from the speed reached: as many steps as the acceleration has taken so far,
      // not what it had still to go (that would stop dead from near full speed).
      if (m.rampState == RampState::Accelerating) m.rampCounter = a - m.rampCounter;
      m.rampState = RampState::Decelerating;
      if (m.rampCounter == 0) m.rampCounter = a;
    }
    return true;
  }
  std::uint32_t a = Acceleration(m);
  m.commandBase = CommandBase(m.record->address);
  m.maxStepTime = m.record->maxStepTime * 0.001;
  m.minStepTime = m.record->minStepTime * 0.001;
  m.rampCounter = a;
  m.rampConstant = static_cast<double>(a) * m.minStepTime;
  m.accelSteps = m.record->acceleration;
  m.rampState = RampState::Accelerating;
  m.direction = SignToTarget(m);
  // Already there (the target moved onto the position): nothing runs, so say so now.
  if (m.direction == 0) Stopped(m);
  m.setupPending = true;
  m.nextStepTime = 0;
  return true;
}

void Step(SMotor& m, double now) {
  if (!(now >= m.nextStepTime - kDueTolerance)) return;
  if (m.direction == 0 || m.record == nullptr) {
    m.nextStepTime = 0;
    return;
  }
  if (m.position == m.target) {
    m.direction = 0;
    Stopped(m);
    m.nextStepTime = 0;
    m.rampState = RampState::Idle;
    AutoRelease(m);
    return;
  }
  // Targets lie inside int32, but the run-down of a reversal goes on past the position it
  // started from: at the end of the range the motor stops rather than wrap around.
  if (!InStepRange(static_cast<std::int64_t>(m.position) + m.direction)) {
    Halt(m);
    return;
  }
  if (!Emit(m, now)) return;

  std::uint32_t rem = SignToTarget(m) == m.direction ? Distance(m) : m.rampCounter;
  if (rem == 0) {
    if (m.direction != 0) Stopped(m);
    m.direction = 0;
    m.nextStepTime = 0;
    return;
  }

  const std::uint32_t a = MoveAcceleration(m);
  double dt = m.minStepTime;
  switch (m.rampState) {
    case RampState::Accelerating: {
      std::uint32_t c = --m.rampCounter;
      if (rem < a - c) {
        m.rampState = RampState::Decelerating;
        m.rampCounter = rem;
        dt = m.rampConstant / rem;
      } else if (c == 0) {
        m.rampState = RampState::Cruising;
        dt = m.minStepTime;
      } else {
        dt = m.rampConstant / (m.accelSteps - c);
      }
      break;
    }
    case RampState::Cruising:
      dt = m.minStepTime;
      if (rem <= a) {
        m.rampState = RampState::Decelerating;
        m.rampCounter = rem;
      }
      break;
    case RampState::Decelerating: {
      std::uint32_t c = --m.rampCounter;
      if (rem > c && SignToTarget(m) == m.direction) {
        // The target moved further away during the run-down: accelerate again.
        // Keep the speed of the last interval (rampConstant / (c + 1)); the acceleration goes on
        // from there. (A pause of rampCounter * maxStepTime here would stop a moving motor dead.)
        m.rampState = RampState::Accelerating;
        m.rampCounter = a - c;
        dt = m.rampConstant / (static_cast<double>(c) + 1.0);
      } else if (c != 0) {
        dt = m.rampConstant / c;
      } else {
        std::int32_t d = SignToTarget(m);
        if (d != m.direction) {
          m.direction = d;
          if (d == 0) Stopped(m);
        }
        if (m.direction != 0) {
          // A reversal ran down to a halt: start the other way at the next tick.
          m.rampState = RampState::Accelerating;
          m.rampCounter = a;
          m.setupPending = true;
          m.nextStepTime = 0;
          return;
        }
        ComeToRest(m);
        return;
      }
      break;
    }
    case RampState::Idle:
      break;
  }
  m.nextStepTime = now + dt;
}

void RequestStop(SMotor& m) {
  if (m.record == nullptr) return;
  if (m.direction != 0) {
    // Steps still to go to the target; zero or less while a reversal runs down.
    const std::int64_t ahead = (static_cast<std::int64_t>(m.target) - m.position) * m.direction;
    std::int64_t stopAfter = ahead;
    if (m.rampState != RampState::Decelerating)
      // Shorten to the ramp length, never lengthen: a short move must not overshoot its target.
      stopAfter = std::min<std::int64_t>(ahead, std::max<std::int64_t>(0, m.record->acceleration));
    else if (ahead <= 0)
      // A reversal running down: stop where the run-down ends instead of coming back.
      stopAfter = m.rampCounter;
    // A run-down past the end of the range stops at its end (Step halts there too).
    m.target = static_cast<std::int32_t>(std::clamp<std::int64_t>(m.position + stopAfter * m.direction,
                                                                 std::numeric_limits<std::int32_t>::min(),
                                                                 std::numeric_limits<std::int32_t>::max()));
  }
  m.destinationUnits = ToUnits(m, static_cast<std::int64_t>(m.target) - m.zero);
}

void Halt(SMotor& m) {
  if (m.direction != 0) Stopped(m);
  m.direction = 0;
  m.target = m.destination = m.position;
  m.rampState = RampState::Idle;
  m.rampCounter = 0;
  m.nextStepTime = 0;
  m.destinationUnits = ToUnits(m, static_cast<std::int64_t>(m.position) - m.zero);
}

void Initialize(SMotor& m) {
  if (m.record == nullptr || !(m.record->type & kTypeBlock)) return;
  double to = m.position - 1.1 * m.record->length;
  // A length read from a file may be anything; the cast of an out-of-range double is undefined.
  to = std::clamp(to, static_cast<double>(std::numeric_limits<std::int32_t>::min()),
                  static_cast<double>(std::numeric_limits<std::int32_t>::max()));
  StartMove(m, static_cast<std::int64_t>(to), false);
}

}  // namespace mervane
