#pragma once
// The disk-resident firmware procedure of the QV40776 without serial flash (chip type 30, no
// flash vendor): its firmware lies in an area near the end of the attached disk, reached with
// READ/WRITE DMA EXT through the bridge, 64 KiB at a time. Erase the area's first 64 KiB (keeping
// its six marker bytes), back it up to a file, or program an image into it with read-back
// verification.
//
// Every transfer is checked. Where the area starts inside the blocks the host addresses as user
// data (the bridge reports no reserved area past the capacity), nothing is written unless the user
// asked for it: the options' forceUserArea, or a confirmation through the host that names the risk.
// Before the first write, the blocks about to change are kept as a recovery file.

#include <algorithm>
#include <cstdint>
#include <optional>

#include "flash/EraseOnWrite.h"

namespace qvfw::flash {

inline constexpr uint32_t kDiskStep = 0x10000;  // one transfer, and the area erased and backed up

// The facts one operation works from.
struct DiskArea {
  uint32_t sectorSize = 512;       // S
  uint32_t reservedLba = 0;        // R
  uint64_t sectorCount = 0;        // C: the disk's addressable capacity in blocks
  uint64_t lastLba = 0;            // READ CAPACITY's last block
  bool flag = false;               // F
  bool reserved = false;           // the bridge reports a reserved area (R was read from its marker)
  std::optional<uint64_t> start;   // X; nothing: it would lie below block 0
  // The first block past what the host addresses as user data.
  uint64_t UserAreaEnd() const { return std::max(sectorCount, lastLba + (lastLba ? 1 : 0)); }
  uint64_t BlocksPerStep() const { return kDiskStep / sectorSize; }
};

DiskArea ReadDiskArea(const device::Device& dev, chips::ChipType chip);

// The entry: erase-only, backup-only, or programming, as the options say.
Result DiskFirmwareProcedure(Job& job);

Result EraseDiskFirmware(Job& job);
Result BackupDiskFirmware(Job& job);
Result ProgramDiskFirmware(Job& job);

}  // namespace qvfw::flash
