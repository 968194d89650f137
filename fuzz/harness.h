// Shared ground of the fuzz targets: the box emulator loaded as the driver library, manual timing
// (the target drives the tick with explicit times, so a run is deterministic and needs no timer
// thread), a scratch settings folder in memory, and the invariants checked after every input:
// no channel that cannot be brought to rest, every settings file 289 bytes with no temporary file
// left, and every motor of a connected box where the emulator decoded it.
#pragma once

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <map>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "boxsim/boxsim.h"
#include "hardware/device.h"
#include "hardware/device_list.h"
#include "hardware/runtime.h"
#include "hardware/tick.h"
#include "mervane.h"
#include "platform/platform.h"

// The export Exit, renamed in the targets' copy of the library (see fuzz/CMakeLists.txt).
extern "C" void mervane_fuzz_Exit(void);

namespace mervane::fuzz {

// Reads an input front to back, so that a seed can be written by hand: a value in a range of at
// most 256 takes one byte (the byte modulo the range), up to 65536 two, else four or eight bytes,
// little-endian; a text is a length byte (modulo max + 1) and that many bytes. Past the end,
// every read gives zeros.
class ByteReader {
public:
  ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::size_t remaining_bytes() const { return size_ - at_; }

  template <typename T>
  T ConsumeIntegralInRange(T low, T high) {
    using U = std::make_unsigned_t<T>;
    const std::uint64_t span = static_cast<std::uint64_t>(static_cast<U>(high) - static_cast<U>(low));
    const std::size_t width = span < 0x100 ? 1 : span < 0x10000 ? 2 : span < 0x100000000ull ? 4 : 8;
    std::uint64_t raw = 0;
    for (std::size_t i = 0; i < width; ++i) raw |= static_cast<std::uint64_t>(Byte()) << (8 * i);
    if (span != ~std::uint64_t{0}) raw %= span + 1;
    return static_cast<T>(static_cast<U>(low) + static_cast<U>(raw));
  }
  template <typename T>
  T ConsumeIntegral() {
    return ConsumeIntegralInRange<T>(std::numeric_limits<T>::min(), std::numeric_limits<T>::max());
  }
  bool ConsumeBool() { return Byte() & 1; }
  template <typename T>
  std::vector<T> ConsumeBytes(std::size_t n) {
    std::vector<T> out;
    for (std::size_t i = 0; i < n && at_ < size_; ++i) out.push_back(static_cast<T>(Byte()));
    return out;
  }
  std::string ConsumeRandomLengthString(std::size_t maxLength) {
    const std::size_t length = Byte() % (maxLength + 1);
    std::string out;
    for (std::size_t i = 0; i < length && at_ < size_; ++i) out.push_back(static_cast<char>(Byte()));
    return out;
  }

private:
  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// A broken invariant: says which and aborts, which libFuzzer reports with the input.
[[noreturn]] inline void Fail(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::fputs("mervane fuzz invariant broken: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  va_end(args);
  std::abort();
}

// MERVANE_FUZZ_TRACE=1 prints what a target does (to read a reproducer).
inline int Trace() {
  static const int trace = std::atoi(platform::GetEnv("MERVANE_FUZZ_TRACE").value_or("0").c_str());
  return trace;
}

// The settings folder of the whole fuzzing process, in /dev/shm when there is one (every save
// flushes its file to disk, which a real disk makes slow).
inline const std::filesystem::path& Folder() {
  static const std::filesystem::path folder = [] {
    std::filesystem::path base = std::filesystem::exists("/dev/shm") ? std::filesystem::path("/dev/shm")
                                                                     : std::filesystem::temp_directory_path();
    std::string pattern = (base / "mervane-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) Fail("cannot create a scratch folder under %s", base.c_str());
    return std::filesystem::path(pattern);
  }();
  return folder;
}

inline std::string FolderWithSlash() { return Folder().string() + "/"; }

// Once per process, before the library first loads the driver.
inline void InitialiseProcess() {
  platform::SetEnv("MERVANE_D2XX_LIBRARY", MERVANE_BOXSIM_PATH);
  platform::SetEnv("MERVANE_CONFIG_DIR", FolderWithSlash().c_str());
  platform::SetEnv("MERVANE_COMPANION", "");
  platform::UnsetEnv("BOXSIM_STATE_DIR");
  GetRuntime().manualTiming = true;
  boxsim_reset();  // the emulator plugged its default boxes when it was loaded with the program
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(Folder(), ignored);
  });
}

// The tick's clock: only ever moves forward, across inputs too.
inline double& Now() {
  static double now = 1000.0;
  return now;
}

// Ticks every millisecond for `ms` milliseconds.
inline void TickFor(unsigned ms) {
  for (unsigned i = 0; i < ms; ++i) Tick(Now() += 0.001);
}

// What the emulator decodes for a motor record (its connector must be wired so).
inline const char* WiringOf(const MotorRecord& record) {
  if (record.type & 0x80) return record.halfSteps ? "four-wire-half" : "four-wire";
  if (record.type & 0x20) return record.halfSteps ? "synchron-half" : "synchron";
  return "two-wire";
}

// A running channel of any box, or {-1, -1}. Library lock held.
inline std::pair<int, int> FirstRunning() {
  const DeviceList& list = GetRuntime().devices;
  for (std::uint32_t d = 0; d < list.Count(); ++d) {
    USBDriver& device = *list.At(d);
    DeviceGuard guard(device);
    for (int c = 0; c < kChannelCount; ++c)
      if (device.motors[c].direction != 0) return {static_cast<int>(d), c};
  }
  return {-1, -1};
}

// Ticks from one due step to the next (at least 1 ms apart) while anything runs, at most
// `events` ticks. Whether everything rests.
inline bool TickUntilRest(int events) {
  for (int i = 0; i < events; ++i) {
    double soonest = -1;
    {
      LibraryLock lock;
      const DeviceList& list = GetRuntime().devices;
      for (std::uint32_t d = 0; d < list.Count(); ++d) {
        USBDriver& device = *list.At(d);
        DeviceGuard guard(device);
        for (const SMotor& m : device.motors)
          if (m.direction != 0 && (soonest < 0 || m.nextStepTime < soonest)) soonest = m.nextStepTime;
      }
    }
    if (soonest < 0) return true;
    Now() = std::max(Now() + 0.001, soonest);
    Tick(Now());
    if (Trace() > 1) {  // every tick: channel 0 of each box against its connector
      LibraryLock lock;
      const DeviceList& list = GetRuntime().devices;
      for (std::uint32_t d = 0; d < list.Count(); ++d) {
        USBDriver& device = *list.At(d);
        DeviceGuard guard(device);
        std::fprintf(stderr, "  tick %.3f %s: library %d, emulator %lld\n", Now(), device.serial.c_str(),
                     device.motors[0].position, boxsim_position(device.serial.c_str(), device.settings.records[0].address));
      }
    }
  }
  LibraryLock lock;
  return FirstRunning().first < 0;
}

// Brings every channel to rest: lets moves end, then stops what still runs. A channel that does
// not come to rest after a stop would make every wait for it last its full 10 s: an invariant.
inline void Settle(int events = 4000) {
  if (TickUntilRest(events)) return;
  {
    LibraryLock lock;
    const DeviceList& list = GetRuntime().devices;
    for (std::uint32_t d = 0; d < list.Count(); ++d) {
      USBDriver& device = *list.At(d);
      DeviceGuard guard(device);
      for (SMotor& m : device.motors)
        if (m.direction != 0) RequestStop(m);
    }
  }
  if (TickUntilRest(events)) return;
  LibraryLock lock;
  auto [d, c] = FirstRunning();
  USBDriver& device = *GetRuntime().devices.At(static_cast<std::uint32_t>(d));
  DeviceGuard guard(device);
  const SMotor& m = device.motors[c];
  Fail("box %s channel %d still runs %d ticks after a stop (connected %d, motors %u, hold %d, position %d, "
       "target %d, ramp %d/%u)",
       device.serial.c_str(), c, events, device.connected, device.motorCount, device.batchHold, m.position, m.target,
       static_cast<int>(m.rampState), m.rampCounter);
}

// Every file in the settings folder is a whole 289-byte block; no temporary file stays.
inline void CheckFiles() {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(Folder(), error)) {
    const std::string name = entry.path().filename().string();
    if (name.find(".tmp") != std::string::npos) Fail("temporary file %s left behind", name.c_str());
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".hws") == 0) {
      auto size = std::filesystem::file_size(entry.path(), error);
      if (error || size != kSettingsSize) Fail("settings file %s holds %ju bytes", name.c_str(), std::uintmax_t{size});
    }
  }
}

// Which motor kind the emulator has wired to each connector of each box. A motor that appears on a
// connected box (a new slot, another kind, another address) gets its connector wired afresh and
// is reset to position 0, as the fresh connector is; from then on the library's position and the
// emulator's must agree whatever happens (unplug, failed writes, close and reopen, removal of
// other slots), since only a reset or a new set-up may tell the library a motor is elsewhere.
class Wiring {
public:
  // Library lock not held. Motion rests (Settle) before.
  void Sync() {
    LibraryLock lock;
    const DeviceList& list = GetRuntime().devices;
    for (std::uint32_t d = 0; d < list.Count(); ++d) {
      USBDriver& device = *list.At(d);
      if (!device.connected) continue;  // a closed box shows no slots: what was wired stays
      std::map<int, std::string> seen;
      for (std::uint32_t c = 0; c < device.motorCount && c < kChannelCount; ++c) {
        const MotorRecord& record = device.settings.records[c];
        // A block type comes to rest on its mechanical stop, which the emulator does not model:
        // the library then sets the position to the axis length. Not compared.
        if (record.address < 1 || record.address > 7 || (record.type & kTypeBlock) != 0) continue;
        const std::string kind = WiringOf(record);
        seen[record.address] = kind;
        auto it = kinds_.find({device.serial, record.address});
        if (it != kinds_.end() && it->second == kind) continue;
        kinds_[{device.serial, record.address}] = kind;
        if (boxsim_wire(device.serial.c_str(), record.address, kind.c_str()) != 0) continue;
        if (!SM_Reset(d, c)) Fail("SM_Reset of a resting channel %s/%u failed", device.serial.c_str(), c);
      }
      for (auto it = kinds_.begin(); it != kinds_.end();) {
        bool gone = it->first.first == device.serial && seen.find(it->first.second) == seen.end();
        it = gone ? kinds_.erase(it) : std::next(it);
      }
    }
  }

  // With tracing: where each tracked motor is, in the library and in the emulator.
  void Dump() const {
    if (!Trace()) return;
    LibraryLock lock;
    const DeviceList& list = GetRuntime().devices;
    for (std::uint32_t d = 0; d < list.Count(); ++d) {
      USBDriver& device = *list.At(d);
      DeviceGuard guard(device);
      for (std::uint32_t c = 0; c < device.motorCount && c < kChannelCount; ++c) {
        const int address = device.settings.records[c].address;
        if (kinds_.find({device.serial, address}) == kinds_.end()) continue;
        std::fprintf(stderr, "   %s%s ch %u: library %d (dir %d, target %d), emulator %lld\n", device.serial.c_str(),
                     device.connected ? "" : " (closed)", c, device.motors[c].position, device.motors[c].direction,
                     device.motors[c].target, boxsim_position(device.serial.c_str(), address));
      }
    }
  }

  // Every motor of a connected box stands where the emulator decoded it.
  void CheckPositions() const {
    LibraryLock lock;
    const DeviceList& list = GetRuntime().devices;
    for (std::uint32_t d = 0; d < list.Count(); ++d) {
      USBDriver& device = *list.At(d);
      DeviceGuard guard(device);
      if (!device.connected) continue;
      for (std::uint32_t c = 0; c < device.motorCount && c < kChannelCount; ++c) {
        const MotorRecord& record = device.settings.records[c];
        if (kinds_.find({device.serial, record.address}) == kinds_.end() || Shared(device, record.address)) continue;
        const long long decoded = boxsim_position(device.serial.c_str(), record.address);
        if (Trace())
          std::fprintf(stderr, "box %s channel %u (connector %d): library %d, emulator %lld\n", device.serial.c_str(), c,
                       record.address, device.motors[c].position, decoded);
        if (decoded != device.motors[c].position)
          Fail("box %s channel %u (connector %d): library at %d, emulator at %lld", device.serial.c_str(), c,
               record.address, device.motors[c].position, decoded);
        const long long errors = boxsim_errors(device.serial.c_str(), record.address);
        if (errors != 0)
          Fail("box %s connector %d: %lld coil patterns that were no single step", device.serial.c_str(),
               record.address, errors);
      }
    }
  }

  // After a reset of channel `channel` of box `device` (position 0 now): its connector starts
  // afresh too. Library lock not held.
  void Reset(std::uint32_t device, std::uint32_t channel) {
    LibraryLock lock;
    const DeviceList& list = GetRuntime().devices;
    if (device >= list.Count()) return;
    USBDriver& box = *list.At(device);
    if (channel >= box.motorCount || channel >= static_cast<std::uint32_t>(kChannelCount)) return;
    auto it = kinds_.find({box.serial, box.settings.records[channel].address});
    if (it != kinds_.end()) boxsim_wire(box.serial.c_str(), it->first.second, it->second.c_str());
  }

  void Clear() { kinds_.clear(); }

private:
  // Two used records of one box on one connector (a settings file may say so): not comparable.
  static bool Shared(const USBDriver& device, int address) {
    int n = 0;
    for (std::uint32_t c = 0; c < device.motorCount && c < kChannelCount; ++c)
      n += device.settings.records[c].address == address;
    return n > 1;
  }

  std::map<std::pair<std::string, int>, std::string> kinds_;
};

// Closes every box (saving), forgets the emulated boxes and empties the settings folder.
inline void ResetWorld(Wiring& wiring) {
  {
    LibraryLock lock;
    mervane::CloseAllDevices();
  }
  boxsim_reset();
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(Folder(), ignored))
    std::filesystem::remove_all(entry.path(), ignored);
  wiring.Clear();
}

}  // namespace mervane::fuzz
