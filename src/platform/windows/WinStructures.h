#pragma once
// Windows only. The system headers the backend needs, and static assertions that pin every
// structure sent to or read from the system to the portable layout that PassThroughBlock.h and
// DiskParsing.h build and parse, for the word size of this build (i686 and x86_64 both compile
// this file).

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// clang-format off
#include <winioctl.h>
#include <ntddscsi.h>
#include <setupapi.h>
#include <dbt.h>
// clang-format on
// windows.h names a macro ReplaceFile (for ReplaceFileA/W); platform::ReplaceFile is ours.
#undef ReplaceFile

#include <cstddef>
#include <string>
#include <utility>

#include "platform/OsError.h"
#include "platform/windows/DiskParsing.h"
#include "platform/windows/PassThroughBlock.h"

namespace qvfw::platform::windows_os {

inline constexpr const SptdLayout& kNativeSptd = LayoutOf(kNativeWordSize);

// SCSI_PASS_THROUGH_DIRECT and the block with its sense area, as this build sends them.
struct SptdWithSense {
  SCSI_PASS_THROUGH_DIRECT sptd;
  ULONG Filler;
  UCHAR SenseBuf[32];
};
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == kNativeSptd.structSize);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Length) == sptd::kLength);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, ScsiStatus) == sptd::kScsiStatus);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, PathId) == sptd::kPathId);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TargetId) == sptd::kTargetId);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Lun) == sptd::kLun);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, CdbLength) == sptd::kCdbLength);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoLength) == sptd::kSenseInfoLength);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataIn) == sptd::kDataIn);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength) == sptd::kDataTransferLength);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TimeOutValue) == sptd::kTimeOutValue);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == kNativeSptd.dataBuffer);
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT::DataBuffer) == kNativeSptd.pointerSize);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == kNativeSptd.senseInfoOffset);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == kNativeSptd.cdb);
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT::Cdb) == sptd::kCdbSize);
static_assert(offsetof(SptdWithSense, SenseBuf) == kNativeSptd.senseArea);
static_assert(sizeof(SptdWithSense) == kNativeSptd.blockSize);
static_assert(alignof(SCSI_PASS_THROUGH_DIRECT) <= alignof(PassThroughBlock));
#ifndef _WIN64
// The 32-bit build: a 44-byte structure, sense at 48, 80 bytes in all.
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 44 && sizeof(SptdWithSense) == 80);
static_assert(offsetof(SptdWithSense, SenseBuf) == 48);
#endif
// (mingw-w64's SCSI_PASS_THROUGH_DIRECT32, the 32-bit caller's structure as a 64-bit driver sees
// it, declares DataBuffer as a 64-bit pointer and so does not describe the 44-byte structure; the
// 32-bit layout is pinned by the i686 build above and by the portable mirror Sptd32.)

static_assert(IOCTL_SCSI_PASS_THROUGH_DIRECT == kIoctlScsiPassThroughDirect);
static_assert(IOCTL_SCSI_GET_CAPABILITIES == kIoctlScsiGetCapabilities);
static_assert(IOCTL_STORAGE_GET_DEVICE_NUMBER == kIoctlStorageGetDeviceNumber);
static_assert(IOCTL_STORAGE_QUERY_PROPERTY == kIoctlStorageQueryProperty);
static_assert(IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS == kIoctlVolumeGetVolumeDiskExtents);
static_assert(SCSI_IOCTL_DATA_IN == kScsiIoctlDataIn && SCSI_IOCTL_DATA_OUT == kScsiIoctlDataOut);

// STORAGE_DEVICE_NUMBER.
static_assert(sizeof(STORAGE_DEVICE_NUMBER) == kStorageDeviceNumberSize);
static_assert(offsetof(STORAGE_DEVICE_NUMBER, DeviceType) == 0);
static_assert(offsetof(STORAGE_DEVICE_NUMBER, DeviceNumber) == 4);
static_assert(offsetof(STORAGE_DEVICE_NUMBER, PartitionNumber) == 8);
static_assert(FILE_DEVICE_DISK == kFileDeviceDisk);

// STORAGE_PROPERTY_QUERY and the two descriptors read back.
static_assert(sizeof(STORAGE_PROPERTY_QUERY) == kStoragePropertyQuerySize);
static_assert(offsetof(STORAGE_PROPERTY_QUERY, PropertyId) == 0);
static_assert(offsetof(STORAGE_PROPERTY_QUERY, QueryType) == 4);
static_assert(StorageDeviceProperty == kStorageDeviceProperty && StorageAdapterProperty == kStorageAdapterProperty);
static_assert(PropertyStandardQuery == 0);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, Size) == 4);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType) == kDeviceDescriptorBusType);
static_assert(sizeof(STORAGE_BUS_TYPE) == 4);
static_assert(uint32_t{BusTypeScsi} == kBusTypeScsi && uint32_t{BusType1394} == kBusType1394 &&
              uint32_t{BusTypeUsb} == kBusTypeUsb && uint32_t{BusTypeSas} == kBusTypeSas &&
              uint32_t{BusTypeSata} == kBusTypeSata && uint32_t{BusTypeNvme} == kBusTypeNvme);
static_assert(offsetof(STORAGE_ADAPTER_DESCRIPTOR, Size) == 4);
static_assert(offsetof(STORAGE_ADAPTER_DESCRIPTOR, AlignmentMask) == kAlignmentMaskOffset);
static_assert(offsetof(IO_SCSI_CAPABILITIES, Length) == 0);
static_assert(offsetof(IO_SCSI_CAPABILITIES, AlignmentMask) == kAlignmentMaskOffset);
static_assert(sizeof(IO_SCSI_CAPABILITIES) == 24);

// VOLUME_DISK_EXTENTS.
static_assert(offsetof(VOLUME_DISK_EXTENTS, Extents) == kDiskExtentsOffset);
static_assert(sizeof(DISK_EXTENT) == kDiskExtentSize);
static_assert(offsetof(DISK_EXTENT, DiskNumber) == 0);

// The setup API's structures (packed to 1 for 32-bit processes, to 8 for 64-bit ones).
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == InterfaceDataSize(kNativeWordSize));
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == InterfaceDetailSize(kNativeWordSize));
static_assert(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) == kInterfaceDetailPathOffset);
static_assert(DIGCF_PRESENT == 0x02 && DIGCF_DEVICEINTERFACE == 0x10);

// Device-change broadcasts.
static_assert(sizeof(DEV_BROADCAST_HDR) == kBroadcastHeaderSize);
static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) == kBroadcastDeviceInterfaceSize);
static_assert(offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_classguid) == kBroadcastClassGuid);
static_assert(DBT_DEVTYP_DEVICEINTERFACE == kDbtDevtypDeviceInterface);
static_assert(DBT_DEVICEARRIVAL == kDbtDeviceArrival && DBT_DEVICEREMOVECOMPLETE == kDbtDeviceRemoveComplete);
static_assert(DRIVE_REMOTE == kDriveRemote);
static_assert(sizeof(GUID) == 16);

inline GUID ToGuid(const Guid& g) {
  GUID out;
  out.Data1 = g.data1;
  out.Data2 = g.data2;
  out.Data3 = g.data3;
  for (int i = 0; i < 8; ++i) out.Data4[i] = g.data4[i];
  return out;
}

// "error 5 (Access is denied)": the number and the system's text for a GetLastError value.
inline std::string WindowsErrorText(DWORD error) {
  return "error " + std::to_string(error) + " (" + OsErrorText(error) + ")";
}

// Closes a handle on destruction.
class UniqueHandle {
 public:
  explicit UniqueHandle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
  ~UniqueHandle() {
    if (valid()) ::CloseHandle(h_);
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  HANDLE get() const { return h_; }
  // Closes now and tells whether the close succeeded.
  bool Close() {
    const HANDLE h = std::exchange(h_, INVALID_HANDLE_VALUE);
    return h != INVALID_HANDLE_VALUE && h != nullptr && ::CloseHandle(h);
  }
  bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  // Gives the handle up without closing it.
  HANDLE Release() { return std::exchange(h_, INVALID_HANDLE_VALUE); }

 private:
  HANDLE h_;
};

}  // namespace qvfw::platform::windows_os
