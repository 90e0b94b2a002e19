#include "platform/TracingPassThrough.h"

#include <algorithm>
#include <cstdio>

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
}  // namespace

std::string FormatTraceLine(const ScsiRequest& request, const ScsiResult& result) {
  std::string line = "scsi: ";
  AppendHex(line, request.cdb);
  line += request.dataIn ? " | in " : " | out ";
  line += std::to_string(request.length);
  line += " | ";
  line += std::to_string(request.timeoutSeconds);
  line += "s | ";
  if (Succeeded(result)) {
    line += "ok";
    return line;
  }
  char status[16];
  std::snprintf(status, sizeof status, "%02X", result.scsiStatus);
  line += "fail | status=";
  line += status;
  if (request.sense != nullptr && result.senseValid > 0) {
    line += " | sense=";
    AppendHex(line, {request.sense, std::min(result.senseValid, request.senseLength)});
  }
  return line;
}

ScsiResult TracingPassThrough::Execute(std::string_view path, const ScsiRequest& request) {
  ScsiResult result = inner_.Execute(path, request);
  sink_(FormatTraceLine(request, result));
  return result;
}

}  // namespace qvfw::platform
