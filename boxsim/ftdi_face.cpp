// The emulator's libftdi1 face: the libftdi1 functions mervane calls, with libftdi1 1.5's
// prototypes and context layout, over the same boxes as the D2XX face (so boxsim_* control and
// queries work whichever face a program uses). mervane loads it with MERVANE_DRIVER=libftdi and
// MERVANE_LIBFTDI_LIBRARY naming this library. What real libftdi1 does and this face copies:
// the bit-bang rate is multiplied by four (3000000 after the bit mode is refused), a write that
// does not send everything returns -1 without a count, ftdi_write_eeprom refuses an image that
// ftdi_eeprom_build did not prepare, and the EEPROM is a 128-byte FT232R image whose user area
// (after the string descriptors) holds the box's user area bytes. A process that links this
// library should not also load the real libftdi1: their functions share names.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <set>
#include <string>

#include "boxsim/boxsim.h"
#include "hardware/eeprom_image.h"
#include "hardware/libftdi_abi.h"

namespace {
namespace ftdi = mervane::ftdi;

constexpr int kNameBuffer = 65;  // boxsim_attached's texts and their NUL
constexpr int kFastestRate = 3000000;

// One emulated chip as a libusb device of a listing.
struct FaceDevice {
  std::string description, serial;
  unsigned vid = 0, pid = 0;
};

// The context libftdi1 callers see first, then the face's own state.
struct FaceContext {
  ftdi::Context context;  // first: callers write its fields in place
  FT_HANDLE handle = nullptr;
  std::string description, serial;
  int timeoutSet = -1;  // the write timeout last handed to the D2XX face
  bool built = false;   // ftdi_eeprom_build ran since the last read
  unsigned char image[ftdi::kEepromReadSize] = {};
};

FaceContext* Face(ftdi::Context* context) { return reinterpret_cast<FaceContext*>(context); }

// Serials whose device node the current user may not open (boxsim_ftdi_deny). Guarded by its
// mutex; tests set it, listing and opening threads read it.
std::mutex deniedMutex;
std::set<std::string> denied;

bool Denied(const std::string& serial) {
  std::lock_guard<std::mutex> lock(deniedMutex);
  return denied.count(serial) != 0;
}

int Fail(ftdi::Context* context, int code, const char* text) {
  if (context != nullptr) context->error_str = text;
  return code;
}

void CopyBounded(const std::string& text, char* buffer, int size) {
  if (buffer == nullptr || size <= 0) return;
  std::size_t n = std::min(text.size(), static_cast<std::size_t>(size - 1));
  std::memcpy(buffer, text.data(), n);
  buffer[n] = 0;
}

bool Attached(const std::string& serial, FaceDevice* found) {
  char description[kNameBuffer], name[kNameBuffer];
  unsigned vid = 0, pid = 0;
  for (int i = 0; boxsim_attached(i, description, name, &vid, &pid) == 0; ++i)
    if (serial == name) {
      if (found != nullptr) *found = FaceDevice{description, name, vid, pid};
      return true;
    }
  return false;
}
}  // namespace

extern "C" {

// Lets a test stand for a box whose device node the user may not open (1) or may again (0).
BOXSIM_API int boxsim_ftdi_deny(const char* serial, int deny) {
  if (serial == nullptr) return -1;
  try {
    std::lock_guard<std::mutex> lock(deniedMutex);
    if (deny) denied.insert(serial);
    else denied.erase(serial);
    return 0;
  } catch (...) {
    return -1;
  }
}

BOXSIM_API ftdi::Context* ftdi_new(void) {
  auto* face = new (std::nothrow) FaceContext{};
  if (face == nullptr) return nullptr;
  ftdi::Context& c = face->context;
  c.usb_read_timeout = 5000;
  c.usb_write_timeout = 5000;
  c.type = ftdi::kTypeBm;
  c.baudrate = -1;
  c.writebuffer_chunksize = 4096;
  c.in_ep = 0x02;
  c.out_ep = 0x81;
  c.bitbang_mode = 1;
  c.module_detach_mode = ftdi::kAutoDetachSioModule;
  return &face->context;
}

BOXSIM_API int ftdi_usb_close(ftdi::Context* context) {
  if (context == nullptr) return -3;
  FaceContext* face = Face(context);
  int result = 0;
  if (face->handle != nullptr && FT_Close(face->handle) != FT_OK) result = -1;
  face->handle = nullptr;
  context->usb_dev = nullptr;
  return result;
}

BOXSIM_API void ftdi_free(ftdi::Context* context) {
  if (context == nullptr) return;
  ftdi_usb_close(context);
  delete Face(context);
}

BOXSIM_API int ftdi_set_interface(ftdi::Context* context, ftdi::Interface interface) {
  if (context == nullptr) return -2;
  return interface == ftdi::kInterfaceA || interface == ftdi::kInterfaceAny ? 0
                                                                            : Fail(context, -1, "Unknown interface");
}

BOXSIM_API int ftdi_usb_find_all(ftdi::Context* context, ftdi::DeviceList** list, int vendor, int product) {
  if (context == nullptr || list == nullptr) return -1;
  *list = nullptr;
  // An injected listing failure ("list") reaches this face too.
  FT_DWORD count = 0;
  if (FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY) != FT_OK)
    return Fail(context, -5, "libusb_get_device_list() failed");
  char description[kNameBuffer], serial[kNameBuffer];
  unsigned vid = 0, pid = 0;
  int found = 0;
  ftdi::DeviceList** tail = list;
  for (int i = 0; boxsim_attached(i, description, serial, &vid, &pid) == 0; ++i) {
    if (vid != static_cast<unsigned>(vendor) || pid != static_cast<unsigned>(product)) continue;
    auto* node = new (std::nothrow) ftdi::DeviceList{nullptr, nullptr};
    auto* device = new (std::nothrow) FaceDevice{description, serial, vid, pid};
    if (node == nullptr || device == nullptr) {
      delete node;
      delete device;
      return Fail(context, -3, "out of memory");
    }
    node->dev = reinterpret_cast<ftdi::UsbDevice*>(device);
    *tail = node;
    tail = &node->next;
    ++found;
  }
  return found;
}

BOXSIM_API void ftdi_list_free(ftdi::DeviceList** list) {
  if (list == nullptr) return;
  for (ftdi::DeviceList* at = *list; at != nullptr;) {
    ftdi::DeviceList* next = at->next;
    delete reinterpret_cast<FaceDevice*>(at->dev);
    delete at;
    at = next;
  }
  *list = nullptr;
}

BOXSIM_API int ftdi_usb_get_strings(ftdi::Context* context, ftdi::UsbDevice* dev, char* manufacturer,
                                    int manufacturerSize, char* description, int descriptionSize, char* serial,
                                    int serialSize) {
  if (context == nullptr || dev == nullptr) return -1;
  const FaceDevice& device = *reinterpret_cast<FaceDevice*>(dev);
  // libftdi1 opens the device to read its strings: no access, or a box gone since the listing.
  if (Denied(device.serial) || !Attached(device.serial, nullptr)) return Fail(context, -4, "libusb_open() failed");
  CopyBounded("FTDI", manufacturer, manufacturerSize);
  CopyBounded(device.description, description, descriptionSize);
  CopyBounded(device.serial, serial, serialSize);
  return 0;
}

BOXSIM_API int ftdi_usb_open_dev(ftdi::Context* context, ftdi::UsbDevice* dev) {
  if (context == nullptr) return -8;
  if (dev == nullptr) return Fail(context, -4, "libusb_open() failed");
  const FaceDevice& device = *reinterpret_cast<FaceDevice*>(dev);
  if (Denied(device.serial)) return Fail(context, -4, "libusb_open() failed");
  FaceContext* face = Face(context);
  if (face->handle != nullptr) ftdi_usb_close(context);
  // libftdi1 opens any id it is given: the D2XX face lists the box's ids once made known.
  FT_SetVIDPID(device.vid, device.pid);
  FT_HANDLE handle = nullptr;
  if (FT_OpenEx(const_cast<char*>(device.serial.c_str()), FT_OPEN_BY_SERIAL_NUMBER, &handle) != FT_OK)
    return Fail(context, -5, "unable to claim usb device. Make sure the default FTDI driver is not in use");
  face->handle = handle;
  face->description = device.description;
  face->serial = device.serial;
  face->timeoutSet = -1;
  context->usb_dev = reinterpret_cast<ftdi::UsbDeviceHandle*>(handle);
  context->type = ftdi::kTypeR;  // bcdDevice 0x600
  context->bitbang_enabled = 0;
  return 0;
}

BOXSIM_API int ftdi_set_bitmode(ftdi::Context* context, unsigned char mask, unsigned char mode) {
  if (context == nullptr || Face(context)->handle == nullptr) return Fail(context, -2, "USB device unavailable");
  if (FT_SetBitMode(Face(context)->handle, mask, mode) != FT_OK)
    return Fail(context, -1, "unable to configure bitbang mode. Perhaps not a BM/2232C type chip?");
  context->bitbang_enabled = mode != ftdi::kBitmodeReset ? 1 : 0;
  context->bitbang_mode = mode;
  return 0;
}

BOXSIM_API int ftdi_set_baudrate(ftdi::Context* context, int baudrate) {
  if (context == nullptr || Face(context)->handle == nullptr) return Fail(context, -3, "USB device unavailable");
  long long rate = context->bitbang_enabled ? 4LL * baudrate : baudrate;
  if (baudrate <= 0 || rate > kFastestRate)
    return Fail(context, -1, "Unsupported baudrate. Note: bitbang baudrates are automatically multiplied by 4");
  if (FT_SetBaudRate(Face(context)->handle, static_cast<FT_ULONG>(rate)) != FT_OK)
    return Fail(context, -2, "Setting new baudrate failed");
  context->baudrate = static_cast<int>(rate);
  return 0;
}

BOXSIM_API int ftdi_write_data(ftdi::Context* context, const unsigned char* buffer, int size) {
  if (context == nullptr || Face(context)->handle == nullptr) return Fail(context, -666, "USB device unavailable");
  if (size < 0 || (buffer == nullptr && size > 0)) return Fail(context, -1, "usb bulk write failed");
  FaceContext* face = Face(context);
  // The timeout is a context field: it reaches the chip when it changed.
  if (face->timeoutSet != context->usb_write_timeout) {
    FT_SetTimeouts(face->handle, static_cast<FT_ULONG>(context->usb_read_timeout),
                   static_cast<FT_ULONG>(std::max(context->usb_write_timeout, 0)));
    face->timeoutSet = context->usb_write_timeout;
  }
  FT_DWORD written = 0;
  FT_STATUS status = FT_Write(face->handle, const_cast<unsigned char*>(buffer), static_cast<FT_DWORD>(size), &written);
  // A bulk transfer that timed out or failed reports no count.
  if (status != FT_OK || written != static_cast<FT_DWORD>(size)) return Fail(context, -1, "usb bulk write failed");
  return size;
}

BOXSIM_API int ftdi_poll_modem_status(ftdi::Context* context, unsigned short* status) {
  if (context == nullptr || Face(context)->handle == nullptr || status == nullptr)
    return Fail(context, -2, "USB device unavailable");
  FT_DWORD rx = 0, tx = 0, events = 0;
  if (FT_GetStatus(Face(context)->handle, &rx, &tx, &events) != FT_OK)
    return Fail(context, -1, "USB read failed");
  *status = 0x6001;  // modem status and line status bytes of an idle chip
  return 0;
}

BOXSIM_API int ftdi_read_eeprom(ftdi::Context* context) {
  if (context == nullptr || Face(context)->handle == nullptr) return Fail(context, -2, "USB device unavailable");
  FaceContext* face = Face(context);
  unsigned char userArea[64] = {};
  FT_DWORD n = 0;
  if (FT_EE_UARead(face->handle, userArea, sizeof userArea, &n) != FT_OK)
    return Fail(context, -1, "reading eeprom failed");
  mervane::eeprom::BuildImage(face->image, ftdi::kEepromSize, "FTDI", face->description, face->serial, userArea, n);
  // A 128-byte chip answers the upper addresses with the lower ones.
  std::memcpy(face->image + ftdi::kEepromSize, face->image, ftdi::kEepromSize);
  face->built = false;
  return 0;
}

BOXSIM_API int ftdi_get_eeprom_buf(ftdi::Context* context, unsigned char* buffer, int size) {
  if (context == nullptr) return -1;
  if (buffer == nullptr || size < static_cast<int>(ftdi::kEepromSize))
    return Fail(context, -1, "Not enough room to store eeprom");
  std::memcpy(buffer, Face(context)->image, std::min<std::size_t>(static_cast<std::size_t>(size), ftdi::kEepromReadSize));
  return 0;
}

BOXSIM_API int ftdi_eeprom_build(ftdi::Context* context) {
  if (context == nullptr) return Fail(context, -2, "No context");
  // The real call rebuilds the image from the decoded settings; nothing is decoded here.
  FaceContext* face = Face(context);
  mervane::eeprom::BuildImage(face->image, ftdi::kEepromSize, "", "", "", nullptr, 0);
  face->built = true;
  return 96;
}

BOXSIM_API int ftdi_set_eeprom_buf(ftdi::Context* context, const unsigned char* buffer, int size) {
  if (context == nullptr || buffer == nullptr) return Fail(context, -1, "No appropriate structure");
  std::memcpy(Face(context)->image, buffer, std::min<std::size_t>(static_cast<std::size_t>(std::max(size, 0)),
                                                                  ftdi::kEepromReadSize));
  return 0;
}

// The chip keeps what lands in its user area; its descriptors stay the box's own.
BOXSIM_API int ftdi_write_eeprom(ftdi::Context* context) {
  if (context == nullptr || Face(context)->handle == nullptr) return Fail(context, -2, "USB device unavailable");
  FaceContext* face = Face(context);
  if (!face->built) return Fail(context, -3, "EEPROM not initialized for the connected device");
  mervane::eeprom::Layout layout = mervane::eeprom::Decode(face->image, ftdi::kEepromSize);
  if (!layout.valid) return Fail(context, -1, "unable to write eeprom");
  FT_DWORD size = 0;
  if (FT_EE_UASize(face->handle, &size) != FT_OK) return Fail(context, -1, "unable to write eeprom");
  FT_DWORD n = std::min<FT_DWORD>(size, static_cast<FT_DWORD>(layout.FreeSize()));
  if (FT_EE_UAWrite(face->handle, face->image + layout.freeStart, n) != FT_OK)
    return Fail(context, -1, "unable to write eeprom");
  return 0;
}

BOXSIM_API const char* ftdi_get_error_string(ftdi::Context* context) {
  return context == nullptr || context->error_str == nullptr ? "" : context->error_str;
}

}  // extern "C"
