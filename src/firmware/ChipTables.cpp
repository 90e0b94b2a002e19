#include "firmware/ChipTables.h"

#include <array>

namespace qvfw::firmware {
namespace {

struct ChipRow {
  std::string_view name;
  std::string_view key;
};

// Rows 4, 10, 19..25, 30, 31, 33, 34 and 35 are never reached by their key (an earlier row has
// it); they keep their rows so every code has its texts.
constexpr std::array<ChipRow, kChipTypeCount> kChips = {{
    {"Unknown Chip", ""},
    {"QV40778 Series", "778"},
    {"QV40771 Series", "771"},
    {"QV40779 Series", "779"},
    {"QV40779A3 Series", "779"},
    {"QV40776 Series", "776"},
    {"QV40746 Series", "746"},
    {"QVB784 Series", "784"},
    {"QVB787 Series", "787"},
    {"QVB788/781 Series", "781"},
    {"QVB788/781 Series", "781"},
    {"QVB789 Series", "789"},
    {"QVS882/876 Series", "882"},
    {"QVS876 Series", "876"},
    {"QVS813/819/811 Series", "816"},
    {"QVS812 Series", "812"},
    {"QVS814 Series", "814"},
    {"QVS817 Series", "817"},
    {"QVS818 Series", "818"},
    {"QVS876/789 Series", "789"},
    {"QVS876/784 Series", "784"},
    {"QVS876/788 Series", "781"},
    {"QVS876/781 Series", "781"},
    {"QVS876/784 Series", "784"},
    {"QVS876/788 Series", "781"},
    {"QVS876/781 Series", "781"},
    {"QVS876A->QVS810 Series", "810"},
    {"QVS879 Series", "879"},
    {"QVB826 Series", "826"},
    {"QVB806 Series", "806"},
    {"QV40776 Series", "776"},
    {"QV40779", "779"},
    {"QV40773", "773"},
    {"QV40776", "776"},
    {"QV40778", "778"},
    {"QV40771", "771"},
}};

struct VendorRow {
  std::string_view name;
  EraseUnits units;
};

constexpr std::array<VendorRow, kFlashVendorCount> kVendors = {{
    {"Unknown", {0x8000, 0x1000}},
    {"PMC", {0x8000, 0x1000}},
    {"SST", {0x8000, 0x1000}},
    {"ST/EON/MXIC", {0x10000, 0x8000}},
    {"ATMEL", {0x10000, 0x8000}},
    {"MXIC", {0x10000, 0x1000}},
    {"WINBOND", {0x10000, 0x1000}},
    {"AMIC", {0x10000, 0x1000}},
    {"EON", {0x10000, 0x8000}},
    {"ESMT", {0x10000, 0x1000}},
    {"SANYO", {0x10000, 0x1000}},
    {"GIGADEVICE", {0x10000, 0x1000}},
    {"VPOWERWINS", {0x10000, 0x1000}},
}};

}  // namespace

std::string_view ChipName(ChipType code) { return code < kChipTypeCount ? kChips[code].name : std::string_view{}; }

std::string_view ChipModelKey(ChipType code) { return code < kChipTypeCount ? kChips[code].key : std::string_view{}; }

ChipType FindChipByModelKey(std::string_view key) {
  for (ChipType c = 1; c < kChipTypeCount; ++c)
    if (kChips[c].key == key) return c;
  return 0;
}

std::string_view FlashVendorName(FlashVendor code) {
  return code < kFlashVendorCount ? kVendors[code].name : std::string_view{};
}

EraseUnits FlashVendorEraseUnits(FlashVendor code) {
  return code < kFlashVendorCount ? kVendors[code].units : kVendors[0].units;
}

ChipType SignatureRulesOf(ChipType code) {
  switch (code) {
    case 35: return 2;
    case 10: return 9;
    case 4:
    case 31:
    case 32:
    case 33:
    case 34: return 3;
    default: return code;
  }
}

}  // namespace qvfw::firmware
