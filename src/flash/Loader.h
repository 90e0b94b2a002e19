#pragma once
// The loader-based procedure of the QVS810 (chip type 26): its firmware takes no flash data in its
// write commands but offers a 512-byte RAM buffer (number 100, at RAM 0xC800) and commands that
// move data between that buffer and the flash. Erase the whole flash, back up its first 256 KiB,
// or program an image in 256-byte steps with three attempts and a read-back comparison that skips
// the two RAM-download header areas.
//
// Before the flash is erased, all of it is kept as a recovery file (unless the options skip it).

#include <cstdint>
#include <span>

#include "flash/EraseOnWrite.h"

namespace qvfw::flash {

inline constexpr uint8_t kLoaderRamBuffer = 100;
inline constexpr uint16_t kLoaderRamAddress = 0xC800;
inline constexpr uint32_t kLoaderBlock = 512;
inline constexpr uint32_t kLoaderStep = 256;
inline constexpr uint32_t kLoaderBackupLength = 0x40000;

// The entry: erase-only, backup-only, or programming, as the options say.
Result LoaderProcedure(Job& job);

// Erases the whole flash, pauses 5 s, then programs `image` from flash address 0 in 512-byte
// blocks (zero-padded), two 256-byte steps per block. False at the first refused command.
bool LoaderWrite(Job& job, std::span<const uint8_t> image);
// Reads `out.size()` bytes from flash address 0 in 512-byte blocks (status "ReadFlash...").
bool LoaderRead(Job& job, std::span<uint8_t> out);

}  // namespace qvfw::flash
