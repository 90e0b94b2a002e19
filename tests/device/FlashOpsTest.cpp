// Flash sequences against a scripted bridge: which SPI sequences go out, how waits count and
// sleep, and how id answers classify.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <vector>

#include "device/FlashOps.h"
#include "support/RecordingPassThrough.h"
#include "support/ScriptedFlash.h"

namespace qvfw::device {
namespace {

using testing::Good;
using testing::IdFlash;
using testing::RecordedRequest;
using testing::RecordingPassThrough;
using testing::Reply;
using V = std::vector<uint8_t>;

bool IsSpiCommand(const RecordedRequest& r) { return r.cdb[0] == 0xFF && r.cdb[2] == 0x20; }
V SpiSequence(const RecordedRequest& r) { return V(r.cdb.begin() + 3, r.cdb.begin() + 3 + r.cdb[3] + 2); }

struct FlashFixture : ::testing::Test {
  RecordingPassThrough rec;
  platform::NullDiagnostics diag;
  platform::VirtualClock clock;
  Transport t{rec, diag};
  Device dev{t, "/dev/sg2"};
  void SetUp() override { t.SetClock(clock); }

  std::vector<V> SpiSequences() const {
    std::vector<V> out;
    for (const auto& r : rec.requests)
      if (IsSpiCommand(r)) out.push_back(SpiSequence(r));
    return out;
  }
};

// --- status waits ---

struct StatusScript {
  std::vector<std::optional<uint8_t>> values;  // nullopt: the read fails after the device opened
  bool openFails = false;
  size_t reads = 0;
  Reply operator()(const RecordedRequest& r) {
    if (r.cdb[2] != 0x12) return Good();
    const size_t i = std::min(reads++, values.size() - 1);
    if (openFails && reads > 1) return testing::NotOpened();
    if (!values[i]) {
      Reply bad = Good({0xFF, 0xFF});
      bad.result.scsiStatus = 2;
      bad.reply.clear();
      return bad;
    }
    return Good({*values[i], 0});
  }
};

using StatusWaitTest = FlashFixture;

TEST_F(StatusWaitTest, LimitsAndPollInterval) {
  struct Case {
    const char* name;
    std::function<bool(const Device&)> wait;
    std::vector<std::optional<uint8_t>> statuses;  // the last one repeats
    bool ok;
    size_t reads;
  };
  const std::vector<Case> cases = {
      {"ready at once", WaitFlashReady, {0x00}, true, 1},
      {"busy twice", WaitFlashReady, {0x01, 0x03, 0x02}, true, 3},
      {"never ready: 500 re-reads", WaitFlashReady, {0x01}, false, 501},
      {"latch set after 4", [](auto& d) { return WaitFlashStatusSet(d, 0x02); }, {0x00, 0x00, 0x00, 0x00, 0x02}, true, 5},
      {"latch never set: 300 re-reads", [](auto& d) { return WaitFlashStatusSet(d, 0x02); }, {0x01}, false, 301},
      {"protection cleared", WaitFlashStatusClear, {0x04, 0x02, 0x01}, true, 3},
      {"protection stays", WaitFlashStatusClear, {0x04}, false, 301},
      // A failed status read gives 0: it ends the ready wait as if the flash were ready.
      {"failed read looks ready", WaitFlashReady, {0x01, std::nullopt}, true, 2},
      {"failed read never sets", [](auto& d) { return WaitFlashStatusSet(d, 0x02); }, {std::nullopt}, false, 301},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rec.requests.clear();
    StatusScript script{c.statuses};
    rec.SetResponder(std::ref(script));
    const uint64_t start = clock.NowMs();
    EXPECT_EQ(c.wait(dev), c.ok);
    EXPECT_EQ(script.reads, c.reads);
    EXPECT_EQ(clock.NowMs() - start, (c.reads - 1) * 10) << "10 ms between reads";
  }
}

TEST_F(StatusWaitTest, ReadThatCannotOpenKeepsThePreviousValue) {
  StatusScript script{{0x01}, /*openFails=*/true};
  rec.SetResponder(std::ref(script));
  EXPECT_FALSE(WaitFlashReady(dev)) << "busy stays busy when the device is gone";
  EXPECT_EQ(script.reads, 501u);
}

TEST_F(StatusWaitTest, UnprotectRunsAllFourStepsAndNeedsBothWaits) {
  StatusScript script{{0x00}};  // the latch never comes up
  rec.SetResponder(std::ref(script));
  EXPECT_FALSE(UnprotectFlash(dev));
  EXPECT_EQ(SpiSequences(), (std::vector<V>{{0x01, 0x00, 0x06}, {0x02, 0x00, 0x01, 0x00}}));
  const auto& write = rec.requests.back().cdb[2] == 0x12 ? *std::find_if(rec.requests.rbegin(), rec.requests.rend(), IsSpiCommand)
                                                        : rec.requests.back();
  EXPECT_EQ(write.dataOut, (V{0x01, 0x00}));

  rec.requests.clear();
  StatusScript good{{0x02, 0x00}};
  rec.SetResponder(std::ref(good));
  EXPECT_TRUE(UnprotectFlash(dev));
}

// --- identification ---

using IdentifyTest = FlashFixture;

TEST_F(IdentifyTest, EveryRowOfBothRoutes) {
  struct Case {
    const char* name;
    std::map<uint8_t, V> answers;
    bool ok;
    FlashDescriptor expect;  // vendor and opcodes
    bool byId4Differs = false;
    FlashDescriptor expectById4 = {};
  };
  auto D = [](uint8_t v, uint8_t ce = 0xC7, uint8_t be = 0xD8, uint8_t pp = 0x02, uint8_t se = 0x20) {
    FlashDescriptor f;
    f.vendor = v, f.chipErase = ce, f.blockErase = be, f.program = pp, f.sectorErase = se;
    return f;
  };
  const std::vector<Case> cases = {
      {"AMIC 7F 37", {{0x9F, {0x7F, 0x37, 0x20, 0x12}}}, true, D(7)},
      {"AMIC 37 30", {{0x9F, {0x37, 0x30, 0x13, 0}}}, true, D(7)},
      {"ATMEL", {{0x9F, {0x1F, 0x66, 0x00, 0}}}, true, D(4)},
      {"MXIC", {{0x9F, {0xC2, 0x20, 0x13, 0}}}, true, D(5)},
      {"WINBOND EF 40", {{0x9F, {0xEF, 0x40, 0x14, 0}}}, true, D(6)},
      {"ST", {{0x9F, {0x20, 0x20, 0x14, 0}}}, true, D(3)},
      {"EON", {{0x9F, {0x1C, 0x31, 0x14, 0}}}, true, D(8)},
      {"ESMT", {{0x9F, {0x8C, 0x30, 0x13, 0}}}, true, D(9)},
      {"PMC", {{0x9F, {0x7F, 0x9D, 0x21, 0}}}, true, D(1)},
      {"SANYO", {{0x9F, {0x62, 0x06, 0x13, 0}}}, true, D(10, 0xC7, 0xD8, 0x02, 0xD7)},
      {"GIGADEVICE", {{0x9F, {0xC8, 0x40, 0x13, 0}}}, true, D(11, 0xC7, 0x52)},
      {"VPOWERWINS", {{0x9F, {0xA1, 0x31, 0x13, 0}}}, true, D(12)},
      {"SST by 0x90", {{0x9F, {0xBF, 0x25, 0x8D, 0}}, {0x90, {0, 0, 0xBF, 0xBF}}}, true, D(2, 0x60, 0x52, 0xAF)},
      {"PMC by 0xAB", {{0x9F, {0xFF, 0xFF, 0xFF, 0xFF}}, {0xAB, {0, 0, 0, 0x9D}}}, true, D(1)},
      {"ST by 0xAB", {{0x9F, {0, 0, 0, 0}}, {0xAB, {0, 0, 0, 0x05}}}, true, D(3)},
      {"ATMEL by 0x15", {{0x9F, {0, 0, 0, 0}}, {0x15, {0x1F, 0x63}}}, true, D(4, 0x62, 0x52, 0x02)},
      // 0xAB answered with 05 in byte 0 only: the short read with the flag finds ST/EON/MXIC.
      {"ST by short 0xAB", {{0x9F, {0, 0, 0, 0}}, {0xAB, {0x05, 0, 0, 0}}}, true, D(3)},
      {"nothing known", {{0x9F, {0x12, 0x34, 0, 0}}}, false, D(0)},
      {"first read fails: success, vendor unknown", {}, true, D(0)},
  };
  for (const Case& c : cases) {
    for (bool byId4 : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (byId4 ? " (id4)" : " (spi)"));
      IdFlash flash{c.answers};
      rec.SetResponder(std::ref(flash));
      FlashDescriptor f;
      f.vendor = 9;  // identification starts from the defaults, whatever was there
      f.sizeKiB = 512;
      const bool ok = byId4 ? IdentifyFlashById4(dev, f) : IdentifyFlash(dev, f);
      EXPECT_EQ(ok, c.ok);
      EXPECT_EQ(f.vendor, c.expect.vendor);
      EXPECT_EQ(f.chipErase, c.expect.chipErase);
      EXPECT_EQ(f.blockErase, c.expect.blockErase);
      EXPECT_EQ(f.program, c.expect.program);
      EXPECT_EQ(f.sectorErase, c.expect.sectorErase);
      EXPECT_EQ(f.sizeKiB, 512u) << "identification leaves the size alone";
    }
  }
}

TEST_F(IdentifyTest, RoutesUseTheirCommandsAndFlags) {
  IdFlash flash{{{0x9F, {0x12, 0x34, 0, 0}}}};  // unknown: every step runs
  rec.SetResponder(std::ref(flash));
  FlashDescriptor f;
  IdentifyFlash(dev, f);
  EXPECT_EQ(flash.asked, (std::vector<uint8_t>{0x9F, 0x90, 0xAB, 0x15, 0x15, 0xAB}));
  std::vector<V> shortReads;
  for (const auto& r : rec.requests)
    if (r.cdb[2] == 0x15) shortReads.push_back(V(r.cdb.begin() + 3, r.cdb.begin() + 6));
  EXPECT_EQ(shortReads, (std::vector<V>{{0x03, 0x15, 0x00}, {0x03, 0xAB, 0x03}}));

  rec.requests.clear();
  flash.asked.clear();
  IdentifyFlashById4(dev, f);
  EXPECT_EQ(flash.asked, (std::vector<uint8_t>{0x9F, 0x90, 0xAB, 0x15, 0xAB}));
  std::vector<V> reads;
  for (const auto& r : rec.requests) reads.push_back(V(r.cdb.begin() + 2, r.cdb.begin() + 6));
  EXPECT_EQ(reads, (std::vector<V>{{0x15, 0x04, 0x9F, 0x00}, {0x15, 0x04, 0x90, 0x00}, {0x15, 0x04, 0xAB, 0x03},
                                   {0x15, 0x04, 0x15, 0x00}, {0x15, 0x04, 0xAB, 0x03}}));
}

TEST_F(IdentifyTest, AmicAndAtmelProbes) {
  struct Case {
    V id;
    int amic, atmel;
  };
  const Case cases[] = {
      {{0x7F, 0x37, 0x20, 0x12}, 1, -1}, {{0x7F, 0x37, 0x20, 0x11}, 3, -1}, {{0x7F, 0x37, 0x20, 0x20}, 4, -1},
      {{0x7F, 0x37, 0x20, 0x10}, 5, -1}, {{0x7F, 0x37, 0x20, 0x21}, -1, -1}, {{0x7F, 0x37, 0x20, 0x22}, -1, -1},
      {{0x7F, 0x37, 0x30, 0x12}, -1, -1}, {{0x1F, 0x65, 0, 0}, -1, 1}, {{0x1F, 0x66, 0, 0}, -1, 2},
      {{0x1F, 0x47, 0, 0}, -1, 0},
  };
  for (const Case& c : cases) {
    IdFlash flash{{{0x9F, c.id}}};
    rec.SetResponder(std::ref(flash));
    EXPECT_EQ(DetectAmicFlash(dev), c.amic) << ::testing::PrintToString(c.id);
    EXPECT_EQ(DetectAtmelFlash(dev), c.atmel) << ::testing::PrintToString(c.id);
  }
  const auto& read = rec.requests.back();
  EXPECT_EQ(read.cdb[7] << 8 | read.cdb[8], 0) << "the probes leave the length field 0";
  EXPECT_EQ(read.length, 4u);
  IdFlash none{};
  rec.SetResponder(std::ref(none));
  EXPECT_EQ(DetectAmicFlash(dev), -1);
  EXPECT_EQ(DetectAtmelFlash(dev), -1);
}

// --- programming sequences ---

using ProgramTest = FlashFixture;

struct Shape {
  size_t spiCommands = 0;
  std::vector<V> unitOpeners;  // sequences that carry an address
  std::vector<uint32_t> writeLengths;
  size_t writeDisables = 0;
};

Shape ShapeOf(const std::vector<RecordedRequest>& requests) {
  Shape s;
  for (const auto& r : requests) {
    if (IsSpiCommand(r)) {
      ++s.spiCommands;
      const V seq = SpiSequence(r);
      if (seq[0] == 0x04) s.unitOpeners.push_back(seq);
      if (seq == V{0x01, 0x00, 0x04}) ++s.writeDisables;
    } else if (r.cdb[2] == 0x22) {
      s.writeLengths.push_back(r.length);
    }
  }
  return s;
}

TEST_F(ProgramTest, SstBytesRunInSlicesOf8192AndUnitsOf512) {
  std::vector<uint8_t> image(0x4000, 0xA5);
  ASSERT_TRUE(SpiProgram(dev, 0x10000, image.data(), 0x4000, 2, false));
  const Shape s = ShapeOf(rec.requests);
  ASSERT_EQ(s.unitOpeners.size(), 32u);
  for (size_t i = 0; i < 32; ++i) {
    const uint32_t a = 0x10000 + static_cast<uint32_t>(i) * 512;
    EXPECT_EQ(s.unitOpeners[i], (V{0x04, 0x01, 0xAF, uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a)}));
  }
  // Per unit: enable-writes status write (2 bytes) and the first byte with a pad (2 bytes).
  EXPECT_EQ(s.writeLengths, std::vector<uint32_t>(64, 2));
  // Per unit: 3 enable-writes commands, the opener, 511 single bytes; one disable per slice.
  EXPECT_EQ(s.spiCommands, 32u * (3 + 1 + 511) + 2);
  EXPECT_EQ(s.writeDisables, 2u);
  size_t readyWaits = 0;
  for (const auto& r : rec.requests) readyWaits += r.cdb[2] == 0x12;
  EXPECT_EQ(readyWaits, 2u) << "one ready wait before each slice";
}

TEST_F(ProgramTest, SstWordsOpenWithAnAddressOnlyOn16KiBBoundariesAndCloseOnce) {
  std::vector<uint8_t> image(0x5000, 0x3C);
  ASSERT_TRUE(SpiProgram(dev, 0x3C00, image.data(), 0x5000, 2, true));
  const Shape s = ShapeOf(rec.requests);
  // Units at 0x3C00.. 0x8A00: only 0x4000 and 0x8000 carry the address.
  EXPECT_EQ(s.unitOpeners, (std::vector<V>{{0x04, 0x01, 0xAD, 0x00, 0x40, 0x00}, {0x04, 0x01, 0xAD, 0x00, 0x80, 0x00}}));
  EXPECT_EQ(s.writeDisables, 1u);
  size_t pairs = 0;
  for (const auto& r : rec.requests)
    if (IsSpiCommand(r) && SpiSequence(r)[0] == 0x03) ++pairs;
  EXPECT_EQ(pairs, 40u * 255);
}

TEST_F(ProgramTest, PageSizesAndTails) {
  struct Case {
    uint8_t vendor;
    uint32_t length;
    bool ok;
    std::vector<uint32_t> pages;
  };
  const Case cases[] = {
      {5, 96, true, {32, 32, 32}},           // MXIC: 32-byte pages
      {6, 512 + 100, true, {256, 256}},      // a tail shorter than a page is lost
      {3, 0x2000 + 0x80, false, std::vector<uint32_t>(32, 256)},  // the last slice is shorter than a page
      {6, 0, false, {}},
  };
  for (const Case& c : cases) {
    rec.requests.clear();
    std::vector<uint8_t> image(c.length + 1, 0x11);
    EXPECT_EQ(SpiProgram(dev, 0, image.data(), c.length, c.vendor, false), c.ok) << int(c.vendor) << " " << c.length;
    EXPECT_EQ(ShapeOf(rec.requests).writeLengths, c.pages) << int(c.vendor) << " " << c.length;
  }
}

TEST_F(ProgramTest, FirstFailedCommandStopsAndAnOpenWordSequenceIsClosed) {
  int writes = 0;
  rec.SetResponder([&](const RecordedRequest& r) {
    Reply ok = Good();
    if (r.cdb[2] == 0x22 && r.dataOut == V{0x77, 0x77} && ++writes == 2) ok.result.scsiStatus = 2;
    return ok;
  });
  std::vector<uint8_t> image(0x2000, 0x77);
  EXPECT_FALSE(SpiProgram(dev, 0, image.data(), 0x2000, 2, true));
  const Shape s = ShapeOf(rec.requests);
  EXPECT_EQ(s.writeDisables, 1u);
  // Two units' enable-writes status writes and first words; nothing after the failure but the close.
  EXPECT_EQ(s.writeLengths.size(), 4u);
  EXPECT_EQ(s.unitOpeners.size(), 1u);
  EXPECT_EQ(s.spiCommands, 3 + 1 + 255 + 3 + 1 + 1u);
}

}  // namespace
}  // namespace qvfw::device
