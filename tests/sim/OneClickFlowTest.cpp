// The whole device conversation of a one-click update against the default machine: save the
// configuration and identity, program the spliced image through the buffer commands, read it
// back, write the identity, restart, wait for the device and restore the standby timer.
#include <gtest/gtest.h>

#include <cstring>

#include "codec/ImageCodec.h"
#include "sim/FirmwareImage.h"
#include "SimRig.h"

namespace qvfw::sim {
namespace {

using V = std::vector<uint8_t>;
using namespace qvfw::device;

void StoreBe32(V& v, size_t at, uint32_t x) {
  for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(x >> (24 - 8 * i));
}

TEST(OneClickFlow, TheDefaultBridgeTakesTheUpdateAndKeepsWhatMakesItItself) {
  SimRig rig;
  Device dev = rig.Dev();
  V config(4096);
  ASSERT_TRUE(QV_ReadBuffer(dev, 1, 1, 0, config.data(), 4096));
  const V area(config.begin() + 1536, config.begin() + 2048);
  Outcome ids = rig.Run({0x12, 0x01, 0xC3, 0x00, 96, 0x00}, true, 96);
  ASSERT_TRUE(ids.Good());
  Outcome page = rig.Run({0x5A, 0x08, 0x1A, 0, 0, 0, 0, 0, 0x30, 0}, true, 48);
  ASSERT_TRUE(page.Good());
  const uint32_t minutes = (uint32_t{page.data[18]} << 8 | page.data[19]) / 10 / 60;

  // New content: the carried image with the saved configuration area and fresh check values.
  V content = GenerateFirmwareImage({15, 0, "1203", 0x40000, 77});
  content.resize(512 * 1024, 0);
  std::copy(area.begin(), area.end(), content.begin() + 0x600);
  StoreBe32(content, 0x7FC, codec::ImageCrc({content.data() + 0x400, 0x3FC}));
  StoreBe32(content, 0x1FFFC, codec::ImageCrc({content.data(), 0x1FFFC}));

  V d(4);
  ASSERT_TRUE(QV_ReadBuffer(dev, 3, 0, 0, d.data(), 4));
  ASSERT_EQ(d[0], 12);
  const uint32_t capacity = uint32_t{d[1]} << 16 | uint32_t{d[2]} << 8 | d[3];
  ASSERT_TRUE(IsChipInfoMode0200(dev));
  ASSERT_TRUE(WriteFlashLong(dev, 0x03, 0, {}));
  for (uint32_t off = 0; off < capacity; off += 4096)
    ASSERT_TRUE(QV_WriteBuffer(dev, 0, 0x0E, content.data() + off, off, 4096)) << off;
  V back(0x40000);
  for (uint32_t off = 0; off < back.size(); off += 4096)
    ASSERT_TRUE(QV_ReadBuffer(dev, 1, 0, off, back.data() + off, 4096));
  for (uint32_t i = 0; i < 0x20000; ++i) {
    if (i >= 0x200 && i < 0x400) continue;
    ASSERT_EQ(back[i], content[i]) << "offset " << i;
  }

  V record(72, 0);
  record[0] = 0x42;
  std::memset(record.data() + 52, ' ', 20);
  std::memcpy(record.data() + 52, "QV812A0001234", 13);
  ASSERT_TRUE(rig.Run(Cdb12({0xC3, 0x30, 0, 0, ids.data[8], ids.data[9], ids.data[10], ids.data[11], 0, 0x48}), false,
                      72, record)
                  .Good());

  ResetChip(dev);
  rig.Wait(2000);
  size_t found = 0;
  for (int round = 0; round < 60 && found != 1; ++round) {
    found = rig.machine->EnumerateDisks().size();
    rig.Wait(500);
  }
  ASSERT_EQ(found, 1u);
  const Outcome again = rig.Run({0x12, 0x01, 0xC3, 0x00, 96, 0x00}, true, 96);
  ASSERT_TRUE(again.Good());
  EXPECT_EQ(V(again.data.begin() + 8, again.data.begin() + 12), V(ids.data.begin() + 8, ids.data.begin() + 12));
  V select(48, 0);
  select[8] = 0x1A;
  select[9] = 0x26;
  select[11] = minutes ? 1 : 0;
  StoreBe32(select, 16, minutes * 600);
  ASSERT_TRUE(rig.Run({0x55, 0x01, 0, 0, 0, 0, 0, 0, 0x30, 0}, false, 48, select).Good());

  V info(16);
  ASSERT_TRUE(ReadChipInfo(rig.Dev(), info));
  EXPECT_EQ(std::string(info.begin() + 12, info.end()), "1203");
  // The configuration area survives, except its last word, which holds the new header check value.
  EXPECT_TRUE(std::equal(area.begin(), area.end() - 4, rig.Flash().begin() + 0x600));
  page = rig.Run({0x5A, 0x08, 0x1A, 0, 0, 0, 0, 0, 0x30, 0}, true, 48);
  EXPECT_EQ(V(page.data.begin() + 16, page.data.begin() + 20), (V{0, 0, 0x0B, 0xB8}));
  // What the same conversation takes on hardware: the chip erase, 320 buffer commands and the
  // restart dominate.
  EXPECT_GT(rig.machine->ElapsedUs(), 4'000'000u);
  EXPECT_LT(rig.machine->ElapsedUs(), 20'000'000u);
}

}  // namespace
}  // namespace qvfw::sim
