// Where the firmware area of a bridge without flash lies: the queries against emulated bridges and
// disks (answers, refusals, disks below and above 2^32 blocks), and how the area's start is formed.

#include "device/DiskArea.h"

#include <gtest/gtest.h>

#include "device/Commands.h"
#include "support/EmulatedRig.h"

namespace qvfw::device {
namespace {

using chips::ChipType;

// The QV40776 without flash (see Qv40776WithoutFlash for the arguments).
struct Qv40776 : testing::EmulatedRig {
  Qv40776(uint64_t sectors, uint32_t sectorSize, bool reserved, bool flag, std::optional<uint32_t> marker) {
    AddBridge(testing::Qv40776WithoutFlash(sectors, sectorSize, reserved, flag, marker));
  }
};

TEST(DiskArea, HasReservedAreaByFamily) {
  // QV40776: the parameter block's bytes 8 and 16.
  EXPECT_TRUE(HasReservedArea(Qv40776(1 << 20, 512, true, false, {}).Dev(), ChipType::QV40776E));
  EXPECT_FALSE(HasReservedArea(Qv40776(1 << 20, 512, false, false, {}).Dev(), ChipType::QV40776E));
  {
    Qv40776 refused(1 << 20, 512, true, false, {});
    refused.FailAlways(0, {0xFF, 0x04, 0xA0});
    EXPECT_FALSE(HasReservedArea(refused.Dev(), ChipType::QV40776E)) << "a refused parameter read is a 0 flag";
  }
  // The others: 55 AA at internal memory 0xC000, except the storage line, which never has one.
  for (const auto& [chip, memory55AA, want] : {std::tuple{5, true, true}, std::tuple{5, false, false},
                                               std::tuple{14, true, false}, std::tuple{13, true, false}}) {
    SCOPED_TRACE(chip);
    testing::EmulatedRig rig;
    sim::BridgeConfig c = sim::FamilyConfig(static_cast<uint8_t>(chip));
    c.memory[0xC000] = memory55AA ? std::vector<uint8_t>{0x55, 0xAA, 0, 0} : std::vector<uint8_t>{0, 0, 0, 0};
    rig.AddBridge(c, sim::FlashPreset("WINBOND", 64));
    EXPECT_EQ(HasReservedArea(rig.Dev(), chips::ChipTypeOf(static_cast<unsigned>(chip))), want);
  }
}

TEST(DiskArea, ReservedAreaLbaFromTheMarkerOrTheCapacity) {
  struct Case {
    const char* name;
    uint64_t sectors;
    uint32_t sectorSize;
    bool reserved, flag;
    std::optional<uint32_t> marker;
    bool refuseAreaRead;
    uint32_t want;
  };
  const uint64_t big = 0x1'2345'6789;
  const Case cases[] = {
      {"marker", 976773168, 512, true, false, 0x3A386201, false, 0x3A386201},
      {"marker, 4096-byte blocks", 244190646, 4096, true, false, 0x0E8E0301, false, 0x0E8E0301},
      {"marker on a disk above 2^32 blocks", big, 4096, true, false, 0x23456901, false, 0x23456901},
      {"marker bytes zero, below 2^32", 976773168, 512, true, false, 0, false, 257},
      {"marker bytes zero, above 2^32", big, 512, true, false, 0, false, 0x89},
      {"no reserved area, flag set: last block + 1", 0x0FFFFFFF, 512, false, true, {}, false, 0x0FFFFFFF},
      {"no reserved area, flag clear: last block", 0x0FFFFFFF, 512, false, false, {}, false, 0x0FFFFFFE},
      {"no reserved area above 2^32: low word - 1", big, 512, false, false, {}, false, 0x23456788},
      {"no reserved area above 2^32, flag set", big, 512, false, true, {}, false, 0x23456789},
      {"area read refused: the fallback", 976773168, 512, true, false, 0x3A386201, true, 976773167},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Qv40776 rig(c.sectors, c.sectorSize, c.reserved, c.flag, c.marker);
    if (c.refuseAreaRead) rig.FailAlways(0, {0x85, 0x15});
    EXPECT_EQ(GetReservedAreaLba(rig.Dev(), ChipType::QV40776E), c.want);
  }
}

TEST(DiskArea, RefusedCapacityQueriesDegradeToValues) {
  Qv40776 rig(976773168, 4096, false, false, {});
  rig.FailAlways(0, {0x9E});
  rig.FailAlways(0, {0xA1});
  EXPECT_EQ(GetLastLba(rig.Dev()), 0u);
  EXPECT_EQ(GetDiskSectorCount(rig.Dev()), 0u);
  EXPECT_EQ(GetLogicalSectorSize(rig.Dev()), 512u);
  EXPECT_EQ(GetReservedAreaLba(rig.Dev(), ChipType::QV40776E), 0u);
  EXPECT_EQ(DiskAreaStart(0, 0, false), std::nullopt) << "an area below block 0";
}

TEST(DiskArea, StartOfTheArea) {
  struct Case {
    uint32_t r;
    uint64_t sectors;
    bool flag;
    std::optional<uint64_t> want;
  };
  const Case cases[] = {
      {0x12345, 1 << 20, false, 0x12200},
      {0x12345, 1 << 20, true, 0x12200},
      {0x12301, 1 << 20, false, 0x12200},
      {0x12300, 1 << 20, false, 0x12100},  // one less crosses the 256-block boundary
      {0x12300, 1 << 20, true, 0x12200},
      {0x100, 0x1'0000'0000, false, 0xFFFF'FF00},  // borrows from the high word
      {0x23456901, 0x1'2345'6789, false, 0x1'2345'6800},
      {0x101, 1 << 20, false, 0},
      {0x100, 1 << 20, false, std::nullopt},
      {0xFF, 1 << 20, true, std::nullopt},
      {0, 0, false, std::nullopt},
      {0, 0, true, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(DiskAreaStart(c.r, c.sectors, c.flag), c.want) << std::hex << c.r << " " << c.sectors;
}

}  // namespace
}  // namespace qvfw::device
