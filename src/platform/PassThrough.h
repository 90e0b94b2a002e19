#pragma once
// The OS boundary for SCSI commands. One call is one complete device conversation: open the
// path, run exactly one request, close. The fields mirror what every OS pass-through needs, so a
// backend fills its own request structure from them without interpretation.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace qvfw::platform {

inline constexpr uint32_t kMaxSenseLength = 32;

struct ScsiRequest {
  std::span<const uint8_t> cdb;   // 6, 10, 12 or 16 bytes
  bool dataIn = true;             // direction flag; also set for commands that move no data
  uint8_t* data = nullptr;        // null exactly when length is 0
  uint32_t length = 0;            // transfer length as it goes on the wire
  uint32_t timeoutSeconds = 10;
  bool exclusive = false;         // open without sharing the device
  uint8_t* sense = nullptr;       // sense area, or null when the caller wants none
  uint32_t senseLength = 0;       // 0 or kMaxSenseLength
};

struct ScsiResult {
  bool opened = false;            // false: nothing was sent and no buffer was touched
  bool ioctlOk = false;           // the OS accepted and completed the request
  uint32_t osError = 0;           // the OS error left after the request, or why the path did not open (0 = none)
  uint8_t scsiStatus = 0;         // the target's SCSI status byte
  uint32_t transferred = 0;       // bytes the OS reports as moved
  uint32_t senseValid = 0;        // sense bytes the device returned (0 when none were asked)
  uint8_t hostStatus = 0;         // Linux host status of a completed request (DID_*; 0 = none)
  uint8_t driverStatus = 0;       // Linux driver status of a completed request (0 = none)
};

// A completed request whose transport reported trouble carries one of these in osError, with
// the host or driver status in its low byte, so that it never reads as success and is never
// taken for an errno value.
inline constexpr uint32_t kOsErrorHostStatus = 0x10000;
inline constexpr uint32_t kOsErrorDriverStatus = 0x20000;

// The one success rule of the whole system: the request completed, the OS left no error and
// the target said GOOD.
constexpr bool Succeeded(const ScsiResult& r) {
  return r.opened && r.ioctlOk && r.osError == 0 && r.scsiStatus == 0;
}

// Contract for every backend: when the path cannot be opened, return opened = false and touch
// nothing. Once it is open, a data-in area is zero-filled before the transfer, so a short reply
// leaves zeros, never stale bytes. Sense bytes are copied to `sense` only when it is given.
class PassThrough {
 public:
  virtual ~PassThrough() = default;
  virtual ScsiResult Execute(std::string_view path, const ScsiRequest& request) = 0;
};

}  // namespace qvfw::platform
