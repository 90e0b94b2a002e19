// The serial NOR flash on its own pins: NOR rules, write enable, protection, busy, page wrap,
// auto-address-increment programming, identification replies and erase units.
#include <gtest/gtest.h>

#include <vector>

#include "sim/Flash.h"

namespace qvfw::sim {
namespace {

using V = std::vector<uint8_t>;

// A flash with a clock of its own: each frame happens 1 s after the previous one, long enough
// for any operation to finish, unless a test steps time itself.
struct Pins {
  SpiFlash flash;
  uint64_t us = 0;
  explicit Pins(FlashPart p) : flash(std::move(p)) {}
  void Send(V out) { flash.Frame(out, {}, us += 1'000'000); }
  V Read(V out, size_t n) {
    V in(n);
    flash.Frame(out, in, us += 1'000'000);
    return in;
  }
  void Program(uint32_t a, V data) {
    Send({0x06});
    V f{0x02, uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a)};
    f.insert(f.end(), data.begin(), data.end());
    Send(f);
  }
  V At(uint32_t a, size_t n) { return Read({0x03, uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a)}, n); }
  uint8_t Status() { return Read({0x05}, 1)[0]; }
};

TEST(SpiFlash, ProgrammingOnlyClearsBitsAndEraseSetsTheUnit) {
  Pins p(FlashPreset("WINBOND", 512));
  p.Program(0x1000, {0xF0, 0x3C});
  p.Program(0x1000, {0x0F, 0xFF});  // cannot set bits back
  EXPECT_EQ(p.At(0x1000, 2), (V{0x00, 0x3C}));
  p.Program(0x2000, {0x00});
  p.Send({0x06});
  p.Send({0x20, 0x00, 0x10, 0x80});  // 4 KiB sector holding 0x1080
  EXPECT_EQ(p.At(0x0FFF, 3), (V{0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(p.At(0x2000, 1), (V{0x00})) << "the neighbouring sector must survive";
}

TEST(SpiFlash, NothingChangesWithoutWriteEnableAndTheLatchClearsAfterUse) {
  Pins p(FlashPreset("MXIC", 512));
  p.Send({0x02, 0x00, 0x00, 0x00, 0x12});  // no write enable
  EXPECT_EQ(p.At(0, 1), (V{0xFF}));
  p.Send({0x06});
  EXPECT_EQ(p.Status() & 0x02, 0x02);
  p.Send({0x02, 0x00, 0x00, 0x00, 0x12});
  EXPECT_EQ(p.Status() & 0x02, 0x00) << "the latch clears when the program completes";
  p.Send({0x02, 0x00, 0x00, 0x01, 0x34});  // latch already used
  p.Send({0x20, 0x00, 0x00, 0x00});
  EXPECT_EQ(p.At(0, 2), (V{0x12, 0xFF}));
}

TEST(SpiFlash, ProtectionBitsBlockProgramAndEraseUntilTheStatusIsCleared) {
  Pins p(FlashPreset("MXIC", 512));
  p.Program(0, {0x00});
  p.Send({0x06});
  p.Send({0x01, 0x1C});  // set all protection bits
  EXPECT_EQ(p.Status() & 0x1C, 0x1C);
  p.Program(0x10, {0x00});
  p.Send({0x06});
  p.Send({0xC7});
  EXPECT_EQ(p.At(0, 1), (V{0x00}));
  EXPECT_EQ(p.At(0x10, 1), (V{0xFF}));
  EXPECT_EQ(p.Status() & 0x03, 0x00) << "a refused operation neither runs nor keeps the latch";
  p.Send({0x06});
  p.Send({0x01, 0x00});
  p.Send({0x06});
  p.Send({0xC7});
  EXPECT_EQ(p.At(0, 1), (V{0xFF}));
}

TEST(SpiFlash, BusyUntilTheOperationTimeHasPassedAndDeafMeanwhile) {
  FlashPart part = FlashPreset("WINBOND", 512);
  part.timing.sectorEraseUs = 45'000;
  SpiFlash f(part);
  auto status = [&](uint64_t us) {
    uint8_t s = 0;
    f.Frame(V{0x05}, {&s, 1}, us);
    return s;
  };
  f.Frame(V{0x06}, {}, 0);
  f.Frame(V{0x20, 0, 0, 0}, {}, 1000);
  EXPECT_EQ(status(1000) & 0x03, 0x03) << "busy, latch still shown";
  EXPECT_EQ(status(45'999) & 0x01, 0x01);
  f.Frame(V{0x06}, {}, 20'000);  // ignored while busy
  f.Frame(V{0x02, 0, 0, 0, 0x00}, {}, 20'000);
  EXPECT_EQ(status(46'000), 0x00);
  EXPECT_EQ(f.data()[0], 0xFF) << "a program sent while busy must be lost";
}

TEST(SpiFlash, PageProgramWrapsWithinThePage) {
  Pins p(FlashPreset("WINBOND", 512));
  V data(16);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  p.Program(0x1F8, data);  // 8 bytes to the end of the page, 8 wrap to its start
  EXPECT_EQ(p.At(0x1F8, 8), (V{0, 1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(p.At(0x100, 8), (V{8, 9, 10, 11, 12, 13, 14, 15}));
  EXPECT_EQ(p.At(0x200, 1), (V{0xFF})) << "the next page is not touched";
}

TEST(SpiFlash, AutoAddressIncrementByteAndWordProgramming) {
  struct Case {
    const char* part;
    uint8_t op;
    size_t unit;
  };
  for (const Case& c : {Case{"SST25VF512", 0xAF, 1}, Case{"SST25VF016B", 0xAD, 2}}) {
    SCOPED_TRACE(c.part);
    Pins p(FlashPreset(c.part));
    p.Send({0x06});
    V first{c.op, 0x00, 0x10, 0x00, 0x11};
    if (c.unit == 2) first.push_back(0x22);
    else first.push_back(0x00);  // a second byte after an 0xAF frame is not data
    p.Send(first);
    EXPECT_EQ(p.Status() & 0x40, 0x40) << "sequence running";
    V next{c.op, 0x33};
    if (c.unit == 2) next.push_back(0x44);
    p.Send(next);
    p.Send({0x04});  // write disable ends the sequence
    const V want = c.unit == 2 ? V{0x11, 0x22, 0x33, 0x44, 0xFF} : V{0x11, 0x33, 0xFF};
    EXPECT_EQ(p.At(0x1000, want.size()), want);
    p.Send(next);  // no longer in the sequence: ignored
    EXPECT_EQ(p.At(0x1000 + 2 * c.unit, 1), (V{0xFF}));
    EXPECT_EQ(p.Status() & 0x42, 0x00);
  }
}

TEST(SpiFlash, PageProgramIsRefusedByPartsThatOnlyAutoIncrement) {
  Pins p(FlashPreset("SST25VF016B"));
  p.Program(0, {0x00});
  EXPECT_EQ(p.At(0, 1), (V{0xFF}));
}

TEST(SpiFlash, IdentificationRepliesByOpcodeAndPosition) {
  struct Case {
    const char* part;
    V frame;
    V reply;
  };
  const Case cases[] = {
      {"MX25L4005", {0x9F}, {0xC2, 0x20, 0x13, 0x00}},
      {"SST25VF512", {0x9F}, {0xFF, 0xFF, 0xFF, 0xFF}},               // predates 0x9F
      {"SST25VF512", {0x90}, {0xFF, 0xFF, 0xFF, 0xBF, 0x48, 0xBF}},    // three address bytes first
      {"SST25VF010", {0x90, 0, 0, 0}, {0xBF, 0x49}},                   // address already sent
      {"Pm25LV64K", {0xAB}, {0xFF, 0xFF, 0xFF, 0x9D, 0x7B, 0x9D}},
      {"M25P05", {0xAB, 0, 0, 0}, {0x05, 0x05}},
      {"AT25F1024", {0x15}, {0x1F, 0x60}},
      {"LE25FW203", {0xAB}, {0xFF, 0xFF, 0xFF, 0x44}},
      {"W25X40", {0x9F, 0x00, 0x00, 0x00}, {0x00, 0xFF}},              // read from position 3 on
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.part);
    Pins p(FlashPreset(c.part));
    EXPECT_EQ(p.Read(c.frame, c.reply.size()), c.reply);
  }
}

TEST(SpiFlash, EraseUnitsOfTheOpcodes) {
  struct Case {
    const char* part;
    V frame;
    uint32_t first, last;  // erased range, inclusive
  };
  const Case cases[] = {
      {"W25X40", {0x20, 0x01, 0x23, 0x45}, 0x12000, 0x12FFF},
      {"W25X40", {0x52, 0x01, 0x23, 0x45}, 0x10000, 0x17FFF},
      {"W25X40", {0xD8, 0x01, 0x23, 0x45}, 0x10000, 0x1FFFF},
      {"W25X40", {0xC7}, 0, 0x7FFFF},
      {"LE25FW203", {0xD7, 0x00, 0x30, 0x00}, 0x3000, 0x3FFF},
      {"LE25FW203", {0x20, 0x00, 0x30, 0x00}, 1, 0},  // not an opcode of this part
      {"M25P40", {0x52, 0x01, 0x80, 0x00}, 0x18000, 0x1FFFF},
      {"AT25F1024", {0x62}, 0, 0x1FFFF},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.part);
    SpiFlash f(FlashPreset(c.part));
    std::fill(f.data().begin(), f.data().end(), 0x00);
    f.Frame(V{0x06}, {}, 0);
    f.Frame(c.frame, {}, 0);
    for (uint32_t a = 0; a < f.size(); ++a) {
      const bool erased = a >= c.first && a <= c.last;
      if (f.data()[a] != (erased ? 0xFF : 0x00)) {
        ADD_FAILURE() << "address " << a;
        break;
      }
    }
  }
}

TEST(SpiFlash, PresetsCoverEveryMakerAndRejectSizesTheyDoNotMake) {
  for (const char* maker : {"PMC", "SST", "ST/EON/MXIC", "ATMEL", "MXIC", "WINBOND", "AMIC", "EON", "ESMT", "SANYO",
                            "GIGADEVICE", "VPOWERWINS"}) {
    SCOPED_TRACE(maker);
    const FlashPart p = FlashPreset(maker);
    EXPECT_GT(p.vendorCode, 0);
    EXPECT_EQ(SpiFlash(p).size(), p.sizeBytes);
  }
  EXPECT_THROW(FlashPreset("SANYO", 512), std::invalid_argument);
  EXPECT_THROW(FlashPreset("NOSUCH"), std::invalid_argument);
  EXPECT_GE(FlashPresetNames().size(), 40u);
}

}  // namespace
}  // namespace qvfw::sim
