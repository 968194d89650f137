// The EEPROM image of the boxes' USB chip (FT232R family, 128 bytes; older chips of 256): where
// the string descriptors lie, the free user area after them, and the checksum in the last word.
// Pure functions, so that the libftdi1 driver writes the box's name without a user-area call and
// never writes an image it does not understand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace mervane::eeprom {

// What an image holds, as far as the name code cares.
struct Layout {
  bool valid = false;
  std::string problem;  // why it is not valid, for reports
  std::string manufacturer, product, serial;
  std::size_t freeStart = 0;  // first byte of the user area
  std::size_t freeEnd = 0;    // one past its last byte: the checksum word
  std::size_t FreeSize() const { return freeEnd - freeStart; }
};

// The chip's checksum over every word but the last: start 0xAAAA, each little-endian word
// XORed in, then rotated left by one bit.
std::uint16_t Checksum(const std::uint8_t* image, std::size_t size);
// Whether the last word holds the checksum of the rest.
bool ChecksumValid(const std::uint8_t* image, std::size_t size);
// Stores the checksum of the rest in the last word.
void StoreChecksum(std::uint8_t* image, std::size_t size);

// Reads the descriptor pointers (bytes 0x0E..0x13: offset | 0x80, length) and checks the whole
// image: size 128 or 256, not blank, checksum right, every string descriptor inside the image
// after the configuration words, with its own length and type 3. The user area starts after the
// last string (and after the 02 03 xx port-name trio the vendor's tools put there) and ends at
// the checksum.
Layout Decode(const std::uint8_t* image, std::size_t size);

// Puts at most `length` bytes of `data` at the start of a valid image's user area and renews the
// checksum; returns how many fitted (0 for an image that is not valid).
std::size_t PutUserArea(std::uint8_t* image, std::size_t size, const std::uint8_t* data, std::size_t length);

// An image as the vendor's tools and libftdi1 lay out a FT232R: configuration words, the three
// strings from 0x18 on, the port-name trio, `userArea` (what fits), checksum. For the emulator
// and the tests. Strings longer than the image allows are cut.
void BuildImage(std::uint8_t* image, std::size_t size, const std::string& manufacturer, const std::string& product,
                const std::string& serial, const std::uint8_t* userArea, std::size_t userLength);

}  // namespace mervane::eeprom
