// Run-time loading of the driver library (D2XX or libftdi1) and the driver operations on top of it.
#include "hardware/driver.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "hardware/libftdi.h"

namespace mervane {

namespace {
constexpr FT_STATUS kNotLoaded = FT_OTHER_ERROR;

// Candidate files for the vendor library, most specific last-resort included.
std::vector<std::string> DefaultLibraryNames() {
#if defined(_WIN32)
  return {"ftd2xx.dll"};
#else
  std::vector<std::string> names = {"libftd2xx.so", "libftd2xx.so.1"};
  // The vendor's installer often leaves only a versioned file such as libftd2xx.so.1.4.27.
  for (const char* folder : {"/usr/local/lib", "/usr/lib", "/usr/lib/x86_64-linux-gnu",
                             "/usr/lib/aarch64-linux-gnu", "/usr/lib/arm-linux-gnueabihf"}) {
    auto found = platform::ListFiles(folder, "libftd2xx.so.");
    for (auto it = found.rbegin(); it != found.rend(); ++it)
      names.push_back(std::string(folder) + platform::kPathSeparator + *it);
  }
  return names;
#endif
}

template <typename F>
void Resolve(const platform::DynamicLibrary& library, const char* name, F& slot) {
  slot = reinterpret_cast<F>(library.Symbol(name));
}
}  // namespace

bool D2xxFunctions::Complete() const {
  return listDevices && openEx && close && setBitMode && setBaudRate && eeUaRead && eeUaWrite &&
         getStatus && write;
}

std::vector<DriverKind> DriverOrder(const std::optional<std::string>& choice, bool d2xxLibraryNamed, bool windows) {
  if (windows) return {DriverKind::D2xx};
  if (choice == "libftdi") return {DriverKind::LibFtdi};
  if (choice == "d2xx") return {DriverKind::D2xx};
  if (d2xxLibraryNamed) return {DriverKind::D2xx};
  return {DriverKind::LibFtdi, DriverKind::D2xx};
}

bool ChipWritesAllowed() { return platform::GetEnv("MERVANE_EEPROM_WRITE") != "0"; }

Driver::Driver() = default;
Driver::~Driver() = default;

bool Driver::Loaded() const { return kind_ == DriverKind::LibFtdi ? ftdi_ && ftdi_->Loaded() : functions_.Complete(); }

bool Driver::LoadFrom(const std::string& path) {
  platform::DynamicLibrary library;
  if (!library.Open(path)) return false;
  D2xxFunctions f;
  Resolve(library, "FT_ListDevices", f.listDevices);
  Resolve(library, "FT_OpenEx", f.openEx);
  Resolve(library, "FT_Close", f.close);
  Resolve(library, "FT_SetBitMode", f.setBitMode);
  Resolve(library, "FT_SetBaudRate", f.setBaudRate);
  Resolve(library, "FT_EE_UARead", f.eeUaRead);
  Resolve(library, "FT_EE_UAWrite", f.eeUaWrite);
  Resolve(library, "FT_GetStatus", f.getStatus);
  Resolve(library, "FT_Write", f.write);
  if (!f.Complete()) return false;
  Resolve(library, "FT_SetTimeouts", f.setTimeouts);
  Resolve(library, "FT_EE_UASize", f.eeUaSize);
  Resolve(library, "FT_SetVIDPID", f.setVidPid);
  library_ = std::move(library);
  functions_ = f;
  source_ = path;
  return true;
}

bool Driver::LoadD2xx() {
  if (auto chosen = platform::GetEnv("MERVANE_D2XX_LIBRARY"); chosen && !chosen->empty())
    return LoadFrom(*chosen);
  for (const auto& name : DefaultLibraryNames())
    if (LoadFrom(name)) return true;
  return false;
}

bool Driver::LoadLibFtdi() {
  auto chosen = platform::GetEnv("MERVANE_LIBFTDI_LIBRARY");
  std::string path = chosen && !chosen->empty() ? *chosen : "libftdi1.so.2";
  auto ftdi = std::make_unique<LibFtdi>();
  if (!ftdi->Load(path)) return false;
  ftdi_ = std::move(ftdi);
  source_ = path;
  return true;
}

bool Driver::Load() {
  if (Loaded()) return true;
  auto named = platform::GetEnv("MERVANE_D2XX_LIBRARY");
#if defined(_WIN32)
  constexpr bool kWindows = true;
#else
  constexpr bool kWindows = false;
#endif
  for (DriverKind kind : DriverOrder(platform::GetEnv("MERVANE_DRIVER"), named && !named->empty(), kWindows)) {
    kind_ = kind;
    if (kind == DriverKind::LibFtdi ? LoadLibFtdi() : LoadD2xx()) return true;
  }
  kind_ = DriverKind::D2xx;
  return false;
}

void Driver::Install(const D2xxFunctions& functions) {
  library_.Close();
  ftdi_.reset();
  kind_ = DriverKind::D2xx;
  functions_ = functions;
  source_ = "(installed table)";
}

std::vector<std::string> Driver::Unreadable() const {
  return kind_ == DriverKind::LibFtdi && ftdi_ ? ftdi_->Unreadable() : std::vector<std::string>{};
}

FT_STATUS Driver::CountDevices(std::uint32_t& count) const {
  count = 0;
  if (!Loaded()) return kNotLoaded;
  if (ftdi_) return ftdi_->CountDevices(count);
  FT_DWORD n = 0;
  FT_STATUS status = functions_.listDevices(&n, nullptr, FT_LIST_NUMBER_ONLY);
  count = n;
  return status;
}

namespace {
// Listing by index passes the index itself in place of the first pointer.
// A text of the full 64 bytes comes back without a NUL, and a library may write fewer bytes than
// the text plus its NUL: the buffer is zeroed first and its last byte forced to 0 afterwards, so
// the result is at most 63 characters and never holds bytes the library did not write.
FT_STATUS ListByIndex(const D2xxFunctions& f, std::uint32_t index, char* buffer, FT_DWORD selector) {
  std::memset(buffer, 0, kDescriptionSize);
  FT_STATUS status = f.listDevices(reinterpret_cast<void*>(static_cast<std::uintptr_t>(index)), buffer,
                                   FT_LIST_BY_INDEX | selector);
  buffer[kDescriptionSize - 1] = 0;
  return status;
}
}  // namespace

FT_STATUS Driver::Description(std::uint32_t index, char (&buffer)[kDescriptionSize]) const {
  if (!Loaded()) return kNotLoaded;
  if (ftdi_) return ftdi_->Description(index, buffer, kDescriptionSize);
  return ListByIndex(functions_, index, buffer, FT_OPEN_BY_DESCRIPTION);
}

FT_STATUS Driver::SerialNumber(std::uint32_t index, char (&buffer)[kDescriptionSize]) const {
  if (!Loaded()) return kNotLoaded;
  if (ftdi_) return ftdi_->SerialNumber(index, buffer, kDescriptionSize);
  return ListByIndex(functions_, index, buffer, FT_OPEN_BY_SERIAL_NUMBER);
}

namespace {
// One id of 1 to 4 hex digits, with an optional 0x.
bool ParseHexId(std::string_view text, std::uint32_t& value) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
  if (text.empty() || text.size() > 4) return false;
  value = 0;
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
    value = value * 16 + static_cast<std::uint32_t>(digit);
  }
  return true;
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}
}  // namespace

std::vector<UsbId> ParseUsbIds(std::string_view text) {
  std::vector<UsbId> ids;
  while (!text.empty()) {
    std::size_t comma = text.find(',');
    std::string_view entry = TrimBlanks(text.substr(0, comma));
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    std::size_t colon = entry.find(':');
    UsbId id;
    if (colon == std::string_view::npos || !ParseHexId(TrimBlanks(entry.substr(0, colon)), id.vid) ||
        !ParseHexId(TrimBlanks(entry.substr(colon + 1)), id.pid))
      continue;
    ids.push_back(id);
  }
  return ids;
}

void Driver::AnnounceCustomUsbIds() const {
  // libftdi1 lists every id of MERVANE_USB_IDS by itself.
  if (!Loaded() || ftdi_ || functions_.setVidPid == nullptr || !platform::DriverListsOnlyDefaultUsbIds()) return;
  auto text = platform::GetEnv("MERVANE_USB_IDS");
  if (!text) return;
  for (const UsbId& id : ParseUsbIds(*text)) functions_.setVidPid(id.vid, id.pid);
}

FT_STATUS Driver::OpenBySerial(const std::string& serial, FT_HANDLE& handle) const {
  handle = nullptr;
  if (!Loaded()) return kNotLoaded;
  if (ftdi_) return ftdi_->OpenBySerial(serial, handle);
  return functions_.openEx(const_cast<char*>(serial.c_str()), FT_OPEN_BY_SERIAL_NUMBER, &handle);
}

FT_STATUS Driver::SetBitMode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode) const {
  if (!Loaded()) return kNotLoaded;
  if (ftdi_) return ftdi_->SetBitMode(handle, mask, mode);
  return functions_.setBitMode(handle, mask, mode);
}

FT_STATUS Driver::SetBaudRate(FT_HANDLE handle, std::uint32_t baud) const {
  if (!Loaded()) return kNotLoaded;
  if (ftdi_) return ftdi_->SetBaudRate(handle, baud);
  return functions_.setBaudRate(handle, baud);
}

FT_STATUS Driver::SetTimeouts(FT_HANDLE handle) const {
  if (!Loaded()) return kNotLoaded;
  if (ftdi_) return ftdi_->SetTimeouts(handle, static_cast<int>(kWriteTimeoutMs));
  if (functions_.setTimeouts == nullptr) return FT_NOT_SUPPORTED;
  return functions_.setTimeouts(handle, kWriteTimeoutMs, kWriteTimeoutMs);
}

FT_STATUS Driver::ReadUserArea(FT_HANDLE handle, std::uint8_t* buffer, std::uint32_t length,
                               std::uint32_t& bytesRead) const {
  bytesRead = 0;
  if (!Loaded()) return kNotLoaded;
  if (ftdi_) return ftdi_->ReadUserArea(handle, buffer, length, bytesRead);
  FT_DWORD n = 0;
  FT_STATUS status = functions_.eeUaRead(handle, buffer, length, &n);
  bytesRead = n > length ? length : n;
  return status;
}

FT_STATUS Driver::WriteUserArea(FT_HANDLE handle, const std::uint8_t* data, std::uint32_t length) const {
  if (!Loaded()) return kNotLoaded;
  if (!ChipWritesAllowed()) return FT_OK;
  if (ftdi_) return ftdi_->WriteUserArea(handle, data, length);
  // Writing past the user area is a programming error to the vendor's library; when the size
  // cannot be asked, the whole length is tried as before.
  FT_DWORD size = 0;
  if (functions_.eeUaSize != nullptr && functions_.eeUaSize(handle, &size) == FT_OK && size < length) length = size;
  if (length == 0) return FT_OK;
  return functions_.eeUaWrite(handle, const_cast<std::uint8_t*>(data), length);
}

FT_STATUS Driver::GetStatus(FT_HANDLE handle) const {
  if (!Loaded()) return kNotLoaded;
  if (ftdi_) return ftdi_->GetStatus(handle);
  FT_DWORD rx = 0, tx = 0, events = 0;
  return functions_.getStatus(handle, &rx, &tx, &events);
}

FT_STATUS Driver::Write(FT_HANDLE handle, const std::uint8_t* data, std::uint32_t length) const {
  std::uint32_t sent = 0;
  return Write(handle, data, length, sent);
}

FT_STATUS Driver::Write(FT_HANDLE handle, const std::uint8_t* data, std::uint32_t length, std::uint32_t& sent) const {
  sent = 0;
  if (!Loaded()) return kNotLoaded;
  if (ftdi_) return ftdi_->Write(handle, data, length);
  FT_DWORD written = 0;
  FT_STATUS status = functions_.write(handle, const_cast<std::uint8_t*>(data), length, &written);
  // A failed call says nothing certain about what reached the box: nothing is taken as sent.
  if (status != FT_OK) return status;
  sent = static_cast<std::uint32_t>(std::min<FT_DWORD>(written, length));
  return sent == length ? static_cast<FT_STATUS>(FT_OK) : static_cast<FT_STATUS>(FT_FAILED_TO_WRITE_DEVICE);
}

FT_STATUS Driver::Close(FT_HANDLE handle) const {
  if (!Loaded()) return kNotLoaded;
  if (ftdi_) return ftdi_->Close(handle);
  return functions_.close(handle);
}

}  // namespace mervane
