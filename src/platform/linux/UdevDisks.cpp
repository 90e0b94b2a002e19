#include "platform/linux/UdevDisks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <filesystem>
#include <map>
#include <set>
#include <system_error>
#include <tuple>
#include <utility>

namespace qvfw::platform::linux_os {
namespace {

constexpr int kMaxStackDepth = 8;  // device-mapper over md over partitions is three levels

std::string Str(const char* s) { return s ? std::string(s) : std::string(); }

std::string NodeOrName(udev_device* d) {
  if (const char* node = udev_device_get_devnode(d)) return node;
  return "/dev/" + Str(udev_device_get_sysname(d));
}

bool IsDevtype(udev_device* d, std::string_view devtype) {
  const char* t = udev_device_get_devtype(d);
  return t && devtype == t;
}

// The node's symbolic names (/dev/disk/by-uuid/..., /dev/mapper/...). The udev database lists them
// one by one; the DEVLINKS property carries the same names space-separated.
std::vector<std::string> Devlinks(udev_device* d) {
  std::vector<std::string> links;
  udev_list_entry* entry;
  udev_list_entry_foreach(entry, udev_device_get_devlinks_list_entry(d)) {
    links.push_back(Str(udev_list_entry_get_name(entry)));
  }
  const std::string prop = Str(udev_device_get_property_value(d, "DEVLINKS"));
  size_t pos = 0;
  while (pos < prop.size()) {
    size_t end = prop.find(' ', pos);
    if (end == std::string::npos) end = prop.size();
    if (end > pos) links.push_back(prop.substr(pos, end - pos));
    pos = end + 1;
  }
  return links;
}

bool NamedBy(udev_device* d, const std::string& node) {
  if (const char* own = udev_device_get_devnode(d); own && node == own) return true;
  const std::vector<std::string> links = Devlinks(d);
  return std::find(links.begin(), links.end(), node) != links.end();
}

// The device number behind a block node, following symbolic links.
std::optional<dev_t> BlockDevnum(const std::string& node) {
  struct stat st {};
  if (::stat(node.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return std::nullopt;
  return st.st_rdev;
}

std::optional<uint32_t> ParseUnsigned(std::string_view text) {
  uint32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

// "6:0:1:0" -> {6, 0, 1, 0}; anything unparsable sorts last.
std::array<uint32_t, 4> ScsiAddress(std::string_view sysname) {
  std::array<uint32_t, 4> address{UINT32_MAX, UINT32_MAX, UINT32_MAX, UINT32_MAX};
  for (size_t i = 0; i < address.size(); ++i) {
    const size_t colon = sysname.find(':');
    const std::string_view part = sysname.substr(0, colon);
    address[i] = ParseUnsigned(part).value_or(UINT32_MAX);
    if (colon == std::string_view::npos) break;
    sysname.remove_prefix(colon + 1);
  }
  return address;
}

UdevEnumeratePtr ScanSubsystem(udev* u, const char* subsystem) {
  UdevEnumeratePtr e(udev_enumerate_new(u));
  if (!e) return e;
  udev_enumerate_add_match_subsystem(e.get(), subsystem);
  udev_enumerate_scan_devices(e.get());
  return e;
}

// Calls f(device) for every device of a finished scan.
template <typename F>
void ForEach(udev* u, udev_enumerate* e, F&& f) {
  if (!e) return;
  udev_list_entry* entry;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e)) {
    UdevDevicePtr d(udev_device_new_from_syspath(u, udev_list_entry_get_name(entry)));
    if (d) f(d.get());
  }
}

// The whole disk of a block device: itself for a disk, the parent disk for a partition.
udev_device* WholeDisk(udev_device* block) {
  if (IsDevtype(block, "partition")) {
    return udev_device_get_parent_with_subsystem_devtype(block, "block", "disk");
  }
  return block;
}

uint32_t PartitionNumber(udev_device* partition) {
  if (auto n = ParseUnsigned(Str(udev_device_get_sysattr_value(partition, "partition")))) return *n;
  return ParseUnsigned(Str(udev_device_get_property_value(partition, "PARTN"))).value_or(0);
}

}  // namespace

std::optional<Bus> BusOfDriver(std::string_view driver) {
  if (driver == "usb-storage") return Bus::Usb;
  if (driver == "uas") return Bus::Uasp;
  if (driver == "firewire_sbp2" || driver == "sbp2") return Bus::Ieee1394;
  return std::nullopt;
}

// The block devices that hold "/" and every disk they lie on.
struct UdevDiskEnumerator::Root {
  std::set<std::string> devices;  // syspaths of the devices mounted on "/"
  std::set<std::string> disks;    // syspaths of the disks below them, the devices' own disks too
};

UdevDiskEnumerator::UdevDiskEnumerator(Diagnostics& diag, std::string mountTable)
    : diag_(diag), mountTable_(std::move(mountTable)), udev_(udev_new()) {
  if (!udev_) diag_.Line("disks: cannot open udev");
}

std::vector<MountEntry> UdevDiskEnumerator::Mounts() {
  std::optional<std::vector<MountEntry>> mounts = ReadMountTable(mountTable_);
  if (!mounts) {
    diag_.Line("disks: cannot read the mount table " + mountTable_);
    return {};
  }
  return std::move(*mounts);
}

UdevDevicePtr UdevDiskEnumerator::DeviceOfNode(const std::string& node) {
  struct stat st {};
  if (::stat(node.c_str(), &st) == 0 && (S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode))) {
    return UdevDevicePtr(
        udev_device_new_from_devnum(udev_.get(), S_ISBLK(st.st_mode) ? 'b' : 'c', st.st_rdev));
  }
  // A symbolic name that is not there as a file (or cannot be looked at): ask udev for it.
  UdevDevicePtr found;
  for (const char* subsystem : {"block", "scsi_generic"}) {
    UdevEnumeratePtr e = ScanSubsystem(udev_.get(), subsystem);
    ForEach(udev_.get(), e.get(), [&](udev_device* d) {
      if (!found && NamedBy(d, node)) found.reset(udev_device_ref(d));
    });
    if (found) break;
  }
  return found;
}

void UdevDiskEnumerator::AddRootDisks(udev_device* device, Root& root, int depth) {
  if (!device || depth > kMaxStackDepth) return;
  udev_device* disk = WholeDisk(device);
  if (!disk) return;
  const std::string syspath = Str(udev_device_get_syspath(disk));
  if (!root.disks.insert(syspath).second) return;
  // A device-mapper or md disk lists the block devices it is built on under "slaves".
  std::error_code ec;
  for (const auto& slave : std::filesystem::directory_iterator(syspath + "/slaves", ec)) {
    UdevDevicePtr below(udev_device_new_from_subsystem_sysname(
        udev_.get(), "block", slave.path().filename().c_str()));
    AddRootDisks(below.get(), root, depth + 1);
  }
}

UdevDiskEnumerator::Root UdevDiskEnumerator::FindRoot(const std::vector<MountEntry>& mounts) {
  Root root;
  // Every entry on "/" counts: an early "rootfs" or a later overlay must not hide the real one.
  for (const MountEntry& m : mounts) {
    if (m.target != "/" || m.source.empty() || m.source[0] != '/') continue;
    UdevDevicePtr d = DeviceOfNode(m.source);
    if (!d || Str(udev_device_get_subsystem(d.get())) != "block") continue;
    root.devices.insert(Str(udev_device_get_syspath(d.get())));
    AddRootDisks(d.get(), root, 0);
  }
  if (root.devices.empty()) {
    // "/dev/root" and the like name no node; the file system's own device number still tells.
    struct stat st {};
    if (::stat("/", &st) == 0 && major(st.st_dev) != 0) {
      UdevDevicePtr d(udev_device_new_from_devnum(udev_.get(), 'b', st.st_dev));
      if (d) {
        root.devices.insert(Str(udev_device_get_syspath(d.get())));
        AddRootDisks(d.get(), root, 0);
      }
    }
  }
  return root;
}

std::vector<DiskInterface> UdevDiskEnumerator::EnumerateDisks() {
  withoutNode_ = 0;
  if (!udev_) return {};
  const Root root = FindRoot(Mounts());

  // SCSI device syspath -> its SCSI generic node.
  std::map<std::string, std::string> sgOf;
  UdevEnumeratePtr sg = ScanSubsystem(udev_.get(), "scsi_generic");
  ForEach(udev_.get(), sg.get(), [&](udev_device* d) {
    udev_device* scsi = udev_device_get_parent_with_subsystem_devtype(d, "scsi", "scsi_device");
    const char* node = udev_device_get_devnode(d);
    if (scsi && node) sgOf.emplace(Str(udev_device_get_syspath(scsi)), node);
  });

  // SCSI disks first, in address order, so that reports and diagnostics keep one order.
  struct Candidate {
    std::array<uint32_t, 4> address;
    std::string sysname;
    UdevDevicePtr disk;
  };
  std::vector<Candidate> candidates;
  UdevEnumeratePtr blocks = ScanSubsystem(udev_.get(), "block");
  ForEach(udev_.get(), blocks.get(), [&](udev_device* d) {
    if (!IsDevtype(d, "disk")) return;
    udev_device* scsi = udev_device_get_parent_with_subsystem_devtype(d, "scsi", "scsi_device");
    if (!scsi || Str(udev_device_get_driver(scsi)) != "sd") return;  // not a SCSI disk
    candidates.push_back({ScsiAddress(Str(udev_device_get_sysname(scsi))),
                          Str(udev_device_get_sysname(d)), UdevDevicePtr(udev_device_ref(d))});
  });
  std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
    return std::tie(a.address, a.sysname) < std::tie(b.address, b.sysname);
  });

  std::vector<DiskInterface> disks;
  for (const Candidate& c : candidates) {
    udev_device* d = c.disk.get();
    if (root.disks.count(Str(udev_device_get_syspath(d)))) {
      diag_.Line("disks: " + NodeOrName(d) + " holds the running system; not offered");
      continue;
    }
    udev_device* scsi = udev_device_get_parent_with_subsystem_devtype(d, "scsi", "scsi_device");
    Bus bus = Bus::Other;
    for (udev_device* p = udev_device_get_parent(scsi); p; p = udev_device_get_parent(p)) {
      if (std::optional<Bus> b = BusOfDriver(Str(udev_device_get_driver(p)))) {
        bus = *b;
        break;
      }
    }
    const auto node = sgOf.find(Str(udev_device_get_syspath(scsi)));
    if (node == sgOf.end()) {
      ++withoutNode_;
      diag_.Line("disks: " + NodeOrName(d) +
                 " has no SCSI generic node; load the sg module: modprobe sg");
      continue;
    }
    disks.push_back({node->second, bus});
  }
  return disks;
}

std::vector<Volume> UdevDiskEnumerator::EnumerateVolumes() {
  if (!udev_) return {};
  const std::vector<MountEntry> mounts = Mounts();
  const Root root = FindRoot(mounts);
  std::vector<std::optional<dev_t>> mountDevnum;
  mountDevnum.reserve(mounts.size());
  for (const MountEntry& m : mounts) {
    mountDevnum.push_back(m.source.empty() || m.source[0] != '/' ? std::nullopt
                                                                 : BlockDevnum(m.source));
  }
  auto mountPointOf = [&](udev_device* d) -> std::string {
    const dev_t devnum = udev_device_get_devnum(d);
    for (size_t i = 0; i < mounts.size(); ++i) {
      if ((mountDevnum[i] && *mountDevnum[i] == devnum) || NamedBy(d, mounts[i].source)) {
        return mounts[i].target;
      }
    }
    return {};
  };

  // Collect first: a whole disk is a volume only when no partition lies on it.
  std::vector<UdevDevicePtr> partitions;
  std::vector<UdevDevicePtr> disks;
  std::set<std::string> partitioned;
  UdevEnumeratePtr blocks = ScanSubsystem(udev_.get(), "block");
  ForEach(udev_.get(), blocks.get(), [&](udev_device* d) {
    if (!udev_device_get_devnode(d)) return;
    if (IsDevtype(d, "partition")) {
      if (udev_device* disk = WholeDisk(d)) {
        partitioned.insert(Str(udev_device_get_syspath(disk)));
      }
      partitions.emplace_back(udev_device_ref(d));
    } else if (IsDevtype(d, "disk")) {
      disks.emplace_back(udev_device_ref(d));
    }
  });

  std::vector<Volume> volumes;
  auto add = [&](udev_device* d) {
    Volume v;
    v.name = udev_device_get_devnode(d);
    v.path = v.name;
    v.mountPoint = mountPointOf(d);
    udev_device* disk = WholeDisk(d);
    v.system = root.devices.count(Str(udev_device_get_syspath(d))) > 0 ||
               (disk && root.disks.count(Str(udev_device_get_syspath(disk))) > 0);
    v.remote = false;
    volumes.push_back(std::move(v));
  };
  for (const UdevDevicePtr& p : partitions) add(p.get());
  for (const UdevDevicePtr& d : disks) {
    if (partitioned.count(Str(udev_device_get_syspath(d.get())))) continue;
    const bool hasFileSystem = !Str(udev_device_get_property_value(d.get(), "ID_FS_TYPE")).empty();
    if (hasFileSystem || !mountPointOf(d.get()).empty()) add(d.get());
  }
  std::sort(volumes.begin(), volumes.end(),
            [](const Volume& a, const Volume& b) { return a.name < b.name; });
  return volumes;
}

std::optional<StorageDeviceNumber> UdevDiskEnumerator::GetStorageDeviceNumber(
    std::string_view path) {
  if (!udev_ || path.empty()) return std::nullopt;
  UdevDevicePtr d = DeviceOfNode(std::string(path));
  if (!d) return std::nullopt;
  const std::string subsystem = Str(udev_device_get_subsystem(d.get()));
  auto number = [](udev_device* disk, uint32_t partition) {
    const dev_t n = udev_device_get_devnum(disk);
    return StorageDeviceNumber{major(n), minor(n), partition};
  };
  if (subsystem == "block") {
    udev_device* disk = WholeDisk(d.get());
    if (!disk) return std::nullopt;
    return number(disk, disk == d.get() ? 0 : PartitionNumber(d.get()));
  }
  if (subsystem == "scsi_generic") {
    udev_device* scsi =
        udev_device_get_parent_with_subsystem_devtype(d.get(), "scsi", "scsi_device");
    if (!scsi) return std::nullopt;
    UdevEnumeratePtr e(udev_enumerate_new(udev_.get()));
    if (!e) return std::nullopt;
    udev_enumerate_add_match_parent(e.get(), scsi);
    udev_enumerate_add_match_subsystem(e.get(), "block");
    udev_enumerate_scan_devices(e.get());
    std::optional<StorageDeviceNumber> result;
    ForEach(udev_.get(), e.get(), [&](udev_device* block) {
      if (!result && IsDevtype(block, "disk")) result = number(block, 0);
    });
    return result;
  }
  return std::nullopt;
}

UdevDeviceMonitor::UdevDeviceMonitor(Diagnostics& diag) : udev_(udev_new()) {
  if (udev_) monitor_.reset(udev_monitor_new_from_netlink(udev_.get(), "udev"));
  if (!monitor_ ||
      udev_monitor_filter_add_match_subsystem_devtype(monitor_.get(), "block", "disk") < 0 ||
      udev_monitor_filter_add_match_subsystem_devtype(monitor_.get(), "scsi_generic", nullptr) < 0 ||
      udev_monitor_enable_receiving(monitor_.get()) < 0) {
    diag.Line("disks: cannot watch udev for device arrival and removal");
    monitor_.reset();
    return;
  }
  // Drain must never wait: make sure the socket does not block, whatever libudev chose.
  const int fd = udev_monitor_get_fd(monitor_.get());
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

int UdevDeviceMonitor::PollFd() const { return monitor_ ? udev_monitor_get_fd(monitor_.get()) : -1; }

std::vector<DeviceEvent> UdevDeviceMonitor::Drain() {
  std::vector<DeviceEvent> events;
  if (!monitor_) return events;
  // Receiving stops when nothing is pending (the socket does not block).
  while (UdevDevicePtr d{udev_monitor_receive_device(monitor_.get())}) {
    // The filter is also applied in the kernel's socket filter, but a sender that bypasses it
    // (or a filter the kernel refused) must not turn a partition or a USB hub into news.
    const std::string subsystem = Str(udev_device_get_subsystem(d.get()));
    if (!(subsystem == "scsi_generic" || (subsystem == "block" && IsDevtype(d.get(), "disk")))) continue;
    const std::string action = Str(udev_device_get_action(d.get()));
    if (action == "add") events.push_back(DeviceEvent::Arrival);
    if (action == "remove") events.push_back(DeviceEvent::Removal);
  }
  return events;
}

}  // namespace qvfw::platform::linux_os
