#include "codec/ImageChecksum.h"

#include <gtest/gtest.h>

#include <random>
#include <string_view>
#include <vector>

namespace qvfw::codec {
namespace {

std::vector<uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }

TEST(ImageChecksum, CheckValueThroughTheNibbleOrderAdapter) {
  // The standard check value of CRC-16/XMODEM over "123456789".
  const std::vector<uint8_t> check = Bytes("123456789");
  EXPECT_EQ(Crc16Xmodem(check), 0x31C3);
  EXPECT_EQ(Crc16XmodemBitwise(check), 0x31C3);

  // The image checksum consumes each group of four in the order 3, 2, 1, 0: fed with bytes that
  // the adapter has put in that order, it must give the plain CRC of the original order.
  std::vector<uint8_t> twelve = Bytes("123456789\0\0\0");
  twelve.resize(12, 0);
  std::vector<uint8_t> reordered(12);
  NibbleOrder(twelve, reordered);
  EXPECT_EQ(std::vector<uint8_t>(reordered.begin(), reordered.begin() + 4), Bytes("4321"));
  EXPECT_EQ(ImageChecksum(reordered), Crc16XmodemBitwise(twelve));
}

TEST(ImageChecksum, AgreesWithTheBitwiseReferenceOnRandomImages) {
  std::mt19937 rng(7);
  for (size_t size : {4u, 8u, 64u, 0xBFFCu}) {
    std::vector<uint8_t> image(size);
    for (auto& b : image) b = static_cast<uint8_t>(rng());
    std::vector<uint8_t> fed(size);
    NibbleOrder(image, fed);
    EXPECT_EQ(ImageChecksum(image), Crc16XmodemBitwise(fed)) << size;
    EXPECT_EQ(Crc16Xmodem(image), Crc16XmodemBitwise(image)) << size;
  }
}

TEST(ImageChecksum, StoredBigEndianAtTheCodeAreaEndLeavingTheTwoBytesBeforeIt) {
  std::vector<uint8_t> image(0xC000, 0x5A);
  image[0xBFFC] = 0x11;
  image[0xBFFD] = 0x22;
  StoreImageChecksum(image, 0xC000);
  std::vector<uint8_t> fed(0xBFFC);
  NibbleOrder(std::span(image).first(0xBFFC), fed);
  const uint16_t want = Crc16XmodemBitwise(fed);
  EXPECT_EQ(image[0xBFFE], want >> 8);
  EXPECT_EQ(image[0xBFFF], want & 0xFF);
  EXPECT_EQ(image[0xBFFC], 0x11);
  EXPECT_EQ(image[0xBFFD], 0x22);
  EXPECT_TRUE(ImageChecksumHolds(image, 0xC000));
  image[0x100] ^= 1;
  EXPECT_FALSE(ImageChecksumHolds(image, 0xC000));
  image[0x100] ^= 1;
  image[0xBFFC] ^= 1;  // outside the covered bytes
  EXPECT_TRUE(ImageChecksumHolds(image, 0xC000));
}

}  // namespace
}  // namespace qvfw::codec
