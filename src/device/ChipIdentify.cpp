#include "device/ChipIdentify.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "device/Commands.h"
#include "device/Discovery.h"

namespace qvfw::device {
namespace {

using chips::ChipType;
using chips::FindChipByModelKey;

std::string_view Chars(const uint8_t* p, size_t n) { return {reinterpret_cast<const char*>(p), n}; }

std::string HexPair(uint8_t hi, uint8_t lo) {
  char text[8];
  std::snprintf(text, sizeof text, "%X%X", hi, lo);
  return text;
}

// Refinement by the chip's model text, for the families that report one. False when a family
// whose every bridge answers with its model text got none.
bool RefineByModelText(const Device& dev, ChipType& code, uint8_t& revision) {
  uint8_t reply[40] = {};
  if (!ReadChipModel(dev, reply)) {
    if (code == ChipType::QV40778) revision = 1;
    // No model text is an answer for these: the first QV40778 revision, the QV40779 before its
    // A3, and a device identified by nothing else.
    return code == ChipType::Unknown || code == ChipType::QV40778 || code == ChipType::QV40779;
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
      {"q778C", ChipType::QV40778, Row::kDigitPlusOne},  {"q779A3", ChipType::QV40779A3, Row::kUnchanged},
      {"q776C", ChipType::QV40776, Row::kDigitPlusOne},  {"q776E", ChipType::QV40776E, Row::kCharPlusOne},
      {"q826A", ChipType::QVB826, Row::kDigitPlusOne},   {"q784", ChipType::QVB784, Row::kQ784},
      {"q4789", ChipType::QVB789, Row::kDigitPlusOne},
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
    return true;
  }
  return true;
}

}  // namespace

ChipIdentification IdentifyChip(const Device& dev, const ProbeAnswers* known) {
  ChipIdentification out;
  ChipType code = ChipType::Unknown;
  uint8_t revision = 0;

  // Stage 1: the chip id some bridges put at bytes 36..39 of their INQUIRY data.
  ProbeAnswers asked;
  if (!known) {
    asked.inquiryOk = Inquiry(dev, asked.inquiry);
    known = &asked;
  }
  const uint8_t* inquiry = known->inquiry.data();
  const bool inquired = known->inquiryOk;
  if (inquired) {
    if (inquiry[36] == 'q') code = FindChipByModelKey(Chars(inquiry + 37, 3));
    if (code == ChipType::Unknown && Chars(inquiry + 36, 4) == "q788") code = ChipType::QVB788;
  }

  // Stage 2: the chip information block.
  if (inquired && code == ChipType::Unknown) {
    std::array<uint8_t, 2> probe = known->probe;
    const bool probed = known->probeOk ? *known->probeOk : ProbeVendorCommands(dev, probe);
    uint8_t info[16] = {};
    if (probed && ReadChipInfo(dev, info)) {
      if (info[0] != 0xF4 || info[1] != 0xE7) {
        code = chips::ChipTypeOf(chips::Code(ChipType::QV40779Legacy) + ((probe[0] >> 5) & 3));
      } else if (HexPair(info[2], info[3]).find("284D") != std::string::npos &&
                 HexPair(info[4], info[5]).find("4771") != std::string::npos) {
        code = ChipType::QV40771Usb;
      } else {
        code = FindChipByModelKey(Chars(info + 8, 3));
        if (code == ChipType::Unknown && Chars(info + 8, 3) == "788") code = ChipType::QVB788;
        revision = static_cast<uint8_t>(info[11] - 0x30);
      }
    }
  }

  // Stage 3: refinement by family.
  if (chips::Family(code).refineByModelText) {
    out.modelTextMissing = !RefineByModelText(dev, code, revision);
  } else if (code == ChipType::QVB787) {
    uint8_t info[12] = {};
    if (ReadChipInfo(dev, info) && info[0] == 0xF4 && info[1] == 0xE7 && (info[11] == '1' || info[11] == '2')) {
      revision = static_cast<uint8_t>(info[11] - '0');
    } else {
      out.chipInfoFailed = true;
    }
  } else if (code == ChipType::QVS882) {
    uint8_t ram[512] = {};
    if (ReadRamBuffer(dev, 0x64, 0x01, ram)) {
      code = ChipType::QVS810;
    } else if (CheckMemoryFDB0(dev)) {
      revision = 5;
    }
  }
  out.id = {code, revision};
  return out;
}

}  // namespace qvfw::device
