#include "platform/windows/PassThroughBlock.h"

#include <algorithm>
#include <cstring>

#include "platform/Assert.h"

namespace qvfw::platform::windows_os {

// The mirrors follow the natural layout rules every compiler applies to them; these pin them to
// the table in the header (and the Windows build pins the system headers to the same table).
#define QV_PIN(S, L)                                                                       \
  static_assert(offsetof(S, Length) == sptd::kLength);                                   \
  static_assert(offsetof(S, ScsiStatus) == sptd::kScsiStatus);                           \
  static_assert(offsetof(S, PathId) == sptd::kPathId);                                   \
  static_assert(offsetof(S, TargetId) == sptd::kTargetId);                               \
  static_assert(offsetof(S, Lun) == sptd::kLun);                                         \
  static_assert(offsetof(S, CdbLength) == sptd::kCdbLength);                             \
  static_assert(offsetof(S, SenseInfoLength) == sptd::kSenseInfoLength);                 \
  static_assert(offsetof(S, DataIn) == sptd::kDataIn);                                   \
  static_assert(offsetof(S, DataTransferLength) == sptd::kDataTransferLength);           \
  static_assert(offsetof(S, TimeOutValue) == sptd::kTimeOutValue);                       \
  static_assert(offsetof(S, DataBuffer) == L.dataBuffer);                                \
  static_assert(sizeof(S::DataBuffer) == L.pointerSize);                                 \
  static_assert(offsetof(S, SenseInfoOffset) == L.senseInfoOffset);                      \
  static_assert(offsetof(S, Cdb) == L.cdb);                                              \
  static_assert(sizeof(S) == L.structSize);                                              \
  static_assert(offsetof(SptdWithBuffer<S>, SenseBuf) == L.senseArea);                   \
  static_assert(sizeof(SptdWithBuffer<S>) == L.blockSize);                               \
  static_assert(L.blockSize <= kMaxBlockSize)
QV_PIN(Sptd32, kSptd32);
QV_PIN(Sptd64, kSptd64);
#undef QV_PIN

// The 32-bit program's request: a 44-byte structure, sense at 48, 80 bytes in all.
static_assert(kSptd32.structSize == 44 && kSptd32.senseArea == 48 && kSptd32.blockSize == 80);
static_assert(kSptd32.cdb == 28 && kSptd32.senseInfoOffset == 24 && kSptd32.dataBuffer == 20);

namespace {

void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
uint64_t Get64(const uint8_t* p) { return Get32(p) | static_cast<uint64_t>(Get32(p + 4)) << 32; }

}  // namespace

PassThroughBlock BuildPassThroughBlock(const ScsiRequest& request, uint64_t dataAddress, WordSize wordSize) {
  QV_ASSERT(!request.cdb.empty() && request.cdb.size() <= sptd::kCdbSize, "WindowsPassThrough");
  QV_ASSERT(request.senseLength <= sptd::kSenseAreaSize, "WindowsPassThrough");
  const SptdLayout& layout = LayoutOf(wordSize);
  const bool wantsSense = request.sense != nullptr && request.senseLength > 0;

  PassThroughBlock block;
  block.wordSize = wordSize;
  uint8_t* b = block.bytes.data();
  Put16(b + sptd::kLength, static_cast<uint16_t>(layout.structSize));
  b[sptd::kScsiStatus] = 0;
  b[sptd::kPathId] = kPathId;
  b[sptd::kTargetId] = kTargetId;
  b[sptd::kLun] = kLun;
  b[sptd::kCdbLength] = static_cast<uint8_t>(request.cdb.size());
  b[sptd::kSenseInfoLength] = wantsSense ? static_cast<uint8_t>(request.senseLength) : 0;
  b[sptd::kDataIn] = request.dataIn ? kScsiIoctlDataIn : kScsiIoctlDataOut;
  Put32(b + sptd::kDataTransferLength, request.length);
  Put32(b + sptd::kTimeOutValue, request.timeoutSeconds);
  const uint64_t address = request.length ? dataAddress : 0;
  if (layout.pointerSize == 8) {
    Put64(b + layout.dataBuffer, address);
  } else {
    QV_ASSERT(address <= UINT32_MAX, "WindowsPassThrough");
    Put32(b + layout.dataBuffer, static_cast<uint32_t>(address));
  }
  Put32(b + layout.senseInfoOffset, static_cast<uint32_t>(layout.senseArea));
  std::copy(request.cdb.begin(), request.cdb.end(), b + layout.cdb);
  block.ioctlSize = static_cast<uint32_t>(wantsSense ? layout.blockSize : layout.structSize);
  return block;
}

PassThroughFields ReadPassThroughFields(const PassThroughBlock& block) {
  const SptdLayout& layout = LayoutOf(block.wordSize);
  const uint8_t* b = block.bytes.data();
  PassThroughFields f;
  f.length = Get16(b + sptd::kLength);
  f.scsiStatus = b[sptd::kScsiStatus];
  f.pathId = b[sptd::kPathId];
  f.targetId = b[sptd::kTargetId];
  f.lun = b[sptd::kLun];
  f.cdbLength = b[sptd::kCdbLength];
  f.senseInfoLength = b[sptd::kSenseInfoLength];
  f.dataIn = b[sptd::kDataIn];
  f.dataTransferLength = Get32(b + sptd::kDataTransferLength);
  f.timeOutValue = Get32(b + sptd::kTimeOutValue);
  f.dataBuffer = layout.pointerSize == 8 ? Get64(b + layout.dataBuffer) : Get32(b + layout.dataBuffer);
  f.senseInfoOffset = Get32(b + layout.senseInfoOffset);
  std::copy_n(b + layout.cdb, f.cdb.size(), f.cdb.begin());
  return f;
}

ScsiResult FinishPassThrough(const PassThroughBlock& block, const ScsiRequest& request, bool ioctlOk,
                             uint32_t lastError) {
  const PassThroughFields f = ReadPassThroughFields(block);
  const bool wantsSense = request.sense != nullptr && request.senseLength > 0;
  ScsiResult r;
  r.opened = true;
  r.ioctlOk = ioctlOk;
  r.osError = lastError;
  r.scsiStatus = ioctlOk ? f.scsiStatus : 0;
  r.transferred = ioctlOk ? std::min(f.dataTransferLength, request.length) : 0;
  r.senseValid = ioctlOk && wantsSense ? std::min<uint32_t>(f.senseInfoLength, request.senseLength) : 0;
  if (wantsSense) {
    std::memcpy(request.sense, block.bytes.data() + LayoutOf(block.wordSize).senseArea, request.senseLength);
  }
  return r;
}

}  // namespace qvfw::platform::windows_os
