// Flash identification, size detection and raw SPI programming against emulated flash parts:
// the host reads what a part of each maker answers on its pins, and programs it.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/Commands.h"
#include "device/FlashOps.h"
#include "firmware/FlashSize.h"
#include "support/EmulatedRig.h"

namespace qvfw::device {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::EmulatedRig;

// A part that answers the identification opcodes with exactly these bytes (empty: not at all).
sim::FlashPart Part(Bytes jedec, Bytes rems = {}, Bytes res = {}, Bytes id15 = {}) {
  sim::FlashPart p = sim::FlashPreset("WINBOND", 512);
  p.jedec = std::move(jedec);
  p.rems = std::move(rems);
  p.res = std::move(res);
  p.id15 = std::move(id15);
  return p;
}

struct Rig : EmulatedRig {
  explicit Rig(sim::FlashPart part) { AddBridge(sim::FamilyConfig(13), std::move(part)); }
};

struct IdRow {
  const char* name;
  sim::FlashPart part;
  uint8_t vendor, chipErase, blockErase, program, sectorErase;
  bool recognised = true;
};

TEST(FlashIdentifyOnEmulator, EveryRowOnBothRoutes) {
  const std::vector<IdRow> rows = {
      {"PMC preset", sim::FlashPreset("PMC", 512), 1, 0xC7, 0xD8, 0x02, 0x20},
      {"AMIC 7F 37", Part({0x7F, 0x37, 0x20, 0x12}), 7, 0xC7, 0xD8, 0x02, 0x20},
      {"AMIC 37 30", Part({0x37, 0x30, 0x13, 0x00}), 7, 0xC7, 0xD8, 0x02, 0x20},
      {"ATMEL 1F", sim::FlashPreset("ATMEL"), 4, 0xC7, 0xD8, 0x02, 0x20},
      {"MXIC C2", sim::FlashPreset("MXIC", 512), 5, 0xC7, 0xD8, 0x02, 0x20},
      {"WINBOND EF 40", sim::FlashPreset("WINBOND", 512), 6, 0xC7, 0xD8, 0x02, 0x20},
      {"ST 20", sim::FlashPreset("ST/EON/MXIC"), 3, 0xC7, 0xD8, 0x02, 0x20},
      {"EON 1C", sim::FlashPreset("EON"), 8, 0xC7, 0xD8, 0x02, 0x20},
      {"ESMT 8C", sim::FlashPreset("ESMT"), 9, 0xC7, 0xD8, 0x02, 0x20},
      {"PMC 7F 9D by JEDEC", Part({0x7F, 0x9D, 0x7C, 0x00}), 1, 0xC7, 0xD8, 0x02, 0x20},
      {"SANYO 62: sector erase D7", sim::FlashPreset("SANYO"), 10, 0xC7, 0xD8, 0x02, 0xD7},
      {"GIGADEVICE C8: block erase 52", sim::FlashPreset("GIGADEVICE"), 11, 0xC7, 0x52, 0x02, 0x20},
      {"VPOWERWINS A1", sim::FlashPreset("VPOWERWINS"), 12, 0xC7, 0xD8, 0x02, 0x20},
      {"SST with an unlisted JEDEC id, by 0x90", sim::FlashPreset("SST", 2048), 2, 0x60, 0x52, 0xAF, 0x20},
      {"SST without JEDEC id, by 0x90", Part({}, {0xBF, 0x49}), 2, 0x60, 0x52, 0xAF, 0x20},
      {"PMC by 0xAB", Part({}, {}, {0x9D}), 1, 0xC7, 0xD8, 0x02, 0x20},
      {"ST/EON/MXIC by 0xAB", Part({}, {}, {0x05}), 3, 0xC7, 0xD8, 0x02, 0x20},
      {"ATMEL by 0x15", Part({}, {}, {}, {0x1F, 0x60}), 4, 0x62, 0x52, 0x02, 0x20},
      {"nothing answers", Part({}), 0, 0xC7, 0xD8, 0x02, 0x20, false},
      {"an unlisted maker", Part({0x12, 0x34, 0x15, 0x00}), 0, 0xC7, 0xD8, 0x02, 0x20, false},
  };
  for (const IdRow& row : rows) {
    for (const bool byId4 : {false, true}) {
      SCOPED_TRACE(std::string(row.name) + (byId4 ? " (4-byte id reads)" : " (SPI reads)"));
      Rig rig(row.part);
      // Start from a descriptor that differs from every default, so each field is proven set.
      FlashDescriptor d{0x11, 0x22, 0x33, 0x44, 0x55, 777};
      const bool recognised = byId4 ? IdentifyFlashById4(rig.Dev(), d) : IdentifyFlash(rig.Dev(), d);
      EXPECT_EQ(recognised, row.recognised);
      EXPECT_EQ(d.vendor, row.vendor);
      EXPECT_EQ(d.chipErase, row.chipErase);
      EXPECT_EQ(d.blockErase, row.blockErase);
      EXPECT_EQ(d.program, row.program);
      EXPECT_EQ(d.sectorErase, row.sectorErase);
      EXPECT_EQ(d.sizeKiB, 777u) << "identification leaves the size to the size detection";
    }
  }
}

TEST(FlashIdentifyOnEmulator, AFailingFirstIdReadReportsSuccessWithVendorUnknown) {
  Rig rig(sim::FlashPreset("WINBOND", 512));
  rig.FailAlways(0, {0xFF, 0x04});
  FlashDescriptor d;
  d.vendor = 6;
  EXPECT_TRUE(IdentifyFlash(rig.Dev(), d));
  EXPECT_EQ(d.vendor, 0);
  d.vendor = 6;
  EXPECT_TRUE(IdentifyFlashById4(rig.Dev(), d));
  EXPECT_EQ(d.vendor, 0);
}

TEST(FlashIdentifyOnEmulator, AmicAndAtmelProbes) {
  struct Row {
    Bytes jedec;
    int amic, atmel;
  };
  const std::vector<Row> rows = {
      {{0x7F, 0x37, 0x20, 0x12}, 1, -1}, {{0x7F, 0x37, 0x20, 0x11}, 3, -1}, {{0x7F, 0x37, 0x20, 0x20}, 4, -1},
      {{0x7F, 0x37, 0x20, 0x10}, 5, -1}, {{0x7F, 0x37, 0x20, 0x21}, -1, -1}, {{0x7F, 0x37, 0x20, 0x22}, -1, -1},
      {{0x7F, 0x37, 0x30, 0x12}, -1, -1}, {{0x1F, 0x65, 0x01, 0x00}, -1, 1}, {{0x1F, 0x66, 0x01, 0x00}, -1, 2},
      {{0x1F, 0x47, 0x00, 0x00}, -1, 0},  {{0xEF, 0x40, 0x13, 0x00}, -1, -1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.jedec));
    Rig rig(Part(row.jedec));
    EXPECT_EQ(DetectAmicFlash(rig.Dev()), row.amic);
    EXPECT_EQ(DetectAtmelFlash(rig.Dev()), row.atmel);
  }
  Rig failing(Part({0x1F, 0x65, 0x01, 0x00}));
  failing.FailAlways(0, {0xFF, 0x04, 0x20});
  EXPECT_EQ(DetectAmicFlash(failing.Dev()), -1);
  EXPECT_EQ(DetectAtmelFlash(failing.Dev()), -1);
}

struct SizeRow {
  const char* name;
  sim::FlashPart part;
  uint8_t vendor;
  uint32_t spiKiB, byId4KiB;
};

TEST(FlashSizeOnEmulator, EveryRowOfBothVariants) {
  const std::vector<SizeRow> rows = {
      {"PMC 7F 9D 20", Part({0x7F, 0x9D, 0x20, 0}), 1, 64, 64},
      {"PMC 7F 9D 7C", Part({0x7F, 0x9D, 0x7C, 0}), 1, 128, 128},
      {"PMC 7F 9D 22", Part({0x7F, 0x9D, 0x22, 0}), 1, 256, 256},
      {"PMC 7F 9D 7E", Part({0x7F, 0x9D, 0x7E, 0}), 1, 512, 512},
      {"SST BF 25 41", Part({0xBF, 0x25, 0x41, 0}), 2, 2048, 2048},
      {"SST BF 25 4A", Part({0xBF, 0x25, 0x4A, 0}), 2, 4096, 4096},
      {"SST BF with another code", Part({0xBF, 0x25, 0x8D, 0}), 2, 64, 64},
      // The 4-byte route reads 0xAB with its address phase: bytes 3 and 4 are not both seen.
      {"SST without 9F, 0xAB BF 49", Part({}, {}, {0xBF, 0x49}), 2, 128, 64},
      {"SST without 9F, 0xAB BF 48", Part({}, {}, {0xBF, 0x48}), 2, 64, 64},
      {"ST 20 20 15", Part({0x20, 0x20, 0x15, 0}), 3, 2048, 2048},
      {"ST 20 20 17 is past the row", Part({0x20, 0x20, 0x17, 0}), 3, 64, 64},
      {"ATMEL 1F 66", Part({0x1F, 0x66, 0x01, 0}), 4, 128, 128},
      {"ATMEL 1F 44 only on the SPI route", Part({0x1F, 0x44, 0x01, 0}), 4, 512, 64},
      {"ATMEL without 9F, 0x15 1F 60", Part({}, {}, {}, {0x1F, 0x60}), 4, 128, 64},
      {"MXIC C2 20 15", Part({0xC2, 0x20, 0x15, 0}), 5, 2048, 2048},
      {"MXIC C2 22 17", Part({0xC2, 0x22, 0x17, 0}), 5, 8192, 8192},
      {"MXIC C2 24 whatever the code", Part({0xC2, 0x24, 0x13, 0}), 5, 64, 64},
      {"WINBOND EF 40 14", Part({0xEF, 0x40, 0x14, 0}), 6, 1024, 1024},
      {"WINBOND EF 40 15 is past the row", Part({0xEF, 0x40, 0x15, 0}), 6, 64, 64},
      {"WINBOND EF 40 18 only on the SPI route", Part({0xEF, 0x40, 0x18, 0}), 6, 16384, 64},
      {"AMIC 37 30 13", Part({0x37, 0x30, 0x13, 0}), 7, 512, 512},
      {"AMIC 7F 37 .. 14", Part({0x7F, 0x37, 0x20, 0x14}), 7, 1024, 1024},
      {"AMIC 7F 37 .. 21", Part({0x7F, 0x37, 0x20, 0x21}), 7, 128, 128},
      {"AMIC 7F 37 .. 22", Part({0x7F, 0x37, 0x20, 0x22}), 7, 256, 256},
      {"EON 1C 30 17", Part({0x1C, 0x30, 0x17, 0}), 8, 8192, 8192},
      {"ESMT 8C 30 13", Part({0x8C, 0x30, 0x13, 0}), 9, 512, 512},
      {"ESMT 8C 21 15", Part({0x8C, 0x21, 0x15, 0}), 9, 2048, 2048},
      {"ESMT 8C 20 16", Part({0x8C, 0x20, 0x16, 0}), 9, 4096, 4096},
      {"ESMT 8C 30 15 is not a row", Part({0x8C, 0x30, 0x15, 0}), 9, 64, 64},
      {"SANYO 62 with 0xAB 44", Part({0x62, 0x06, 0x13, 0}, {}, {0x44}), 10, 256, 256},
      {"SANYO 62 with another 0xAB", Part({0x62, 0x06, 0x13, 0}, {}, {0x43}), 10, 64, 64},
      {"GIGADEVICE C8 40 13", Part({0xC8, 0x40, 0x13, 0}), 11, 512, 512},
      {"GIGADEVICE C8 40 14 is past the row", Part({0xC8, 0x40, 0x14, 0}), 11, 64, 64},
      {"VPOWERWINS A1 31 12", Part({0xA1, 0x31, 0x12, 0}), 12, 256, 256},
      {"VPOWERWINS A1 31 14", Part({0xA1, 0x31, 0x14, 0}), 12, 64, 64},
      {"vendor 0 identified first", Part({0xEF, 0x40, 0x13, 0}), 0, 512, 512},
      {"vendor 0 that nothing improves", Part({}), 0, 64, 64},
  };
  for (const SizeRow& row : rows) {
    for (const auto route : {firmware::FlashIdRoute::Spi, firmware::FlashIdRoute::ById4}) {
      const bool spi = route == firmware::FlashIdRoute::Spi;
      SCOPED_TRACE(std::string(row.name) + (spi ? " (variant A)" : " (variant B)"));
      Rig rig(row.part);
      FlashDescriptor d;
      d.vendor = row.vendor;
      d.sizeKiB = 1;
      const auto id = firmware::DetectFlashSize(rig.Dev(), d, route);
      EXPECT_EQ(d.sizeKiB, spi ? row.spiKiB : row.byId4KiB);
      // The id handed back is what 0x9F read: the part's JEDEC bytes, 0xFF where it drives none.
      for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(id[i], i < row.part.jedec.size() ? row.part.jedec[i] : 0xFF) << "byte " << i;
    }
  }
}

TEST(FlashSizeOnEmulator, AFailingJedecReadHandsBackZeros) {
  Rig rig(Part({0xEF, 0x40, 0x14, 0}));
  rig.FailAlways(0, {0xFF, 0x04});
  FlashDescriptor d;
  d.vendor = 6;
  const auto id = firmware::DetectFlashSize(rig.Dev(), d, firmware::FlashIdRoute::ById4);
  EXPECT_EQ(id, (std::array<uint8_t, 4>{}));
  EXPECT_EQ(d.sizeKiB, 64u);
}

TEST(FlashStatusOnEmulator, AFlashThatNeverFinishesEndsTheReadyWaitAfter500Rereads) {
  Rig rig(sim::FlashPreset("WINBOND", 512));
  sim::Fault stuck;
  stuck.kind = sim::Fault::Kind::NeverReady;
  rig.machine.AddFault(0, stuck);
  // Start an operation the part will never finish.
  ASSERT_TRUE(SpiWriteEnable(rig.Dev()));
  ASSERT_TRUE(SpiCommand(rig.Dev(), std::vector<uint8_t>{0x04, 0x00, 0x20, 0x00, 0x00, 0x00}));
  const uint64_t before = rig.clock.NowMs();
  EXPECT_FALSE(WaitFlashReady(rig.Dev()));
  const uint64_t waited = rig.clock.NowMs() - before;
  EXPECT_GE(waited, 500u * kFlashPollMs);
  EXPECT_LT(waited, 501u * kFlashPollMs + 500) << "no more than the bounded count of polls";
}

TEST(FlashStatusOnEmulator, UnprotectClearsTheProtectionSoThatProgrammingTakes) {
  Rig rig(sim::FlashPreset("WINBOND", 512));
  rig.Flash().SetStatusBits(0x1C);
  const uint8_t data[256] = {0x12, 0x34};
  // Protected: the page program is sent but the array does not change.
  ASSERT_TRUE(SpiPageProgram(rig.Dev(), 0, data, 256, 256));
  rig.clock.Sleep(10);
  EXPECT_EQ(rig.Flash().data()[0], 0xFF);
  EXPECT_TRUE(UnprotectFlash(rig.Dev()));
  EXPECT_EQ(rig.Flash().Status(rig.machine.ElapsedUs() + 1'000'000) & 0x1C, 0);
  ASSERT_TRUE(SpiPageProgram(rig.Dev(), 0, data, 256, 256));
  rig.clock.Sleep(10);
  EXPECT_EQ(rig.Flash().data()[0], 0x12);
  EXPECT_EQ(rig.Flash().data()[1], 0x34);
}

Bytes Pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + seed + (i >> 8));
  return b;
}

TEST(SpiProgramOnEmulator, WhatReachesTheFlashOfEachKind) {
  struct Row {
    const char* name;
    sim::FlashPart part;
    uint8_t vendor;
    bool word;
    uint32_t address, length;
    uint32_t written;  // bytes that end up programmed (a tail shorter than a unit is lost)
  };
  const std::vector<Row> rows = {
      {"SST words, two slices from a 16 KiB boundary", sim::FlashPreset("SST", 2048), 2, true, 0x4000, 0x4000, 0x4000},
      {"SST words with a short tail", sim::FlashPreset("SST", 2048), 2, true, 0x8000, 0x2000 + 0x300, 0x2200},
      {"SST bytes", sim::FlashPreset("SST", 128), 2, false, 0x1000, 0x2000, 0x2000},
      {"page program, 256-byte pages", sim::FlashPreset("WINBOND", 512), 6, false, 0x3000, 0x2000 + 0x100 + 0x40, 0x2100},
      {"MXIC, 32-byte pages", sim::FlashPreset("MXIC", 512), 5, false, 0x2000, 0x1000 + 0x30, 0x1020},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Rig rig(row.part);
    const Bytes data = Pattern(row.length, static_cast<uint8_t>(row.address >> 8));
    const bool ok = SpiProgram(rig.Dev(), row.address, data.data(), row.length, row.vendor, row.word);
    EXPECT_TRUE(ok);
    const Bytes& flash = rig.Flash().data();
    Bytes expected(flash.size(), 0xFF);
    std::copy(data.begin(), data.begin() + row.written, expected.begin() + row.address);
    EXPECT_TRUE(flash == expected) << "first difference at "
                                   << (std::mismatch(flash.begin(), flash.end(), expected.begin()).first - flash.begin());
    EXPECT_EQ(rig.Flash().Status(rig.machine.ElapsedUs() + 1'000'000) & 0x42, 0)
        << "the write latch and any auto-increment mode are closed afterwards";
  }
}

TEST(SpiProgramOnEmulator, NothingToWriteOrASliceShorterThanAUnitFails) {
  Rig rig(sim::FlashPreset("WINBOND", 512));
  const Bytes data = Pattern(0x100, 1);
  EXPECT_FALSE(SpiProgram(rig.Dev(), 0, data.data(), 0, 6, false));
  EXPECT_FALSE(SpiProgram(rig.Dev(), 0, data.data(), 0x80, 6, false));
  EXPECT_TRUE(std::all_of(rig.Flash().data().begin(), rig.Flash().data().end(), [](uint8_t b) { return b == 0xFF; }));
}

}  // namespace
}  // namespace qvfw::device
