#include "firmware/FlashSize.h"

#include <cstring>

#include "device/Commands.h"
#include "device/FlashOps.h"

namespace qvfw::firmware {
namespace {

using device::Device;

// Capacity code c from 0x10 up: 64 KiB << (c - 0x10), accepted up to `maxCode`.
uint32_t ByCapacityCode(uint8_t c, uint8_t maxCode) {
  return c >= 0x10 && c <= maxCode ? 64u << (c - 0x10) : 64u;
}

struct Reader {
  const Device& dev;
  FlashIdRoute route;
  // Reads `n` bytes for `opcode` into a zeroed six-byte buffer; the fallback opcodes carry the
  // address-phase flag on the ById4 route, which always reads four bytes.
  bool Read(uint8_t opcode, uint8_t* buffer, size_t n, bool fallback) const {
    std::memset(buffer, 0, 6);
    if (route == FlashIdRoute::Spi) return device::SpiReadId(dev, opcode, {buffer, n});
    return device::ReadFlashId4(dev, opcode, fallback, {buffer, 4});
  }
};

}  // namespace

std::array<uint8_t, 4> DetectFlashSize(const Device& dev, device::FlashDescriptor& flash, FlashIdRoute route) {
  if (flash.vendor == 0) {
    if (route == FlashIdRoute::Spi) device::IdentifyFlash(dev, flash);
    else device::IdentifyFlashById4(dev, flash);
  }
  const bool spiRoute = route == FlashIdRoute::Spi;
  const Reader reader{dev, route};
  uint8_t j[6];
  const bool ok = reader.Read(0x9F, j, 4, false);
  std::array<uint8_t, 4> jedec = {j[0], j[1], j[2], j[3]};
  uint8_t b[6];
  uint32_t size = 64;

  switch (flash.vendor) {
    case 1:  // PMC
      if (ok && j[0] == 0x7F && j[1] == 0x9D) {
        switch (j[2]) {
          case 0x21: case 0x7C: size = 128; break;
          case 0x22: case 0x7D: size = 256; break;
          case 0x7E: size = 512; break;
          default: size = 64;
        }
      } else if (reader.Read(0xAB, b, 6, true) && b[3] == 0x9D && b[4] == 0x7B) {
        size = 64;
      }
      break;
    case 2:  // SST
      if (ok && j[0] == 0xBF) {
        size = j[2] == 0x41 ? 2048 : j[2] == 0x4A ? 4096 : 64;
      } else if (reader.Read(0xAB, b, 6, true) && b[3] == 0xBF) {
        size = b[4] == 0x48 ? 64 : b[4] == 0x49 ? 128 : 64;
      }
      break;
    case 3:  // ST/EON/MXIC
      if (ok && j[0] == 0x20) size = ByCapacityCode(j[2], 0x16);
      else if (reader.Read(0xAB, b, 4, true) && b[0] == 0xFF && b[3] == 0x05) size = 64;
      break;
    case 4:  // ATMEL
      if (ok && j[0] == 0x1F) {
        if (j[1] == 0x65) size = 64;
        else if (j[1] == 0x66) size = 128;
        else if (j[1] == 0x44 && spiRoute) size = 512;
      } else if (reader.Read(0x15, b, 4, true) && b[0] == 0x1F && b[1] == 0x60) {
        size = 128;
      }
      break;
    case 5:  // MXIC
      if (ok && j[0] == 0xC2 && (j[1] == 0x20 || j[1] == 0x22)) size = ByCapacityCode(j[2], 0x17);
      break;
    case 6:  // WINBOND
      if (ok && j[0] == 0xEF) size = j[2] == 0x18 && spiRoute ? 16384 : ByCapacityCode(j[2], 0x14);
      break;
    case 7:  // AMIC
      if (ok && j[0] == 0x37) {
        size = ByCapacityCode(j[2], 0x16);
      } else if (ok && j[0] == 0x7F && j[1] == 0x37) {
        switch (j[3]) {
          case 0x14: size = 1024; break;
          case 0x21: size = 128; break;
          case 0x22: size = 256; break;
          default: size = 64;
        }
      }
      break;
    case 8:  // EON
      if (ok && j[0] == 0x1C) size = ByCapacityCode(j[2], 0x17);
      break;
    case 9:  // ESMT
      if (ok && j[0] == 0x8C) {
        if (j[1] == 0x30 && j[2] >= 0x11 && j[2] <= 0x14) size = ByCapacityCode(j[2], 0x14);
        else if (j[1] == 0x21 && j[2] == 0x15) size = 2048;
        else if (j[1] == 0x20 && j[2] == 0x16) size = 4096;
      }
      break;
    case 10:  // SANYO
      if (ok && j[0] == 0x62 && reader.Read(0xAB, b, 4, true) && b[3] == 0x44) size = 256;
      break;
    case 11:  // GIGADEVICE
      if (ok && j[0] == 0xC8 && j[1] == 0x40) size = ByCapacityCode(j[2], 0x13);
      break;
    case 12:  // VPOWERWINS
      if (ok && j[0] == 0xA1 && j[1] == 0x31 && (j[2] == 0x12 || j[2] == 0x13)) size = ByCapacityCode(j[2], 0x13);
      break;
    default:
      break;
  }
  flash.sizeKiB = size;
  if (!ok) jedec = {};
  return jedec;
}

}  // namespace qvfw::firmware
