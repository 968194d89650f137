// The libftdi1 driver through the real stack: Debian's libftdi1 and libusb talk to an emulated
// FT232R whose USB device node umockdev serves (usbdevfs URBs answered here). Run under
// umockdev-wrapper; skipped, saying why, where that is missing.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "hardware/eeprom_image.h"
#include "hardware/libftdi.h"
#include "platform/platform.h"

namespace mervane::testing {
namespace {

constexpr char kSerial[] = "UM000001";
constexpr char kProduct[] = "VORK-KADO";
constexpr char kNode[] = "/dev/bus/usb/001/002";

// The emulated chip: what the host asked of it, and how it behaves. The handler runs on
// umockdev's thread, the test reads on its own: `mutex` guards every member.
struct Chip {
  std::mutex mutex;
  std::vector<std::string> requests;  // vendor requests in order ("bitmode 01ff", "baud 0000 0000", ...)
  std::vector<std::uint8_t> received;  // bulk OUT bytes
  int bulkWrites = 0;
  bool stalled = false;        // bulk OUT transfers never complete
  bool heldBySio = true;       // ftdi_sio holds interface 0 until disconnected
  bool disconnected = false;
  std::uint8_t eeprom[128] = {};
  int eepromWrites = 0;
  std::deque<UMockdevIoctlData*> done;      // URBs ready to reap
  std::vector<UMockdevIoctlData*> pending;  // stalled URBs
};

Chip* chip = nullptr;

std::vector<std::uint8_t> StringDescriptor(const std::string& text) {
  std::vector<std::uint8_t> d = {static_cast<std::uint8_t>(2 + 2 * text.size()), 3};
  for (char c : text) {
    d.push_back(static_cast<std::uint8_t>(c));
    d.push_back(0);
  }
  return d;
}

std::string Hex(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", value & 0xFFFF);
  return text;
}

// Answers one control transfer: setup packet, then the data stage in `buffer` + 8.
int Control(std::uint8_t* buffer, int length) {
  std::uint8_t type = buffer[0], request = buffer[1];
  unsigned value = buffer[2] | (buffer[3] << 8), index = buffer[4] | (buffer[5] << 8);
  unsigned wanted = buffer[6] | (buffer[7] << 8);
  std::uint8_t* data = buffer + 8;
  int room = std::min<int>(length - 8, static_cast<int>(wanted));
  auto answer = [&](const std::vector<std::uint8_t>& bytes) {
    int n = std::min<int>(room, static_cast<int>(bytes.size()));
    std::memcpy(data, bytes.data(), static_cast<std::size_t>(n));
    return n;
  };
  if (type == 0x80 && request == 6 && (value >> 8) == 3) {  // GET_DESCRIPTOR string
    switch (value & 0xFF) {
      case 0: return answer({4, 3, 0x09, 0x04});
      case 1: return answer(StringDescriptor("FTDI"));
      case 2: return answer(StringDescriptor(kProduct));
      case 3: return answer(StringDescriptor(kSerial));
      default: return -EPIPE;
    }
  }
  if (type == 0xC0) {  // vendor IN
    if (request == 0x05) return answer({0x01, 0x60});  // modem and line status
    if (request == 0x0A) return answer({16});          // latency timer
    if (request == 0x90) return answer({chip->eeprom[(index * 2) & 127], chip->eeprom[(index * 2 + 1) & 127]});
    return -EPIPE;
  }
  if (type == 0x40) {  // vendor OUT
    switch (request) {
      case 0x03: chip->requests.push_back("baud " + Hex(value) + " " + Hex(index)); break;
      case 0x0B: chip->requests.push_back("bitmode " + Hex(value)); break;
      case 0x91:
        chip->eeprom[(index * 2) & 127] = static_cast<std::uint8_t>(value & 0xFF);
        chip->eeprom[(index * 2 + 1) & 127] = static_cast<std::uint8_t>(value >> 8);
        ++chip->eepromWrites;
        break;
      default: break;  // reset, modem control, flow control, latency, data format
    }
    return 0;
  }
  return -EPIPE;
}

gboolean HandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer) {
  std::lock_guard<std::mutex> lock(chip->mutex);
  const gulong request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  GError* error = nullptr;
  auto resolve = [&](gsize size) { return umockdev_ioctl_data_resolve(arg, 0, size, &error); };
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      UMockdevIoctlData* data = resolve(4);
      std::uint32_t caps = 0;
      std::memcpy(data->data, &caps, 4);
      umockdev_ioctl_client_complete(client, 0, 0);
      return TRUE;
    }
    case USBDEVFS_GETDRIVER: {
      UMockdevIoctlData* data = resolve(sizeof(usbdevfs_getdriver));
      if (!chip->heldBySio || chip->disconnected) {
        umockdev_ioctl_client_complete(client, -1, ENODATA);
      } else {
        auto* driver = reinterpret_cast<usbdevfs_getdriver*>(data->data);
        std::snprintf(driver->driver, sizeof driver->driver, "ftdi_sio");
        umockdev_ioctl_client_complete(client, 0, 0);
      }
      return TRUE;
    }
    case USBDEVFS_IOCTL: {
      UMockdevIoctlData* data = resolve(sizeof(usbdevfs_ioctl));
      auto* command = reinterpret_cast<usbdevfs_ioctl*>(data->data);
      if (static_cast<unsigned long>(command->ioctl_code) == USBDEVFS_DISCONNECT) chip->disconnected = true;
      umockdev_ioctl_client_complete(client, 0, 0);
      return TRUE;
    }
    case USBDEVFS_CLAIMINTERFACE:
      if (chip->heldBySio && !chip->disconnected) umockdev_ioctl_client_complete(client, -1, EBUSY);
      else umockdev_ioctl_client_complete(client, 0, 0);
      return TRUE;
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESET:
    case USBDEVFS_RESETEP:
      umockdev_ioctl_client_complete(client, 0, 0);
      return TRUE;
    case USBDEVFS_SUBMITURB: {
      UMockdevIoctlData* urbData = resolve(sizeof(usbdevfs_urb));
      auto* urb = reinterpret_cast<usbdevfs_urb*>(urbData->data);
      UMockdevIoctlData* buffer =
          umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer), static_cast<gsize>(urb->buffer_length), &error);
      urb->status = 0;
      urb->actual_length = 0;
      if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
        int n = Control(buffer->data, urb->buffer_length);
        if (n < 0) urb->status = n;
        else urb->actual_length = n;
      } else if (urb->type == USBDEVFS_URB_TYPE_BULK && urb->endpoint == 0x02) {
        if (chip->stalled) {
          chip->pending.push_back(static_cast<UMockdevIoctlData*>(g_object_ref(urbData)));
          umockdev_ioctl_client_complete(client, 0, 0);
          return TRUE;
        }
        chip->received.insert(chip->received.end(), buffer->data, buffer->data + urb->buffer_length);
        ++chip->bulkWrites;
        urb->actual_length = urb->buffer_length;
      } else {
        urb->status = -EPIPE;
      }
      chip->done.push_back(static_cast<UMockdevIoctlData*>(g_object_ref(urbData)));
      umockdev_ioctl_client_complete(client, 0, 0);
      return TRUE;
    }
    case USBDEVFS_DISCARDURB: {
      gulong address = 0;
      std::memcpy(&address, arg->data, sizeof address);
      for (auto it = chip->pending.begin(); it != chip->pending.end(); ++it)
        if ((*it)->client_addr == address) {
          reinterpret_cast<usbdevfs_urb*>((*it)->data)->status = -ENOENT;
          chip->done.push_back(*it);
          chip->pending.erase(it);
          umockdev_ioctl_client_complete(client, 0, 0);
          return TRUE;
        }
      umockdev_ioctl_client_complete(client, -1, EINVAL);
      return TRUE;
    }
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
      if (chip->done.empty()) {
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        return TRUE;
      }
      UMockdevIoctlData* urb = chip->done.front();
      chip->done.pop_front();
      UMockdevIoctlData* slot = resolve(sizeof(void*));
      umockdev_ioctl_data_set_ptr(slot, 0, urb);
      umockdev_ioctl_client_complete(client, 0, 0);
      g_object_unref(urb);
      return TRUE;
    }
    default:
      std::fprintf(stderr, "emulated FT232R: ioctl 0x%lx not handled\n", static_cast<unsigned long>(request));
      umockdev_ioctl_client_complete(client, -1, ENOTTY);
      return TRUE;
  }
}

// Device, configuration, interface and both bulk endpoints, as sysfs "descriptors" holds them.
std::vector<std::uint8_t> Descriptors() {
  return {0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x08, 0x03, 0x04, 0x01, 0x60, 0x00, 0x06, 0x01, 0x02, 0x03, 0x01,
          0x09, 0x02, 0x20, 0x00, 0x01, 0x01, 0x00, 0xA0, 0x2D,
          0x09, 0x04, 0x00, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 0x02,
          0x07, 0x05, 0x81, 0x02, 0x40, 0x00, 0x00,
          0x07, 0x05, 0x02, 0x02, 0x40, 0x00, 0x00};
}

bool UnderUmockdev() {
  const char* preload = std::getenv("LD_PRELOAD");
  return preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr;
}

class UsbStackTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!UnderUmockdev()) GTEST_SKIP() << "not run under umockdev-wrapper (install umockdev: scripts/deps.sh)";
    if (!library_.Load("libftdi1.so.2")) GTEST_SKIP() << "libftdi1.so.2 is not installed (libftdi1-2)";
    chip = &chip_;
    eeprom::BuildImage(chip_.eeprom, 128, "FTDI", kProduct, kSerial, nullptr, 0);
    testbed_ = umockdev_testbed_new();
    std::vector<std::uint8_t> descriptors = Descriptors();
    gchar* sys = umockdev_testbed_add_device(
        testbed_, "usb", "1-1", nullptr, "busnum", "1", "devnum", "2", "idVendor", "0403", "idProduct", "6001",
        "bcdDevice", "0600", "speed", "12", "bConfigurationValue", "1", "bNumConfigurations", "1", "manufacturer",
        "FTDI", "product", kProduct, "serial", kSerial, nullptr, "DEVTYPE", "usb_device", "DEVNAME", kNode, "BUSNUM",
        "001", "DEVNUM", "002", "PRODUCT", "403/6001/600", nullptr);
    umockdev_testbed_set_attribute_binary(testbed_, sys, "descriptors", descriptors.data(),
                                          static_cast<gint>(descriptors.size()));
    g_free(sys);
    // The testbed makes no device node for the handler to serve: an empty file stands for it.
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    std::filesystem::path node = std::filesystem::path(root) / "dev/bus/usb/001/002";
    g_free(root);
    std::filesystem::create_directories(node.parent_path());
    std::ofstream(node).close();
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(HandleIoctl), nullptr);
    GError* error = nullptr;
    ASSERT_TRUE(umockdev_testbed_attach_ioctl(testbed_, kNode, handler_, &error)) << (error ? error->message : "");
    platform::UnsetEnv("MERVANE_USB_IDS");
  }
  void TearDown() override {
    if (handle_ != nullptr) library_.Close(handle_);
    if (testbed_ != nullptr) {
      umockdev_testbed_detach_ioctl(testbed_, kNode, nullptr);
      g_object_unref(testbed_);
    }
    if (handler_ != nullptr) g_object_unref(handler_);
    chip = nullptr;
  }
  FT_HANDLE Open() {
    std::uint32_t count = 0;
    EXPECT_EQ(library_.CountDevices(count), FT_OK);
    EXPECT_EQ(library_.OpenBySerial(kSerial, handle_), FT_OK);
    return handle_;
  }
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> lock(chip_.mutex);
    return chip_.requests;
  }

  Chip chip_;
  LibFtdi library_;
  FT_HANDLE handle_ = nullptr;
  UMockdevTestbed* testbed_ = nullptr;
  UMockdevIoctlBase* handler_ = nullptr;
};

TEST_F(UsbStackTest, ListsTheChipAndOpensItBySerialDetachingFtdiSio) {
  std::uint32_t count = 0;
  ASSERT_EQ(library_.CountDevices(count), FT_OK);
  ASSERT_EQ(count, 1u);
  char text[64];
  ASSERT_EQ(library_.Description(0, text, sizeof text), FT_OK);
  EXPECT_STREQ(text, kProduct);
  ASSERT_EQ(library_.SerialNumber(0, text, sizeof text), FT_OK);
  EXPECT_STREQ(text, kSerial);
  EXPECT_TRUE(library_.Unreadable().empty());
  ASSERT_EQ(library_.OpenBySerial(kSerial, handle_), FT_OK);
  std::lock_guard<std::mutex> lock(chip_.mutex);
  EXPECT_TRUE(chip_.disconnected) << "ftdi_sio was not detached";
}

TEST_F(UsbStackTest, AnUnknownSerialDoesNotOpen) {
  std::uint32_t count = 0;
  ASSERT_EQ(library_.CountDevices(count), FT_OK);
  EXPECT_EQ(library_.OpenBySerial("NOSUCH01", handle_), FT_DEVICE_NOT_OPENED);
  EXPECT_EQ(handle_, nullptr);
}

TEST_F(UsbStackTest, BitModeComesBeforeTheBaudRateThatMakesThreeMegabaud) {
  FT_HANDLE handle = Open();
  std::size_t before = Requests().size();
  ASSERT_EQ(library_.SetBitMode(handle, 0xFF, FT_BITMODE_ASYNC_BITBANG), FT_OK);
  ASSERT_EQ(library_.SetBaudRate(handle, 3000000), FT_OK);
  std::vector<std::string> requests = Requests();
  ASSERT_EQ(requests.size(), before + 2);
  EXPECT_EQ(requests[before], "bitmode 01ff");
  // The divisor of 3000000 baud: 0 (the chip's fastest rate).
  EXPECT_EQ(requests[before + 1], "baud 0000 0000");
}

TEST_F(UsbStackTest, LibftdiRefusesTheUnquarteredRateInBitBang) {
  // What the driver's order avoids, straight from libftdi1.
  platform::DynamicLibrary raw;
  ASSERT_TRUE(raw.Open("libftdi1.so.2"));
  auto newContext = reinterpret_cast<ftdi::New_t>(raw.Symbol("ftdi_new"));
  auto freeContext = reinterpret_cast<ftdi::Free_t>(raw.Symbol("ftdi_free"));
  auto openDesc = reinterpret_cast<int (*)(ftdi::Context*, int, int, const char*, const char*)>(raw.Symbol("ftdi_usb_open_desc"));
  auto setBitmode = reinterpret_cast<ftdi::SetBitmode_t>(raw.Symbol("ftdi_set_bitmode"));
  auto setBaudrate = reinterpret_cast<ftdi::SetBaudrate_t>(raw.Symbol("ftdi_set_baudrate"));
  ftdi::Context* context = newContext();
  ASSERT_EQ(openDesc(context, 0x0403, 0x6001, nullptr, kSerial), 0);
  EXPECT_EQ(setBaudrate(context, 3000000), 0);
  ASSERT_EQ(setBitmode(context, 0xFF, ftdi::kBitmodeBitbang), 0);
  EXPECT_LT(setBaudrate(context, 3000000), 0);
  EXPECT_EQ(setBaudrate(context, 750000), 0);
  freeContext(context);
  std::vector<std::string> requests = Requests();
  ASSERT_GE(requests.size(), 3u);
  EXPECT_EQ(requests[requests.size() - 1], requests[requests.size() - 3]) << "750000 in bit-bang != 3000000 before";
}

TEST_F(UsbStackTest, AThousandTickSizedWritesArriveInOrder) {
  FT_HANDLE handle = Open();
  ASSERT_EQ(library_.SetBitMode(handle, 0xFF, FT_BITMODE_ASYNC_BITBANG), FT_OK);
  ASSERT_EQ(library_.SetTimeouts(handle, 5), FT_OK);
  std::uint8_t block[128];
  for (int w = 0; w < 1000; ++w) {
    for (int i = 0; i < 128; ++i) block[i] = static_cast<std::uint8_t>(w * 7 + i);
    ASSERT_EQ(library_.Write(handle, block, sizeof block), FT_OK) << "write " << w;
  }
  std::lock_guard<std::mutex> lock(chip_.mutex);
  ASSERT_EQ(chip_.received.size(), 128000u);
  for (int w = 0; w < 1000; w += 111)
    for (int i = 0; i < 128; i += 31) EXPECT_EQ(chip_.received[w * 128 + i], static_cast<std::uint8_t>(w * 7 + i));
}

TEST_F(UsbStackTest, AStalledWriteFailsAfterItsTimeout) {
  FT_HANDLE handle = Open();
  ASSERT_EQ(library_.SetTimeouts(handle, 5), FT_OK);
  {
    std::lock_guard<std::mutex> lock(chip_.mutex);
    chip_.stalled = true;
  }
  std::uint8_t block[128] = {};
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(library_.Write(handle, block, sizeof block), FT_IO_ERROR);
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(took, 1.0) << "the 5 ms write timeout did not hold";
  {
    std::lock_guard<std::mutex> lock(chip_.mutex);
    chip_.stalled = false;
  }
  EXPECT_EQ(library_.Write(handle, block, sizeof block), FT_OK);
}

TEST_F(UsbStackTest, TheNameRoundTripsThroughTheImageWithItsChecksum) {
  FT_HANDLE handle = Open();
  const std::uint8_t name[10] = {'B', 'E', 'N', 'C', 'H', 0, 0, 0, 0, 0};
  ASSERT_EQ(library_.WriteUserArea(handle, name, sizeof name), FT_OK);
  std::uint8_t image[128];
  {
    std::lock_guard<std::mutex> lock(chip_.mutex);
    EXPECT_EQ(chip_.eepromWrites, 64);  // the whole image, word by word
    std::memcpy(image, chip_.eeprom, sizeof image);
  }
  eeprom::Layout layout = eeprom::Decode(image, sizeof image);
  ASSERT_TRUE(layout.valid) << layout.problem;
  EXPECT_EQ(layout.serial, kSerial);
  EXPECT_EQ(std::memcmp(image + layout.freeStart, name, sizeof name), 0);
  std::uint8_t read[64] = {};
  std::uint32_t n = 0;
  ASSERT_EQ(library_.ReadUserArea(handle, read, sizeof read, n), FT_OK);
  EXPECT_EQ(n, layout.FreeSize());
  EXPECT_STREQ(reinterpret_cast<const char*>(read), "BENCH");
  // The same name again: nothing is written.
  ASSERT_EQ(library_.WriteUserArea(handle, name, sizeof name), FT_OK);
  std::lock_guard<std::mutex> lock(chip_.mutex);
  EXPECT_EQ(chip_.eepromWrites, 64);
}

TEST_F(UsbStackTest, ADamagedImageIsLeftAlone) {
  {
    std::lock_guard<std::mutex> lock(chip_.mutex);
    chip_.eeprom[0x30] ^= 0x01;  // checksum no longer matches
  }
  FT_HANDLE handle = Open();
  const std::uint8_t name[10] = {'B', 'E', 'N', 'C', 'H', 0, 0, 0, 0, 0};
  EXPECT_NE(library_.WriteUserArea(handle, name, sizeof name), FT_OK);
  std::lock_guard<std::mutex> lock(chip_.mutex);
  EXPECT_EQ(chip_.eepromWrites, 0);
}

}  // namespace
}  // namespace mervane::testing
