// The driver library behind one narrow table of operations: the D2XX functions resolved at run
// time from the vendor's library or the box emulator (MERVANE_D2XX_LIBRARY), or, on Linux,
// libftdi1 (MERVANE_LIBFTDI_LIBRARY, hardware/libftdi.h); nothing above this file knows which one
// runs. Callers see a status: FT_OK (0) or a failure.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hardware/d2xx.h"
#include "platform/platform.h"

namespace mervane {

// The functions of the driver library that the device layer calls.
struct D2xxFunctions {
  FT_ListDevices_t listDevices = nullptr;
  FT_OpenEx_t openEx = nullptr;
  FT_Close_t close = nullptr;
  FT_SetBitMode_t setBitMode = nullptr;
  FT_SetBaudRate_t setBaudRate = nullptr;
  FT_EE_UARead_t eeUaRead = nullptr;
  FT_EE_UAWrite_t eeUaWrite = nullptr;
  FT_GetStatus_t getStatus = nullptr;
  FT_Write_t write = nullptr;
  // Optional: the library works on without them (older or other-platform vendor libraries).
  FT_SetTimeouts_t setTimeouts = nullptr;
  FT_EE_UASize_t eeUaSize = nullptr;
  FT_SetVIDPID_t setVidPid = nullptr;

  // Whether every required function is there.
  bool Complete() const;
};

// A USB vendor and product id pair.
struct UsbId {
  std::uint32_t vid = 0;
  std::uint32_t pid = 0;
  bool operator==(const UsbId&) const = default;
};

// The pairs of a MERVANE_USB_IDS text: "VID:PID[,VID:PID...]", each id 1 to 4 hex digits with an
// optional 0x; blanks around entries are ignored, malformed entries skipped.
std::vector<UsbId> ParseUsbIds(std::string_view text);

constexpr std::uint32_t kDescriptionSize = 64;  // listing buffers, bytes
constexpr std::uint32_t kUserAreaReadSize = 64;
// How long a write may take before the chip gives up and reports what it sent, milliseconds.
// A stuck box then holds the 1 ms tick (and its device lock) for at most this long.
constexpr std::uint32_t kWriteTimeoutMs = 5;

class LibFtdi;

// The driver libraries behind the table.
enum class DriverKind { D2xx, LibFtdi };

// Which libraries Load() tries, in order. `choice` is MERVANE_DRIVER ("libftdi" or "d2xx"; unset,
// empty or anything else chooses by itself): on Linux the D2XX library when MERVANE_D2XX_LIBRARY
// names one (every set-up made before libftdi1 came), else libftdi1 when it loads, else D2XX.
// Windows has D2XX only.
std::vector<DriverKind> DriverOrder(const std::optional<std::string>& choice, bool d2xxLibraryNamed, bool windows);

// Whether chip writes are allowed: MERVANE_EEPROM_WRITE=0 switches them off (the settings file
// still keeps the name).
bool ChipWritesAllowed();

// The eleven driver operations and the optional ones. Load() happens on the control thread before any box is opened;
// the table is not changed again while a box is open, so the tick reads it without a lock.
class Driver {
public:
  Driver();
  ~Driver();
  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;
  // Loads a library once, in the order of DriverOrder. D2XX: MERVANE_D2XX_LIBRARY when set, else
  // the platform's default names (on Linux also the versioned libftd2xx.so.1.x.y). libftdi1:
  // MERVANE_LIBFTDI_LIBRARY, else libftdi1.so.2. True when every function was found.
  bool Load();
  bool Loaded() const;
  DriverKind Kind() const { return kind_; }
  // Replaces the table (benchmarks and tests that need no library).
  void Install(const D2xxFunctions& functions);
  // Chips the last listing found but could not read (libftdi1: no access rights), one line each.
  std::vector<std::string> Unreadable() const;
  // Name of the file loaded, for reports.
  const std::string& Source() const { return source_; }

  FT_STATUS CountDevices(std::uint32_t& count) const;
  FT_STATUS Description(std::uint32_t index, char (&buffer)[kDescriptionSize]) const;
  FT_STATUS SerialNumber(std::uint32_t index, char (&buffer)[kDescriptionSize]) const;
  // Makes boxes with the USB ids of MERVANE_USB_IDS visible to the listing and open calls, where
  // the platform's driver library shows only its default ids otherwise. Call before listing.
  void AnnounceCustomUsbIds() const;
  FT_STATUS OpenBySerial(const std::string& serial, FT_HANDLE& handle) const;
  FT_STATUS SetBitMode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode) const;
  FT_STATUS SetBaudRate(FT_HANDLE handle, std::uint32_t baud) const;
  // Read and write timeouts of kWriteTimeoutMs; FT_NOT_SUPPORTED when the library lacks the call.
  FT_STATUS SetTimeouts(FT_HANDLE handle) const;
  FT_STATUS ReadUserArea(FT_HANDLE handle, std::uint8_t* buffer, std::uint32_t length,
                         std::uint32_t& bytesRead) const;
  // Writes what fits of `length` bytes: a chip whose user area is smaller (its size asked when the
  // library can tell) gets only its size, one with no user area nothing (FT_OK, no call).
  FT_STATUS WriteUserArea(FT_HANDLE handle, const std::uint8_t* data, std::uint32_t length) const;
  FT_STATUS GetStatus(FT_HANDLE handle) const;
  // A write that the library reports as done but that sent fewer bytes than asked (a timeout)
  // fails with FT_FAILED_TO_WRITE_DEVICE: lost step bytes must not pass as sent.
  FT_STATUS Write(FT_HANDLE handle, const std::uint8_t* data, std::uint32_t length) const;
  // The same, telling how many of the first bytes did go out: all of them on FT_OK, the library's
  // count on a short write, none when the call failed (its count is not to be trusted then).
  FT_STATUS Write(FT_HANDLE handle, const std::uint8_t* data, std::uint32_t length, std::uint32_t& sent) const;
  FT_STATUS Close(FT_HANDLE handle) const;

private:
  bool LoadFrom(const std::string& path);
  bool LoadD2xx();
  bool LoadLibFtdi();

  platform::DynamicLibrary library_;
  D2xxFunctions functions_;
  std::string source_;
  DriverKind kind_ = DriverKind::D2xx;
  std::unique_ptr<LibFtdi> ftdi_;  // set while libftdi1 is the library in use
};

}  // namespace mervane
