#pragma once
// The single place where a CDB becomes an OS pass-through request. Four operations (plain and
// sense-capturing, in and out) fix direction flag, length rule, time-out and the success rule;
// the two SCSI buffer commands add retries while the unit is becoming ready.

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>
#include <span>
#include <string>
#include <string_view>

#include "platform/Clock.h"
#include "platform/Diagnostics.h"
#include "platform/PassThrough.h"

namespace qvfw::device {

// Time-outs in seconds.
inline constexpr uint32_t kReadTimeout = 10;
inline constexpr uint32_t kWriteTimeout = 50;
inline constexpr uint32_t kLongWriteTimeout = 100;

// The time-out of a plain data-out CDB: whole-chip erase (byte 2 = 0x13) and the erase-mode
// write (byte 1 = 0x03 with byte 11 = 0xFB) may run for 100 s, every other write for 50 s.
uint32_t PlainOutTimeout(std::span<const uint8_t> cdb);

// The last request that did not succeed: what the device (or the OS) said, for the reason a
// failed operation gives.
struct CommandFailure {
  std::string path;
  std::vector<uint8_t> cdb;
  platform::ScsiResult result;
  std::vector<uint8_t> sense;  // only the sense-capturing operations have any

  // The path exists but the OS refused to open it for us.
  bool PermissionDenied() const;
  // The device answered with a status (CHECK CONDITION and the like): it refused the request.
  // Otherwise the request did not reach it or its answer did not reach us.
  bool Refused() const;
  // "READ BUFFER (3C 01 01 …) was refused: status 02h, sense key 4h, ASC 44h, ASCQ 00h
  // (Hardware Error: Internal target failure)", "… was not completed by the system: host status
  // DID_ERROR (error 65543)" and the like.
  std::string Describe() const;
};

class FailureLog;

class Transport {
 public:
  Transport(platform::PassThrough& passThrough, platform::Diagnostics& diagnostics)
      : passThrough_(passThrough), diag_(diagnostics) {}

  // Runs between attempts of the buffer commands, so a window stays alive.
  void SetEventPump(std::function<void()> pump) { pump_ = std::move(pump); }
  void PumpEvents() const {
    if (pump_) pump_();
  }
  platform::Diagnostics& Diag() const { return diag_; }
  // The clock the flash sequences pause and wait on; they require one to be set.
  void SetClock(platform::Clock& clock) { clock_ = &clock; }
  platform::Clock& Clock() const;
  platform::PassThrough& Backend() const { return passThrough_; }

  // The most recent request that failed since the last ClearFailure(); none when all succeeded.
  const std::optional<CommandFailure>& LastFailure() const { return lastFailure_; }
  void ClearFailure() const { lastFailure_.reset(); }

  // Data-in. The caller's buffer receives exactly `length` bytes (zeros where nothing arrived,
  // also when the request failed) unless the device could not be opened, in which case it is
  // left untouched. `transferred` (may be null) receives the count the OS reports.
  bool PassThroughIn(std::string_view path, std::span<const uint8_t> cdb, uint8_t* buffer, uint32_t length,
                     uint32_t* transferred) const;
  // Data-out; with length 0 no data moves and the buffer may be null.
  bool PassThroughOut(std::string_view path, std::span<const uint8_t> cdb, const uint8_t* buffer, uint32_t length,
                      uint32_t* transferred) const;
  // The sense-capturing pair. `sense` may be null; otherwise `senseLength` bytes (at most 32)
  // of the device's sense data are copied to it whatever the outcome.
  bool PassThroughInSense(std::string_view path, std::span<const uint8_t> cdb, uint8_t* buffer, uint32_t length,
                          uint32_t* transferred, uint8_t* sense, uint32_t senseLength) const;
  // `transferred` is written only on success.
  bool PassThroughOutSense(std::string_view path, std::span<const uint8_t> cdb, const uint8_t* buffer,
                           uint32_t length, uint32_t* transferred, uint8_t* sense, uint32_t senseLength) const;

 private:
  platform::PassThrough& passThrough_;
  platform::Diagnostics& diag_;
  bool Judge(std::string_view path, std::span<const uint8_t> cdb, const platform::ScsiResult& res,
             const uint8_t* sense = nullptr, uint32_t senseLength = 0) const;

  std::function<void()> pump_;
  platform::Clock* clock_ = nullptr;
  mutable std::optional<CommandFailure> lastFailure_;
  friend class FailureLog;
  mutable FailureLog* log_ = nullptr;
};

// Every request that fails on a transport while the log is alive, in order. Logs nest: the
// innermost one hears the failures, and passes them on to the one around it when it ends.
class FailureLog {
 public:
  explicit FailureLog(const Transport& transport);
  ~FailureLog();
  FailureLog(const FailureLog&) = delete;
  FailureLog& operator=(const FailureLog&) = delete;

  const std::vector<CommandFailure>& failures() const { return failures_; }

 private:
  friend class Transport;
  const Transport& transport_;
  FailureLog* outer_;
  std::vector<CommandFailure> failures_;
};

// A device path bound to the transport it is reached through. Nothing is cached: every command
// opens the path anew.
class Device {
 public:
  Device(const Transport& transport, std::string path) : transport_(&transport), path_(std::move(path)) {}
  const Transport& transport() const { return *transport_; }
  const std::string& path() const { return path_; }

 private:
  const Transport* transport_;
  std::string path_;
};

// READ BUFFER / WRITE BUFFER with up to 31 attempts while the unit reports "becoming ready"
// (sense key 02, ASC 04, ASCQ 01). Offset and length are 24-bit. Note the argument orders differ.
inline constexpr int kBufferCommandAttempts = 31;
bool QV_ReadBuffer(const Device& dev, uint8_t mode, uint8_t bufferId, uint32_t offset, uint8_t* buffer,
                   uint32_t length);
bool QV_WriteBuffer(const Device& dev, uint8_t bufferId, uint8_t mode, const uint8_t* buffer, uint32_t offset,
                    uint32_t length);

}  // namespace qvfw::device
