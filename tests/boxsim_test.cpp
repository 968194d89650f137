// The box emulator through its D2XX functions and its control interface.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <filesystem>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "boxsim/boxsim.h"
#include "hardware/d2xx.h"
#include "platform/platform.h"

// The emulator defines the D2XX functions under the vendor's names; d2xx.h only has their types.
namespace {

using Bytes = std::vector<unsigned char>;
constexpr const char* kKado = "KD000001";
constexpr const char* kQl = "QL000002";

FT_STATUS Write(FT_HANDLE h, Bytes bytes) {
  FT_DWORD written = 0;
  return FT_Write(h, bytes.data(), static_cast<FT_DWORD>(bytes.size()), &written);
}

FT_STATUS Status(FT_HANDLE h) {
  FT_DWORD rx = 1, tx = 1, ev = 1;
  return FT_GetStatus(h, &rx, &tx, &ev);
}

std::string ListByIndex(std::uintptr_t index, FT_DWORD selector, FT_STATUS* status = nullptr) {
  char buf[64] = "unchanged";
  const FT_STATUS s =
      FT_ListDevices(reinterpret_cast<void*>(index), buf, FT_LIST_BY_INDEX | selector);
  if (status != nullptr) *status = s;
  return buf;
}

FT_DWORD Count() {
  FT_DWORD n = 99;
  EXPECT_EQ(FT_ListDevices(&n, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
  return n;
}

Bytes Logged(const char* serial) {
  Bytes buf(std::size_t{2} << 20);
  const int n = boxsim_bytes(serial, buf.data(), static_cast<int>(buf.size()));
  buf.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
  return buf;
}

class BoxsimTest : public testing::Test {
protected:
  void SetUp() override {
    mervane::platform::UnsetEnv("BOXSIM_STATE_DIR");
    boxsim_reset();
    ASSERT_EQ(boxsim_plug("VORK-KADO", kKado), 0);
    ASSERT_EQ(boxsim_plug("VORK-ql2", kQl), 0);
  }
  void TearDown() override { boxsim_reset(); }

  FT_HANDLE Open(const char* key, FT_DWORD by = FT_OPEN_BY_SERIAL_NUMBER) {
    FT_HANDLE h = nullptr;
    EXPECT_EQ(FT_OpenEx(const_cast<char*>(key), by, &h), FT_OK) << key;
    return h;
  }
};

TEST_F(BoxsimTest, ListsCountAndEachBoxByIndex) {
  EXPECT_EQ(Count(), 2u);
  EXPECT_EQ(ListByIndex(0, FT_OPEN_BY_SERIAL_NUMBER), kKado);
  EXPECT_EQ(ListByIndex(0, FT_OPEN_BY_DESCRIPTION), "VORK-KADO");
  EXPECT_EQ(ListByIndex(1, FT_OPEN_BY_DESCRIPTION), "VORK-ql2");
  FT_STATUS s = FT_OK;
  EXPECT_EQ(ListByIndex(2, FT_OPEN_BY_SERIAL_NUMBER, &s), "unchanged");
  EXPECT_EQ(s, FT_DEVICE_NOT_FOUND);
  ListByIndex(0, 0, &s);
  EXPECT_EQ(s, FT_INVALID_PARAMETER);
  EXPECT_EQ(FT_ListDevices(nullptr, nullptr, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER),
            FT_INVALID_PARAMETER);
  EXPECT_EQ(FT_ListDevices(nullptr, nullptr, FT_LIST_NUMBER_ONLY), FT_INVALID_PARAMETER);
  EXPECT_EQ(FT_ListDevices(nullptr, nullptr, 0), FT_INVALID_PARAMETER);

  // An unplugged box leaves the list; plugged again, it comes last.
  ASSERT_EQ(boxsim_unplug(kKado), 0);
  EXPECT_EQ(Count(), 1u);
  EXPECT_EQ(ListByIndex(0, FT_OPEN_BY_SERIAL_NUMBER), kQl);
  ASSERT_EQ(boxsim_plug("VORK-KADO", kKado), 0);
  EXPECT_EQ(ListByIndex(1, FT_OPEN_BY_SERIAL_NUMBER), kKado);
}

TEST_F(BoxsimTest, OpensBySerialOrDescriptionOnce) {
  FT_HANDLE h = Open(kKado);
  EXPECT_EQ(boxsim_is_open(kKado), 1);
  EXPECT_EQ(boxsim_is_open(kQl), 0);
  FT_HANDLE again = nullptr;
  EXPECT_EQ(FT_OpenEx(const_cast<char*>(kKado), FT_OPEN_BY_SERIAL_NUMBER, &again),
            FT_DEVICE_NOT_OPENED);
  EXPECT_EQ(again, nullptr);
  EXPECT_EQ(FT_OpenEx(const_cast<char*>("VORK-KADO"), FT_OPEN_BY_DESCRIPTION, &again),
            FT_DEVICE_NOT_OPENED);
  EXPECT_EQ(FT_Close(h), FT_OK);
  EXPECT_EQ(boxsim_is_open(kKado), 0);
  EXPECT_EQ(FT_Close(h), FT_INVALID_HANDLE);

  // With two boxes of one description, the free one opens.
  ASSERT_EQ(boxsim_plug("VORK-ql2", "QL000003"), 0);
  Open("VORK-ql2", FT_OPEN_BY_DESCRIPTION);
  Open("VORK-ql2", FT_OPEN_BY_DESCRIPTION);
  EXPECT_EQ(boxsim_is_open(kQl), 1);
  EXPECT_EQ(boxsim_is_open("QL000003"), 1);

  for (FT_DWORD by : {FT_OPEN_BY_SERIAL_NUMBER, FT_OPEN_BY_DESCRIPTION}) {
    EXPECT_EQ(FT_OpenEx(const_cast<char*>("NOPE"), by, &again), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(FT_OpenEx(nullptr, by, &again), FT_INVALID_PARAMETER);
    EXPECT_EQ(FT_OpenEx(const_cast<char*>(kKado), by, nullptr), FT_INVALID_PARAMETER);
  }
  EXPECT_EQ(FT_OpenEx(const_cast<char*>(kKado), 4, &again), FT_INVALID_PARAMETER);
}

// Every handle operation but close, as the D2XX library status it returns.
const std::vector<std::pair<const char*, std::function<FT_STATUS(FT_HANDLE)>>> kHandleOps = {
    {"setbitmode", [](FT_HANDLE h) { return FT_SetBitMode(h, 0xFF, 1); }},
    {"setbaudrate", [](FT_HANDLE h) { return FT_SetBaudRate(h, 3000000); }},
    {"uaread",
     [](FT_HANDLE h) {
       FT_UCHAR b[64];
       FT_DWORD n = 0;
       return FT_EE_UARead(h, b, 64, &n);
     }},
    {"uawrite",
     [](FT_HANDLE h) {
       FT_UCHAR b[10] = {1, 2, 3};
       return FT_EE_UAWrite(h, b, 10);
     }},
    {"getstatus", Status},
    {"write", [](FT_HANDLE h) { return Write(h, {0x84, 0xF4}); }},
};

TEST_F(BoxsimTest, StaleAndUnknownHandlesFailButStaleOnesClose) {
  FT_HANDLE h = Open(kKado);
  for (const auto& [name, op] : kHandleOps) ASSERT_EQ(op(h), FT_OK) << name;
  ASSERT_EQ(boxsim_unplug(kKado), 0);
  EXPECT_EQ(boxsim_is_open(kKado), 0);
  ASSERT_EQ(boxsim_plug("VORK-KADO", kKado), 0);  // a new plug does not revive the old handle
  FT_HANDLE fresh = Open(kKado);
  EXPECT_NE(fresh, h);
  const FT_HANDLE unknown = reinterpret_cast<FT_HANDLE>(std::uintptr_t{0xDEAD0000});
  for (const auto& [name, op] : kHandleOps) {
    EXPECT_EQ(op(h), FT_IO_ERROR) << name;
    EXPECT_EQ(op(nullptr), FT_INVALID_HANDLE) << name;
    EXPECT_EQ(op(unknown), FT_INVALID_HANDLE) << name;
  }
  EXPECT_EQ(FT_Close(h), FT_OK);
  EXPECT_EQ(FT_Close(h), FT_INVALID_HANDLE);
  EXPECT_EQ(FT_Close(nullptr), FT_INVALID_HANDLE);
  EXPECT_EQ(Status(fresh), FT_OK);
  boxsim_reset();
  EXPECT_EQ(Status(fresh), FT_IO_ERROR);
  EXPECT_EQ(FT_Close(fresh), FT_OK);
}

TEST_F(BoxsimTest, HandlesAreNeverReused) {
  std::set<FT_HANDLE> seen;
  for (int i = 0; i < 50; ++i) {
    FT_HANDLE h = Open(i % 2 ? kKado : kQl);
    EXPECT_TRUE(seen.insert(h).second);
    EXPECT_EQ(FT_Close(h), FT_OK);
    if (i == 25) SetUp();  // across a reset too
  }
}

TEST_F(BoxsimTest, RecordsBitModeAndBaudRateUntilReplug) {
  int mask = -1, mode = -1;
  ASSERT_EQ(boxsim_bitmode(kKado, &mask, &mode), 0);
  EXPECT_EQ(mask, 0);
  EXPECT_EQ(mode, 0);
  EXPECT_EQ(boxsim_baudrate(kKado), 0);
  FT_HANDLE h = Open(kKado);
  ASSERT_EQ(FT_SetBitMode(h, 0xFF, 1), FT_OK);
  ASSERT_EQ(FT_SetBaudRate(h, 3000000), FT_OK);
  EXPECT_EQ(FT_SetBaudRate(h, 0), FT_INVALID_PARAMETER);
  ASSERT_EQ(boxsim_bitmode(kKado, &mask, &mode), 0);
  EXPECT_EQ(mask, 0xFF);
  EXPECT_EQ(mode, 1);
  EXPECT_EQ(boxsim_baudrate(kKado), 3000000);
  EXPECT_EQ(boxsim_baudrate(kQl), 0);
  boxsim_unplug(kKado);
  EXPECT_EQ(boxsim_baudrate(kKado), 3000000);  // still readable while unplugged
  boxsim_plug("VORK-KADO", kKado);
  EXPECT_EQ(boxsim_baudrate(kKado), 0);
}

TEST_F(BoxsimTest, EepromUserAreaReadsWritesAndBounds) {
  FT_HANDLE h = Open(kKado);
  FT_UCHAR data[65] = {};
  for (int i = 0; i < 65; ++i) data[i] = static_cast<FT_UCHAR>(0xA0 + i);
  FT_UCHAR buf[100];
  FT_DWORD n = 0;
  ASSERT_EQ(FT_EE_UARead(h, buf, 100, &n), FT_OK);
  EXPECT_EQ(n, 64u);
  EXPECT_EQ(Bytes(buf, buf + 64), Bytes(64, 0));
  ASSERT_EQ(FT_EE_UAWrite(h, data, 10), FT_OK);
  ASSERT_EQ(FT_EE_UARead(h, buf, 12, &n), FT_OK);
  EXPECT_EQ(n, 12u);
  EXPECT_EQ(Bytes(buf, buf + 12),
            (Bytes{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0, 0}));
  EXPECT_EQ(FT_EE_UAWrite(h, data, 65), FT_INVALID_PARAMETER);
  EXPECT_EQ(FT_EE_UAWrite(h, nullptr, 3), FT_INVALID_PARAMETER);
  EXPECT_EQ(FT_EE_UARead(h, nullptr, 3, &n), FT_INVALID_PARAMETER);
  EXPECT_EQ(FT_EE_UARead(h, buf, 3, nullptr), FT_INVALID_PARAMETER);
  ASSERT_EQ(FT_EE_UAWrite(h, data, 64), FT_OK);

  // The control side sees the same area, and it survives an unplug but not a reset.
  boxsim_unplug(kKado);
  ASSERT_EQ(boxsim_get_eeprom(kKado, buf, 100), 64);
  EXPECT_EQ(Bytes(buf, buf + 64), Bytes(data, data + 64));
  ASSERT_EQ(boxsim_set_eeprom(kKado, "\x01\x02", 2), 0);
  EXPECT_EQ(boxsim_get_eeprom(kKado, buf, 3), 3);
  EXPECT_EQ(Bytes(buf, buf + 3), (Bytes{1, 2, 0xA2}));
  SetUp();
  EXPECT_EQ(boxsim_get_eeprom(kKado, buf, 64), 64);
  EXPECT_EQ(Bytes(buf, buf + 64), Bytes(64, 0));
}

TEST_F(BoxsimTest, StateFolderKeepsEepromAcrossReset) {
  std::random_device random;
  const auto folder = std::filesystem::temp_directory_path() /
                      ("boxsim-test-" + std::to_string(random()) + std::to_string(random()));
  mervane::platform::SetEnv("BOXSIM_STATE_DIR", folder.string().c_str());  // created on first write
  const char* odd = "../odd/serial";
  ASSERT_EQ(boxsim_plug("VORK-KADO", odd), 0);
  FT_UCHAR data[10] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0xFF};
  ASSERT_EQ(FT_EE_UAWrite(Open(kKado), data, 10), FT_OK);
  ASSERT_EQ(boxsim_set_eeprom(odd, "\x42", 1), 0);

  boxsim_reset();
  ASSERT_EQ(boxsim_plug("VORK-KADO", kKado), 0);
  ASSERT_EQ(boxsim_plug("VORK-ql2", kQl), 0);
  ASSERT_EQ(boxsim_plug("VORK-KADO", odd), 0);
  FT_UCHAR buf[64];
  FT_DWORD n = 0;
  ASSERT_EQ(FT_EE_UARead(Open(kKado), buf, 64, &n), FT_OK);
  Bytes expected(64, 0);
  std::copy(data, data + 10, expected.begin());
  EXPECT_EQ(Bytes(buf, buf + 64), expected);
  EXPECT_EQ(boxsim_get_eeprom(kQl, buf, 64), 64);
  EXPECT_EQ(Bytes(buf, buf + 64), Bytes(64, 0));
  EXPECT_EQ(boxsim_get_eeprom(odd, buf, 1), 1);
  EXPECT_EQ(buf[0], 0x42);
  std::size_t files = 0;  // the odd serial's file stays inside the folder
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    files += entry.is_regular_file() && entry.path().extension() == ".eeprom";
  }
  EXPECT_EQ(files, 2u);
  boxsim_reset();  // closes the open box and its lock file, which Windows would not remove
  std::filesystem::remove_all(folder);
}

// With a state folder the box is the folder's: its connectors are saved when it closes and read
// at the next open (another process's, here a reset emulator's), which decodes on from the rotor
// phase the last one left; queries of a box not open here read the folder too.
TEST_F(BoxsimTest, StateFolderCarriesTheConnectorsFromOneOpenToTheNext) {
  std::random_device random;
  const auto folder = std::filesystem::temp_directory_path() /
                      ("boxsim-motors-" + std::to_string(random()) + std::to_string(random()));
  mervane::platform::SetEnv("BOXSIM_STATE_DIR", folder.string().c_str());
  ASSERT_EQ(boxsim_wire(kKado, 1, "four-wire"), 0);  // not open: wired in the folder
  FT_HANDLE h = Open(kKado);
  std::vector<std::uint8_t> steps = {0x88, 0x84, 0x82};  // 08 -> 04 -> 02: two steps
  FT_DWORD sent = 0;
  ASSERT_EQ(FT_Write(h, steps.data(), 3, &sent), FT_OK);
  ASSERT_EQ(FT_Close(h), FT_OK);

  boxsim_reset();  // as a new process finds the emulator
  ASSERT_EQ(boxsim_plug("VORK-KADO", kKado), 0);
  EXPECT_EQ(boxsim_position(kKado, 1), 2);
  char kind[32] = {};
  EXPECT_EQ(boxsim_wiring(kKado, 1, kind, sizeof kind), 9);
  EXPECT_STREQ(kind, "four-wire");
  h = Open(kKado);
  std::vector<std::uint8_t> more = {0x81, 0x88, 0x81};  // 02 -> 01 -> 08 -> 01: one back from there
  ASSERT_EQ(FT_Write(h, more.data(), 3, &sent), FT_OK);
  EXPECT_EQ(boxsim_position(kKado, 1), 3);
  EXPECT_EQ(boxsim_errors(kKado, 1), 0) << "the phase went on where the last open left it";
  ASSERT_EQ(FT_Close(h), FT_OK);

  // Another folder knows nothing of this one's connectors or chip.
  const auto other = folder / "other";
  mervane::platform::SetEnv("BOXSIM_STATE_DIR", other.string().c_str());
  ASSERT_EQ(boxsim_set_eeprom(kKado, "\x42", 1), 0);
  h = Open(kKado);
  EXPECT_EQ(boxsim_position(kKado, 1), 0);
  EXPECT_EQ(boxsim_wiring(kKado, 1, kind, sizeof kind), 8);  // "two-wire": unwired
  ASSERT_EQ(FT_Close(h), FT_OK);
  mervane::platform::UnsetEnv("BOXSIM_STATE_DIR");
  std::filesystem::remove_all(folder);
}

TEST_F(BoxsimTest, InjectedFailuresFailExactlyCountCalls) {
  struct FailCase {
    const char* op;
    const char* serial;
    std::function<FT_STATUS(FT_HANDLE)> call;
  };
  std::vector<FailCase> cases = {
      {"list", nullptr,
       [](FT_HANDLE) {
         FT_DWORD n;
         return FT_ListDevices(&n, nullptr, FT_LIST_NUMBER_ONLY);
       }},
      {"open", kQl,
       [](FT_HANDLE) {
         FT_HANDLE q = nullptr;
         const FT_STATUS s = FT_OpenEx(const_cast<char*>(kQl), FT_OPEN_BY_SERIAL_NUMBER, &q);
         if (s == FT_OK) FT_Close(q);
         return s;
       }},
      {"close", kKado, FT_Close},  // a failed close leaves the handle open
  };
  for (const auto& [name, op] : kHandleOps) cases.push_back({name, kKado, op});
  for (const FailCase& c : cases) {
    SetUp();
    FT_HANDLE h = Open(kKado);
    ASSERT_EQ(boxsim_fail(c.serial, c.op, 2), 0) << c.op;
    ASSERT_EQ(boxsim_fail(kQl, "write", 5), 0);  // another box's failures stay there
    EXPECT_NE(c.call(h), FT_OK) << c.op;
    EXPECT_NE(c.call(h), FT_OK) << c.op;
    EXPECT_EQ(c.call(h), FT_OK) << c.op;
  }
  FT_HANDLE h = Open(kQl);
  ASSERT_EQ(boxsim_fail(kQl, "write", 0), 0);  // zero cancels
  EXPECT_EQ(Write(h, {0x80}), FT_OK);
  EXPECT_EQ(Logged(kQl), Bytes{0x80});
}

TEST_F(BoxsimTest, LogsEveryByteAndEveryWriteCall) {
  FT_HANDLE h = Open(kKado);
  const double before = mervane::platform::NowSeconds();
  ASSERT_EQ(Write(h, {0x84, 0x84, 0xF4}), FT_OK);
  ASSERT_EQ(Write(h, {}), FT_OK);
  ASSERT_EQ(Write(h, {0x82, 0x82, 0xF2}), FT_OK);
  const double after = mervane::platform::NowSeconds();
  FT_DWORD written = 7;
  EXPECT_EQ(FT_Write(h, nullptr, 1, &written), FT_INVALID_PARAMETER);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(Logged(kKado), (Bytes{0x84, 0x84, 0xF4, 0x82, 0x82, 0xF2}));
  unsigned char two[2];
  EXPECT_EQ(boxsim_bytes(kKado, two, 2), 2);
  double times[8];
  int sizes[8];
  ASSERT_EQ(boxsim_writes(kKado, times, sizes, 8), 3);
  EXPECT_EQ(std::vector<int>(sizes, sizes + 3), (std::vector<int>{3, 0, 3}));
  EXPECT_LE(before, times[0]);
  EXPECT_LE(times[0], times[1]);
  EXPECT_LE(times[1], times[2]);
  EXPECT_LE(times[2], after);
  // Unwired connector 1 decodes as two-wire; its lines are 02 now.
  EXPECT_EQ(boxsim_energised(kKado, 1), 1);
  EXPECT_EQ(Logged(kQl), Bytes{});
  boxsim_clear(kKado);
  EXPECT_EQ(Logged(kKado), Bytes{});
  EXPECT_EQ(boxsim_writes(kKado, times, sizes, 8), 0);
}

TEST_F(BoxsimTest, ByteLogKeepsTheFirstMebibyte) {
  FT_HANDLE h = Open(kKado);
  Bytes chunk(64 * 1024);
  for (int i = 0; i < 24; ++i) {  // 1.5 MiB, each chunk tagged with its number
    std::fill(chunk.begin(), chunk.end(), static_cast<unsigned char>(0x80 + i));
    ASSERT_EQ(Write(h, chunk), FT_OK);
  }
  const Bytes log = Logged(kKado);
  ASSERT_EQ(log.size(), std::size_t{1} << 20);
  EXPECT_EQ(log.front(), 0x80);
  EXPECT_EQ(log.back(), 0x80 + 15);
  double times[32];
  int sizes[32];
  EXPECT_EQ(boxsim_writes(kKado, times, sizes, 32), 24);
}

TEST_F(BoxsimTest, DecodesWritesIntoPositionsKeptAcrossReplug) {
  ASSERT_EQ(boxsim_wire(kKado, 1, "four-wire"), 0);
  EXPECT_EQ(boxsim_energised(kKado, 1), 0);
  FT_HANDLE h = Open(kKado);
  ASSERT_EQ(Write(h, {0x84, 0x84, 0xF4, 0x82, 0x82, 0xF2, 0x88, 0xF8}), FT_OK);  // +2, then a jump
  ASSERT_EQ(Write(h, {0x98, 0x98, 0x98, 0x98, 0xF8, 0x98, 0x98, 0x98, 0x90, 0x90, 0x90, 0x98,
                      0xF8}),
            FT_OK);
  EXPECT_EQ(boxsim_position(kKado, 1), 2);
  EXPECT_EQ(boxsim_errors(kKado, 1), 1);
  EXPECT_EQ(boxsim_position(kKado, 2), 1);
  EXPECT_EQ(boxsim_energised(kKado, 2), 1);
  boxsim_unplug(kKado);
  EXPECT_EQ(boxsim_energised(kKado, 2), 0);
  boxsim_plug("VORK-KADO", kKado);
  EXPECT_EQ(boxsim_position(kKado, 1), 2);
  EXPECT_EQ(boxsim_position(kKado, 2), 1);
  ASSERT_EQ(boxsim_wire(kKado, 1, "synchron"), 0);
  EXPECT_EQ(boxsim_position(kKado, 1), 0);
  EXPECT_EQ(boxsim_errors(kKado, 1), 0);
}

TEST_F(BoxsimTest, ControlFunctionsRejectBadArguments) {
  unsigned char buf[4];
  double times[1];
  int sizes[1], mask, mode;
  const std::string tooLong(65, 'S');
  boxsim_unplug(kQl);  // known but detached: queries work, unplug does not
  EXPECT_EQ(boxsim_is_open(kQl), 0);
  const std::vector<std::pair<const char*, long long>> results = {
      {"plug null", boxsim_plug(nullptr, "X")},
      {"plug null serial", boxsim_plug("X", nullptr)},
      {"plug empty", boxsim_plug("X", "")},
      {"plug too long", boxsim_plug("X", tooLong.c_str())},
      {"plug attached", boxsim_plug("X", kKado)},
      {"unplug null", boxsim_unplug(nullptr)},
      {"unplug unknown", boxsim_unplug("NOPE")},
      {"unplug detached", boxsim_unplug(kQl)},
      {"fail null serial", boxsim_fail(nullptr, "write", 1)},
      {"fail unknown op", boxsim_fail(kKado, "explode", 1)},
      {"fail null op", boxsim_fail(kKado, nullptr, 1)},
      {"fail negative", boxsim_fail(nullptr, "list", -1)},
      {"set eeprom long", boxsim_set_eeprom(kKado, buf, 65)},
      {"set eeprom negative", boxsim_set_eeprom(kKado, buf, -1)},
      {"set eeprom null", boxsim_set_eeprom(kKado, nullptr, 2)},
      {"get eeprom negative", boxsim_get_eeprom(kKado, buf, -1)},
      {"get eeprom null", boxsim_get_eeprom(kKado, nullptr, 2)},
      {"get eeprom unknown", boxsim_get_eeprom("NOPE", buf, 2)},
      {"is open null", boxsim_is_open(nullptr)},
      {"bitmode null", boxsim_bitmode(kKado, nullptr, &mode)},
      {"bitmode unknown", boxsim_bitmode("NOPE", &mask, &mode)},
      {"baud unknown", boxsim_baudrate("NOPE")},
      {"bytes negative", boxsim_bytes(kKado, buf, -1)},
      {"bytes null", boxsim_bytes(kKado, nullptr, 1)},
      {"bytes unknown", boxsim_bytes(nullptr, buf, 1)},
      {"writes negative", boxsim_writes(kKado, times, sizes, -1)},
      {"writes null", boxsim_writes(kKado, nullptr, sizes, 1)},
      {"wire address 0", boxsim_wire(kKado, 0, "two-wire")},
      {"wire address 8", boxsim_wire(kKado, 8, "two-wire")},
      {"wire unknown kind", boxsim_wire(kKado, 1, "five-wire")},
      {"wire null kind", boxsim_wire(kKado, 1, nullptr)},
      {"wire unknown", boxsim_wire("NOPE", 1, "two-wire")},
      {"errors address 8", boxsim_errors(kKado, 8)},
      {"errors unknown", boxsim_errors("NOPE", 1)},
      {"energised address 0", boxsim_energised(kKado, 0)},
      {"energised null", boxsim_energised(nullptr, 1)},
  };
  for (const auto& [name, result] : results) EXPECT_LT(result, 0) << name;
  EXPECT_EQ(boxsim_position("NOPE", 1), LLONG_MIN);
  EXPECT_EQ(boxsim_position(kKado, 0), LLONG_MIN);
  EXPECT_EQ(boxsim_position(kKado, 8), LLONG_MIN);
  EXPECT_EQ(boxsim_bytes(kKado, nullptr, 0), 0);
  boxsim_clear(nullptr);
  boxsim_clear("NOPE");
  EXPECT_EQ(Count(), 1u);  // nothing above plugged a box
}

// Meant for the thread sanitizer: the tick-like writer, control-side readers and a plug churn.
TEST_F(BoxsimTest, ConcurrentWritersReadersAndPlugging) {
  ASSERT_EQ(boxsim_wire(kKado, 1, "four-wire"), 0);
  constexpr int kCycles = 2000;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    FT_HANDLE h = Open(kKado);
    for (int i = 0; i < kCycles; ++i) Write(h, {0x84, 0xF4, 0x82, 0xF2, 0x81, 0xF1, 0x88, 0xF8});
    FT_Close(h);
    done = true;
  });
  std::thread churn([&] {
    for (int i = 0; i < 200 && !done; ++i) {
      boxsim_plug("VORK-ql2", "QL000009");
      FT_HANDLE h = nullptr;
      FT_OpenEx(const_cast<char*>("QL000009"), FT_OPEN_BY_SERIAL_NUMBER, &h);
      boxsim_unplug("QL000009");
      FT_Close(h);
    }
  });
  long long last = 0;
  bool monotonic = true;
  unsigned char buf[16];
  while (!done) {
    const long long now = boxsim_position(kKado, 1);
    monotonic = monotonic && now >= last;
    last = now;
    boxsim_bytes(kKado, buf, 16);
    FT_DWORD n;
    FT_ListDevices(&n, nullptr, FT_LIST_NUMBER_ONLY);
  }
  writer.join();
  churn.join();
  EXPECT_TRUE(monotonic);
  EXPECT_EQ(boxsim_position(kKado, 1), 4LL * kCycles);
  EXPECT_EQ(boxsim_errors(kKado, 1), 0);
  EXPECT_EQ(Logged(kKado).size(), 8u * kCycles);
}

}  // namespace
