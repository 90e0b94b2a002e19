#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codec/ImageCodec.h"

namespace qvfw::codec {
namespace {

std::span<const uint8_t> Text(const std::string& s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }

TEST(ImageCrc, KnownValues) {
  struct Case {
    std::string input;
    uint32_t crc;
  };
  const Case cases[] = {
      {"abcd", 0xA4B608B2},
      {"abcdefgh", 0x3DCE9C14},
      {"abcdefg", 0xA4B608B2},  // the trailing partial group is ignored
      {"", 0xFFFFFFFF},
      {"abc", 0xFFFFFFFF},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ImageCrc(Text(c.input)), c.crc) << '"' << c.input << '"';
    EXPECT_EQ(ImageCrcBitwise(Text(c.input)), c.crc) << '"' << c.input << '"';
  }
}

TEST(ImageCrc, SlicedAndBytewiseMatchBitwiseOnRandomImages) {
  std::mt19937 rng(7);
  for (size_t size : {0u, 4u, 8u, 12u, 64u, 1021u, 65536u}) {
    std::vector<uint8_t> image(size);
    for (auto& b : image) b = static_cast<uint8_t>(rng());
    EXPECT_EQ(ImageCrc(image), ImageCrcBitwise(image)) << size;
    EXPECT_EQ(ImageCrcBytewise(image), ImageCrcBitwise(image)) << size;
  }
}

TEST(ScrambleBlock, IsItsOwnInverseAndLeavesAPartialWordAlone) {
  std::vector<uint8_t> plain(4096 + 3);
  std::mt19937 rng(11);
  for (auto& b : plain) b = static_cast<uint8_t>(rng());
  std::vector<uint8_t> scrambled(plain.size(), 0xEE), bitwise(plain.size(), 0xEE);
  ScrambleBlock(plain.data(), scrambled.data(), plain.size());
  ScrambleBlockBitwise(plain.data(), bitwise.data(), plain.size());
  EXPECT_EQ(scrambled, bitwise);
  EXPECT_NE(std::memcmp(scrambled.data(), plain.data(), 4096), 0);
  for (size_t i = 4096; i < plain.size(); ++i) EXPECT_EQ(scrambled[i], 0xEE) << i;

  std::vector<uint8_t> back = scrambled;
  ScrambleBlock(back.data(), back.data(), 4096);  // in place
  EXPECT_TRUE(std::equal(back.begin(), back.begin() + 4096, plain.begin()));
}

}  // namespace
}  // namespace qvfw::codec
