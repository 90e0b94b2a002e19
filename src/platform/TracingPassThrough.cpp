#include "platform/TracingPassThrough.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/OsError.h"
#include "platform/SenseText.h"

#if defined(_WIN32)
#include "platform/windows/WinStructures.h"
#endif

namespace qvfw::platform {
namespace {
void AppendHex(std::string& out, std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i) out += ' ';
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 0x0F];
  }
}

std::string Hex2(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X", value & 0xFFu);
  return text;
}

// The OS error of a request the system refused, by its symbolic name where it has one. The
// window platform's backend reports system error codes, which have a number and a text only.
std::string TraceOsError(uint32_t err) {
#if defined(_WIN32)
  return windows_os::WindowsErrorText(err);
#else
  const char* name = strerrorname_np(static_cast<int>(err));
  std::string text = name ? name : "errno " + std::to_string(err);
  text += " (" + OsErrorText(err) + ')';
  return text;
#endif
}
}  // namespace

std::string FormatTraceLine(std::string_view path, const ScsiRequest& request, const ScsiResult& result,
                            std::chrono::nanoseconds duration) {
  std::string line = "scsi: ";
  AppendHex(line, request.cdb);
  line += request.dataIn ? " | in " : " | out ";
  line += std::to_string(request.length);
  line += " | ";
  line += std::to_string(request.timeoutSeconds);
  line += "s | ";
  const bool ok = Succeeded(result);
  std::span<const uint8_t> sense;
  if (ok) {
    line += "ok";
  } else {
    line += "fail | status=" + Hex2(result.scsiStatus);
    if (request.sense != nullptr && result.senseValid > 0) {
      sense = {request.sense, std::min(result.senseValid, request.senseLength)};
      line += " | sense=";
      AppendHex(line, sense);
    }
  }
  line += " | path=";
  line += path;
  char time[32];
  std::snprintf(time, sizeof time, " | time=%.3fms", static_cast<double>(duration.count()) / 1e6);
  line += time;
  if (ok) return line;

  if (!result.opened) line += " | not opened";
  if (result.hostStatus != 0) line += " | host=" + HostStatusName(result.hostStatus);
  if (result.driverStatus != 0) line += " | driver=0x" + Hex2(result.driverStatus);
  // Transport trouble travels in osError too, marked apart from errno values; the host and
  // driver fields above name it.
  if (result.osError != 0 && result.osError < kOsErrorHostStatus) line += " | os=" + TraceOsError(result.osError);
  if (const std::string text = DescribeSense(sense); !text.empty()) line += " | " + text;
  return line;
}

TracingPassThrough::TracingPassThrough(PassThrough& inner, Sink sink, Now now)
    : inner_(inner), sink_(std::move(sink)), now_(std::move(now)) {
  if (!now_) now_ = [] { return std::chrono::steady_clock::now().time_since_epoch(); };
}

ScsiResult TracingPassThrough::Execute(std::string_view path, const ScsiRequest& request) {
  const std::chrono::nanoseconds start = now_();
  // A request whose caller wants no sense bytes still gets a sense area, so that the trace can
  // say why the device refused it; the caller sees none of it.
  uint8_t own[kMaxSenseLength] = {};
  ScsiRequest traced = request;
  const bool borrowed = request.sense == nullptr || request.senseLength == 0;
  if (borrowed) {
    traced.sense = own;
    traced.senseLength = kMaxSenseLength;
  }
  ScsiResult result = inner_.Execute(path, traced);
  sink_(FormatTraceLine(path, traced, result, now_() - start));
  if (borrowed) result.senseValid = 0;
  return result;
}

}  // namespace qvfw::platform
