#pragma once
// The whole-image procedure: the older USB bridges (QV40778, QV40779, QV40779A3, QV40776,
// QVB787 over USB, QVB826 and the QV40776 with a flash) whose firmware reaches the serial flash
// through the short flash commands. Programming erases the area the image needs, checks that it
// reads back blank, writes the whole image, keeps the 512-byte NVRAM block of small images and
// verifies everything; the erase-only and backup-only operations here serve the stepwise
// procedure too.
//
// Every operation first keeps the flash it is about to change as a recovery file (unless the
// options skip it). Outcomes carry the panel's status texts; a refused write or a mismatch after
// the erase is a failure.

#include <cstdint>
#include <span>

#include "flash/EraseOnWrite.h"

namespace qvfw::flash {

// Where these bridges keep the NVRAM block of images of at most 32 KiB.
inline constexpr uint32_t kWholeImageNvram = 0x8000;
inline constexpr uint32_t kWholeImageNvramSize = 512;

Result WholeImageProcedure(Job& job);

// Erase only: the whole flash image size (64 KiB), by chip erase or sector by sector, then the
// blank check (for a QVB789 on the 8C 21 15 flash, sector by sector).
Result EraseFlashVerified(Job& job);
// Backup only: the flash into the backup file ("oldflash.bak" when none is named), without its
// first `excludedHead` bytes.
Result BackupFlash(Job& job, uint32_t excludedHead);

// Transfer-unit loops over the short commands, with a status wait before each step and a "."
// after it: `length` bytes from `address` into `buffer` (at least `length` bytes), and a sector
// erase at every transfer unit of `length` bytes from 0.
bool ReadFlashChunked(Job& job, uint32_t address, std::span<uint8_t> buffer, uint32_t length);
bool EraseSectorsChunked(Job& job, uint32_t length);

}  // namespace qvfw::flash
