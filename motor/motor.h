// Motor control: the live state of a channel (SMotor), the motor type table, conversions between
// steps and user units, motion generation (StartMove, Step), stopping and initialising a channel,
// channel (slot) configuration and release.
#pragma once

#include <cstdint>
#include <string>

namespace mervane {

class USBDriver;
struct MotorRecord;

enum class RampState : std::uint8_t { Idle = 0, Accelerating = 1, Cruising = 2, Decelerating = 3 };

// One motor channel of a box. Motion fields are written by the tick (Step) and by the control
// thread (StartMove, RequestStop, configuration); both do so only with the owner's device lock.
struct SMotor {
  USBDriver* owner = nullptr;
  MotorRecord* record = nullptr;  // record `channel` of the owner's settings block
  std::uint32_t channel = 0;
  std::uint8_t commandBase = 0;   // 0x80 + 0x10 * (address code - 1), loaded at every start
  std::int32_t position = 0;      // steps, absolute
  std::int32_t target = 0;        // steps, absolute: where the running move heads
  std::int32_t destination = 0;   // steps: the requested destination
  std::uint32_t rampCounter = 0;  // steps left in the current ramp phase
  RampState rampState = RampState::Idle;
  bool setupPending = false;      // a two-wire motor sends its direction set-up first
  std::int32_t direction = 0;     // -1, 0, +1; running exactly when non-zero
  std::int32_t zero = 0;          // user zero point, absolute steps
  double nextStepTime = 0;        // seconds on the tick's clock; 0 = at the next tick
  double rampConstant = 0;        // acceleration * minStepTime, seconds
  double accelSteps = 0;          // acceleration as a double
  double maxStepTime = 0;         // seconds
  double minStepTime = 0;         // seconds
  double destinationUnits = 0;    // user units, as last handed in or recomputed
};

// --- Motor types --------------------------------------------------------------------------
struct MotorType {
  std::uint8_t code;
  const char* name;
};
constexpr std::uint8_t kTypeFourWire = 0x80;
constexpr std::uint8_t kTypeSynchron = 0x20;
constexpr std::uint8_t kTypeBlock = 0x40;

int MotorTypeCount();                        // 25
const MotorType& MotorTypeAt(int index);     // index clamped into the table
const char* MotorTypeName(std::uint8_t code);  // "???" for an unknown code
int MotorTypeIndex(std::uint8_t code);       // 0 for an unknown code
// Command byte base of an address code 1..8 (0 for code 0: no address).
std::uint8_t CommandBase(std::uint8_t addressCode);

// --- Units --------------------------------------------------------------------------------
// units * coefficient, rounded half away from zero, truncated toward zero. False (steps 0) when
// the result is not a number or lies outside int32.
bool TryToSteps(const SMotor& motor, double units, std::int32_t& steps);
// The same, clamped into int32 (0 for not a number).
std::int32_t ToSteps(const SMotor& motor, double units);
// steps / coefficient; 0.0 without a record or with a zero coefficient. Takes 64 bits, so that
// differences of two step positions (position - zero, ...) are converted without overflow.
double ToUnits(const SMotor& motor, std::int64_t steps);
// Whether an absolute step position fits the channel's int32 fields.
bool InStepRange(std::int64_t steps);

// --- Motion (callers hold the owner's device lock) -------------------------------------------
// Heads for relativeSteps + zero. `hold` keeps the tick off the owner until a later start
// clears it, so that several channels begin in the same tick. Refused (false, the channel
// unchanged) when the owner is not connected, the target leaves int32, or a resting channel has
// no address code.
bool StartMove(SMotor& motor, std::int64_t relativeSteps, bool hold);
// One tick of a channel at time `now` (seconds): may queue its command into the owner's output.
void Step(SMotor& motor, double now);
// Shortens a running move to at most `acceleration` steps ahead, so the ramp runs down.
void RequestStop(SMotor& motor);
// Block types only: drives the axis 10 % beyond its length towards the low end.
void Initialize(SMotor& motor);
// Stops the channel dead where it is (no ramp): target and destination become the position. A
// channel that was running reports its stop. For motors that cannot move any more: the box is
// lost or being closed, or its last write failed. Real-time safe.
void Halt(SMotor& motor);

// --- "Motor Stopped" ---------------------------------------------------------------------------
// Raised whenever a channel comes to rest or is asked to go where it already heads. Any thread
// hands the stop over without waiting or allocating (after its device lock is released); the
// library's event thread calls the hook, in order, with no lock of the library held
// (hardware/events.h: start, stop, flush).
using MotorStoppedHook = void (*)(std::uint32_t channel);
void SetMotorStoppedHook(MotorStoppedHook hook);
void RaiseMotorStopped(std::uint32_t channel);

// --- Slots and release (control thread, library lock held) ------------------------------------
// Whether a used slot other than `slot` already has this address code.
bool AddressTaken(const USBDriver& device, int slot, std::uint8_t address);
// The smallest coefficient (steps per unit) a set-up takes: the settings file keeps positions as
// float32 units, and below 2^31 / FLT_MAX (about 6.3e-30) a position of the int32 step range no
// longer fits there, so a close and reopen would lose where the motor stands.
inline constexpr float kMinCoefficient = 2147483648.0f / 3.40282347e38f;
// Whether a record's numbers can drive a channel: a finite coefficient (steps per unit; every
// conversion divides or multiplies by it) of at least kMinCoefficient in size, and an offset that
// is a number.
bool UsableNumbers(const MotorRecord& record);
bool ConfigureSlot(USBDriver& device, int slot, const MotorRecord& source, bool checkUnique);
int AddSlot(USBDriver& device, const MotorRecord& source);
// Removes a resting slot: the records and the motion state (position, zero, destination) of the
// slots behind it move down one, the last slot becomes fresh.
bool RemoveSlot(USBDriver& device, std::uint32_t slot);
// Gives channel `to` the motion state of `from`; `to` stays bound to its box, record and index.
// Device lock held.
void CarryMotion(SMotor& to, const SMotor& from);
// Stops the channel and waits (10 ms sleeps, 10 s at most) until it rests. A channel that
// cannot move (its box is not connected, or nothing drives the tick) is halted where it is at
// once instead: no wait is spent on it.
bool WaitStopped(USBDriver& device, int channel);
// Releases one channel (0..6) or all seven (7 and above).
bool Release(USBDriver& device, std::uint32_t channel);

}  // namespace mervane
