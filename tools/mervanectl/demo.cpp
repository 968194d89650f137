// mervanectl demo: four motors of different kinds on the emulated boxes, moved at the same time,
// then their positions compared with what the emulator decoded from the command stream.
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "platform/console.h"
#include "tools/mervanectl/cli.h"

namespace mervanectl {

namespace pf = mervane::platform;

namespace {
struct DemoMotor {
  const char* name;
  std::uint8_t type;      // motor type code
  unsigned box;           // 0 or 1 (1 falls back to 0 when the emulator offers one box)
  std::uint8_t address;   // connector; distinct over all four so one box can hold them all
  float coefficient;      // steps per unit
  bool halfSteps;
  std::int32_t lengthSteps;
  double legs[2];         // destinations of the two moves, units
  double quickLegs[2];
};

// Two-wire, four-wire, synchron in half steps, and a block axis (a travel with a mechanical stop).
constexpr DemoMotor kMotors[] = {
    {"X", 0x01, 0, 1, 100.0f, false, 2000, {12.0, 4.0}, {2.0, 0.5}},
    {"Y", 0x86, 0, 2, 200.0f, false, 4000, {-5.0, 1.5}, {-1.0, 0.25}},
    {"R", 0x2D, 1, 3, 10.0f, true, 3600, {90.0, -45.0}, {20.0, 5.0}},
    {"Z", 0xC7, 1, 4, 50.0f, false, 1500, {20.0, 8.0}, {4.0, 1.0}},
};
constexpr std::uint8_t kAcceleration = 20;  // steps of ramp
constexpr std::uint16_t kMinStepMs = 2;     // 500 steps/s at full speed
constexpr std::uint16_t kMaxStepMs = 20;

struct Placed {
  const DemoMotor* motor;
  unsigned box, channel;
  std::string serial;
};

void Configure(Session& session, const std::vector<Box>& boxes, std::vector<Placed>& placed) {
  // Start from empty boxes: the emulator counts from 0 on each connector it wires, and so must the
  // library for the comparison at the end.
  for (const Box& b : boxes)
    for (int c = b.motorCount - 1; c >= 0; --c)
      if (!SM_Remove(b.index, static_cast<unsigned>(c))) throw Refused("cannot clear box " + b.serial);
  for (const DemoMotor& motor : kMotors) {
    unsigned box = std::min<unsigned>(motor.box, static_cast<unsigned>(boxes.size() - 1));
    const std::string& serial = boxes[box].serial;
    MotorInfo info{};
    info.address = motor.address;
    info.type = motor.type;
    info.length = motor.lengthSteps;
    info.coefficient = motor.coefficient;
    info.acceleration = kAcceleration;
    info.minStepTime = kMinStepMs;
    info.maxStepTime = kMaxStepMs;
    info.halfSteps = motor.halfSteps;
    std::snprintf(info.name, sizeof info.name, "%s", motor.name);
    int channel = SM_Setup(box, -1, &info);
    if (channel < 0) throw Refused(std::string("setup of demo motor ") + motor.name + " refused");
    // A new slot keeps the live position its channel had before; the emulator starts from 0.
    if (!SM_Reset(box, static_cast<unsigned>(channel))) throw Refused(std::string("cannot reset ") + motor.name);
    session.WireEmulator(session.MotorAt(box, static_cast<unsigned>(channel)), true);
    placed.push_back({&motor, box, static_cast<unsigned>(channel), serial});
  }
}

// Sends every motor to its destination of leg `leg`, box by box through Run, so the motors of a
// box start in the same tick; follows them until all rest.
bool Leg(Session& session, const std::vector<Placed>& placed, const std::vector<Box>& boxes, int leg, bool quick,
         double demoStart) {
  std::vector<WatchedMotor> watched;
  for (const Placed& p : placed) {
    double target = quick ? p.motor->quickLegs[leg] : p.motor->legs[leg];
    SM_SetDestination(p.box, p.channel, target);
    watched.push_back({p.box, p.channel, p.motor->name, SM_GetPosition(p.box, p.channel)});
  }
  for (const Box& b : boxes)
    if (!Run(b.index)) throw Refused("run of box " + b.serial + " refused");
  return FollowMoves(session, watched, demoStart);
}
}  // namespace

int Demo(Session& session, bool quick) {
  double start = pf::NowSeconds();
  if (session.Sim() == nullptr) throw UsageError("the demo runs on the emulator only (--sim)");
  std::vector<Box> boxes = session.Boxes();
  if (boxes.empty()) throw Refused("the emulator offers no boxes (BOXSIM_BOXES)");
  if (boxes.size() > 2) boxes.resize(2);
  std::printf("mervane demo on the box emulator: %zu boxes, state and settings in %s\n", boxes.size(),
              session.StateDir().c_str());
  for (const Box& b : boxes) std::printf("  box %u: %s %s\n", b.index, b.serial.c_str(), b.model.c_str());

  std::vector<Placed> placed;
  Configure(session, boxes, placed);
  std::vector<std::vector<std::string>> rows;
  for (const Placed& p : placed) {
    Motor m = session.MotorAt(p.box, p.channel);
    rows.push_back({m.name, m.typeName, p.serial, std::to_string(m.info.address), WiringOf(m.info),
                    Number(m.info.coefficient) + " step/" + m.Unit()});
  }
  std::printf("\nMotors set up (emulator wired to match):\n");
  PrintTable({"motor", "type", "box", "address", "emulator wiring", "coefficient"}, rows);

  std::printf("\nMoving all four at once:\n");
  bool interrupted = Leg(session, placed, boxes, 0, quick, start);
  if (!interrupted) {
    std::printf("\nAnd back, all four at once:\n");
    interrupted = Leg(session, placed, boxes, 1, quick, start);
  }

  std::printf("\nFinal positions, the library's next to the emulator's decoded ones:\n");
  rows.clear();
  long long lost = 0;
  for (const Placed& p : placed) {
    Motor m = session.MotorAt(p.box, p.channel);
    long long librarySteps = std::llround(SM_GetRealPosition(p.box, p.channel) * m.info.coefficient);
    long long decoded = session.Sim()->Position(p.serial, p.motor->address);
    long long errors = session.Sim()->Errors(p.serial, p.motor->address);
    long long missing = std::llabs(librarySteps - decoded) + errors;
    lost += missing;
    rows.push_back({m.name, Number(m.position) + " " + m.Unit(), std::to_string(librarySteps), std::to_string(decoded),
                    std::to_string(errors), missing == 0 ? "ok" : std::to_string(missing) + " lost"});
  }
  PrintTable({"motor", "position", "library steps", "emulator steps", "phase errors", "check"}, rows);
  if (lost == 0)
    std::printf("0 steps lost\n");
  else
    std::printf("%lld steps lost\n", lost);

  session.Close();  // writes every box's settings file
  std::printf("\nSettings files written:\n");
  for (const Box& b : boxes) {
    std::vector<std::uint8_t> bytes;
    std::string path = session.SettingsFile(b.serial);
    bool read = pf::ReadWholeFile(path, bytes) == pf::ReadStatus::Ok;
    std::printf("  %s (%s)\n", path.c_str(), read ? (std::to_string(bytes.size()) + " bytes").c_str() : "missing");
  }
  std::printf("Demo took %.1f s. Its boxes stay in %s (mervanectl --state %s motors); yours are untouched.\n",
              pf::NowSeconds() - start, session.StateDir().c_str(), session.StateDir().c_str());
  if (interrupted) return InterruptedStatus();
  return lost == 0 ? 0 : kRefused;
}

}  // namespace mervanectl
