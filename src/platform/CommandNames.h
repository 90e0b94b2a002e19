#pragma once
// The host's names for the CDBs it sends, read back from the bytes alone: what a recording, a
// replay's report and a reader of either call a request ("ReadFlash", "QV_WriteBuffer",
// "InquiryVpd"). Below the device layer, so the platform's decorators can name what they carry.

#include <cstdint>
#include <span>
#include <string>

namespace qvfw::platform {

// The command function that builds this CDB, e.g. "EraseFlashSector"; a SCSI command the host
// does not send by name is called by its standard name ("TEST UNIT READY"), anything else
// "vendor command XX".
std::string CommandName(std::span<const uint8_t> cdb);

// Whether the CDB only asks who or what the device is: INQUIRY and its vital product data, the
// chip information and model text, the bridge parameters, flash ids and vendor code, memory
// reads, capacity, ATA IDENTIFY, the power condition page and the READ BUFFER descriptor. Such a
// query changes nothing on the device, so the order among several of them carries no meaning.
bool IsIdentificationQuery(std::span<const uint8_t> cdb);

}  // namespace qvfw::platform
