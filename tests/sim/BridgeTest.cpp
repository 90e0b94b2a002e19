// Each command family of the bridge, driven through the host's transport and command functions.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>

#include "codec/ImageCodec.h"
#include "platform/TracingPassThrough.h"
#include "sim/FirmwareImage.h"
#include "SimRig.h"

namespace qvfw::sim {
namespace {

using V = std::vector<uint8_t>;
using namespace qvfw::device;

std::string Str(const V& v, size_t at, size_t n) { return std::string(v.begin() + at, v.begin() + at + n); }

TEST(BridgeIdentity, EachFamilyRevealsItselfTheWayItsGenerationDoes) {
  struct Case {
    int type, rev;
    std::string inquiryId;   // bytes 36..39, empty: none
    std::string model;       // model text prefix, empty: not answered
    bool signature;          // chip information starts F4 E7
    uint8_t probe;
  };
  const Case cases[] = {
      {15, 0, "q812", "", true, 0x00},
      {1, 2, "q778", "q778C1", true, 0x00},
      {4, 0, "q779", "q779A3", true, 0x00},
      {5, 3, "q776", "q776C2", true, 0x00},
      {7, 1, "q784", std::string("q784\0\0", 6), true, 0x00},
      {7, 4, "q784", "q784A3", true, 0x00},
      {11, 2, "q789", "q47891", true, 0x00},
      {28, 1, "q826", "q826A0", true, 0x00},
      {30, 2, "q776", std::string("q776E\x01", 6), true, 0x00},
      {9, 0, "q788", "", true, 0x00},
      {13, 0, "q876", "", true, 0x00},
      {31, 0, "", "", false, 0x00},
      {32, 0, "", "", false, 0x20},
      {34, 0, "", "", false, 0x60},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("chip type " + std::to_string(c.type));
    SimRig rig(OneBridge(c.type, c.rev));
    const Device dev = rig.Dev();
    V inq(40);
    ASSERT_TRUE(Inquiry(dev, inq));
    EXPECT_EQ(Str(inq, 8, 6), "Qavion");
    EXPECT_EQ(Str(inq, 36, 4), c.inquiryId.empty() ? std::string(4, '\0') : c.inquiryId);
    V model(40);
    EXPECT_EQ(ReadChipModel(dev, model), !c.model.empty());
    if (!c.model.empty()) {
      EXPECT_EQ(Str(model, 0, c.model.size()), c.model);
    }
    V info(16);
    ASSERT_TRUE(ReadChipInfo(dev, info));
    EXPECT_EQ(info[0] == 0xF4 && info[1] == 0xE7, c.signature);
    V probe(2);
    const uint8_t probeCdb[12] = {0xDF, 0x10, 0x00, 0x00, 0x02, 0, 0, 0, 0, 0, 0, 0xFF};
    ASSERT_TRUE(rig.transport->PassThroughIn(dev.path(), probeCdb, probe.data(), 2, nullptr));
    EXPECT_EQ(probe[0], c.probe);
  }
}

TEST(BridgeIdentity, EveryFamilyIsAdmittedByOneOfTheTwoProbesAndKeepsItsModelKey) {
  for (int t = 1; t <= 35; ++t) {
    SCOPED_TRACE("chip type " + std::to_string(t));
    SimRig rig(OneBridge(t, 1));
    const Device dev = rig.Dev();
    V inq(40), probe(2), info(16);
    ASSERT_TRUE(Inquiry(dev, inq));
    const std::string id = Str(inq, 36, 2);
    const uint8_t probeCdb[12] = {0xDF, 0x10, 0x00, 0x00, 0x02, 0, 0, 0, 0, 0, 0, 0xFF};
    EXPECT_TRUE(id == "q7" || id == "q8" || rig.transport->PassThroughIn(dev.path(), probeCdb, probe.data(), 2, nullptr));
    ASSERT_TRUE(ReadChipInfo(dev, info));
    if (info[0] == 0xF4 && t != 35) {
      EXPECT_EQ(Str(info, 8, 3), ModelKey(static_cast<uint8_t>(t)));
    }
    EXPECT_EQ(rig.B().mode(), BridgeMode::Firmware) << "its generated image boots";
  }
}

TEST(BridgeIdentity, ChipInformationCarriesIdsModelDigitsAndFamilyMarks) {
  {
    SimRig rig(OneBridge(35));
    V info(16);
    ASSERT_TRUE(ReadChipInfo(rig.Dev(), info));
    EXPECT_EQ(V(info.begin(), info.begin() + 6), (V{0xF4, 0xE7, 0x28, 0x4D, 0x47, 0x71}));
  }
  {
    SimRig rig(OneBridge(8, 2));
    V info(12);
    ASSERT_TRUE(ReadChipInfo(rig.Dev(), info));
    EXPECT_EQ(info[11], '2');
  }
  {  // the loader family answers the RAM buffer probe, its code-12 relative does not
    SimRig loader(OneBridge(26)), plain(OneBridge(12, 5));
    V ram(512);
    EXPECT_TRUE(ReadRamBuffer(loader.Dev(), 0x64, 1, ram));
    EXPECT_FALSE(ReadRamBuffer(plain.Dev(), 0x64, 1, ram));
    EXPECT_TRUE(CheckMemoryFDB0(plain.Dev()));
    EXPECT_FALSE(CheckMemoryFDB0(loader.Dev()));
  }
  {  // the second opcode gives the same block, on the families that answer it
    SimRig with(OneBridge(14)), without(OneBridge(14, 0, "WINBOND", 512, R"(, "answersChipInfoAlt": false)"));
    V a(16), b(16);
    ASSERT_TRUE(ReadChipInfo(with.Dev(), a));
    ASSERT_TRUE(ReadChipInfoAlt(with.Dev(), b));
    EXPECT_EQ(a, b);
    EXPECT_FALSE(ReadChipInfoAlt(without.Dev(), b));
  }
  {  // a 12-byte block family: the count tells the host how much arrived
    SimRig rig(OneBridge(3, 0, "WINBOND", 512, R"(, "chipInfoLength": 12)"));
    V info(16);
    uint32_t got = 0;
    ASSERT_TRUE(ReadChipInfo(rig.Dev(), info, &got));
    EXPECT_EQ(got, 12u);
  }
}

TEST(BridgeFlash, IdentificationRepliesReachTheHostThroughRawSpiAndTheIdCommands) {
  struct Case {
    const char* part;
    int kiB;
    V jedec;      // SpiCommand {01 01 9F} then a 4-byte read with length field 0
    V ab3;        // ReadFlashId3 0xAB with the address flag
    V id15;       // ReadFlashId4 0x15 without the flag
    uint8_t vendorCode;
  };
  const Case cases[] = {
      {"MXIC", 512, {0xC2, 0x20, 0x13, 0x00}, {0x12, 0x12, 0x12}, {0xFF, 0xFF, 0xFF, 0xFF}, 5},
      {"SST", 64, {0xFF, 0xFF, 0xFF, 0xFF}, {0xBF, 0x48, 0xBF}, {0xFF, 0xFF, 0xFF, 0xFF}, 2},
      {"ST/EON/MXIC", 64, {0x20, 0x20, 0x10, 0x00}, {0x05, 0x05, 0x05}, {0xFF, 0xFF, 0xFF, 0xFF}, 3},
      {"ATMEL-AT25F1024", 128, {0xFF, 0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF}, {0x1F, 0x60, 0x1F, 0x60}, 4},
      {"PMC", 64, {0x7F, 0x9D, 0x20, 0x00}, {0x9D, 0x7B, 0x9D}, {0xFF, 0xFF, 0xFF, 0xFF}, 1},
      {"SANYO", 256, {0x62, 0x16, 0x12, 0x00}, {0x44, 0x44, 0x44}, {0xFF, 0xFF, 0xFF, 0xFF}, 10},
      {"AMIC-A25P", 128, {0x7F, 0x37, 0x20, 0x21}, {0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF, 0xFF}, 7},
      {"GIGADEVICE", 512, {0xC8, 0x40, 0x13, 0x00}, {0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF, 0xFF}, 11},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.part);
    SimRig rig(OneBridge(13, 0, c.part, c.kiB));
    const Device dev = rig.Dev();
    V j(4);
    ASSERT_TRUE(SpiCommand(dev, V{0x01, 0x01, 0x9F}));
    ASSERT_TRUE(SpiReadData(dev, j, 0));
    EXPECT_EQ(j, c.jedec);
    V ab(3), i15(4), vendor(4);
    ASSERT_TRUE(ReadFlashId3(dev, 0xAB, true, ab));
    EXPECT_EQ(ab, c.ab3);
    ASSERT_TRUE(ReadFlashId4(dev, 0x15, false, i15));
    EXPECT_EQ(i15, c.id15);
    ASSERT_TRUE(ReadFlashVendorCode(dev, vendor));
    EXPECT_EQ(vendor[0], c.vendorCode);
  }
}

TEST(BridgeFlash, SectorEraseClearsALargeSectorAndKeepsTheFlashBusyForPolling) {
  struct Case {
    const char* part;
    int kiB;
    uint32_t address, first, last;
    uint64_t lowMs, highMs;  // until the status reads ready
  };
  const Case cases[] = {
      {"WINBOND", 512, 0x13000, 0x10000, 0x17FFF, 200, 230},  // 32 KiB erase
      {"AMIC", 512, 0x13000, 0x10000, 0x1FFFF, 200, 230},     // no 32 KiB erase: 64 KiB
      {"ST/EON/MXIC", 512, 0x13000, 0x10000, 0x17FFF, 600, 630},  // a slow part
      {"AMIC-A25P05B", 64, 0x5000, 0x3000, 0x6FFF, 200, 230},   // boot sectors: the 16 KiB one
      {"AMIC-A25P05B", 64, 0xF800, 0xF000, 0xFFFF, 200, 230},   // the 4 KiB one at the top
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.part);
    SimRig rig(OneBridge(1, 2, c.part, c.kiB));
    const Device dev = rig.Dev();
    std::fill(rig.Flash().begin(), rig.Flash().end(), 0x00);
    const uint64_t start = rig.clock.NowMs();
    ASSERT_TRUE(EraseFlashSector(dev, c.address));
    uint8_t status = 0;
    for (int polls = 0; polls < 500; ++polls) {
      ASSERT_TRUE(ReadFlashStatus(dev, status));
      if ((status & 0x01) == 0) break;
      rig.Wait(10);
    }
    const uint64_t took = rig.clock.NowMs() - start;
    EXPECT_GE(took, c.lowMs);
    EXPECT_LE(took, c.highMs);
    const auto& f = rig.Flash();
    for (uint32_t a = 0; a < f.size(); ++a)
      if (f[a] != ((a >= c.first && a <= c.last) ? 0xFF : 0x00)) {
        ADD_FAILURE() << "address " << a;
        break;
      }
  }
}

TEST(BridgeFlash, Qvs882TakesFlashChangesOnlyOnceTheyWereAnnounced) {
  SimRig rig(OneBridge(12, 5));
  const Device dev = rig.Dev();
  std::fill(rig.Flash().begin(), rig.Flash().end(), 0x00);
  const V data(256, 0x00);
  EXPECT_FALSE(EraseFlashSector(dev, 0));
  EXPECT_FALSE(EraseFlashChip(dev));
  EXPECT_FALSE(WriteFlashLong(dev, 1, 0, data));
  EXPECT_EQ(rig.Flash()[0], 0x00);
  ASSERT_TRUE(PrepareFlashWrite(dev));
  ASSERT_TRUE(EraseFlashSector(dev, 0));
  rig.Wait(300);
  EXPECT_EQ(rig.Flash()[0], 0xFF);
  EXPECT_TRUE(WriteFlash(dev, 0, data));
  EXPECT_EQ(rig.Flash()[0], 0x00);
}

TEST(BridgeFlash, EraseModesOfTheErasingWrite) {
  struct Case {
    uint8_t mode;
    uint32_t address;
    uint32_t eraseFirst, eraseLast;  // inclusive; first > last: nothing erased
  };
  const Case cases[] = {
      {0x00, 0x12000, 1, 0},
      {0x01, 0x12345, 0x12000, 0x12FFF},
      {0x04, 0x12345, 0x12000, 0x12FFF},
      {0x02, 0x23456, 0x20000, 0x2FFFF},
      {0x05, 0x23456, 0x20000, 0x2FFFF},
      {0x03, 0x00000, 0x00000, 0x7FFFF},
      {0x07, 0x00000, 0x00000, 0x7FFFF},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("mode " + std::to_string(c.mode));
    SimRig rig(OneBridge(13, 0, "WINBOND", 512));
    std::fill(rig.Flash().begin(), rig.Flash().end(), 0x00);
    ASSERT_TRUE(WriteFlashLong(rig.Dev(), c.mode, c.address, V{0x5A, 0xA5}));
    rig.Wait(10'000);
    const auto& f = rig.Flash();
    for (uint32_t a = 0; a < f.size(); ++a) {
      uint8_t want = (a >= c.eraseFirst && a <= c.eraseLast) ? 0xFF : 0x00;
      if (a == c.address) want &= 0x5A;
      if (a == c.address + 1) want &= 0xA5;
      if (f[a] != want) {
        ADD_FAILURE() << "address " << a << " holds " << int(f[a]) << ", wanted " << int(want);
        break;
      }
    }
  }
}

TEST(BridgeFlash, ShortWriteOfTheIeee1394LineErasesOnRequest) {
  // The erase flag clears the large sector at the address (32 KiB on this part): the 1394 line's
  // programming raises it only on the pieces at 0 and 0x8000.
  SimRig rig(OneBridge(8, 1, "SST", 128));
  std::fill(rig.Flash().begin(), rig.Flash().end(), 0x00);
  ASSERT_TRUE(WriteFlashShort(rig.Dev(), true, 0x8000, V(256, 0x77)));
  ASSERT_TRUE(WriteFlashShort(rig.Dev(), false, 0x10000, V(16, 0x77)));
  rig.Wait(100);
  const auto& f = rig.Flash();
  EXPECT_EQ(f[0x8000], 0x77);
  EXPECT_EQ(f[0x8100], 0xFF) << "the rest of the erased sector";
  EXPECT_EQ(f[0xFFFF], 0xFF) << "the rest of the erased sector";
  EXPECT_EQ(f[0x10000], 0x00) << "no erase: NOR rules on the old zeros";
  EXPECT_EQ(f[0x7FFF], 0x00);
}

TEST(BridgeFlash, PrepareRetryMakesTheBridgeDetectItsFlashAgain) {
  SimRig rig(OneBridge(15, 0, "MXIC", 512, R"(, "vendorCode": 0)"));
  V vendor(4);
  ASSERT_TRUE(ReadFlashVendorCode(rig.Dev(), vendor));
  EXPECT_EQ(vendor[0], 0);
  ASSERT_TRUE(PrepareFlashRetry(rig.Dev()));
  ASSERT_TRUE(ReadFlashVendorCode(rig.Dev(), vendor));
  EXPECT_EQ(vendor[0], 5);
}

TEST(BridgeFlash, TheErasingWriteUsesTheOpcodesTheHostSet) {
  SimRig rig(OneBridge(13, 0, "SANYO", 256));  // sectors erased by D7 only
  const Device dev = rig.Dev();
  auto sectorErased = [&](uint32_t a) {
    std::fill(rig.Flash().begin() + a, rig.Flash().begin() + a + 0x1000, 0x00);
    EXPECT_TRUE(WriteFlashLong(dev, 0x01, a, {}));
    rig.Wait(500);
    return std::all_of(rig.Flash().begin() + a, rig.Flash().begin() + a + 0x1000, [](uint8_t b) { return b == 0xFF; });
  };
  EXPECT_TRUE(sectorErased(0x4000)) << "the bridge starts with the part's own opcodes";
  FlashDescriptor generic;  // C7 D8 02 20: 0x20 means nothing to this part
  ASSERT_TRUE(SetFlashOpcodesWide(dev, generic, 32));
  EXPECT_FALSE(sectorErased(0x5000));
  generic.sectorErase = 0xD7;
  ASSERT_TRUE(SetFlashOpcodesWide(dev, generic, 32));
  EXPECT_TRUE(sectorErased(0x6000));
}

TEST(BridgeFlash, TheMxicFlagUnprotectsBeforeErasing) {
  const std::string scenario = R"({"disks": [{"chipType": 15, "flash": {"part": "MXIC", "sizeKiB": 512, "protected": true}}]})";
  SimRig plain(scenario), flagged(scenario);
  ASSERT_TRUE(WriteFlashLong(plain.Dev(), 0x03, 0, {}));
  ASSERT_TRUE(WriteFlashLong(flagged.Dev(), 0x83, 0, {}));
  plain.Wait(10'000);
  flagged.Wait(10'000);
  EXPECT_NE(plain.Flash()[0x15], 0xFF) << "a protected chip ignores the erase";
  EXPECT_TRUE(std::all_of(flagged.Flash().begin(), flagged.Flash().end(), [](uint8_t b) { return b == 0xFF; }));
}

TEST(BridgeFlash, BridgeReadsAndWritesRoundTripAndWriteWithoutEraseIsNor) {
  SimRig rig(OneBridge(13, 0, "SST", 2048));  // the bridge programs this part by words
  const Device dev = rig.Dev();
  ASSERT_TRUE(WriteFlashLong(dev, 0x03, 0, {}));
  rig.Wait(5000);
  V data(3000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31 + 7);
  ASSERT_TRUE(WriteFlashLong(dev, 0x00, 0x1001, data));  // odd address, odd length
  V back(3000);
  ASSERT_TRUE(ReadFlashLong(dev, 0x1001, back));
  EXPECT_EQ(back, data);
  ASSERT_TRUE(WriteFlash(dev, 0x1001, V{0xFF, 0x00}));  // cannot set bits
  V two(2);
  ASSERT_TRUE(ReadFlash(dev, 0x1001, two));
  EXPECT_EQ(two, (V{data[0], 0x00}));
}

TEST(BridgeFlash, RawSpiSequencesProgramAndHonourTheLatch) {
  SimRig rig(OneBridge(7, 2, "SST", 64, R"(, "firmware": "blank")"));  // byte auto-increment part
  const Device dev = rig.Dev();
  // Enable writes as the host does (status write enable, status 0, write enable), then an
  // auto-increment start with address and first byte, two more bytes, disable.
  ASSERT_TRUE(SpiCommand(dev, V{0x01, 0x00, 0x50}));
  ASSERT_TRUE(SpiCommand(dev, V{0x01, 0x01, 0x01}));
  ASSERT_TRUE(SpiWriteData(dev, V{0x00, 0x00}));
  rig.Wait(10);  // the status write keeps the part busy for a few milliseconds
  ASSERT_TRUE(SpiCommand(dev, V{0x01, 0x00, 0x06}));
  rig.Wait(10);
  ASSERT_TRUE(SpiCommand(dev, V{0x04, 0x01, 0xAF, 0x00, 0x20, 0x00}));
  ASSERT_TRUE(SpiWriteData(dev, V{0x11, 0x00}));
  ASSERT_TRUE(SpiCommand(dev, V{0x02, 0x00, 0xAF, 0x22}));
  ASSERT_TRUE(SpiCommand(dev, V{0x02, 0x00, 0xAF, 0x33}));
  ASSERT_TRUE(SpiCommand(dev, V{0x01, 0x00, 0x04}));
  EXPECT_EQ(V(rig.Flash().begin() + 0x2000, rig.Flash().begin() + 0x2004), (V{0x11, 0x22, 0x33, 0xFF}));
  // A data phase without its command is a sequence error.
  EXPECT_FALSE(SpiWriteData(dev, V{0x00}));
  // Page program on a page-program part without write enable does nothing.
  SimRig w(OneBridge(13, 0, "WINBOND", 512));
  ASSERT_TRUE(SpiCommand(w.Dev(), V{0x04, 0x01, 0x02, 0x00, 0x00, 0x00}));
  ASSERT_TRUE(SpiWriteData(w.Dev(), V{0x00, 0x00}));
  EXPECT_NE(w.Flash()[0], 0x00);
}

TEST(BridgeMemory, ReadWriteWithinTheAddressSpaceAndForcedBits) {
  SimRig rig(OneBridge(12, 0, "WINBOND", 512,
                       R"(, "memory": {"0x505E": "00 00 01 00"}, "memoryForceSet": {"0x506B": "0x01"})"));
  const Device dev = rig.Dev();
  EXPECT_TRUE(CheckMemoryFlag505E(dev));
  ASSERT_TRUE(WriteMemory(dev, 0x506A, V{0x00}));
  V one(1);
  ASSERT_TRUE(ReadMemory(dev, 0x506A, one));
  EXPECT_EQ(one[0], 0x00);
  ASSERT_TRUE(WriteMemory(dev, 0x506B, V{0x00}));
  ASSERT_TRUE(ReadMemory(dev, 0x506B, one));
  EXPECT_EQ(one[0], 0x01) << "a register bit that reads back set";
  V four(4);
  ASSERT_TRUE(ReadMemory(dev, 0x7038, four));
  EXPECT_EQ(four[2], 0x15);
  EXPECT_FALSE(ReadMemory(dev, 0xFFFE, four)) << "beyond the 64 KiB space";
  // Memory is RAM: a restart brings back what the firmware sets up.
  ASSERT_TRUE(WriteMemory(dev, 0x7038, V{1, 2, 3, 4}));
  ResetChip(dev);
  rig.Wait(5000);
  ASSERT_TRUE(ReadMemory(rig.Dev(), 0x7038, four));
  EXPECT_EQ(four, (V{0x00, 0x00, 0x15, 0x00}));
}

// What a bridge's firmware refuses, family by family: length fields that disagree with the data
// phase, reserved bytes that are not 0, the forms and modes a family does not have, the loader's
// ranges, the ATA pass-through fields, reads past the end of the disk and a flash change the
// QVS882 was not told of. Each refusal is CHECK CONDITION with its sense (05/asc/00).
TEST(BridgeCommands, RejectedCdbsPerFamily) {
  struct Case {
    int chip;
    const char* what;
    V cdb;
    bool dataIn;
    uint32_t length;
    uint8_t asc;
    V prelude = {};  // a command sent first (a raw SPI command whose data phase follows)
  };
  // ATA PASS-THROUGH(16) of one 512-byte block at `lba` with bytes 1, 2 and 13 as given.
  auto ata = [](uint8_t b1, uint8_t b2, uint8_t device, uint8_t command, uint64_t lba) {
    auto l = [&](int i) { return static_cast<uint8_t>(lba >> (8 * i)); };
    return V{0x85, b1, b2, 0, 0, 0, 1, l(3), l(0), l(4), l(1), l(5), l(2), device, command, 0};
  };
  const uint64_t sectors = DiskConfig{}.sectors, reserved = DiskConfig{}.reservedSectors;
  const V spiWithData = Cdb12({0xFF, 0x04, 0x20, 0x04, 0x01, 0x02, 0x00, 0x00, 0x00});
  const Case cases[] = {
      // Every family.
      {15, "unknown opcode", Cdb12({0xEE}), true, 0, 0x20},
      {15, "vendor family other than FF 04", Cdb12({0xFF, 0x05, 0x10}), true, 16, 0x20},
      {15, "unknown FF 04 sub-command", Cdb12({0xFF, 0x04, 0x77}), true, 0, 0x24},
      {15, "reset without its letters", Cdb12({0xFF, 0x04, 0x26, 'X', 'V'}), true, 0, 0x24},
      {15, "erase mode with reserved bits", Cdb12({0xDF, 0x7B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFB}), false, 0, 0x24},
      {15, "memory read past the end", Cdb12({0xDF, 0x10, 0x00, 0x00, 0x04, 0, 0xFF, 0xFE, 0, 0, 0, 0xFD}), true, 4, 0x24},
      {15, "chip information without its key", Cdb12({0xE0, 0x00, 0x00}), true, 16, 0x24},
      {15, "vital product data page not offered", V{0x12, 0x01, 0x99, 0x00, 0x20, 0x00}, true, 32, 0x24},
      {15, "download at an offset off the boundary", V{0x3B, 0x0E, 0x00, 0x00, 0x00, 0x10, 0x00, 0x10, 0x00, 0x00},
       false, 4096, 0x24},
      {15, "download whose length differs from its data", V{0x3B, 0x0E, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00},
       false, 8192, 0x24},
      {15, "mode sense of another page", V{0x5A, 0x08, 0x08, 0, 0, 0, 0, 0, 0x30, 0}, true, 48, 0x24},
      {15, "RAM loader on a bridge without one", Cdb12({0xB5, 0, 0, 0, 0, 0x64, 0, 0, 0x01}), true, 512, 0x20},
      {15, "raw SPI data phase without a command", Cdb12({0xFF, 0x04, 0x21, 0, 0, 0, 0, 0, 4}), true, 4, 0x2C},
      // Length fields against the data phase.
      {13, "long write one byte short of its data", Cdb12({0xDF, 0x00, 0x00, 0x01, 0xFF, 0, 0, 0, 0, 0x10, 0, 0xFB}),
       false, 512, 0x24},
      {13, "long write longer than its data", Cdb12({0xDF, 0x00, 0x00, 0x02, 0x01, 0, 0, 0, 0, 0x10, 0, 0xFB}), false,
       512, 0x24},
      {13, "long read of another length", Cdb12({0xDF, 0x10, 0x00, 0x02, 0x00, 0, 0, 0, 0, 0, 0, 0xFA}), true, 256, 0x24},
      {13, "memory read of another length", Cdb12({0xDF, 0x10, 0x00, 0x00, 0x08, 0, 0x70, 0x38, 0, 0, 0, 0xFD}), true,
       4, 0x24},
      {13, "raw SPI data of another length", Cdb12({0xFF, 0x04, 0x22, 0, 0, 0, 0, 0x01, 0x00}), false, 128, 0x24,
       spiWithData},
      {13, "raw SPI data without a length", Cdb12({0xFF, 0x04, 0x22}), false, 128, 0x24, spiWithData},
      {13, "raw SPI read of another length", Cdb12({0xFF, 0x04, 0x21, 0, 0, 0, 0, 0x00, 0x08}), true, 4, 0x24,
       Cdb12({0xFF, 0x04, 0x20, 0x01, 0x01, 0x9F})},
      {13, "flash id of 4 bytes into 3", Cdb12({0xFF, 0x04, 0x15, 0x04, 0x9F}), true, 3, 0x24},
      {13, "flash id with 5 bytes", Cdb12({0xFF, 0x04, 0x15, 0x05, 0x9F}), true, 5, 0x24},
      {13, "parameter block of 18 into 20 bytes", Cdb12({0xFF, 0x04, 0xA0, 18}), true, 20, 0x24},
      {13, "vendor code of 2 bytes", Cdb12({0xFF, 0x04, 0x23, 0x02}), true, 2, 0x24},
      {13, "status of 4 bytes", Cdb12({0xFF, 0x04, 0x12}), true, 4, 0x24},
      {13, "chip erase with a data phase", Cdb12({0xFF, 0x04, 0x13}), false, 16, 0x24},
      {13, "flash write without data", Cdb12({0xFF, 0x04, 0x11, 0x00, 0x10, 0x00}), false, 0, 0x24},
      // Reserved bytes.
      {13, "flash read with byte 6 set", Cdb12({0xFF, 0x04, 0x10, 0, 0, 0, 0x01}), true, 16, 0x24},
      {13, "sector erase with byte 11 set", Cdb12({0xFF, 0x04, 0x14, 0, 0, 0, 0, 0, 0, 0, 0, 0x01}), false, 0, 0x24},
      {13, "long write with byte 5 set", Cdb12({0xDF, 0x00, 0x00, 0x00, 0x10, 0x01, 0, 0, 0, 0, 0, 0xFB}), false, 16,
       0x24},
      {13, "chip information with byte 3 set", Cdb12({0xE0, 0xF4, 0xE7, 0x01}), true, 16, 0x24},
      {13, "raw SPI command with bytes past its count", Cdb12({0xFF, 0x04, 0x20, 0x01, 0x00, 0x06, 0x04}), false, 0,
       0x24},
      {13, "INQUIRY with reserved bits", Cdb12({0x12, 0x02, 0x00, 0x00, 40}), true, 40, 0x24},
      // Forms and modes per family.
      {8, "QVB787: a block-erase mode", Cdb12({0xDF, 0x02, 0x00, 0x01, 0x00, 0, 0, 0, 0, 0, 0, 0xFB}), false, 256, 0x24},
      {8, "QVB787: the whole-chip mode", Cdb12({0xDF, 0x03, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFB}), false, 0, 0x24},
      {8, "QVB787: the MXIC flag", Cdb12({0xDF, 0x81, 0x00, 0x01, 0x00, 0, 0, 0, 0, 0, 0, 0xFB}), false, 256, 0x24},
      {8, "QVB787: a 24-bit write length", Cdb12({0xDF, 0x00, 0x01, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0xFB}), false,
       0x10000, 0x24},
      {8, "QVB787: a 24-bit read length", Cdb12({0xDF, 0x10, 0x01, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0xFA}), true, 0x10000,
       0x24},
      {15, "QVS812: a sector erase on a data write", Cdb12({0xDF, 0x01, 0x00, 0x10, 0x00, 0, 0, 0, 0, 0, 0, 0xFB}),
       false, 4096, 0x24},
      {15, "QVS812: a block erase on a data write", Cdb12({0xDF, 0x02, 0x00, 0x10, 0x00, 0, 0, 0, 0, 0, 0, 0xFB}), false,
       4096, 0x24},
      {17, "QVS817: a whole-chip erase on a data write", Cdb12({0xDF, 0x03, 0x00, 0x10, 0x00, 0, 0, 0, 0, 0, 0, 0xFB}),
       false, 4096, 0x24},
      {13, "storage line: opcodes in the one-byte form", Cdb12({0xFF, 0x04, 0x0F, 0xC7, 0xD8, 0x02, 0x20, 0x08}), false,
       0, 0x24},
      {12, "QVS882: opcodes in the 16-bit form", Cdb12({0xFF, 0x04, 0x0F, 0xC7, 0xD8, 0x02, 0x20, 0x00, 0x20}), false, 0,
       0x24},
      {1, "QV40778: a write announcement it has no use for", Cdb12({0xFF, 0x04, 0x25}), false, 0, 0x24},
      {12, "QVS882: a flash write before the announcement", Cdb12({0xFF, 0x04, 0x11}), false, 256, 0x2C},
      // The RAM-buffer loader.
      {26, "loader: a program of 512 bytes", Cdb12({0xB3, 0, 0, 0, 0, 0, 0x02, 0x00, 0xC8, 0x00, 0xE5, 0x02}), true, 0,
       0x24},
      {26, "loader: a program across a page", Cdb12({0xB3, 0, 0, 0, 0, 0x80, 0x01, 0x00, 0xC8, 0x00, 0xE5, 0x02}), true,
       0, 0x24},
      {26, "loader: a program from RAM outside the buffer", Cdb12({0xB3, 0, 0, 0, 0, 0, 0x01, 0x00, 0xC0, 0x00, 0xE5, 0x02}),
       true, 0, 0x24},
      {26, "loader: a read of 1024 bytes", Cdb12({0xB6, 0, 0, 0, 0, 0, 0x04, 0x00, 0xC8, 0x00}), true, 0, 0x24},
      {26, "loader: a read beyond the buffer", Cdb12({0xB6, 0, 0, 0, 0, 0, 0x02, 0x00, 0xC9, 0x00}), true, 0, 0x24},
      {26, "loader: an erase of another kind", Cdb12({0xB4, 0, 0, 0, 0, 0, 0, 0, 0, 0x31, 0x22, 0x52}), true, 0, 0x24},
      {26, "loader: a block erase without its byte 10", Cdb12({0xB4, 0, 0, 0, 0, 0, 0, 0, 0, 0x31, 0x00, 0x52}), true, 0,
       0x24},
      {26, "loader: half a buffer", Cdb12({0xB2, 0, 0, 0, 0, 0x64, 0, 0, 0x01}), false, 256, 0x24},
      {26, "loader: another buffer", Cdb12({0xB5, 0, 0, 0, 0, 0x65, 0, 0, 0x01}), true, 512, 0x24},
      // ATA pass-through and the disk's end.
      {13, "ATA read with a PIO protocol", ata(0x09, 0x0B, 0x60, 0x25, 0), true, 512, 0x24},
      {13, "ATA read without the 48-bit flag", ata(0x14, 0x0B, 0x60, 0x25, 0), true, 512, 0x24},
      {13, "ATA read towards the device", ata(0x15, 0x03, 0x60, 0x25, 0), true, 512, 0x24},
      {13, "ATA read that waits off line", ata(0x15, 0x4B, 0x60, 0x25, 0), true, 512, 0x24},
      {13, "ATA write from the device", ata(0x17, 0x0B, 0x60, 0x35, 0), false, 512, 0x24},
      {13, "ATA read without LBA mode", ata(0x15, 0x0B, 0x20, 0x25, 0), true, 512, 0x24},
      {13, "ATA read of device 1", ata(0x15, 0x0B, 0x70, 0x25, 0), true, 512, 0x24},
      {13, "ATA read of a length other than its count", ata(0x15, 0x0B, 0x60, 0x25, 0), true, 1024, 0x24},
      {13, "ATA IDENTIFY by DMA", V{0xA1, 0x14, 0x0B, 0, 0, 0, 0, 0, 0x40, 0xEC, 0, 0}, true, 512, 0x24},
      {13, "ATA read past the reserved area", ata(0x15, 0x0B, 0x60, 0x25, sectors + reserved), true, 512, 0x21},
      {13, "READ(10) past the capacity", V{0x28, 0, uint8_t(sectors >> 24), uint8_t(sectors >> 16), uint8_t(sectors >> 8),
                                           uint8_t(sectors), 0, 0, 1, 0}, true, 512, 0x21},
      {13, "READ(16) far past the capacity", V{0x88, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0}, true, 512, 0x21},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.what) + " (chip type " + std::to_string(c.chip) + ")");
    SimRig rig(OneBridge(c.chip, c.chip == 8 ? 1 : 0));
    if (!c.prelude.empty()) {
      ASSERT_TRUE(rig.Run(c.prelude, false, 0).Good());
    }
    const Outcome o = rig.Run(c.cdb, c.dataIn, c.length);
    EXPECT_TRUE(o.opened);
    EXPECT_EQ(o.status, 0x02);
    EXPECT_EQ(o.key, 0x05);
    EXPECT_EQ(o.asc, c.asc);
    EXPECT_EQ(o.ascq, 0x00);
  }
}

// The counterparts of the refusals above that the families do have.
TEST(BridgeCommands, TheFormsEachFamilyHasAreTaken) {
  struct Case {
    int chip;
    const char* what;
    V cdb;
    uint32_t length;
  };
  const Case cases[] = {
      {8, "QVB787: a short write with the erase flag", Cdb12({0xDF, 0x01, 0x00, 0x01, 0x00, 0, 0, 0, 0, 0, 0, 0xFB}), 256},
      {15, "QVS812: an erase request of its own", Cdb12({0xDF, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFB}), 0},
      {15, "QVS812: the MXIC flag on a data write", Cdb12({0xDF, 0x82, 0x00, 0x10, 0x00, 0, 0, 0, 0, 0, 0, 0xFB}), 4096},
      {13, "QVS876: an erase on a data write", Cdb12({0xDF, 0x02, 0x00, 0x10, 0x00, 0, 0, 0, 0, 0, 0, 0xFB}), 4096},
      {13, "storage line: opcodes in the 16-bit form", Cdb12({0xFF, 0x04, 0x0F, 0xC7, 0xD8, 0x02, 0x20, 0x00, 0x20}), 0},
      {12, "QVS882: opcodes in the one-byte form", Cdb12({0xFF, 0x04, 0x0F, 0xC7, 0xD8, 0x02, 0x20, 0x08}), 0},
      {13, "a one-byte memory write, sent as two", Cdb12({0xDF, 0x00, 0x00, 0x00, 0x01, 0, 0x50, 0x00, 0, 0, 0, 0xFE}), 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SimRig rig(OneBridge(c.chip, c.chip == 8 ? 1 : 0));
    EXPECT_TRUE(rig.Run(c.cdb, false, c.length, V(c.length, 0x5A)).Good());
  }
}

// A refusal reaches the host's trace decoded, also for the vendor commands, which ask for no
// sense bytes themselves.
TEST(BridgeCommands, RefusalsReachTheHostsTraceDecoded) {
  SimRig rig(OneBridge(8, 1));
  std::vector<std::string> lines;
  platform::TracingPassThrough traced(*rig.machine, [&](const std::string& l) { lines.push_back(l); });
  platform::NullDiagnostics diag;
  device::Transport transport(traced, diag);
  const Device dev(transport, rig.machine->CurrentPath(0));
  EXPECT_FALSE(WriteFlashLong(dev, 0x02, 0, V(256, 0x00)));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("sense=70 00 05"), std::string::npos) << lines[0];
#if defined(_WIN32)
  const char* const decoded = "Illegal Request: ASC 24h, ASCQ 00h";  // no sense library there
#else
  const char* const decoded = "Illegal Request: Invalid field in cdb";
#endif
  EXPECT_NE(lines[0].find(decoded), std::string::npos) << lines[0];
}

TEST(BridgeCommands, IdentityRecordMustCarryItsMark) {
  SimRig rig;
  V record(72, 0);
  record[0] = 0x41;
  const Outcome o = rig.Run(Cdb12({0xC3, 0x30, 0, 0, 0x12, 0x34, 0x0A, 0x05, 0, 0x48}), false, 72, record);
  EXPECT_EQ(o.key, 0x05);
  EXPECT_EQ(o.asc, 0x26);
}

TEST(PlainDisk, AnswersStandardCommandsAndRejectsTheVendorOnes) {
  SimRig rig(PresetScenarioJson("mixed"));
  const size_t plain = *rig.machine->FindDisk("plain0");
  const Device dev = rig.Dev(plain);
  V inq(40);
  ASSERT_TRUE(Inquiry(dev, inq));
  EXPECT_EQ(Str(inq, 8, 3), "WDC");
  EXPECT_EQ(Str(inq, 36, 4), std::string(4, '\0'));
  EXPECT_GT(GetLastLba(dev), 0u);
  for (const V& cdb : {Cdb12({0xDF, 0x10, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0xFF}), Cdb12({0xE0, 0xF4, 0xE7}),
                       Cdb12({0xFF, 0x04, 0x30, 0x08})}) {
    const Outcome o = rig.Run(cdb, true, 16, {}, plain);
    EXPECT_EQ(o.status, 0x02);
    EXPECT_EQ(o.key, 0x05);
    EXPECT_EQ(o.asc, 0x20);
  }
}

// ---- the one-click path: buffer commands, vital product data, mode page, identity, reset -----

TEST(BridgeBuffer, DescriptorAndConfigurationSource) {
  SimRig rig;
  const Device dev = rig.Dev();
  EXPECT_TRUE(SupportsReadBuffer(dev));
  V d(4);
  ASSERT_TRUE(QV_ReadBuffer(dev, 3, 0, 0, d.data(), 4));
  EXPECT_EQ(d, (V{0x0C, 0x04, 0x00, 0x00}));
  V config(4096);
  ASSERT_TRUE(QV_ReadBuffer(dev, 1, 1, 0, config.data(), 4096));
  EXPECT_TRUE(std::equal(config.begin() + 1536, config.begin() + 2048, rig.Flash().begin() + 0x600));
  EXPECT_FALSE(QV_ReadBuffer(dev, 1, 1, 4096, config.data(), 16)) << "buffer 1 holds 4096 bytes";
  EXPECT_FALSE(SupportsReadBuffer(SimRig(OneBridge(13)).Dev())) << "only the buffer family has them";
}

// Programs `image` the way the RAM-download programming does on a kind 02 00 bridge.
bool ProgramByBuffer(SimRig& rig, const V& image, bool eraseFirst) {
  const Device dev = rig.Dev();
  if (eraseFirst && !WriteFlashLong(dev, 0x03, 0, {})) return false;
  for (uint32_t off = 0; off < image.size(); off += 4096)
    if (!QV_WriteBuffer(dev, 0, 0x0E, image.data() + off, off, 4096)) return false;
  return true;
}

std::string RunningVersion(SimRig& rig) {
  V info(16);
  if (!ReadChipInfo(rig.Dev(), info)) return "?";
  return Str(info, 12, 4);
}

TEST(BridgeBuffer, UpdateShowsAfterResetAndReattachUnderANewPath) {
  SimRig rig;
  EXPECT_EQ(RunningVersion(rig), "1201");
  const V update = GenerateFirmwareImage({15, 0, "1203", 0x40000, 7});
  ASSERT_TRUE(ProgramByBuffer(rig, update, true));
  EXPECT_EQ(RunningVersion(rig), "1201") << "the download is deferred until the restart";
  V back(4096);
  ASSERT_TRUE(QV_ReadBuffer(rig.Dev(), 1, 0, 0x1F000, back.data(), 4096));
  EXPECT_TRUE(std::equal(back.begin(), back.end(), update.begin() + 0x1F000));

  const std::string oldPath = rig.machine->CurrentPath(0);
  rig.machine->Drain();
  ResetChip(rig.Dev());
  EXPECT_FALSE(rig.RunAt(oldPath, Cdb12({0x00}), true, 0).opened);
  EXPECT_EQ(rig.machine->EnumerateDisks().size(), 0u);
  EXPECT_EQ(rig.machine->Drain(), std::vector<platform::DeviceEvent>{platform::DeviceEvent::Removal});
  rig.Wait(1000);
  EXPECT_TRUE(rig.machine->Drain().empty()) << "still restarting";
  rig.Wait(600);
  EXPECT_EQ(rig.machine->Drain(), std::vector<platform::DeviceEvent>{platform::DeviceEvent::Arrival});
  const auto disks = rig.machine->EnumerateDisks();
  ASSERT_EQ(disks.size(), 1u);
  EXPECT_NE(disks[0].path, oldPath);
  EXPECT_FALSE(rig.RunAt(oldPath, Cdb12({0x00}), true, 0).opened);
  EXPECT_EQ(RunningVersion(rig), "1203");
}

TEST(BridgeBuffer, AnImageThatFailsItsChecksDoesNotBootAndRamDownloadRecovers) {
  SimRig rig;
  // Over the old content without erasing first: NOR rules mangle it, the checks fail.
  ASSERT_TRUE(ProgramByBuffer(rig, GenerateFirmwareImage({15, 0, "1203", 0x40000, 9}), false));
  ResetChip(rig.Dev());
  rig.Wait(2000);
  EXPECT_EQ(rig.B().mode(), BridgeMode::Rom);
  V d(4);
  ASSERT_TRUE(QV_ReadBuffer(rig.Dev(), 3, 0, 0, d.data(), 4));
  EXPECT_EQ(d, (V{0xFF, 0x01, 0x00, 0x00}));
  EXPECT_FALSE(ReadFlashLong(rig.Dev(), 0, d)) << "the boot ROM knows no flash commands";
  EXPECT_FALSE(QV_WriteBuffer(rig.Dev(), 0, 0x0E, d.data(), 0, 4));

  V mfg(0x10000, 0x5A);
  ASSERT_TRUE(QV_WriteBuffer(rig.Dev(), 0, 0x06, mfg.data(), 0, 0x10000));
  ASSERT_TRUE(QV_ReadBuffer(rig.Dev(), 3, 0, 0, d.data(), 4));
  EXPECT_EQ(d, (V{0x0C, 0x04, 0x00, 0x00}));
  const V update = GenerateFirmwareImage({15, 0, "1203", 0x40000, 9});
  ASSERT_TRUE(ProgramByBuffer(rig, update, true));
  rig.Wait(100);
  ASSERT_TRUE(QV_WriteBuffer(rig.Dev(), 0, 0x0F, nullptr, 0, 0));  // activate: restart
  rig.Wait(2000);
  EXPECT_EQ(rig.B().mode(), BridgeMode::Firmware);
  EXPECT_EQ(RunningVersion(rig), "1203");
}

TEST(BridgeStorage, BootsTheFirstValidBankOrItsBootRom) {
  enum Bank { Valid, Broken, Blank };
  struct Case {
    int type, kib;
    Bank bank0, bank1;
    std::optional<uint32_t> booted;
  };
  const Case cases[] = {
      {13, 128, Valid, Valid, 0},
      {13, 128, Broken, Valid, 0x10000},   // a write that stopped in bank 0: bank 1 runs
      {13, 128, Blank, Valid, 0x10000},
      {13, 128, Valid, Blank, 0},
      {13, 128, Broken, Broken, std::nullopt},
      {13, 64, Blank, Valid, std::nullopt},  // no second bank on a 64 KiB flash
      {27, 128, Broken, Valid, 0x10000},   // its checksum ends at 0x8000
      {14, 128, Blank, Valid, std::nullopt},  // one bank only
      {14, 128, Valid, Blank, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << c.type << ", " << c.kib << " KiB, banks " << c.bank0 << c.bank1);
    SimRig rig(OneBridge(c.type, 0, "WINBOND", c.kib));
    const V image = GenerateFirmwareImage({static_cast<uint8_t>(c.type), 0, "", 0x10000, 3});
    V& flash = rig.Flash();
    std::fill(flash.begin(), flash.end(), 0xFF);
    for (const auto& [base, state] : {std::pair{0u, c.bank0}, std::pair{0x10000u, c.bank1}}) {
      if (state == Blank || base + 0x10000 > flash.size()) continue;
      std::copy(image.begin(), image.end(), flash.begin() + base);
      if (state == Broken) flash[base + 0x100] ^= 0x01;
    }
    rig.B().PowerOn();
    EXPECT_EQ(rig.B().BootedBank(), c.booted);
    V info(16);
    ASSERT_TRUE(ReadChipInfo(rig.Dev(), info)) << "the boot ROM answers too";
    EXPECT_EQ(info[12] != 0 || info[13] != 0 || info[14] != 0, c.booted.has_value()) << "the ROM reports no version";
    V head(16);
    EXPECT_TRUE(ReadFlashLong(rig.Dev(), 0, head)) << "and the flash commands, so it can be programmed";
  }
}

TEST(BridgeBuffer, ABridgeOfAnotherKindErasesWhatStandsInTheWay) {
  SimRig rig(OneBridge(17, 0, "MXIC", 512));  // kind 02 01
  const V update = GenerateFirmwareImage({17, 0, "2207", 0x40000, 3});
  ASSERT_TRUE(ProgramByBuffer(rig, update, false));
  EXPECT_TRUE(std::equal(update.begin(), update.end(), rig.Flash().begin()));
  ResetChip(rig.Dev());
  rig.Wait(2000);
  EXPECT_EQ(RunningVersion(rig), "2207");
}

TEST(BridgeOneClick, VitalProductDataModePageAndIdentityTakingEffectAtRestart) {
  SimRig rig;
  auto vpd = [&](uint8_t page, uint8_t n) { return rig.Run({0x12, 0x01, page, 0x00, n, 0x00}, true, n); };
  Outcome ids = vpd(0xC3, 96);
  ASSERT_TRUE(ids.Good());
  EXPECT_EQ(V(ids.data.begin() + 8, ids.data.begin() + 12), (V{0x28, 0x4D, 0x08, 0x12}));
  Outcome serial = vpd(0x80, 50);
  ASSERT_TRUE(serial.Good());
  EXPECT_STREQ(reinterpret_cast<const char*>(serial.data.data() + 4), "QV812A0001234");

  const V sense10 = {0x5A, 0x08, 0x1A, 0, 0, 0, 0, 0, 0x30, 0};
  Outcome page = rig.Run(sense10, true, 48);
  ASSERT_TRUE(page.Good());
  EXPECT_EQ(page.data[11], 0x01);
  EXPECT_EQ(V(page.data.begin() + 16, page.data.begin() + 20), (V{0x00, 0x00, 0x0B, 0xB8}));  // 3000
  V select(48, 0);
  select[8] = 0x1A;
  select[9] = 0x26;
  select[11] = 0x00;
  select[19] = 0x00;
  ASSERT_TRUE(rig.Run({0x55, 0x01, 0, 0, 0, 0, 0, 0, 0x30, 0}, false, 48, select).Good());
  page = rig.Run(sense10, true, 48);
  EXPECT_EQ(page.data[11], 0x00);
  EXPECT_EQ(page.data[19], 0x00);

  V record(72, 0);
  record[0] = 0x42;
  const std::string sn = "NEWSERIAL5";
  std::memcpy(record.data() + 52, sn.data(), sn.size());
  std::fill(record.begin() + 52 + sn.size(), record.end(), ' ');
  ASSERT_TRUE(rig.Run(Cdb12({0xC3, 0x30, 0, 0, 0x12, 0x34, 0x0A, 0x05, 0, 0x48}), false, 72, record).Good());
  ids = vpd(0xC3, 96);
  EXPECT_EQ(ids.data[8], 0x28) << "ids change only at the next restart";
  ResetChip(rig.Dev());
  rig.Wait(2000);
  ids = vpd(0xC3, 96);
  EXPECT_EQ(V(ids.data.begin() + 8, ids.data.begin() + 12), (V{0x12, 0x34, 0x0A, 0x05}));
  serial = vpd(0x80, 50);
  EXPECT_STREQ(reinterpret_cast<const char*>(serial.data.data() + 4), "NEWSERIAL5");
  V info(16);
  ASSERT_TRUE(ReadChipInfo(rig.Dev(), info));
  EXPECT_EQ(V(info.begin() + 2, info.begin() + 6), (V{0x12, 0x34, 0x0A, 0x05}));
  page = rig.Run(sense10, true, 48);
  EXPECT_EQ(page.data[11], 0x00) << "the standby setting was saved";
}

// ---- the disk behind the bridge and the RAM-buffer loader -------------------------------------

TEST(AttachedDisk, CapacityIdentifyDmaAndTheReservedAreaPastTheEnd) {
  struct Case {
    uint64_t sectors;
    uint32_t sectorSize;
  };
  for (const Case& c : {Case{976773168, 512}, Case{0x1'2345'6789, 4096}}) {
    SCOPED_TRACE(c.sectors);
    SimRig rig(R"({"disks": [{"chipType": 30, "revision": 1, "flash": "none", "reservedAreaLba": 1193046,
                  "disk": {"sectors": )" + std::to_string(c.sectors) + R"(, "sectorSize": )" +
               std::to_string(c.sectorSize) + "}}]}");
    const Device dev = rig.Dev();
    EXPECT_EQ(GetLastLba(dev), c.sectors - 1);
    EXPECT_EQ(GetDiskSectorCount(dev), c.sectors);
    EXPECT_EQ(GetLogicalSectorSize(dev), c.sectorSize);
    const uint32_t ss = c.sectorSize;
    V four(4 * ss);
    ASSERT_TRUE(AtaReadDmaExt(dev, c.sectors, four, ss));
    EXPECT_EQ(V(four.begin() + 150, four.begin() + 156), (V{0x55, 0x00, 0x12, 0x34, 0x56, 0xAA}));
    V data(2 * ss);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i ^ 0x5C);
    ASSERT_TRUE(AtaWriteDmaExt(dev, c.sectors - 300, data, ss));
    V back(2 * ss);
    ASSERT_TRUE(AtaReadDmaExt(dev, c.sectors - 300, back, ss));
    EXPECT_EQ(back, data);
    ASSERT_TRUE(AtaReadDmaExt(dev, 12345, back, ss));
    EXPECT_TRUE(std::all_of(back.begin(), back.end(), [](uint8_t b) { return b == 0; }));
    EXPECT_FALSE(AtaReadDmaExt(dev, c.sectors + 2047, back, ss)) << "past the reserved area";
    EXPECT_FALSE(AtaWriteDmaExt(dev, c.sectors + 2047, data, ss));
    // The log holds the writes the disk carried out, and only those.
    const auto& log = rig.B().disk().writeLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].lba, c.sectors - 300);
    EXPECT_EQ(log[0].count, 2u);
    uint8_t status = 0xAA;
    ASSERT_TRUE(ReadFlashStatus(dev, status));
    EXPECT_EQ(status, 0x00) << "no flash: nothing is ever busy";
    V vendor(4, 0xEE);
    ASSERT_TRUE(ReadFlashVendorCode(dev, vendor));
    EXPECT_EQ(vendor[0], 0x00);
  }
}

// What a host's disk driver and device manager send when the disk attaches: partition-table
// reads, the caching mode page, the capacity. A bridge and a plain disk answer them alike.
TEST(AttachedDisk, AnswersTheCommandsAHostSendsAtAttach) {
  SimRig rig(PresetScenarioJson("mixed"));
  for (const char* name : {"bridge0", "plain0"}) {
    SCOPED_TRACE(name);
    const size_t at = *rig.machine->FindDisk(name);
    AttachedDisk& disk = rig.machine->BridgeAt(at) ? rig.machine->BridgeAt(at)->disk()
                                                   : dynamic_cast<PlainDisk&>(rig.machine->TargetAt(at)).disk();
    const uint64_t sectors = disk.config().sectors;
    V mark(3 * 512);
    for (size_t i = 0; i < mark.size(); ++i) mark[i] = static_cast<uint8_t>(i * 13 + 1);
    disk.WriteSectors(1, 3, mark.data());
    V last(512, 0x77);
    disk.WriteSectors(sectors - 1, 1, last.data());
    auto sectorsOf = [](const Outcome& o, size_t first, size_t n) {
      return V(o.data.begin() + first * 512, o.data.begin() + (first + n) * 512);
    };

    const Outcome r10 = rig.Run({0x28, 0, 0, 0, 0, 0, 0, 0, 4, 0}, true, 4 * 512, {}, at);  // LBA 0, 4 blocks
    ASSERT_TRUE(r10.Good());
    EXPECT_EQ(r10.transferred, 4u * 512);
    EXPECT_EQ(sectorsOf(r10, 0, 1), V(512, 0)) << "never written: zeros";
    EXPECT_EQ(sectorsOf(r10, 1, 3), mark);
    const Outcome r6 = rig.Run({0x08, 0, 0, 2, 1, 0}, true, 512, {}, at);  // LBA 2, 1 block
    ASSERT_TRUE(r6.Good());
    EXPECT_EQ(r6.data, V(mark.begin() + 512, mark.begin() + 1024));
    V r16cdb(16, 0);
    r16cdb[0] = 0x88;
    for (int i = 0; i < 8; ++i) r16cdb[2 + i] = static_cast<uint8_t>((sectors - 1) >> (8 * (7 - i)));
    r16cdb[13] = 1;
    const Outcome r16 = rig.Run(r16cdb, true, 512, {}, at);
    ASSERT_TRUE(r16.Good());
    EXPECT_EQ(r16.data, last) << "the last addressable sector";
    r16cdb[13] = 2;
    const Outcome past = rig.Run(r16cdb, true, 1024, {}, at);
    EXPECT_EQ(past.status, 0x02);
    EXPECT_EQ(past.key, 0x05);
    EXPECT_EQ(past.asc, 0x21) << "reads end at the capacity";
    const Outcome shortBuffer = rig.Run({0x28, 0, 0, 0, 0, 0, 0, 0, 2, 0}, true, 512, {}, at);
    EXPECT_EQ(shortBuffer.asc, 0x24) << "two blocks do not fit in one block's room";
    const Outcome none = rig.Run({0x28, 0, 0, 0, 0, 0, 0, 0, 0, 0}, true, 0, {}, at);
    EXPECT_TRUE(none.Good()) << "READ(10) of no blocks moves nothing";

    for (const uint8_t page : {uint8_t{0x08}, uint8_t{0x3F}}) {
      const Outcome ms = rig.Run({0x1A, 0, page, 0, 192, 0}, true, 192, {}, at);
      ASSERT_TRUE(ms.Good()) << int{page};
      ASSERT_EQ(ms.transferred, 24u);
      EXPECT_EQ(ms.data[0], 23) << "mode data length";
      EXPECT_EQ(ms.data[2] & 0x80, 0) << "not write protected";
      EXPECT_EQ(ms.data[4], 0x08);
      EXPECT_EQ(ms.data[5], 0x12);
      EXPECT_EQ(ms.data[6] & 0x04, 0) << "no write cache to flush";
    }
    const Outcome header = rig.Run({0x1A, 0, 0x3F, 0, 4, 0}, true, 4, {}, at);
    ASSERT_TRUE(header.Good());
    EXPECT_EQ(header.transferred, 4u) << "the allocation length bounds the reply";
    EXPECT_EQ(rig.Run({0x1A, 0, 0x1C, 0, 192, 0}, true, 192, {}, at).asc, 0x24) << "a page it has not";

    V rc16(16, 0);
    rc16[0] = 0x9E;
    rc16[1] = 0x10;
    rc16[13] = 32;
    const Outcome cap = rig.Run(rc16, true, 32, {}, at);
    ASSERT_TRUE(cap.Good());
    uint64_t lastLba = 0;
    for (int i = 0; i < 8; ++i) lastLba = (lastLba << 8) | cap.data[i];
    EXPECT_EQ(lastLba, sectors - 1);
    EXPECT_EQ((cap.data[10] << 8) | cap.data[11], 512);
  }
}

TEST(BridgeLoader, RamBufferToFlashAndBack) {
  SimRig rig(OneBridge(26, 0, "GIGADEVICE", 512));
  const Device dev = rig.Dev();
  ASSERT_TRUE(EraseFlashRam(dev, 0, 0, 3));
  rig.Wait(3000);
  EXPECT_TRUE(std::all_of(rig.Flash().begin(), rig.Flash().end(), [](uint8_t b) { return b == 0xFF; }));
  V block(512);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 3);
  ASSERT_TRUE(WriteRamBuffer(dev, 0x64, 1, block));
  ASSERT_TRUE(ProgramFlashFromRam(dev, 0, 0x400, 256, 0xC800));
  rig.Wait(20);
  ASSERT_TRUE(ProgramFlashFromRam(dev, 0, 0x500, 256, 0xC900));
  EXPECT_TRUE(std::equal(block.begin(), block.end(), rig.Flash().begin() + 0x400));
  ASSERT_TRUE(WriteRamBuffer(dev, 0x64, 1, V(512, 0)));
  ASSERT_TRUE(ReadFlashToRam(dev, 0, 0x400, 512, 0xC800));
  V back(512);
  ASSERT_TRUE(ReadRamBuffer(dev, 0x64, 1, back));
  EXPECT_EQ(back, block);

  // A read-back fault reaches what the buffer holds from the flash, not what the host put there.
  Fault flip;
  flip.kind = Fault::Kind::FlipBits;
  flip.address = 0x401;
  flip.mask = 0x80;
  flip.times = 0;
  rig.machine->AddFault(0, flip);
  ASSERT_TRUE(ReadRamBuffer(dev, 0x64, 1, back));
  EXPECT_EQ(back[1], block[1] ^ 0x80);
  ASSERT_TRUE(WriteRamBuffer(dev, 0x64, 1, block));
  ASSERT_TRUE(ReadRamBuffer(dev, 0x64, 1, back));
  EXPECT_EQ(back, block);
}

}  // namespace
}  // namespace qvfw::sim
