// The driver operations on libftdi1: listing per USB id, open by serial, bit mode before baud
// rate, timeouts as context fields, writes, and the box's name in the EEPROM image's user area.
#include "hardware/libftdi.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "hardware/eeprom_image.h"

#if defined(MERVANE_LIBFTDI_HEADER)
// libftdi1-dev is installed: the copy of the layout must match the real one, field for field.
#include <ftdi.h>
#define MERVANE_SAME_FIELD(field) \
  static_assert(offsetof(mervane::ftdi::Context, field) == offsetof(struct ftdi_context, field), #field)
static_assert(sizeof(mervane::ftdi::Context) == sizeof(struct ftdi_context), "ftdi_context size");
MERVANE_SAME_FIELD(usb_dev);
MERVANE_SAME_FIELD(usb_read_timeout);
MERVANE_SAME_FIELD(usb_write_timeout);
MERVANE_SAME_FIELD(type);
MERVANE_SAME_FIELD(bitbang_enabled);
MERVANE_SAME_FIELD(interface);
MERVANE_SAME_FIELD(eeprom);
MERVANE_SAME_FIELD(error_str);
MERVANE_SAME_FIELD(module_detach_mode);
static_assert(sizeof(mervane::ftdi::DeviceList) == sizeof(struct ftdi_device_list), "ftdi_device_list size");
static_assert(offsetof(mervane::ftdi::DeviceList, dev) == offsetof(struct ftdi_device_list, dev), "dev");
static_assert(int{mervane::ftdi::kTypeR} == int{TYPE_R} && int{mervane::ftdi::kInterfaceA} == int{INTERFACE_A} &&
                  int{mervane::ftdi::kAutoDetachSioModule} == int{AUTO_DETACH_SIO_MODULE} &&
                  int{mervane::ftdi::kBitmodeBitbang} == int{BITMODE_BITBANG},
              "libftdi1 constants");
#undef MERVANE_SAME_FIELD
#endif

namespace mervane {

namespace {
// What an FT_HANDLE of this driver points to.
struct Handle {
  ftdi::Context* context = nullptr;
  std::string serial;
  bool bitbang = false;
};

Handle* Open(FT_HANDLE handle) { return static_cast<Handle*>(handle); }

template <typename F>
void Resolve(const platform::DynamicLibrary& library, const char* name, F& slot) {
  slot = reinterpret_cast<F>(library.Symbol(name));
}

std::string Hex4(std::uint32_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", value & 0xFFFFu);
  return text;
}

// Copies a listed text into a caller's buffer of `size` bytes, cut and NUL-terminated.
FT_STATUS CopyText(const std::string& text, char* buffer, std::uint32_t size) {
  if (buffer == nullptr || size == 0) return FT_INVALID_PARAMETER;
  std::memset(buffer, 0, size);
  std::memcpy(buffer, text.data(), std::min<std::size_t>(text.size(), size - 1));
  return FT_OK;
}

// The EEPROM's transfers get a generous timeout while the name is read or written; the tick's
// short one comes back at the end.
class EepromTimeouts {
public:
  explicit EepromTimeouts(ftdi::Context* context)
      : context_(context), read_(context->usb_read_timeout), write_(context->usb_write_timeout) {
    context_->usb_read_timeout = kEepromTimeoutMs;
    context_->usb_write_timeout = kEepromTimeoutMs;
  }
  ~EepromTimeouts() {
    context_->usb_read_timeout = read_;
    context_->usb_write_timeout = write_;
  }
  EepromTimeouts(const EepromTimeouts&) = delete;
  EepromTimeouts& operator=(const EepromTimeouts&) = delete;

private:
  ftdi::Context* context_;
  int read_, write_;
};
}  // namespace

bool LibFtdiFunctions::Complete() const {
  return newContext && freeContext && setInterface && findAll && listFree && getStrings && openDev && close &&
         setBitmode && setBaudrate && writeData && pollModemStatus && readEeprom && getEepromBuf && setEepromBuf &&
         eepromBuild && writeEeprom && errorString;
}

std::vector<UsbId> ListedUsbIds() {
  std::vector<UsbId> ids = {UsbId{ftdi::kDefaultVendor, ftdi::kDefaultProduct}};
  if (auto text = platform::GetEnv("MERVANE_USB_IDS"))
    for (const UsbId& id : ParseUsbIds(*text))
      if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
  return ids;
}

bool LibFtdi::Load(const std::string& path) {
  platform::DynamicLibrary library;
  if (!library.Open(path)) return false;
  LibFtdiFunctions f;
  Resolve(library, "ftdi_new", f.newContext);
  Resolve(library, "ftdi_free", f.freeContext);
  Resolve(library, "ftdi_set_interface", f.setInterface);
  Resolve(library, "ftdi_usb_find_all", f.findAll);
  Resolve(library, "ftdi_list_free", f.listFree);
  Resolve(library, "ftdi_usb_get_strings", f.getStrings);
  Resolve(library, "ftdi_usb_open_dev", f.openDev);
  Resolve(library, "ftdi_usb_close", f.close);
  Resolve(library, "ftdi_set_bitmode", f.setBitmode);
  Resolve(library, "ftdi_set_baudrate", f.setBaudrate);
  Resolve(library, "ftdi_write_data", f.writeData);
  Resolve(library, "ftdi_poll_modem_status", f.pollModemStatus);
  Resolve(library, "ftdi_read_eeprom", f.readEeprom);
  Resolve(library, "ftdi_get_eeprom_buf", f.getEepromBuf);
  Resolve(library, "ftdi_set_eeprom_buf", f.setEepromBuf);
  Resolve(library, "ftdi_eeprom_build", f.eepromBuild);
  Resolve(library, "ftdi_write_eeprom", f.writeEeprom);
  Resolve(library, "ftdi_get_error_string", f.errorString);
  if (!f.Complete()) return false;
  library_ = std::move(library);
  functions_ = f;
  source_ = path;
  return true;
}

void LibFtdi::Install(const LibFtdiFunctions& functions) {
  library_.Close();
  functions_ = functions;
  source_ = "(installed table)";
}

FT_STATUS LibFtdi::CountDevices(std::uint32_t& count) {
  count = 0;
  listed_.clear();
  unreadable_.clear();
  if (!Loaded()) return FT_OTHER_ERROR;
  ftdi::Context* context = functions_.newContext();
  if (context == nullptr) return FT_INSUFFICIENT_RESOURCES;
  bool anyListing = false;
  for (const UsbId& id : ListedUsbIds()) {
    ftdi::DeviceList* list = nullptr;
    if (functions_.findAll(context, &list, static_cast<int>(id.vid), static_cast<int>(id.pid)) < 0) continue;
    anyListing = true;
    for (ftdi::DeviceList* at = list; at != nullptr; at = at->next) {
      char description[kDescriptionSize] = {};
      char serial[kDescriptionSize] = {};
      Listed entry;
      entry.id = id;
      // The strings need the device opened: a chip without access rights fails here.
      if (functions_.getStrings(context, at->dev, nullptr, 0, description, sizeof description, serial,
                                sizeof serial) == 0) {
        description[kDescriptionSize - 1] = serial[kDescriptionSize - 1] = 0;
        entry.description = description;
        entry.serial = serial;
        entry.readable = true;
      } else {
        const char* reason = functions_.errorString(context);
        unreadable_.push_back(Hex4(id.vid) + ":" + Hex4(id.pid) + ": " + (reason ? reason : "unreadable") +
                              " (no access rights?)");
      }
      listed_.push_back(entry);
    }
    functions_.listFree(&list);
  }
  functions_.freeContext(context);
  count = static_cast<std::uint32_t>(listed_.size());
  return anyListing ? FT_OK : FT_OTHER_ERROR;
}

FT_STATUS LibFtdi::Description(std::uint32_t index, char* buffer, std::uint32_t size) const {
  if (index >= listed_.size()) return FT_DEVICE_NOT_FOUND;
  if (!listed_[index].readable) return FT_DEVICE_NOT_OPENED;
  return CopyText(listed_[index].description, buffer, size);
}

FT_STATUS LibFtdi::SerialNumber(std::uint32_t index, char* buffer, std::uint32_t size) const {
  if (index >= listed_.size()) return FT_DEVICE_NOT_FOUND;
  if (!listed_[index].readable) return FT_DEVICE_NOT_OPENED;
  return CopyText(listed_[index].serial, buffer, size);
}

FT_STATUS LibFtdi::OpenBySerial(const std::string& serial, FT_HANDLE& handle) const {
  handle = nullptr;
  if (!Loaded()) return FT_OTHER_ERROR;
  ftdi::Context* context = functions_.newContext();
  if (context == nullptr) return FT_INSUFFICIENT_RESOURCES;
  // Interface A is the only one of the boxes' chip; ftdi_sio is detached from it when it holds it.
  context->module_detach_mode = ftdi::kAutoDetachSioModule;
  bool opened = false;
  if (functions_.setInterface(context, ftdi::kInterfaceA) != 0) {
    functions_.freeContext(context);
    return FT_DEVICE_NOT_OPENED;
  }
  // The USB id the listing found the serial under goes first.
  std::vector<UsbId> ids = ListedUsbIds();
  for (const Listed& entry : listed_)
    if (entry.readable && entry.serial == serial) {
      ids.erase(std::remove(ids.begin(), ids.end(), entry.id), ids.end());
      ids.insert(ids.begin(), entry.id);
      break;
    }
  for (std::size_t i = 0; i < ids.size() && !opened; ++i) {
    ftdi::DeviceList* list = nullptr;
    if (functions_.findAll(context, &list, static_cast<int>(ids[i].vid), static_cast<int>(ids[i].pid)) < 0) continue;
    // Every chip of the id is asked for its serial; one that cannot be read is passed over.
    for (ftdi::DeviceList* at = list; at != nullptr && !opened; at = at->next) {
      char found[kDescriptionSize] = {};
      if (functions_.getStrings(context, at->dev, nullptr, 0, nullptr, 0, found, sizeof found) != 0) continue;
      found[kDescriptionSize - 1] = 0;
      if (serial == found) opened = functions_.openDev(context, at->dev) == 0;
    }
    functions_.listFree(&list);
  }
  if (!opened) {
    functions_.freeContext(context);
    return FT_DEVICE_NOT_OPENED;
  }
  handle = new Handle{context, serial, false};
  return FT_OK;
}

FT_STATUS LibFtdi::SetBitMode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode) const {
  Handle* h = Open(handle);
  if (h == nullptr || !Loaded()) return FT_INVALID_HANDLE;
  if (functions_.setBitmode(h->context, mask, mode) < 0) return FT_IO_ERROR;
  h->bitbang = mode != ftdi::kBitmodeReset;
  return FT_OK;
}

FT_STATUS LibFtdi::SetBaudRate(FT_HANDLE handle, std::uint32_t baud) const {
  Handle* h = Open(handle);
  if (h == nullptr || !Loaded()) return FT_INVALID_HANDLE;
  int rate = h->bitbang ? ftdi::BitbangBaudrate(baud) : static_cast<int>(baud);
  return functions_.setBaudrate(h->context, rate) < 0 ? FT_IO_ERROR : FT_OK;
}

FT_STATUS LibFtdi::SetTimeouts(FT_HANDLE handle, int writeTimeoutMs) const {
  Handle* h = Open(handle);
  if (h == nullptr || !Loaded()) return FT_INVALID_HANDLE;
  h->context->usb_write_timeout = writeTimeoutMs;
  h->context->usb_read_timeout = kStatusTimeoutMs;
  return FT_OK;
}

FT_STATUS LibFtdi::ReadImage(ftdi::Context* context, std::uint8_t* image, std::size_t& size) const {
  size = 0;
  std::memset(image, 0, ftdi::kEepromReadSize);
  if (functions_.readEeprom(context) < 0) return FT_IO_ERROR;
  if (functions_.getEepromBuf(context, image, static_cast<int>(ftdi::kEepromReadSize)) < 0) return FT_IO_ERROR;
  // An FT232R has 128 bytes, and so has an older chip whose two halves read alike.
  bool small = context->type == ftdi::kTypeR ||
               std::memcmp(image, image + ftdi::kEepromSize, ftdi::kEepromReadSize - ftdi::kEepromSize) == 0;
  size = small ? ftdi::kEepromSize : ftdi::kEepromReadSize;
  return FT_OK;
}

FT_STATUS LibFtdi::ReadUserArea(FT_HANDLE handle, std::uint8_t* buffer, std::uint32_t length,
                                std::uint32_t& bytesRead) const {
  bytesRead = 0;
  Handle* h = Open(handle);
  if (h == nullptr || !Loaded()) return FT_INVALID_HANDLE;
  if (buffer == nullptr) return FT_INVALID_PARAMETER;
  EepromTimeouts timeouts(h->context);
  std::uint8_t image[ftdi::kEepromReadSize];
  std::size_t size = 0;
  if (FT_STATUS status = ReadImage(h->context, image, size); status != FT_OK) return status;
  // An image that does not decode (blank, damaged) holds no name: the box opens without one.
  eeprom::Layout layout = eeprom::Decode(image, size);
  if (!layout.valid) return FT_OK;
  bytesRead = static_cast<std::uint32_t>(std::min<std::size_t>(length, layout.FreeSize()));
  std::memcpy(buffer, image + layout.freeStart, bytesRead);
  return FT_OK;
}

FT_STATUS LibFtdi::WriteUserArea(FT_HANDLE handle, const std::uint8_t* data, std::uint32_t length) const {
  Handle* h = Open(handle);
  if (h == nullptr || !Loaded()) return FT_INVALID_HANDLE;
  if (data == nullptr) return FT_INVALID_PARAMETER;
  EepromTimeouts timeouts(h->context);
  // The whole image is rewritten, descriptors included: it is written only when two reads agree
  // and it decodes as this box's image.
  std::uint8_t first[ftdi::kEepromReadSize], again[ftdi::kEepromReadSize];
  std::size_t size = 0, againSize = 0;
  if (FT_STATUS status = ReadImage(h->context, first, size); status != FT_OK) return status;
  if (FT_STATUS status = ReadImage(h->context, again, againSize); status != FT_OK) return status;
  if (size != againSize || std::memcmp(first, again, size) != 0) return FT_IO_ERROR;
  eeprom::Layout layout = eeprom::Decode(first, size);
  if (!layout.valid || layout.serial != h->serial) return FT_OTHER_ERROR;
  std::uint8_t wanted[ftdi::kEepromReadSize];
  std::memcpy(wanted, first, size);
  eeprom::PutUserArea(wanted, size, data, length);
  if (std::memcmp(wanted, first, size) == 0) return FT_OK;  // it holds the bytes already
  // ftdi_write_eeprom writes only an image ftdi_eeprom_build made for this chip; the built image
  // is then replaced by the wanted one.
  if (functions_.eepromBuild(h->context) < 0) return FT_OTHER_ERROR;
  if (functions_.setEepromBuf(h->context, wanted, static_cast<int>(size)) < 0) return FT_OTHER_ERROR;
  if (functions_.writeEeprom(h->context) < 0) return FT_IO_ERROR;
  if (ReadImage(h->context, again, againSize) != FT_OK || againSize != size || std::memcmp(again, wanted, size) != 0)
    return FT_FAILED_TO_WRITE_DEVICE;
  return FT_OK;
}

FT_STATUS LibFtdi::GetStatus(FT_HANDLE handle) const {
  Handle* h = Open(handle);
  if (h == nullptr || !Loaded()) return FT_INVALID_HANDLE;
  unsigned short status = 0;
  return functions_.pollModemStatus(h->context, &status) < 0 ? FT_IO_ERROR : FT_OK;
}

FT_STATUS LibFtdi::Write(FT_HANDLE handle, const std::uint8_t* data, std::uint32_t length) const {
  Handle* h = Open(handle);
  if (h == nullptr || !Loaded()) return FT_INVALID_HANDLE;
  int written = functions_.writeData(h->context, data, static_cast<int>(length));
  if (written < 0) return FT_IO_ERROR;  // a timeout too: libftdi1 reports no count then
  return static_cast<std::uint32_t>(written) == length ? FT_OK : FT_FAILED_TO_WRITE_DEVICE;
}

FT_STATUS LibFtdi::Close(FT_HANDLE handle) const {
  Handle* h = Open(handle);
  if (h == nullptr || !Loaded()) return FT_INVALID_HANDLE;
  // A box that is gone cannot release its interface; the context goes all the same.
  functions_.close(h->context);
  functions_.freeContext(h->context);
  delete h;
  return FT_OK;
}

}  // namespace mervane
