#pragma once
// Which of the machine's disks are bridges this tool can talk to, and which volumes belong to
// one. Admission is decided by talking to the disk, never by its vendor or product id.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "device/Transport.h"
#include "platform/Disks.h"

namespace qvfw::device {

// What the admission probes of a disk answered; identification reads the same answers instead of
// asking the disk again.
struct ProbeAnswers {
  bool inquiryOk = false;
  std::array<uint8_t, 40> inquiry{};
  std::optional<bool> probeOk;  // the vendor probe is sent only when the INQUIRY did not admit
  std::array<uint8_t, 2> probe{};
};

// INQUIRY (40 bytes): a bridge reports "q7" or "q8" at bytes 36..37.
bool IsBridgeByInquiry(const Device& dev, ProbeAnswers* answers = nullptr);
// The vendor probe DF 10 00 00 02 … FF; admitted when it succeeds. `reply` is 2 bytes.
bool ProbeVendorCommands(const Device& dev, std::span<uint8_t> reply);

struct AdmittedDisk {
  platform::DiskInterface disk;
  ProbeAnswers answers;
};

// Disks that were seen but could not be asked: the reason a machine with bridges lists none.
struct AccessReport {
  size_t permissionDenied = 0;  // the pass-through node exists but may not be opened
  size_t withoutNode = 0;       // the disk has no pass-through node (Linux: the sg module)
};

// Every USB and UASP/SCSI disk (and IEEE 1394 disk when asked) is sent an INQUIRY; those that
// carry no bridge chip id are also sent the vendor probe. Returns the admitted disks in
// enumeration order; the list grows as needed, so no count of disks overflows it.
std::vector<AdmittedDisk> EnumerateBridgeDevices(platform::DiskEnumerator& disks, const Transport& transport,
                                                 bool include1394, AccessReport* access = nullptr);

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
