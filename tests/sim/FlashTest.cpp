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

// The rules a host must follow around every part, one row per maker: a busy part drops program
// and erase (and the write enable for them); program and erase need the latch, and the latch
// clears after each; the status register opens to 06 everywhere and to 50 on SST parts only;
// protection refuses what lies in the protected top of the array and a whole-chip erase; a page
// program wraps within its page.
TEST(SpiFlash, RulesOfEachMakersParts) {
  struct Row {
    const char* part;
    bool ewsr;                 // 50 opens the status write
    uint32_t protectedFromBp1; // the first protected address with protection bits 001
    uint8_t allProtected;      // protection bits (in place) that protect the whole array
  };
  const Row rows[] = {
      {"Pm25LV512K", false, 0x70000, 0x10},   {"SST25VF512", true, 0xC000, 0x0C},
      {"SST25VF016B", true, 0x1F0000, 0x18},  {"M25P40", false, 0x70000, 0x10},
      {"AT25DF041A", false, 0, 0x04},         {"AT25F1024", false, 0x18000, 0x0C},
      {"MX25L4005", false, 0x70000, 0x10},    {"W25X40", false, 0x70000, 0x10},
      {"A25L040", false, 0x70000, 0x10},      {"EN25F40", false, 0x70000, 0x10},
      {"F25L40", false, 0x70000, 0x10},       {"LE25FW203", false, 0x38000, 0x10},
      {"GD25D40", false, 0x70000, 0x10},      {"VP25F40", false, 0x70000, 0x10},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.part);
    const FlashPart part = FlashPreset(r.part);
    const bool aai = !part.pageProgram;
    // One unit of programming at `a`: a page program, or an auto-increment start and its end.
    auto program = [&](Pins& p, uint32_t a, uint8_t value) {
      V f{part.programOp, uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a), value};
      if (part.aaiWord) f.push_back(value);
      p.Send(f);
      if (aai) p.Send({0x04});
    };
    // The smallest erase with an address, and what it clears of address 0's neighbourhood.
    const EraseOp* small = nullptr;
    for (const EraseOp& e : part.erases)
      if (e.unit != 0 && (small == nullptr || e.unit < small->unit)) small = &e;
    ASSERT_NE(small, nullptr);
    auto erase = [&](Pins& p, uint32_t a) { p.Send({small->opcode, uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a)}); };
    const uint8_t chipErase = part.chipEraseOp;

    {  // the latch: needed, and cleared after a program, an erase and a status write
      Pins p(part);
      program(p, 0x100, 0x12);
      EXPECT_EQ(p.At(0x100, 1), (V{0xFF})) << "a program without the latch";
      p.Send({0x06});
      program(p, 0x100, 0x12);
      EXPECT_EQ(p.At(0x100, 1), (V{0x12}));
      EXPECT_EQ(p.Status() & 0x02, 0x00) << "the latch after a program";
      erase(p, 0x100);
      EXPECT_EQ(p.At(0x100, 1), (V{0x12})) << "an erase without the latch";
      p.Send({0x06});
      erase(p, 0x100);
      EXPECT_EQ(p.At(0x100, 1), (V{0xFF}));
      EXPECT_EQ(p.Status() & 0x02, 0x00) << "the latch after an erase";
      p.Send({0x01, 0x04});
      EXPECT_EQ(p.Status() & 0x1C, 0x00) << "a status write without the latch";
      p.Send({0x06});
      p.Send({0x01, 0x04});
      EXPECT_EQ(p.Status() & 0x1C, 0x04);
      EXPECT_EQ(p.Status() & 0x02, 0x00) << "the latch after a status write";
      p.Send({0x50});
      p.Send({0x01, 0x00});
      EXPECT_EQ(p.Status() & 0x1C, r.ewsr ? 0x00 : 0x04) << "50 opens the status write on SST parts only";
    }
    {  // busy: the part drops the write enable, the program and the erase sent meanwhile
      SpiFlash f(part);
      f.Frame(V{0x06}, {}, 0);
      f.Frame(V{small->opcode, 0x01, 0x00, 0x00}, {}, 0);
      const uint64_t busy = f.BusyUntilUs();
      ASSERT_GT(busy, 0u);
      f.Frame(V{0x06}, {}, busy - 1);
      f.Frame(V{0x06}, {}, busy - 1);
      std::vector<uint8_t> frame{part.programOp, 0x00, 0x00, 0x00, 0x00, 0x00};
      f.Frame(frame, {}, busy - 1);
      EXPECT_EQ(f.Status(busy) & 0x03, 0x00) << "nothing latched while busy";
      EXPECT_EQ(f.data()[0], 0xFF) << "a program sent while busy";
      std::fill(f.data().begin(), f.data().end(), 0x00);
      f.Frame(V{0x06}, {}, busy - 1);
      f.Frame(V{chipErase}, {}, busy - 1);
      EXPECT_EQ(f.data()[0], 0x00) << "an erase sent while busy";
      uint8_t read = 0;
      f.Frame(V{0x03, 0x00, 0x00, 0x00}, {&read, 1}, busy - 1);
      EXPECT_EQ(read, 0xFF) << "a read sent while busy gets nothing";
    }
    {  // protection: the top of the array at bits 001, all of it at the row's bits
      Pins p(part);
      p.flash.SetStatusBits(0x04);
      EXPECT_EQ(p.flash.ProtectedFrom(), r.protectedFromBp1);
      const uint32_t top = p.flash.size() - 0x1000;
      p.Send({0x06});
      program(p, top, 0x00);
      EXPECT_EQ(p.At(top, 1), (V{0xFF})) << "a program in the protected top";
      EXPECT_EQ(p.Status() & 0x02, 0x00) << "a refused program clears the latch";
      std::fill(p.flash.data().begin(), p.flash.data().end(), 0x00);
      p.Send({0x06});
      p.Send({chipErase});
      EXPECT_EQ(p.At(0, 1), (V{0x00})) << "a whole-chip erase while anything is protected";
      if (r.protectedFromBp1 > 0) {
        p.Send({0x06});
        erase(p, 0);
        EXPECT_EQ(p.At(0, 1), (V{0xFF})) << "the bottom stays open";
      }
      std::fill(p.flash.data().begin(), p.flash.data().end(), 0x00);
      p.flash.SetStatusBits(r.allProtected);
      EXPECT_EQ(p.flash.ProtectedFrom(), 0u);
      p.Send({0x06});
      erase(p, 0);
      EXPECT_EQ(p.At(0, 1), (V{0x00})) << "an erase anywhere while all is protected";
    }
    if (!aai) {  // a page program wraps within its page
      Pins p(part);
      const uint32_t page = part.pageSize;
      V data(16);
      for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
      p.Program(2 * page - 8, data);
      EXPECT_EQ(p.At(2 * page - 8, 8), (V{0, 1, 2, 3, 4, 5, 6, 7}));
      EXPECT_EQ(p.At(page, 8), (V{8, 9, 10, 11, 12, 13, 14, 15}));
      EXPECT_EQ(p.At(2 * page, 1), (V{0xFF})) << "the next page is not touched";
    }
  }
}

// The SST auto-address-increment sequence: it starts only with the latch, takes its address once
// (words at even addresses), hears nothing but its own continuation, the status read and the
// write disable that ends it, and stops where protection begins.
TEST(SpiFlash, AutoAddressIncrementRules) {
  Pins p(FlashPreset("SST25VF016B"));
  p.Send({0xAD, 0x00, 0x10, 0x00, 0x11, 0x22});
  EXPECT_EQ(p.Status() & 0x40, 0x00) << "no sequence without the latch";
  p.Send({0x06});
  p.Send({0xAD, 0x00, 0x10, 0x01, 0x11, 0x22});  // an odd address: the word goes to 0x1000
  EXPECT_EQ(p.Status() & 0x42, 0x42) << "in the sequence, the latch held";
  p.Send({0x03, 0x00, 0x00, 0x00});
  p.Send({0x06});
  p.Send({0x20, 0x00, 0x10, 0x00});  // an erase is not heard
  p.Send({0xAD, 0x33, 0x44});
  p.Send({0x04});
  EXPECT_EQ(p.Status() & 0x42, 0x00);
  EXPECT_EQ(p.At(0x1000, 5), (V{0x11, 0x22, 0x33, 0x44, 0xFF}));

  Pins q(FlashPreset("SST25VF016B"));
  q.flash.SetStatusBits(0x04);  // the top 64 KiB
  const uint32_t edge = q.flash.ProtectedFrom();
  q.Send({0x06});
  q.Send({0xAD, uint8_t((edge - 2) >> 16), uint8_t((edge - 2) >> 8), uint8_t(edge - 2), 0x01, 0x02});
  q.Send({0xAD, 0x03, 0x04});  // into the protected top: refused, the sequence ends
  EXPECT_EQ(q.Status() & 0x42, 0x00);
  EXPECT_EQ(q.At(edge - 2, 4), (V{0x01, 0x02, 0xFF, 0xFF}));
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
