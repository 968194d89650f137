// Settings block: fresh values, name areas, path rule, load/save/rename.
#include "hardware/settings.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <vector>

#include "hardware/device.h"
#include "hardware/runtime.h"
#include "platform/platform.h"

namespace mervane {

namespace {
// "configs" and the system's separator, relative to the current folder.
constexpr char kFallbackFolder[] = {'c', 'o', 'n', 'f', 'i', 'g', 's', platform::kPathSeparator, '\0'};
constexpr const char* kExtension = ".hws";
char g_configDir[kConfigDirSize] = {};

std::string BoundedText(const char* text, std::size_t bound) {
  return std::string(text, strnlen(text, bound));
}

// The base folder: what the host filled in, else MERVANE_CONFIG_DIR (a separator is added to the
// latter when missing, since nothing is inserted before the file name).
std::string BaseFolder() {
  std::string base = BoundedText(g_configDir, kConfigDirSize);
  if (!base.empty()) return base;
  if (auto env = platform::GetEnv("MERVANE_CONFIG_DIR"); env && !env->empty()) {
    base = *env;
    if (!platform::IsPathSeparator(base.back())) base += platform::kPathSeparator;
  }
  return base;
}
}  // namespace

MotorRecord FreshRecord() {
  MotorRecord record;
  std::memset(&record, 0, sizeof record);
  record.coefficient = 1.0f;
  return record;
}

DeviceSettings FreshSettings() {
  DeviceSettings block;
  std::memset(&block, 0, sizeof block);
  for (auto& record : block.records) record = FreshRecord();
  return block;
}

std::string RecordName(const MotorRecord& record) { return BoundedText(record.name, sizeof record.name); }

std::string BlockName(const DeviceSettings& block) { return BoundedText(block.name, kNameAreaSize); }

void SetBlockName(DeviceSettings& block, const std::string& name) {
  std::size_t n = std::min(name.size(), kNameAreaSize - 1);
  std::memset(block.name, 0, kNameAreaSize);
  std::memcpy(block.name, name.data(), n);
}

char* ConfigDirBuffer() { return g_configDir; }

std::string SettingsPath(const std::string& serial, bool forSave) {
  std::string folder = BaseFolder();
  if (!platform::DirectoryExists(folder)) {
    folder = kFallbackFolder;
    if (forSave && !platform::DirectoryExists(folder)) platform::CreateDirectory(folder);
  }
  // The serial comes from the box: a separator in it must not lead the file out of the folder.
  std::string file = serial;
  std::replace_if(file.begin(), file.end(), platform::IsPathSeparator, '_');
  return folder + file + kExtension;
}

void PackRecords(DeviceSettings& block) {
  std::stable_partition(std::begin(block.records), std::end(block.records),
                        [](const MotorRecord& record) { return record.type != 0; });
}

bool LoadSettings(USBDriver& device) {
  std::vector<std::uint8_t> bytes;
  // Only the block's bytes are read: a huge file must cost neither time nor memory.
  switch (platform::ReadWholeFile(SettingsPath(device.serial, false), bytes, kSettingsSize)) {
    case platform::ReadStatus::Missing:
      return true;
    case platform::ReadStatus::Failed:
      return false;
    case platform::ReadStatus::Ok:
      break;
  }
  if (!bytes.empty()) std::memcpy(&device.settings, bytes.data(), std::min(bytes.size(), kSettingsSize));
  PackRecords(device.settings);
  return true;
}

float SavedPosition(double units, float previous) {
  constexpr double kLargest = std::numeric_limits<float>::max();
  if (std::isnan(units)) return previous;
  return static_cast<float>(std::clamp(units, -kLargest, kLargest));
}

namespace {
// How far a save got: the chip is written before the file.
enum class SaveResult { Saved, ChipFailed, FileFailed };

SaveResult SaveBlock(USBDriver& device, bool chipUntouched) {
  DeviceSettings block;
  {
    // The chip write shares the handle with the tick's writes, so it too holds the device lock.
    DeviceGuard guard(device);
    if (!chipUntouched) {
      // A box without a handle cannot take the name; the file keeps its contents then too.
      if (device.handle == nullptr) return SaveResult::ChipFailed;
      device.lastStatus = GetRuntime().driver.WriteUserArea(
          device.handle, reinterpret_cast<const std::uint8_t*>(device.settings.name), kChipNameSize);
      if (device.lastStatus != FT_OK) return SaveResult::ChipFailed;
    }
    // Where each motor really is, whatever moved it.
    for (int r = 0; r < kChannelCount; ++r) {
      MotorRecord& record = device.settings.records[r];
      record.position = SavedPosition(ToUnits(device.motors[r], device.motors[r].position), record.position);
    }
    block = device.settings;
  }
  return platform::WriteFileAtomic(SettingsPath(device.serial, true), &block, sizeof block) ? SaveResult::Saved
                                                                                          : SaveResult::FileFailed;
}
}  // namespace

bool SaveSettings(USBDriver& device, bool chipUntouched) { return SaveBlock(device, chipUntouched) == SaveResult::Saved; }

// A box that is not open holds reset channels (all at 0): a save now would write those down as
// where its motors stand, so the rename is refused until the box is back.
bool Rename(USBDriver& device, const std::string& newName) {
  if (!device.connected) return false;
  SettingsChange change(device);
  {
    DeviceGuard guard(device);
    std::strncpy(device.settings.name, newName.c_str(), kChipNameSize);
  }
  device.name = newName;
  return change.Commit();
}

SettingsChange::SettingsChange(USBDriver& device)
    : device_(device), block_(device.settings), motorCount_(device.motorCount), name_(device.name) {}

bool SettingsChange::Commit() {
  SaveResult result = SaveBlock(device_, false);
  if (result == SaveResult::Saved) return true;
  DeviceGuard guard(device_);
  // The chip took the new name bytes and then the file failed: the old ones go back (all that
  // can be done; should that write fail too, the next save mends the chip).
  if (result == SaveResult::FileFailed && device_.handle != nullptr &&
      std::memcmp(device_.settings.name, block_.name, kChipNameSize) != 0)
    GetRuntime().driver.WriteUserArea(device_.handle, reinterpret_cast<const std::uint8_t*>(block_.name),
                                      kChipNameSize);
  device_.settings = block_;
  device_.motorCount = motorCount_;
  device_.name = name_;
  return false;
}

}  // namespace mervane
