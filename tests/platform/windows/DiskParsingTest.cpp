// The window platform's disk enumeration against recorded structures: the bytes the setup API,
// the storage IOCTLs and WM_DEVICECHANGE hand the program, built here as the system lays them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/windows/DiskParsing.h"

namespace qvfw::platform::windows_os {
namespace {

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  if (b.size() < at + 4) b.resize(at + 4, 0);
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
  Put32(b, at, static_cast<uint32_t>(v));
  Put32(b, at + 4, static_cast<uint32_t>(v >> 32));
}

const std::string kUsbPath =
    "\\\\?\\usbstor#disk&ven_qavion&prod_qv4077&rev_0100#2010122700ab&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
const std::string kUaspPath =
    "\\\\?\\scsi#disk&ven_qavion&prod_qv4077u#4&2a5bdb2f&0&000000#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
const std::string k1394Path =
    "\\\\?\\sbp2#qavion&qv4077f&lun0#1&00a0b8000000c2fa&0&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
const std::string kSataPath =
    "\\\\?\\scsi#disk&ven_&prod_st1000dm003#4&1d3c5d8e&0&000000#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";

// SP_DEVICE_INTERFACE_DETAIL_DATA_A as SetupDiGetDeviceInterfaceDetailA leaves it in the
// program's zero-filled 1024-byte buffer.
std::vector<uint8_t> Detail(WordSize w, const std::string& path) {
  std::vector<uint8_t> b(kInterfaceDetailBufferSize, 0);
  Put32(b, 0, InterfaceDetailSize(w));
  std::memcpy(b.data() + kInterfaceDetailPathOffset, path.data(), path.size());
  return b;
}

TEST(InterfaceDetail, GivesThePathAsWrittenForBothWordSizes) {
  for (WordSize w : {WordSize::Bits32, WordSize::Bits64}) {
    for (const std::string& path : {kUsbPath, kUaspPath, k1394Path}) {
      EXPECT_EQ(ParseInterfaceDetail(Detail(w, path)), path);
    }
  }
  // The path keeps its case: it is opaque.
  const std::string upper = "\\\\?\\USBSTOR#Disk&Ven_Qavion#0001#{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}";
  EXPECT_EQ(ParseInterfaceDetail(Detail(WordSize::Bits32, upper)), upper);
}

TEST(InterfaceDetail, RejectsBuffersWithoutAPath) {
  EXPECT_EQ(ParseInterfaceDetail(Detail(WordSize::Bits64, "")), std::nullopt);
  std::vector<uint8_t> full(64, 'a');
  Put32(full, 0, 8);
  EXPECT_EQ(ParseInterfaceDetail(full), std::nullopt);  // no terminator inside the buffer
  EXPECT_EQ(ParseInterfaceDetail(std::vector<uint8_t>{5, 0, 0, 0}), std::nullopt);
}

TEST(InterfacePath, SplitsEnumeratorDeviceInstanceAndClass) {
  const auto usb = ParseInterfacePath(kUsbPath);
  ASSERT_TRUE(usb);
  EXPECT_EQ(usb->enumerator, "usbstor");
  EXPECT_EQ(usb->deviceId, "disk&ven_qavion&prod_qv4077&rev_0100");
  EXPECT_EQ(usb->instanceId, "2010122700ab&0");
  EXPECT_EQ(usb->interfaceClass, "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");

  const auto uasp = ParseInterfacePath(kUaspPath);
  ASSERT_TRUE(uasp);
  EXPECT_EQ(uasp->enumerator, "scsi");
  EXPECT_EQ(uasp->instanceId, "4&2a5bdb2f&0&000000");

  const auto fw = ParseInterfacePath("\\\\.\\SBP2#Qavion&QV4077F&LUN0#1&00A0B8&0&0#{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}");
  ASSERT_TRUE(fw);
  EXPECT_EQ(fw->enumerator, "SBP2");
  EXPECT_EQ(fw->interfaceClass, "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}");
}

TEST(InterfacePath, RejectsWhatIsNoInterfacePath) {
  EXPECT_EQ(ParseInterfacePath("\\\\.\\E:"), std::nullopt);
  EXPECT_EQ(ParseInterfacePath("usbstor#disk#1#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"), std::nullopt);
  EXPECT_EQ(ParseInterfacePath("\\\\?\\#disk"), std::nullopt);
  EXPECT_EQ(ParseInterfacePath(""), std::nullopt);
}

TEST(StorageDeviceNumber, ReadsTypeNumberAndPartition) {
  // IOCTL_STORAGE_GET_DEVICE_NUMBER for a disk (FILE_DEVICE_DISK, disk 2) and for its second
  // partition's volume.
  const std::vector<uint8_t> disk = {0x07, 0, 0, 0, 0x02, 0, 0, 0, 0x00, 0, 0, 0};
  const std::vector<uint8_t> volume = {0x07, 0, 0, 0, 0x02, 0, 0, 0, 0x02, 0, 0, 0};
  const auto d = ParseStorageDeviceNumber(disk);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->deviceType, kFileDeviceDisk);
  EXPECT_EQ(d->deviceNumber, 2u);
  EXPECT_EQ(d->partitionNumber, 0u);
  EXPECT_EQ(ParseStorageDeviceNumber(volume)->partitionNumber, 2u);
  const std::vector<uint8_t> big = {0x07, 0, 0, 0, 0x34, 0x12, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(ParseStorageDeviceNumber(big)->deviceNumber, 0x1234u);
  EXPECT_EQ(ParseStorageDeviceNumber(big)->partitionNumber, 0xFFFFFFFFu);
  EXPECT_EQ(ParseStorageDeviceNumber(std::vector<uint8_t>(disk.begin(), disk.begin() + 8)), std::nullopt);
}

TEST(StoragePropertyQuery, AsksForTheStandardDescriptor) {
  const auto q = StoragePropertyQuery(kStorageDeviceProperty);
  EXPECT_EQ(std::vector<uint8_t>(q.begin(), q.end()), std::vector<uint8_t>(12, 0));
  const auto a = StoragePropertyQuery(kStorageAdapterProperty);
  EXPECT_EQ(a[0], 1);
  EXPECT_EQ(a[4], 0);  // PropertyStandardQuery
}

// STORAGE_DEVICE_DESCRIPTOR as the storage stack returns it: the 40-byte structure, then the
// vendor, product, revision and serial strings it points at.
std::vector<uint8_t> DeviceDescriptor(uint32_t busType) {
  std::vector<uint8_t> b(40, 0);
  const std::string strings = std::string("Qavion\0QV4077\0" "0100\0" "2010122700AB\0", 32);
  Put32(b, 0, 40);                                            // Version
  Put32(b, 4, static_cast<uint32_t>(40 + strings.size()));    // Size
  b[8] = 0x00;                                                // DeviceType: direct access
  b[10] = 1;                                                  // RemovableMedia
  Put32(b, 12, 40);                                           // VendorIdOffset
  Put32(b, 16, 47);                                           // ProductIdOffset
  Put32(b, 20, 54);                                           // ProductRevisionOffset
  Put32(b, 24, 59);                                           // SerialNumberOffset
  Put32(b, 28, busType);                                      // BusType
  Put32(b, 32, 0);                                            // RawPropertiesLength
  b.insert(b.end(), strings.begin(), strings.end());
  return b;
}

TEST(DeviceDescriptor, ReadsTheBusType) {
  for (uint32_t bus : {kBusTypeUsb, kBusTypeScsi, kBusTypeSas, kBusType1394, kBusTypeSata, kBusTypeNvme}) {
    EXPECT_EQ(ParseDeviceDescriptorBusType(DeviceDescriptor(bus)), bus);
  }
  // A reply cut before the field, or a descriptor whose Size says it does not hold it.
  const std::vector<uint8_t> d = DeviceDescriptor(kBusTypeUsb);
  EXPECT_EQ(ParseDeviceDescriptorBusType({d.data(), 30}), std::nullopt);
  std::vector<uint8_t> small = d;
  Put32(small, 4, 28);
  EXPECT_EQ(ParseDeviceDescriptorBusType(small), std::nullopt);
}

TEST(AlignmentMask, FromTheAdapterDescriptorAndTheScsiCapabilities) {
  // STORAGE_ADAPTER_DESCRIPTOR: Version, Size, MaximumTransferLength, MaximumPhysicalPages,
  // AlignmentMask, flags, BusType...
  std::vector<uint8_t> adapter(32, 0);
  Put32(adapter, 0, 32);
  Put32(adapter, 4, 32);
  Put32(adapter, 8, 0x20000);
  Put32(adapter, 12, 33);
  Put32(adapter, 16, 0x1FF);
  adapter[24] = kBusTypeUsb;
  EXPECT_EQ(ParseAdapterAlignmentMask(adapter), 0x1FFu);
  EXPECT_EQ(ParseAdapterAlignmentMask({adapter.data(), 16}), std::nullopt);
  // IO_SCSI_CAPABILITIES: Length, MaximumTransferLength, MaximumPhysicalPages,
  // SupportedAsynchronousEvents, AlignmentMask, three flags.
  std::vector<uint8_t> caps(24, 0);
  Put32(caps, 0, 24);
  Put32(caps, 4, 0x10000);
  Put32(caps, 8, 17);
  Put32(caps, 16, 0x3);
  EXPECT_EQ(ParseScsiCapabilitiesAlignmentMask(caps), 0x3u);
  Put32(caps, 0, 12);  // a Length that stops before the mask
  EXPECT_EQ(ParseScsiCapabilitiesAlignmentMask(caps), std::nullopt);
}

TEST(VolumeDiskExtents, ListsTheDisksOfEveryExtent) {
  std::vector<uint8_t> one(32, 0);
  Put32(one, 0, 1);
  Put32(one, 8, 3);                    // DiskNumber
  Put64(one, 16, 1048576);             // StartingOffset
  Put64(one, 24, 500107862016ull);     // ExtentLength
  EXPECT_EQ(ParseVolumeDiskExtents(one), std::vector<uint32_t>{3});

  std::vector<uint8_t> two = one;
  Put32(two, 0, 2);
  Put32(two, 32, 5);
  Put64(two, 40, 0);
  Put64(two, 48, 1ull << 30);
  EXPECT_EQ(ParseVolumeDiskExtents(two), (std::vector<uint32_t>{3, 5}));
  // ERROR_MORE_DATA leaves the count with only the first extent in the buffer.
  EXPECT_EQ(ParseVolumeDiskExtents(std::vector<uint8_t>(two.begin(), two.begin() + 32)), std::nullopt);
  EXPECT_EQ(ParseVolumeDiskExtents(std::vector<uint8_t>{0, 0}), std::nullopt);
}

struct BusRow {
  const std::string* path;
  std::optional<uint32_t> busType;
  Bus expected;
};

TEST(BusOfDisk, FromTheStorageBusTypeAndTheEnumerator) {
  const BusRow rows[] = {
      {&kUsbPath, kBusTypeUsb, Bus::Usb},
      {&kUaspPath, kBusTypeUsb, Bus::Uasp},       // UASP miniport reporting USB
      {&kUaspPath, kBusTypeScsi, Bus::Uasp},      // ... or SCSI
      {&kUaspPath, kBusTypeSas, Bus::Uasp},       // ... or SAS
      {&k1394Path, kBusType1394, Bus::Ieee1394},
      {&kSataPath, kBusTypeSata, Bus::Other},     // under "scsi", but the query says SATA
      {&kSataPath, kBusTypeNvme, Bus::Other},
      {&kSataPath, kBusTypeRAID, Bus::Other},
      // No answer from the query: discovery's path filters.
      {&kUsbPath, std::nullopt, Bus::Usb},
      {&kUaspPath, kBusTypeUnknown, Bus::Uasp},
      {&k1394Path, std::nullopt, Bus::Ieee1394},
  };
  for (const BusRow& row : rows) {
    EXPECT_EQ(BusOfDisk(*row.path, row.busType), row.expected)
        << *row.path << " bus type " << (row.busType ? static_cast<int>(*row.busType) : -1);
  }
  EXPECT_EQ(BusOfDisk("\\\\?\\USBSTOR#Disk&Ven_X#1#{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}", std::nullopt), Bus::Usb);
  EXPECT_EQ(BusOfDisk("\\\\?\\ide#diskst1000#5&1#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}", std::nullopt), Bus::Other);
  EXPECT_EQ(BusOfDisk("not a path", std::nullopt), Bus::Other);
}

TEST(VolumesOfDrives, LettersInOrderWithTheSystemAndNetworkDrivesMarked) {
  // A: missing; C: the system; E: and G: fixed; Z: a network drive.
  const uint32_t mask = 1u << 2 | 1u << 4 | 1u << 6 | 1u << 25;
  std::vector<char> asked;
  const std::vector<Volume> v = VolumesOfDrives(mask, "c:\\windows", [&](char letter) -> uint32_t {
    asked.push_back(letter);
    return letter == 'Z' ? kDriveRemote : 3;  // DRIVE_FIXED
  });
  ASSERT_EQ(v.size(), 4u);
  EXPECT_EQ(v[0].name, "C");
  EXPECT_TRUE(v[0].system);
  EXPECT_EQ(v[1].name, "E");
  EXPECT_EQ(v[1].path, "\\\\.\\E:");
  EXPECT_EQ(v[1].mountPoint, "E:\\");
  EXPECT_FALSE(v[1].system);
  EXPECT_FALSE(v[1].remote);
  EXPECT_EQ(v[2].name, "G");
  EXPECT_EQ(v[3].name, "Z");
  EXPECT_TRUE(v[3].remote);
  // The system drive's type is never asked.
  EXPECT_EQ(asked, (std::vector<char>{'E', 'G', 'Z'}));
}

TEST(VolumesOfDrives, VolumePathsNameTheirLetter) {
  EXPECT_EQ(DriveLetterOfVolumePath("\\\\.\\E:"), 'E');
  EXPECT_EQ(DriveLetterOfVolumePath("\\\\.\\g:"), 'G');
  EXPECT_EQ(DriveLetterOfVolumePath(kUsbPath), 0);
  EXPECT_EQ(DriveLetterOfVolumePath("\\\\.\\E:\\"), 0);
}

// DEV_BROADCAST_DEVICEINTERFACE_A as WM_DEVICECHANGE's lParam points at it.
std::vector<uint8_t> Broadcast(uint32_t deviceType, const Guid& cls, const std::string& name) {
  std::vector<uint8_t> b(kBroadcastDeviceInterfaceSize + name.size(), 0);
  Put32(b, 0, static_cast<uint32_t>(b.size()));
  Put32(b, 4, deviceType);
  const auto g = GuidBytes(cls);
  std::memcpy(b.data() + kBroadcastClassGuid, g.data(), g.size());
  std::memcpy(b.data() + 28, name.data(), name.size());
  return b;
}

TEST(DeviceChange, ArrivalAndRemovalOfTheRegisteredClasses) {
  const auto usb = Broadcast(kDbtDevtypDeviceInterface, kUsbDeviceInterfaceClass,
                             "\\\\?\\USB#VID_1B1C&PID_4077#0123#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
  const auto disk = Broadcast(kDbtDevtypDeviceInterface, kDiskInterfaceClass, kUsbPath);
  EXPECT_EQ(DeviceEventOf(kDbtDeviceArrival, usb), DeviceEvent::Arrival);
  EXPECT_EQ(DeviceEventOf(kDbtDeviceRemoveComplete, usb), DeviceEvent::Removal);
  EXPECT_EQ(DeviceEventOf(kDbtDeviceArrival, disk), DeviceEvent::Arrival);
  EXPECT_EQ(DeviceEventOf(kDbtDeviceRemoveComplete, disk), DeviceEvent::Removal);
  // Other events: DBT_DEVNODES_CHANGED, DBT_DEVICEQUERYREMOVE, DBT_DEVICEREMOVEPENDING.
  for (uintptr_t other : {0x0007u, 0x8001u, 0x8003u}) EXPECT_EQ(DeviceEventOf(other, usb), std::nullopt);
  // A volume broadcast (DBT_DEVTYP_VOLUME) and another interface class (HID).
  EXPECT_EQ(DeviceEventOf(kDbtDeviceArrival, Broadcast(2, kUsbDeviceInterfaceClass, "")), std::nullopt);
  const Guid hid{0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
  EXPECT_EQ(DeviceEventOf(kDbtDeviceArrival, Broadcast(kDbtDevtypDeviceInterface, hid, "")), std::nullopt);
  EXPECT_EQ(DeviceEventOf(kDbtDeviceArrival, std::vector<uint8_t>(usb.begin(), usb.begin() + 12)), std::nullopt);
}

TEST(DeviceChange, GuidBytesAreTheSystemsLayout) {
  const auto disk = GuidBytes(kDiskInterfaceClass);
  EXPECT_EQ(std::vector<uint8_t>(disk.begin(), disk.end()),
            (std::vector<uint8_t>{0x07, 0x63, 0xF5, 0x53, 0xBF, 0xB6, 0xD0, 0x11, 0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E,
                                  0xFB, 0x8B}));
}

}  // namespace
}  // namespace qvfw::platform::windows_os
