#pragma once
// Which bridge chip family sits behind a device path, and its revision where the device tells.
// Sources are tried in a fixed order: the chip id in the INQUIRY data, the chip information
// block, the admission probe, the chip's model text and two family-specific probes.

#include "device/Transport.h"
#include "firmware/ChipTables.h"

namespace qvfw::device {

struct ChipIdentification {
  firmware::ChipId id;
  // A QVB787 (code 8) gave no usable revision: the user is told "Get chip information fail !".
  bool chipInfoFailed = false;
};

ChipIdentification IdentifyChip(const Device& dev);

}  // namespace qvfw::device
