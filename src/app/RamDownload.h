#pragma once
// Programming through the SCSI buffer commands: the image goes down with WRITE BUFFER (mode 0x0E,
// 4 KiB pieces) and comes back with READ BUFFER. A bridge whose own firmware cannot do that is
// first given a small manufacturing firmware in its RAM (mode 0x06), which erases the flash and
// then takes the image. Progress is a heading in `StatusEdit` followed by one "." per piece.

#include <cstdint>
#include <span>

#include "app/AppContext.h"

namespace qvfw::app {

inline constexpr uint32_t kPieceSize = 4096;
inline constexpr uint32_t kExtraBlockOffset = 0x45000;

struct BufferDescriptor {
  uint8_t offsetBoundary = 0;  // 12: 4 KiB boundaries; 0xFF: any
  uint32_t capacity = 0;       // bytes
  // The capacity rounded up to a multiple of 512.
  uint32_t ProgrammingLength() const { return (capacity + 511) / 512 * 512; }
};

// Programs `image` (its first `imageLength` bytes; the rest up to the programming length is
// sent as zeros) at `baseOffset`. `extraBlock` (4 KiB) goes to buffer offset 0x45000 on bridges
// in mode 02 00.
bool ProgramFlashImage(AppContext& ctx, const device::Device& dev, uint32_t baseOffset, std::span<const uint8_t> image,
                       uint32_t imageLength, bool ramDownload, std::span<const uint8_t> extraBlock);

// Only puts the manufacturing firmware into the bridge's RAM, as programming with the RAM download
// does first (the same descriptor checks and texts): the bridge then answers flash commands until
// it restarts. The flash is not touched.
bool RunFromRam(AppContext& ctx, const device::Device& dev);

// Reads the flash back through READ BUFFER into `destination` (as much of it as was read; the
// rest is left as it was).
bool ReadBackFlash(AppContext& ctx, const device::Device& dev, uint32_t baseOffset, std::span<uint8_t> destination);

// The manufacturing image for a chip type and chip information byte 7; empty when none fits.
std::string_view MfgImageFor(chips::ChipType chipType, uint8_t chipInfoByte7);

}  // namespace qvfw::app
