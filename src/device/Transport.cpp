#include "device/Transport.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "device/AlignedBuffer.h"
#include "platform/Assert.h"
#include "platform/OsError.h"
#include "platform/SenseText.h"

namespace qvfw::device {
namespace {

using platform::ScsiRequest;
using platform::ScsiResult;

void CheckCdb(std::span<const uint8_t> cdb) {
  const size_t n = cdb.size();
  QV_ASSERT(n == 6 || n == 10 || n == 12 || n == 16, "ScsiTransport");
}

// A 1-byte transfer goes on the wire as 2 bytes; the caller still sees exactly one.
constexpr uint32_t WireLength(uint32_t length) { return length == 1 ? 2 : length; }

bool OutOfMemory(const Transport& t, const char* op) {
  t.Diag().Line(std::string("scsi: ") + op + ": out of memory for the transfer buffer");
  return false;
}

}  // namespace

platform::Clock& Transport::Clock() const {
  QV_ASSERT(clock_ != nullptr, "ScsiTransport");
  return *clock_;
}

uint32_t PlainOutTimeout(std::span<const uint8_t> cdb) {
  auto byte = [&](size_t i) -> uint8_t { return i < cdb.size() ? cdb[i] : 0; };
  if (byte(2) == 0x13 || (byte(11) == 0xFB && byte(1) == 0x03)) return kLongWriteTimeout;
  return kWriteTimeout;
}

bool Transport::PassThroughIn(std::string_view path, std::span<const uint8_t> cdb, uint8_t* buffer, uint32_t length,
                              uint32_t* transferred) const {
  CheckCdb(cdb);
  const uint32_t wire = WireLength(length);
  AlignedBuffer bounce;
  try {
    if (wire) bounce = AlignedBuffer(wire);
  } catch (const std::bad_alloc&) {
    return OutOfMemory(*this, "PassThroughIn");
  }
  ScsiRequest req;
  req.cdb = cdb;
  req.dataIn = true;
  req.data = wire ? bounce.data() : nullptr;
  req.length = wire;
  req.timeoutSeconds = kReadTimeout;
  const ScsiResult res = passThrough_.Execute(path, req);
  if (!res.opened) return Judge(path, cdb, res);
  // Whatever the outcome, the caller gets the bounce content: zeros where nothing arrived.
  if (length) std::memcpy(buffer, bounce.data(), length);
  if (transferred) *transferred = res.transferred;
  return Judge(path, cdb, res);
}

bool Transport::PassThroughOut(std::string_view path, std::span<const uint8_t> cdb, const uint8_t* buffer,
                               uint32_t length, uint32_t* transferred) const {
  CheckCdb(cdb);
  const uint32_t wire = WireLength(length);
  AlignedBuffer bounce;
  try {
    if (wire) bounce = AlignedBuffer(wire);
  } catch (const std::bad_alloc&) {
    return OutOfMemory(*this, "PassThroughOut");
  }
  if (length && buffer) std::memcpy(bounce.data(), buffer, length);
  ScsiRequest req;
  req.cdb = cdb;
  req.dataIn = false;
  req.data = wire ? bounce.data() : nullptr;
  req.length = wire;
  req.timeoutSeconds = PlainOutTimeout(cdb);
  req.exclusive = true;
  const ScsiResult res = passThrough_.Execute(path, req);
  if (!res.opened) return Judge(path, cdb, res);
  if (transferred) *transferred = res.transferred;
  return Judge(path, cdb, res);
}

bool Transport::PassThroughInSense(std::string_view path, std::span<const uint8_t> cdb, uint8_t* buffer,
                                   uint32_t length, uint32_t* transferred, uint8_t* sense,
                                   uint32_t senseLength) const {
  CheckCdb(cdb);
  uint8_t small[2] = {};
  uint8_t senseArea[platform::kMaxSenseLength] = {};
  ScsiRequest req;
  req.cdb = cdb;
  req.dataIn = true;
  req.length = WireLength(length);
  req.data = length == 0 ? nullptr : (length == 1 ? small : buffer);
  req.timeoutSeconds = kReadTimeout;
  req.exclusive = true;
  if (sense) {
    req.sense = senseArea;
    req.senseLength = platform::kMaxSenseLength;
  }
  const ScsiResult res = passThrough_.Execute(path, req);
  if (!res.opened) return Judge(path, cdb, res);
  if (length == 1) buffer[0] = small[0];
  if (transferred) *transferred = res.transferred;
  if (sense) std::memcpy(sense, senseArea, std::min(senseLength, platform::kMaxSenseLength));
  return Judge(path, cdb, res, senseArea, res.senseValid);
}

bool Transport::PassThroughOutSense(std::string_view path, std::span<const uint8_t> cdb, const uint8_t* buffer,
                                    uint32_t length, uint32_t* transferred, uint8_t* sense,
                                    uint32_t senseLength) const {
  CheckCdb(cdb);
  uint8_t small[2] = {length == 1 && buffer ? buffer[0] : uint8_t{0}, 0};
  uint8_t senseArea[platform::kMaxSenseLength] = {};
  ScsiRequest req;
  req.cdb = cdb;
  req.dataIn = false;
  req.length = WireLength(length);
  // The OS request takes a mutable pointer; data-out buffers are only read.
  req.data = length == 0 ? nullptr : (length == 1 ? small : const_cast<uint8_t*>(buffer));
  req.timeoutSeconds = kReadTimeout;
  req.exclusive = true;
  if (sense) {
    req.sense = senseArea;
    req.senseLength = platform::kMaxSenseLength;
  }
  const ScsiResult res = passThrough_.Execute(path, req);
  if (!res.opened) return Judge(path, cdb, res);
  if (sense) std::memcpy(sense, senseArea, std::min(senseLength, platform::kMaxSenseLength));
  const bool ok = Judge(path, cdb, res, senseArea, res.senseValid);
  if (ok && transferred) *transferred = res.transferred;
  return ok;
}

bool Transport::Judge(std::string_view path, std::span<const uint8_t> cdb, const ScsiResult& res, const uint8_t* sense,
                      uint32_t senseLength) const {
  const bool ok = platform::Succeeded(res);
  if (!ok) {
    CommandFailure f{std::string(path), std::vector<uint8_t>(cdb.begin(), cdb.end()), res, {}};
    if (sense && senseLength) f.sense.assign(sense, sense + std::min(senseLength, platform::kMaxSenseLength));
    if (log_) log_->failures_.push_back(f);
    lastFailure_ = std::move(f);
  }
  return ok;
}

FailureLog::FailureLog(const Transport& transport) : transport_(transport), outer_(transport.log_) {
  transport.log_ = this;
}

FailureLog::~FailureLog() {
  transport_.log_ = outer_;
  if (outer_) outer_->failures_.insert(outer_->failures_.end(), failures_.begin(), failures_.end());
}

bool CommandFailure::Refused() const {
  return result.opened && result.ioctlOk && result.osError == 0 && result.hostStatus == 0 &&
         result.driverStatus == 0 && result.scsiStatus != 0;
}

bool CommandFailure::PermissionDenied() const {
  return !result.opened && platform::AccessDenied(result.osError);
}

namespace {

std::string CommandName(const std::vector<uint8_t>& cdb) {
  if (cdb.empty()) return "command";
  switch (cdb[0]) {
    case 0x12: return cdb.size() > 1 && (cdb[1] & 1) ? "INQUIRY (vital product data)" : "INQUIRY";
    case 0x3B: return "WRITE BUFFER";
    case 0x3C: return "READ BUFFER";
    case 0x55: return "MODE SELECT";
    case 0x5A: return "MODE SENSE";
    case 0x85:
    case 0xA1: return "ATA PASS-THROUGH";
    case 0x9E: return "READ CAPACITY";
    case 0xC3: return "identity write";
    case 0xDF: return "flash/memory command";
    case 0xE0:
    case 0xFE: return "chip information";
    case 0xFF: return cdb.size() > 2 && cdb[2] == 0x26 ? "restart" : "flash command";
    default: return "vendor command";
  }
}

}  // namespace

std::string CommandFailure::Describe() const {
  std::string text = CommandName(cdb) + " (";
  for (size_t i = 0; i < cdb.size(); ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, i ? " %02X" : "%02X", cdb[i]);
    text += hex;
  }
  text += ") ";
  char detail[160];
  if (!result.opened) {
    text += "found no device at " + path;
    if (result.osError) text += ": " + platform::OsErrorText(result.osError);
    return text;
  }
  if (!result.ioctlOk || result.osError != 0) {
    // The host status the backend folded into the error, or the one it left beside it.
    const uint32_t kind = result.osError & ~0xFFu;
    uint8_t host = result.hostStatus;
    if (host == 0 && kind == platform::kOsErrorHostStatus) host = static_cast<uint8_t>(result.osError);
    uint8_t driver = result.driverStatus;
    if (driver == 0 && kind == platform::kOsErrorDriverStatus) driver = static_cast<uint8_t>(result.osError);
    if (host != 0) {
      text += "was not completed by the system: host status " + platform::HostStatusName(host);
    } else if (driver != 0) {
      std::snprintf(detail, sizeof detail, "was not completed by the system: driver status %02Xh", driver);
      text += detail;
    } else if (result.osError != 0 && result.osError < platform::kOsErrorHostStatus) {
      text += "was not completed by the system: " + platform::OsErrorText(result.osError);
    } else {
      text += "was not completed by the system";
    }
    std::snprintf(detail, sizeof detail, " (error %u)", result.osError);
    return text + detail;
  }
  const uint8_t response = sense.empty() ? 0 : sense[0] & 0x7F;
  if ((response == 0x70 || response == 0x71) && sense.size() >= 14) {
    std::snprintf(detail, sizeof detail, "was refused: status %02Xh, sense key %Xh, ASC %02Xh, ASCQ %02Xh",
                  result.scsiStatus, sense[2] & 0x0F, sense[12], sense[13]);
  } else if ((response == 0x72 || response == 0x73) && sense.size() >= 4) {
    std::snprintf(detail, sizeof detail, "was refused: status %02Xh, sense key %Xh, ASC %02Xh, ASCQ %02Xh",
                  result.scsiStatus, sense[1] & 0x0F, sense[2], sense[3]);
  } else {
    std::snprintf(detail, sizeof detail, "was refused: status %02Xh", result.scsiStatus);
  }
  text += detail;
  if (const std::string said = platform::DescribeSense(sense); !said.empty()) text += " (" + said + ")";
  return text;
}

namespace {

constexpr uint32_t kBufferSenseLength = 18;

bool BecomingReady(const uint8_t* sense) { return sense[2] == 0x02 && sense[12] == 0x04 && sense[13] == 0x01; }

void TraceSense(const Transport& t, const char* name, const uint8_t* s) {
  char line[128];
  std::snprintf(line, sizeof line,
                "SenseData 12: %02X.%02X.%02X.%02X.%02X.%02X.%02X.%02X.%02X.%02X.%02X.%02X.%02X.%02X.%02X.%02X.%02X.%02X",
                s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7], s[8], s[9], s[10], s[11], s[12], s[13], s[14], s[15],
                s[16], s[17]);
  t.Diag().Line(name);
  t.Diag().Line(line);
  // The same bytes in words, for whoever reads the diagnostics rather than compares them.
  if (const std::string said = platform::DescribeSense(std::span<const uint8_t>(s, kBufferSenseLength)); !said.empty())
    t.Diag().Line("SenseData: " + said);
}

template <typename Attempt>
bool RunBufferCommand(const Device& dev, const char* name, Attempt attempt) {
  const Transport& t = dev.transport();
  uint8_t sense[kBufferSenseLength] = {};
  bool ok = false;
  for (int i = 0; i < kBufferCommandAttempts; ++i) {
    std::memset(sense, 0, sizeof sense);
    ok = attempt(sense);
    t.PumpEvents();
    if (ok || !BecomingReady(sense)) break;
  }
  if (!ok) TraceSense(t, name, sense);
  return ok;
}

void Put24(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 16);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v);
}

}  // namespace

bool QV_ReadBuffer(const Device& dev, uint8_t mode, uint8_t bufferId, uint32_t offset, uint8_t* buffer,
                   uint32_t length) {
  QV_ASSERT(offset <= 0xFFFFFF && length <= 0xFFFFFF, "QV_ReadBuffer");
  uint8_t cdb[10] = {0x3C, mode, bufferId};
  Put24(cdb + 3, offset);
  Put24(cdb + 6, length);
  return RunBufferCommand(dev, "QV_ReadBuffer.", [&](uint8_t* sense) {
    // Only a whole buffer counts: a short transfer leaves zeros that would be taken for content.
    uint32_t got = 0;
    return dev.transport().PassThroughInSense(dev.path(), cdb, buffer, length, &got, sense, kBufferSenseLength) &&
           got == length;
  });
}

bool QV_WriteBuffer(const Device& dev, uint8_t bufferId, uint8_t mode, const uint8_t* buffer, uint32_t offset,
                    uint32_t length) {
  QV_ASSERT(offset <= 0xFFFFFF && length <= 0xFFFFFF, "QV_WriteBuffer");
  uint8_t cdb[10] = {0x3B, mode};
  // Activating deferred microcode carries no buffer, offset or length in the CDB.
  if (mode != 0x0F) {
    cdb[2] = bufferId;
    Put24(cdb + 3, offset);
    Put24(cdb + 6, length);
  }
  return RunBufferCommand(dev, "QV_WriteBuffer.", [&](uint8_t* sense) {
    uint32_t sent = 0;
    return dev.transport().PassThroughOutSense(dev.path(), cdb, buffer, length, &sent, sense, kBufferSenseLength);
  });
}

}  // namespace qvfw::device
