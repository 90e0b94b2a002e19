#include "codec/ImageChecksum.h"

#include <array>
#include <cstring>

namespace qvfw::codec {
namespace {

constexpr std::array<uint16_t, 16> MakeNibbleTable() {
  std::array<uint16_t, 16> t{};
  for (uint16_t n = 0; n < 16; ++n) {
    uint16_t c = static_cast<uint16_t>(n << 12);
    for (int b = 0; b < 4; ++b) c = static_cast<uint16_t>(c & 0x8000 ? (c << 1) ^ 0x1021 : c << 1);
    t[n] = c;
  }
  return t;
}
constexpr auto kNibble = MakeNibbleTable();

uint16_t FeedNibble(uint16_t crc, uint8_t nibble) {
  return static_cast<uint16_t>((crc << 4) ^ kNibble[((crc >> 12) ^ nibble) & 0x0F]);
}

}  // namespace

uint16_t Crc16Xmodem(std::span<const uint8_t> bytes, uint16_t crc) {
  for (uint8_t b : bytes) crc = FeedNibble(FeedNibble(crc, b >> 4), b & 0x0F);
  return crc;
}

uint16_t Crc16XmodemBitwise(std::span<const uint8_t> bytes, uint16_t crc) {
  for (uint8_t b : bytes) {
    crc ^= static_cast<uint16_t>(b << 8);
    for (int i = 0; i < 8; ++i) crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

void NibbleOrder(std::span<const uint8_t> in, std::span<uint8_t> out) {
  for (size_t g = 0; g < in.size(); g += 4)
    for (size_t k = 0; k < 4; ++k) {
      const size_t from = g + 3 - k;
      if (g + k < out.size()) out[g + k] = from < in.size() ? in[from] : 0;
    }
}

uint16_t ImageChecksum(std::span<const uint8_t> bytes) {
  uint16_t crc = 0;
  for (size_t g = 0; g < bytes.size(); g += 4) {
    uint32_t word = 0;
    for (size_t k = 0; k < 4; ++k) word |= static_cast<uint32_t>(g + k < bytes.size() ? bytes[g + k] : 0) << (8 * k);
    for (int shift = 28; shift >= 0; shift -= 4) crc = FeedNibble(crc, static_cast<uint8_t>(word >> shift));
  }
  return crc;
}

void StoreImageChecksum(std::span<uint8_t> image, uint32_t codeAreaEnd) {
  const uint16_t crc = ImageChecksum(image.first(codeAreaEnd - 4));
  image[codeAreaEnd - 2] = static_cast<uint8_t>(crc >> 8);
  image[codeAreaEnd - 1] = static_cast<uint8_t>(crc);
}

bool ImageChecksumHolds(std::span<const uint8_t> image, uint32_t codeAreaEnd) {
  if (image.size() < codeAreaEnd || codeAreaEnd < 4) return false;
  const uint16_t stored = static_cast<uint16_t>(image[codeAreaEnd - 2] << 8 | image[codeAreaEnd - 1]);
  return ImageChecksum(image.first(codeAreaEnd - 4)) == stored;
}

bool StorageBankValid(std::span<const uint8_t> bank, std::string_view modelKey, uint32_t signatureAt,
                      uint32_t codeAreaEnd) {
  static constexpr uint8_t kMarker[4] = {0x55, 0xAA, 0xAA, 0x55};
  if (bank.size() < 0x10000 || modelKey.size() < 3 || signatureAt + 7 > bank.size()) return false;
  if (std::memcmp(bank.data() + signatureAt, kMarker, 4) != 0) return false;
  if (std::memcmp(bank.data() + signatureAt + 4, modelKey.data(), 3) != 0) return false;
  return ImageChecksumHolds(bank, codeAreaEnd);
}

}  // namespace qvfw::codec
