#include "firmware/FlashSize.h"

#include <algorithm>
#include <cstring>
#include <span>

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

std::array<uint8_t, 4> DetectFlashSize(const Device& dev, device::FlashDescriptor& flash, FlashIdRoute route,
                                       FlashSizeDetail* detail) {
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
  // A row that recognises the part sets the size; 64 KiB stands where none does.
  std::optional<uint32_t> found;
  const auto byCode = [](uint8_t c, uint8_t maxCode) -> std::optional<uint32_t> {
    if (c >= 0x10 && c <= maxCode) return ByCapacityCode(c, maxCode);
    return std::nullopt;
  };

  switch (flash.vendor) {
    case 1:  // PMC
      if (ok && j[0] == 0x7F && j[1] == 0x9D) {
        switch (j[2]) {
          case 0x20: found = 64; break;
          case 0x21: case 0x7C: found = 128; break;
          case 0x22: case 0x7D: found = 256; break;
          case 0x7E: found = 512; break;
          default: break;
        }
      } else if (reader.Read(0xAB, b, 6, true) && b[3] == 0x9D && b[4] == 0x7B) {
        found = 64;
      }
      break;
    case 2:  // SST
      if (ok && j[0] == 0xBF) {
        if (j[2] == 0x41) found = 2048;
        else if (j[2] == 0x4A) found = 4096;
      } else if (reader.Read(0xAB, b, 6, true) && b[3] == 0xBF) {
        if (b[4] == 0x48) found = 64;
        else if (b[4] == 0x49) found = 128;
      }
      break;
    case 3:  // ST/EON/MXIC
      if (ok && j[0] == 0x20) found = byCode(j[2], 0x16);
      else if (reader.Read(0xAB, b, 4, true) && b[0] == 0xFF && b[3] == 0x05) found = 64;
      break;
    case 4:  // ATMEL
      if (ok && j[0] == 0x1F) {
        if (j[1] == 0x65) found = 64;
        else if (j[1] == 0x66) found = 128;
        else if (j[1] == 0x44 && spiRoute) found = 512;
      } else if (reader.Read(0x15, b, 4, true) && b[0] == 0x1F && b[1] == 0x60) {
        found = 128;
      }
      break;
    case 5:  // MXIC
      if (ok && j[0] == 0xC2 && (j[1] == 0x20 || j[1] == 0x22)) found = byCode(j[2], 0x17);
      break;
    case 6:  // WINBOND
      if (ok && j[0] == 0xEF) found = j[2] == 0x18 && spiRoute ? std::optional<uint32_t>(16384) : byCode(j[2], 0x14);
      break;
    case 7:  // AMIC
      if (ok && j[0] == 0x37) {
        found = byCode(j[2], 0x16);
      } else if (ok && j[0] == 0x7F && j[1] == 0x37) {
        switch (j[3]) {
          case 0x14: found = 1024; break;
          case 0x20: found = 64; break;
          case 0x21: found = 128; break;
          case 0x22: found = 256; break;
          default: break;
        }
      }
      break;
    case 8:  // EON
      if (ok && j[0] == 0x1C) found = byCode(j[2], 0x17);
      break;
    case 9:  // ESMT
      if (ok && j[0] == 0x8C) {
        if (j[1] == 0x30 && j[2] >= 0x11 && j[2] <= 0x14) found = ByCapacityCode(j[2], 0x14);
        else if (j[1] == 0x21 && j[2] == 0x15) found = 2048;
        else if (j[1] == 0x20 && j[2] == 0x16) found = 4096;
      }
      break;
    case 10:  // SANYO
      if (ok && j[0] == 0x62 && reader.Read(0xAB, b, 4, true) && b[3] == 0x44) found = 256;
      break;
    case 11:  // GIGADEVICE
      if (ok && j[0] == 0xC8 && j[1] == 0x40) found = byCode(j[2], 0x13);
      break;
    case 12:  // VPOWERWINS
      if (ok && j[0] == 0xA1 && j[1] == 0x31 && (j[2] == 0x12 || j[2] == 0x13)) found = ByCapacityCode(j[2], 0x13);
      break;
    default:
      break;
  }
  flash.sizeKiB = found.value_or(64);
  if (detail) {
    detail->idRead = ok;
    detail->classified = found.has_value();
  }
  if (!ok) jedec = {};
  return jedec;
}

namespace {

// The JEDEC manufacturer bytes of each maker code (0x7F is the continuation code the older PMC
// and AMIC parts begin with).
std::span<const uint8_t> Makers(uint8_t vendor) {
  static constexpr uint8_t kPmc[] = {0x7F, 0x9D}, kSst[] = {0xBF}, kStEonMxic[] = {0x20, 0x1C, 0xC2},
                           kAtmel[] = {0x1F}, kMxic[] = {0xC2}, kWinbond[] = {0xEF}, kAmic[] = {0x37, 0x7F},
                           kEon[] = {0x1C}, kEsmt[] = {0x8C}, kSanyo[] = {0x62}, kGiga[] = {0xC8}, kVpw[] = {0xA1};
  switch (vendor) {
    case 1: return kPmc;
    case 2: return kSst;
    case 3: return kStEonMxic;
    case 4: return kAtmel;
    case 5: return kMxic;
    case 6: return kWinbond;
    case 7: return kAmic;
    case 8: return kEon;
    case 9: return kEsmt;
    case 10: return kSanyo;
    case 11: return kGiga;
    case 12: return kVpw;
    default: return {};
  }
}

}  // namespace

bool JedecMakerAgrees(uint8_t vendor, const std::array<uint8_t, 4>& jedec) {
  const std::span<const uint8_t> makers = Makers(vendor);
  return makers.empty() || std::find(makers.begin(), makers.end(), jedec[0]) != makers.end();
}

std::optional<uint32_t> SizeFromJedec(uint8_t vendor, const std::array<uint8_t, 4>& j) {
  const bool named = !(j[0] == 0x00 && j[1] == 0x00) && !(j[0] == 0xFF && j[1] == 0xFF);
  if (!named) return std::nullopt;
  // A maker the bridge did not name (the AMIC and ATMEL parts its probes found) is the one whose
  // manufacturer byte the id begins with; 0x7F is followed by the maker's own byte.
  if (vendor == 0) {
    const uint8_t maker = j[0] == 0x7F ? j[1] : j[0];
    for (uint8_t v = 1; v <= 12 && vendor == 0; ++v) {
      const std::span<const uint8_t> makers = Makers(v);
      if (v != 3 && std::find(makers.begin(), makers.end(), maker) != makers.end()) vendor = v;
    }
  }
  switch (vendor) {
    case 1:
      if (j[0] == 0x7F && j[1] == 0x9D) {
        if (j[2] == 0x20) return 64;
        if (j[2] == 0x21 || j[2] == 0x7C) return 128;
        if (j[2] == 0x22 || j[2] == 0x7D) return 256;
        if (j[2] == 0x7E) return 512;
      }
      break;
    case 2:
      if (j[0] == 0xBF && j[2] == 0x41) return 2048;
      if (j[0] == 0xBF && j[2] == 0x4A) return 4096;
      break;
    case 4:
      if (j[0] == 0x1F && j[1] == 0x65) return 64;
      if (j[0] == 0x1F && j[1] == 0x66) return 128;
      if (j[0] == 0x1F && j[1] == 0x44) return 512;
      break;
    case 7:
      if (j[0] == 0x7F && j[1] == 0x37) {
        if (j[3] == 0x14) return 1024;
        if (j[3] == 0x20) return 64;
        if (j[3] == 0x21) return 128;
        if (j[3] == 0x22) return 256;
      }
      break;
    case 9:
      if (j[0] == 0x8C && j[1] == 0x21 && j[2] == 0x15) return 2048;
      if (j[0] == 0x8C && j[1] == 0x20 && j[2] == 0x16) return 4096;
      break;
    default: break;
  }
  if (j[2] >= 0x10 && j[2] <= 0x18) return 64u << (j[2] - 0x10);
  return std::nullopt;
}

}  // namespace qvfw::firmware
