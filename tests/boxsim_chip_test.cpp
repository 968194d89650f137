// The emulator's real-chip behaviour: user area sizes, short and delayed writes under the write
// timeout, USB ids and FT_SetVIDPID, and names that fill the caller's 64 bytes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "boxsim/boxsim.h"
#include "platform/platform.h"

namespace {

using Bytes = std::vector<unsigned char>;
constexpr const char* kBox = "CHIP0001";

class BoxsimChipTest : public testing::Test {
protected:
  void SetUp() override {
    mervane::platform::UnsetEnv("BOXSIM_STATE_DIR");
    boxsim_reset();
    ASSERT_EQ(boxsim_plug("VORK-KADO", kBox), 0);
  }
  void TearDown() override { boxsim_reset(); }

  static FT_HANDLE Open(const std::string& serial, FT_STATUS expected = FT_OK) {
    FT_HANDLE h = nullptr;
    EXPECT_EQ(FT_OpenEx(const_cast<char*>(serial.c_str()), FT_OPEN_BY_SERIAL_NUMBER, &h), expected) << serial;
    return h;
  }
  // Writes `n` bytes; the count the call reports as sent, and its duration in *seconds.
  static FT_DWORD Write(FT_HANDLE h, FT_DWORD n, double* seconds = nullptr) {
    Bytes data(n, 0x81);
    FT_DWORD written = 12345;
    double start = mervane::platform::NowSeconds();
    EXPECT_EQ(FT_Write(h, data.data(), n, &written), FT_OK);
    if (seconds != nullptr) *seconds = mervane::platform::NowSeconds() - start;
    return written;
  }
  static FT_DWORD Count() {
    FT_DWORD n = 99;
    EXPECT_EQ(FT_ListDevices(&n, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    return n;
  }
};

TEST_F(BoxsimChipTest, TheUserAreaSizeBoundsReadsAndWrites) {
  const Bytes name = {'A', 'B', 'C', 'D', 'E', 'F'};
  ASSERT_EQ(boxsim_set_eeprom(kBox, name.data(), 6), 0);
  ASSERT_EQ(boxsim_set_ua_size(kBox, 4), 0);
  FT_HANDLE h = Open(kBox);
  FT_DWORD size = 0, read = 0;
  ASSERT_EQ(FT_EE_UASize(h, &size), FT_OK);
  EXPECT_EQ(size, 4u);
  Bytes buf(64, 0xEE);
  ASSERT_EQ(FT_EE_UARead(h, buf.data(), 64, &read), FT_OK);
  EXPECT_EQ(read, 4u);
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 5), (Bytes{'A', 'B', 'C', 'D', 0xEE}));
  Bytes fresh = {'w', 'x', 'y', 'z', '!'};
  EXPECT_EQ(FT_EE_UAWrite(h, fresh.data(), 5), FT_INVALID_PARAMETER);
  ASSERT_EQ(FT_EE_UAWrite(h, fresh.data(), 4), FT_OK);
  Bytes chip(64);
  ASSERT_EQ(boxsim_get_eeprom(kBox, chip.data(), 64), 64);
  EXPECT_EQ(Bytes(chip.begin(), chip.begin() + 7), (Bytes{'w', 'x', 'y', 'z', 'E', 'F', 0})) << "bytes past the area stay";

  ASSERT_EQ(boxsim_set_ua_size(kBox, 0), 0);
  EXPECT_EQ(FT_EE_UAWrite(h, fresh.data(), 1), FT_INVALID_PARAMETER);
  ASSERT_EQ(FT_EE_UARead(h, buf.data(), 64, &read), FT_OK);
  EXPECT_EQ(read, 0u);
  ASSERT_EQ(boxsim_unplug(kBox), 0);
  ASSERT_EQ(boxsim_plug("VORK-KADO", kBox), 0);
  h = Open(kBox);
  ASSERT_EQ(FT_EE_UASize(h, &size), FT_OK);
  EXPECT_EQ(size, 0u) << "the size belongs to the chip and survives a replug";
}

TEST_F(BoxsimChipTest, ShortWritesSendTheirFirstBytesAndReportSuccess) {
  FT_HANDLE h = Open(kBox);
  ASSERT_EQ(boxsim_short_write(kBox, 2, 2), 0);
  EXPECT_EQ(Write(h, 5), 2u);
  EXPECT_EQ(Write(h, 1), 1u) << "a write shorter than the cut is whole";
  EXPECT_EQ(Write(h, 5), 5u);
  ASSERT_EQ(boxsim_short_write(kBox, 3, 0), 0);
  ASSERT_EQ(boxsim_short_write(kBox, 0, 0), 0);  // cancelled
  EXPECT_EQ(Write(h, 3), 3u);
  std::vector<double> times(8);
  std::vector<int> sizes(8);
  ASSERT_EQ(boxsim_writes(kBox, times.data(), sizes.data(), 8), 4);
  EXPECT_EQ(std::vector<int>(sizes.begin(), sizes.begin() + 4), (std::vector<int>{2, 1, 5, 3}));
  Bytes logged(32);
  EXPECT_EQ(boxsim_bytes(kBox, logged.data(), 32), 11) << "only the bytes sent reach the box";
}

// Real-time bounds are generous: only the order of magnitude matters (5 ms against 150 ms).
TEST_F(BoxsimChipTest, ADelayedWriteReturnsShortAfterTheWriteTimeout) {
  const double delay = 0.15;
  ASSERT_EQ(boxsim_write_delay(kBox, delay), 0);
  FT_HANDLE h = Open(kBox);
  double seconds = 0;
  EXPECT_EQ(Write(h, 30, &seconds), 30u) << "no timeout: the write waits for the box";
  EXPECT_GE(seconds, delay);
  ASSERT_EQ(FT_SetTimeouts(h, 5, 5), FT_OK);
  EXPECT_LE(Write(h, 30, &seconds), 2u) << "5 ms of 150: about a thirtieth of the bytes";
  EXPECT_LT(seconds, delay / 2);
  ASSERT_EQ(FT_Close(h), FT_OK);
  h = Open(kBox);
  EXPECT_EQ(Write(h, 30, &seconds), 30u) << "a fresh handle has no timeout";
}

TEST_F(BoxsimChipTest, BoxesWithTheirOwnIdsAreSeenOnlyOnceTheIdsAreNamed) {
  ASSERT_EQ(boxsim_plug_ids("VORK-KADO", "DEFAULT2", 0x0403, 0x6015), 0);
  ASSERT_EQ(boxsim_plug_ids("VORK-ql2", "CUSTOM01", 0x1234, 0xABCD), 0);
  EXPECT_EQ(Count(), 2u) << "default ids are listed by themselves";
  char serial[64] = {};
  EXPECT_EQ(FT_ListDevices(reinterpret_cast<void*>(std::uintptr_t{2}), serial, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER),
            FT_DEVICE_NOT_FOUND);
  Open("CUSTOM01", FT_DEVICE_NOT_FOUND);
  ASSERT_EQ(FT_SetVIDPID(0x1234, 0xABCD), FT_OK);
  EXPECT_EQ(Count(), 3u);
  ASSERT_EQ(FT_ListDevices(reinterpret_cast<void*>(std::uintptr_t{2}), serial, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER),
            FT_OK);
  EXPECT_STREQ(serial, "CUSTOM01");
  EXPECT_NE(Open("CUSTOM01"), nullptr);
  EXPECT_EQ(FT_SetVIDPID(0x10000, 1), FT_INVALID_PARAMETER);
  boxsim_reset();
  ASSERT_EQ(boxsim_plug_ids("VORK-ql2", "CUSTOM01", 0x1234, 0xABCD), 0);
  EXPECT_EQ(Count(), 0u) << "a reset forgets the ids made known";
}

TEST_F(BoxsimChipTest, A64ByteNameFillsTheBufferWithoutItsNul) {
  const std::string serial(64, 'Q');
  ASSERT_EQ(boxsim_plug("VORK-KADO", serial.c_str()), 0);
  char buf[70];
  std::memset(buf, '#', sizeof buf);
  ASSERT_EQ(FT_ListDevices(reinterpret_cast<void*>(std::uintptr_t{1}), buf, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER),
            FT_OK);
  EXPECT_EQ(std::string(buf, 65), serial + "#");
  EXPECT_NE(Open(serial), nullptr) << "the whole serial opens the box";
  Open(serial.substr(0, 63), FT_DEVICE_NOT_FOUND);
}

TEST_F(BoxsimChipTest, NewControlsRejectBadArgumentsAndNewCallsFailOnRequest) {
  const std::vector<std::pair<const char*, int>> results = {
      {"ua size negative", boxsim_set_ua_size(kBox, -1)},
      {"ua size over 64", boxsim_set_ua_size(kBox, 65)},
      {"ua size unknown", boxsim_set_ua_size("NOPE", 4)},
      {"short negative count", boxsim_short_write(kBox, -1, 0)},
      {"short negative bytes", boxsim_short_write(kBox, 1, -1)},
      {"short null", boxsim_short_write(nullptr, 1, 0)},
      {"delay negative", boxsim_write_delay(kBox, -0.1)},
      {"delay nan", boxsim_write_delay(kBox, std::nan(""))},
      {"delay over a minute", boxsim_write_delay(kBox, 61)},
      {"delay unknown", boxsim_write_delay("NOPE", 1)},
      {"ids null", boxsim_plug_ids(nullptr, "X1", 1, 1)},
      {"ids vid too big", boxsim_plug_ids("X", "X1", 0x10000, 1)},
      {"ids pid too big", boxsim_plug_ids("X", "X1", 1, 0x10000)},
      {"ids attached", boxsim_plug_ids("X", kBox, 1, 1)},
  };
  for (const auto& [label, result] : results) EXPECT_LT(result, 0) << label;

  FT_HANDLE h = Open(kBox);
  FT_DWORD size = 0;
  ASSERT_EQ(boxsim_fail(kBox, "settimeouts", 1), 0);
  ASSERT_EQ(boxsim_fail(kBox, "uasize", 1), 0);
  EXPECT_EQ(FT_SetTimeouts(h, 5, 5), FT_IO_ERROR);
  EXPECT_EQ(FT_EE_UASize(h, &size), FT_IO_ERROR);
  EXPECT_EQ(FT_EE_UASize(h, nullptr), FT_INVALID_PARAMETER);
  EXPECT_EQ(FT_EE_UASize(h, &size), FT_OK);
  EXPECT_EQ(size, 64u);
}

}  // namespace
