// A recording host for the plug-in, as a host author writes one from include/mervane_plugin.h:
// it fills the interface record with callbacks that note every call, calls registered functions
// by name, and packs parameter blocks byte by byte (no padding, deliberately unaligned).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "mervane_plugin.h"

namespace host_kit {

constexpr std::int32_t kEventHandle = 4242;
constexpr int kMaxRaises = 256;
constexpr std::int32_t kNotRegistered = -99;

// One raise of an event: written on the library's tick thread, so slots are claimed atomically
// and published by their own flag; nothing here allocates or waits.
struct Raise {
  std::int32_t handle = 0;
  std::int32_t value = 0;
  std::thread::id thread;
  std::atomic<bool> ready{false};
};

struct Recording {
  std::vector<std::string> calls;  // entry names in call order
  std::vector<const ZelFunctionDescriptor*> functions;
  const ZelEventDescriptor* event = nullptr;
  std::vector<std::string> menu;  // plugin, caption, group
  ZelCallback menuClick = nullptr;
  const void* menuZeros[3] = {};
  std::vector<std::string> subscription;  // source, notice
  ZelCallback exitNotice = nullptr;
  std::vector<std::string> logs;  // "source|zero|text"
  std::string configDir;          // what getConfigDir writes
  std::atomic<int> raisesClaimed{0};
  Raise raises[kMaxRaises];
};

inline Recording& Rec() {
  static Recording recording;
  return recording;
}

// Forgets everything recorded (between cases that share one process).
inline void ResetRecording() {
  Recording& r = Rec();
  r.calls.clear();
  r.functions.clear();
  r.event = nullptr;
  r.menu.clear();
  r.menuClick = nullptr;
  r.subscription.clear();
  r.exitNotice = nullptr;
  r.logs.clear();
  for (Raise& raise : r.raises) raise.ready.store(false);
  r.raisesClaimed.store(0);
}

// --- The host's entries ---------------------------------------------------------------------

inline void MERVANE_CALL GetConfigDir(char* buffer) {
  Rec().calls.push_back("getConfigDir");
  std::memcpy(buffer, Rec().configDir.c_str(), Rec().configDir.size() + 1);
}

inline void MERVANE_CALL Log(const char* source, const char* format, std::int32_t zero, ...) {
  char text[512];
  va_list args;
  va_start(args, zero);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  Rec().calls.push_back("log");
  Rec().logs.push_back(std::string(source) + "|" + std::to_string(zero) + "|" + text);
}

inline void MERVANE_CALL AddMenuEntry(const char* plugin, const char* caption, const char* group, ZelCallback click,
                                      const void* zero1, const void* zero2, const void* zero3) {
  Rec().calls.push_back("addMenuEntry");
  Rec().menu = {plugin, caption, group};
  Rec().menuClick = click;
  Rec().menuZeros[0] = zero1;
  Rec().menuZeros[1] = zero2;
  Rec().menuZeros[2] = zero3;
}

inline void MERVANE_CALL RegisterFunction(const ZelFunctionDescriptor* descriptor) {
  Rec().calls.push_back("registerFunction");
  Rec().functions.push_back(descriptor);
}

inline void MERVANE_CALL RegisterEvent(const ZelEventDescriptor* descriptor, std::int32_t* handle) {
  Rec().calls.push_back("registerEvent");
  Rec().event = descriptor;
  *handle = kEventHandle;
}

// What the host does on "Motor Stopped" besides recording it (null: nothing), e.g. ask the
// library about the stopped motor as a real handler would.
using RaiseHandler = void (*)(std::int32_t value);
inline std::atomic<RaiseHandler>& OnRaise() {
  static std::atomic<RaiseHandler> handler{nullptr};
  return handler;
}

inline void MERVANE_CALL RaiseEvent(std::int32_t handle, std::int32_t value) {
  const int slot = Rec().raisesClaimed.fetch_add(1, std::memory_order_relaxed);
  if (slot >= kMaxRaises) return;
  if (RaiseHandler handler = OnRaise().load(std::memory_order_acquire)) handler(value);
  Raise& r = Rec().raises[slot];
  r.handle = handle;
  r.value = value;
  r.thread = std::this_thread::get_id();
  r.ready.store(true, std::memory_order_release);
}

inline void MERVANE_CALL Subscribe(const char* source, const char* notice, ZelCallback callback) {
  Rec().calls.push_back("subscribe");
  Rec().subscription = {source, notice};
  Rec().exitNotice = callback;
}

// The record a host hands to InitZelPlugin; reserved entries hold a marker the plug-in must not
// call (a call would crash the test).
inline ZelHostInterface MakeHost(std::int32_t version, const std::string& configDir) {
  Rec().configDir = configDir;
  ZelHostInterface host;
  std::memset(&host, 0xA5, sizeof host);
  host.version = version;
  host.getConfigDir = GetConfigDir;
  host.log = Log;
  host.addMenuEntry = AddMenuEntry;
  host.registerFunction = RegisterFunction;
  host.registerEvent = RegisterEvent;
  host.raiseEvent = RaiseEvent;
  host.subscribe = Subscribe;
  return host;
}

// The raises published so far, in claim order.
inline std::vector<const Raise*> Raises() {
  std::vector<const Raise*> out;
  const int claimed = Rec().raisesClaimed.load(std::memory_order_relaxed);
  for (int i = 0; i < claimed && i < kMaxRaises; ++i)
    if (Rec().raises[i].ready.load(std::memory_order_acquire)) out.push_back(&Rec().raises[i]);
  return out;
}

inline const ZelFunctionDescriptor* Find(const char* name) {
  for (const ZelFunctionDescriptor* f : Rec().functions)
    if (std::strncmp(f->name, name, sizeof f->name) == 0) return f;
  return nullptr;
}

// Calls a registered function by name: its result, or kNotRegistered.
inline std::int32_t Call(const char* name, const void* inputs, void* outputs) {
  const ZelFunctionDescriptor* f = Find(name);
  return f == nullptr ? kNotRegistered : f->handler(0, inputs, outputs);
}

// --- Parameter blocks -----------------------------------------------------------------------

// A packed block built value by value. Its data starts one byte into the buffer, so that no
// value is aligned; a guard of 0xEE bytes follows it.
class Block {
public:
  static constexpr std::size_t kGuard = 16;
  Block& Int(std::int32_t v) { return Raw(&v, sizeof v); }
  Block& Double(double v) { return Raw(&v, sizeof v); }
  Block& Pointer(const void* p) { return Raw(&p, sizeof p); }
  Block& Chars(const char* text, std::size_t n) {  // char x n, not terminated when text fills it
    std::vector<char> field(n, 0);
    std::memcpy(field.data(), text, std::min(n, std::strlen(text)));
    return Raw(field.data(), n);
  }
  // An output block of `size` bytes filled with `fill`.
  static Block Output(std::size_t size, unsigned char fill = 0xCD) {
    std::vector<unsigned char> bytes(size, fill);
    return Block().Raw(bytes.data(), size);
  }
  void* Data() {
    if (bytes_.size() < 1 + size_ + kGuard) bytes_.resize(1 + size_ + kGuard, 0xEE);
    return bytes_.data() + 1;
  }
  std::size_t Size() const { return size_; }
  // Whether the bytes after the block are still as laid.
  bool GuardIntact() {
    Data();
    return std::all_of(bytes_.begin() + 1 + static_cast<std::ptrdiff_t>(size_), bytes_.end(),
                       [](unsigned char b) { return b == 0xEE; });
  }
  std::int32_t IntAt(std::size_t offset) const { return Get<std::int32_t>(offset); }
  double DoubleAt(std::size_t offset) const { return Get<double>(offset); }
  std::string TextAt(std::size_t offset, std::size_t n) const {
    const char* p = reinterpret_cast<const char*>(bytes_.data() + 1 + offset);
    return std::string(p, std::find(p, p + n, '\0'));
  }
  unsigned char ByteAt(std::size_t offset) const { return bytes_[1 + offset]; }

private:
  Block& Raw(const void* p, std::size_t n) {
    bytes_.resize(1 + size_);
    bytes_.insert(bytes_.end(), static_cast<const unsigned char*>(p), static_cast<const unsigned char*>(p) + n);
    size_ += n;
    return *this;
  }
  template <class T>
  T Get(std::size_t offset) const {
    T v;
    std::memcpy(&v, bytes_.data() + 1 + offset, sizeof v);
    return v;
  }
  std::vector<unsigned char> bytes_{0x77};
  std::size_t size_ = 0;
};

inline Block NameBlock(const char* name) { return Block().Pointer(name); }
inline Block MoveBlock(double destination, bool relative, const char* name) {
  return Block().Double(destination).Int(relative ? 1 : 0).Pointer(name);
}
inline Block Move2Block(double destination, bool relative, const char* name) {
  return Block().Double(destination).Int(relative ? 1 : 0).Chars(name, 64);
}
inline Block QuickMoveBlock(double destination, bool relative, std::uint32_t speed, const char* name) {
  return Block().Double(destination).Int(relative ? 1 : 0).Int(static_cast<std::int32_t>(speed)).Chars(name, 64);
}

// Offsets in the "Motor Info" output block.
constexpr std::size_t kInfoCount = 0, kInfoName = 4, kInfoType = 14, kInfoPosition = 78, kInfoZero = 86,
                      kInfoSpeedMin = 94, kInfoSpeedMax = 102, kInfoSize = 110;

}  // namespace host_kit
