#pragma once
// The stepwise procedure: QVB784, QVB789 and the early QVS882 erase in 32 KiB steps, each checked
// blank, then write and verify 16 KiB at a time. The device's 4 KiB NVRAM at the start of the
// flash is carried in front of the image (an image without its own NVRAM head is therefore
// written 4 KiB further on). The page-program variant writes each step through raw SPI page or
// auto-address-increment programming instead, the image from its first byte.
//
// Erase-only and backup-only are those of the whole-image procedure. A failure after the erase
// has begun is a failure outcome, with the recovery file that holds the flash as it was.

#include <cstdint>
#include <string>

#include "chips/ChipFamilies.h"
#include "flash/EraseOnWrite.h"

namespace qvfw::flash {

inline constexpr uint32_t kStepEraseSize = 0x8000;
inline constexpr uint32_t kStepWriteSize = 0x4000;
inline constexpr uint32_t kStepNvramSize = 0x1000;

// Whether the image file begins with a 4 KiB NVRAM head: its own signature block (55 AA AA 55
// and the chip's model key) sits at 4096, or for a QVB789 the block E9 AC 67 32 and the key at
// 128. An image whose block is at offset 0 has no head.
bool ImageHasNvramHead(const std::string& imageFile, chips::ChipType chip);

Result StepwiseProcedure(Job& job);
Result StepwisePageProcedure(Job& job);

}  // namespace qvfw::flash
