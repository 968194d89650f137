// The settings block on disk and on the chip: byte layout, the path rule, files of odd sizes,
// unreadable files, chip write failures, rename, the bounded name area and atomic replacement.
#include <stdexcept>
#include <string>
#include <vector>

#include "hardware/settings.h"
#include "motor/motor.h"
#include "support.h"

namespace mervane::testing {
namespace {


class SettingsTest : public EmulatorTest {
protected:
  // Plugs the box (optionally with a settings file already there) and opens it by discovery.
  USBDriver& OpenBox(const ByteImage* file = nullptr) {
    if (file != nullptr) WriteFileBytes(SettingsFile(kKado), *file);
    EXPECT_EQ(PlugAndRefresh({{"VORK-KADO", kKado}}), 1);
    // The test ends here (reported as a failure) rather than reach into an empty list.
    if (GetRuntime().devices.Count() == 0) throw std::runtime_error("the box did not open");
    return Device(0);
  }
  bool Save(USBDriver& device, bool chipUntouched) {
    LibraryLock lock;
    return SaveSettings(device, chipUntouched);
  }
  ByteImage File() const { return ReadFileBytes(SettingsFile(kKado)); }
};

// The block of a box that never had a file: everything 0 but the seven coefficients, 1.0f.
ByteImage FreshFileByHand() {
  ByteImage bytes(289, 0);
  for (int r = 0; r < 7; ++r) {
    bytes[RecordOffset(r) + 8] = 0x80;
    bytes[RecordOffset(r) + 9] = 0x3F;
  }
  return bytes;
}

// --- Byte layout -----------------------------------------------------------------------------------

TEST_F(SettingsTest, AFreshBlockIsSavedAsZerosWithCoefficientsOfOne) {
  USBDriver& device = OpenBox();
  ASSERT_TRUE(Save(device, false));
  EXPECT_EQ(File(), FreshFileByHand());
  const ByteImage eeprom = EepromBytes(kKado);
  EXPECT_EQ(ByteImage(eeprom.begin(), eeprom.begin() + 10), ByteImage(10, 0));
}

// One field of a motor record: where it lies, its bytes on disk and the value they stand for.
struct FieldCase {
  const char* label;
  std::size_t offset;  // within the record
  ByteImage bytes;     // little-endian
  double value;
  double (*read)(const MotorRecord&);
};

const std::vector<FieldCase>& RecordFields() {
  static const std::vector<FieldCase> fields = {
      {"address", 0, {0x04}, 4, [](const MotorRecord& m) { return double(m.address); }},
      {"type", 1, {0x86}, 0x86, [](const MotorRecord& m) { return double(m.type); }},
      {"length", 2, {0x04, 0x03, 0x02, 0x01}, 0x01020304, [](const MotorRecord& m) { return double(m.length); }},
      {"coefficient", 6, {0x00, 0x00, 0x00, 0x40}, 2.0, [](const MotorRecord& m) { return double(m.coefficient); }},
      {"acceleration", 10, {0xFD}, -3, [](const MotorRecord& m) { return double(m.acceleration); }},
      {"minStepTime", 11, {0x0B, 0x0A}, 0x0A0B, [](const MotorRecord& m) { return double(m.minStepTime); }},
      {"maxStepTime", 13, {0x0D, 0x0C}, 0x0C0D, [](const MotorRecord& m) { return double(m.maxStepTime); }},
      {"halfSteps", 15, {0x01}, 1, [](const MotorRecord& m) { return double(m.halfSteps); }},
      {"autoRelease", 16, {0x01}, 1, [](const MotorRecord& m) { return double(m.autoRelease); }},
      {"name", 17, {'M', '3', 0}, 0, [](const MotorRecord& m) { return RecordName(m) == "M3" ? 0.0 : 1.0; }},
      {"position", 27, {0x00, 0x00, 0x48, 0x41}, 12.5, [](const MotorRecord& m) { return double(m.position); }},
      {"offset", 31, {0x00, 0x00, 0x00, 0x40}, 2.0, [](const MotorRecord& m) { return double(m.offset); }},
      {"zeroPoint", 35, {0x00, 0x00, 0x80, 0xBF}, -1.0, [](const MotorRecord& m) { return double(m.zeroPoint); }},
  };
  return fields;
}

class RecordLayoutTest : public SettingsTest, public ::testing::WithParamInterface<int> {};

// Record r of a hand-made file is read field by field, its channel rebuilt from the stored
// position, and the file written back unchanged.
TEST_P(RecordLayoutTest, FieldsAreReadFromTheirOffsetsAndWrittenBackUnchanged) {
  const int r = GetParam();
  ByteImage file = FreshFileByHand();
  for (int lower = 0; lower < r; ++lower) {  // used records come first
    MotorRecord used = UsedRecord(static_cast<std::uint8_t>(lower + 5), 1.0f, 0.0f, "Lo");
    std::memcpy(file.data() + RecordOffset(lower), &used, sizeof used);
  }
  for (const FieldCase& field : RecordFields())
    std::copy(field.bytes.begin(), field.bytes.end(), file.begin() + static_cast<std::ptrdiff_t>(RecordOffset(r) + field.offset));
  file[288] = 0xA5;
  USBDriver& device = OpenBox(&file);

  {
    LibraryLock lock;
    const MotorRecord& record = device.settings.records[r];
    for (const FieldCase& field : RecordFields()) EXPECT_EQ(field.read(record), field.value) << field.label;
    EXPECT_EQ(device.settings.tail, 0xA5);
    EXPECT_EQ(device.motorCount, static_cast<std::uint32_t>(r + 1));
    EXPECT_EQ(device.motors[r].position, 25) << "12.5 units at 2 steps per unit";
  }
  ASSERT_TRUE(Save(device, false));
  EXPECT_EQ(File(), file);
}

INSTANTIATE_TEST_SUITE_P(Records, RecordLayoutTest, ::testing::Values(0, 3, 6));

// --- Files of other sizes -------------------------------------------------------------------------------

// A file of `size` bytes: the first min(size, 289) bytes are loaded over the fresh block, and the
// next save writes all 289 with the seven positions refreshed from the (here idle, unused) channels.
class FileSizeTest : public SettingsTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(FileSizeTest, LeadingBytesAreLoadedAndAFull289ByteFileIsSaved) {
  const std::size_t size = GetParam();
  ByteImage file(size);
  for (std::size_t i = 0; i < size; ++i) file[i] = static_cast<std::uint8_t>(i * 7 + 3);
  for (int r = 0; r < 7; ++r)
    if (RecordOffset(r) + 1 < size) file[RecordOffset(r) + 1] = 0;  // every record unused
  USBDriver& device = OpenBox(&file);

  ByteImage expected = FreshFileByHand();
  std::copy_n(file.begin(), std::min<std::size_t>(size, 289), expected.begin());
  {
    LibraryLock lock;
    EXPECT_EQ(BlockBytes(device.settings), expected) << "the block as loaded";
    EXPECT_EQ(device.motorCount, 0u);
  }
  ASSERT_TRUE(Save(device, true));
  ByteImage saved = File();
  ASSERT_EQ(saved.size(), 289u);
  // Idle channels stand at 0 units (a negative coefficient may make that -0.0); every other byte
  // is the loaded block's.
  for (int r = 0; r < 7; ++r) {
    EXPECT_EQ(ReadAt<float>(saved, RecordOffset(r) + kRecordPosition), 0.0f) << "record " << r;
    WriteAt<float>(saved, RecordOffset(r) + kRecordPosition, 0.0f);
    WriteAt<float>(expected, RecordOffset(r) + kRecordPosition, 0.0f);
  }
  EXPECT_EQ(saved, expected);
}

INSTANTIATE_TEST_SUITE_P(Sizes, FileSizeTest, ::testing::Values(0, 1, 14, 100, 288, 289, 290, 400, 5000),
                         [](const auto& test) { return "bytes" + std::to_string(test.param); });

TEST_F(SettingsTest, A289ByteFileIsWrittenBackByteForByteExceptThePositions) {
  ByteImage file(289);
  for (std::size_t i = 0; i < file.size(); ++i) file[i] = static_cast<std::uint8_t>(0x30 + i % 64);
  std::memcpy(file.data(), "RoundTrip\0\x01\x02\x03\x04\x05", 15);
  MotorRecord first = UsedRecord(1, 2.0f, 12.5f, "One");
  MotorRecord second = UsedRecord(2, 4.0f, -3.25f, "Two");
  std::memcpy(file.data() + RecordOffset(0), &first, sizeof first);
  std::memcpy(file.data() + RecordOffset(1), &second, sizeof second);
  for (int r = 2; r < 7; ++r) file[RecordOffset(r) + 1] = 0;  // free records keep their other bytes
  USBDriver& device = OpenBox(&file);
  {
    LibraryLock lock;
    ASSERT_EQ(device.motorCount, 2u);
    EXPECT_EQ(device.motors[1].position, -13);
    DeviceGuard guard(device);
    device.motors[0].position = 31;  // moved to 15.5 units
  }
  ASSERT_TRUE(Save(device, false));

  ByteImage expected = file;
  WriteAt<float>(expected, RecordOffset(0) + kRecordPosition, 15.5f);
  WriteAt<float>(expected, RecordOffset(1) + kRecordPosition, -3.25f);
  for (int r = 2; r < 7; ++r) WriteAt<float>(expected, RecordOffset(r) + kRecordPosition, 0.0f);
  EXPECT_EQ(File(), expected);
}

// --- Path rule --------------------------------------------------------------------------------------

// Closes every device (each saves its file) while the current folder is still the scratch one:
// declared after a CurrentFolderScope, it runs before that scope ends.
struct CloseDevicesHere {
  ~CloseDevicesHere() {
    LibraryLock lock;
    CloseAllDevices();
  }
};

// Sets the host's base folder for a scope.
class HostFolderScope {
public:
  explicit HostFolderScope(const std::string& folder) {
    std::strncpy(ConfigDirBuffer(), folder.c_str(), kConfigDirSize - 1);
  }
  ~HostFolderScope() { ConfigDirBuffer()[0] = 0; }
  HostFolderScope(const HostFolderScope&) = delete;
  HostFolderScope& operator=(const HostFolderScope&) = delete;
};

TEST_F(SettingsTest, TheConfigFolderIsUsedWithAndWithoutATrailingSlash) {
  for (const std::string& base : {folder_.WithSlash(), folder_.Path().string()}) {
    platform::SetEnv("MERVANE_CONFIG_DIR", base.c_str());
    EXPECT_EQ(SettingsPath(kKado, false), folder_.WithSlash() + kKado + ".hws") << base;
  }
  USBDriver& device = OpenBox();
  ASSERT_TRUE(Save(device, true));
  EXPECT_EQ(File().size(), 289u);
  EXPECT_FALSE(std::filesystem::exists(folder_.Path().string() + kKado + ".hws")) << "nothing glued to the folder name";
}

TEST_F(SettingsTest, TheHostsFolderComesFirstWithNothingInserted) {
  ScratchFolder host;
  HostFolderScope scope(host.WithSlash());
  EXPECT_EQ(SettingsPath(kKado, false), host.WithSlash() + kKado + ".hws");
  USBDriver& device = OpenBox();
  ASSERT_TRUE(Save(device, true));
  EXPECT_EQ(ReadFileBytes(host.WithSlash() + kKado + ".hws").size(), 289u);
  EXPECT_FALSE(std::filesystem::exists(SettingsFile(kKado)));
}

// Without a usable base folder the file lives in "configs/" ("configs\\" on Windows) under the
// current folder, which only the first save creates.
class FallbackFolderTest : public SettingsTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(FallbackFolderTest, ConfigsUnderTheCurrentFolderCreatedOnTheFirstSave) {
  const std::string base = GetParam();
  ScratchFolder current;
  CurrentFolderScope here(current.Path());
  CloseDevicesHere closeFirst;
  if (base == "unset")
    platform::UnsetEnv("MERVANE_CONFIG_DIR");
  else if (base == "missing")
    platform::SetEnv("MERVANE_CONFIG_DIR", (folder_.WithSlash() + "missing/").c_str());
  else if (base == "a file")
    platform::SetEnv("MERVANE_CONFIG_DIR", (folder_.WithSlash() + "plain").c_str());
  else
    platform::SetEnv("MERVANE_CONFIG_DIR", "");
  WriteFileBytes(folder_.WithSlash() + "plain", {1, 2, 3});

#if defined(_WIN32)
  EXPECT_EQ(SettingsPath(kKado, false), std::string("configs\\") + kKado + ".hws");
#else
  EXPECT_EQ(SettingsPath(kKado, false), std::string("configs/") + kKado + ".hws");
#endif
  USBDriver& device = OpenBox();
  EXPECT_FALSE(std::filesystem::exists(current.Path() / "configs")) << "opening creates no folder";
  ASSERT_TRUE(Save(device, true));
  EXPECT_EQ(ReadFileBytes(current.Path() / "configs" / (std::string(kKado) + ".hws")), FreshFileByHand());
  EXPECT_FALSE(std::filesystem::exists(folder_.WithSlash() + "missing")) << "a missing base is not created";
  EXPECT_EQ(ReadFileBytes(folder_.WithSlash() + "plain"), (ByteImage{1, 2, 3}));
}

INSTANTIATE_TEST_SUITE_P(Bases, FallbackFolderTest, ::testing::Values("unset", "empty", "missing", "a file"),
                         [](const auto& test) {
                           std::string name = test.param;
                           std::replace(name.begin(), name.end(), ' ', '_');
                           return name;
                         });

TEST_F(SettingsTest, AFileUnderConfigsIsLoadedWhenTheBaseIsMissing) {
  ScratchFolder current;
  CurrentFolderScope here(current.Path());
  CloseDevicesHere closeFirst;
  platform::UnsetEnv("MERVANE_CONFIG_DIR");
  std::filesystem::create_directory(current.Path() / "configs");
  DeviceSettings block = FreshSettings();
  block.records[0] = UsedRecord(3, 1.0f, 7.0f, "Cwd");
  WriteFileBytes(current.Path() / "configs" / (std::string(kKado) + ".hws"), BlockBytes(block));
  USBDriver& device = OpenBox();
  LibraryLock lock;
  EXPECT_EQ(device.motorCount, 1u);
  EXPECT_EQ(device.motors[0].position, 7);
}

// A stray file named "configs" means there is no settings file: the box opens fresh, only saving fails.
TEST_F(SettingsTest, AFileNamedConfigsLetsTheBoxOpenButNotSave) {
  ScratchFolder current;
  CurrentFolderScope here(current.Path());
  CloseDevicesHere closeFirst;
  platform::UnsetEnv("MERVANE_CONFIG_DIR");
  WriteFileBytes(current.Path() / "configs", {9, 9});
  USBDriver& device = OpenBox();
  EXPECT_TRUE(IsConnected(device));
  EXPECT_FALSE(Save(device, true));
  EXPECT_EQ(ReadFileBytes(current.Path() / "configs"), (ByteImage{9, 9}));
}

// The serial comes from the box: it cannot steer the file out of the settings folder.
TEST_F(SettingsTest, ASlashInTheSerialStaysInsideTheFolder) {
  const std::filesystem::path inner = folder_.Path() / "inner";
  std::filesystem::create_directory(inner);
  platform::SetEnv("MERVANE_CONFIG_DIR", (inner.string() + "/").c_str());
  ASSERT_EQ(boxsim_plug("VORK-KADO", "../ESC1"), 0);
#if defined(_WIN32)
  ASSERT_EQ(boxsim_plug("VORK-KADO", "..\\ESC2"), 0);  // the other separator of Windows paths
  const std::vector<std::string> expected = {".._ESC1.hws", ".._ESC2.hws"};
#else
  const std::vector<std::string> expected = {".._ESC1.hws"};
#endif
  LibraryLock lock;
  ASSERT_EQ(RefreshDevices(), static_cast<std::int32_t>(expected.size()));
  for (std::uint32_t i = 0; i < expected.size(); ++i) ASSERT_TRUE(SaveSettings(Device(i), true));
  EXPECT_FALSE(std::filesystem::exists(folder_.Path() / "ESC1.hws"));
  EXPECT_FALSE(std::filesystem::exists(folder_.Path() / "ESC2.hws"));
  EXPECT_EQ(FolderEntries(inner), expected);
}

// --- Files that cannot be read ----------------------------------------------------------------------

TEST_F(SettingsTest, AnUnreadableFileFailsTheOpenAndIsLeftAlone) {
  const std::string file = SettingsFile(kKado);
  std::filesystem::create_directory(file);
  std::filesystem::create_directory(file + "/inside");
  ASSERT_EQ(boxsim_plug("VORK-KADO", kKado), 0);
  {
    LibraryLock lock;
    EXPECT_EQ(RefreshDevices(), 0);
    EXPECT_EQ(GetRuntime().devices.Count(), 0u);
  }
  EXPECT_EQ(boxsim_is_open(kKado), 0);
  EXPECT_TRUE(std::filesystem::is_directory(file + "/inside"));
  EXPECT_EQ(FolderEntries(folder_.Path()), std::vector<std::string>{std::string(kKado) + ".hws"});
}

TEST_F(SettingsTest, APipeInPlaceOfTheFileFailsTheOpenWithoutWaiting) {
#if defined(_WIN32)
  MERVANE_POSIX_ONLY("a named pipe (FIFO) in place of the settings file");
#else
  ASSERT_TRUE(MakeFifo(SettingsFile(kKado)));
  ASSERT_EQ(boxsim_plug("VORK-KADO", kKado), 0);
  double start = platform::NowSeconds();
  LibraryLock lock;
  EXPECT_EQ(RefreshDevices(), 0);
  EXPECT_LT(platform::NowSeconds() - start, 5.0);
  EXPECT_EQ(boxsim_is_open(kKado), 0);
#endif
}

// --- Chip write failures and rename ---------------------------------------------------------------

TEST_F(SettingsTest, AFailingChipWriteFailsTheSaveAndLeavesTheFile) {
  DeviceSettings block = FreshSettings();
  std::memcpy(block.name, "Kept", 5);
  block.records[0] = UsedRecord(1, 1.0f, 5.0f, "Axis");
  const ByteImage original = BlockBytes(block);
  USBDriver& device = OpenBox(&original);
  const ByteImage eeprom = EepromBytes(kKado);
  {
    LibraryLock lock;
    DeviceGuard guard(device);
    device.motors[0].position = 9;
  }
  ASSERT_EQ(boxsim_fail(kKado, "uawrite", 1), 0);
  EXPECT_FALSE(Save(device, false));
  EXPECT_EQ(File(), original);
  EXPECT_EQ(EepromBytes(kKado), eeprom);

  ASSERT_TRUE(Save(device, false)) << "the chip takes the next write";
  EXPECT_EQ(ReadAt<float>(File(), RecordOffset(0) + kRecordPosition), 9.0f);
  const ByteImage written = EepromBytes(kKado);
  EXPECT_EQ(ByteImage(written.begin(), written.begin() + 5), (ByteImage{'K', 'e', 'p', 't', 0}));
}

TEST_F(SettingsTest, ARenameWhoseChipWriteFailsFailsAndLeavesTheFile) {
  const ByteImage original = FreshFileByHand();
  USBDriver& device = OpenBox(&original);
  ASSERT_EQ(boxsim_fail(kKado, "uawrite", 1), 0);
  LibraryLock lock;
  EXPECT_FALSE(Rename(device, "Other"));
  EXPECT_EQ(File(), original);
}

// Rename puts at most 10 bytes into the name area (NUL-padded), sends exactly those 10 bytes to
// the chip, and shows the whole text.
struct RenameCase {
  const char* label;
  std::string name;
  ByteImage chipBytes;  // block bytes 0..9 = what the chip receives
};

void PrintTo(const RenameCase& c, std::ostream* os) { *os << c.label; }

class RenameTest : public SettingsTest, public ::testing::WithParamInterface<RenameCase> {};

TEST_P(RenameTest, TenBytesToBlockAndChipTheWholeNameOnDisplay) {
  const RenameCase& c = GetParam();
  ByteImage file = FreshFileByHand();
  std::memcpy(file.data(), "0123456789abcd", 15);  // 14 characters and the NUL
  ASSERT_EQ(boxsim_plug("VORK-KADO", kKado), 0);
  const ByteImage before(64, 'z');
  ASSERT_EQ(boxsim_set_eeprom(kKado, before.data(), 64), 0);
  USBDriver& device = OpenBox(&file);

  LibraryLock lock;
  ASSERT_TRUE(Rename(device, c.name));
  EXPECT_EQ(device.name, c.name);
  ByteImage expectedFile = file;
  std::copy(c.chipBytes.begin(), c.chipBytes.end(), expectedFile.begin());
  EXPECT_EQ(File(), expectedFile) << "bytes 10..14 keep what they held";
  ByteImage expectedChip = before;
  std::copy(c.chipBytes.begin(), c.chipBytes.end(), expectedChip.begin());
  EXPECT_EQ(EepromBytes(kKado), expectedChip) << "exactly ten bytes written";
}

INSTANTIATE_TEST_SUITE_P(
    Names, RenameTest,
    ::testing::Values(RenameCase{"twelve", "ABCDEFGHIJKL", {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J'}},
                      RenameCase{"ten", "ABCDEFGHIJ", {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J'}},
                      RenameCase{"short", "Lab", {'L', 'a', 'b', 0, 0, 0, 0, 0, 0, 0}},
                      RenameCase{"empty", "", ByteImage(10, 0)}),
    [](const auto& test) { return std::string(test.param.label); });

TEST_F(SettingsTest, ARenamedBoxComesBackUnderItsTenByteName) {
  USBDriver& device = OpenBox();
  {
    LibraryLock lock;
    ASSERT_TRUE(Rename(device, "ABCDEFGHIJKL"));
    CloseAllDevices();
  }
  ASSERT_EQ(boxsim_unplug(kKado), 0);
  ASSERT_EQ(PlugAndRefresh({{"VORK-KADO", kKado}}), 1);
  LibraryLock lock;
  EXPECT_EQ(Device(0).name, "ABCDEFGHIJ");
}

// --- The name area's 15-byte bound ----------------------------------------------------------------

TEST(NameArea, ReadingStopsAtFifteenBytesWithoutATerminator) {
  DeviceSettings block = FreshSettings();
  std::memset(block.name, 'N', sizeof block.name);
  block.records[0].address = 'X';
  block.records[0].type = 'Y';
  EXPECT_EQ(BlockName(block), std::string(15, 'N'));
  std::memcpy(block.name, "Short\0garbage!!", 15);
  EXPECT_EQ(BlockName(block), "Short");
}

TEST(NameArea, StoringCutsAtFourteenCharactersAndNeverTouchesRecordZero) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""}, {"A", "A"}, {std::string(14, 'b'), std::string(14, 'b')},
      {std::string(15, 'c'), std::string(14, 'c')}, {std::string(40, 'd'), std::string(14, 'd')}};
  for (const auto& [name, stored] : cases) {
    DeviceSettings block = FreshSettings();
    std::memset(block.name, '#', sizeof block.name);
    block.records[0] = UsedRecord(1, 2.0f, 1.0f, "R0");
    const MotorRecord before = block.records[0];
    SetBlockName(block, name);
    EXPECT_EQ(BlockName(block), stored) << name;
    EXPECT_EQ(block.name[14], 0) << name;
    for (std::size_t i = stored.size(); i < 15; ++i) EXPECT_EQ(block.name[i], 0) << name << " byte " << i;
    EXPECT_EQ(std::memcmp(&block.records[0], &before, sizeof before), 0) << name;
  }
}

TEST_F(SettingsTest, ConfiguringASlotStoresALongDisplayNameCutToFourteen) {
  ASSERT_EQ(boxsim_plug("VORK-KADO", kKado), 0);
  const std::string longName = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  ASSERT_EQ(boxsim_set_eeprom(kKado, longName.data(), static_cast<int>(longName.size())), 0);
  USBDriver& device = OpenBox();
  LibraryLock lock;
  ASSERT_EQ(device.name, longName);
  const MotorRecord record = UsedRecord(4, 1.0f, 0.0f, "Slot");
  ASSERT_EQ(AddSlot(device, record), 0);
  EXPECT_EQ(BlockName(device.settings), longName.substr(0, 14));
  EXPECT_EQ(std::memcmp(&device.settings.records[0], &record, sizeof record), 0);
}

// --- Atomic replacement -----------------------------------------------------------------------------

TEST_F(SettingsTest, SavesLeaveNoTemporaryFiles) {
  USBDriver& device = OpenBox();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(Save(device, i % 2 == 0));
  EXPECT_EQ(FolderEntries(folder_.Path()), std::vector<std::string>{std::string(kKado) + ".hws"});
}

TEST_F(SettingsTest, ASaveThatCannotCompleteLeavesTheOldFileWhole) {
#if defined(_WIN32)
  MERVANE_POSIX_ONLY("a per-process file size limit (RLIMIT_FSIZE) to cut the write short");
#else
  DeviceSettings block = FreshSettings();
  block.records[0] = UsedRecord(1, 1.0f, 5.0f, "Axis");
  const ByteImage original = BlockBytes(block);
  USBDriver& device = OpenBox(&original);
  {
    LibraryLock lock;
    DeviceGuard guard(device);
    device.motors[0].position = 11;
  }
  {
    FileSizeLimitScope limit(100);  // the new contents cannot be written in full
    ASSERT_TRUE(limit.Active());
    EXPECT_FALSE(Save(device, true));
  }
  EXPECT_EQ(File(), original);
  EXPECT_EQ(FolderEntries(folder_.Path()), std::vector<std::string>{std::string(kKado) + ".hws"});
  ASSERT_TRUE(Save(device, true));
  EXPECT_EQ(ReadAt<float>(File(), RecordOffset(0) + kRecordPosition), 11.0f);
#endif
}

}  // namespace
}  // namespace mervane::testing
