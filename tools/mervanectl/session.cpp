// mervanectl's library session: emulator set-up, box and motor lookup, settings file names.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hardware/d2xx.h"
#include "platform/console.h"
#include "tools/mervanectl/cli.h"
#include "ui/setup_rules.h"

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

// A text as a file name: bytes outside [A-Za-z0-9_-] %XX-escaped, so that every motor name ("a/b")
// has a file of its own inside the folder.
std::string FileSafe(const std::string& text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '_' || c == '-') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    }
  }
  return out;
}

std::string& Holder() {
  static std::string line = "mervanectl, pid " + std::to_string(pf::CurrentProcessId());
  return line;
}

// Where mervanectl keeps its locks of real boxes: the user's runtime folder, else /tmp.
std::string LockFolder() {
  std::string folder = pf::GetEnv("XDG_RUNTIME_DIR").value_or("");
  return folder.empty() ? "/tmp" : folder;
}
std::string RealBoxLock(const std::string& serial) { return LockFolder() + "/mervanectl-" + FileSafe(serial) + ".lock"; }

// The boxes of the accepted models that the driver lists, serials in listing order: the order
// in which the library would list them all. Empty when the driver cannot be reached here.
std::vector<std::string> DriverListing(const std::string& driverPath) {
  pf::DynamicLibrary driver;
  if (!driver.Open(driverPath)) return {};
  auto list = reinterpret_cast<FT_ListDevices_t>(driver.Symbol("FT_ListDevices"));
  std::vector<std::string> serials;
  FT_DWORD count = 0;
  if (list == nullptr || list(&count, nullptr, FT_LIST_NUMBER_ONLY) != FT_OK) return {};
  for (FT_DWORD i = 0; i < count; ++i) {
    char serial[65] = {}, description[65] = {};
    void* index = reinterpret_cast<void*>(static_cast<std::uintptr_t>(i));
    if (list(index, serial, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER) != FT_OK ||
        list(index, description, FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION) != FT_OK)
      continue;
    std::string model = description;
    if (model == "VORK-ql2" || model == "VORK-KADO") serials.push_back(serial);
  }
  return serials;
}

// The driver library the library itself loads: MERVANE_D2XX_LIBRARY, else the vendor's.
std::string DriverPath() {
  std::string chosen = pf::GetEnv("MERVANE_D2XX_LIBRARY").value_or("");
  return chosen.empty() ? "libftd2xx.so" : chosen;
}
}  // namespace

void SetHolder(const std::string& command) {
  Holder() = "mervanectl " + command + ", pid " + std::to_string(pf::CurrentProcessId());
  pf::SetEnv("BOXSIM_HOLDER", ("mervanectl " + command).c_str());  // the emulator adds the pid
}

const std::string& HolderLine() { return Holder(); }

int InterruptedStatus() {
  int signal = pf::InterruptSignal();
  return signal > 0 ? 128 + signal : kInterrupted;
}

void CheckPrintable(const std::string& name, const std::string& what) {
  if (name.empty()) throw UsageError(what + ": an empty name is refused");
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7F) throw UsageError(what + ": a name with control characters is refused");
}

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
  Bind(library_, "boxsim_wiring", wiring_);
  Bind(library_, "boxsim_holder", holder_);
}

std::string Emulator::Wiring(const std::string& serial, int address) const {
  char text[32] = {};
  return wiring_(serial.c_str(), address, text, sizeof text) > 0 ? text : "";
}

std::string Emulator::Holder(const std::string& serial) const {
  char text[256] = {};
  return holder_(serial.c_str(), text, sizeof text) == 1 ? text : "";
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
  RefuseBusyBoxes();
  if (emulator_)
    for (const Motor& m : Motors()) WireEmulator(m);
}

// The library lists only the boxes it could open: one listed by the driver but missing from the
// library's list is held by another process (a chip takes one open at a time). Refusing before
// anything is done keeps this command from acting on a list whose indices moved up.
void Session::RefuseBusyBoxes() {
  std::vector<Box> opened = Boxes();
  if (!emulator_) {
    for (const Box& box : opened) {
      auto lock = std::make_unique<pf::FileLock>();
      if (lock->TryLock(RealBoxLock(box.serial), HolderLine())) boxLocks_.push_back(std::move(lock));
    }
  }
  std::vector<std::string> listed = DriverListing(emulator_ ? std::string(MERVANECTL_BOXSIM_PATH) : DriverPath());
  for (std::size_t i = 0; i < listed.size(); ++i) {
    const std::string& serial = listed[i];
    if (std::any_of(opened.begin(), opened.end(), [&](const Box& b) { return b.serial == serial; })) continue;
    std::string holder = emulator_ ? emulator_->Holder(serial) : pf::FileLock::HolderOf(RealBoxLock(serial)).value_or("");
    if (holder.empty()) holder = "another program (or it cannot be opened)";
    throw Refused("box " + std::to_string(i) + " (" + serial + ") is in use by " + holder);
  }
}

const char* WiringOf(const MotorInfo& info) {
  if (info.type & 0x80) return info.halfSteps ? "four-wire-half" : "four-wire";
  if (info.type & 0x20) return info.halfSteps ? "synchron-half" : "synchron";
  return "two-wire";
}

// A connector already wired as the motor needs keeps its count and rotor phase: the process that
// drove it last left them in the state folder, and the next step is decoded from there.
void Session::WireEmulator(const Motor& motor, bool fresh) const {
  if (!emulator_ || motor.info.address < 1 || motor.info.address > 7) return;
  const std::string serial = BoxAt(motor.box).serial;
  if (!fresh && emulator_->Wiring(serial, motor.info.address) == WiringOf(motor.info)) return;
  if (!emulator_->Wire(serial, motor.info.address, WiringOf(motor.info)))
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

std::string MovingFile(const std::string& motorName) {
  return SettingsFolder() + "mervanectl-" + FileSafe(motorName) + ".moving";
}

bool MarkBackgroundMove(const std::string& motorName) {
  // Held until the process ends: after the boxes were closed and the settings saved.
  static pf::FileLock moving;
  return moving.TryLock(MovingFile(motorName), std::to_string(pf::CurrentProcessId()));
}

bool StopBackgroundMove(const std::string& motorName) {
  constexpr double kPatience = 15.0;  // seconds: a run-down plus the settings file
  const std::string path = MovingFile(motorName);
  double deadline = pf::NowSeconds() + kPatience;
  int pid = 0;
  // The holder writes its id right after taking the lock; an empty line is read again.
  for (std::optional<std::string> holder = pf::FileLock::HolderOf(path); holder; holder = pf::FileLock::HolderOf(path)) {
    pid = std::atoi(holder->c_str());
    if (pid > 0 || pf::NowSeconds() > deadline) break;
    pf::SleepMs(10);
  }
  // While the lock is held its holder lives, so the id is that process's and no other's.
  if (pid <= 0 || !pf::AskToEnd(pid)) return false;
  while (pf::FileLock::HolderOf(path)) {
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
