// mervanectl's library session: emulator set-up, box and motor lookup, settings file names.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/console.h"
#include "tools/mervanectl/cli.h"
#include "tools/setup_checks.h"

namespace mervanectl {

namespace pf = mervane::platform;

namespace {
constexpr std::uint32_t kTextSize = 64;

// Creates `path` and its missing parents; true when it exists afterwards.
bool MakeFolders(const std::string& path) {
  for (std::size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
    pf::CreateDirectory(path.substr(0, at));
  return pf::CreateDirectory(path);
}

template <typename Fn>
std::string Text(Fn get, unsigned index) {
  char buffer[kTextSize] = {};
  if (!get(index, buffer, kTextSize)) return "";
  return buffer;
}

template <typename Fn>
void Bind(const pf::DynamicLibrary& library, const char* name, Fn& fn) {
  fn = reinterpret_cast<Fn>(library.Symbol(name));
  if (fn == nullptr) throw Refused(std::string("the emulator lacks ") + name);
}
}  // namespace

std::string DefaultStateDir() {
  if (auto state = pf::GetEnv("XDG_STATE_HOME"); state && !state->empty()) return *state + "/mervane/sim";
  if (auto home = pf::GetEnv("HOME"); home && !home->empty()) return *home + "/.local/state/mervane/sim";
  return ".mervane-sim";
}

Emulator::Emulator(const std::string& path) {
  if (!library_.Open(path)) throw Refused("cannot load the box emulator " + path + " (build it first)");
  Bind(library_, "boxsim_wire", wire_);
  Bind(library_, "boxsim_position", position_);
  Bind(library_, "boxsim_errors", errors_);
}

bool Emulator::Wire(const std::string& serial, int address, const char* kind) const {
  return wire_(serial.c_str(), address, kind) == 0;
}
long long Emulator::Position(const std::string& serial, int address) const {
  return position_(serial.c_str(), address);
}
long long Emulator::Errors(const std::string& serial, int address) const { return errors_(serial.c_str(), address); }

std::string Motor::Unit() const { return mervane::setup::UnitOf(typeName); }

std::string Session::Prepare(const Options& options) {
  if (!options.simulate) return "";
  std::string folder = options.stateDir.empty() ? DefaultStateDir() : options.stateDir;
  if (!MakeFolders(folder)) throw Refused("cannot create the emulator's state folder " + folder);
  if (folder.back() != '/') folder += '/';
  // Read when the library first lists the boxes. The emulator has a face for either driver
  // library: MERVANE_DRIVER=libftdi runs it through its libftdi1 one.
  pf::SetEnv("MERVANE_D2XX_LIBRARY", MERVANECTL_BOXSIM_PATH);
  pf::SetEnv("MERVANE_LIBFTDI_LIBRARY", MERVANECTL_BOXSIM_PATH);
  pf::SetEnv("BOXSIM_STATE_DIR", folder.c_str());
  pf::SetEnv("MERVANE_CONFIG_DIR", folder.c_str());
  return folder;
}

Session::Session(const Options& options) : stateDir_(Prepare(options)) {
  if (options.simulate) emulator_.emplace(MERVANECTL_BOXSIM_PATH);
  open_ = true;
  RefreshDevices();
  if (emulator_)
    for (const Motor& m : Motors()) WireEmulator(m);
}

const char* WiringOf(const MotorInfo& info) {
  if (info.type & 0x80) return info.halfSteps ? "four-wire-half" : "four-wire";
  if (info.type & 0x20) return info.halfSteps ? "synchron-half" : "synchron";
  return "two-wire";
}

void Session::WireEmulator(const Motor& motor) const {
  if (emulator_ && motor.info.address >= 1 && motor.info.address <= 7 &&
      !emulator_->Wire(BoxAt(motor.box).serial, motor.info.address, WiringOf(motor.info)))
    throw Refused("cannot wire the emulator for motor " + motor.name);
}

Session::~Session() { Close(); }

void Session::Close() {
  if (open_) Exit();
  open_ = false;
}

Box Session::BoxAt(unsigned index) const {
  Box box;
  box.index = index;
  box.serial = Text(GetDeviceSernum, index);
  box.model = Text(GetDeviceType, index);
  box.name = Text(GetDeviceName, index);
  box.connected = CheckDeviceConnection(index);
  box.motorCount = std::max(0, SM_GetCount(index));
  return box;
}

std::vector<Box> Session::Boxes() const {
  std::vector<Box> boxes;
  // GetDevicesCount would run discovery again; SM_GetCount answers -1 past the list's end.
  for (unsigned i = 0; SM_GetCount(i) >= 0; ++i)
    boxes.push_back(BoxAt(i));
  return boxes;
}

unsigned Session::FindBox(const std::string& text) const {
  std::vector<Box> boxes = Boxes();
  char* end = nullptr;
  unsigned long index = std::strtoul(text.c_str(), &end, 10);
  if (!text.empty() && *end == 0) {
    if (index < boxes.size()) return static_cast<unsigned>(index);
    throw Refused("no box " + text + " (" + std::to_string(boxes.size()) + " listed)");
  }
  for (const Box& box : boxes)
    if (box.serial == text || box.name == text) return box.index;
  throw Refused("no box with serial or name '" + text + "'");
}

Motor Session::MotorAt(unsigned box, unsigned channel) const {
  Motor m;
  m.box = box;
  m.channel = channel;
  if (!SM_GetInfo(box, channel, &m.info)) throw Refused("no motor on channel " + std::to_string(channel));
  m.name = std::string(m.info.name, strnlen(m.info.name, sizeof m.info.name));
  const char* typeName = nullptr;
  INF_GetMTypeName(m.info.type, &typeName);
  m.typeName = typeName != nullptr ? typeName : "???";
  m.position = SM_GetPosition(box, channel);
  m.destination = SM_GetTarget(box, channel);
  m.running = SM_IsRunning(box, channel);
  return m;
}

std::vector<Motor> Session::Motors() const {
  std::vector<Motor> motors;
  for (const Box& box : Boxes())
    for (int c = 0; c < box.motorCount; ++c) motors.push_back(MotorAt(box.index, static_cast<unsigned>(c)));
  return motors;
}

Motor Session::FindMotor(const std::string& name) const {
  std::uint32_t box = 0, channel = 0;
  if (SM_GetIndex(&box, &channel, name.c_str(), nullptr, -1) < 1) throw Refused("no motor named '" + name + "'");
  return MotorAt(box, channel);
}

namespace {
// The library's rule: MERVANE_CONFIG_DIR (a '/' added when missing), else "configs/".
std::string SettingsFolder() {
  std::string folder = pf::GetEnv("MERVANE_CONFIG_DIR").value_or("");
  if (folder.empty()) folder = "configs/";
  if (folder.back() != '/') folder += '/';
  return folder;
}
}  // namespace

std::string Session::SettingsFile(const std::string& serial) const { return SettingsFolder() + serial + ".hws"; }

std::string MovingFile(const std::string& motorName) { return SettingsFolder() + "mervanectl-" + motorName + ".moving"; }

bool StopBackgroundMove(const std::string& motorName) {
  constexpr double kPatience = 15.0;  // seconds: a run-down plus the settings file
  std::vector<std::uint8_t> bytes;
  if (pf::ReadWholeFile(MovingFile(motorName), bytes) != pf::ReadStatus::Ok) return false;
  int pid = std::atoi(std::string(bytes.begin(), bytes.end()).c_str());
  if (!pf::ProcessAlive(pid) || !pf::AskToEnd(pid)) {
    pf::RemoveFile(MovingFile(motorName));  // left by a process that no longer runs
    return false;
  }
  double deadline = pf::NowSeconds() + kPatience;
  while (pf::ProcessAlive(pid)) {
    if (pf::NowSeconds() > deadline) throw Refused("the background move of " + motorName + " does not end");
    pf::SleepMs(10);
  }
  std::printf("%s: background move (pid %d) stopped on its ramp\n", motorName.c_str(), pid);
  return true;
}

double ParseNumber(const std::string& text, const char* what) {
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != 0 || !std::isfinite(value))
    throw UsageError(std::string(what) + ": '" + text + "' is not a number");
  return value;
}

}  // namespace mervanectl
