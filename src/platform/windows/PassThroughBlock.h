#pragma once
// The request block of the window platform's IOCTL_SCSI_PASS_THROUGH_DIRECT, built and read back
// as bytes. Portable on purpose: the Windows backend sends exactly these bytes, and the tests
// build them on any OS for both word sizes.
//
// The block is SCSI_PASS_THROUGH_DIRECT followed by a 4-byte filler and a 32-byte sense area. For
// a 32-bit process that is a 44-byte structure, sense at offset 48, 80 bytes in all. A 64-bit
// process has the same fields with an 8-byte DataBuffer aligned to 8, which moves everything after
// TimeOutValue:
//
//   field               32-bit  64-bit
//   Length              0       0       u16: the structure's size (44 or 56)
//   ScsiStatus          2       2       u8: 0 on entry, the target's status on return
//   PathId/TargetId/Lun 3/4/5   3/4/5   0, 1, 0
//   CdbLength           6       6
//   SenseInfoLength     7       7       0, or the sense length asked for (at most 32)
//   DataIn              8       8       1 data-in, 0 data-out (also when no data moves)
//   DataTransferLength  12      12      u32
//   TimeOutValue        16      16      u32, seconds
//   DataBuffer          20      24      pointer (4 or 8 bytes), null when the length is 0
//   SenseInfoOffset     24      32      u32: where the sense area lies in the block
//   Cdb                 28      36      16 bytes, zero beyond CdbLength
//   sizeof              44      56
//   sense area          48      60      32 bytes
//   block size          80      96
//
// Requests without a sense area hand DeviceIoControl only the structure (44 or 56 bytes), as the
// transport's plain operations do; SenseInfoOffset still names the sense area's place.

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/PassThrough.h"

namespace qvfw::platform::windows_os {

enum class WordSize { Bits32, Bits64 };
inline constexpr WordSize kNativeWordSize = sizeof(void*) == 8 ? WordSize::Bits64 : WordSize::Bits32;

// Control codes (CTL_CODE values of the system headers; the Windows build checks them).
inline constexpr uint32_t kIoctlScsiPassThroughDirect = 0x0004D014;
inline constexpr uint32_t kIoctlScsiGetCapabilities = 0x00041010;
inline constexpr uint32_t kIoctlStorageGetDeviceNumber = 0x002D1080;
inline constexpr uint32_t kIoctlStorageQueryProperty = 0x002D1400;
inline constexpr uint32_t kIoctlVolumeGetVolumeDiskExtents = 0x00560000;

// SCSI_IOCTL_DATA_OUT / SCSI_IOCTL_DATA_IN.
inline constexpr uint8_t kScsiIoctlDataOut = 0;
inline constexpr uint8_t kScsiIoctlDataIn = 1;

// The addressing fields of every request.
inline constexpr uint8_t kPathId = 0;
inline constexpr uint8_t kTargetId = 1;
inline constexpr uint8_t kLun = 0;

// Offsets that do not depend on the word size.
namespace sptd {
inline constexpr size_t kLength = 0;
inline constexpr size_t kScsiStatus = 2;
inline constexpr size_t kPathId = 3;
inline constexpr size_t kTargetId = 4;
inline constexpr size_t kLun = 5;
inline constexpr size_t kCdbLength = 6;
inline constexpr size_t kSenseInfoLength = 7;
inline constexpr size_t kDataIn = 8;
inline constexpr size_t kDataTransferLength = 12;
inline constexpr size_t kTimeOutValue = 16;
inline constexpr size_t kCdbSize = 16;
inline constexpr size_t kSenseAreaSize = 32;
}  // namespace sptd

// The offsets and sizes that do.
struct SptdLayout {
  size_t dataBuffer;       // DataBuffer
  size_t pointerSize;      // its width
  size_t senseInfoOffset;  // the SenseInfoOffset field
  size_t cdb;              // Cdb[16]
  size_t structSize;       // sizeof(SCSI_PASS_THROUGH_DIRECT)
  size_t senseArea;        // the sense bytes within the block
  size_t blockSize;        // sizeof the structure with filler and sense area
};
inline constexpr SptdLayout kSptd32{20, 4, 24, 28, 44, 48, 80};
inline constexpr SptdLayout kSptd64{24, 8, 32, 36, 56, 60, 96};

constexpr const SptdLayout& LayoutOf(WordSize w) { return w == WordSize::Bits64 ? kSptd64 : kSptd32; }

// The structures with fixed-width fields as the system headers declare them for each word size;
// the static assertions in PassThroughBlock.cpp pin them to the table above on every compiler.
struct Sptd32 {
  uint16_t Length;
  uint8_t ScsiStatus, PathId, TargetId, Lun, CdbLength, SenseInfoLength, DataIn;
  uint32_t DataTransferLength;
  uint32_t TimeOutValue;
  uint32_t DataBuffer;
  uint32_t SenseInfoOffset;
  uint8_t Cdb[16];
};
struct Sptd64 {
  uint16_t Length;
  uint8_t ScsiStatus, PathId, TargetId, Lun, CdbLength, SenseInfoLength, DataIn;
  uint32_t DataTransferLength;
  uint32_t TimeOutValue;
  alignas(8) uint64_t DataBuffer;
  uint32_t SenseInfoOffset;
  uint8_t Cdb[16];
};
template <typename Sptd>
struct SptdWithBuffer {
  Sptd sptd;
  uint32_t Filler;
  uint8_t SenseBuf[32];
};

inline constexpr size_t kMaxBlockSize = 96;

struct PassThroughBlock {
  alignas(8) std::array<uint8_t, kMaxBlockSize> bytes{};
  uint32_t ioctlSize = 0;  // bytes handed to DeviceIoControl, as input and as output
  WordSize wordSize = kNativeWordSize;
};

// Fills the block for `request` as in the table above. `dataAddress` is the address of the buffer the
// device transfers to or from (the request's own, or an aligned bounce buffer); it is stored only
// when the request moves data, so a request of length 0 carries a null DataBuffer. The CDB must be
// 1..16 bytes and the sense length at most 32 (programming errors otherwise).
PassThroughBlock BuildPassThroughBlock(const ScsiRequest& request, uint64_t dataAddress, WordSize wordSize);

// The fields of a block, read back (what the driver left after the call).
struct PassThroughFields {
  uint16_t length = 0;
  uint8_t scsiStatus = 0;
  uint8_t pathId = 0, targetId = 0, lun = 0;
  uint8_t cdbLength = 0;
  uint8_t senseInfoLength = 0;
  uint8_t dataIn = 0;
  uint32_t dataTransferLength = 0;
  uint32_t timeOutValue = 0;
  uint64_t dataBuffer = 0;
  uint32_t senseInfoOffset = 0;
  std::array<uint8_t, 16> cdb{};
};
PassThroughFields ReadPassThroughFields(const PassThroughBlock& block);

// Judges a finished DeviceIoControl and copies the sense bytes: success needs the
// call to have returned non-zero, the last-error value read right after it to be 0 and the SCSI
// status to be 0. `transferred` is the DataTransferLength the driver wrote back, never more than
// the request's length (0 when the call failed: then nothing was reported); `senseValid` is the SenseInfoLength the driver left
// (the sense bytes it returned), at most what was asked. When the request has a sense destination,
// its senseLength bytes are copied from the block's sense area whatever the outcome.
ScsiResult FinishPassThrough(const PassThroughBlock& block, const ScsiRequest& request, bool ioctlOk,
                             uint32_t lastError);

// Whether a data buffer at `address` must go through a bounce buffer to satisfy the adapter's
// AlignmentMask (STORAGE_ADAPTER_DESCRIPTOR / IO_SCSI_CAPABILITIES: the buffer address ANDed with
// the mask must be 0).
constexpr bool NeedsAlignedBounce(uint64_t address, uint32_t alignmentMask) { return (address & alignmentMask) != 0; }

}  // namespace qvfw::platform::windows_os
