// A host application's plug-in manager in miniature: it loads libmervane.so with dlopen, hands
// InitZelPlugin its recording interface record and drives a motor of an emulated box through the
// registered functions while the library's real 1 ms tick runs. One scenario per run:
//   registration  the calls, their order and every descriptor byte; the "Exit" notice
//   motion        every function against a configured motor, "Motor Stopped" from the tick
//   version       a host of version 110
//   reentry       a "Motor Stopped" handler that calls back into the library while a zeroing
//                 export waits for another motor to come to rest

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "mervane_plugin.h"
#include "tests/host_os.h"
#include "tests/plugin_host/check.h"
#include "tests/plugin_host/expected.h"
#include "tests/plugin_host/host_kit.h"

extern "C" std::size_t PluginHeaderDescriptorSizeInC(void);
extern "C" std::size_t PluginHeaderRecordSizeInC(void);

namespace {

using host_kit::Block;
using host_kit::Call;
using host_kit::Rec;
namespace fs = std::filesystem;

constexpr const char* kSerial = "PLUGHOST1";  // the box BOXSIM_BOXES plugs for this program

// A library loaded by path, closed when the object goes.
class Library {
public:
  explicit Library(const char* path) : handle_(HostOpenLibrary(path)) {
    if (handle_ == nullptr) std::printf("loading %s: %s\n", path, HostLibraryError());
  }
  ~Library() {
    if (handle_ != nullptr) HostCloseLibrary(handle_);
  }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
  bool Loaded() const { return handle_ != nullptr; }
  template <class F>
  F* Get(const char* symbol) const {
    return handle_ == nullptr ? nullptr : reinterpret_cast<F*>(HostSymbol(handle_, symbol));
  }

private:
  void* handle_;
};

// The host's configuration folder: fresh for the run, removed at its end.
class Folder {
public:
  Folder() {
    std::random_device random;
    path_ = fs::temp_directory_path() / ("mervane-plugin-host-" + std::to_string(random()));
    fs::create_directories(path_);
  }
  ~Folder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  std::string WithSlash() const { return path_.string() + "/"; }

private:
  fs::path path_;
};

// Polls every 10 ms until `done` holds or `seconds` have passed (generous: the machine is shared).
bool WaitFor(const std::function<bool()>& done, double seconds = 20) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

struct Session {
  Library mervane{MERVANE_LIBRARY_FILE};
  Folder folder;
  ZelHostInterface host{};
  decltype(InitZelPlugin)* init = mervane.Get<decltype(InitZelPlugin)>("_InitZelPlugin");
  decltype(CheckDeviceConnection)* connected = mervane.Get<decltype(CheckDeviceConnection)>("_CheckDeviceConnection");

  std::int32_t Start(std::int32_t version) {
    host = host_kit::MakeHost(version, folder.WithSlash());
    return init != nullptr ? init(&host) : -2;
  }
};

std::int32_t Status(const char* name) {
  Block in = host_kit::NameBlock(name);
  Block out = Block::Output(4);
  Call("Motor Is Running", in.Data(), out.Data());
  return out.IntAt(0);
}

double Position(const char* name) {
  Block in = host_kit::NameBlock(name);
  Block out = Block::Output(8);
  CHECK_EQ(Call("Motor Position", in.Data(), out.Data()), 0);
  return out.DoubleAt(0);
}

std::size_t RaiseCount() { return host_kit::Raises().size(); }

// One stop after a move: exactly one more raise, of `channel`, from a thread not the host's.
void CheckOneRaise(std::size_t before, std::int32_t channel) {
  CHECK(WaitFor([&] { return RaiseCount() > before; }, 5));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // a second raise would show by now
  const auto raises = host_kit::Raises();
  CHECK_EQ(raises.size(), before + 1);
  if (raises.size() != before + 1) return;
  CHECK_EQ(raises.back()->handle, host_kit::kEventHandle);
  CHECK_EQ(raises.back()->value, channel);
  CHECK(raises.back()->thread != std::this_thread::get_id());
}

void Registration() {
  Session s;
  CHECK(s.init != nullptr && s.connected != nullptr);
  CHECK_EQ(s.Start(111), 0);
  std::vector<std::string> order = {"getConfigDir", "addMenuEntry"};
  order.insert(order.end(), 11, "registerFunction");
  order.insert(order.end(), {"registerEvent", "subscribe"});
  CHECK(Rec().calls == order);
  const auto& expected = plugin_expect::Functions();
  CHECK_EQ(Rec().functions.size(), expected.size());
  for (std::size_t i = 0; i < expected.size() && i < Rec().functions.size(); ++i)
    CHECK_EQ(plugin_expect::CompareDescriptor(Rec().functions[i], expected[i]), std::string());
  CHECK(Rec().event != nullptr && plugin_expect::CompareEvent(Rec().event).empty());
  CHECK(Rec().menu == (std::vector<std::string>{"mervane", "USB Stepper motors", "Devices"}));
  CHECK(Rec().menuZeros[0] == nullptr && Rec().menuZeros[1] == nullptr && Rec().menuZeros[2] == nullptr);
  CHECK(Rec().subscription == (std::vector<std::string>{"zelmgr", "Exit"}));
  CHECK_EQ(PluginHeaderDescriptorSizeInC(), sizeof(ZelFunctionDescriptor));
  CHECK_EQ(PluginHeaderRecordSizeInC(), sizeof(ZelHostInterface));

  // The driver runs, the menu click is harmless while there is no window.
  CHECK(s.connected(0));
  if (Rec().menuClick != nullptr) Rec().menuClick();
  CHECK_EQ(Rec().calls.size(), order.size());

  // "Exit" closes every box, saving its settings into the host's folder.
  CHECK(Rec().exitNotice != nullptr);
  if (Rec().exitNotice != nullptr) Rec().exitNotice();
  CHECK(!s.connected(0));
  const fs::path file = s.folder.WithSlash() + kSerial + ".hws";
  CHECK(fs::exists(file) && fs::file_size(file) == 289);
}

void Version() {
  // Without a display the refusal's warning goes to standard error, where this host reads it.
  CHECK(HostLeaveDisplay() == 0);
  Session s;
  const std::string log = s.folder.WithSlash() + "stderr.txt";
  CHECK(std::freopen(log.c_str(), "w", stderr) != nullptr);
  CHECK_EQ(s.Start(110), -1);
  std::fflush(stderr);
  CHECK(Rec().calls.empty());
  CHECK(s.connected != nullptr && !s.connected(0));  // the driver was not started
  std::ifstream in(log);
  std::stringstream text;
  text << in.rdbuf();
  const std::string message = text.str();
  std::printf("message: %s", message.c_str());
  CHECK(message.find("Plugin version check failed") != std::string::npos);
  CHECK(message.find("Plugin \"mervane\" was compiled with header files ver. 111, this version is 110, please "
                     "recompile the plugin.") != std::string::npos);
}

MotorInfo FourWire(std::uint8_t address, const char* name) {
  MotorInfo info{};
  info.address = address;
  info.type = 0x85;  // "X (4wires)"
  info.length = 100000;
  info.coefficient = 10.0f;
  info.acceleration = 5;
  info.minStepTime = 2;
  info.maxStepTime = 10;
  std::snprintf(info.name, sizeof info.name, "%s", name);
  return info;
}

void Motion() {
  Session s;
  CHECK_EQ(s.Start(111), 0);
  Library boxsim(BOXSIM_LIBRARY_FILE);  // the instance the library loaded: same file
  auto wire = boxsim.Get<int(const char*, int, const char*)>("boxsim_wire");
  auto steps = boxsim.Get<long long(const char*, int)>("boxsim_position");
  auto energised = boxsim.Get<int(const char*, int)>("boxsim_energised");
  auto setup = s.mervane.Get<decltype(SM_Setup)>("_SM_Setup");
  if (!CHECK(wire && steps && energised && setup)) return;
  CHECK_EQ(wire(kSerial, 1, "four-wire"), 0);
  MotorInfo other = FourWire(2, "PH0"), motor = FourWire(1, "PH1");
  CHECK_EQ(setup(0, -1, &other), 0);
  CHECK_EQ(setup(0, -1, &motor), 1);  // channel 1

  // "Motor Info": the motor, then indices outside.
  for (std::int32_t index : {1, -1, 2}) {
    Block in = Block().Int(index);
    Block out = Block::Output(host_kit::kInfoSize);
    CHECK_EQ(Call("Motor Info", in.Data(), out.Data()), 0);
    CHECK_EQ(out.IntAt(host_kit::kInfoCount), 2);
    CHECK_EQ(out.TextAt(host_kit::kInfoName, 10), std::string(index == 1 ? "PH1" : "???"));
    CHECK_EQ(out.TextAt(host_kit::kInfoType, 64), std::string(index == 1 ? "X (4wires)" : "???"));
    CHECK_EQ(out.DoubleAt(host_kit::kInfoSpeedMin), index == 1 ? 5000.0 : 0.0);
    CHECK_EQ(out.DoubleAt(host_kit::kInfoSpeedMax), index == 1 ? 1000.0 : 0.0);
    CHECK(out.GuardIntact());
  }

  // Out and back: 300 steps each way, at least 0.6 s.
  Block out = host_kit::MoveBlock(30, false, "PH1");
  CHECK_EQ(Call("Move Motor", out.Data(), nullptr), 0);
  CHECK_EQ(Status("PH1"), 1);
  CHECK(WaitFor([] { return Status("PH1") == 0; }));
  CheckOneRaise(0, 1);
  CHECK_EQ(Position("PH1"), 30.0);
  CHECK_EQ(steps(kSerial, 1), 300);
  Block back = host_kit::Move2Block(-30, true, "PH1");
  CHECK_EQ(Call("Move2Motor", back.Data(), nullptr), 0);
  CHECK(WaitFor([] { return Status("PH1") == 0; }));
  CheckOneRaise(1, 1);
  CHECK_EQ(Position("PH1"), 0.0);
  CHECK_EQ(steps(kSerial, 1), 0);
  CHECK(Rec().logs == (std::vector<std::string>{"mervane|0|MoveMotor(30, false, PH1)=true",
                                                 "mervane|0|MoveMotor(-30, true, PH1)=true"}));

  // A long quick move, stopped on the way.
  Block quick = host_kit::QuickMoveBlock(1000, false, 50, "PH1");
  CHECK_EQ(Call("QuickMoveMotor", quick.Data(), nullptr), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  Block name = host_kit::NameBlock("PH1");
  CHECK_EQ(Call("Stop Motor", name.Data(), nullptr), 0);
  CHECK(WaitFor([] { return Status("PH1") == 0; }));
  CheckOneRaise(2, 1);
  const double stoppedAt = Position("PH1");
  CHECK(stoppedAt > 0 && stoppedAt < 100);
  CHECK_EQ(static_cast<double>(steps(kSerial, 1)), stoppedAt * 10);

  // Set Zero makes this the zero; Reset and Release with and without an output block.
  Block succes = Block::Output(4);
  CHECK_EQ(Call("Set Zero", name.Data(), succes.Data()), 0);
  CHECK_EQ(succes.IntAt(0), 1);
  CHECK_EQ(Position("PH1"), 0.0);
  CHECK_EQ(Call("Set Zero", name.Data(), nullptr), 0);  // toggles back
  CHECK_EQ(Position("PH1"), stoppedAt);
  CHECK_EQ(Call("ResetMotor", name.Data(), nullptr), 0);
  CHECK_EQ(Position("PH1"), 0.0);
  Block resetOut = Block::Output(4);
  CHECK_EQ(Call("ResetMotor", name.Data(), resetOut.Data()), 0);
  CHECK_EQ(resetOut.IntAt(0), 1);
  CHECK_EQ(energised(kSerial, 1), 1);
  CHECK_EQ(Call("Release Motor", name.Data(), nullptr), 0);
  CHECK(WaitFor([&] { return energised(kSerial, 1) == 0; }, 5));
  Block releaseOut = Block::Output(4);
  CHECK_EQ(Call("Release Motor", name.Data(), releaseOut.Data()), 0);
  CHECK_EQ(releaseOut.IntAt(0), 1);
  CHECK(resetOut.GuardIntact() && releaseOut.GuardIntact() && succes.GuardIntact());

  // Unknown names.
  Block nobody = host_kit::NameBlock("nobody");
  Block untouched = Block::Output(8);
  CHECK_EQ(Call("Motor Position", nobody.Data(), untouched.Data()), 1);
  CHECK_EQ(untouched.ByteAt(0), 0xCD);
  CHECK_EQ(Call("Stop Motor", nobody.Data(), nullptr), 1);
  CHECK_EQ(Status("nobody"), -1);
  Block lost = host_kit::MoveBlock(1, false, "nobody");
  CHECK_EQ(Call("Move Motor", lost.Data(), nullptr), 1);
  CHECK_EQ(Rec().logs.back(), std::string("mervane|0|MoveMotor(1, false, nobody)=false"));
  CHECK_EQ(RaiseCount(), 3u);

  if (Rec().exitNotice != nullptr) Rec().exitNotice();
  CHECK(!s.connected(0));
}

// The host's "Motor Stopped" handler of the reentry scenario: it reads the stopped motor's
// position through the library, which waits for the library-wide lock.
std::atomic<decltype(SM_GetRealPosition)*> g_readPosition{nullptr};
std::atomic<double> g_readInHandler[2] = {-1.0, -1.0};
void ReadStoppedPosition(std::int32_t channel) {
  if (auto read = g_readPosition.load(); read != nullptr && channel >= 0 && channel < 2)
    g_readInHandler[channel] = read(0, static_cast<std::uint32_t>(channel));
}

// Channel 0 runs a long, slow ramp; channel 1 a short move. A second host thread zeroes channel 0,
// which stops it and holds the library lock until it rests (some 2 s of run-down); channel 1 comes
// to rest meanwhile and its handler waits for that lock. The tick must go on stepping channel 0
// regardless: the zeroing returns once the run-down is over, not after its 10 s limit.
// Threads of this process right now.
std::size_t ThreadCount() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/task")) ++n;
  return n;
}

void ReentryWhileZeroing(std::size_t threadsBefore) {
  Session s;
  CHECK_EQ(s.Start(111), 0);
  Library boxsim(BOXSIM_LIBRARY_FILE);
  auto wire = boxsim.Get<int(const char*, int, const char*)>("boxsim_wire");
  auto steps = boxsim.Get<long long(const char*, int)>("boxsim_position");
  auto setup = s.mervane.Get<decltype(SM_Setup)>("_SM_Setup");
  auto move = s.mervane.Get<decltype(SM_Move)>("_SM_Move");
  auto running = s.mervane.Get<decltype(SM_IsRunning)>("_SM_IsRunning");
  auto zero = s.mervane.Get<decltype(SM_SetZero)>("_SM_SetZero");
  auto position = s.mervane.Get<decltype(SM_GetRealPosition)>("_SM_GetRealPosition");
  auto relative = s.mervane.Get<decltype(SM_GetPosition)>("_SM_GetPosition");
  if (!CHECK(wire && steps && setup && move && running && zero && position && relative)) return;
  CHECK_EQ(wire(kSerial, 1, "four-wire"), 0);
  CHECK_EQ(wire(kSerial, 2, "four-wire"), 0);
  MotorInfo slow = FourWire(1, "SLOW"), quick = FourWire(2, "QUICK");
  slow.acceleration = 100;  // first interval 200 ms; a stop runs down for about 2 s
  CHECK_EQ(setup(0, -1, &slow), 0);
  CHECK_EQ(setup(0, -1, &quick), 1);
  g_readPosition = position;
  host_kit::OnRaise().store(ReadStoppedPosition);

  CHECK(move(0, 0, 1000.0));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  CHECK(move(0, 1, 10.0));  // 100 steps, about 0.25 s
  bool zeroed = false;
  double seconds = 0;
  std::thread zeroing([&] {
    const auto start = std::chrono::steady_clock::now();
    zeroed = zero(0, 0);
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  });
  zeroing.join();
  std::printf("SM_SetZero waited %.2f s for the run-down\n", seconds);
  CHECK(zeroed);
  CHECK(seconds < 6.0);
  CHECK(!running(0, 0));
  // Channel 1's stop, then channel 0's at the end of its run-down, each read by the handler.
  CHECK(WaitFor([] { return RaiseCount() >= 2; }, 5));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // a third raise would show by now
  CHECK_EQ(RaiseCount(), 2u);
  if (RaiseCount() == 2) {
    CHECK_EQ(host_kit::Raises()[0]->value, 1);
    CHECK_EQ(host_kit::Raises()[1]->value, 0);
  }
  CHECK_EQ(g_readInHandler[1].load(), 10.0);
  CHECK_EQ(g_readInHandler[0].load(), position(0, 0));
  CHECK_EQ(steps(kSerial, 2), 100);
  CHECK_EQ(relative(0, 0), 0.0);  // zeroed where it came to rest
  CHECK(steps(kSerial, 1) > 0);
  CHECK_EQ(position(0, 0) * 10, static_cast<double>(steps(kSerial, 1)));
  host_kit::OnRaise().store(nullptr);
  // "Exit" ends the tick and the event thread; only the idle control thread stays until unload.
  if (Rec().exitNotice != nullptr) Rec().exitNotice();
  CHECK(ThreadCount() <= threadsBefore + 1);
}

void Reentry() {
  // A sanitizer's runtime starts a helper thread with the first thread created: have it now.
  std::thread([] {}).join();
  const std::size_t threadsBefore = ThreadCount();
  ReentryWhileZeroing(threadsBefore);
  CHECK_EQ(ThreadCount(), threadsBefore);  // unloaded: no thread of the library is left
}

}  // namespace

int main(int argc, char** argv) {
  const std::string scenario = argc > 1 ? argv[1] : "";
  if (scenario == "registration") {
    Registration();
  } else if (scenario == "motion") {
    Motion();
  } else if (scenario == "version") {
    Version();
  } else if (scenario == "reentry") {
    Reentry();
  } else {
    std::printf("usage: %s registration|motion|version|reentry\n", argv[0]);
    return 2;
  }
  return check::Summary();
}
