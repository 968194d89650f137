// The binary interface of libftdi1 1.5 as far as mervane uses it: the context layout (the write
// timeout and the kernel-driver mode have no setter, so they are fields written in place), the
// device list, the enums and the prototypes. libftdi1 is loaded at run time, so its header is no
// build dependency; where libftdi1-dev is installed, hardware/libftdi.cpp checks this copy of the
// layout against the real header. The box emulator exports the same functions over the same layout.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mervane::ftdi {

// libusb's opaque types, passed through untouched.
struct UsbContext;
struct UsbDeviceHandle;
struct UsbDevice;
struct Eeprom;

enum ChipType : int { kTypeAm = 0, kTypeBm = 1, kType2232C = 2, kTypeR = 3 };
enum Interface : int { kInterfaceAny = 0, kInterfaceA = 1 };
enum DetachMode : int { kAutoDetachSioModule = 0, kDontDetachSioModule = 1 };
constexpr unsigned char kBitmodeReset = 0x00;
constexpr unsigned char kBitmodeBitbang = 0x01;

// struct ftdi_context of libftdi1 1.5, field for field.
struct Context {
  UsbContext* usb_ctx;
  UsbDeviceHandle* usb_dev;
  int usb_read_timeout;   // milliseconds, control reads (status, EEPROM)
  int usb_write_timeout;  // milliseconds, bulk writes and control writes
  ChipType type;
  int baudrate;
  unsigned char bitbang_enabled;
  unsigned char* readbuffer;
  unsigned int readbuffer_offset;
  unsigned int readbuffer_remaining;
  unsigned int readbuffer_chunksize;
  unsigned int writebuffer_chunksize;
  unsigned int max_packet_size;
  int interface;
  int index;
  int in_ep;
  int out_ep;
  unsigned char bitbang_mode;
  Eeprom* eeprom;
  const char* error_str;
  DetachMode module_detach_mode;
};

// struct ftdi_device_list.
struct DeviceList {
  DeviceList* next;
  UsbDevice* dev;
};

// The functions mervane calls, with libftdi1's prototypes (every int is a status: 0 or more is
// success, negative a failure; ftdi_write_data returns the bytes written).
using New_t = Context* (*)();
using Free_t = void (*)(Context*);
using SetInterface_t = int (*)(Context*, Interface);
using UsbFindAll_t = int (*)(Context*, DeviceList**, int vendor, int product);
using ListFree_t = void (*)(DeviceList**);
using UsbGetStrings_t = int (*)(Context*, UsbDevice*, char* manufacturer, int manufacturerSize, char* description,
                                int descriptionSize, char* serial, int serialSize);
using UsbOpenDev_t = int (*)(Context*, UsbDevice*);
using UsbClose_t = int (*)(Context*);
using SetBitmode_t = int (*)(Context*, unsigned char mask, unsigned char mode);
using SetBaudrate_t = int (*)(Context*, int baudrate);
using WriteData_t = int (*)(Context*, const unsigned char* buffer, int size);
using PollModemStatus_t = int (*)(Context*, unsigned short* status);
using ReadEeprom_t = int (*)(Context*);
using GetEepromBuf_t = int (*)(Context*, unsigned char* buffer, int size);
using SetEepromBuf_t = int (*)(Context*, const unsigned char* buffer, int size);
using EepromBuild_t = int (*)(Context*);
using WriteEeprom_t = int (*)(Context*);
using GetErrorString_t = const char* (*)(Context*);

// Bit-bang mode clocks bytes out at four times the baud rate libftdi1 is given, and it refuses a
// rate whose fourfold the chip cannot make: the rate to ask for once the bit mode is set.
constexpr int BitbangBaudrate(std::uint32_t byteRate) { return static_cast<int>(byteRate / 4); }

// The chip whose EEPROM layout the name code knows: the FT232R family, 128 bytes.
constexpr std::uint32_t kDefaultVendor = 0x0403;
constexpr std::uint32_t kDefaultProduct = 0x6001;
constexpr std::size_t kEepromSize = 128;
constexpr std::size_t kEepromReadSize = 256;  // ftdi_read_eeprom reads this much whatever the chip

}  // namespace mervane::ftdi
