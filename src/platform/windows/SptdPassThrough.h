#pragma once
// SCSI pass-through on the window platform: IOCTL_SCSI_PASS_THROUGH_DIRECT on the device
// interface path. Each request opens the path with GENERIC_READ | GENERIC_WRITE, sharing read and
// write unless the request is exclusive (the transport's data-out and sense-capturing operations
// open without sharing), runs one request and closes the path.
//
// The request block is PassThroughBlock.h's: Length, PathId 0, TargetId 1, Lun 0, the CDB, the
// direction flag (1 in, 0 out, also when no data moves), the transfer length, the time-out in
// seconds, and the sense area behind the structure when the request asks for sense. A data buffer
// the adapter cannot take (its address ANDed with the adapter's AlignmentMask is not 0) goes
// through an aligned bounce buffer. The adapter is asked for that mask once per device path
// (IOCTL_STORAGE_QUERY_PROPERTY, and IOCTL_SCSI_GET_CAPABILITIES when that is not answered); the
// answer is kept for the pass-through's lifetime. Success means: DeviceIoControl returned non-zero,
// the last-error value read right after it is 0, and the SCSI status is 0.

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "platform/Diagnostics.h"
#include "platform/PassThrough.h"

namespace qvfw::platform::windows_os {

class SptdPassThrough final : public PassThrough {
 public:
  explicit SptdPassThrough(Diagnostics& diag) : diag_(diag) {}
  ScsiResult Execute(std::string_view path, const ScsiRequest& request) override;
  // The requests sent to adapters for their alignment so far.
  uint64_t AdapterQueries() const { return adapterQueries_; }

 private:
  uint32_t AlignmentOf(const std::string& path, void* device);

  Diagnostics& diag_;
  std::mutex mutex_;                           // guards alignment_
  std::map<std::string, uint32_t> alignment_;  // each device path's alignment mask
  std::atomic<uint64_t> adapterQueries_{0};
};

}  // namespace qvfw::platform::windows_os
