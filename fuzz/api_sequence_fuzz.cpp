// Fuzz target: bytes become a sequence of calls of the exported C API (any index, name, null
// pointer, buffer length and number), interleaved with ticks, watchdog runs, emulator plugs and
// unplugs and injected driver failures. After the sequence every channel must come to rest, every
// settings file must be a whole block, and every motor of a connected box must be where the
// emulator decoded it; closing everything must keep the files whole.
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "harness.h"

namespace mervane::fuzz {
namespace {

struct Box {
  const char* description;
  const char* serial;
};
constexpr Box kBoxes[] = {{"VORK-KADO", "FZA00001"}, {"VORK-ql2", "FZB00002"}};
constexpr const char* kOperations[] = {"list", "open", "setbitmode", "setbaudrate", "uaread",
                                       "uawrite", "getstatus", "write", "close"};
constexpr const char* kNames[] = {"A", "B", "C", "X", "LONGNAME9", ""};
constexpr std::uint8_t kTypes[] = {0x01, 0x85, 0x86, 0x2A, 0x2B, 0x41, 0xC5, 0x6A, 0x00, 0x99};
constexpr float kCoefficients[] = {1.0f, 2.0f, 10.0f, 100.0f, 200.0f, 0.5f, 0.01f};

class Sequence {
public:
  explicit Sequence(ByteReader& in) : in_(in) {}

  void Run() {
    for (const Box& box : kBoxes) boxsim_plug(box.description, box.serial);
    RefreshDevices();
    wiring_.Sync();
    for (int n = 0; n < 48 && in_.remaining_bytes() > 0; ++n) {
      Step();
      wiring_.Sync();
      wiring_.Dump();
    }
    Settle();
    wiring_.Sync();
    CheckFiles();
    wiring_.CheckPositions();
    ResetWorld(wiring_);
    CheckFiles();
  }

private:
  // Mostly indices that exist, sometimes any.
  std::uint32_t Index(std::uint32_t usual) {
    std::uint8_t pick = in_.ConsumeIntegral<std::uint8_t>();
    if (pick < 240) return pick % usual;
    return pick < 250 ? usual + (pick - 240) : in_.ConsumeIntegral<std::uint32_t>();
  }
  std::uint32_t Device() { return Index(3); }
  std::uint32_t Channel() { return Index(8); }

  std::string Text(std::size_t maxLength) { return in_.ConsumeRandomLengthString(maxLength); }

  // A name argument: null, one of the usual names, or any text; the string keeps it alive.
  const char* Name(std::string& keep) {
    switch (in_.ConsumeIntegralInRange<int>(0, 3)) {
      case 0:
        return nullptr;
      case 1:
      case 2:
        keep = kNames[in_.ConsumeIntegralInRange<std::size_t>(0, std::size(kNames) - 1)];
        return keep.c_str();
      default:
        keep = Text(24);
        return keep.c_str();
    }
  }

  const char* Serial(std::string& keep) {
    switch (in_.ConsumeIntegralInRange<int>(0, 3)) {
      case 0:
        return nullptr;
      case 3:
        keep = Text(16);
        return keep.c_str();
      default:
        return kBoxes[in_.ConsumeBool() ? 1 : 0].serial;
    }
  }

  double Units() {
    static constexpr double kUsual[] = {0.0,
                                        1.0,
                                        -1.0,
                                        2.5,
                                        -7.0,
                                        30.0,
                                        1e9,
                                        -1e9,
                                        2147400.0,
                                        std::numeric_limits<double>::quiet_NaN(),
                                        std::numeric_limits<double>::infinity(),
                                        -std::numeric_limits<double>::infinity(),
                                        std::numeric_limits<double>::denorm_min()};
    if (in_.ConsumeBool()) return kUsual[in_.ConsumeIntegralInRange<std::size_t>(0, std::size(kUsual) - 1)];
    return in_.ConsumeIntegralInRange<int>(-400, 400) / 4.0;
  }

  template <typename T>
  T Raw() {
    T value{};
    auto bytes = in_.ConsumeBytes<std::uint8_t>(sizeof value);
    if (!bytes.empty()) std::memcpy(&value, bytes.data(), bytes.size());
    return value;
  }

  // A motor record: mostly sane values from small tables, each field sometimes raw bytes.
  MotorInfo Info() {
    MotorInfo info{};
    const std::uint8_t raw = in_.ConsumeIntegral<std::uint8_t>();  // one bit per raw field
    info.address = raw & 1 ? Raw<std::uint8_t>() : in_.ConsumeIntegralInRange<std::uint8_t>(1, 7);
    info.type = raw & 2 ? Raw<std::uint8_t>() : kTypes[in_.ConsumeIntegralInRange<std::size_t>(0, std::size(kTypes) - 1)];
    info.length = raw & 4 ? Raw<std::int32_t>() : in_.ConsumeIntegralInRange<std::int32_t>(0, 400);
    info.coefficient = raw & 8 ? Raw<float>()
                               : kCoefficients[in_.ConsumeIntegralInRange<std::size_t>(0, std::size(kCoefficients) - 1)];
    info.acceleration = raw & 16 ? Raw<std::int8_t>() : in_.ConsumeIntegralInRange<std::int8_t>(0, 12);
    info.minStepTime = raw & 32 ? Raw<std::uint16_t>() : in_.ConsumeIntegralInRange<std::uint16_t>(0, 4);
    info.maxStepTime = raw & 32 ? Raw<std::uint16_t>() : in_.ConsumeIntegralInRange<std::uint16_t>(1, 12);
    info.halfSteps = raw & 64 ? Raw<std::uint8_t>() : in_.ConsumeBool();
    info.autoRelease = in_.ConsumeBool();
    std::string name = raw & 128 ? Text(12) : kNames[in_.ConsumeIntegralInRange<std::size_t>(0, std::size(kNames) - 1)];
    if (!name.empty()) std::memcpy(info.name, name.data(), std::min(name.size(), sizeof info.name));
    info.position = in_.ConsumeBool() ? Raw<float>() : 0.0f;
    info.offset = Raw<float>();
    info.zeroPoint = Raw<float>();
    return info;
  }

  // A caller's text buffer of exactly the length it claims (so an overrun is seen), or null.
  void CopyOut(bool (*copy)(unsigned, char*, std::uint32_t)) {
    const std::uint32_t index = Device();
    const std::uint32_t len = in_.ConsumeIntegralInRange<std::uint32_t>(0, 40);
    if (in_.ConsumeIntegralInRange<int>(0, 7) == 0) {
      copy(index, nullptr, len);
      return;
    }
    auto buffer = std::make_unique<char[]>(len);
    if (copy(index, buffer.get(), len) && std::memchr(buffer.get(), 0, len) == nullptr)
      Fail("a copied-out text is not terminated within its %u bytes", len);
  }

  void Step() {
    std::string keepA;
    std::string keepB;
    const int operation = in_.ConsumeIntegralInRange<int>(0, 39);
    if (Trace()) std::fprintf(stderr, "operation %d at %.3f s\n", operation, Now());
    switch (operation) {
      case 0:
        InitPlugin();
        break;
      case 1:
        RefreshDevices();
        break;
      case 2:
        GetDevicesCount();
        break;
      case 3:
        GetDeviceIndex(Serial(keepA));
        break;
      case 4:
        CheckDeviceConnection(Device());
        break;
      case 5: {
        static bool (*const copies[])(unsigned, char*, std::uint32_t) = {GetDeviceSernum, GetDeviceType, GetDeviceName};
        CopyOut(copies[in_.ConsumeIntegralInRange<int>(0, 2)]);
        break;
      }
      case 6:
        RenameDevice(Device(), Name(keepA));
        break;
      case 7:
        OpenDevice(Device());
        break;
      case 8:
        CloseDevice(Device());
        break;
      case 9:
        ::Run(Device());
        break;
      case 10:
        InitializeAll(Device());
        break;
      case 11:
        StopAll(Device());
        break;
      case 12:
        Settle();
        in_.ConsumeBool() ? CloseAllDevices() : mervane_fuzz_Exit();
        break;
      case 13: {
        std::uint32_t d = 0, c = 0;
        const int form = in_.ConsumeIntegralInRange<int>(0, 3);
        SM_GetIndex(form == 1 ? nullptr : &d, form == 2 ? nullptr : &c, Name(keepA), Serial(keepB),
                    in_.ConsumeIntegralInRange<int>(-2, 3));
        break;
      }
      case 14:
        SM_GetCountInAll();
        break;
      case 15: {
        MotorInfo info;
        SM_GetInfoInAll(Index(16), in_.ConsumeBool() ? &info : nullptr);
        break;
      }
      case 16:
        SM_GetCount(Device());
        break;
      case 17: {
        const int length = in_.ConsumeIntegralInRange<int>(-1, 24);
        auto buffer = std::make_unique<char[]>(length > 0 ? static_cast<std::size_t>(length) : 1);
        SM_GetType(Device(), Channel(), in_.ConsumeBool() ? buffer.get() : nullptr, length);
        break;
      }
      case 18: {
        const std::uint32_t d = Device(), c = Channel();
        SM_GetPosition(d, c);
        SM_GetRealPosition(d, c);
        SM_GetTarget(d, c);
        SM_GetZero(d, c);
        SMN_GetTarget(Name(keepA));
        break;
      }
      case 19: {
        MotorInfo info;
        SM_GetInfo(Device(), Channel(), in_.ConsumeBool() ? &info : nullptr);
        break;
      }
      case 20: {
        // Reconfiguring a channel waits for it to rest: let it rest first (the wait itself is the
        // soak test's business; here it would only cost its 10 s).
        Settle();
        const std::uint32_t d = Device();
        const int channel = in_.ConsumeIntegralInRange<int>(-2, 7);
        MotorInfo info = Info();
        if (Trace())
          std::fprintf(stderr, "   setup %u/%d: address %u type 0x%02X length %d coefficient %g acceleration %d steps %u..%u ms "
                       "half %u release %u position %g\n", d, channel, info.address, info.type, info.length,
                       static_cast<double>(info.coefficient), info.acceleration, info.minStepTime, info.maxStepTime,
                       info.halfSteps, info.autoRelease, static_cast<double>(info.position));
        SM_Setup(d, channel, in_.ConsumeIntegralInRange<int>(0, 15) == 0 ? nullptr : &info);
        break;
      }
      case 21:
        SMN_Setup(Name(keepA));
        break;
      case 22:
        SM_SetDestination(Device(), Channel(), Units());
        break;
      case 23:
        SM_Move(Device(), Channel(), Units());
        break;
      case 24:
        SMN_Move(Name(keepA), Units(), in_.ConsumeBool());
        break;
      case 25:
        SMN_StepMove(Name(keepA), in_.ConsumeBool() ? in_.ConsumeIntegral<std::int32_t>()
                                                    : in_.ConsumeIntegralInRange<std::int32_t>(-300, 300),
                     in_.ConsumeBool());
        break;
      case 26:
        SM_IsRunning(Device(), Channel());
        SMN_IsRunning(Name(keepA));
        break;
      case 27:
        in_.ConsumeBool() ? SM_Stop(Device(), Channel()) : SMN_Stop(Name(keepA));
        break;
      case 28:
        SM_Initialize(Device(), Channel());
        break;
      case 29:
        Settle();
        in_.ConsumeBool() ? SM_SetZero(Device(), Channel()) : SMN_SetZero(Name(keepA));
        break;
      case 30: {  // the library forgets where the motor is: so does the emulator
        std::uint32_t d = 0, c = 0;
        bool reset = false;
        if (in_.ConsumeBool()) {
          Settle();
          d = Device();
          c = Channel();
          reset = SM_Reset(d, c);
        } else {
          const char* name = Name(keepA);
          reset = name != nullptr && SM_GetIndex(&d, &c, name, nullptr, -1) >= 1 && SMN_Reset(name);
        }
        if (reset) wiring_.Reset(d, c);
        break;
      }
      case 31:
        Settle();
        switch (in_.ConsumeIntegralInRange<int>(0, 2)) {
          case 0:
            SM_Release(Device(), Channel());
            break;
          case 1:
            SMN_Release(Name(keepA));
            break;
          default:
            SM_ReleaseAll();
        }
        break;
      case 32:
        Settle();
        SM_Remove(Device(), Channel());
        break;
      case 33: {
        const char* name = nullptr;
        const int code = in_.ConsumeBool() ? in_.ConsumeIntegral<int>() : in_.ConsumeIntegralInRange<int>(-1, 256);
        if (INF_GetMTypeName(code, in_.ConsumeBool() ? &name : nullptr) >= 0 && name != nullptr &&
            std::strlen(name) == 0)
          Fail("type %d has an empty name", code);
        break;
      }
      case 34:
        TickFor(in_.ConsumeIntegralInRange<unsigned>(1, 64));
        break;
      case 35:
        TickUntilRest(in_.ConsumeIntegralInRange<int>(1, 400));
        break;
      case 36: {  // the 250 ms watchdogs, as the control thread runs them
        LibraryLock lock;
        const DeviceList& list = GetRuntime().devices;
        for (std::uint32_t d = 0; d < list.Count(); ++d) list.At(d)->OnReconnectTimer();
        break;
      }
      case 37: {
        const Box& box = kBoxes[in_.ConsumeBool() ? 1 : 0];
        if (boxsim_unplug(box.serial) != 0) boxsim_plug(box.description, box.serial);
        break;
      }
      case 38: {
        const char* serial = in_.ConsumeIntegralInRange<int>(0, 4) == 0 ? nullptr : kBoxes[in_.ConsumeBool() ? 1 : 0].serial;
        const char* failing = kOperations[in_.ConsumeIntegralInRange<std::size_t>(0, std::size(kOperations) - 1)];
        const int count = in_.ConsumeIntegralInRange<int>(0, 3);
        if (Trace()) std::fprintf(stderr, "   fail %s %s x%d\n", serial ? serial : "(list)", failing, count);
        boxsim_fail(serial, failing, count);
        break;
      }
      case 39:
        Settle();
        break;
    }
  }

  ByteReader& in_;
  Wiring wiring_;
};

}  // namespace
}  // namespace mervane::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  mervane::fuzz::InitialiseProcess();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  mervane::fuzz::ByteReader in(data, size);
  mervane::fuzz::Sequence(in).Run();
  return 0;
}
