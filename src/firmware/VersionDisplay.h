#pragma once
// How each chip family's firmware version is read and written out, and whether a device's
// version may be shown at all or is "Internal code".

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "device/Transport.h"
#include "chips/ChipFamilies.h"

namespace qvfw::firmware {

using chips::ChipType;

struct VersionRead {
  enum class Kind { Failed, NotQavion, Ok } kind = Kind::Failed;
  std::string text;
  std::array<uint8_t, 16> info{};  // the chip information block as it answered
};

// Reads the 16-byte chip information (and what the family needs besides) and formats the
// version text of `type`.
VersionRead ReadVersionText(const device::Device& dev, ChipType type);

// Formats the version from a chip information answer. `transferred` is the byte count the
// device returned; `altAnswered` and `probeHolds` are the family-specific extra facts.
std::string FormatVersionText(ChipType type, const uint8_t (&info)[16], uint32_t transferred, bool altAnswered,
                              bool probeHolds);

// Reads the byte at bridge memory 0x506A, writes 0 and reads it back: the probe holds when it
// reads back as 1. The first byte read is restored, with bit 0 flipped when the probe held.
bool BridgeMemoryProbe(const device::Device& dev);

// True when the version text is shown, false when "Internal code" is shown instead.
bool InternalCodeRule(const device::Device& dev, ChipType type, std::string_view version, chips::FlashVendor vendor);

}  // namespace qvfw::firmware
