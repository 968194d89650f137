// The plug-in's binary interface and handlers against a scripted library: the record, descriptor
// and block layouts byte by byte, the registration order, the version check, bounded names and
// null blocks. Built natively and with -m32, where the quoted 32-bit offsets hold literally.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "hardware/settings.h"
#include "plugin/plugin.h"
#include "tests/plugin_host/check.h"
#include "tests/plugin_host/expected.h"
#include "tests/plugin_host/fake_api.h"
#include "tests/plugin_host/host_kit.h"

namespace {

using host_kit::Block;
using host_kit::Call;
using host_kit::Rec;

constexpr std::size_t kPointer = sizeof(void*);
const std::string kFolder = "/tmp/mervane-host/";

// Entry offsets quoted for a 32-bit host; entry k lies at k * pointer size.
constexpr std::size_t Entry(std::size_t quotedOffset) { return quotedOffset / 4 * kPointer; }

template <class F>
void Put(std::vector<unsigned char>& record, std::size_t offset, F value) {
  std::memcpy(record.data() + offset, &value, sizeof value);
}

// The recording host's record, laid out from the quoted offsets rather than from the struct.
ZelHostInterface RecordFromOffsets(std::int32_t version) {
  std::vector<unsigned char> record(31 * kPointer, 0);
  Put(record, 0, version);
  Put(record, Entry(4), &host_kit::GetConfigDir);
  Put(record, Entry(8), &host_kit::Log);
  Put(record, Entry(28), &host_kit::AddMenuEntry);
  Put(record, Entry(72), &host_kit::RegisterFunction);
  Put(record, Entry(100), &host_kit::RegisterEvent);
  Put(record, Entry(116), &host_kit::RaiseEvent);
  Put(record, Entry(120), &host_kit::Subscribe);
  ZelHostInterface host;
  CHECK_EQ(sizeof host, record.size());
  std::memcpy(&host, record.data(), sizeof host);
  return host;
}

ZelHostInterface g_host;

// A fresh script and recording, then InitZelPlugin with `version`.
std::int32_t Start(std::int32_t version) {
  fake::Reset();
  host_kit::ResetRecording();
  Rec().configDir = kFolder;
  g_host = RecordFromOffsets(version);
  return InitZelPlugin(&g_host);
}

void TestLayoutConstants() {
  if (kPointer == 4) {
    CHECK_EQ(sizeof(ZelFunctionDescriptor), 2392u);
    CHECK_EQ(offsetof(ZelFunctionDescriptor, outputs), 1100u);
    CHECK_EQ(offsetof(ZelHostInterface, subscribe), 120u);
    CHECK_EQ(sizeof(MervaneMoveInput), 16u);
  } else {
    CHECK_EQ(sizeof(ZelFunctionDescriptor), 2400u);
    CHECK_EQ(offsetof(ZelFunctionDescriptor, outputs), 1104u);
    CHECK_EQ(offsetof(ZelHostInterface, subscribe), 240u);
    CHECK_EQ(sizeof(MervaneMoveInput), 20u);
  }
  CHECK_EQ(sizeof(ZelParameterSlot), 136u);
  CHECK_EQ(sizeof(ZelEventDescriptor), 192u);
  CHECK_EQ(sizeof(MervaneMotorInfoOutput), 110u);
}

void TestVersionMismatch() {
  for (std::int32_t version : {110, 112, 0}) {
    CHECK_EQ(Start(version), -1);
    CHECK(Rec().calls.empty());
    CHECK(fake::State().calls.empty());  // the driver is not started
    CHECK(fake::State().hook == nullptr);
    CHECK_EQ(fake::State().caption, std::string("Plugin version check failed"));
    CHECK_EQ(fake::State().message, "Plugin \"mervane\" was compiled with header files ver. 111, this version is " +
                                        std::to_string(version) + ", please recompile the plugin.");
  }
  fake::Reset();
  CHECK_EQ(InitZelPlugin(nullptr), -1);
  CHECK(fake::State().calls.empty());
}

void TestRegistration() {
  CHECK_EQ(Start(111), 0);
  std::vector<std::string> order = {"getConfigDir", "addMenuEntry"};
  order.insert(order.end(), 11, "registerFunction");
  order.insert(order.end(), {"registerEvent", "subscribe"});
  CHECK(Rec().calls == order);
  CHECK(fake::State().calls == std::vector<std::string>{"InitPlugin()"});
  CHECK_EQ(std::string(mervane::ConfigDirBuffer()), kFolder);
  CHECK(Rec().menu == (std::vector<std::string>{"mervane", "USB Stepper motors", "Devices"}));
  CHECK(Rec().menuClick != nullptr);
  CHECK(Rec().menuZeros[0] == nullptr && Rec().menuZeros[1] == nullptr && Rec().menuZeros[2] == nullptr);
  CHECK(Rec().subscription == (std::vector<std::string>{"zelmgr", "Exit"}));
  CHECK(Rec().exitNotice != nullptr);
  CHECK(fake::State().hook != nullptr);

  const auto& expected = plugin_expect::Functions();
  CHECK_EQ(Rec().functions.size(), expected.size());
  for (std::size_t i = 0; i < expected.size() && i < Rec().functions.size(); ++i)
    CHECK_EQ(plugin_expect::CompareDescriptor(Rec().functions[i], expected[i]), std::string());
  CHECK(Rec().event != nullptr && plugin_expect::CompareEvent(Rec().event).empty());
}

// A host that writes a folder filling the whole buffer without a terminator.
void MERVANE_CALL LongFolder(char* buffer) { std::memset(buffer, 'a', ZEL_CONFIG_DIR_SIZE); }

void TestConfigDirIsTerminated() {
  Start(111);
  ZelHostInterface host = RecordFromOffsets(111);
  host.getConfigDir = LongFolder;
  CHECK_EQ(InitZelPlugin(&host), 0);
  CHECK_EQ(std::strlen(mervane::ConfigDirBuffer()), std::size_t{ZEL_CONFIG_DIR_SIZE - 1});
  CHECK_EQ(InitZelPlugin(&g_host), 0);
}

void TestMotorInfo() {
  struct Case {
    const char* what;
    std::int32_t index;
    const char* recordName;
    std::uint16_t minStep;
    const char* typeName;
    const char* name;
    const char* type;
    double position, zero, speedMin, speedMax;
  };
  const Case cases[] = {
      {"valid", 1, "Axis1", 5, "X (4wires)", "Axis1", "X (4wires)", 1.5, 0.25, 400, 40},
      {"unterminated name", 0, "ABCDEFGHIJ", 5, "X (4wires)", "ABCDEFGHI", "X (4wires)", 1.5, 0.25, 400, 40},
      {"zero step time", 0, "A", 0, "X (4wires)", "A", "X (4wires)", 1.5, 0.25, 0, 40},
      {"no type name", 0, "A", 5, nullptr, "A", "???", 1.5, 0.25, 400, 40},
      {"negative index", -1, "A", 5, "X (4wires)", "???", "???", 0, 0, 0, 0},
      {"index = count", 3, "A", 5, "X (4wires)", "???", "???", 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    Start(111);
    fake::Api& api = fake::State();
    api.countInAll = 3;
    api.typeName = c.typeName;
    api.info.type = 0x85;
    api.info.coefficient = 2.0f;
    api.info.minStepTime = c.minStep;
    api.info.maxStepTime = 50;
    api.info.position = 1.5f;
    api.info.zeroPoint = 0.25f;
    std::memcpy(api.info.name, c.recordName, std::min(sizeof api.info.name, std::strlen(c.recordName)));
    Block in = Block().Int(c.index);
    Block out = Block::Output(host_kit::kInfoSize);
    const int failedBefore = check::Failed();
    CHECK_EQ(Call("Motor Info", in.Data(), out.Data()), 0);
    CHECK_EQ(out.IntAt(host_kit::kInfoCount), 3);
    CHECK_EQ(out.TextAt(host_kit::kInfoName, 10), std::string(c.name));
    CHECK_EQ(out.ByteAt(host_kit::kInfoName + 9), 0);
    CHECK_EQ(out.TextAt(host_kit::kInfoType, 64), std::string(c.type));
    CHECK_EQ(out.ByteAt(host_kit::kInfoType + 63), 0);
    CHECK_EQ(out.DoubleAt(host_kit::kInfoPosition), c.position);
    CHECK_EQ(out.DoubleAt(host_kit::kInfoZero), c.zero);
    CHECK_EQ(out.DoubleAt(host_kit::kInfoSpeedMin), c.speedMin);
    CHECK_EQ(out.DoubleAt(host_kit::kInfoSpeedMax), c.speedMax);
    CHECK(out.GuardIntact());
    const bool lookedUp = std::any_of(api.calls.begin(), api.calls.end(),
                                      [](const std::string& call) { return call.rfind("SM_GetInfoInAll", 0) == 0; });
    CHECK_EQ(lookedUp, c.index >= 0);  // a negative index is not looked up
    if (check::Failed() != failedBefore) std::printf("  in the Motor Info case \"%s\"\n", c.what);
  }
  Start(111);
  Block in = Block().Int(0);
  CHECK_EQ(Call("Motor Info", in.Data(), nullptr), 0);
  CHECK_EQ(Call("Motor Info", nullptr, nullptr), 1);
}

// The functions that take one "string" name and answer with one int32 (or nothing).
void TestNameFunctions() {
  struct Case {
    const char* function;
    const char* call;
    std::int32_t resultOk, outputOk, resultFailed, outputFailed;
  };
  const Case cases[] = {
      {"Setup Motor", "SMN_Setup", 0, 1, 0, 0},        {"Motor Is Running", "SMN_IsRunning", 0, 1, 0, -1},
      {"Set Zero", "SMN_SetZero", 0, 1, 1, 0},          {"Release Motor", "SMN_Release", 0, 1, 1, 0},
      {"ResetMotor", "SMN_Reset", 0, 1, 1, 0},
  };
  for (const Case& c : cases) {
    for (bool ok : {true, false}) {
      Start(111);
      fake::State().ok = ok;
      fake::State().isRunning = ok ? 1 : -1;
      Block in = host_kit::NameBlock("M1");
      Block out = Block::Output(4);
      CHECK_EQ(Call(c.function, in.Data(), out.Data()), ok ? c.resultOk : c.resultFailed);
      CHECK_EQ(out.IntAt(0), ok ? c.outputOk : c.outputFailed);
      CHECK(out.GuardIntact());
      CHECK_EQ(fake::State().calls.back(), std::string(c.call) + "(M1)");
      // No output block: the same call and result, nothing written anywhere.
      CHECK_EQ(Call(c.function, in.Data(), nullptr), ok ? c.resultOk : c.resultFailed);
    }
    Start(111);
    CHECK_EQ(Call(c.function, nullptr, nullptr), 1);
    CHECK(fake::State().calls.size() == 1);  // InitPlugin only
    Block nullName = host_kit::NameBlock(nullptr);
    Call(c.function, nullName.Data(), nullptr);
    CHECK_EQ(fake::State().calls.back(), std::string(c.call) + "((null))");
  }
}

void TestPositionAndStop() {
  Start(111);
  fake::State().device = 2;
  fake::State().channel = 5;
  fake::State().position = -3.25;
  Block in = host_kit::NameBlock("M1");
  Block out = Block::Output(8);
  CHECK_EQ(Call("Motor Position", in.Data(), out.Data()), 0);
  CHECK_EQ(out.DoubleAt(0), -3.25);
  CHECK(out.GuardIntact());
  CHECK_EQ(fake::State().calls.back(), std::string("SM_GetPosition(2,5)"));
  CHECK_EQ(Call("Stop Motor", in.Data(), nullptr), 0);
  CHECK_EQ(fake::State().calls.back(), std::string("SM_Stop(2,5)"));
  fake::State().ok = false;
  CHECK_EQ(Call("Stop Motor", in.Data(), nullptr), 1);

  fake::State().lookup = 0;  // no such motor
  fake::State().calls.clear();
  Block untouched = Block::Output(8);
  CHECK_EQ(Call("Motor Position", in.Data(), untouched.Data()), 1);
  CHECK_EQ(Call("Stop Motor", in.Data(), nullptr), 1);
  CHECK(fake::State().calls == (std::vector<std::string>{"SM_GetIndex(M1)", "SM_GetIndex(M1)"}));
  for (std::size_t i = 0; i < 8; ++i) CHECK_EQ(untouched.ByteAt(i), 0xCD);
  CHECK_EQ(Call("Motor Position", nullptr, untouched.Data()), 1);
}

void TestMoves() {
  struct Case {
    const char* function;
    Block block;
    std::uint32_t speed;
    const char* log;
  };
  for (bool ok : {true, false}) {
    const std::string outcome = ok ? "true" : "false";
    const Case cases[] = {
        {"Move Motor", host_kit::MoveBlock(2.5, true, "M1"), 0, "MoveMotor(2.5, true, M1)="},
        {"Move2Motor", host_kit::Move2Block(-1e-3, false, "M1"), 0, "MoveMotor(-0.001, false, M1)="},
        {"QuickMoveMotor", host_kit::QuickMoveBlock(40, true, 250, "M1"), 250, "MoveMotor(40, true, M1)="},
    };
    for (Case c : cases) {
      Start(111);
      fake::State().ok = ok;
      CHECK_EQ(Call(c.function, c.block.Data(), nullptr), ok ? 0 : 1);
      CHECK_EQ(fake::State().calls.back(), std::string("MoveByName(M1)"));
      CHECK_EQ(fake::State().speed, c.speed);
      CHECK(Rec().logs == std::vector<std::string>{"mervane|0|" + std::string(c.log) + outcome});
      CHECK_EQ(Call(c.function, nullptr, nullptr), 1);
      CHECK_EQ(Rec().logs.size(), 1u);  // nothing was read, nothing moved, nothing logged
    }
  }
  Start(111);
  Block odd = Block().Double(7).Int(-5).Pointer("M2");  // any non-zero Relative is true
  Call("Move Motor", odd.Data(), nullptr);
  CHECK(fake::State().relative);
  CHECK_EQ(fake::State().units, 7.0);
}

// Names are read no further than 64 bytes, whether inline or behind a pointer.
void TestBoundedNames() {
  const std::string full(64, 'N');
  Start(111);
  Block inline64 = host_kit::Move2Block(1, false, full.c_str());  // fills char x 64, no NUL
  CHECK_EQ(inline64.Size(), 76u);
  Call("Move2Motor", inline64.Data(), nullptr);
  CHECK_EQ(fake::State().calls.back(), "MoveByName(" + full + ")");
  Block quick = host_kit::QuickMoveBlock(1, false, 0, full.c_str());
  Call("QuickMoveMotor", quick.Data(), nullptr);
  CHECK_EQ(fake::State().calls.back(), "MoveByName(" + full + ")");

  char unterminated[100];
  std::memset(unterminated, 'S', sizeof unterminated);
  Block byPointer = host_kit::NameBlock(unterminated);
  Call("Release Motor", byPointer.Data(), nullptr);
  CHECK_EQ(fake::State().calls.back(), "SMN_Release(" + std::string(64, 'S') + ")");
}

int g_windowOpened = 0;
void OpenWindow() { ++g_windowOpened; }

void TestCallbacksAndEvent() {
  Start(111);
  mervane::MotorStoppedHook raise = fake::State().hook;
  CHECK(raise != nullptr);
  if (raise != nullptr) {
    raise(3);
    raise(0);
  }
  const auto raises = host_kit::Raises();
  CHECK_EQ(raises.size(), 2u);
  if (raises.size() == 2) {
    CHECK_EQ(raises[0]->handle, host_kit::kEventHandle);
    CHECK_EQ(raises[0]->value, 3);
    CHECK_EQ(raises[1]->value, 0);
  }
  // Until the control window sets its hook, a click does nothing.
  mervane::plugin::SetShowWindowHook(nullptr);
  Rec().menuClick();
  CHECK_EQ(g_windowOpened, 0);
  mervane::plugin::SetShowWindowHook(OpenWindow);
  Rec().menuClick();
  CHECK_EQ(g_windowOpened, 1);
  mervane::plugin::SetShowWindowHook(nullptr);
  CHECK(Rec().calls.size() == 15);  // the clicks called nothing of the host

  Rec().exitNotice();
  CHECK_EQ(fake::State().calls.back(), std::string("Exit()"));
}

void MERVANE_CALL ThrowingLog(const char*, const char*, std::int32_t, ...) { throw std::string("host"); }
void MERVANE_CALL ThrowingRaise(std::int32_t, std::int32_t) { throw 1; }

// A host that offers only some entries, or whose entries throw: the plug-in carries on.
void TestSparseAndThrowingHosts() {
  Start(111);
  ZelHostInterface sparse;
  std::memset(&sparse, 0, sizeof sparse);
  sparse.version = 111;
  CHECK_EQ(InitZelPlugin(&sparse), 0);
  CHECK_EQ(fake::State().calls.back(), std::string("InitPlugin()"));
  fake::State().hook(2);  // no raise entry
  Block move = host_kit::MoveBlock(1, false, "M1");
  CHECK_EQ(Call("Move Motor", move.Data(), nullptr), 0);  // no log entry

  ZelHostInterface throwing = RecordFromOffsets(111);
  throwing.log = ThrowingLog;
  throwing.raiseEvent = ThrowingRaise;
  CHECK_EQ(InitZelPlugin(&throwing), 0);
  CHECK_EQ(Call("Move Motor", move.Data(), nullptr), 0);
  fake::State().hook(2);
  CHECK(host_kit::Raises().empty());
  CHECK_EQ(InitZelPlugin(&g_host), 0);  // the records above are going out of scope
}

}  // namespace

int main() {
  std::printf("plug-in ABI with %zu-byte pointers\n", kPointer);
  TestLayoutConstants();
  TestVersionMismatch();  // first: nothing may be registered before
  TestRegistration();
  TestConfigDirIsTerminated();
  TestMotorInfo();
  TestNameFunctions();
  TestPositionAndStop();
  TestMoves();
  TestBoundedNames();
  TestCallbacksAndEvent();
  TestSparseAndThrowingHosts();
  return check::Summary();
}
