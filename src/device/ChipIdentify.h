#pragma once
// Which bridge chip family sits behind a device path, and its revision where the device tells.
// Sources are tried in a fixed order: the chip id in the INQUIRY data, the chip information
// block, the admission probe, the chip's model text and two family-specific probes.

#include "chips/ChipFamilies.h"
#include "device/Discovery.h"
#include "device/Transport.h"

namespace qvfw::device {

struct ChipIdentification {
  chips::ChipId id;
  // A QVB787 gave no usable revision: the user is told "Get chip information fail !".
  bool chipInfoFailed = false;
  // The family's model text, which every bridge of the family answers with, did not come: the
  // family (a QV40776 may be a QV40776E) or the revision may be other than the one returned.
  bool modelTextMissing = false;
};

// `known` holds what discovery's probes already heard from this device; identification then
// does not send them again.
ChipIdentification IdentifyChip(const Device& dev, const ProbeAnswers* known = nullptr);

}  // namespace qvfw::device
