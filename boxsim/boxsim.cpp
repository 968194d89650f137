// The box emulator: emulated boxes behind the D2XX functions, and the control interface.
#include "boxsim/boxsim.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "boxsim/decoder.h"
#include "hardware/d2xx.h"
#include "platform/platform.h"

#define BOXSIM_D2XX_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

namespace platform = mervane::platform;
using mervane::boxsim::BusDecoder;
using mervane::boxsim::Connector;

constexpr std::size_t kEepromSize = 64;  // the largest user area the emulated chip offers
// Callers of FT_ListDevices pass 64-byte buffers; a name of exactly 64 bytes fills one without
// its NUL, as the vendor's library returns it.
constexpr std::size_t kMaxNameLength = 64;
constexpr double kMaxWriteDelay = 60.0;  // seconds, so that a mistaken delay cannot hang a test
// The ids a chip leaves the factory with, and the ones the vendor's library lists by itself.
constexpr FT_DWORD kDefaultVid = 0x0403;
constexpr FT_DWORD kDefaultPid = 0x6001;
constexpr std::array<FT_DWORD, 6> kKnownPids = {0x6001, 0x6006, 0x6010, 0x6011, 0x6014, 0x6015};
constexpr FT_DWORD kMaxUsbId = 0xFFFF;
constexpr std::size_t kByteLogCap = std::size_t{1} << 20;   // bytes kept per box (1 MiB)
constexpr std::size_t kWriteLogCap = std::size_t{1} << 20;  // write records kept per box

// The operations boxsim_fail can make fail, in the order of their names below.
enum class Op {
  List, Open, SetBitMode, SetBaudRate, UaRead, UaWrite, GetStatus, Write, Close, SetTimeouts, UaSize
};
constexpr std::array<std::string_view, 11> kOpNames = {
    "list",    "open",      "setbitmode", "setbaudrate", "uaread",      "uawrite",
    "getstatus", "write",   "close",      "settimeouts", "uasize"};

struct WriteRecord {
  double time;  // seconds, platform::NowSeconds()
  int size;
};

// One box ever plugged since the last reset. A detached box keeps its EEPROM, motors and logs
// so that a re-plug of the same serial finds them again.
struct Box {
  std::string description;
  std::string serial;
  bool attached = false;
  // Unique over the process lifetime (never reset), so handles of an earlier plug stay stale.
  std::uint64_t generation = 0;
  bool open = false;  // a live handle exists
  FT_DWORD vid = kDefaultVid;
  FT_DWORD pid = kDefaultPid;
  std::array<std::uint8_t, kEepromSize> eeprom{};
  // What FT_EE_UARead and FT_EE_UAWrite may reach of `eeprom`: on real chips what the descriptor
  // strings leave free. A chip property, kept across plugs.
  std::size_t userAreaSize = kEepromSize;
  // The next `shortWrites` writes send only `shortWriteBytes` bytes and still report success.
  int shortWrites = 0;
  std::size_t shortWriteBytes = 0;
  double writeDelay = 0.0;        // seconds each write takes (kept across plugs)
  FT_ULONG writeTimeoutMs = 0;    // of the open handle, 0 = none (FT_SetTimeouts)
  // Chip settings since the last plug; 0 means "never set" (mode 0 is the power-up reset mode).
  int bitMask = 0;
  int bitMode = 0;
  FT_ULONG baud = 0;
  std::vector<std::uint8_t> bytes;   // first kByteLogCap bytes since the last clear
  std::vector<WriteRecord> writes;   // first kWriteLogCap write calls since the last clear
  std::array<int, kOpNames.size()> failures{};  // injected failures still to come, per Op
  BusDecoder bus;
  // With a state folder: held while a handle is open here, so that no other process opens the
  // box meanwhile (a chip takes one open at a time); the system drops it when the process dies.
  std::unique_ptr<platform::FileLock> lock;
};

struct HandleRecord {
  std::string serial;
  std::uint64_t generation;  // the box's generation when opened
};

// All emulator state. `mutex` guards every member; it is taken by each exported function, from
// whichever thread calls (the host's tick thread writes, its control thread and tests open,
// list and query, tests plug and unplug). Besides in-memory work it is held only while the
// state folder's small files are read or written: an EEPROM write, a box's open and close (its
// lock and connectors), a query of a box open elsewhere; all rare, so a tick never waits long.
struct Emulator {
  std::mutex mutex;
  std::map<std::string, Box> boxes;    // by serial
  std::vector<std::string> attached;   // serials in listing order (order of plugging)
  std::map<std::uint64_t, HandleRecord> handles;  // open handles, live or stale
  std::vector<std::pair<FT_DWORD, FT_DWORD>> customIds;  // made known by FT_SetVIDPID
  int listFailures = 0;
  // Counters that survive reset: a handle value or plug generation is never issued twice.
  std::uint64_t nextHandle = 1;
  std::uint64_t plugCount = 0;
};

// ---- Persistence of the EEPROM user area (BOXSIM_STATE_DIR) ----

// One file per serial; bytes outside [A-Za-z0-9_-] are %XX-escaped so the mapping is injective
// and no serial can leave the folder.
std::string StateFile(const std::string& folder, const std::string& serial,
                      const char* suffix = ".eeprom") {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string name = folder + "/boxsim-";
  for (unsigned char c : serial) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
        c == '-') {
      name += static_cast<char>(c);
    } else {
      name += '%';
      name += kHex[c >> 4];
      name += kHex[c & 0x0F];
    }
  }
  return name + suffix;
}

// The box's open lock, and the connectors' state as the last process that held the box left it.
std::string LockFile(const std::string& folder, const std::string& serial) {
  return StateFile(folder, serial, ".lock");
}
std::string ConnectorsFile(const std::string& folder, const std::string& serial) {
  return StateFile(folder, serial, ".motors");
}

std::string StateFolder() {
  return platform::GetEnv("BOXSIM_STATE_DIR").value_or(std::string());
}

// At plug time: the saved user area replaces the remembered one when a file exists. At open
// (`folderIsTruth`) the folder alone tells: a folder without the file holds a blank chip, so a
// process that changes folders never carries one folder's chips into another.
void LoadEeprom(Box& box, bool folderIsTruth = false) {
  const std::string folder = StateFolder();
  if (folder.empty()) return;
  std::vector<std::uint8_t> data;
  if (platform::ReadWholeFile(StateFile(folder, box.serial), data) != platform::ReadStatus::Ok) {
    if (folderIsTruth) box.eeprom.fill(0);
    return;
  }
  box.eeprom.fill(0);
  std::copy_n(data.begin(), std::min(data.size(), kEepromSize), box.eeprom.begin());
}

// Writes `len` bytes at the start of the user area, saving it first when a state folder is set;
// false (and nothing changed) when the file cannot be written.
bool WriteEeprom(Box& box, const std::uint8_t* data, std::size_t len) {
  std::array<std::uint8_t, kEepromSize> next = box.eeprom;
  if (len > 0) std::memcpy(next.data(), data, len);
  const std::string folder = StateFolder();
  if (!folder.empty()) {
    if (!platform::DirectoryExists(folder) && !platform::CreateDirectory(folder)) return false;
    if (!platform::WriteFileAtomic(StateFile(folder, box.serial), next.data(), next.size())) {
      return false;
    }
  }
  box.eeprom = next;
  return true;
}

// The connectors as saved in the state folder replace the ones in memory; a folder without the
// file holds unwired connectors.
void LoadConnectors(Box& box) {
  const std::string folder = StateFolder();
  if (folder.empty()) return;
  std::vector<std::uint8_t> data;
  if (platform::ReadWholeFile(ConnectorsFile(folder, box.serial), data) != platform::ReadStatus::Ok ||
      !box.bus.Restore(std::string_view(reinterpret_cast<const char*>(data.data()), data.size())))
    box.bus = BusDecoder{};
}

bool SaveConnectors(const Box& box) {
  const std::string folder = StateFolder();
  if (folder.empty()) return true;
  const std::string text = box.bus.Save();
  return platform::WriteFileAtomic(ConnectorsFile(folder, box.serial), text.data(), text.size());
}

// How the holder is named to another process that finds the box busy: BOXSIM_HOLDER (a tool
// says what it does, "mervanectl move") or the program's name, and the process id.
std::string HolderLine() {
  std::string who = platform::GetEnv("BOXSIM_HOLDER").value_or("");
  if (who.empty()) who = platform::ProgramName();
  return who + ", pid " + std::to_string(platform::CurrentProcessId());
}

// Takes the box for this process: false when another process holds it. Without a state folder
// the processes share nothing and every box is free. The connectors and the EEPROM then come
// from the folder, as the last holder left them.
bool TakeBox(Box& box) {
  const std::string folder = StateFolder();
  if (folder.empty()) return true;
  if (!platform::DirectoryExists(folder) && !platform::CreateDirectory(folder)) return false;
  auto lock = std::make_unique<platform::FileLock>();
  if (!lock->TryLock(LockFile(folder, box.serial), HolderLine())) return false;
  box.lock = std::move(lock);
  LoadConnectors(box);
  LoadEeprom(box, true);
  return true;
}

// Leaves the box for the next process, the connectors saved first.
void GiveBack(Box& box) {
  if (!box.lock) return;
  SaveConnectors(box);
  box.lock.reset();
}

// For a box not open here: the connectors as its last holder saved them.
void Refresh(Box& box) {
  if (!box.open) LoadConnectors(box);
}

// ---- Boxes (all with the mutex held) ----

bool ValidName(const char* s) {
  return s != nullptr && s[0] != '\0' && std::strlen(s) <= kMaxNameLength;
}

// A caller's name, read no further than one byte past the longest valid name (so a longer or
// unterminated one matches nothing).
std::string_view BoundedName(const char* text) {
  std::size_t length = 0;
  while (length <= kMaxNameLength && text[length] != '\0') ++length;
  return {text, length};
}

Box* FindBox(Emulator& em, const char* serial) {
  if (serial == nullptr) return nullptr;
  const auto it = em.boxes.find(serial);
  return it == em.boxes.end() ? nullptr : &it->second;
}

// Whether the listing and open calls see the box: the library knows the default ids by itself,
// others only once FT_SetVIDPID named them.
bool Visible(const Emulator& em, const Box& box) {
  if (box.vid == kDefaultVid && std::find(kKnownPids.begin(), kKnownPids.end(), box.pid) != kKnownPids.end())
    return true;
  return std::find(em.customIds.begin(), em.customIds.end(), std::pair{box.vid, box.pid}) != em.customIds.end();
}

// The attached boxes the listing shows, in listing order.
std::vector<const Box*> Listed(const Emulator& em) {
  std::vector<const Box*> listed;
  for (const std::string& serial : em.attached) {
    const Box& box = em.boxes.at(serial);
    if (Visible(em, box)) listed.push_back(&box);
  }
  return listed;
}

int Plug(Emulator& em, const std::string& description, const std::string& serial,
         FT_DWORD vid = kDefaultVid, FT_DWORD pid = kDefaultPid) {
  if (!ValidName(description.c_str()) || !ValidName(serial.c_str())) return -1;
  if (vid > kMaxUsbId || pid > kMaxUsbId) return -1;
  em.attached.reserve(em.attached.size() + 1);  // so the push_back below cannot throw
  Box& box = em.boxes[serial];
  if (box.attached) return -1;
  box.description = description;
  box.serial = serial;
  box.attached = true;
  box.vid = vid;
  box.pid = pid;
  box.generation = ++em.plugCount;
  box.open = false;
  box.bitMask = 0;
  box.bitMode = 0;
  box.baud = 0;
  LoadEeprom(box);
  em.attached.push_back(serial);
  return 0;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// BOXSIM_BOXES: comma-separated DESCRIPTION:SERIAL (split at the last colon, blanks around an
// entry ignored). Malformed entries and repeated serials are skipped.
void PlugFromEnvironment(Emulator& em) {
  const std::optional<std::string> list = platform::GetEnv("BOXSIM_BOXES");
  if (!list) {
    Plug(em, "VORK-KADO", "SIM00001");
    Plug(em, "VORK-ql2", "SIM00002");
    return;
  }
  std::string_view rest = *list;
  while (!rest.empty()) {
    const std::size_t comma = rest.find(',');
    const std::string_view entry = Trim(rest.substr(0, comma));
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    const std::size_t colon = entry.rfind(':');
    if (colon == std::string_view::npos) continue;
    Plug(em, std::string(entry.substr(0, colon)), std::string(entry.substr(colon + 1)));
  }
}

// Intentionally never destroyed: a host's static destructors (run after ours) or its tick thread
// may still call in while the process exits. The library is linked nodelete, so it stays mapped.
Emulator& TheEmulator() {
  static Emulator* const emulator = [] {
    auto* em = new Emulator;
    PlugFromEnvironment(*em);
    return em;
  }();
  return *emulator;
}

// Boxes come from the environment when the library is loaded, not at the first call.
[[maybe_unused]] const bool gLoaded = (TheEmulator(), true);

bool ConsumeFailure(int& remaining) {
  if (remaining <= 0) return false;
  --remaining;
  return true;
}

bool ConsumeFailure(Box& box, Op op) {
  return ConsumeFailure(box.failures[static_cast<std::size_t>(op)]);
}

std::uint64_t HandleId(FT_HANDLE handle) {
  return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle));
}

// The box a handle drives, or null when the handle is stale (its box unplugged or forgotten).
Box* LiveBox(Emulator& em, const HandleRecord& record) {
  const auto it = em.boxes.find(record.serial);
  if (it == em.boxes.end()) return nullptr;
  Box& box = it->second;
  return box.attached && box.generation == record.generation ? &box : nullptr;
}

// Runs `body` with the lock held, turning any exception (allocation) into `failure`.
template <class R, class Body>
R Guarded(R failure, Body&& body) noexcept {
  try {
    Emulator& em = TheEmulator();
    std::lock_guard<std::mutex> lock(em.mutex);
    return body(em);
  } catch (...) {
    return failure;
  }
}

// The common path of every handle operation except close: an unknown handle, a stale handle,
// bad parameters, then an injected failure, and only then `body(box)`.
template <class Body>
FT_STATUS OnLiveBox(FT_HANDLE handle, Op op, bool paramsOk, Body&& body) noexcept {
  return Guarded<FT_STATUS>(FT_OTHER_ERROR, [&](Emulator& em) -> FT_STATUS {
    const auto it = em.handles.find(HandleId(handle));
    if (handle == nullptr || it == em.handles.end()) return FT_INVALID_HANDLE;
    Box* box = LiveBox(em, it->second);
    if (box == nullptr) return FT_IO_ERROR;
    if (!paramsOk) return FT_INVALID_PARAMETER;
    if (ConsumeFailure(*box, op)) return FT_IO_ERROR;
    return body(*box);
  });
}

// Runs `body(box)` for a known serial (attached or not); `failure` otherwise.
template <class R, class Body>
R OnKnownBox(const char* serial, R failure, Body&& body) noexcept {
  return Guarded<R>(failure, [&](Emulator& em) -> R {
    Box* box = FindBox(em, serial);
    return box == nullptr ? failure : body(*box);
  });
}

// Copies min(count, max) items; negative for a negative `max` or a null buffer that must be used.
template <class Fill>
int CopyOut(std::size_t count, int max, bool buffersOk, Fill&& fill) {
  if (max < 0 || (max > 0 && !buffersOk)) return -1;
  const std::size_t n = std::min(count, static_cast<std::size_t>(max));
  fill(n);
  return static_cast<int>(n);
}

// Reads one connector of a known box; `failure` for an unknown serial or an address outside 1..7.
template <class R, class Read>
R OnConnector(const char* serial, int address, R failure, Read&& read) noexcept {
  return OnKnownBox(serial, failure, [&](Box& box) {
    Refresh(box);
    const Connector* c = box.bus.At(address);
    return c == nullptr ? failure : read(*c);
  });
}

}  // namespace

// ---- D2XX functions ----

BOXSIM_D2XX_EXPORT FT_STATUS FTD2XX_CALL FT_ListDevices(void* arg1, void* arg2, FT_DWORD flags) {
  return Guarded<FT_STATUS>(FT_OTHER_ERROR, [&](Emulator& em) -> FT_STATUS {
    if ((flags & FT_LIST_NUMBER_ONLY) != 0) {
      if (arg1 == nullptr) return FT_INVALID_PARAMETER;
      if (ConsumeFailure(em.listFailures)) return FT_IO_ERROR;
      *static_cast<FT_DWORD*>(arg1) = static_cast<FT_DWORD>(Listed(em).size());
      return FT_OK;
    }
    if ((flags & FT_LIST_BY_INDEX) != 0) {
      const FT_DWORD selector = flags & ~FT_LIST_BY_INDEX;
      if (arg2 == nullptr ||
          (selector != FT_OPEN_BY_SERIAL_NUMBER && selector != FT_OPEN_BY_DESCRIPTION)) {
        return FT_INVALID_PARAMETER;
      }
      if (ConsumeFailure(em.listFailures)) return FT_IO_ERROR;
      // The index travels in place of the first pointer.
      const std::uintptr_t index = reinterpret_cast<std::uintptr_t>(arg1);
      const std::vector<const Box*> listed = Listed(em);
      if (index >= listed.size()) return FT_DEVICE_NOT_FOUND;
      const Box& box = *listed[index];
      const std::string& text = selector == FT_OPEN_BY_SERIAL_NUMBER ? box.serial : box.description;
      // The NUL only when it fits the caller's 64 bytes.
      std::memcpy(arg2, text.c_str(), std::min(text.size() + 1, kMaxNameLength));
      return FT_OK;
    }
    return (flags & FT_LIST_ALL) != 0 ? FT_NOT_SUPPORTED : FT_INVALID_PARAMETER;
  });
}

// By description, the first free box of that description wins, as with identical real boxes.
BOXSIM_D2XX_EXPORT FT_STATUS FTD2XX_CALL FT_OpenEx(void* arg1, FT_DWORD flags, FT_HANDLE* handle) {
  return Guarded<FT_STATUS>(FT_OTHER_ERROR, [&](Emulator& em) -> FT_STATUS {
    if (handle == nullptr) return FT_INVALID_PARAMETER;
    *handle = nullptr;
    if (arg1 == nullptr ||
        (flags != FT_OPEN_BY_SERIAL_NUMBER && flags != FT_OPEN_BY_DESCRIPTION)) {
      return FT_INVALID_PARAMETER;
    }
    const std::string_view key = BoundedName(static_cast<const char*>(arg1));
    Box* chosen = nullptr;
    for (const std::string& serial : em.attached) {
      Box& box = em.boxes.at(serial);
      if (!Visible(em, box)) continue;
      const std::string& name = flags == FT_OPEN_BY_SERIAL_NUMBER ? box.serial : box.description;
      if (name != key) continue;
      if (chosen == nullptr || (chosen->open && !box.open)) chosen = &box;
    }
    if (chosen == nullptr) return FT_DEVICE_NOT_FOUND;
    if (ConsumeFailure(*chosen, Op::Open) || chosen->open) return FT_DEVICE_NOT_OPENED;
    if (!TakeBox(*chosen)) return FT_DEVICE_NOT_OPENED;  // open in another process
    const std::uint64_t id = em.nextHandle++;
    em.handles.emplace(id, HandleRecord{chosen->serial, chosen->generation});
    chosen->open = true;
    chosen->writeTimeoutMs = 0;  // a fresh handle waits as long as a write takes
    *handle = reinterpret_cast<FT_HANDLE>(static_cast<std::uintptr_t>(id));
    return FT_OK;
  });
}

// A stale handle closes fine; an injected failure leaves a live handle open.
BOXSIM_D2XX_EXPORT FT_STATUS FTD2XX_CALL FT_Close(FT_HANDLE handle) {
  return Guarded<FT_STATUS>(FT_OTHER_ERROR, [&](Emulator& em) -> FT_STATUS {
    const auto it = em.handles.find(HandleId(handle));
    if (handle == nullptr || it == em.handles.end()) return FT_INVALID_HANDLE;
    if (Box* box = LiveBox(em, it->second)) {
      if (ConsumeFailure(*box, Op::Close)) return FT_IO_ERROR;
      box->open = false;
      GiveBack(*box);
    }
    em.handles.erase(it);
    return FT_OK;
  });
}

BOXSIM_D2XX_EXPORT FT_STATUS FTD2XX_CALL FT_SetBitMode(FT_HANDLE handle, FT_UCHAR mask,
                                                       FT_UCHAR enable) {
  return OnLiveBox(handle, Op::SetBitMode, true, [&](Box& box) -> FT_STATUS {
    box.bitMask = mask;
    box.bitMode = enable;
    return FT_OK;
  });
}

// 0 is no rate; above INT_MAX could not be reported by boxsim_baudrate.
BOXSIM_D2XX_EXPORT FT_STATUS FTD2XX_CALL FT_SetBaudRate(FT_HANDLE handle, FT_ULONG baudRate) {
  const bool ok = baudRate > 0 && baudRate <= static_cast<FT_ULONG>(INT_MAX);
  return OnLiveBox(handle, Op::SetBaudRate, ok, [&](Box& box) -> FT_STATUS {
    box.baud = baudRate;
    return FT_OK;
  });
}

BOXSIM_D2XX_EXPORT FT_STATUS FTD2XX_CALL FT_EE_UARead(FT_HANDLE handle, FT_UCHAR* data,
                                                      FT_DWORD length, FT_DWORD* bytesRead) {
  const bool ok = bytesRead != nullptr && (data != nullptr || length == 0);
  return OnLiveBox(handle, Op::UaRead, ok, [&](Box& box) -> FT_STATUS {
    const std::size_t n = std::min<std::size_t>(length, box.userAreaSize);
    std::copy_n(box.eeprom.begin(), n, data);
    *bytesRead = static_cast<FT_DWORD>(n);
    return FT_OK;
  });
}

BOXSIM_D2XX_EXPORT FT_STATUS FTD2XX_CALL FT_EE_UAWrite(FT_HANDLE handle, FT_UCHAR* data,
                                                       FT_DWORD length) {
  const bool ok = length <= kEepromSize && (data != nullptr || length == 0);
  return OnLiveBox(handle, Op::UaWrite, ok, [&](Box& box) -> FT_STATUS {
    if (length > box.userAreaSize) return FT_INVALID_PARAMETER;  // past the user area
    return WriteEeprom(box, data, length) ? FT_OK : FT_IO_ERROR;
  });
}

BOXSIM_D2XX_EXPORT FT_STATUS FTD2XX_CALL FT_EE_UASize(FT_HANDLE handle, FT_DWORD* size) {
  return OnLiveBox(handle, Op::UaSize, size != nullptr, [&](Box& box) -> FT_STATUS {
    *size = static_cast<FT_DWORD>(box.userAreaSize);
    return FT_OK;
  });
}

// Only the write timeout matters here: the emulated chip never has anything to read.
BOXSIM_D2XX_EXPORT FT_STATUS FTD2XX_CALL FT_SetTimeouts(FT_HANDLE handle, FT_ULONG readTimeout,
                                                        FT_ULONG writeTimeout) {
  static_cast<void>(readTimeout);
  return OnLiveBox(handle, Op::SetTimeouts, true, [&](Box& box) -> FT_STATUS {
    box.writeTimeoutMs = writeTimeout;
    return FT_OK;
  });
}

// Adds one pair to those the listing shows besides the default ones.
BOXSIM_D2XX_EXPORT FT_STATUS FTD2XX_CALL FT_SetVIDPID(FT_DWORD vid, FT_DWORD pid) {
  if (vid > kMaxUsbId || pid > kMaxUsbId) return FT_INVALID_PARAMETER;
  return Guarded<FT_STATUS>(FT_OTHER_ERROR, [&](Emulator& em) -> FT_STATUS {
    if (std::find(em.customIds.begin(), em.customIds.end(), std::pair{vid, pid}) == em.customIds.end())
      em.customIds.emplace_back(vid, pid);
    return FT_OK;
  });
}

// Nothing is ever queued: the emulated chip reads nothing and sends instantly.
BOXSIM_D2XX_EXPORT FT_STATUS FTD2XX_CALL FT_GetStatus(FT_HANDLE handle, FT_DWORD* rxBytes,
                                                      FT_DWORD* txBytes, FT_DWORD* eventStatus) {
  const bool ok = rxBytes != nullptr && txBytes != nullptr && eventStatus != nullptr;
  return OnLiveBox(handle, Op::GetStatus, ok, [&](Box&) -> FT_STATUS {
    *rxBytes = 0;
    *txBytes = 0;
    *eventStatus = 0;
    return FT_OK;
  });
}

// The bytes sent reach the decoder (the chip mode is recorded, not enforced); the logs keep the
// first kByteLogCap bytes and kWriteLogCap calls since the last boxsim_clear, each call with the
// bytes it sent. A box with a write delay holds the caller that long (without the emulator's
// lock); when the delay exceeds the handle's write timeout, the call returns after the timeout
// with the share of the bytes sent meanwhile, and still reports success, as the chip does.
BOXSIM_D2XX_EXPORT FT_STATUS FTD2XX_CALL FT_Write(FT_HANDLE handle, void* buffer,
                                                  FT_DWORD bytesToWrite, FT_DWORD* bytesWritten) {
  if (bytesWritten != nullptr) *bytesWritten = 0;
  const bool ok = bytesWritten != nullptr && (buffer != nullptr || bytesToWrite == 0) &&
                  bytesToWrite <= static_cast<FT_DWORD>(INT_MAX);
  double wait = 0.0;
  const FT_STATUS status = OnLiveBox(handle, Op::Write, ok, [&](Box& box) -> FT_STATUS {
    std::size_t sent = bytesToWrite;
    if (box.shortWrites > 0) {
      --box.shortWrites;
      sent = std::min(sent, box.shortWriteBytes);
    }
    wait = box.writeDelay;
    const double timeout = static_cast<double>(box.writeTimeoutMs) * 1e-3;
    if (timeout > 0.0 && wait > timeout) {
      sent = static_cast<std::size_t>(static_cast<double>(sent) * (timeout / wait));
      wait = timeout;
    }
    const std::span<const std::uint8_t> data(static_cast<const std::uint8_t*>(buffer), sent);
    if (box.writes.size() < kWriteLogCap) {
      box.writes.push_back({platform::NowSeconds(), static_cast<int>(sent)});
    }
    const std::size_t keep = std::min(data.size(), kByteLogCap - box.bytes.size());
    box.bytes.insert(box.bytes.end(), data.begin(), data.begin() + std::ptrdiff_t(keep));
    box.bus.Feed(data);
    *bytesWritten = static_cast<FT_DWORD>(sent);
    return FT_OK;
  });
  platform::SleepSeconds(wait);
  return status;
}

static_assert(std::is_same_v<decltype(&FT_ListDevices), FT_ListDevices_t>);
static_assert(std::is_same_v<decltype(&FT_OpenEx), FT_OpenEx_t>);
static_assert(std::is_same_v<decltype(&FT_Close), FT_Close_t>);
static_assert(std::is_same_v<decltype(&FT_SetBitMode), FT_SetBitMode_t>);
static_assert(std::is_same_v<decltype(&FT_SetBaudRate), FT_SetBaudRate_t>);
static_assert(std::is_same_v<decltype(&FT_EE_UARead), FT_EE_UARead_t>);
static_assert(std::is_same_v<decltype(&FT_EE_UAWrite), FT_EE_UAWrite_t>);
static_assert(std::is_same_v<decltype(&FT_GetStatus), FT_GetStatus_t>);
static_assert(std::is_same_v<decltype(&FT_Write), FT_Write_t>);
static_assert(std::is_same_v<decltype(&FT_SetTimeouts), FT_SetTimeouts_t>);
static_assert(std::is_same_v<decltype(&FT_EE_UASize), FT_EE_UASize_t>);
static_assert(std::is_same_v<decltype(&FT_SetVIDPID), FT_SetVIDPID_t>);

// ---- Control interface ----

int boxsim_plug(const char* description, const char* serial) {
  if (description == nullptr || serial == nullptr) return -1;
  return Guarded(-1, [&](Emulator& em) { return Plug(em, description, serial); });
}

int boxsim_plug_ids(const char* description, const char* serial, unsigned vid, unsigned pid) {
  if (description == nullptr || serial == nullptr) return -1;
  return Guarded(-1, [&](Emulator& em) { return Plug(em, description, serial, vid, pid); });
}

int boxsim_unplug(const char* serial) {
  return Guarded(-1, [&](Emulator& em) {
    Box* box = FindBox(em, serial);
    if (box == nullptr || !box->attached) return -1;
    box->attached = false;
    box->open = false;
    box->bus.PowerOff();
    GiveBack(*box);
    std::erase(em.attached, box->serial);
    return 0;
  });
}

// Handles stay known (stale) so that their owners can still close them.
void boxsim_reset(void) {
  Guarded(0, [&](Emulator& em) {
    em.boxes.clear();
    em.attached.clear();
    em.customIds.clear();
    em.listFailures = 0;
    return 0;
  });
}

int boxsim_fail(const char* serial, const char* operation, int count) {
  if (operation == nullptr || count < 0) return -1;
  const auto op = std::find(kOpNames.begin(), kOpNames.end(), std::string_view(operation));
  if (op == kOpNames.end()) return -1;
  if (op == kOpNames.begin()) {  // "list" belongs to no box; any serial is ignored
    return Guarded(-1, [&](Emulator& em) {
      em.listFailures = count;
      return 0;
    });
  }
  return OnKnownBox(serial, -1, [&](Box& box) {
    box.failures[static_cast<std::size_t>(op - kOpNames.begin())] = count;
    return 0;
  });
}

int boxsim_set_ua_size(const char* serial, int bytes) {
  if (bytes < 0 || static_cast<std::size_t>(bytes) > kEepromSize) return -1;
  return OnKnownBox(serial, -1, [&](Box& box) {
    box.userAreaSize = static_cast<std::size_t>(bytes);
    return 0;
  });
}

int boxsim_short_write(const char* serial, int count, int bytes) {
  if (count < 0 || bytes < 0) return -1;
  return OnKnownBox(serial, -1, [&](Box& box) {
    box.shortWrites = count;
    box.shortWriteBytes = static_cast<std::size_t>(bytes);
    return 0;
  });
}

int boxsim_write_delay(const char* serial, double seconds) {
  if (!(seconds >= 0.0 && seconds <= kMaxWriteDelay)) return -1;  // NaN fails too
  return OnKnownBox(serial, -1, [&](Box& box) {
    box.writeDelay = seconds;
    return 0;
  });
}

int boxsim_set_eeprom(const char* serial, const void* data, int len) {
  if (len < 0 || static_cast<std::size_t>(len) > kEepromSize || (data == nullptr && len > 0)) {
    return -1;
  }
  return OnKnownBox(serial, -1, [&](Box& box) {
    return WriteEeprom(box, static_cast<const std::uint8_t*>(data), static_cast<std::size_t>(len))
               ? 0
               : -1;
  });
}

int boxsim_get_eeprom(const char* serial, void* buf, int len) {
  return OnKnownBox(serial, -1, [&](Box& box) {
    return CopyOut(kEepromSize, len, buf != nullptr, [&](std::size_t n) {
      std::copy_n(box.eeprom.begin(), n, static_cast<std::uint8_t*>(buf));
    });
  });
}

int boxsim_is_open(const char* serial) {
  return OnKnownBox(serial, -1, [](Box& box) { return box.open ? 1 : 0; });
}

int boxsim_bitmode(const char* serial, int* mask, int* mode) {
  if (mask == nullptr || mode == nullptr) return -1;
  return OnKnownBox(serial, -1, [&](Box& box) {
    *mask = box.bitMask;
    *mode = box.bitMode;
    return 0;
  });
}

int boxsim_baudrate(const char* serial) {
  return OnKnownBox(serial, -1, [](Box& box) { return static_cast<int>(box.baud); });
}

int boxsim_bytes(const char* serial, unsigned char* buf, int max) {
  return OnKnownBox(serial, -1, [&](Box& box) {
    return CopyOut(box.bytes.size(), max, buf != nullptr,
                   [&](std::size_t n) { std::copy_n(box.bytes.begin(), n, buf); });
  });
}

int boxsim_writes(const char* serial, double* times, int* sizes, int max) {
  return OnKnownBox(serial, -1, [&](Box& box) {
    return CopyOut(box.writes.size(), max, times != nullptr && sizes != nullptr,
                   [&](std::size_t n) {
                     for (std::size_t i = 0; i < n; ++i) {
                       times[i] = box.writes[i].time;
                       sizes[i] = box.writes[i].size;
                     }
                   });
  });
}

void boxsim_clear(const char* serial) {
  OnKnownBox(serial, -1, [](Box& box) {
    box.bytes.clear();
    box.bytes.shrink_to_fit();
    box.writes.clear();
    box.writes.shrink_to_fit();
    return 0;
  });
}

// A box not open here is rewired in the state folder, under its lock for the moment.
int boxsim_wire(const char* serial, int address, const char* kind) {
  const auto parsed = kind != nullptr ? mervane::boxsim::ParseMotorKind(kind) : std::nullopt;
  if (!parsed) return -1;
  return OnKnownBox(serial, -1, [&](Box& box) {
    const bool borrowed = !box.open;
    if (borrowed && !TakeBox(box)) return -1;
    const bool wired = box.bus.Wire(address, *parsed);
    if (borrowed) GiveBack(box);
    return wired ? 0 : -1;
  });
}

int boxsim_wiring(const char* serial, int address, char* buf, int len) {
  return OnKnownBox(serial, -1, [&](Box& box) {
    Refresh(box);
    const Connector* c = box.bus.At(address);
    if (c == nullptr) return -1;
    const std::string_view name = mervane::boxsim::MotorKindName(c->Kind());
    if (buf == nullptr || len <= static_cast<int>(name.size())) return -1;
    std::memcpy(buf, name.data(), name.size());
    buf[name.size()] = '\0';
    return static_cast<int>(name.size());
  });
}

int boxsim_holder(const char* serial, char* buf, int len) {
  if (buf == nullptr || len < 1) return -1;
  return OnKnownBox(serial, -1, [&](Box& box) {
    buf[0] = '\0';
    const std::string folder = StateFolder();
    if (box.lock || folder.empty()) return 0;
    const std::optional<std::string> line = platform::FileLock::HolderOf(LockFile(folder, box.serial));
    if (!line) return 0;
    const std::string shown = line->empty() ? std::string("another process") : *line;
    const std::size_t n = std::min(shown.size(), static_cast<std::size_t>(len - 1));
    std::memcpy(buf, shown.data(), n);
    buf[n] = '\0';
    return 1;
  });
}

long long boxsim_position(const char* serial, int address) {
  return OnConnector(serial, address, LLONG_MIN, [](const Connector& c) { return c.Position(); });
}

long long boxsim_errors(const char* serial, int address) {
  return OnConnector(serial, address, -1LL, [](const Connector& c) { return c.Errors(); });
}

int boxsim_energised(const char* serial, int address) {
  return OnConnector(serial, address, -1, [](const Connector& c) { return c.Energised() ? 1 : 0; });
}

int boxsim_attached(int index, char* description, char* serial, unsigned* vid, unsigned* pid) {
  if (index < 0 || description == nullptr || serial == nullptr || vid == nullptr || pid == nullptr) return -1;
  return Guarded(-1, [&](Emulator& em) {
    if (static_cast<std::size_t>(index) >= em.attached.size()) return -1;
    const Box& box = em.boxes.at(em.attached[static_cast<std::size_t>(index)]);
    std::snprintf(description, kMaxNameLength + 1, "%s", box.description.c_str());
    std::snprintf(serial, kMaxNameLength + 1, "%s", box.serial.c_str());
    *vid = box.vid;
    *pid = box.pid;
    return 0;
  });
}
