// mervanectl's commands other than the demo: list, motors, setup, move, the one-motor actions,
// release --all, run, rename and watch.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>

#include "mervane_ext.h"
#include "platform/console.h"
#include "tools/mervanectl/cli.h"
#include "ui/setup_rules.h"

namespace mervanectl {

namespace pf = mervane::platform;

namespace {
std::string TypeName(int code) {
  const char* name = nullptr;
  INF_GetMTypeName(code, &name);
  return name != nullptr ? name : "???";
}

std::vector<std::string> MotorRow(const Motor& m) {
  return {std::to_string(m.box), std::to_string(m.channel), m.name, m.typeName, std::to_string(m.info.address),
          Number(m.position), Number(m.destination), m.running ? "yes" : "no"};
}

std::string Describe(const Session& session, const Motor& m) {
  Box box = session.BoxAt(m.box);
  return m.name + " (box " + std::to_string(m.box) + " " + box.serial + ", channel " + std::to_string(m.channel) +
         ")";
}

// The option a refused field came from and the value given there: " (--coef nan)"; the value of a
// field left out is the motor's (or the default) and is named as such.
std::string OptionNamed(const SetupArgs& args, const std::string& field) {
  const std::pair<const char*, std::pair<const char*, const std::optional<std::string>*>> options[] = {
      {"name", {"--name", &args.name}},
      {"address", {"--address", &args.address}},
      {"coefficient", {"--coef", &args.coefficient}},
      {"length", {"--length", &args.length}},
      {"offset", {"--offset", &args.offset}},
      {"acceleration", {"--accel", &args.acceleration}},
      {"min step time", {"--min", &args.minStepTime}},
      {"max step time", {"--max", &args.maxStepTime}},
  };
  for (const auto& [name, option] : options) {
    if (field != name) continue;
    const std::optional<std::string>& given = *option.second;
    return given ? " (" + std::string(option.first) + " " + *given + ")" : " (" + field + " as it stands; give " + option.first + ")";
  }
  return "";
}

// Why SM_Setup may have said no, found by looking at what it checks.
std::string SetupRefusal(const Session& session, unsigned box, int channel, const MotorInfo& record) {
  if (record.type == 0) return "type None marks an unused channel";
  Box b = session.BoxAt(box);
  if (!b.connected) return "box " + std::to_string(box) + " is not connected";
  for (int c = 0; c < b.motorCount; ++c) {
    Motor other = session.MotorAt(box, static_cast<unsigned>(c));
    if (c != channel && other.info.address == record.address)
      return "address " + std::to_string(record.address) + " is already used by motor " + other.name + " on box " +
             std::to_string(box);
  }
  if (channel < 0 && b.motorCount >= 7) return "box " + std::to_string(box) + " already has 7 motors";
  // The rules checked the numbers already; what is left is the file.
  return "the settings file " + session.SettingsFile(b.serial) + " could not be written";
}

// The tick's timing counters in one line.
std::string Counters(const MervaneTickCounters& c) {
  char text[200];
  std::snprintf(text, sizeof text, "%llu ticks, %llu skipped, %llu late (worst %.2f ms), %llu failed writes, %llu steps",
                static_cast<unsigned long long>(c.ticks), static_cast<unsigned long long>(c.skippedPeriods),
                static_cast<unsigned long long>(c.lateTicks), c.worstLateness * 1000.0,
                static_cast<unsigned long long>(c.failedWrites), static_cast<unsigned long long>(c.steps));
  return text;
}

void Say(const char* format, const std::string& a, const std::string& b = "") {
  std::printf(format, a.c_str(), b.c_str());
  std::fflush(stdout);
}
}  // namespace

int List(Session& session) {
  std::vector<Box> boxes = session.Boxes();
  if (boxes.empty())
    throw Refused(session.Sim() ? "the emulator offers no boxes (BOXSIM_BOXES)"
                                : "no boxes: the driver library (libftdi1 or D2XX) is missing or lists no box (try --sim)");
  std::vector<std::vector<std::string>> rows;
  for (const Box& b : boxes)
    rows.push_back({std::to_string(b.index), b.serial, b.model, b.name, b.connected ? "yes" : "no",
                    std::to_string(b.motorCount), session.SettingsFile(b.serial)});
  PrintTable({"index", "serial", "model", "name", "connected", "motors", "settings file"}, rows);
  return 0;
}

int Motors(Session& session) {
  std::vector<std::vector<std::string>> rows;
  for (const Motor& m : session.Motors()) rows.push_back(MotorRow(m));
  PrintTable({"box", "channel", "name", "type", "address", "position", "destination", "running"}, rows);
  return 0;
}

int Setup(Session& session, const SetupArgs& args) {
  unsigned box = session.FindBox(args.box);
  bool newMotor = !args.channel.has_value();
  MotorInfo record{};
  if (!newMotor) {
    if (*args.channel < 0 || *args.channel >= session.BoxAt(box).motorCount)
      throw Refused("box " + std::to_string(box) + " has no channel " + std::to_string(*args.channel) +
                    " (add a motor without --channel)");
    record = session.MotorAt(box, static_cast<unsigned>(*args.channel)).info;
  } else if (!args.name || !args.type) {
    throw UsageError("a new motor needs --name and --type");
  }
  mervane::setup::Fields fields;
  fields.name = args.name;
  fields.coefficient = args.coefficient;
  fields.length = args.length;
  fields.offset = args.offset;
  fields.acceleration = args.acceleration;
  fields.minStepTime = args.minStepTime;
  fields.maxStepTime = args.maxStepTime;
  if (args.type) {
    fields.type = mervane::setup::ParseMotorType(*args.type, TypeName);
    if (!fields.type) throw UsageError("--type: '" + *args.type + "' is no motor type code or name");
  }
  if (args.address) {
    auto address = mervane::setup::ReadInteger(*args.address);
    if (!address) throw UsageError("Type error: Value must be integer! (--address " + *args.address + ")");
    fields.address = *address;
  }
  if (args.halfSteps || args.noHalfSteps) fields.halfSteps = args.halfSteps;
  if (args.autoRelease || args.noAutoRelease) fields.autoRelease = args.autoRelease;
  if (auto complaint = mervane::setup::Apply(fields, newMotor, record))
    throw UsageError(complaint->caption + ": " + complaint->text + OptionNamed(args, complaint->field));

  int channel = SM_Setup(box, newMotor ? -1 : *args.channel, &record);
  if (channel < 0) throw Refused("setup refused: " + SetupRefusal(session, box, newMotor ? -1 : *args.channel, record));
  Motor m = session.MotorAt(box, static_cast<unsigned>(channel));
  Say("%s: ", m.name);
  std::printf("%s on box %u channel %d, address %u, %g step/%s, settings in %s\n", m.typeName.c_str(), box, channel,
              m.info.address, m.info.coefficient, m.Unit().c_str(),
              session.SettingsFile(session.BoxAt(box).serial).c_str());
  return 0;
}

int Move(Session& session, const std::string& name, const std::string& position, bool relative, bool noWait) {
  double units = ParseNumber(position, "POSITION");
  Motor m = session.FindMotor(name);
  // Read before the start: the tick may send the first step before this thread runs again.
  const std::string serial = session.BoxAt(m.box).serial;
  const long long decodedBefore = session.Sim() ? session.Sim()->Position(serial, m.info.address) : 0;
  // The background process (see main) holds the motor's record for `stop` until it ends.
  if (noWait && !MarkBackgroundMove(name)) throw Refused("a background move of " + name + " runs already");
  if (!SMN_Move(name.c_str(), units, relative)) {
    std::string why = m.info.address == 0 ? "it is unplugged (address 0)" : "box not connected or position out of range";
    throw Refused("move of " + name + " refused: " + why);
  }
  double start = pf::NowSeconds();
  // The shell may go on now.
  if (noWait) {
    Motor now = session.MotorAt(m.box, m.channel);
    std::printf("%s\tmoving to\t%s\tpid %d\n", name.c_str(), Number(now.destination).c_str(), pf::ProcessId());
    std::fflush(stdout);
    pf::ReleaseForeground(0);
  }
  bool interrupted = FollowMoves(session, {{m.box, m.channel, m.name, m.position}}, start);
  Motor end = session.MotorAt(m.box, m.channel);
  if (!Live()) std::printf("%s\t%s\t%s\tstopped\n", name.c_str(), Number(end.position).c_str(), Number(end.destination).c_str());
  if (session.Sim()) {
    long long steps = session.Sim()->Position(serial, m.info.address) - decodedBefore;
    long long errors = session.Sim()->Errors(serial, m.info.address);
    if (Live())
      std::printf("The emulator decoded %lld steps on connector %u (%lld phase errors).\n", steps, m.info.address, errors);
    else
      std::printf("emulator\t%s\t%lld\t%lld\n", name.c_str(), steps, errors);
  }
  return interrupted ? InterruptedStatus() : 0;
}

int Simple(Session& session, const std::string& action, const std::string& name) {
  Motor m = session.FindMotor(name);
  using Action = std::function<bool(unsigned, unsigned)>;
  static const std::map<std::string, Action> actions = {
      {"stop", [](unsigned d, unsigned c) { return SM_Stop(d, c); }},
      {"zero", [](unsigned d, unsigned c) { return SM_SetZero(d, c); }},
      {"reset", [](unsigned d, unsigned c) { return SM_Reset(d, c); }},
      {"release", [](unsigned d, unsigned c) { return SM_Release(d, c); }},
      {"remove", [](unsigned d, unsigned c) { return SM_Remove(d, c); }},
      {"initialize", [](unsigned d, unsigned c) { return SM_Initialize(d, c); }},
  };
  auto found = actions.find(action);
  if (found == actions.end()) throw UsageError("unknown action " + action);
  if (!found->second(m.box, m.channel)) throw Refused(action + " of " + Describe(session, m) + " refused");
  if (action == "remove") {
    Say("%s: removed from box %s\n", name, std::to_string(m.box));
    return 0;
  }
  if (action == "initialize") {
    if (!(m.info.type & 0x40)) {
      Say("%s: %s is no block axis, nothing to do\n", name, m.typeName);
      return 0;
    }
    if (FollowMoves(session, {{m.box, m.channel, m.name, m.position}}, pf::NowSeconds())) return InterruptedStatus();
  }
  Motor end = session.MotorAt(m.box, m.channel);
  std::printf("%s\t%s\t%s\t%s\n", name.c_str(), action.c_str(), Number(end.position).c_str(), Number(SM_GetZero(m.box, m.channel)).c_str());
  // The settings file keeps positions, not zero points: say what the next command will see.
  if (action == "zero")
    std::fprintf(stderr, "mervanectl: the zero point of %s lasts only for this command: the settings file keeps "
                 "positions, not zero points (reset makes the present position 0 for good)\n", name.c_str());
  return 0;
}

int ReleaseAll(Session&) {
  if (!SM_ReleaseAll()) throw Refused("release of every motor refused (a box is not connected?)");
  std::printf("released all motors\n");
  return 0;
}

int RunBox(Session& session, const std::string& boxText, const std::vector<std::string>& destinations) {
  unsigned box = session.FindBox(boxText);
  std::vector<WatchedMotor> watched;
  for (const std::string& item : destinations) {
    auto eq = item.find('=');
    if (eq == std::string::npos) throw UsageError("'" + item + "': write NAME=POSITION");
    std::string name = item.substr(0, eq);
    double units = ParseNumber(item.substr(eq + 1), name.c_str());
    std::uint32_t d = 0, c = 0;
    if (SM_GetIndex(&d, &c, name.c_str(), session.BoxAt(box).serial.c_str(), 0) < 1)
      throw Refused("box " + std::to_string(box) + " has no motor named '" + name + "'");
    if (!SM_SetDestination(d, c, units)) throw Refused("destination " + item + " refused");
  }
  int count = session.BoxAt(box).motorCount;
  for (int c = 0; c < count; ++c) {
    Motor m = session.MotorAt(box, static_cast<unsigned>(c));
    watched.push_back({box, static_cast<unsigned>(c), m.name, m.position});
  }
  double start = pf::NowSeconds();
  if (!Run(box)) throw Refused("run of box " + std::to_string(box) + " refused (a motor without address?)");
  return FollowMoves(session, watched, start) ? InterruptedStatus() : 0;
}

int Rename(Session& session, const std::string& boxText, const std::string& name) {
  unsigned box = session.FindBox(boxText);
  if (!RenameDevice(box, name.c_str())) throw Refused("rename of box " + std::to_string(box) + " refused");
  Box b = session.BoxAt(box);
  std::printf("%u\t%s\t%s\n", box, b.serial.c_str(), b.name.c_str());
  return 0;
}

int Watch(Session& session, double interval, int count) {
  LiveBlock block;
  for (int n = 0; count <= 0 || n < count; ++n) {
    if (pf::InterruptCount() > 0) break;
    std::vector<std::string> lines;
    for (const Box& b : session.Boxes()) {
      char line[200];
      std::snprintf(line, sizeof line, "box %u %s %s: %s, %d motors", b.index, b.serial.c_str(), b.name.c_str(),
                    b.connected ? "connected" : "NOT CONNECTED", b.motorCount);
      lines.push_back(line);
      MervaneTickCounters counters{};
      if (EXT_GetDeviceCounters(b.index, &counters)) lines.push_back("  tick: " + Counters(counters));
      for (int c = 0; c < b.motorCount; ++c) {
        Motor m = session.MotorAt(b.index, static_cast<unsigned>(c));
        std::snprintf(line, sizeof line, "  %-9s %-20s %10s -> %10s %s %s", m.name.c_str(), m.typeName.c_str(),
                      Number(m.position).c_str(), Number(m.destination).c_str(), m.Unit().c_str(),
                      m.running ? "running" : "stopped");
        lines.push_back(line);
      }
    }
    MervaneTickCounters timer{};
    if (EXT_GetTimerCounters(&timer)) lines.push_back("timer: " + Counters(timer));
    if (Live()) {
      block.Draw(lines);
    } else {
      for (const auto& l : lines) std::printf("%s\n", l.c_str());
      std::printf("\n");
      std::fflush(stdout);
    }
    if (count > 0 && n + 1 >= count) break;
    // In short naps, so that Ctrl+C ends the watch at once, not after the interval.
    constexpr double kNap = 0.02;
    for (double end = pf::NowSeconds() + interval; pf::InterruptCount() == 0 && pf::NowSeconds() < end;)
      pf::SleepSeconds(std::min(kNap, end - pf::NowSeconds()));
  }
  block.Finish();
  return pf::InterruptCount() > 0 ? InterruptedStatus() : 0;
}

}  // namespace mervanectl
