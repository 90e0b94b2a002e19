#pragma once
// Which of the machine's disks are bridges this tool can talk to, and which volumes belong to
// one. Admission is decided by talking to the disk, never by its vendor or product id.

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "device/Transport.h"
#include "platform/Disks.h"

namespace qvfw::device {

// INQUIRY (40 bytes): a bridge reports "q7" or "q8" at bytes 36..37.
bool IsBridgeByInquiry(const Device& dev);
// The vendor probe DF 10 00 00 02 … FF; admitted when it succeeds. `reply` is 2 bytes.
bool ProbeVendorCommands(const Device& dev, std::span<uint8_t> reply);

// Every USB and UASP/SCSI disk (and IEEE 1394 disk when asked) is sent an INQUIRY; those that
// carry no bridge chip id are also sent the vendor probe. Returns the admitted disks in
// enumeration order; the list grows as needed, so no count of disks overflows it.
std::vector<platform::DiskInterface> EnumerateBridgeDevices(platform::DiskEnumerator& disks, const Transport& transport,
                                                bool include1394);

std::optional<platform::StorageDeviceNumber> GetStorageDeviceNumber(platform::DiskEnumerator& disks,
                                                                    std::string_view path);

// The volumes on the same disk as `devicePath`, in ascending order, never the one holding the
// running system and never a network volume (which is not even opened). nullopt when the disk's
// own number cannot be read: callers then leave what they show unchanged.
std::optional<std::vector<platform::Volume>> FindDriveLetters(platform::DiskEnumerator& disks,
                                                              std::string_view devicePath);

// The text the window shows for a device's volumes: drive letters run together ("EG"); named
// volumes are listed with their mount points ("/dev/sdb1 (/media/usb) /dev/sdb2").
std::string DriveLettersText(const std::vector<platform::Volume>& volumes);

}  // namespace qvfw::device
