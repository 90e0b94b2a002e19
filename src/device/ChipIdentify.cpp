#include "device/ChipIdentify.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "device/Commands.h"
#include "device/Discovery.h"

namespace qvfw::device {
namespace {

using firmware::ChipType;
using firmware::FindChipByModelKey;

std::string_view Chars(const uint8_t* p, size_t n) { return {reinterpret_cast<const char*>(p), n}; }

std::string HexPair(uint8_t hi, uint8_t lo) {
  char text[8];
  std::snprintf(text, sizeof text, "%X%X", hi, lo);
  return text;
}

// Refinement by the chip's model text, for the families that report one.
void RefineByModelText(const Device& dev, ChipType& code, uint8_t& revision) {
  uint8_t reply[40] = {};
  if (!ReadChipModel(dev, reply)) {
    if (code == 1) revision = 1;
    return;
  }
  char text[9] = {};
  std::memcpy(text, reply, 8);
  const std::string_view model(text, std::strlen(text));
  const auto c = static_cast<uint8_t>(text[5]);
  const auto digitPlusOne = static_cast<uint8_t>(c - 47);
  struct Row {
    std::string_view prefix;
    ChipType code;
    enum { kUnchanged, kDigitPlusOne, kCharPlusOne, kQ784 } revision;
  };
  static constexpr Row kRows[] = {
      {"q778C", 1, Row::kDigitPlusOne}, {"q779A3", 4, Row::kUnchanged}, {"q776C", 5, Row::kDigitPlusOne},
      {"q776E", 30, Row::kCharPlusOne}, {"q826A", 28, Row::kDigitPlusOne}, {"q784", 7, Row::kQ784},
      {"q4789", 11, Row::kDigitPlusOne},
  };
  for (const Row& row : kRows) {
    if (!model.starts_with(row.prefix)) continue;
    code = row.code;
    switch (row.revision) {
      case Row::kUnchanged: break;
      case Row::kDigitPlusOne: revision = digitPlusOne; break;
      case Row::kCharPlusOne: revision = static_cast<uint8_t>(c + 1); break;
      case Row::kQ784: revision = c == 0 ? 1 : digitPlusOne; break;
    }
    return;
  }
}

}  // namespace

ChipIdentification IdentifyChip(const Device& dev) {
  ChipIdentification out;
  ChipType code = 0;
  uint8_t revision = 0;

  // Stage 1: the chip id some bridges put at bytes 36..39 of their INQUIRY data.
  uint8_t inquiry[40] = {};
  const bool inquired = Inquiry(dev, inquiry);
  if (inquired) {
    if (inquiry[36] == 'q') code = FindChipByModelKey(Chars(inquiry + 37, 3));
    if (code == 0 && Chars(inquiry + 36, 4) == "q788") code = 9;
  }

  // Stage 2: the chip information block.
  if (inquired && code == 0) {
    uint8_t probe[2] = {};
    uint8_t info[16] = {};
    if (ProbeVendorCommands(dev, probe) && ReadChipInfo(dev, info)) {
      if (info[0] != 0xF4 || info[1] != 0xE7) {
        code = static_cast<ChipType>(31 + ((probe[0] >> 5) & 3));
      } else if (HexPair(info[2], info[3]).find("284D") != std::string::npos &&
                 HexPair(info[4], info[5]).find("4771") != std::string::npos) {
        code = 35;
      } else {
        code = FindChipByModelKey(Chars(info + 8, 3));
        if (code == 0 && Chars(info + 8, 3) == "788") code = 9;
        revision = static_cast<uint8_t>(info[11] - 0x30);
      }
    }
  }

  // Stage 3: refinement by family.
  switch (code) {
    case 0:
    case 1:
    case 3:
    case 5:
    case 7:
    case 11:
    case 28:
      RefineByModelText(dev, code, revision);
      break;
    case 8: {
      uint8_t info[12] = {};
      if (ReadChipInfo(dev, info) && info[0] == 0xF4 && info[1] == 0xE7 && (info[11] == '1' || info[11] == '2')) {
        revision = static_cast<uint8_t>(info[11] - '0');
      } else {
        out.chipInfoFailed = true;
      }
      break;
    }
    case 12: {
      uint8_t ram[512] = {};
      if (ReadRamBuffer(dev, 0x64, 0x01, ram)) {
        code = 26;
      } else if (CheckMemoryFDB0(dev)) {
        revision = 5;
      }
      break;
    }
    default:
      break;
  }
  out.id = {code, revision};
  return out;
}

}  // namespace qvfw::device
