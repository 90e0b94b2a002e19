#pragma once
// The serial flash's capacity, worked out from its JEDEC id (opcode 0x9F) by a table per vendor,
// with older id opcodes as fallback. 64 KiB when nothing classifies.

#include <array>
#include <cstdint>
#include <optional>

#include "device/FlashDescriptor.h"
#include "device/Transport.h"

namespace qvfw::firmware {

enum class FlashIdRoute {
  Spi,      // SpiReadId: the bridge-line storage chips (13, 14, 27)
  ById4,    // ReadFlashId4: the buffer family (15..18)
};

// How a size was found: whether the id read answered at all, and whether a row of the table
// gave the size (rather than the 64 KiB that stands for "not classified").
struct FlashSizeDetail {
  bool idRead = false;
  bool classified = false;
};

// Sets flash.sizeKiB (identifying the vendor first when it is 0) and returns the four JEDEC
// bytes as read (zeros when the read failed). Always succeeds; `detail` (may be null) says how.
std::array<uint8_t, 4> DetectFlashSize(const device::Device& dev, device::FlashDescriptor& flash, FlashIdRoute route,
                                       FlashSizeDetail* detail = nullptr);

// The size a JEDEC answer (0x9F) gives without further reads: the table's row of `vendor` where
// it classifies the answer, else the capacity code (0x10 is 64 KiB, each step doubles, up to
// 16 MiB) of an answer that names a maker; nothing when neither tells.
std::optional<uint32_t> SizeFromJedec(uint8_t vendor, const std::array<uint8_t, 4>& jedec);

// Whether the JEDEC manufacturer byte belongs to the maker the bridge reports; true where the
// vendor code names no maker to compare with.
bool JedecMakerAgrees(uint8_t vendor, const std::array<uint8_t, 4>& jedec);

}  // namespace qvfw::firmware
