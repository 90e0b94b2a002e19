#include "device/DiskArea.h"

#include <vector>

#include "device/Commands.h"

namespace qvfw::device {

bool HasReservedArea(const Device& dev, chips::ChipType chip) {
  using chips::ChipType;
  if ((chip >= ChipType::QVS876 && chip <= ChipType::QVS818) || chip == ChipType::QVS879) return false;
  if (chip == ChipType::QV40776E) {
    uint8_t reply[18] = {};
    return ReadBridgeParameters(dev, reply) && reply[8] != 0 && reply[16] == 1;
  }
  uint8_t reply[4] = {};
  return ReadMemory(dev, 0xC000, reply) && reply[0] == 0x55 && reply[1] == 0xAA;
}

uint32_t GetReservedAreaLba(const Device& dev, chips::ChipType chip, bool* hasReservedArea) {
  const auto last = static_cast<uint32_t>(GetLastLba(dev));
  const bool flag = ReservedAreaFlag(dev);
  const uint64_t count = GetDiskSectorCount(dev);
  const auto lo = static_cast<uint32_t>(count);
  const auto hi = static_cast<uint32_t>(count >> 32);
  const uint32_t sectorSize = GetLogicalSectorSize(dev);
  const bool reserved = HasReservedArea(dev, chip);
  if (hasReservedArea) *hasReservedArea = reserved;

  uint32_t fallback = hi != 0 ? lo - 1 : last;
  if (flag) ++fallback;
  if (!reserved || sectorSize == 0) return fallback;
  std::vector<uint8_t> blocks(size_t{4} * sectorSize, 0);
  if (!AtaReadDmaExt(dev, count, blocks, sectorSize)) return fallback;
  const uint32_t value = uint32_t{blocks[151]} << 24 | uint32_t{blocks[152]} << 16 | uint32_t{blocks[153]} << 8 | blocks[154];
  if (value != 0) return value;
  return hi != 0 ? (lo & 0xFF) : 257;
}

std::optional<uint64_t> DiskAreaStart(uint32_t reservedLba, uint64_t sectorCount, bool flag) {
  uint64_t x = (sectorCount & 0xFFFF'FFFF'0000'0000ull) | reservedLba;
  if (!flag) {
    if (x == 0) return std::nullopt;
    --x;
  }
  x &= ~uint64_t{0xFF};
  if (x < 256) return std::nullopt;
  return x - 256;
}

}  // namespace qvfw::device
