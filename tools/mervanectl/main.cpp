// mervanectl: drives the boxes and motors from the shell through the library's C interface, on
// real boxes (the vendor's D2XX library) or on the box emulator (--sim).
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>

#include "platform/console.h"
#include "tools/mervanectl/cli.h"

namespace {

using namespace mervanectl;

struct Parsed {
  bool simulate = false;
  std::string stateDir;
  bool quick = false;
  std::string name, position, box, newName;
  bool relative = false, noWait = false, all = false;
  std::string interval = "0.5";
  int count = 0;
  std::vector<std::string> destinations;
  SetupArgs setup;
};

void AddSetup(CLI::App& app, Parsed& p) {
  CLI::App* s = app.add_subcommand("setup", "Add a motor to a box, or reconfigure one (--channel)");
  SetupArgs& a = p.setup;
  s->option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);  // a later --x wins
  s->add_option("BOX", a.box, "Box: list index, serial or name")->required();
  s->add_option("--channel", a.channel, "Reconfigure this channel instead of adding a motor");
  s->add_option("--name", a.name, "Motor name, at most 9 characters");
  s->add_option("--type", a.type, "Motor type: code (0x85) or name (\"X (4wires)\"); see 'motors'");
  s->add_option("--address", a.address, "Connector 1..7 on the box, 0 = unplugged (default 0)");
  s->add_option("--coef", a.coefficient, "Coefficient, steps per mm (per degree for R types); default 1");
  s->add_option("--length", a.length, "Length of travel, mm or degrees; default 5");
  s->add_option("--accel", a.acceleration, "Acceleration length, steps (1..127); default 20");
  s->add_option("--min", a.minStepTime, "Minimum step time, ms; default 5");
  s->add_option("--max", a.maxStepTime, "Maximum step time, ms; default 50");
  s->add_option("--offset", a.offset, "Start position, mm or degrees; default 0");
  s->add_flag("--half-steps", a.halfSteps, "Half steps (four-wire and synchron types)");
  s->add_flag("--no-half-steps", a.noHalfSteps, "Full steps");
  s->add_flag("--auto-release", a.autoRelease, "Switch the coils off after each move");
  s->add_flag("--no-auto-release", a.noAutoRelease, "Keep the coils on after a move");
}

// The watch interval: a number of seconds above 0 and at most an hour (not "nan", not "inf").
double ParseInterval(const std::string& text) {
  constexpr double kLongest = 3600.0;
  double seconds = ParseNumber(text, "--interval");
  if (!(seconds > 0.0 && seconds <= kLongest))
    throw UsageError("--interval: '" + text + "' is not a number of seconds above 0 and at most 3600");
  return seconds;
}

int Dispatch(CLI::App& app, Parsed& p) {
  Session::Options options;
  options.simulate = p.simulate || !p.stateDir.empty() || app.got_subcommand("demo");
  options.stateDir = p.stateDir;
  CLI::App* sub = app.get_subcommands().front();
  const std::string command = sub->get_name();
  // The demo sets up its own motors: it runs on emulated boxes of its own, beside the user's.
  if (command == "demo") options.stateDir = (p.stateDir.empty() ? DefaultStateDir() : p.stateDir) + "/demo";
  // Checked before anything is opened: a refused value changes nothing.
  double interval = 0;
  if (command == "watch") interval = ParseInterval(p.interval);
  if (command == "rename") CheckPrintable(p.newName, "NEWNAME");
  if (command == "setup" && p.setup.name) CheckPrintable(*p.setup.name, "--name");
  SetHolder(command);
  Session::Prepare(options);
  // Both before the boxes are opened: a background move holds its box until it ends.
  if (command == "stop" && !p.name.empty()) StopBackgroundMove(p.name);
  if (command == "move" && p.noWait && !mervane::platform::ContinueInBackground())
    throw Refused("cannot start a background process");
  Session session(options);
  if (command == "demo") return Demo(session, p.quick);
  if (command == "list") return List(session);
  if (command == "motors") return Motors(session);
  if (command == "setup") return Setup(session, p.setup);
  if (command == "move") return Move(session, p.name, p.position, p.relative, p.noWait);
  if (command == "release" && p.all) {
    if (!p.name.empty()) throw UsageError("release: give a NAME or --all, not both");
    return ReleaseAll(session);
  }
  if (command == "run") return RunBox(session, p.box, p.destinations);
  if (command == "rename") return Rename(session, p.box, p.newName);
  if (command == "watch") return Watch(session, interval, p.count);
  if (p.name.empty()) throw UsageError(command + ": NAME is required");
  return Simple(session, command, p.name);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"mervanectl: stepper motors on mervane USB boxes, from the shell.\n"
               "Exit status: 0 done, 1 refused by the library or a box in use by another process (reason on "
               "standard error), 2 usage error, 128 + the signal when a signal ended it after stopping the "
               "motors on their ramps and saving (130 Ctrl+C, 129 hang-up, 141 broken pipe, 143 "
               "termination)."};
  app.require_subcommand(1);
  Parsed p;
  app.add_flag("--sim", p.simulate, "Use the box emulator instead of real boxes; its state is kept in a folder");
  app.add_option("--state", p.stateDir, "The emulator's state folder (implies --sim; default " + DefaultStateDir() + ")");

  CLI::App* demo = app.add_subcommand("demo", "Four motors on two emulated boxes, moved at once (implies --sim)");
  demo->add_flag("--quick", p.quick, "Short moves (about a second)");
  app.add_subcommand("list", "Boxes: index, serial, model, name, connected, motors, settings file");
  app.add_subcommand("motors", "Motors: box, channel, name, type, address, position, destination, running");
  AddSetup(app, p);
  CLI::App* move = app.add_subcommand("move", "Move a motor and wait until it rests (Ctrl+C stops it on its ramp)");
  move->add_option("NAME", p.name, "Motor name")->required();
  move->add_option("POSITION", p.position, "Destination, mm or degrees (use -- before a negative one)")->required();
  move->add_flag("-r,--relative", p.relative, "POSITION is a distance from the present destination");
  move->add_flag("--no-wait", p.noWait, "Return at once; a background process finishes the move");
  const char* simple[][2] = {{"stop", "Stop a motor on its ramp"},
                             {"zero", "Make the present position the zero (again: back to the absolute zero)"},
                             {"reset", "Stop, then call the present position 0"},
                             {"release", "Stop, then switch the coils off (--all: every motor)"},
                             {"remove", "Remove a motor from its box"},
                             {"initialize", "Drive a block axis onto its mechanical stop"}};
  for (const auto& [name, help] : simple) {
    CLI::App* s = app.add_subcommand(name, help);
    s->add_option("NAME", p.name, "Motor name");
    if (std::string(name) == "release") s->add_flag("--all", p.all, "Release every motor of every box");
  }
  CLI::App* run = app.add_subcommand("run", "Start the motors of a box in the same tick (NAME=POSITION sets destinations)");
  run->add_option("BOX", p.box, "Box: list index, serial or name")->required();
  run->add_option("DESTINATIONS", p.destinations, "NAME=POSITION ...");
  CLI::App* rename = app.add_subcommand("rename", "Rename a box (kept in its chip and settings file)");
  rename->add_option("BOX", p.box, "Box: list index, serial or name")->required();
  rename->add_option("NEWNAME", p.newName, "New name")->required();
  CLI::App* watch = app.add_subcommand("watch", "A live table of boxes, motors and the tick's timing counters until Ctrl+C");
  watch->add_option("--interval", p.interval, "Seconds between updates, above 0 and at most 3600 (default 0.5)");
  watch->add_option("--count", p.count, "Stop after this many updates (0: until Ctrl+C)")->check(CLI::NonNegativeNumber);

  std::vector<std::string> args(argv + 1, argv + argc);
  std::string program = argv[0];
  if (program.size() >= 12 && program.compare(program.size() - 12, 12, "mervane-list") == 0)
    args.push_back("list");  // the tool's former name
  std::reverse(args.begin(), args.end());  // CLI11 takes the arguments last first
  try {
    app.parse(args);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : kUsage;
  }
  mervane::platform::CatchInterrupts();
  int status = 0;
  try {
    status = Dispatch(app, p);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "mervanectl: %s\n", e.what());
    status = kUsage;
  } catch (const Refused& e) {
    std::fprintf(stderr, "mervanectl: %s\n", e.what());
    status = kRefused;
  }
  std::fflush(stdout);
  mervane::platform::ReleaseForeground(status);  // a background move that failed early
  return status;
}
