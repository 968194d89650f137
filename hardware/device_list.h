// The device list (an ordered, growable array of owning pointers whose positions are the API's
// device indices) and discovery of attached boxes through the driver library.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

namespace mervane {

// A growable array of owning pointers, readable by the tick while the control thread appends.
// The writer publishes a grown array before the larger count, and the tick reads the count
// before the array, so it never indexes past the array it sees. A replaced array stays alive
// (retired) until Clear, which runs only while the tick is stopped.
template <typename T>
class DynPtrList {
public:
  DynPtrList() = default;
  ~DynPtrList() {
    Clear();
    delete[] items_.load(std::memory_order_relaxed);
  }
  DynPtrList(const DynPtrList&) = delete;
  DynPtrList& operator=(const DynPtrList&) = delete;

  std::uint32_t Count() const { return count_.load(std::memory_order_acquire); }
  std::uint32_t Capacity() const { return capacity_; }
  // Callers check the index against Count() first.
  T* At(std::uint32_t index) const { return items_.load(std::memory_order_acquire)[index]; }

  // New capacity when appending to `count` items: trunc((count + 1) * 3.5 + 50).
  static std::uint32_t GrownCapacity(std::uint32_t count) {
    return static_cast<std::uint32_t>((static_cast<double>(count) + 1.0) * 3.5 + 50.0);
  }

  // Control thread only. False when a larger array cannot be had; the caller keeps the item.
  bool Append(T* item) {
    std::uint32_t count = count_.load(std::memory_order_relaxed);
    T** items = items_.load(std::memory_order_relaxed);
    if (count + 1 > capacity_) {
      std::uint32_t capacity = GrownCapacity(count);
      T** grown = new (std::nothrow) T*[capacity];
      if (grown == nullptr) return false;
      for (std::uint32_t i = 0; i < count; ++i) grown[i] = items[i];
      if (items != nullptr) {
        try {
          retired_.push_back(items);
        } catch (...) {
          delete[] grown;
          return false;
        }
      }
      items_.store(grown, std::memory_order_release);
      capacity_ = capacity;
      items = grown;
    }
    items[count] = item;
    count_.store(count + 1, std::memory_order_release);
    return true;
  }

  // Changes with every Clear: a caller that let go of the library lock while it held an item
  // compares it before touching the item again. Control thread only.
  std::uint64_t Generation() const { return generation_; }

  // Destroys every item; keeps the array and its capacity. Only while no tick runs.
  void Clear() {
    ++generation_;
    std::uint32_t count = count_.load(std::memory_order_relaxed);
    T** items = items_.load(std::memory_order_relaxed);
    count_.store(0, std::memory_order_release);
    for (std::uint32_t i = 0; i < count; ++i) {
      delete items[i];
      items[i] = nullptr;
    }
    for (T** old : retired_) delete[] old;
    retired_.clear();
  }

private:
  std::atomic<T**> items_{nullptr};
  std::atomic<std::uint32_t> count_{0};
  std::uint32_t capacity_ = 0;  // control thread only
  std::uint64_t generation_ = 0;  // control thread only
  std::vector<T**> retired_;    // control thread only
};

class USBDriver;
using DeviceList = DynPtrList<USBDriver>;

// The accepted models, compared byte for byte.
constexpr const char* kModelOld = "VORK-ql2";
constexpr const char* kModelCurrent = "VORK-KADO";
bool IsAcceptedModel(const char* description);

// Discovery: opens every attached box of an accepted model that is not listed yet and reopens
// listed ones that are disconnected. The list count, or -1 when the driver library cannot list
// or nothing at all is attached. Library lock held.
std::int32_t RefreshDevices();
// Position of the device with exactly this serial, -1 if none.
std::int32_t FindBySerial(const std::string& serial);
// Stops the tick, then destroys every device (each saves its settings). Library lock held.
void CloseAllDevices();

}  // namespace mervane
