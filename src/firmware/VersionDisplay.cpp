#include "firmware/VersionDisplay.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "device/Commands.h"

namespace qvfw::firmware {
namespace {

using device::Device;

// printf-style "%.2c" joined by '.': the character itself; a zero byte ends the text there.
std::string Characters(const uint8_t* bytes, size_t n) {
  std::string text;
  for (size_t i = 0; i < n; ++i) {
    if (i) text += '.';
    if (bytes[i] == 0) break;
    text += static_cast<char>(bytes[i]);
  }
  return text;
}

// Decimal fields joined by '.'; `twoDigitsFirst` pads the first field to two digits too.
std::string Numbers(std::initializer_list<int> values, bool twoDigitsFirst) {
  std::string text;
  bool first = true;
  for (int v : values) {
    char field[8];
    std::snprintf(field, sizeof field, first && !twoDigitsFirst ? "%d" : "%.2d", v);
    if (!first) text += '.';
    text += field;
    first = false;
  }
  return text;
}

bool BlockHasKey(const uint8_t* b, std::string_view key) {
  return b[0] == 0x55 && b[1] == 0xAA && b[2] == 0xAA && b[3] == 0x55 && std::memcmp(b + 4, key.data(), 3) == 0;
}

uint8_t MemoryByte(const Device& dev, uint16_t address, int index) {
  uint8_t reply[4] = {};
  device::ReadMemory(dev, address, reply);
  return reply[index];
}

bool MemoryCarriesKey(const Device& dev, uint16_t address, std::string_view key) {
  uint8_t reply[10] = {};
  return device::ReadMemory(dev, address, reply) && BlockHasKey(reply, key);
}

bool FlashLongBlockCarries(const Device& dev, uint32_t address, size_t offset, std::initializer_list<std::string_view> keys) {
  uint8_t block[1024] = {};
  if (!device::ReadFlashLong(dev, address, block)) return false;
  return std::any_of(keys.begin(), keys.end(), [&](std::string_view k) { return BlockHasKey(block + offset, k); });
}

bool NoneOf(std::string_view v, std::initializer_list<std::string_view> excluded) {
  return std::find(excluded.begin(), excluded.end(), v) == excluded.end();
}

}  // namespace

std::string FormatVersionText(ChipType type, const uint8_t (&b)[16], uint32_t transferred, bool altAnswered,
                              bool probeHolds) {
  switch (chips::Family(type).version) {
    case chips::VersionFormat::Five: return Numbers({b[6], b[7], b[12], b[13], b[14]}, false);
    case chips::VersionFormat::FiveWide: return Numbers({b[10], b[11], b[12], b[13], b[14]}, true);
    case chips::VersionFormat::FiveProbed:
      return Numbers({b[6], b[7], b[12], b[13], probeHolds ? b[14] ^ 1 : b[14]}, false);
    case chips::VersionFormat::AltChars:
      return altAnswered ? Characters(b + 12, 4) : Numbers({b[12], b[13], b[14], b[15]}, true);
    case chips::VersionFormat::KindChars:
      return b[6] == 2 ? Characters(b + 12, 4) : Numbers({b[12], b[13], b[14], b[15]}, true);
    case chips::VersionFormat::Default:
      if (transferred < 13) return Numbers({b[6], b[7]}, false);
      return Numbers({b[12], b[13], b[14]}, false);
  }
  return {};
}

bool BridgeMemoryProbe(const Device& dev) {
  uint8_t original = 0;
  // Without the byte that is there, nothing may be written back: leave the memory alone.
  if (!device::ReadMemory(dev, 0x506A, {&original, 1})) return false;
  const uint8_t zero = 0;
  device::WriteMemory(dev, 0x506A, {&zero, 1});
  uint8_t back = 0;
  const bool holds = device::ReadMemory(dev, 0x506A, {&back, 1}) && back == 1;
  const uint8_t restore = holds ? static_cast<uint8_t>(original ^ 1) : original;
  device::WriteMemory(dev, 0x506A, {&restore, 1});
  return holds;
}

VersionRead ReadVersionText(const Device& dev, ChipType type) {
  VersionRead out;
  uint8_t info[16] = {};
  uint32_t transferred = 0;
  if (!device::ReadChipInfo(dev, info, &transferred)) return out;
  std::copy(std::begin(info), std::end(info), out.info.begin());
  if (info[0] != 0xF4 || info[1] != 0xE7) {
    out.kind = VersionRead::Kind::NotQavion;
    return out;
  }
  const chips::VersionFormat format = chips::Family(type).version;
  bool altAnswered = false;
  if (format == chips::VersionFormat::AltChars) {
    uint8_t alt[16] = {};
    altAnswered = device::ReadChipInfoAlt(dev, alt);
  }
  const bool probeHolds = format == chips::VersionFormat::FiveProbed && BridgeMemoryProbe(dev);
  out.kind = VersionRead::Kind::Ok;
  out.text = FormatVersionText(type, info, transferred, altAnswered, probeHolds);
  return out;
}

bool InternalCodeRule(const Device& dev, ChipType type, std::string_view v, chips::FlashVendor vendor) {
  auto flag = [&] { return MemoryByte(dev, 0x7038, 2); };
  switch (type) {
    case ChipType::QV40776: return (flag() & 0x01) && MemoryCarriesKey(dev, 0xC000, "776");
    case ChipType::QVB784: return (flag() & 0x04) && MemoryCarriesKey(dev, 0xC000, "784");
    case ChipType::QVB788:
    case ChipType::QVB788Alias:
      return (flag() & 0x04) && NoneOf(v, {"7.07.00.16.00", "11.19.02.16.00", "4.10.02.16.00"}) &&
             FlashLongBlockCarries(dev, 0x1000, 0, {"781", "788"});
    case ChipType::QVS882:
      return (flag() & 0x10) &&
             NoneOf(v, {"9.18.01.16.00", "12.01.02.16.00", "2.05.11.16.00", "4.08.11.16.00", "5.13.11.16.00"}) &&
             FlashLongBlockCarries(dev, 0x1000, 0, {"882"});
    case ChipType::QVS876:
    case ChipType::QVS879: {
      if (!(MemoryByte(dev, 0x70F0, 3) & 0x01) || !NoneOf(v, {"49.48.48.48", "49.48.48.49"})) return false;
      if (vendor == chips::FlashVendor::Unknown) return true;
      uint8_t params[20] = {};
      if (device::ReadBridgeParameters(dev, params) && params[8] != 0) return params[19] != 0;
      return type == ChipType::QVS876 ? FlashLongBlockCarries(dev, 0xBC00, 0x3F0, {"876"})
                        : FlashLongBlockCarries(dev, 0x7C00, 0x3F0, {"879"});
    }
    case ChipType::QVS813: {
      uint8_t params[32] = {};
      if (device::ReadBridgeParameters(dev, params) && params[19] == 1) return true;
      uint8_t alt[16] = {};
      return device::ReadChipInfoAlt(dev, alt) || v != "00.00.00.01";
    }
    case ChipType::QVS812:
    case ChipType::QVS814:
    case ChipType::QVS817:
    case ChipType::QVS818: {
      uint8_t params[20] = {};
      return device::ReadBridgeParameters(dev, params) && params[19] != 0;
    }
    case ChipType::QVB826:
    case ChipType::QV40776E: {
      if (!(flag() & 0x01) || !NoneOf(v, {"2.00.00", "0.160.144"})) return false;
      uint8_t block[1024] = {};
      if (!device::ReadFlash(dev, 0x4000, block)) return false;
      return block[0] == 0x55 && block[1] == 0xAA && block[2] == 'Q' && block[3] == 'V' &&
             std::memcmp(block + 4, chips::ChipModelKey(type).data(), 3) == 0;
    }
    default: return true;
  }
}

}  // namespace qvfw::firmware
