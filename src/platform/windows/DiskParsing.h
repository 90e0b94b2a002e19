#pragma once
// What the window platform's disk enumeration reads, parsed from the bytes the system returns:
// device interface details and paths, storage device numbers, storage descriptors, volume
// extents, drive letters and device-change broadcasts. Portable on purpose: the Windows backend
// parses what the system hands it with these, and the tests feed them recorded structures on any
// OS. All structures are little-endian and have the same layout for 32-bit and 64-bit processes,
// except SP_DEVICE_INTERFACE_DETAIL_DATA_A's declared size (5 or 8) and SP_DEVICE_INTERFACE_DATA's
// (28 or 32).

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Disks.h"
#include "platform/windows/PassThroughBlock.h"

namespace qvfw::platform::windows_os {

struct Guid {
  uint32_t data1;
  uint16_t data2, data3;
  uint8_t data4[8];
};
// GUID_DEVINTERFACE_DISK: the disk interface class that discovery enumerates.
inline constexpr Guid kDiskInterfaceClass{0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
// GUID_DEVINTERFACE_USB_DEVICE: the class the window registers its notifications for.
inline constexpr Guid kUsbDeviceInterfaceClass{0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
// The 16 bytes of a GUID as a structure holds them.
std::array<uint8_t, 16> GuidBytes(const Guid& guid);

// SP_DEVICE_INTERFACE_DATA.cbSize and SP_DEVICE_INTERFACE_DETAIL_DATA_A.cbSize per word size (the
// setup API's structures are packed to 1 byte for 32-bit and to 8 for 64-bit processes).
constexpr uint32_t InterfaceDataSize(WordSize w) { return w == WordSize::Bits64 ? 32 : 28; }
constexpr uint32_t InterfaceDetailSize(WordSize w) { return w == WordSize::Bits64 ? 8 : 5; }
inline constexpr size_t kInterfaceDetailPathOffset = 4;  // DevicePath
inline constexpr size_t kInterfaceDetailBufferSize = 1024;

// The DevicePath of an SP_DEVICE_INTERFACE_DETAIL_DATA_A buffer, exactly as the system wrote it:
// the zero-terminated string from offset 4. nullopt when the buffer is shorter than that, holds no
// terminator or an empty path.
std::optional<std::string> ParseInterfaceDetail(std::span<const uint8_t> detail);

// A device interface path, "\\?\usbstor#disk&ven_qavion&prod_qv40&rev_0001#0123&0#{53f56307-...}":
// the device's instance id with '\' written as '#', then the interface class. The parts keep
// their case; compare them without it.
struct InterfacePath {
  std::string enumerator;      // "usbstor", "scsi", "sbp2", ...
  std::string deviceId;        // "disk&ven_qavion&prod_qv40&rev_0001"
  std::string instanceId;      // "0123&0"
  std::string interfaceClass;  // "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}", or empty
};
// nullopt when the path does not start with "\\?\" or "\\.\" or has no enumerator and device id.
std::optional<InterfacePath> ParseInterfacePath(std::string_view path);

// STORAGE_DEVICE_NUMBER: DeviceType, DeviceNumber, PartitionNumber (u32 each). nullopt when fewer
// than 12 bytes came back.
inline constexpr size_t kStorageDeviceNumberSize = 12;
std::optional<StorageDeviceNumber> ParseStorageDeviceNumber(std::span<const uint8_t> bytes);

// STORAGE_PROPERTY_QUERY {PropertyId, QueryType = PropertyStandardQuery, AdditionalParameters[1]}:
// 12 bytes.
inline constexpr uint32_t kStorageDeviceProperty = 0;
inline constexpr uint32_t kStorageAdapterProperty = 1;
inline constexpr size_t kStoragePropertyQuerySize = 12;
std::array<uint8_t, kStoragePropertyQuerySize> StoragePropertyQuery(uint32_t propertyId);

// STORAGE_BUS_TYPE.
enum StorageBusType : uint32_t {
  kBusTypeUnknown = 0x00,
  kBusTypeScsi = 0x01,
  kBusTypeAtapi = 0x02,
  kBusTypeAta = 0x03,
  kBusType1394 = 0x04,
  kBusTypeSsa = 0x05,
  kBusTypeFibre = 0x06,
  kBusTypeUsb = 0x07,
  kBusTypeRAID = 0x08,
  kBusTypeiScsi = 0x09,
  kBusTypeSas = 0x0A,
  kBusTypeSata = 0x0B,
  kBusTypeSd = 0x0C,
  kBusTypeMmc = 0x0D,
  kBusTypeVirtual = 0x0E,
  kBusTypeFileBackedVirtual = 0x0F,
  kBusTypeSpaces = 0x10,
  kBusTypeNvme = 0x11,
};
// STORAGE_DEVICE_DESCRIPTOR's BusType (offset 28 of a descriptor of at least 32 bytes whose Size
// field says it holds the field); nullopt otherwise.
inline constexpr size_t kDeviceDescriptorBusType = 28;
std::optional<uint32_t> ParseDeviceDescriptorBusType(std::span<const uint8_t> bytes);
// AlignmentMask of STORAGE_ADAPTER_DESCRIPTOR and of IO_SCSI_CAPABILITIES: both at offset 16.
inline constexpr size_t kAlignmentMaskOffset = 16;
std::optional<uint32_t> ParseAdapterAlignmentMask(std::span<const uint8_t> bytes);
std::optional<uint32_t> ParseScsiCapabilitiesAlignmentMask(std::span<const uint8_t> bytes);

// VOLUME_DISK_EXTENTS: NumberOfDiskExtents (u32), then DISK_EXTENT {DiskNumber u32, StartingOffset
// i64, ExtentLength i64} from offset 8, 24 bytes each. The disk numbers of the extents; nullopt
// when the count claims more extents than the bytes hold.
inline constexpr size_t kDiskExtentsOffset = 8;
inline constexpr size_t kDiskExtentSize = 24;
std::optional<std::vector<uint32_t>> ParseVolumeDiskExtents(std::span<const uint8_t> bytes);
inline constexpr uint32_t kFileDeviceDisk = 0x07;  // FILE_DEVICE_DISK, the DeviceType of disks

// The bus of a disk interface, from the storage property query's BusType when it gave one:
//   BusType1394 -> Ieee1394;
//   BusTypeUsb  -> Usb, or Uasp when the disk is enumerated under "scsi" (see below);
//   BusTypeScsi, BusTypeSas -> Uasp (UASP and other SCSI-attached disks, as discovery's "scsi"
//                  path filter has them);
//   anything else (ATA, SATA, NVMe, RAID, SD, virtual, network SCSI...) -> Other.
// How UASP is told apart from a USB mass-storage (bulk-only) disk: both sit on USB, but a
// bulk-only disk is enumerated by the USB storage class driver, so its instance id and interface
// path begin with "USBSTOR", while a UASP disk is enumerated by the UASP storport miniport, which
// presents it as a SCSI disk, so its path begins with "SCSI" (discovery's "usbsto" and "scsi"
// path filters rest on the same fact). Whether the miniport reports its bus as USB or as SCSI/SAS, the
// disk comes out as Uasp.
// When the query gave nothing (nullopt or BusTypeUnknown) the path's enumerator decides as those
// filters do: "usbstor" -> Usb, "sbp2" -> Ieee1394, "scsi" -> Uasp, else Other.
Bus BusOfDisk(std::string_view interfacePath, std::optional<uint32_t> storageBusType);

// The machine's drive letters from GetLogicalDrives' mask, ascending: name "E", path "\\.\E:"
// (what GetStorageDeviceNumber takes), mount point "E:\". The letter of the Windows directory is
// marked system (the system drive is never reported) and its type is not asked; a letter whose
// GetDriveType (asked through `driveType` with the letter) is DRIVE_REMOTE is marked remote.
inline constexpr uint32_t kDriveRemote = 4;
std::vector<Volume> VolumesOfDrives(uint32_t logicalDrives, std::string_view windowsDirectory,
                                    const std::function<uint32_t(char letter)>& driveType);
// "\\.\E:" -> 'E'; 0 when the path is not a drive letter's volume path.
char DriveLetterOfVolumePath(std::string_view path);

// WM_DEVICECHANGE: the event of a device-interface broadcast (DEV_BROADCAST_DEVICEINTERFACE:
// dbcc_size, dbcc_devicetype = 5, dbcc_reserved, dbcc_classguid at 12, dbcc_name at 28) of the
// USB device or disk interface class. Only DBT_DEVICEARRIVAL and DBT_DEVICEREMOVECOMPLETE count;
// every other event, device type or class gives nullopt.
inline constexpr uintptr_t kDbtDeviceArrival = 0x8000;
inline constexpr uintptr_t kDbtDeviceRemoveComplete = 0x8004;
inline constexpr uint32_t kDbtDevtypDeviceInterface = 5;
inline constexpr size_t kBroadcastHeaderSize = 12;           // DEV_BROADCAST_HDR
inline constexpr size_t kBroadcastClassGuid = 12;
inline constexpr size_t kBroadcastDeviceInterfaceSize = 32;  // DEV_BROADCAST_DEVICEINTERFACE_A
std::optional<DeviceEvent> DeviceEventOf(uintptr_t wParam, std::span<const uint8_t> broadcast);

}  // namespace qvfw::platform::windows_os
