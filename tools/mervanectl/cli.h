// mervanectl's shared pieces: the library session (real boxes or the emulator), the emulator's
// control functions, name and box lookup, output helpers, and the commands themselves.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "mervane.h"
#include "platform/platform.h"

namespace mervanectl {

// Exit statuses: the library refused (1), the command line was wrong (2), a signal ended a wait
// (128 + its number: 130 Ctrl+C, 129 hang-up, 141 broken pipe, 143 termination).
inline constexpr int kRefused = 1;
inline constexpr int kUsage = 2;
inline constexpr int kInterrupted = 130;
// The exit status after a signal ended a wait: 128 + the last signal (kInterrupted when unknown).
int InterruptedStatus();

// Thrown by the commands; main prints the one-line reason on standard error.
struct Refused : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Where the emulator keeps its boxes' EEPROM and the library its settings files with --sim.
std::string DefaultStateDir();

// The emulator's control functions (boxsim.h), found in the same library the driver layer loads,
// so both see the same emulated boxes.
class Emulator {
public:
  explicit Emulator(const std::string& path);
  bool Wire(const std::string& serial, int address, const char* kind) const;
  long long Position(const std::string& serial, int address) const;
  long long Errors(const std::string& serial, int address) const;
  // What the connector is wired as ("" when unknown).
  std::string Wiring(const std::string& serial, int address) const;
  // The process holding the box open, e.g. "mervanectl move, pid 42"; empty when none.
  std::string Holder(const std::string& serial) const;

private:
  mervane::platform::DynamicLibrary library_;
  int (*wire_)(const char*, int, const char*) = nullptr;
  long long (*position_)(const char*, int) = nullptr;
  long long (*errors_)(const char*, int) = nullptr;
  int (*wiring_)(const char*, int, char*, int) = nullptr;
  int (*holder_)(const char*, char*, int) = nullptr;
};

struct Box {
  unsigned index = 0;
  std::string serial, model, name;
  bool connected = false;
  int motorCount = 0;
};

struct Motor {
  unsigned box = 0, channel = 0;
  MotorInfo info{};
  std::string name, typeName;
  double position = 0, destination = 0;
  bool running = false;
  std::string Unit() const;
};

// The file a background move (move --no-wait) holds locked while it runs, with its process id
// in it: the system drops the lock when the process ends, however it ends, so the record can
// neither outlive its move nor name another process.
std::string MovingFile(const std::string& motorName);
// Takes that record for this process (kept until it ends); false when another move holds it.
bool MarkBackgroundMove(const std::string& motorName);
// Asks a background move of that motor to stop on its ramp and waits until it has saved and
// ended; false when none runs.
bool StopBackgroundMove(const std::string& motorName);

// How this process names itself to another that finds a box busy: "mervanectl move, pid 42".
void SetHolder(const std::string& command);
const std::string& HolderLine();

// One use of the library: points it at the emulator when asked, lists and opens the boxes, and
// closes them (saving every box's settings file) when it goes.
class Session {
public:
  struct Options {
    bool simulate = false;
    std::string stateDir;  // with simulate; empty: DefaultStateDir()
  };
  // Opens every box; refuses (naming the holder) when another process holds one of them, as a
  // chip takes one open at a time: the command then changes nothing.
  explicit Session(const Options& options);
  // Points the library at the emulator and its state folder when asked (before any box is
  // opened); the constructor does it too. Returns the state folder ("" for real boxes).
  static std::string Prepare(const Options& options);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  std::vector<Box> Boxes() const;
  Box BoxAt(unsigned index) const;
  // A box by list index, serial or name.
  unsigned FindBox(const std::string& text) const;
  Motor MotorAt(unsigned box, unsigned channel) const;
  std::vector<Motor> Motors() const;
  // The first motor of that name, in box and channel order.
  Motor FindMotor(const std::string& name) const;
  // The settings file a box's configuration goes to.
  std::string SettingsFile(const std::string& serial) const;
  const Emulator* Sim() const { return emulator_ ? &*emulator_ : nullptr; }
  // With the emulator: wires the motor's connector to match its type when it is wired otherwise,
  // or always with `fresh` (the emulator then counts the steps it decodes there from 0).
  // Without: nothing.
  void WireEmulator(const Motor& motor, bool fresh = false) const;
  const std::string& StateDir() const { return stateDir_; }
  // Exits the library now (settings files written); later calls do nothing.
  void Close();

private:
  void RefuseBusyBoxes();

  std::optional<Emulator> emulator_;
  std::string stateDir_;
  bool open_ = false;
  // Real boxes: a lock per box opened here, naming this process to one that finds the box busy
  // (the driver's refusal alone does not say who holds it).
  std::vector<std::unique_ptr<mervane::platform::FileLock>> boxLocks_;
};

// Refuses a name that would break the tab-separated output or name nothing: empty, or holding a
// control character. `what` names the value in the message.
void CheckPrintable(const std::string& name, const std::string& what);

// Output: aligned columns on a terminal, tab-separated fields (header first) otherwise.
void PrintTable(const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows);
std::string Number(double value);  // %g
std::string Bar(double fraction, int width);
bool Live();  // whether standard output is a terminal

// A block of lines redrawn in place on a terminal; messages can be printed above it.
class LiveBlock {
public:
  void Draw(const std::vector<std::string>& lines);
  void Message(const std::string& line);
  void Finish();

private:
  std::vector<std::string> lines_;
  std::size_t drawn_ = 0;
  void Erase();
};

// Watches motors until each rests: live lines on a terminal, plain "stopped" lines otherwise;
// "Motor Stopped" is reported as each one comes to rest. Ctrl+C stops every watched motor on its
// ramp and keeps watching until they rest. Returns whether Ctrl+C came.
struct WatchedMotor {
  unsigned box, channel;
  std::string name;
  double start;  // position when the move began, for the progress bar
};
bool FollowMoves(Session& session, const std::vector<WatchedMotor>& motors, double startTime);

// The commands.
struct SetupArgs;
int List(Session& session);
int Motors(Session& session);
int Setup(Session& session, const SetupArgs& args);
int Move(Session& session, const std::string& name, const std::string& position, bool relative, bool noWait);
int Simple(Session& session, const std::string& action, const std::string& name);
int ReleaseAll(Session& session);
int RunBox(Session& session, const std::string& box, const std::vector<std::string>& destinations);
int Rename(Session& session, const std::string& box, const std::string& name);
int Watch(Session& session, double interval, int count);
int Demo(Session& session, bool quick);

struct SetupArgs {
  std::string box;
  std::optional<int> channel;
  std::optional<std::string> name, type, address, coefficient, length, acceleration, minStepTime, maxStepTime, offset;
  bool halfSteps = false, noHalfSteps = false, autoRelease = false, noAutoRelease = false;
};

// What the emulator must decode on a motor's connector: "two-wire", "four-wire[-half]",
// "synchron[-half]".
const char* WiringOf(const MotorInfo& info);

// A number from the command line, whole text (else a usage error naming `what`).
double ParseNumber(const std::string& text, const char* what);

}  // namespace mervanectl
