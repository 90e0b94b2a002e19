#pragma once
// Where a bridge without serial flash keeps its firmware: a reserved area near the end of the
// attached disk. The queries degrade to values rather than failing: a failed capacity read gives
// a last block of 0, a failed IDENTIFY a sector count of 0 and a sector size of 512, a failed
// parameter or memory read a 0 flag.

#include <cstdint>
#include <optional>

#include "chips/ChipFamilies.h"
#include "device/Transport.h"

namespace qvfw::device {

// Whether the bridge reports a reserved area past the disk's addressable capacity. The storage
// line (QVS876..QVS818, QVS879) never has one; the QV40776 says so in its parameter block; the
// others mark it with 55 AA at internal memory 0xC000.
bool HasReservedArea(const Device& dev, chips::ChipType chip);

// The number the firmware area's start is computed from: the marker (bytes 151..154 of the first
// block past the capacity) where the disk has a reserved area, else a value from the capacity.
// `hasReservedArea` (when given) receives the HasReservedArea answer the number was formed with.
uint32_t GetReservedAreaLba(const Device& dev, chips::ChipType chip, bool* hasReservedArea = nullptr);

// The first block of the firmware area from R (GetReservedAreaLba), the disk's sector count C and
// the flag F (ReservedAreaFlag): R with the high 32 bits of C, one less when F is clear, rounded
// down to 256 blocks, then 256 blocks lower. Nothing when that would lie below block 0.
std::optional<uint64_t> DiskAreaStart(uint32_t reservedLba, uint64_t sectorCount, bool flag);

}  // namespace qvfw::device
