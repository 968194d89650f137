// Layout, checksum and user area of the USB chip's EEPROM image.
#include "hardware/eeprom_image.h"

#include <algorithm>
#include <cstring>

namespace mervane::eeprom {

namespace {
constexpr std::size_t kPointerBase = 0x0E;  // manufacturer, product, serial: (offset | 0x80, length) pairs
constexpr std::size_t kFirstString = 0x14;  // strings never start among the configuration words
constexpr std::size_t kStringStart = 0x98;  // where a FT232R's strings begin, before the size wraps it
constexpr std::uint8_t kStringType = 0x03;

bool SizeKnown(std::size_t size) { return size == 128 || size == 256; }

std::uint16_t Word(const std::uint8_t* image, std::size_t at) {
  return static_cast<std::uint16_t>(image[at] | (image[at + 1] << 8));
}
}  // namespace

std::uint16_t Checksum(const std::uint8_t* image, std::size_t size) {
  std::uint16_t sum = 0xAAAA;
  for (std::size_t at = 0; at + 2 < size; at += 2) {
    sum = static_cast<std::uint16_t>(sum ^ Word(image, at));
    sum = static_cast<std::uint16_t>((sum << 1) | (sum >> 15));
  }
  return sum;
}

bool ChecksumValid(const std::uint8_t* image, std::size_t size) {
  return size >= 4 && size % 2 == 0 && Word(image, size - 2) == Checksum(image, size);
}

void StoreChecksum(std::uint8_t* image, std::size_t size) {
  std::uint16_t sum = Checksum(image, size);
  image[size - 2] = static_cast<std::uint8_t>(sum & 0xFF);
  image[size - 1] = static_cast<std::uint8_t>(sum >> 8);
}

Layout Decode(const std::uint8_t* image, std::size_t size) {
  Layout layout;
  auto fail = [&](const char* problem) {
    layout.problem = problem;
    return layout;
  };
  if (image == nullptr || !SizeKnown(size)) return fail("unknown EEPROM size");
  if (std::all_of(image, image + size, [](std::uint8_t b) { return b == 0xFF; })) return fail("blank EEPROM");
  if (!ChecksumValid(image, size)) return fail("EEPROM checksum wrong");
  std::string* texts[] = {&layout.manufacturer, &layout.product, &layout.serial};
  std::size_t end = 0;
  for (std::size_t s = 0; s < 3; ++s) {
    std::size_t length = image[kPointerBase + 2 * s + 1];
    if (length == 0) continue;
    std::size_t offset = image[kPointerBase + 2 * s] & (size - 1);
    if (length < 2 || length % 2 != 0 || offset < kFirstString || offset + length > size - 2)
      return fail("string descriptor outside the image");
    if (image[offset] != length || image[offset + 1] != kStringType) return fail("string descriptor damaged");
    for (std::size_t at = offset + 2; at < offset + length; at += 2) texts[s]->push_back(static_cast<char>(image[at]));
    end = std::max(end, offset + length);
  }
  if (end == 0) return fail("no string descriptors");
  // The vendor's tools and libftdi1 follow the strings with a legacy port-name trio (02 03 xx).
  if (end + 3 <= size - 2 && image[end] == 0x02 && image[end + 1] == 0x03) end += 3;
  layout.freeStart = std::min(end, size - 2);
  layout.freeEnd = size - 2;
  layout.valid = true;
  return layout;
}

std::size_t PutUserArea(std::uint8_t* image, std::size_t size, const std::uint8_t* data, std::size_t length) {
  Layout layout = Decode(image, size);
  if (!layout.valid || data == nullptr) return 0;
  std::size_t n = std::min(length, layout.FreeSize());
  std::memcpy(image + layout.freeStart, data, n);
  StoreChecksum(image, size);
  return n;
}

void BuildImage(std::uint8_t* image, std::size_t size, const std::string& manufacturer, const std::string& product,
                const std::string& serial, const std::uint8_t* userArea, std::size_t userLength) {
  std::memset(image, 0, size);
  const std::uint8_t head[] = {0x00, 0x40, 0x03, 0x04, 0x01, 0x60, 0x00, 0x06, 0xA0, 0x2D, 0x08, 0x00, 0x00, 0x02};
  std::memcpy(image, head, sizeof head);
  image[0x14] = 0x23;  // CBUS pins: the FT232R's factory functions
  image[0x15] = 0x10;
  image[0x16] = 0x05;
  std::size_t at = kStringStart & (size - 1);
  const std::string* texts[] = {&manufacturer, &product, &serial};
  for (std::size_t s = 0; s < 3; ++s) {
    // Room for this string's header and the ones still to come, the trio and the checksum.
    std::size_t room = size - 2 - 3 - at - 2 * (2 - s);
    std::size_t chars = std::min(texts[s]->size(), (room - 2) / 2);
    std::size_t length = 2 + 2 * chars;
    image[kPointerBase + 2 * s] = static_cast<std::uint8_t>(at | 0x80);
    image[kPointerBase + 2 * s + 1] = static_cast<std::uint8_t>(length);
    image[at] = static_cast<std::uint8_t>(length);
    image[at + 1] = kStringType;
    for (std::size_t c = 0; c < chars; ++c) image[at + 2 + 2 * c] = static_cast<std::uint8_t>((*texts[s])[c]);
    at += length;
  }
  image[at] = 0x02;
  image[at + 1] = 0x03;
  image[at + 2] = 0x01;
  at += 3;
  if (userArea != nullptr) std::memcpy(image + at, userArea, std::min(userLength, size - 2 - at));
  StoreChecksum(image, size);
}

}  // namespace mervane::eeprom
