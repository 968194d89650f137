// Shared test fixtures: the box emulator loaded as the driver library (exactly as a vendor
// library would be), manual timing (the test drives the tick and the watchdogs), and a scratch
// settings folder per test.
#pragma once

#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/resource.h>
#include <sys/stat.h>
#endif

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "boxsim/boxsim.h"
#include "hardware/device.h"
#include "hardware/device_list.h"
#include "hardware/events.h"
#include "hardware/runtime.h"
#include "hardware/tick.h"
#include "platform/platform.h"

namespace mervane::testing {

// Serials of the emulated boxes most tests plug: a VORK-KADO and a VORK-ql2.
inline constexpr const char* kKado = "KD000001";
inline constexpr const char* kQl = "QL000002";

// A fresh folder under the system's temporary folder, removed at the end of the test.
class ScratchFolder {
public:
  ScratchFolder() {
    static std::atomic<int> counter{0};
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string leaf = std::string("mervane-") + (info ? info->name() : "test") + "-" +
                       std::to_string(static_cast<long long>(platform::NowSeconds() * 1e6)) + "-" +
                       std::to_string(counter++);
    std::replace(leaf.begin(), leaf.end(), '/', '_');  // parameterised names hold a '/'
    path_ = std::filesystem::temp_directory_path() / leaf;
    std::filesystem::create_directories(path_);
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  // With a trailing separator, as the settings path rule expects.
  std::string WithSlash() const { return path_.string() + platform::kPathSeparator; }
  const std::filesystem::path& Path() const { return path_; }

private:
  std::filesystem::path path_;
};

// Every test starts with no boxes attached, manual timing and its own settings folder.
class EmulatorTest : public ::testing::Test {
protected:
  void SetUp() override {
    // No display: a setup dialog that a case asks for must never wait for a user.
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) platform::UnsetEnv(name);
    // The emulator is the driver library through either of its faces: D2XX unless the run asks
    // for MERVANE_DRIVER=libftdi.
    platform::SetEnv("MERVANE_D2XX_LIBRARY", MERVANE_BOXSIM_PATH);
    platform::SetEnv("MERVANE_LIBFTDI_LIBRARY", MERVANE_BOXSIM_PATH);
    platform::SetEnv("MERVANE_CONFIG_DIR", folder_.WithSlash().c_str());
    GetRuntime().manualTiming = true;
    boxsim_reset();
  }
  void TearDown() override {
    {
      LibraryLock lock;
      CloseAllDevices();
    }
    boxsim_reset();
  }

  // Plugs the boxes and runs discovery; returns the list count.
  std::int32_t PlugAndRefresh(const std::vector<std::pair<std::string, std::string>>& boxes) {
    for (const auto& [description, serial] : boxes) boxsim_plug(description.c_str(), serial.c_str());
    LibraryLock lock;
    return RefreshDevices();
  }
  USBDriver& Device(std::uint32_t index) { return *GetRuntime().devices.At(index); }
  std::string SettingsFile(const std::string& serial) const { return folder_.WithSlash() + serial + ".hws"; }

  // Drives the tick from `now` in 1 ms steps for `seconds`; `now` ends after the last tick.
  static void RunTicks(double& now, double seconds) {
    for (double end = now + seconds; now < end; now += 0.001) Tick(now);
  }

  ScratchFolder folder_;
};

// The emulator's D2XX functions as a driver table, the optional ones included; `write` may stand
// in for its FT_Write.
inline D2xxFunctions EmulatorTable(FT_Write_t write = &FT_Write) {
  D2xxFunctions f;
  f.listDevices = &FT_ListDevices;
  f.openEx = &FT_OpenEx;
  f.close = &FT_Close;
  f.setBitMode = &FT_SetBitMode;
  f.setBaudRate = &FT_SetBaudRate;
  f.eeUaRead = &FT_EE_UARead;
  f.eeUaWrite = &FT_EE_UAWrite;
  f.getStatus = &FT_GetStatus;
  f.write = write;
  f.setTimeouts = &FT_SetTimeouts;
  f.eeUaSize = &FT_EE_UASize;
  f.setVidPid = &FT_SetVIDPID;
  return f;
}

// ---- Byte images, wire logs and settings files (device-layer tests) ----------------------------

using ByteImage = std::vector<std::uint8_t>;

// The whole file; empty when it cannot be read.
inline ByteImage ReadFileBytes(const std::filesystem::path& path) {
  ByteImage bytes;
  if (platform::ReadWholeFile(path.string(), bytes) != platform::ReadStatus::Ok) bytes.clear();
  return bytes;
}

// Writes the file plainly (not through the library), replacing what was there.
inline void WriteFileBytes(const std::filesystem::path& path, const ByteImage& bytes) {
  std::FILE* file = std::fopen(path.string().c_str(), "wb");
  ASSERT_NE(file, nullptr) << path;
  if (!bytes.empty()) {
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
  }
  ASSERT_EQ(std::fclose(file), 0);
}

// Every byte written to a box since the last boxsim_clear.
inline ByteImage WireBytes(const std::string& serial) {
  ByteImage bytes(std::size_t{1} << 16);
  int n = boxsim_bytes(serial.c_str(), bytes.data(), static_cast<int>(bytes.size()));
  bytes.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
  return bytes;
}

// The sizes of the write calls a box received since the last boxsim_clear.
inline std::vector<int> WireWriteSizes(const std::string& serial) {
  std::vector<double> times(4096);
  std::vector<int> sizes(4096);
  int n = boxsim_writes(serial.c_str(), times.data(), sizes.data(), static_cast<int>(sizes.size()));
  sizes.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
  return sizes;
}

// The emulated chip's 64-byte EEPROM user area.
inline ByteImage EepromBytes(const std::string& serial) {
  ByteImage bytes(64);
  int n = boxsim_get_eeprom(serial.c_str(), bytes.data(), static_cast<int>(bytes.size()));
  bytes.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
  return bytes;
}

// The release of all seven channels that every open sends: address byte, then deselect.
inline ByteImage ReleaseAllBytes() {
  return {0x80, 0xF0, 0x90, 0xF0, 0xA0, 0xF0, 0xB0, 0xF0, 0xC0, 0xF0, 0xD0, 0xF0, 0xE0, 0xF0};
}

// Where record r of a settings block starts, and where its fields lie within it.
constexpr std::size_t RecordOffset(int r) { return 15 + 39 * static_cast<std::size_t>(r); }
constexpr std::size_t kRecordPosition = 27;

// Little-endian fields of a byte image.
template <typename T>
T ReadAt(const ByteImage& bytes, std::size_t offset) {
  T value{};
  if (offset + sizeof value <= bytes.size()) std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}
template <typename T>
void WriteAt(ByteImage& bytes, std::size_t offset, T value) {
  if (bytes.size() < offset + sizeof value) bytes.resize(offset + sizeof value);
  std::memcpy(bytes.data() + offset, &value, sizeof value);
}

// The bytes of a block, as the settings file holds them.
inline ByteImage BlockBytes(const DeviceSettings& block) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(&block);
  return ByteImage(p, p + sizeof block);
}

// A used four-wire motor record at `address`, `coefficient` steps per unit, saved at `position`.
inline MotorRecord UsedRecord(std::uint8_t address, float coefficient, float position, const char* name) {
  MotorRecord record = FreshRecord();
  record.address = address;
  record.type = 0x85;
  record.length = 4000;
  record.coefficient = coefficient;
  record.acceleration = 10;
  record.minStepTime = 2;
  record.maxStepTime = 20;
  std::strncpy(record.name, name, sizeof record.name - 1);
  record.position = position;
  return record;
}

// Switches the process's current folder for a scope (the "configs/" fallback is relative to it).
class CurrentFolderScope {
public:
  explicit CurrentFolderScope(const std::filesystem::path& folder) : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(folder);
  }
  ~CurrentFolderScope() {
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
  }
  CurrentFolderScope(const CurrentFolderScope&) = delete;
  CurrentFolderScope& operator=(const CurrentFolderScope&) = delete;

private:
  std::filesystem::path previous_;
};

// Files in a folder, by name (to see that no temporary file is left behind).
inline std::vector<std::string> FolderEntries(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

#if defined(_WIN32)
// Ends a test that exercises what only POSIX systems offer (per-process file size limits, named
// pipes as files, fork, signals, shell scripts as programs), naming it.
#define MERVANE_POSIX_ONLY(what) GTEST_SKIP() << "not on Windows: " << what
#else
#define MERVANE_POSIX_ONLY(what) static_cast<void>(0)

// Caps the size of files this process may write, for a scope, so that a write cannot complete
// (EFBIG instead of the SIGXFSZ signal, which is ignored meanwhile).
class FileSizeLimitScope {
public:
  explicit FileSizeLimitScope(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &previous_);
    previousSignal_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = previous_;
    limit.rlim_cur = bytes;
    active_ = setrlimit(RLIMIT_FSIZE, &limit) == 0;
  }
  ~FileSizeLimitScope() {
    setrlimit(RLIMIT_FSIZE, &previous_);
    std::signal(SIGXFSZ, previousSignal_);
  }
  FileSizeLimitScope(const FileSizeLimitScope&) = delete;
  FileSizeLimitScope& operator=(const FileSizeLimitScope&) = delete;
  bool Active() const { return active_; }

private:
  rlimit previous_{};
  void (*previousSignal_)(int) = SIG_DFL;
  bool active_ = false;
};

// A named pipe where a file is expected: opening it for reading would wait for a writer.
inline bool MakeFifo(const std::filesystem::path& path) { return mkfifo(path.string().c_str(), 0600) == 0; }
#endif

// A device's connection flag, read under the library lock as the control thread writes it.
inline bool IsConnected(USBDriver& device) {
  LibraryLock lock;
  return device.connected;
}

// The watchdog's body, run by hand with the library lock held as the control thread would.
inline void RunWatchdog(USBDriver& device) {
  LibraryLock lock;
  device.OnReconnectTimer();
}

// Holds a device lock on a thread of its own until released (a try_lock by the holder itself
// would be undefined), as the control thread does while it changes a channel.
class LockHolder {
public:
  explicit LockHolder(USBDriver& device) {
    std::promise<void> locked;
    std::future<void> isLocked = locked.get_future();
    thread_ = std::thread([&device, &locked, release = release_.get_future()]() mutable {
      device.Lock().lock();
      locked.set_value();
      release.wait();
      device.Lock().unlock();
    });
    isLocked.wait();
  }
  ~LockHolder() { Release(); }
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;
  void Release() {
    if (!thread_.joinable()) return;
    release_.set_value();
    thread_.join();
  }

private:
  std::promise<void> release_;
  std::thread thread_;
};

// ---- Motion: motor records, "Motor Stopped" capture, a box with wired motors ---------------------

// Names parameterised cases after their `name` member (a lambda's parameter there would shadow
// the macro's own).
struct ParamName {
  template <typename P>
  std::string operator()(const ::testing::TestParamInfo<P>& param) const {
    return param.param.name;
  }
};

// What a motor record needs for motion; the rest stays as in a fresh record.
struct MotorSetup {
  std::uint8_t address = 1;
  std::uint8_t type = 0x85;
  std::int8_t acceleration = 20;
  std::uint16_t minStepTime = 5;  // ms
  std::uint16_t maxStepTime = 10; // ms
  bool halfSteps = false;
  bool autoRelease = false;
  std::int32_t length = 0;
  float coefficient = 1.0f;
};

inline MotorRecord MotionRecord(const MotorSetup& setup) {
  MotorRecord record = FreshRecord();
  record.address = setup.address;
  record.type = setup.type;
  record.acceleration = setup.acceleration;
  record.minStepTime = setup.minStepTime;
  record.maxStepTime = setup.maxStepTime;
  record.halfSteps = setup.halfSteps ? 1 : 0;
  record.autoRelease = setup.autoRelease ? 1 : 0;
  record.length = setup.length;
  record.coefficient = setup.coefficient;
  return record;
}

// The emulator's name for what a motor record drives ("two-wire", "four-wire-half", ...).
inline const char* WiringOf(const MotorRecord& record) {
  if (record.type & 0x80) return record.halfSteps ? "four-wire-half" : "four-wire";
  if (record.type & 0x20) return record.halfSteps ? "synchron-half" : "synchron";
  return "two-wire";
}

// Collects "Motor Stopped" events while it lives (one collector at a time). Each event notes
// whether the device lock of `watched` could be taken from another thread at that moment. The
// readers first raise what was handed over (manual timing has no event thread).
class StoppedEvents {
public:
  StoppedEvents() {
    Current() = this;
    SetMotorStoppedHook(&Hook);
  }
  ~StoppedEvents() {
    SetMotorStoppedHook(nullptr);
    Current() = nullptr;
  }
  StoppedEvents(const StoppedEvents&) = delete;
  StoppedEvents& operator=(const StoppedEvents&) = delete;

  void Watch(USBDriver* device) { watched_ = device; }
  std::vector<std::uint32_t> Channels() {
    FlushStoppedEvents();
    std::lock_guard guard(mutex_);
    return channels_;
  }
  std::size_t Count() {
    FlushStoppedEvents();
    std::lock_guard guard(mutex_);
    return channels_.size();
  }
  // Events raised while the watched device's lock was still held (should stay 0).
  int RaisedUnderLock() {
    FlushStoppedEvents();
    return raisedUnderLock_.load();
  }
  void Clear() {
    FlushStoppedEvents();
    std::lock_guard guard(mutex_);
    channels_.clear();
  }

private:
  static StoppedEvents*& Current() {
    static StoppedEvents* current = nullptr;
    return current;
  }
  static void Hook(std::uint32_t channel) {
    StoppedEvents* self = Current();
    if (self == nullptr) return;
    if (USBDriver* device = self->watched_) {
      // Probed from another thread: a try_lock by the holder itself would be undefined.
      bool free = false;
      std::thread probe([&] {
        free = device->Lock().try_lock();
        if (free) device->Lock().unlock();
      });
      probe.join();
      if (!free) ++self->raisedUnderLock_;
    }
    std::lock_guard guard(self->mutex_);
    self->channels_.push_back(channel);
  }

  std::mutex mutex_;
  std::vector<std::uint32_t> channels_;
  USBDriver* watched_ = nullptr;
  std::atomic<int> raisedUnderLock_{0};
};

// One emulated box, opened, with motors added slot by slot and wired into the emulator. Tick
// times are explicit: `Ms(k)` is tick k of a 1 ms grid.
class MotionTest : public EmulatorTest {
protected:
  static constexpr const char* kSerial = "MOT00001";
  static constexpr double kT0 = 100.0;
  static double Ms(long k) { return kT0 + static_cast<double>(k) * 0.001; }

  void SetUp() override {
    EmulatorTest::SetUp();
    ASSERT_EQ(PlugAndRefresh({{"VORK-KADO", kSerial}}), 1);
    boxsim_clear(kSerial);
  }
  void TearDown() override {
    SetMotorStoppedHook(nullptr);
    EmulatorTest::TearDown();
  }

  USBDriver& Box() { return Device(0); }

  // Adds a slot and wires the emulator's connector to match; the new channel index.
  int AddMotor(const MotorSetup& setup) {
    MotorRecord record = MotionRecord(setup);
    int slot = -1;
    {
      LibraryLock lock;
      slot = AddSlot(Box(), record);
    }
    EXPECT_GE(slot, 0);
    if (setup.address >= 1 && setup.address <= 7) boxsim_wire(kSerial, setup.address, WiringOf(record));
    return slot;
  }

  bool Start(int channel, std::int32_t steps, bool hold = false) {
    LibraryLock lock;
    DeviceGuard guard(Box());
    return StartMove(Box().motors[channel], steps, hold);
  }
  void Stop(int channel) {
    LibraryLock lock;
    DeviceGuard guard(Box());
    RequestStop(Box().motors[channel]);
  }
  // A copy of the channel's state taken under the device lock.
  SMotor Motor(int channel) {
    DeviceGuard guard(Box());
    return Box().motors[channel];
  }
  bool Running(int channel) { return Motor(channel).direction != 0; }

  // Ticks on the 1 ms grid from tick `k` until the channel rests (at most `limit` ticks);
  // `k` ends one past the last tick run.
  void TickUntilStopped(long& k, int channel, long limit = 200000) {
    for (long end = k + limit; k < end && Running(channel); ++k) Tick(Ms(k));
    EXPECT_FALSE(Running(channel)) << "still running after " << limit << " ticks";
  }

  // Ticks exactly when the channel's next step is due (the first one at `start`) until it rests,
  // or until `pause` says so after a tick; the times at which its position changed, the furthest
  // positions reached each way, and when the next tick would come (to resume from).
  struct Trace {
    std::vector<double> stepTimes;
    std::int32_t highest = 0;
    std::int32_t lowest = 0;
    double next = 0;
  };
  Trace TickAtDueTimes(int channel, double start, const std::function<bool(const SMotor&)>& pause = {},
                       int maxTicks = 100000) {
    Trace trace;
    SMotor m = Motor(channel);
    trace.highest = trace.lowest = m.position;
    double now = start;
    for (int i = 0; i < maxTicks && m.direction != 0; ++i) {
      std::int32_t before = m.position;
      Tick(now);
      m = Motor(channel);
      if (m.position != before) trace.stepTimes.push_back(now);
      trace.highest = std::max(trace.highest, m.position);
      trace.lowest = std::min(trace.lowest, m.position);
      // "At the next tick" (0) means one period on; a step never waits less than that.
      now = m.nextStepTime > now ? m.nextStepTime : now + 0.001;
      if (pause && pause(m)) break;
    }
    trace.next = now;
    return trace;
  }

  // The step times of two traces of one move, in order.
  static std::vector<double> Joined(const Trace& a, const Trace& b) {
    std::vector<double> times = a.stepTimes;
    times.insert(times.end(), b.stepTimes.begin(), b.stepTimes.end());
    return times;
  }

  // Intervals between successive steps, in milliseconds.
  static std::vector<double> IntervalsMs(const std::vector<double>& times) {
    std::vector<double> out;
    for (std::size_t i = 1; i < times.size(); ++i) out.push_back((times[i] - times[i - 1]) * 1000.0);
    return out;
  }
};

}  // namespace mervane::testing
