#pragma once
// The serial flash's capacity, worked out from its JEDEC id (opcode 0x9F) by a table per vendor,
// with older id opcodes as fallback. 64 KiB when nothing classifies.

#include <array>
#include <cstdint>

#include "device/FlashDescriptor.h"
#include "device/Transport.h"

namespace qvfw::firmware {

enum class FlashIdRoute {
  Spi,      // SpiReadId: the bridge-line storage chips (13, 14, 27)
  ById4,    // ReadFlashId4: the buffer family (15..18)
};

// Sets flash.sizeKiB (identifying the vendor first when it is 0) and returns the four JEDEC
// bytes as read (zeros when the read failed). Always succeeds.
std::array<uint8_t, 4> DetectFlashSize(const device::Device& dev, device::FlashDescriptor& flash, FlashIdRoute route);

}  // namespace qvfw::firmware
