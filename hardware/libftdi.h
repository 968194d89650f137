// The driver operations on libftdi1 (over libusb), loaded at run time like the vendor's D2XX
// library: the second implementation behind the driver table (hardware/driver.h), with the same
// statuses, so that nothing above the table knows which one runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hardware/d2xx.h"
#include "hardware/driver.h"
#include "hardware/libftdi_abi.h"
#include "platform/platform.h"

namespace mervane {

// The libftdi1 functions the driver calls.
struct LibFtdiFunctions {
  ftdi::New_t newContext = nullptr;
  ftdi::Free_t freeContext = nullptr;
  ftdi::SetInterface_t setInterface = nullptr;
  ftdi::UsbFindAll_t findAll = nullptr;
  ftdi::ListFree_t listFree = nullptr;
  ftdi::UsbGetStrings_t getStrings = nullptr;
  ftdi::UsbOpenDev_t openDev = nullptr;
  ftdi::UsbClose_t close = nullptr;
  ftdi::SetBitmode_t setBitmode = nullptr;
  ftdi::SetBaudrate_t setBaudrate = nullptr;
  ftdi::WriteData_t writeData = nullptr;
  ftdi::PollModemStatus_t pollModemStatus = nullptr;
  ftdi::ReadEeprom_t readEeprom = nullptr;
  ftdi::GetEepromBuf_t getEepromBuf = nullptr;
  ftdi::SetEepromBuf_t setEepromBuf = nullptr;
  ftdi::EepromBuild_t eepromBuild = nullptr;
  ftdi::WriteEeprom_t writeEeprom = nullptr;
  ftdi::GetErrorString_t errorString = nullptr;
  bool Complete() const;
};

// The USB ids listed: the chip's default pair first, then those of MERVANE_USB_IDS, each once.
std::vector<UsbId> ListedUsbIds();

// How long the EEPROM work may wait for each transfer, milliseconds: a word write on a real
// chip takes a few, more than the tick's write timeout allows.
constexpr int kEepromTimeoutMs = 1000;
// How long a status query may wait, milliseconds.
constexpr int kStatusTimeoutMs = 100;

// One libftdi1 library. Listing state belongs to the control thread; an open box's handle is
// used by the control thread and the tick under that box's device lock.
class LibFtdi {
public:
  // True when the file loads and has every function.
  bool Load(const std::string& path);
  // Replaces the functions (tests).
  void Install(const LibFtdiFunctions& functions);
  bool Loaded() const { return functions_.Complete(); }
  const std::string& Source() const { return source_; }

  // Lists the chips of every listed USB id and reads their strings; `count` is every chip found,
  // also those whose strings could not be read (no access rights: their index then fails).
  FT_STATUS CountDevices(std::uint32_t& count);
  FT_STATUS Description(std::uint32_t index, char* buffer, std::uint32_t size) const;
  FT_STATUS SerialNumber(std::uint32_t index, char* buffer, std::uint32_t size) const;
  // Chips of the last listing whose strings could not be read, one line each, with libftdi1's reason.
  const std::vector<std::string>& Unreadable() const { return unreadable_; }

  FT_STATUS OpenBySerial(const std::string& serial, FT_HANDLE& handle) const;
  // After bit-bang mode is on, libftdi1 multiplies the rate it is given by four: the rate is
  // divided here, so that the chip clocks `baud` bytes a second either way.
  FT_STATUS SetBitMode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode) const;
  FT_STATUS SetBaudRate(FT_HANDLE handle, std::uint32_t baud) const;
  // libftdi1 has no call for it: the context's timeouts are fields.
  FT_STATUS SetTimeouts(FT_HANDLE handle, int writeTimeoutMs) const;
  // The user area of the EEPROM image: its bytes, or none when the image does not decode.
  FT_STATUS ReadUserArea(FT_HANDLE handle, std::uint8_t* buffer, std::uint32_t length, std::uint32_t& bytesRead) const;
  // Writes `data` into the user area of the whole image, verified: read twice before, refused
  // for an image that does not decode or names another serial, read back and compared after.
  FT_STATUS WriteUserArea(FT_HANDLE handle, const std::uint8_t* data, std::uint32_t length) const;
  FT_STATUS GetStatus(FT_HANDLE handle) const;
  // A write that fails (libftdi1 returns -1 on a timeout, without a count) or sends less fails.
  FT_STATUS Write(FT_HANDLE handle, const std::uint8_t* data, std::uint32_t length) const;
  FT_STATUS Close(FT_HANDLE handle) const;

private:
  struct Listed {
    UsbId id;
    std::string description, serial;
    bool readable = false;
  };
  // Reads the whole image into `image` (kEepromReadSize bytes); its size in `size`.
  FT_STATUS ReadImage(ftdi::Context* context, std::uint8_t* image, std::size_t& size) const;

  platform::DynamicLibrary library_;
  LibFtdiFunctions functions_;
  std::string source_;
  std::vector<Listed> listed_;
  std::vector<std::string> unreadable_;
};

}  // namespace mervane
