#include <gtest/gtest.h>

#include <set>

#include "chips/ChipFamilies.h"

namespace qvfw::chips {
namespace {

TEST(ChipFamilies, KeySearchTakesTheFirstRowWithTheKey) {
  struct Case {
    const char* key;
    int code;
  };
  const Case cases[] = {
      {"779", 3},  // never 4 or 31
      {"781", 9},  // never 10 or 21..25
      {"776", 5},  // never 30 or 33
      {"778", 1}, {"771", 2}, {"784", 7}, {"789", 11}, {"773", 32}, {"810", 26}, {"879", 27},
      {"812", 15}, {"816", 14}, {"788", 0}, {"", 0}, {"81", 0}, {"8120", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(Code(FindChipByModelKey(c.key)), c.code) << c.key;
}

// The table's own consistency: what every other part of the program relies on.
TEST(ChipFamilies, TableInvariants) {
  ASSERT_EQ(Families().size(), kChipTypeCount);
  // Rows their key never reaches, because an earlier row has it; each has another route.
  const std::set<int> reachedOtherwise = {4, 10, 19, 20, 21, 22, 23, 24, 25, 30, 31, 33, 34, 35};
  for (const ChipFamily& f : Families()) {
    const int code = Code(f.type);
    SCOPED_TRACE(code);
    EXPECT_FALSE(f.name.empty());
    EXPECT_TRUE(f.modelKey.size() == 3 || code == 0);
    if (code != 0) {
      EXPECT_EQ(FindChipByModelKey(f.modelKey) != f.type, reachedOtherwise.count(code) == 1);
    }

    // Exactly one of the four kinds of support, except the reserved rows, which have none.
    const int kinds = f.Is(kProgrammable) + f.Is(kVersionOnly) + f.Is(kGatedVersion) + f.Is(kNotSupported);
    EXPECT_EQ(kinds, code >= 19 && code <= 25 ? 0 : 1);
    // The narrower groups lie inside the programmable one, the buffer family inside the storage line.
    if (f.Is(kStorageLine) || f.Is(kNvramOption)) {
      EXPECT_TRUE(f.Is(kProgrammable));
    }
    if (f.Is(kBufferFamily)) {
      EXPECT_TRUE(f.Is(kStorageLine));
    }
    EXPECT_EQ(f.flash != FlashRoute::None, f.Is(kProgrammable));
    // The storage line keeps its signature block just before the end of its code area.
    if (f.Is(kStorageLine)) {
      EXPECT_NE(f.codeAreaEnd, 0u);
      EXPECT_EQ(f.signature.place.offset, f.codeAreaEnd - 16);
      EXPECT_TRUE(f.signature.place.marker);
    } else {
      EXPECT_EQ(f.codeAreaEnd, 0u);
    }
    EXPECT_EQ(f.size == SizeRoute::Spi || f.size == SizeRoute::ById4, f.Is(kStorageLine));
    if (f.size == SizeRoute::JedecCapacity) {
      EXPECT_EQ(f.flash, FlashRoute::Bridge);
    }
    EXPECT_EQ(f.size == SizeRoute::ById4, f.Is(kBufferFamily));
    EXPECT_EQ(!f.mfg.rom1.empty(), f.Is(kBufferFamily));
    if (f.signature.fit == FitRule::Key4) {
      EXPECT_EQ(f.signature.key.substr(0, 3), f.modelKey);
    }
  }
}

TEST(ChipFamilies, SharedNamesStayDistinctCodes) {
  for (auto [a, b] : {std::pair{9, 10}, {20, 23}, {21, 24}, {22, 25}, {5, 30}}) {
    EXPECT_EQ(ChipName(ChipType(a)), ChipName(ChipType(b)));
    EXPECT_NE(ChipId{ChipType(a)}.Packed(), ChipId{ChipType(b)}.Packed());
  }
  EXPECT_EQ(ChipName(ChipType::Unknown), "Unknown Chip");
  EXPECT_EQ(ChipName(ChipType::QVS810), "QVS876A->QVS810 Series");
  EXPECT_EQ(ChipTypeOf(36), ChipType::Unknown);
  EXPECT_EQ(ChipId::Unpack(0x0520), (ChipId{ChipType(32), 5}));
}

TEST(ChipFamilies, EveryVendorHasEraseUnits) {
  struct Case {
    FlashVendor code;
    const char* name;
    uint32_t block, sector;
  };
  const Case cases[] = {{FlashVendor::Unknown, "Unknown", 0x8000, 0x1000}, {FlashVendor::Sst, "SST", 0x8000, 0x1000},
                        {FlashVendor::StEonMxic, "ST/EON/MXIC", 0x10000, 0x8000},
                        {FlashVendor::Atmel, "ATMEL", 0x10000, 0x8000}, {FlashVendor::Mxic, "MXIC", 0x10000, 0x1000},
                        {FlashVendor::Eon, "EON", 0x10000, 0x8000}, {FlashVendor::VPowerWins, "VPOWERWINS", 0x10000, 0x1000}};
  for (const Case& c : cases) {
    EXPECT_EQ(FlashVendorName(c.code), c.name);
    EXPECT_EQ(FlashVendorEraseUnits(c.code).block, c.block) << c.name;
    EXPECT_EQ(FlashVendorEraseUnits(c.code).sector, c.sector) << c.name;
  }
  EXPECT_EQ(FlashVendorOf(13), FlashVendor::Unknown);
}

}  // namespace
}  // namespace qvfw::chips
