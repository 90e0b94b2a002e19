#include <gtest/gtest.h>

#include "firmware/ChipTables.h"

namespace qvfw::firmware {
namespace {

TEST(ChipTables, KeySearchTakesTheFirstRowWithTheKey) {
  struct Case {
    const char* key;
    ChipType code;
  };
  const Case cases[] = {
      {"779", 3},  // never 4 or 31
      {"781", 9},  // never 10 or 21..25
      {"776", 5},  // never 30 or 33
      {"778", 1}, {"771", 2}, {"784", 7}, {"789", 11}, {"773", 32}, {"810", 26}, {"879", 27},
      {"812", 15}, {"816", 14}, {"788", 0}, {"", 0}, {"81", 0}, {"8120", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(FindChipByModelKey(c.key), c.code) << c.key;
}

TEST(ChipTables, SharedNamesStayDistinctCodes) {
  for (auto [a, b] : {std::pair{9, 10}, {20, 23}, {21, 24}, {22, 25}, {5, 30}}) {
    EXPECT_EQ(ChipName(static_cast<ChipType>(a)), ChipName(static_cast<ChipType>(b)));
    EXPECT_NE(ChipId{static_cast<ChipType>(a)}.Packed(), ChipId{static_cast<ChipType>(b)}.Packed());
  }
  EXPECT_EQ(ChipName(0), "Unknown Chip");
  EXPECT_EQ(ChipName(26), "QVS876A->QVS810 Series");
  EXPECT_EQ(ChipName(36), "");
  EXPECT_EQ(ChipModelKey(0), "");
}

TEST(ChipTables, EveryVendorHasEraseUnits) {
  struct Case {
    FlashVendor code;
    const char* name;
    uint32_t block, sector;
  };
  const Case cases[] = {{0, "Unknown", 0x8000, 0x1000}, {2, "SST", 0x8000, 0x1000},
                        {3, "ST/EON/MXIC", 0x10000, 0x8000}, {4, "ATMEL", 0x10000, 0x8000},
                        {5, "MXIC", 0x10000, 0x1000}, {8, "EON", 0x10000, 0x8000},
                        {12, "VPOWERWINS", 0x10000, 0x1000}};
  for (const Case& c : cases) {
    EXPECT_EQ(FlashVendorName(c.code), c.name);
    EXPECT_EQ(FlashVendorEraseUnits(c.code).block, c.block) << c.name;
    EXPECT_EQ(FlashVendorEraseUnits(c.code).sector, c.sector) << c.name;
  }
}

TEST(ChipTables, GroupsAndSignatureRules) {
  EXPECT_TRUE(chips::kBufferFamily.Contains(15));
  EXPECT_FALSE(chips::kBufferFamily.Contains(14));
  EXPECT_TRUE(chips::kStorageLine.Contains(27));
  EXPECT_TRUE(chips::kNotSupported.Contains(0));
  EXPECT_FALSE(chips::kProgrammable.Contains(2));
  EXPECT_FALSE(chips::kProgrammable.Contains(200));
  for (ChipType c : {4, 31, 32, 33, 34}) EXPECT_EQ(SignatureRulesOf(c), 3);
  EXPECT_EQ(SignatureRulesOf(35), 2);
  EXPECT_EQ(SignatureRulesOf(10), 9);
  EXPECT_EQ(SignatureRulesOf(15), 15);
}

}  // namespace
}  // namespace qvfw::firmware
