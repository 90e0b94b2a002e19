#pragma once
#include <cstdint>

namespace qvfw::device {

// What flash identification finds out about the serial flash beside a bridge.
struct FlashDescriptor {
  uint8_t chipErase = 0xC7;
  uint8_t blockErase = 0xD8;
  uint8_t program = 0x02;
  uint8_t vendor = 0;  // FlashVendor code
  uint8_t sectorErase = 0x20;
  uint32_t sizeKiB = 0;
};

}  // namespace qvfw::device
