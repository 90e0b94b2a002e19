#pragma once
// The two enumerations every decision branches on: the bridge chip family (ChipType) and the
// maker of its serial flash (FlashVendor), with their texts and per-code properties.

#include <cstdint>
#include <initializer_list>
#include <string_view>

namespace qvfw::firmware {

using ChipType = uint8_t;     // 0..35
using FlashVendor = uint8_t;  // 0..12

inline constexpr ChipType kChipTypeCount = 36;
inline constexpr FlashVendor kFlashVendorCount = 13;

// Display name and three-character model key; codes above 35 have no row (empty texts).
std::string_view ChipName(ChipType code);
std::string_view ChipModelKey(ChipType code);
// The first row 1..35 whose key equals `key` (exactly three characters), or 0.
ChipType FindChipByModelKey(std::string_view key);

struct EraseUnits {
  uint32_t block;
  uint32_t sector;
};
std::string_view FlashVendorName(FlashVendor code);
EraseUnits FlashVendorEraseUnits(FlashVendor code);

// The 16-bit identification result: type in the low byte, revision in the high byte.
struct ChipId {
  ChipType type = 0;
  uint8_t revision = 0;
  constexpr uint16_t Packed() const { return static_cast<uint16_t>(revision << 8 | type); }
  static constexpr ChipId Unpack(uint16_t v) { return {static_cast<ChipType>(v & 0xFF), static_cast<uint8_t>(v >> 8)}; }
  friend constexpr bool operator==(ChipId, ChipId) = default;
};

// The groups of codes that several parts of the program treat alike.
class ChipSet {
 public:
  constexpr ChipSet(std::initializer_list<int> codes) {
    for (int c : codes) bits_ |= uint64_t{1} << c;
  }
  constexpr bool Contains(unsigned code) const { return code < 64 && (bits_ >> code & 1u); }

 private:
  uint64_t bits_ = 0;
};

namespace chips {
inline constexpr ChipSet kProgrammable{1, 3, 4, 5, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 26, 27, 28, 30};
inline constexpr ChipSet kVersionOnly{2, 35};
inline constexpr ChipSet kGatedVersion{6, 29};
inline constexpr ChipSet kNotSupported{0, 31, 32, 33, 34};
inline constexpr ChipSet kStorageLine{13, 14, 15, 16, 17, 18, 27};
inline constexpr ChipSet kBufferFamily{15, 16, 17, 18};
inline constexpr ChipSet kNvramOption{7, 9, 10, 11, 12, 13, 14, 27};
}  // namespace chips

// Codes that firmware matching treats as one: 35 as 2, 10 as 9, 4 and 31..34 as 3.
ChipType SignatureRulesOf(ChipType code);

}  // namespace qvfw::firmware
