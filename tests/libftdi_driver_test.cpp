// The libftdi1 driver: the EEPROM image rules (table-driven), the choice of driver library, the
// name write's refusals against a scripted libftdi1, and the whole device layer through the
// emulator's libftdi1 face.
#include <array>

#include "hardware/eeprom_image.h"
#include "hardware/libftdi.h"
#include "support.h"

namespace mervane::testing {
namespace {

using Image = std::array<std::uint8_t, 128>;

Image BoxImage(const std::string& serial = "A9Z00001", const std::string& userArea = "") {
  Image image{};
  eeprom::BuildImage(image.data(), image.size(), "FTDI", "VORK-KADO", serial,
                     reinterpret_cast<const std::uint8_t*>(userArea.data()), userArea.size());
  return image;
}

// ---- Checksum and layout ------------------------------------------------------------------------

TEST(EepromImageTest, ChecksumOfOneWordByHand) {
  // 0xAAAA ^ word, rotated left by one bit.
  const struct {
    std::uint8_t low, high;
    std::uint16_t sum;
  } cases[] = {{0x00, 0x00, 0x5555}, {0xAA, 0xAA, 0x0000}, {0x01, 0x00, 0x5557}, {0x00, 0x80, 0x5554}};
  for (const auto& c : cases) {
    std::uint8_t image[4] = {c.low, c.high, 0, 0};
    EXPECT_EQ(eeprom::Checksum(image, 4), c.sum) << int{c.low} << " " << int{c.high};
    eeprom::StoreChecksum(image, 4);
    EXPECT_EQ(image[2] | (image[3] << 8), c.sum);
    EXPECT_TRUE(eeprom::ChecksumValid(image, 4));
  }
}

TEST(EepromImageTest, EveryFlippedBitBreaksTheChecksum) {
  Image image = BoxImage();
  ASSERT_TRUE(eeprom::ChecksumValid(image.data(), image.size()));
  for (std::size_t at = 0; at < image.size(); at += 7)
    for (int bit : {0, 5}) {
      Image flipped = image;
      flipped[at] = static_cast<std::uint8_t>(flipped[at] ^ (1u << bit));
      EXPECT_FALSE(eeprom::ChecksumValid(flipped.data(), flipped.size())) << "byte " << at << " bit " << bit;
    }
}

TEST(EepromImageTest, DecodesTheStringsAndTheFreeAreaAfterThem) {
  Image image = BoxImage("A9Z00001", "BENCH");
  eeprom::Layout layout = eeprom::Decode(image.data(), image.size());
  ASSERT_TRUE(layout.valid) << layout.problem;
  EXPECT_EQ(layout.manufacturer, "FTDI");
  EXPECT_EQ(layout.product, "VORK-KADO");
  EXPECT_EQ(layout.serial, "A9Z00001");
  // Strings from 0x18: (2 + 8) + (2 + 18) + (2 + 16) bytes, then the 02 03 01 trio.
  EXPECT_EQ(layout.freeStart, 0x18u + 10 + 20 + 18 + 3);
  EXPECT_EQ(layout.freeEnd, 126u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(image.data() + layout.freeStart), 5), "BENCH");
}

TEST(EepromImageTest, TheFreeAreaShrinksWithLongerStrings) {
  std::size_t previous = 200;
  for (std::string serial : {"A", "A1234567", "A123456789ABCDEF", "A123456789ABCDEFGHIJKLMN"}) {
    Image image = BoxImage(serial);
    eeprom::Layout layout = eeprom::Decode(image.data(), image.size());
    ASSERT_TRUE(layout.valid) << serial;
    EXPECT_EQ(layout.serial, serial);
    EXPECT_EQ(layout.FreeSize(), 126 - (0x18 + 10 + 20 + 2 + 2 * serial.size() + 3));
    EXPECT_LT(layout.FreeSize(), previous);
    previous = layout.FreeSize();
  }
}

TEST(EepromImageTest, WithoutThePortNameTrioTheAreaStartsRightAfterTheStrings) {
  Image image = BoxImage();
  eeprom::Layout with = eeprom::Decode(image.data(), image.size());
  image[with.freeStart - 3] = 0;  // no 02 03 xx any more
  image[with.freeStart - 2] = 0;
  image[with.freeStart - 1] = 0;
  eeprom::StoreChecksum(image.data(), image.size());
  eeprom::Layout without = eeprom::Decode(image.data(), image.size());
  ASSERT_TRUE(without.valid);
  EXPECT_EQ(without.freeStart, with.freeStart - 3);
}

struct Damage {
  const char* name;
  void (*apply)(Image&);
  bool renewChecksum;
  const char* problem;
};

class DamagedImageTest : public ::testing::TestWithParam<Damage> {};

TEST_P(DamagedImageTest, IsNotValidAndTakesNoUserArea) {
  Image image = BoxImage();
  GetParam().apply(image);
  if (GetParam().renewChecksum) eeprom::StoreChecksum(image.data(), image.size());
  Image before = image;
  eeprom::Layout layout = eeprom::Decode(image.data(), image.size());
  EXPECT_FALSE(layout.valid);
  EXPECT_EQ(layout.problem, GetParam().problem);
  const std::uint8_t name[] = {'X', 'Y'};
  EXPECT_EQ(eeprom::PutUserArea(image.data(), image.size(), name, 2), 0u);
  EXPECT_EQ(image, before);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, DamagedImageTest,
    ::testing::Values(
        Damage{"blank", [](Image& i) { i.fill(0xFF); }, false, "blank EEPROM"},
        Damage{"checksum", [](Image& i) { i[40] ^= 0x10; }, false, "EEPROM checksum wrong"},
        Damage{"pointer_past_end", [](Image& i) { i[0x10] = 0xF8; }, true, "string descriptor outside the image"},
        Damage{"pointer_into_header", [](Image& i) { i[0x0E] = 0x82; }, true, "string descriptor outside the image"},
        Damage{"odd_length", [](Image& i) { i[0x13] = 17; }, true, "string descriptor outside the image"},
        Damage{"wrong_type", [](Image& i) { i[0x19] = 0x04; }, true, "string descriptor damaged"},
        Damage{"length_disagrees", [](Image& i) { i[0x0F] = 8; }, true, "string descriptor damaged"},
        Damage{"no_strings", [](Image& i) { i[0x0F] = i[0x11] = i[0x13] = 0; }, true, "no string descriptors"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(EepromImageTest, UnknownSizesAreRefused) {
  std::vector<std::uint8_t> image(96, 0);
  for (std::size_t size : {0u, 64u, 96u})
    EXPECT_EQ(eeprom::Decode(image.data(), size).problem, "unknown EEPROM size") << size;
  EXPECT_EQ(eeprom::Decode(nullptr, 128).problem, "unknown EEPROM size");
}

TEST(EepromImageTest, PuttingTheNameChangesOnlyTheUserAreaAndTheChecksum) {
  Image image = BoxImage();
  Image before = image;
  const std::uint8_t name[10] = {'B', 'E', 'N', 'C', 'H', 0, 0, 0, 0, 0};
  ASSERT_EQ(eeprom::PutUserArea(image.data(), image.size(), name, sizeof name), sizeof name);
  eeprom::Layout layout = eeprom::Decode(image.data(), image.size());
  ASSERT_TRUE(layout.valid);
  for (std::size_t at = 0; at < image.size(); ++at) {
    bool inName = at >= layout.freeStart && at < layout.freeStart + sizeof name;
    bool inChecksum = at >= 126;
    if (inName) {
      EXPECT_EQ(image[at], name[at - layout.freeStart]) << at;
    } else if (!inChecksum) {
      EXPECT_EQ(image[at], before[at]) << at;
    }
  }
  EXPECT_NE(std::memcmp(image.data() + 126, before.data() + 126, 2), 0);
}

TEST(EepromImageTest, AUserAreaTooSmallTakesWhatFits) {
  // A product name of 32 characters leaves five bytes for the ten of the name.
  Image image{};
  eeprom::BuildImage(image.data(), image.size(), "FTDI", std::string(32, 'P'), "A9Z00001", nullptr, 0);
  eeprom::Layout layout = eeprom::Decode(image.data(), image.size());
  ASSERT_TRUE(layout.valid);
  ASSERT_EQ(layout.FreeSize(), 5u);
  const std::uint8_t name[10] = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J'};
  EXPECT_EQ(eeprom::PutUserArea(image.data(), image.size(), name, sizeof name), layout.FreeSize());
  EXPECT_TRUE(eeprom::ChecksumValid(image.data(), image.size()));
  EXPECT_EQ(image[layout.freeStart + layout.FreeSize() - 1], name[layout.FreeSize() - 1]);
}

TEST(EepromImageTest, ABigChipsPointersReachItsUpperHalf) {
  std::vector<std::uint8_t> image(256);
  eeprom::BuildImage(image.data(), image.size(), "FTDI", "VORK-ql2", "QL000002", nullptr, 0);
  eeprom::Layout layout = eeprom::Decode(image.data(), image.size());
  ASSERT_TRUE(layout.valid) << layout.problem;
  EXPECT_EQ(layout.product, "VORK-ql2");
  EXPECT_EQ(layout.freeEnd, 254u);
}

// ---- Which library ------------------------------------------------------------------------------

struct OrderCase {
  const char* name;
  std::optional<std::string> choice;
  bool d2xxNamed;
  bool windows;
  std::vector<DriverKind> order;
};

class DriverOrderTest : public ::testing::TestWithParam<OrderCase> {};

TEST_P(DriverOrderTest, Chooses) {
  const OrderCase& c = GetParam();
  EXPECT_EQ(DriverOrder(c.choice, c.d2xxNamed, c.windows), c.order);
}

constexpr auto D2 = DriverKind::D2xx;
constexpr auto LF = DriverKind::LibFtdi;
INSTANTIATE_TEST_SUITE_P(
    Cases, DriverOrderTest,
    ::testing::Values(OrderCase{"unset_plain", std::nullopt, false, false, {LF, D2}},
                      OrderCase{"unset_d2xx_named", std::nullopt, true, false, {D2}},
                      OrderCase{"empty", std::string(), false, false, {LF, D2}},
                      OrderCase{"libftdi", std::string("libftdi"), false, false, {LF}},
                      OrderCase{"libftdi_over_named_d2xx", std::string("libftdi"), true, false, {LF}},
                      OrderCase{"d2xx", std::string("d2xx"), false, false, {D2}},
                      OrderCase{"unknown_word", std::string("LIBFTDI"), false, false, {LF, D2}},
                      OrderCase{"windows_libftdi", std::string("libftdi"), false, true, {D2}},
                      OrderCase{"windows_unset", std::nullopt, false, true, {D2}}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- The name write against a scripted libftdi1 -------------------------------------------------

// What the scripted library answers and what it was asked. One test at a time uses it.
struct Script {
  std::vector<Image> reads;  // successive images ftdi_read_eeprom finds (the last repeats)
  std::size_t readsDone = 0;
  Image buffer{};            // the context's image buffer
  bool built = false;
  int writes = 0;
  Image written{};
  bool chipKeepsWrite = true;  // whether later reads show what was written
  int writeTimeoutDuringWrite = 0;
  std::vector<std::string> calls;
};
Script script;
ftdi::Context scriptContext{};

LibFtdiFunctions ScriptedLibrary() {
  LibFtdiFunctions f;
  f.newContext = [] {
    scriptContext = ftdi::Context{};
    scriptContext.usb_write_timeout = 5000;
    return &scriptContext;
  };
  f.freeContext = [](ftdi::Context*) {};
  f.setInterface = [](ftdi::Context*, ftdi::Interface i) { return i == ftdi::kInterfaceA ? 0 : -1; };
  f.findAll = [](ftdi::Context*, ftdi::DeviceList** list, int, int) {
    static ftdi::DeviceList one{nullptr, nullptr};
    *list = &one;
    return 1;
  };
  f.listFree = [](ftdi::DeviceList** list) { *list = nullptr; };
  f.getStrings = [](ftdi::Context*, ftdi::UsbDevice*, char*, int, char* d, int ds, char* s, int ss) {
    if (d) std::snprintf(d, static_cast<std::size_t>(ds), "VORK-KADO");
    if (s) std::snprintf(s, static_cast<std::size_t>(ss), "A9Z00001");
    return 0;
  };
  f.openDev = [](ftdi::Context* c, ftdi::UsbDevice*) {
    c->type = ftdi::kTypeR;
    return 0;
  };
  f.close = [](ftdi::Context*) { return 0; };
  f.setBitmode = [](ftdi::Context*, unsigned char, unsigned char) {
    script.calls.push_back("bitmode");
    return 0;
  };
  f.setBaudrate = [](ftdi::Context*, int rate) {
    script.calls.push_back("baud " + std::to_string(rate));
    return 0;
  };
  f.writeData = [](ftdi::Context*, const unsigned char*, int size) { return size; };
  f.pollModemStatus = [](ftdi::Context*, unsigned short*) { return 0; };
  f.readEeprom = [](ftdi::Context*) {
    std::size_t at = std::min(script.readsDone++, script.reads.size() - 1);
    script.buffer = script.reads[at];
    script.built = false;
    return 0;
  };
  f.getEepromBuf = [](ftdi::Context*, unsigned char* buffer, int size) {
    if (size < 128) return -1;
    std::memcpy(buffer, script.buffer.data(), 128);
    std::memcpy(buffer + 128, script.buffer.data(), static_cast<std::size_t>(size) - 128);
    return 0;
  };
  f.setEepromBuf = [](ftdi::Context*, const unsigned char* buffer, int) {
    std::memcpy(script.buffer.data(), buffer, 128);
    return 0;
  };
  f.eepromBuild = [](ftdi::Context*) {
    script.buffer.fill(0);
    script.built = true;
    return 0;
  };
  f.writeEeprom = [](ftdi::Context* c) {
    if (!script.built) return -3;
    ++script.writes;
    script.written = script.buffer;
    script.writeTimeoutDuringWrite = c->usb_write_timeout;
    if (script.chipKeepsWrite) script.reads.push_back(script.buffer);
    script.readsDone = script.reads.size() - 1;
    return 0;
  };
  f.errorString = [](ftdi::Context*) { return "scripted"; };
  return f;
}

class ScriptedLibFtdiTest : public ::testing::Test {
protected:
  void SetUp() override {
    script = Script{};
    platform::UnsetEnv("MERVANE_USB_IDS");
    library_.Install(ScriptedLibrary());
  }
  void TearDown() override {
    if (handle_ != nullptr) library_.Close(handle_);
  }
  FT_HANDLE Opened() {
    std::uint32_t count = 0;
    EXPECT_EQ(library_.CountDevices(count), FT_OK);
    EXPECT_EQ(library_.OpenBySerial("A9Z00001", handle_), FT_OK);
    return handle_;
  }
  FT_STATUS WriteName(const char* name) {
    return library_.WriteUserArea(Opened(), reinterpret_cast<const std::uint8_t*>(name), 10);
  }

  LibFtdi library_;
  FT_HANDLE handle_ = nullptr;
};

TEST_F(ScriptedLibFtdiTest, WritesTheNameIntoTheImageWithItsChecksum) {
  script.reads = {BoxImage()};
  ASSERT_EQ(WriteName("BENCH\0\0\0\0"), FT_OK);
  ASSERT_EQ(script.writes, 1);
  eeprom::Layout layout = eeprom::Decode(script.written.data(), 128);
  ASSERT_TRUE(layout.valid) << layout.problem;
  EXPECT_EQ(layout.serial, "A9Z00001");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(script.written.data() + layout.freeStart)), "BENCH");
  // The EEPROM's transfers got the long timeout; the tick's short one is back afterwards.
  EXPECT_EQ(script.writeTimeoutDuringWrite, kEepromTimeoutMs);
  EXPECT_EQ(scriptContext.usb_write_timeout, 5000);
  // Reads back what it holds now: the same name.
  std::uint8_t read[64] = {};
  std::uint32_t n = 0;
  ASSERT_EQ(library_.ReadUserArea(handle_, read, 64, n), FT_OK);
  EXPECT_EQ(n, layout.FreeSize());
  EXPECT_STREQ(reinterpret_cast<const char*>(read), "BENCH");
}

TEST_F(ScriptedLibFtdiTest, AChipThatHoldsTheNameAlreadyIsNotWritten) {
  script.reads = {BoxImage("A9Z00001", std::string("BENCH\0\0\0\0\0", 10))};
  EXPECT_EQ(WriteName("BENCH\0\0\0\0"), FT_OK);
  EXPECT_EQ(script.writes, 0);
}

TEST_F(ScriptedLibFtdiTest, ADamagedImageIsNeverWritten) {
  Image damaged = BoxImage();
  damaged[0x19] = 0x04;  // the manufacturer string is no string descriptor
  eeprom::StoreChecksum(damaged.data(), 128);
  Image blank;
  blank.fill(0xFF);
  Image badSum = BoxImage();
  badSum[60] ^= 1;
  for (const Image& image : {damaged, blank, badSum}) {
    script = Script{};
    script.reads = {image};
    EXPECT_NE(WriteName("BENCH\0\0\0\0"), FT_OK);
    EXPECT_EQ(script.writes, 0);
    library_.Close(handle_);
    handle_ = nullptr;
  }
}

TEST_F(ScriptedLibFtdiTest, AnImageOfAnotherSerialIsNeverWritten) {
  script.reads = {BoxImage("OTHER001")};
  EXPECT_EQ(WriteName("BENCH\0\0\0\0"), FT_OTHER_ERROR);
  EXPECT_EQ(script.writes, 0);
}

TEST_F(ScriptedLibFtdiTest, TwoReadsThatDisagreeStopTheWrite) {
  script.reads = {BoxImage("A9Z00001", "OLD"), BoxImage("A9Z00001", "OlD")};
  EXPECT_EQ(WriteName("BENCH\0\0\0\0"), FT_IO_ERROR);
  EXPECT_EQ(script.writes, 0);
}

TEST_F(ScriptedLibFtdiTest, AReadBackThatDiffersFailsTheWrite) {
  script.reads = {BoxImage()};
  script.chipKeepsWrite = false;
  EXPECT_EQ(WriteName("BENCH\0\0\0\0"), FT_FAILED_TO_WRITE_DEVICE);
  EXPECT_EQ(script.writes, 1);
}

TEST_F(ScriptedLibFtdiTest, ABlankChipOpensWithoutAName) {
  Image blank;
  blank.fill(0xFF);
  script.reads = {blank};
  std::uint8_t read[64];
  std::memset(read, 0x55, sizeof read);
  std::uint32_t n = 99;
  EXPECT_EQ(library_.ReadUserArea(Opened(), read, 64, n), FT_OK);
  EXPECT_EQ(n, 0u);
}

TEST_F(ScriptedLibFtdiTest, TheBaudRateIsQuarteredOnceBitBangIsOn) {
  FT_HANDLE handle = Opened();
  ASSERT_EQ(library_.SetBaudRate(handle, 3000000), FT_OK);
  ASSERT_EQ(library_.SetBitMode(handle, 0xFF, FT_BITMODE_ASYNC_BITBANG), FT_OK);
  ASSERT_EQ(library_.SetBaudRate(handle, 3000000), FT_OK);
  ASSERT_EQ(library_.SetBitMode(handle, 0xFF, FT_BITMODE_RESET), FT_OK);
  ASSERT_EQ(library_.SetBaudRate(handle, 3000000), FT_OK);
  EXPECT_EQ(script.calls,
            (std::vector<std::string>{"baud 3000000", "bitmode", "baud 750000", "bitmode", "baud 3000000"}));
}

TEST_F(ScriptedLibFtdiTest, TimeoutsAreSetAsContextFields) {
  FT_HANDLE handle = Opened();
  ASSERT_EQ(library_.SetTimeouts(handle, 5), FT_OK);
  EXPECT_EQ(scriptContext.usb_write_timeout, 5);
  EXPECT_EQ(scriptContext.usb_read_timeout, kStatusTimeoutMs);
  EXPECT_EQ(scriptContext.module_detach_mode, ftdi::kAutoDetachSioModule);
}

TEST_F(ScriptedLibFtdiTest, NullHandlesAndUnknownIndexesFail) {
  std::uint8_t byte = 0;
  std::uint32_t n = 0;
  char text[64];
  EXPECT_EQ(library_.Write(nullptr, &byte, 1), FT_INVALID_HANDLE);
  EXPECT_EQ(library_.ReadUserArea(nullptr, &byte, 1, n), FT_INVALID_HANDLE);
  EXPECT_EQ(library_.WriteUserArea(nullptr, &byte, 1), FT_INVALID_HANDLE);
  EXPECT_EQ(library_.GetStatus(nullptr), FT_INVALID_HANDLE);
  EXPECT_EQ(library_.Close(nullptr), FT_INVALID_HANDLE);
  EXPECT_EQ(library_.Description(0, text, sizeof text), FT_DEVICE_NOT_FOUND);
}

// ---- The device layer through the emulator's libftdi1 face -------------------------------------

class LibFtdiFaceTest : public EmulatorTest {
protected:
  void SetUp() override {
#if defined(_WIN32)
    GTEST_SKIP() << "the libftdi1 driver is Linux only";
#else
    EmulatorTest::SetUp();
    platform::SetEnv("MERVANE_DRIVER", "libftdi");
    platform::SetEnv("MERVANE_LIBFTDI_LIBRARY", MERVANE_BOXSIM_PATH);
    platform::UnsetEnv("MERVANE_EEPROM_WRITE");
#endif
  }
};

#if !defined(_WIN32)
TEST_F(LibFtdiFaceTest, OpensEveryBoxInBitBangAtTheFullRate) {
  ASSERT_EQ(PlugAndRefresh({{"VORK-KADO", "LF000001"}, {"VORK-ql2", "LF000002"}, {"OTHER", "LF000003"}}), 2);
  EXPECT_EQ(GetRuntime().driver.Kind(), DriverKind::LibFtdi);
  EXPECT_EQ(GetRuntime().driver.Source(), MERVANE_BOXSIM_PATH);
  for (const char* serial : {"LF000001", "LF000002"}) {
    int mask = 0, mode = 0;
    ASSERT_EQ(boxsim_bitmode(serial, &mask, &mode), 0);
    EXPECT_EQ(mask, 0xFF);
    EXPECT_EQ(mode, 1);
    // The face refuses 3000000 once bit-bang is on: this rate is the quartered one, times four.
    EXPECT_EQ(boxsim_baudrate(serial), 3000000);
    EXPECT_EQ(WireBytes(serial), ReleaseAllBytes());
  }
}

TEST_F(LibFtdiFaceTest, BoxesOfCustomIdsAreListedThroughTheVariable) {
  boxsim_plug_ids("VORK-KADO", "LFCUSTOM", 0x0403, 0xA7E1);
  {
    LibraryLock lock;
    EXPECT_EQ(RefreshDevices(), -1);  // no chip of the default ids at all
  }
  platform::SetEnv("MERVANE_USB_IDS", "0403:a7e1, 0403:6001");
  LibraryLock lock;
  EXPECT_EQ(RefreshDevices(), 1);
  EXPECT_EQ(Device(0).serial, "LFCUSTOM");
  platform::UnsetEnv("MERVANE_USB_IDS");
}

TEST_F(LibFtdiFaceTest, ABoxWithoutAccessRightsIsReportedAndSkipped) {
  boxsim_plug("VORK-KADO", "LFDENIED");
  boxsim_ftdi_deny("LFDENIED", 1);
  EXPECT_EQ(PlugAndRefresh({{"VORK-KADO", "LF000001"}}), 1);
  EXPECT_EQ(Device(0).serial, "LF000001");
  std::vector<std::string> unreadable = GetRuntime().driver.Unreadable();
  ASSERT_EQ(unreadable.size(), 1u);
  EXPECT_NE(unreadable[0].find("0403:6001"), std::string::npos) << unreadable[0];
  EXPECT_NE(unreadable[0].find("libusb_open() failed"), std::string::npos) << unreadable[0];
  // Access granted: the next listing opens it.
  boxsim_ftdi_deny("LFDENIED", 0);
  LibraryLock lock;
  EXPECT_EQ(RefreshDevices(), 2);
  EXPECT_TRUE(GetRuntime().driver.Unreadable().empty());
  boxsim_ftdi_deny("LFDENIED", 0);
}

TEST_F(LibFtdiFaceTest, TheNameGoesToTheImageAndComesBackAtTheNextOpen) {
  ASSERT_EQ(PlugAndRefresh({{"VORK-KADO", "LF000001"}}), 1);
  {
    LibraryLock lock;
    ASSERT_TRUE(Rename(Device(0), "BENCH"));
  }
  ByteImage chip = EepromBytes("LF000001");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(chip.data())), "BENCH");
  {
    LibraryLock lock;
    CloseAllDevices();
  }
  // The file would give the name back too: without it only the chip can.
  std::filesystem::remove(SettingsFile("LF000001"));
  LibraryLock lock;
  ASSERT_EQ(RefreshDevices(), 1);
  EXPECT_EQ(Device(0).name, "BENCH");
}

TEST_F(LibFtdiFaceTest, ChipWritesSwitchedOffKeepTheNameInTheFileOnly) {
  ASSERT_EQ(PlugAndRefresh({{"VORK-KADO", "LF000001"}}), 1);
  platform::SetEnv("MERVANE_EEPROM_WRITE", "0");
  {
    LibraryLock lock;
    ASSERT_TRUE(Rename(Device(0), "BENCH"));
  }
  platform::UnsetEnv("MERVANE_EEPROM_WRITE");
  EXPECT_EQ(EepromBytes("LF000001"), ByteImage(64, 0));
  ByteImage file = ReadFileBytes(SettingsFile("LF000001"));
  ASSERT_EQ(file.size(), 289u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(file.data())), "BENCH");
}

TEST_F(LibFtdiFaceTest, AStalledWriteFailsWithinItsTimeoutAndCountsNoStep) {
  ASSERT_EQ(PlugAndRefresh({{"VORK-KADO", "LF000001"}}), 1);
  boxsim_write_delay("LF000001", 0.5);
  const std::uint8_t pattern[4] = {0x80, 0x01, 0x80, 0x02};
  double start = platform::NowSeconds();
  FT_STATUS status = FT_OK;
  {
    DeviceGuard guard(Device(0));
    status = GetRuntime().driver.Write(Device(0).handle, pattern, sizeof pattern);
  }
  double took = platform::NowSeconds() - start;
  EXPECT_EQ(status, FT_IO_ERROR);
  EXPECT_LT(took, 0.25) << "the 5 ms write timeout did not hold";
  boxsim_write_delay("LF000001", 0.0);
}

TEST_F(LibFtdiFaceTest, AnUnpluggedBoxIsNoticedAndReopened) {
  ASSERT_EQ(PlugAndRefresh({{"VORK-KADO", "LF000001"}}), 1);
  boxsim_unplug("LF000001");
  LibraryLock lock;
  EXPECT_FALSE(Device(0).CheckConnection());
  boxsim_plug("VORK-KADO", "LF000001");
  Device(0).OnReconnectTimer();
  EXPECT_TRUE(Device(0).connected);
  EXPECT_EQ(boxsim_is_open("LF000001"), 1);
}
#endif

}  // namespace
}  // namespace mervane::testing
