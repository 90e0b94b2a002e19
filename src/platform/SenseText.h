#pragma once
// Readable text for what a failed SCSI request left behind: the sense data a device returned,
// and the Linux host and driver status bytes of a completed SG_IO request.

#include <cstdint>
#include <span>
#include <string>

namespace qvfw::platform {

// One line such as "Illegal Request: Invalid command operation code", decoded from fixed or
// descriptor format sense data; extra fields the data carries (information, progress) follow
// after "; ". Empty when the bytes hold no sense (response code 0, or no bytes).
std::string DescribeSense(std::span<const uint8_t> sense);

// The name of a Linux SCSI host status byte, e.g. "DID_ERROR"; "DID_0x2A" for one it does
// not know.
std::string HostStatusName(uint8_t hostStatus);

}  // namespace qvfw::platform
