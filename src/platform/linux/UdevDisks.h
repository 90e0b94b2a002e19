#pragma once
// Disks, volumes and device arrival on Linux, read from udev (sysfs and the udev database).
//
// Disk interfaces: every SCSI disk (a block device of type disk whose SCSI device is bound to the
// sd driver), with its bus told from the driver found nearest to it in its ancestor chain:
// usb-storage -> Usb, uas -> Uasp, firewire_sbp2 (or the older sbp2) -> Ieee1394, anything else
// (ahci, a RAID controller, a virtual SCSI host) -> Other. Disks on Other are reported as well;
// discovery decides which buses are candidates. The path of a disk is its SCSI generic node
// (/dev/sgN), because the block node refuses vendor commands to anyone without CAP_SYS_RAWIO. A
// disk without one (the sg module is not loaded) is left out with one diagnostics line saying so.
// Disks that are not SCSI disks at all (NVMe, virtio, loop, device-mapper) cannot carry a bridge
// and are left out silently. Every disk that holds the running system's root file system, also
// below device-mapper (LVM, dm-crypt) or md, is never reported.
//
// Disks come in the order of their SCSI address (host:channel:target:lun, numerically), which does
// not depend on the order in which sysfs happens to list them.

#include <libudev.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Diagnostics.h"
#include "platform/Disks.h"
#include "platform/linux/MountTable.h"

namespace qvfw::platform::linux_os {

struct UdevDeleter {
  void operator()(udev* u) const { udev_unref(u); }
  void operator()(udev_device* d) const { udev_device_unref(d); }
  void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
  void operator()(udev_monitor* m) const { udev_monitor_unref(m); }
};
using UdevPtr = std::unique_ptr<udev, UdevDeleter>;
using UdevDevicePtr = std::unique_ptr<udev_device, UdevDeleter>;
using UdevEnumeratePtr = std::unique_ptr<udev_enumerate, UdevDeleter>;
using UdevMonitorPtr = std::unique_ptr<udev_monitor, UdevDeleter>;

// The bus that the driver of a disk's ancestor stands for; nullopt when the driver says nothing
// about the bus (sd, usb, pci drivers and the like), so that the walk goes on upwards.
std::optional<Bus> BusOfDriver(std::string_view driver);

class UdevDiskEnumerator final : public DiskEnumerator {
 public:
  explicit UdevDiskEnumerator(Diagnostics& diag, std::string mountTable = "/proc/self/mounts");

  std::vector<DiskInterface> EnumerateDisks() override;
  // Partitions, and whole disks that carry a file system without a partition table, with their
  // mount points. `name` and `path` are the block node ("/dev/sdb1"); `system` is set for a volume
  // that holds "/" or lies on a disk that holds it.
  std::vector<Volume> EnumerateVolumes() override;
  // An sg node gives its disk's {major, minor, 0}; a disk or partition node gives the whole disk's
  // {major, minor, partition number}. Anything else: nullopt.
  std::optional<StorageDeviceNumber> GetStorageDeviceNumber(std::string_view path) override;
  size_t DisksWithoutPassThrough() const override { return withoutNode_; }

 private:
  struct Root;
  Root FindRoot(const std::vector<MountEntry>& mounts);
  void AddRootDisks(udev_device* device, Root& root, int depth);
  std::vector<MountEntry> Mounts();
  UdevDevicePtr DeviceOfNode(const std::string& node);

  Diagnostics& diag_;
  std::string mountTable_;
  UdevPtr udev_;
  size_t withoutNode_ = 0;
};

// Arrival and removal of disks from a udev monitor: the block disk and its SCSI generic node, as
// udev announces them once their properties are in its database. A USB device or a FireWire node
// arrives well before its disk can be enumerated (usb-storage waits before it scans, the disk
// driver reads the capacity and the partition table), so its own events say nothing about when
// to look. A disk and its sg node come in either order (the sg module may be loaded later), and
// either may be the one that completes the pair: both are reported. Partitions and events other
// than add and remove (change, bind, unbind) are not.
class UdevDeviceMonitor final : public DeviceMonitor {
 public:
  explicit UdevDeviceMonitor(Diagnostics& diag);
  // The monitor's socket; -1 when the monitor could not be set up.
  int PollFd() const override;
  // Everything pending, without blocking.
  std::vector<DeviceEvent> Drain() override;

 private:
  UdevPtr udev_;
  UdevMonitorPtr monitor_;
};

}  // namespace qvfw::platform::linux_os
