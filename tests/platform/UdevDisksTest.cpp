// The udev backend against a fake machine: umockdev's preload library (the binary runs under
// umockdev-wrapper) points /sys, /dev and the udev event socket at a test bed built here, so the
// bus decision, the root exclusion and the device numbers are shown without hardware.
#include <gtest/gtest.h>
#include <umockdev.h>

#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/linux/UdevDisks.h"

// umockdev's preload library comes ahead of the sanitizer runtime in LD_PRELOAD; the runtime still
// works, it only has to be told not to insist on being first.
extern "C" const char* __asan_default_options() { return "verify_asan_link_order=0"; }

namespace qvfw::platform {

bool operator==(const DiskInterface& a, const DiskInterface& b) {
  return a.path == b.path && a.bus == b.bus;
}
void PrintTo(const DiskInterface& d, std::ostream* os) {
  static const char* const kBus[] = {"Usb", "Uasp", "Ieee1394", "Other"};
  *os << "{" << d.path << ", " << kBus[static_cast<int>(d.bus)] << "}";
}

namespace linux_os {
namespace {

// --- Building sysfs in umockdev's record format ---------------------------------------------------

std::string Device(const std::string& path, const std::string& subsystem,
                   const std::string& devtype = "", const std::string& driver = "",
                   const std::string& extra = "") {
  std::string s = "P: " + path + "\nE: SUBSYSTEM=" + subsystem + "\n";
  if (!devtype.empty()) s += "E: DEVTYPE=" + devtype + "\n";
  if (!driver.empty()) s += "L: driver=../../../../bus/" + subsystem + "/drivers/" + driver + "\n";
  return s + extra + "\n";
}

std::string Node(const std::string& name, int major, int minor) {
  const std::string num = std::to_string(major) + ":" + std::to_string(minor);
  return "N: " + name + "\nE: DEVNAME=/dev/" + name + "\nE: MAJOR=" + std::to_string(major) +
         "\nE: MINOR=" + std::to_string(minor) + "\nA: dev=" + num + "\n";
}

// A SCSI host below `parent` with one device at host:0:0:0, bound to `scsiDriver`, with its block
// disk (sd minor `minor`) and, when sg >= 0, its SCSI generic node sg<sg>.
std::string ScsiDisk(const std::string& parent, int host, const std::string& disk, int major,
                     int minor, int sg, const std::string& diskExtra = "",
                     const std::string& scsiDriver = "sd") {
  const std::string h = std::to_string(host);
  const std::string hostPath = parent + "/host" + h;
  const std::string target = hostPath + "/target" + h + ":0:0";
  const std::string scsi = target + "/" + h + ":0:0:0";
  std::string s = Device(hostPath, "scsi", "scsi_host") + Device(target, "scsi", "scsi_target") +
                  Device(scsi, "scsi", "scsi_device", scsiDriver, "A: type=0\n") +
                  Device(scsi + "/block/" + disk, "block", "disk", "",
                         Node(disk, major, minor) + diskExtra);
  if (sg >= 0) {
    const std::string name = "sg" + std::to_string(sg);
    s += Device(scsi + "/scsi_generic/" + name, "scsi_generic", "", "", Node(name, 21, sg));
  }
  return s;
}

std::string DiskPath(const std::string& parent, int host, const std::string& disk) {
  const std::string h = std::to_string(host);
  return parent + "/host" + h + "/target" + h + ":0:0/" + h + ":0:0:0/block/" + disk;
}

std::string Partition(const std::string& diskPath, const std::string& name, int minor, int number,
                      const std::string& extra = "") {
  return Device(diskPath + "/" + name, "block", "partition", "",
                Node(name, 8, minor) + "A: partition=" + std::to_string(number) + "\n" + extra);
}

const std::string kAhci = "/devices/pci0000:00/0000:00:17.0";
const std::string kXhci = "/devices/pci0000:00/0000:00:14.0";
const std::string kOhci1394 = "/devices/pci0000:00/0000:00:1c.0/0000:03:00.0";
const std::string kUsbStorage = kXhci + "/usb2/2-1/2-1:1.0";
const std::string kUas = kXhci + "/usb2/2-2/2-2:1.0";
const std::string kUsbCdrom = kXhci + "/usb2/2-3/2-3:1.0";
const std::string kSbp2Unit = kOhci1394 + "/fw1/fw1.0";

// The machine most tests look at:
//   sda  SATA (ahci), the root disk: sda1 on /boot/efi, sda2 on /          sg0   0:0:0:0
//   sde  SATA (ahci), no partitions, no file system                        sg1   1:0:0:0
//   sdb  usb-storage: sdb1 on /media/usb, sdb2 not mounted                  sg2   6:0:0:0
//   sdc  uas: sdc1 (mounted by its uuid name), sdc2 (holds an LVM volume)  sg3   7:0:0:0
//   sdd  IEEE 1394 (firewire_sbp2), a file system without partitions       sg4   8:0:0:0
//   sr0  a CD drive behind a usb-storage bridge                             sg5   9:0:0:0
//        and an enclosure device beside it, no block device                 sg6   9:0:0:1
//   nvme0n1 (not SCSI), dm-0 (the LVM volume on sdc2, not mounted)
std::string BaseMachine() {
  std::string s;
  s += Device(kAhci, "pci", "", "ahci");
  s += ScsiDisk(kAhci + "/ata1", 0, "sda", 8, 0, 0);
  s += Partition(DiskPath(kAhci + "/ata1", 0, "sda"), "sda1", 1, 1);
  s += Partition(DiskPath(kAhci + "/ata1", 0, "sda"), "sda2", 2, 2);
  s += ScsiDisk(kAhci + "/ata2", 1, "sde", 8, 64, 1);

  s += Device(kXhci, "pci", "", "xhci_hcd");
  s += Device(kXhci + "/usb2", "usb", "usb_device", "usb");
  s += Device(kXhci + "/usb2/2-1", "usb", "usb_device", "usb");
  s += Device(kUsbStorage, "usb", "usb_interface", "usb-storage");
  s += ScsiDisk(kUsbStorage, 6, "sdb", 8, 16, 2);
  s += Partition(DiskPath(kUsbStorage, 6, "sdb"), "sdb1", 17, 1);
  s += Partition(DiskPath(kUsbStorage, 6, "sdb"), "sdb2", 18, 2);

  s += Device(kXhci + "/usb2/2-2", "usb", "usb_device", "usb");
  s += Device(kUas, "usb", "usb_interface", "uas");
  s += ScsiDisk(kUas, 7, "sdc", 8, 32, 3);
  s += Partition(DiskPath(kUas, 7, "sdc"), "sdc1", 33, 1,
                 "E: DEVLINKS=/dev/disk/by-uuid/5e1f-0001 /dev/disk/by-id/usb-QV_Disk-part1\n");
  s += Partition(DiskPath(kUas, 7, "sdc"), "sdc2", 34, 2);

  s += Device(kOhci1394, "pci", "", "firewire_ohci");
  s += Device(kOhci1394 + "/fw1", "firewire");
  s += Device(kSbp2Unit, "firewire", "", "firewire_sbp2");
  s += ScsiDisk(kSbp2Unit, 8, "sdd", 8, 48, 4, "E: ID_FS_TYPE=vfat\n");

  s += Device(kXhci + "/usb2/2-3", "usb", "usb_device", "usb");
  s += Device(kUsbCdrom, "usb", "usb_interface", "usb-storage");
  s += ScsiDisk(kUsbCdrom, 9, "sr0", 11, 0, 5, "", "sr");
  const std::string enclosure = kUsbCdrom + "/host9/target9:0:0/9:0:0:1";
  s += Device(enclosure, "scsi", "scsi_device", "ses", "A: type=13\n");
  s += Device(enclosure + "/scsi_generic/sg6", "scsi_generic", "", "", Node("sg6", 21, 6));

  s += Device("/devices/pci0000:00/0000:00:1d.0", "pci", "", "nvme");
  s += Device("/devices/pci0000:00/0000:00:1d.0/nvme/nvme0/nvme0n1", "block", "disk", "",
              Node("nvme0n1", 259, 0));
  s += Device("/devices/virtual/block/dm-0", "block", "disk", "",
              Node("dm-0", 254, 0) +
                  "E: ID_FS_TYPE=ext4\nE: DEVLINKS=/dev/mapper/vg-root /dev/vg/root\n");
  return s;
}

const char kBaseMounts[] =
    "sysfs /sys sysfs rw,nosuid 0 0\n"
    "/dev/sda2 / ext4 rw,relatime 0 0\n"
    "/dev/sda1 /boot/efi vfat rw 0 0\n"
    "/dev/sdb1 /media/usb vfat rw,nosuid 0 0\n"
    "/dev/disk/by-uuid/5e1f-0001 /media/uas ext4 rw 0 0\n"
    "/dev/sdd /media/fw vfat rw 0 0\n"
    "tmpfs /run tmpfs rw 0 0\n";

const std::vector<DiskInterface> kAllFiveDisks = {
    {"/dev/sg0", Bus::Other},     // sda
    {"/dev/sg1", Bus::Other},     // sde
    {"/dev/sg2", Bus::Usb},       // sdb
    {"/dev/sg3", Bus::Uasp},      // sdc
    {"/dev/sg4", Bus::Ieee1394},  // sdd
};

std::vector<DiskInterface> Without(const std::string& path) {
  std::vector<DiskInterface> disks;
  for (const DiskInterface& d : kAllFiveDisks) {
    if (d.path != path) disks.push_back(d);
  }
  return disks;
}

class UdevMachine : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* preload = std::getenv("LD_PRELOAD");
    ASSERT_TRUE(preload && std::strstr(preload, "libumockdev-preload"))
        << "run this binary under umockdev-wrapper";
    NewTestbed();
  }
  void TearDown() override {
    if (bed_) g_object_unref(bed_);
  }

  // An empty machine (the previous one and its files are gone).
  void NewTestbed() {
    if (bed_) g_object_unref(bed_);
    bed_ = umockdev_testbed_new();
    gchar* root = umockdev_testbed_get_root_dir(bed_);
    root_ = root;
    g_free(root);
  }

  void Add(const std::string& record) {
    GError* error = nullptr;
    const bool ok = umockdev_testbed_add_from_string(bed_, record.c_str(), &error);
    const std::string message = error ? error->message : "";
    if (error) g_error_free(error);
    ASSERT_TRUE(ok) << message;
  }

  // A device-mapper disk lists what it is built on as links in its "slaves" directory.
  void AddSlave(const std::string& dmSyspath, const std::string& name,
                const std::string& target) {
    const std::filesystem::path dir = root_ + "/sys" + dmSyspath + "/slaves";
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    std::filesystem::remove(dir / name, ec);
    std::filesystem::create_directory_symlink(target, dir / name, ec);
    ASSERT_FALSE(ec) << ec.message();
  }

  void BuildBase(const std::string& mounts = kBaseMounts) {
    Add(BaseMachine());
    AddSlave("/devices/virtual/block/dm-0", "sdc2",
             "../../../../pci0000:00/0000:00:14.0/usb2/2-2/2-2:1.0/host7/target7:0:0/7:0:0:0/"
             "block/sdc/sdc2");
    WriteMounts(mounts);
  }

  void WriteMounts(const std::string& text) {
    std::ofstream out(MountsPath(), std::ios::trunc);
    out << text;
  }
  std::string MountsPath() const { return root_ + "/mounts"; }

  UMockdevTestbed* bed_ = nullptr;
  std::string root_;
  CapturingDiagnostics diag_;
};

// --- Disks -------------------------------------------------------------------------------------

TEST_F(UdevMachine, DisksCarryTheirBusAndSgNodeInScsiAddressOrderWithoutTheRootDisk) {
  BuildBase();
  UdevDiskEnumerator disks(diag_, MountsPath());
  EXPECT_EQ(disks.EnumerateDisks(), Without("/dev/sg0"));
  // The CD drive and the NVMe disk are no disks a bridge can carry: left out without a word.
  EXPECT_EQ(diag_.lines,
            std::vector<std::string>{"disks: /dev/sda holds the running system; not offered"});
}

TEST_F(UdevMachine, TheDiskHoldingRootIsNeverOfferedHoweverRootIsNamed) {
  const struct {
    const char* what;
    const char* mounts;
    const char* rootSg;
  } cases[] = {
      {"partition node", "/dev/sdb1 / vfat rw 0 0\n", "/dev/sg2"},
      {"symbolic name", "/dev/disk/by-uuid/5e1f-0001 / ext4 rw 0 0\n", "/dev/sg3"},
      {"LVM volume on a partition", "/dev/mapper/vg-root / ext4 rw 0 0\n", "/dev/sg3"},
      {"whole disk", "/dev/sdd / vfat rw 0 0\n", "/dev/sg4"},
      {"between rootfs and an overlay",
       "rootfs / rootfs rw 0 0\n/dev/sde / ext4 rw 0 0\noverlay / overlay rw 0 0\n", "/dev/sg1"},
  };
  BuildBase();
  for (const auto& c : cases) {
    WriteMounts(c.mounts);
    CapturingDiagnostics diag;
    UdevDiskEnumerator disks(diag, MountsPath());
    EXPECT_EQ(disks.EnumerateDisks(), Without(c.rootSg)) << c.what;
  }
}

TEST_F(UdevMachine, ADiskWithoutSgNodeIsLeftOutWithTheFix) {
  BuildBase();
  Add(Device(kXhci + "/usb2/2-4", "usb", "usb_device", "usb") +
      Device(kXhci + "/usb2/2-4/2-4:1.0", "usb", "usb_interface", "usb-storage") +
      ScsiDisk(kXhci + "/usb2/2-4/2-4:1.0", 10, "sdf", 8, 80, -1));
  UdevDiskEnumerator disks(diag_, MountsPath());
  EXPECT_EQ(disks.EnumerateDisks(), Without("/dev/sg0"));
  EXPECT_EQ(diag_.lines,
            (std::vector<std::string>{
                "disks: /dev/sda holds the running system; not offered",
                "disks: /dev/sdf has no SCSI generic node; load the sg module: modprobe sg"}));
}

TEST_F(UdevMachine, BusComesFromTheDriverAboveTheScsiHost) {
  const struct {
    const char* driver;
    const char* subsystem;
    Bus bus;
  } cases[] = {
      {"usb-storage", "usb", Bus::Usb},
      {"uas", "usb", Bus::Uasp},
      {"firewire_sbp2", "firewire", Bus::Ieee1394},
      {"sbp2", "ieee1394", Bus::Ieee1394},
      {"mpt3sas", "pci", Bus::Other},
      {"virtio_scsi", "virtio", Bus::Other},
  };
  for (const auto& c : cases) {
    // A root disk and one more disk on host 20, below a device bound to the driver.
    NewTestbed();
    const std::string parent = "/devices/pci0000:00/0000:00:1e.0/port0";
    Add(Device(kAhci, "pci", "", "ahci") + ScsiDisk(kAhci + "/ata1", 0, "sda", 8, 0, 0) +
        Partition(DiskPath(kAhci + "/ata1", 0, "sda"), "sda2", 2, 2) +
        Device("/devices/pci0000:00/0000:00:1e.0", "pci", "", "pcieport") +
        Device(parent, c.subsystem, "", c.driver) + ScsiDisk(parent, 20, "sdf", 8, 80, 10));
    WriteMounts("/dev/sda2 / ext4 rw 0 0\n");
    UdevDiskEnumerator disks(diag_, MountsPath());
    EXPECT_EQ(disks.EnumerateDisks(), (std::vector<DiskInterface>{{"/dev/sg10", c.bus}}))
        << c.driver;
  }
}

TEST_F(UdevMachine, DisksComeInNumericScsiAddressOrder) {
  // sdf on host 100 and sdg on host 20: by name sdf would come first, and as text "100:0:0:0"
  // sorts before "1:0:0:0" and "20:0:0:0".
  BuildBase();
  Add(ScsiDisk(kUsbStorage, 100, "sdf", 8, 80, 10) + ScsiDisk(kUsbStorage, 20, "sdg", 8, 96, 11));
  UdevDiskEnumerator disks(diag_, MountsPath());
  std::vector<DiskInterface> expected = Without("/dev/sg0");
  expected.push_back({"/dev/sg11", Bus::Usb});
  expected.push_back({"/dev/sg10", Bus::Usb});
  EXPECT_EQ(disks.EnumerateDisks(), expected);
}

TEST_F(UdevMachine, AnUnreadableMountTableIsSaid) {
  BuildBase();
  UdevDiskEnumerator disks(diag_, root_ + "/no-such-mounts");
  disks.EnumerateVolumes();
  ASSERT_FALSE(diag_.lines.empty());
  EXPECT_EQ(diag_.lines[0], "disks: cannot read the mount table " + root_ + "/no-such-mounts");
}

// --- Volumes -----------------------------------------------------------------------------------

void ExpectVolumes(const std::vector<Volume>& got, const std::vector<Volume>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(got[i].name, want[i].name) << i;
    EXPECT_EQ(got[i].path, want[i].path) << want[i].name;
    EXPECT_EQ(got[i].mountPoint, want[i].mountPoint) << want[i].name;
    EXPECT_EQ(got[i].system, want[i].system) << want[i].name;
    EXPECT_FALSE(got[i].remote) << want[i].name;
  }
}

TEST_F(UdevMachine, VolumesArePartitionsAndBareFileSystemsWithTheirMountPoints) {
  BuildBase();
  UdevDiskEnumerator disks(diag_, MountsPath());
  ExpectVolumes(disks.EnumerateVolumes(),
                {
                    {"/dev/dm-0", "/dev/dm-0", "", false, false},
                    {"/dev/sda1", "/dev/sda1", "/boot/efi", true, false},  // on the root disk
                    {"/dev/sda2", "/dev/sda2", "/", true, false},
                    {"/dev/sdb1", "/dev/sdb1", "/media/usb", false, false},
                    {"/dev/sdb2", "/dev/sdb2", "", false, false},
                    {"/dev/sdc1", "/dev/sdc1", "/media/uas", false, false},
                    {"/dev/sdc2", "/dev/sdc2", "", false, false},
                    {"/dev/sdd", "/dev/sdd", "/media/fw", false, false},
                });
}

TEST_F(UdevMachine, RootOnLvmMarksTheVolumeAndEveryPartitionOfTheDiskBelow) {
  BuildBase("/dev/mapper/vg-root / ext4 rw 0 0\n/dev/sdc1 /boot ext4 rw 0 0\n");
  UdevDiskEnumerator disks(diag_, MountsPath());
  std::vector<std::string> system;
  for (const Volume& v : disks.EnumerateVolumes()) {
    if (v.system) system.push_back(v.name + " " + v.mountPoint);
  }
  EXPECT_EQ(system, (std::vector<std::string>{"/dev/dm-0 /", "/dev/sdc1 /boot", "/dev/sdc2 "}));
}

// --- Storage device numbers --------------------------------------------------------------------

TEST_F(UdevMachine, StorageDeviceNumbersTieSgNodesAndVolumesToTheirDisk) {
  BuildBase();
  UdevDiskEnumerator disks(diag_, MountsPath());
  const struct {
    const char* path;
    bool known;
    StorageDeviceNumber number;
  } cases[] = {
      {"/dev/sg2", true, {8, 16, 0}},
      {"/dev/sdb", true, {8, 16, 0}},
      {"/dev/sdb1", true, {8, 16, 1}},
      {"/dev/sdb2", true, {8, 16, 2}},
      {"/dev/sg4", true, {8, 48, 0}},
      {"/dev/sdd", true, {8, 48, 0}},
      {"/dev/disk/by-uuid/5e1f-0001", true, {8, 32, 1}},
      {"/dev/sg5", true, {11, 0, 0}},  // a CD drive is no candidate, but it has a number
      {"/dev/sg6", false, {}},         // no block device behind the enclosure
      {"/dev/sg9", false, {}},
      {"/tmp", false, {}},
      {"", false, {}},
  };
  for (const auto& c : cases) {
    const std::optional<StorageDeviceNumber> n = disks.GetStorageDeviceNumber(c.path);
    ASSERT_EQ(n.has_value(), c.known) << c.path;
    if (!n) continue;
    EXPECT_EQ(n->deviceType, c.number.deviceType) << c.path;
    EXPECT_EQ(n->deviceNumber, c.number.deviceNumber) << c.path;
    EXPECT_EQ(n->partitionNumber, c.number.partitionNumber) << c.path;
  }
}

// --- Arrival and removal -----------------------------------------------------------------------

bool Readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

gchar* AddUsb(UMockdevTestbed* bed, const char* name, const char* parent, const char* devtype) {
  return umockdev_testbed_add_device(bed, "usb", name, parent, nullptr, "DEVTYPE", devtype,
                                     nullptr);
}

// A USB device arrives long before its disk can be enumerated; the disk and its sg node are
// what is news, and a partition, a USB device or interface, a FireWire node and a change are not.
TEST_F(UdevMachine, MonitorReportsTheDiskAndItsGenericNodeOnly) {
  UdevDeviceMonitor monitor(diag_);
  ASSERT_GE(monitor.PollFd(), 0);
  EXPECT_TRUE(monitor.Drain().empty());

  gchar* device = AddUsb(bed_, "3-1", nullptr, "usb_device");
  gchar* iface = AddUsb(bed_, "3-1:1.0", device, "usb_interface");
  gchar* node = umockdev_testbed_add_device(bed_, "firewire", "fw2", nullptr, nullptr, nullptr);
  EXPECT_TRUE(monitor.Drain().empty()) << "the USB device and the FireWire node are not the disk";

  gchar* sg = umockdev_testbed_add_device(bed_, "scsi_generic", "sg4", iface, nullptr, nullptr);
  EXPECT_TRUE(Readable(monitor.PollFd()));
  EXPECT_EQ(monitor.Drain(), std::vector<DeviceEvent>{DeviceEvent::Arrival});
  gchar* disk = umockdev_testbed_add_device(bed_, "block", "sdx", iface, nullptr, "DEVTYPE", "disk", nullptr);
  gchar* part = umockdev_testbed_add_device(bed_, "block", "sdx1", disk, nullptr, "DEVTYPE", "partition", nullptr);
  umockdev_testbed_uevent(bed_, disk, "change");  // media change: no arrival
  EXPECT_EQ(monitor.Drain(), std::vector<DeviceEvent>{DeviceEvent::Arrival}) << "the disk, not its partition";

  umockdev_testbed_uevent(bed_, part, "remove");
  umockdev_testbed_uevent(bed_, disk, "remove");
  umockdev_testbed_uevent(bed_, sg, "remove");
  umockdev_testbed_uevent(bed_, iface, "remove");
  umockdev_testbed_uevent(bed_, device, "remove");
  umockdev_testbed_uevent(bed_, node, "remove");
  EXPECT_EQ(monitor.Drain(), (std::vector<DeviceEvent>{DeviceEvent::Removal, DeviceEvent::Removal}));
  EXPECT_FALSE(Readable(monitor.PollFd()));
  EXPECT_TRUE(monitor.Drain().empty());
  EXPECT_TRUE(diag_.lines.empty());
  for (gchar* p : {device, iface, node, sg, disk, part}) g_free(p);
}

}  // namespace
}  // namespace linux_os
}  // namespace qvfw::platform
