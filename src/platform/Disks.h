#pragma once
// The OS boundary for finding disks, their volumes and their arrival and removal.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qvfw::platform {

// How a disk is attached. Discovery keeps USB, UASP (and other SCSI-attached disks) and, when
// asked, IEEE 1394; Other never becomes a candidate.
enum class Bus { Usb, Uasp, Ieee1394, Other };

// A disk interface as enumeration reports it. The path is opaque and kept exactly as given.
struct DiskInterface {
  std::string path;
  Bus bus = Bus::Other;
};

// Two paths belong to the same disk when type and number are equal; the partition is not compared.
struct StorageDeviceNumber {
  uint32_t deviceType = 0;
  uint32_t deviceNumber = 0;
  uint32_t partitionNumber = 0;
};

// A volume of the machine: a drive letter on the window platform, a mounted partition elsewhere.
struct Volume {
  std::string name;        // "E" or "/dev/sdb1"
  std::string path;        // what GetStorageDeviceNumber takes
  std::string mountPoint;  // where it is mounted, empty when not
  bool system = false;     // holds the running system: never reported as a device's volume
  bool remote = false;     // a network volume: never opened
};

class DiskEnumerator {
 public:
  virtual ~DiskEnumerator() = default;
  // The machine's disk interfaces in enumeration order.
  virtual std::vector<DiskInterface> EnumerateDisks() = 0;
  // The machine's volumes in ascending order of name.
  virtual std::vector<Volume> EnumerateVolumes() = 0;
  virtual std::optional<StorageDeviceNumber> GetStorageDeviceNumber(std::string_view path) = 0;
  // Disks the last EnumerateDisks() saw but left out because they have no pass-through node.
  virtual size_t DisksWithoutPassThrough() const { return 0; }
};

enum class DeviceEvent { Arrival, Removal };

// Arrival and removal of disks. Pull-based so that any event loop can watch it: wait for
// PollFd() to become readable (when it is not -1) or poll on a timer, then Drain().
class DeviceMonitor {
 public:
  virtual ~DeviceMonitor() = default;
  virtual int PollFd() const { return -1; }
  virtual std::vector<DeviceEvent> Drain() = 0;
};

}  // namespace qvfw::platform
