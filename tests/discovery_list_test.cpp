// Discovery of boxes through the driver library, the device list it fills, and what discovery
// does when the driver library itself is missing or unusable.
#include <set>
#include <string>
#include <vector>

#include "support.h"

namespace mervane::testing {
namespace {


using DiscoveryTest = EmulatorTest;

// --- The open sequence every newly found box goes through ----------------------------------------

TEST_F(DiscoveryTest, OpensANewBoxInBitBangModeAtFullRateAndReleasesAllChannels) {
  ASSERT_EQ(PlugAndRefresh({{"VORK-KADO", kKado}}), 1);
  int mask = -1, mode = -1;
  ASSERT_EQ(boxsim_bitmode(kKado, &mask, &mode), 0);
  EXPECT_EQ(mask, 0xFF);
  EXPECT_EQ(mode, 1);
  EXPECT_EQ(boxsim_baudrate(kKado), 3000000);
  EXPECT_EQ(WireBytes(kKado), ReleaseAllBytes());
  EXPECT_EQ(WireWriteSizes(kKado), std::vector<int>{14}) << "the release goes out in one write";
  EXPECT_EQ(boxsim_is_open(kKado), 1);

  LibraryLock lock;
  USBDriver& device = Device(0);
  EXPECT_TRUE(device.connected);
  EXPECT_EQ(device.type, "VORK-KADO");
  EXPECT_EQ(device.serial, kKado);
  EXPECT_EQ(device.listIndex, 0);
  EXPECT_EQ(device.motorCount, 0u) << "no settings file: no used channel";
  EXPECT_NE(device.handle, nullptr);
}

// The display name: the chip's user area when it holds text, else description + list count.
struct ChipNameCase {
  const char* label;
  ByteImage eeprom;  // written at the start of the user area
  std::string name;
};

void PrintTo(const ChipNameCase& c, std::ostream* os) { *os << c.label; }

class ChipNameTest : public EmulatorTest, public ::testing::WithParamInterface<ChipNameCase> {};

TEST_P(ChipNameTest, NameComesFromTheUserAreaWhenItHoldsText) {
  const ChipNameCase& c = GetParam();
  ASSERT_EQ(boxsim_plug("VORK-KADO", kKado), 0);
  ASSERT_EQ(boxsim_set_eeprom(kKado, c.eeprom.data(), static_cast<int>(c.eeprom.size())), 0);
  LibraryLock lock;
  ASSERT_EQ(RefreshDevices(), 1);
  EXPECT_EQ(Device(0).name, c.name);
}

INSTANTIATE_TEST_SUITE_P(
    Names, ChipNameTest,
    ::testing::Values(ChipNameCase{"empty", {}, "VORK-KADO0"},
                      ChipNameCase{"leading_nul", {0, 'X', 'Y', 'Z'}, "VORK-KADO0"},
                      ChipNameCase{"text", {'B', 'e', 'n', 'c', 'h', 0}, "Bench"},
                      ChipNameCase{"text_then_junk", {'A', 'B', 0, 'C', 'D'}, "AB"},
                      ChipNameCase{"ten_unterminated", {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J'},
                                   "ABCDEFGHIJ"},
                      ChipNameCase{"full_area_no_nul", ByteImage(64, 'N'), std::string(64, 'N')}),
    [](const auto& test) { return std::string(test.param.label); });

TEST_F(DiscoveryTest, DefaultNamesCountTheDevicesAlreadyListed) {
  ASSERT_EQ(PlugAndRefresh({{"VORK-KADO", kKado}, {"VORK-ql2", kQl}}), 2);
  LibraryLock lock;
  EXPECT_EQ(Device(0).name, "VORK-KADO0");
  EXPECT_EQ(Device(1).name, "VORK-ql21");
  EXPECT_EQ(Device(1).listIndex, 1);
}

// --- What discovery accepts and when it gives up ------------------------------------------------

TEST_F(DiscoveryTest, NothingAttachedReturnsMinusOneAndLeavesTheListAlone) {
  {
    LibraryLock lock;
    EXPECT_EQ(RefreshDevices(), -1);
    EXPECT_EQ(GetRuntime().devices.Count(), 0u);
  }
  ASSERT_EQ(PlugAndRefresh({{"VORK-KADO", kKado}}), 1);
  LibraryLock lock;
  USBDriver* listed = &Device(0);
  ASSERT_EQ(boxsim_unplug(kKado), 0);
  EXPECT_EQ(RefreshDevices(), -1);
  ASSERT_EQ(GetRuntime().devices.Count(), 1u) << "a vanished box stays listed";
  EXPECT_EQ(&Device(0), listed);
}

TEST_F(DiscoveryTest, AFailingListingReturnsMinusOneAndOpensNothing) {
  ASSERT_EQ(boxsim_plug("VORK-KADO", kKado), 0);
  ASSERT_EQ(boxsim_fail(nullptr, "list", 1), 0);
  LibraryLock lock;
  EXPECT_EQ(RefreshDevices(), -1);
  EXPECT_EQ(GetRuntime().devices.Count(), 0u);
  EXPECT_EQ(boxsim_is_open(kKado), 0);
  EXPECT_EQ(RefreshDevices(), 1) << "the listing works again";
}

TEST_F(DiscoveryTest, DescriptionsAreComparedExactly) {
  const std::vector<std::string> lookalikes = {"vork-kado", "VORK-kado", "VORK-KADO ", " VORK-KADO",
                                               "VORK-KAD",  "VORK-KADO0", "VORK-QL2",   "vork-ql2",
                                               "VORK-ql2 ", "VORK-ql",    "VORK-KADO\t"};
  for (std::size_t i = 0; i < lookalikes.size(); ++i)
    ASSERT_EQ(boxsim_plug(lookalikes[i].c_str(), ("LOOK" + std::to_string(i)).c_str()), 0) << lookalikes[i];
  LibraryLock lock;
  EXPECT_EQ(RefreshDevices(), 0) << "boxes are attached, none of an accepted model";
  for (std::size_t i = 0; i < lookalikes.size(); ++i)
    EXPECT_EQ(boxsim_is_open(("LOOK" + std::to_string(i)).c_str()), 0) << lookalikes[i];
}

TEST(AcceptedModel, OnlyTheTwoModelNamesByteForByte) {
  const std::vector<std::pair<const char*, bool>> cases = {
      {"VORK-KADO", true},   {"VORK-ql2", true},    {"VORK-KADO ", false}, {"vork-kado", false},
      {"VORK-QL2", false},   {"VORK-KAD", false},   {"", false},           {"VORK-ql2\n", false},
      {"VORK-KADOX", false}, {"XVORK-ql2", false}};
  for (const auto& [description, accepted] : cases) EXPECT_EQ(IsAcceptedModel(description), accepted) << description;
}

TEST_F(DiscoveryTest, TheSameBoxFoundTwiceIsListedOnceAndLeftAlone) {
  ASSERT_EQ(PlugAndRefresh({{"VORK-KADO", kKado}}), 1);
  LibraryLock lock;
  USBDriver* listed = &Device(0);
  FT_HANDLE handle = listed->handle;
  boxsim_clear(kKado);
  EXPECT_EQ(RefreshDevices(), 1);
  EXPECT_EQ(RefreshDevices(), 1);
  EXPECT_EQ(&Device(0), listed);
  EXPECT_EQ(listed->handle, handle) << "a connected box is not reopened";
  EXPECT_TRUE(WireBytes(kKado).empty());
}

TEST_F(DiscoveryTest, ADisconnectedEntryIsReopenedInPlace) {
  ASSERT_EQ(PlugAndRefresh({{"VORK-KADO", kKado}, {"VORK-ql2", kQl}}), 2);
  LibraryLock lock;
  USBDriver* first = &Device(0);
  USBDriver* second = &Device(1);
  FT_HANDLE oldHandle = first->handle;
  ASSERT_EQ(boxsim_unplug(kKado), 0);
  EXPECT_FALSE(first->CheckConnection());
  ASSERT_EQ(boxsim_plug("VORK-KADO", kKado), 0);
  boxsim_clear(kKado);
  boxsim_clear(kQl);

  EXPECT_EQ(RefreshDevices(), 2);
  EXPECT_EQ(&Device(0), first);
  EXPECT_EQ(&Device(1), second);
  EXPECT_TRUE(first->connected);
  EXPECT_NE(first->handle, oldHandle);
  EXPECT_EQ(boxsim_is_open(kKado), 1);
  EXPECT_EQ(WireBytes(kKado), ReleaseAllBytes());
  EXPECT_TRUE(WireBytes(kQl).empty()) << "the connected box is left alone";
}

TEST_F(DiscoveryTest, ListOrderIsTheOrderOfFirstSuccessfulOpen) {
  ASSERT_EQ(boxsim_plug("VORK-KADO", "A0000001"), 0);
  ASSERT_EQ(boxsim_plug("VORK-ql2", "B0000002"), 0);
  ASSERT_EQ(boxsim_plug("VORK-KADO", "C0000003"), 0);
  ASSERT_EQ(boxsim_fail("A0000001", "open", 1), 0);
  LibraryLock lock;
  ASSERT_EQ(RefreshDevices(), 2) << "a box that cannot be opened is not listed";
  EXPECT_EQ(boxsim_is_open("A0000001"), 0);
  EXPECT_EQ(Device(0).serial, "B0000002");
  EXPECT_EQ(Device(0).name, "VORK-ql20");
  EXPECT_EQ(Device(1).serial, "C0000003");
  EXPECT_EQ(Device(1).name, "VORK-KADO1");

  ASSERT_EQ(RefreshDevices(), 3) << "the next discovery looks at it again";
  EXPECT_EQ(Device(2).serial, "A0000001");
  EXPECT_EQ(Device(2).name, "VORK-KADO2");
  EXPECT_EQ(Device(2).listIndex, 0) << "its enumeration index is kept";
  EXPECT_EQ(FindBySerial("A0000001"), 2);
}

TEST_F(DiscoveryTest, FindBySerialMatchesExactly) {
  ASSERT_EQ(PlugAndRefresh({{"VORK-KADO", kKado}, {"VORK-ql2", kQl}}), 2);
  LibraryLock lock;
  const std::vector<std::pair<std::string, std::int32_t>> cases = {
      {kKado, 0}, {kQl, 1}, {"kd000001", -1}, {"KD00000", -1}, {"KD0000011", -1}, {"", -1}, {" KD000001", -1}};
  for (const auto& [serial, index] : cases) EXPECT_EQ(FindBySerial(serial), index) << serial;
}

// --- Growth of the list --------------------------------------------------------------------------

TEST(DynPtrListGrowth, GrownCapacityIsTruncatedCountPlusOneTimesThreeAndAHalfPlusFifty) {
  const std::vector<std::pair<std::uint32_t, std::uint32_t>> cases = {
      {0, 53}, {1, 57}, {2, 60}, {52, 235}, {53, 239}, {238, 886}, {239, 890}, {1000, 3553}};
  for (const auto& [count, capacity] : cases)
    EXPECT_EQ(DynPtrList<int>::GrownCapacity(count), capacity) << "count " << count;
}

// Counts destructions, to see that Clear destroys what the list owns.
struct Tracked {
  explicit Tracked(int& destroyed) : destroyed_(destroyed) {}
  ~Tracked() { ++destroyed_; }
  int& destroyed_;
};

TEST(DynPtrListGrowth, GrowsAt54KeepsItemsInPlaceAndClearKeepsTheCapacity) {
  int destroyed = 0;
  DynPtrList<Tracked> list;
  EXPECT_EQ(list.Capacity(), 0u);
  std::vector<Tracked*> items;
  for (int i = 0; i < 54; ++i) {
    items.push_back(new Tracked(destroyed));
    ASSERT_TRUE(list.Append(items.back()));
    if (i == 0 || i == 52) {
      EXPECT_EQ(list.Capacity(), 53u) << "after " << i + 1;
    }
  }
  EXPECT_EQ(list.Count(), 54u);
  EXPECT_EQ(list.Capacity(), 239u);
  for (std::uint32_t i = 0; i < 54; ++i) EXPECT_EQ(list.At(i), items[i]);

  list.Clear();
  EXPECT_EQ(destroyed, 54);
  EXPECT_EQ(list.Count(), 0u);
  EXPECT_EQ(list.Capacity(), 239u);
  ASSERT_TRUE(list.Append(new Tracked(destroyed)));
  EXPECT_EQ(list.Count(), 1u);
  EXPECT_EQ(list.Capacity(), 239u);
}

TEST_F(DiscoveryTest, The54thBoxGrowsTheListTo239) {
  std::vector<std::string> serials;
  for (int i = 0; i < 54; ++i) serials.push_back("GROW" + std::to_string(1000 + i));
  ASSERT_EQ(boxsim_plug("VORK-KADO", serials[0].c_str()), 0);
  {
    LibraryLock lock;
    ASSERT_EQ(RefreshDevices(), 1);
    EXPECT_EQ(GetRuntime().devices.Capacity(), 53u);
  }
  for (int i = 1; i < 53; ++i) ASSERT_EQ(boxsim_plug("VORK-ql2", serials[i].c_str()), 0);
  LibraryLock lock;
  ASSERT_EQ(RefreshDevices(), 53);
  EXPECT_EQ(GetRuntime().devices.Capacity(), 53u);
  std::vector<USBDriver*> before;
  for (std::uint32_t i = 0; i < 53; ++i) before.push_back(&Device(i));

  ASSERT_EQ(boxsim_plug("VORK-KADO", serials[53].c_str()), 0);
  ASSERT_EQ(RefreshDevices(), 54);
  EXPECT_EQ(GetRuntime().devices.Capacity(), 239u);
  for (std::uint32_t i = 0; i < 53; ++i) EXPECT_EQ(&Device(i), before[i]) << i;
  for (std::uint32_t i = 0; i < 54; ++i) {
    EXPECT_EQ(Device(i).serial, serials[i]);
    EXPECT_TRUE(Device(i).connected) << i;
  }
  EXPECT_EQ(Device(53).name, "VORK-KADO53");
}

// --- A missing or unusable driver library ---------------------------------------------------------

// Forgets any driver library loaded by an earlier test of the same process.
void ForgetDriver() { GetRuntime().driver.Install(D2xxFunctions{}); }

TEST_F(DiscoveryTest, AnUnusableDriverLibraryMakesDiscoveryFailWithoutACrash) {
  const std::string notALibrary = folder_.WithSlash() + "not-a-library.so";
  WriteFileBytes(notALibrary, {'h', 'e', 'l', 'l', 'o'});
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"missing file", folder_.WithSlash() + "libnothing-here.so"},
      {"not a library", notALibrary},
      {"libc: no driver symbols", "libc.so.6"},
      {"our own library: no driver symbols", MERVANE_LIBRARY_PATH},
  };
  ASSERT_EQ(boxsim_plug("VORK-KADO", kKado), 0);
  LibraryLock lock;
  for (const auto& [label, path] : cases) {
    ForgetDriver();
    platform::SetEnv("MERVANE_D2XX_LIBRARY", path.c_str());
    EXPECT_EQ(RefreshDevices(), -1) << label;
    EXPECT_FALSE(GetRuntime().driver.Loaded()) << label;
    EXPECT_EQ(GetRuntime().devices.Count(), 0u) << label;
    EXPECT_EQ(boxsim_is_open(kKado), 0) << label;
  }
  // The same process finds the box once the library is the right one again.
  platform::SetEnv("MERVANE_D2XX_LIBRARY", MERVANE_BOXSIM_PATH);
  EXPECT_EQ(RefreshDevices(), 1);
}

TEST(DriverWithoutLibrary, EveryOperationFailsQuietly) {
  Driver driver;
  std::uint32_t count = 7;
  EXPECT_NE(driver.CountDevices(count), FT_OK);
  EXPECT_EQ(count, 0u);
  char buffer[kDescriptionSize] = "untouched";
  EXPECT_NE(driver.Description(0, buffer), FT_OK);
  EXPECT_NE(driver.SerialNumber(0, buffer), FT_OK);
  FT_HANDLE handle = reinterpret_cast<FT_HANDLE>(1);
  EXPECT_NE(driver.OpenBySerial("KD000001", handle), FT_OK);
  EXPECT_EQ(handle, nullptr);
  std::uint8_t area[kUserAreaReadSize] = {};
  std::uint32_t bytesRead = 5;
  EXPECT_NE(driver.SetBitMode(nullptr, 0xFF, 1), FT_OK);
  EXPECT_NE(driver.SetBaudRate(nullptr, 3000000), FT_OK);
  EXPECT_NE(driver.ReadUserArea(nullptr, area, sizeof area, bytesRead), FT_OK);
  EXPECT_EQ(bytesRead, 0u);
  EXPECT_NE(driver.WriteUserArea(nullptr, area, 10), FT_OK);
  EXPECT_NE(driver.GetStatus(nullptr), FT_OK);
  EXPECT_NE(driver.Write(nullptr, area, 2), FT_OK);
  EXPECT_NE(driver.Close(nullptr), FT_OK);
}

}  // namespace
}  // namespace mervane::testing
