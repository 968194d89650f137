// The 289-byte settings block of a box (its name and seven 39-byte motor records), the settings
// file path rule, and load, save and rename of the block (file and the chip's EEPROM user area).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>

namespace mervane {

class USBDriver;

static_assert(std::endian::native == std::endian::little, "the settings block is little-endian");

#pragma pack(push, 1)
// One motor channel's configuration and its position at the last save.
struct MotorRecord {
  std::uint8_t address;      // connector address code 1..8; 0 = none
  std::uint8_t type;         // motor type code; 0 = "None" = record free
  std::int32_t length;       // length of travel, steps
  float coefficient;         // steps per user unit
  std::int8_t acceleration;  // ramp length, steps (read as signed)
  std::uint16_t minStepTime; // ms
  std::uint16_t maxStepTime; // ms
  std::uint8_t halfSteps;    // 0/1
  std::uint8_t autoRelease;  // 0/1
  char name[10];             // NUL-terminated, at most 9 characters
  float position;            // user units, at the last save
  float offset;              // user units
  float zeroPoint;           // user units, as handed in at configuration; never read back
};

// The whole block as stored in <serial>.hws.
struct DeviceSettings {
  char name[15];  // NUL-terminated; bytes 0..9 are mirrored to the chip
  MotorRecord records[7];
  std::uint8_t tail;  // not interpreted
};
#pragma pack(pop)

static_assert(sizeof(MotorRecord) == 39);
static_assert(offsetof(MotorRecord, address) == 0);
static_assert(offsetof(MotorRecord, type) == 1);
static_assert(offsetof(MotorRecord, length) == 2);
static_assert(offsetof(MotorRecord, coefficient) == 6);
static_assert(offsetof(MotorRecord, acceleration) == 10);
static_assert(offsetof(MotorRecord, minStepTime) == 11);
static_assert(offsetof(MotorRecord, maxStepTime) == 13);
static_assert(offsetof(MotorRecord, halfSteps) == 15);
static_assert(offsetof(MotorRecord, autoRelease) == 16);
static_assert(offsetof(MotorRecord, name) == 17);
static_assert(offsetof(MotorRecord, position) == 27);
static_assert(offsetof(MotorRecord, offset) == 31);
static_assert(offsetof(MotorRecord, zeroPoint) == 35);
static_assert(sizeof(DeviceSettings) == 289);
static_assert(offsetof(DeviceSettings, records) == 15);
static_assert(offsetof(DeviceSettings, tail) == 288);
static_assert(sizeof(float) == 4);

constexpr std::size_t kSettingsSize = sizeof(DeviceSettings);
constexpr std::size_t kNameAreaSize = sizeof(DeviceSettings::name);
constexpr std::size_t kChipNameSize = 10;  // bytes of the name area written to the EEPROM
constexpr int kChannelCount = 7;

// A record as it is before any configuration (coefficient 1, everything else 0).
MotorRecord FreshRecord();
// A block with an empty name and seven fresh records.
DeviceSettings FreshSettings();

// The motor name of a record, read with its 10-byte bound.
std::string RecordName(const MotorRecord& record);
// The block's device name, read with its 15-byte bound (a block may lack the terminator).
std::string BlockName(const DeviceSettings& block);
// Stores a display name as a terminated text in the name area; longer names are cut to 14 bytes.
void SetBlockName(DeviceSettings& block, const std::string& name);

// The settings base folder that a host fills in (no length is passed to it, so it is generous).
constexpr std::size_t kConfigDirSize = 4096;
char* ConfigDirBuffer();

// The settings file of `serial`: base folder (host buffer, else MERVANE_CONFIG_DIR) when it
// exists, else "configs/" relative to the current folder; then serial + ".hws" with nothing
// inserted ('/' in the serial becomes '_'). With `forSave`, a missing "configs/" is created.
std::string SettingsPath(const std::string& serial, bool forSave);

// Fills the block from the file: true when there is no file (block unchanged) or it was read
// (a short file fills the leading bytes only, a long one gives its first 289 and no more is
// read); false when the file exists but cannot be read. Used records that a file leaves behind
// free ones are moved to the front, in their order.
bool LoadSettings(USBDriver& device);
// Moves the used records (type code not 0) to the front in their order, the free ones behind:
// channel r reads record r and the motor count counts records 0..n-1, so a used record behind a
// free one would be a motor no index reaches. A packed block is left as it is.
void PackRecords(DeviceSettings& block);
// Mirrors name bytes 0..9 to the chip unless `chipUntouched` (a failure there ends the save
// before the file is touched), refreshes the seven position fields from the live channels and
// replaces the file atomically.
bool SaveSettings(USBDriver& device, bool chipUntouched);
// The float32 position field for a channel's step position: its units, held to the largest
// finite float32 when they do not fit one (tiny coefficients), so that no infinity is saved;
// `previous` when they are not a number (a coefficient read from a file may be anything).
float SavedPosition(double units, float previous);
// Puts at most 10 bytes of `newName` into the name area (NUL-padded, unterminated at 10 or more),
// makes the whole text the display name and saves with the chip. A failed save changes nothing.
bool Rename(USBDriver& device, const std::string& newName);

// A change of a box's configuration (block, motor count, display name) that stays only when its
// save succeeds. Taken before the change; Commit saves with the chip and, when that fails, puts
// block, count and name back, and gives a chip that may have taken new name bytes its old ones,
// so that a failure reported to the host means nothing changed. Library lock held.
class SettingsChange {
public:
  explicit SettingsChange(USBDriver& device);
  SettingsChange(const SettingsChange&) = delete;
  SettingsChange& operator=(const SettingsChange&) = delete;
  bool Commit();

private:
  USBDriver& device_;
  DeviceSettings block_;
  std::uint32_t motorCount_;
  std::string name_;
};

}  // namespace mervane
