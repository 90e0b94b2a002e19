#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "firmware/FlashSize.h"
#include "support/ScriptedFlash.h"

namespace qvfw::firmware {
namespace {

using V = std::vector<uint8_t>;

TEST(FlashSize, EveryRowOfBothRoutes) {
  struct Case {
    const char* name;
    uint8_t vendor;
    std::map<uint8_t, V> answers;
    uint32_t spiKiB;
    uint32_t byId4KiB;
  };
  const std::vector<Case> cases = {
      {"PMC 21", 1, {{0x9F, {0x7F, 0x9D, 0x21}}}, 128, 128},
      {"PMC 7D", 1, {{0x9F, {0x7F, 0x9D, 0x7D}}}, 256, 256},
      {"PMC 7E", 1, {{0x9F, {0x7F, 0x9D, 0x7E}}}, 512, 512},
      {"PMC by 0xAB", 1, {{0xAB, {0, 0, 0, 0x9D, 0x7B, 0}}}, 64, 64},
      {"SST 25 41", 2, {{0x9F, {0xBF, 0x25, 0x41}}}, 2048, 2048},
      {"SST 4A", 2, {{0x9F, {0xBF, 0x25, 0x4A}}}, 4096, 4096},
      // The old 0xAB answer carries the size in byte 4, which the four-byte route never sees.
      {"SST by 0xAB 49", 2, {{0xAB, {0, 0, 0, 0xBF, 0x49, 0}}}, 128, 64},
      {"ST 0x15", 3, {{0x9F, {0x20, 0x20, 0x15}}}, 2048, 2048},
      {"ST 0x17 beyond its rows", 3, {{0x9F, {0x20, 0x20, 0x17}}}, 64, 64},
      {"ATMEL 66", 4, {{0x9F, {0x1F, 0x66, 0x00}}}, 128, 128},
      {"ATMEL 44", 4, {{0x9F, {0x1F, 0x44, 0x00}}}, 512, 64},
      {"ATMEL by 0x15", 4, {{0x15, {0x1F, 0x60, 0, 0}}}, 128, 128},
      {"MXIC 20 17", 5, {{0x9F, {0xC2, 0x20, 0x17}}}, 8192, 8192},
      {"MXIC 24", 5, {{0x9F, {0xC2, 0x24, 0x17}}}, 64, 64},
      {"WINBOND 14", 6, {{0x9F, {0xEF, 0x40, 0x14}}}, 1024, 1024},
      {"WINBOND 18", 6, {{0x9F, {0xEF, 0x40, 0x18}}}, 16384, 64},
      {"WINBOND 16", 6, {{0x9F, {0xEF, 0x40, 0x16}}}, 64, 64},
      {"AMIC 37", 7, {{0x9F, {0x37, 0x30, 0x13}}}, 512, 512},
      {"AMIC 7F 37 14", 7, {{0x9F, {0x7F, 0x37, 0x20, 0x14}}}, 1024, 1024},
      {"AMIC 7F 37 22", 7, {{0x9F, {0x7F, 0x37, 0x20, 0x22}}}, 256, 256},
      {"EON 17", 8, {{0x9F, {0x1C, 0x30, 0x17}}}, 8192, 8192},
      {"ESMT 30 14", 9, {{0x9F, {0x8C, 0x30, 0x14}}}, 1024, 1024},
      {"ESMT 21 15", 9, {{0x9F, {0x8C, 0x21, 0x15}}}, 2048, 2048},
      {"ESMT 20 16", 9, {{0x9F, {0x8C, 0x20, 0x16}}}, 4096, 4096},
      {"ESMT 30 15", 9, {{0x9F, {0x8C, 0x30, 0x15}}}, 64, 64},
      {"SANYO", 10, {{0x9F, {0x62, 0x06, 0x13}}, {0xAB, {0, 0, 0, 0x44}}}, 256, 256},
      {"GIGADEVICE 13", 11, {{0x9F, {0xC8, 0x40, 0x13}}}, 512, 512},
      {"VPOWERWINS 12", 12, {{0x9F, {0xA1, 0x31, 0x12}}}, 256, 256},
      {"vendor 0 unimproved", 0, {{0x9F, {0x12, 0x34, 0x56}}}, 64, 64},
      {"vendor 0 identified first", 0, {{0x9F, {0xEF, 0x40, 0x13}}}, 512, 512},
      {"nothing answers", 6, {}, 64, 64},
  };
  for (const Case& c : cases) {
    for (FlashIdRoute route : {FlashIdRoute::Spi, FlashIdRoute::ById4}) {
      SCOPED_TRACE(std::string(c.name) + (route == FlashIdRoute::Spi ? " (spi)" : " (id4)"));
      testing::RecordingPassThrough rec;
      testing::IdFlash flash{c.answers};
      rec.SetResponder(std::ref(flash));
      platform::NullDiagnostics diag;
      platform::VirtualClock clock;
      device::Transport t(rec, diag);
      t.SetClock(clock);
      device::Device dev(t, "p");
      device::FlashDescriptor f;
      f.vendor = c.vendor;
      const auto jedec = DetectFlashSize(dev, f, route);
      EXPECT_EQ(f.sizeKiB, route == FlashIdRoute::Spi ? c.spiKiB : c.byId4KiB);
      const auto it = c.answers.find(0x9F);
      V expected(4, 0);
      if (it != c.answers.end()) std::copy_n(it->second.begin(), std::min<size_t>(4, it->second.size()), expected.begin());
      EXPECT_EQ(V(jedec.begin(), jedec.end()), expected);
    }
  }
}

TEST(FlashSize, FallbacksCarryTheAddressFlagOnTheFourByteRoute) {
  testing::RecordingPassThrough rec;
  testing::IdFlash flash{{{0xAB, {0, 0, 0, 0xBF, 0x48}}}};
  rec.SetResponder(std::ref(flash));
  platform::NullDiagnostics diag;
  device::Transport t(rec, diag);
  device::Device dev(t, "p");
  device::FlashDescriptor f;
  f.vendor = 2;
  DetectFlashSize(dev, f, FlashIdRoute::ById4);
  ASSERT_EQ(rec.requests.size(), 2u);
  EXPECT_EQ(V(rec.requests[0].cdb.begin() + 2, rec.requests[0].cdb.begin() + 6), (V{0x15, 0x04, 0x9F, 0x00}));
  EXPECT_EQ(V(rec.requests[1].cdb.begin() + 2, rec.requests[1].cdb.begin() + 6), (V{0x15, 0x04, 0xAB, 0x03}));
}

}  // namespace
}  // namespace qvfw::firmware
