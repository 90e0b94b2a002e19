#include "platform/SenseText.h"

#if !defined(_WIN32)
#include <scsi/sg_lib.h>
#endif

#include <array>
#include <algorithm>
#include <cstdio>
#include <string_view>

namespace qvfw::platform {
#if !defined(_WIN32)
namespace {

// The library writes several lines, indented, with a trailing newline; the trace and the
// messages want one line.
std::string OneLine(const char* text) {
  std::string out;
  bool space = false;
  for (const char* p = text; *p; ++p) {
    const char c = *p;
    if (c == '\n' || c == '\r' || c == '\t' || c == ' ') {
      space = !out.empty();
      continue;
    }
    if (space) out += ' ';
    space = false;
    out += c;
  }
  return out;
}

}  // namespace
#endif

#if defined(_WIN32)
// The sense library is not built for the window platform: the codes themselves, in words where
// the sense key has a name.
std::string DescribeSense(std::span<const uint8_t> sense) {
  if (sense.size() < 2) return {};
  const uint8_t response = sense[0] & 0x7F;
  uint8_t key = 0, asc = 0, ascq = 0;
  if ((response == 0x70 || response == 0x71) && sense.size() >= 14) {
    key = sense[2] & 0x0F, asc = sense[12], ascq = sense[13];
  } else if ((response == 0x72 || response == 0x73) && sense.size() >= 4) {
    key = sense[1] & 0x0F, asc = sense[2], ascq = sense[3];
  } else {
    return {};
  }
  static constexpr const char* kKeys[] = {"No Sense",        "Recovered Error", "Not Ready",      "Medium Error",
                                          "Hardware Error",  "Illegal Request", "Unit Attention", "Data Protect",
                                          "Blank Check",     "Vendor Specific", "Copy Aborted",   "Aborted Command",
                                          "Key 0xC",         "Volume Overflow", "Miscompare",     "Completed"};
  char text[96];
  std::snprintf(text, sizeof text, "%s: ASC %02Xh, ASCQ %02Xh", kKeys[key], asc, ascq);
  return text;
}
#else
std::string DescribeSense(std::span<const uint8_t> sense) {
  if (sense.empty()) return {};
  const int length = static_cast<int>(std::min<size_t>(sense.size(), 252));
  sg_scsi_sense_hdr header{};
  if (!sg_scsi_normalize_sense(sense.data(), length, &header)) return {};

  std::array<char, 160> key{};
  sg_get_sense_key_str(header.sense_key, static_cast<int>(key.size()), key.data());
  std::array<char, 200> asc{};
  sg_get_asc_ascq_str(header.asc, header.ascq, static_cast<int>(asc.size()), asc.data());
  std::string text = OneLine(key.data());
  std::string additional = OneLine(asc.data());
  // The library leads the code's text with a caption of its own.
  constexpr std::string_view kCaption = "Additional sense: ";
  if (additional.starts_with(kCaption)) additional.erase(0, kCaption.size());
  if (!additional.empty()) text += ": " + additional;

  uint64_t info = 0;
  if (sg_get_sense_info_fld(sense.data(), length, &info)) {
    char field[40];
    std::snprintf(field, sizeof field, "; information 0x%llx", static_cast<unsigned long long>(info));
    text += field;
  }
  int progress = 0;
  if (sg_get_sense_progress_fld(sense.data(), length, &progress)) {
    char field[40];
    std::snprintf(field, sizeof field, "; progress %d%%", progress * 100 / 65536);
    text += field;
  }
  return text;
}
#endif

std::string HostStatusName(uint8_t hostStatus) {
  static constexpr const char* kNames[] = {
      "DID_OK",           "DID_NO_CONNECT",          "DID_BUS_BUSY",           "DID_TIME_OUT",
      "DID_BAD_TARGET",   "DID_ABORT",               "DID_PARITY",             "DID_ERROR",
      "DID_RESET",        "DID_BAD_INTR",            "DID_PASSTHROUGH",        "DID_SOFT_ERROR",
      "DID_IMM_RETRY",    "DID_REQUEUE",             "DID_TRANSPORT_DISRUPTED", "DID_TRANSPORT_FAILFAST",
      "DID_TARGET_FAILURE", "DID_NEXUS_FAILURE",     "DID_ALLOC_FAILURE",      "DID_MEDIUM_ERROR",
      "DID_TRANSPORT_MARGINAL"};
  if (hostStatus < std::size(kNames)) return kNames[hostStatus];
  char name[16];
  std::snprintf(name, sizeof name, "DID_0x%02X", hostStatus);
  return name;
}

}  // namespace qvfw::platform
