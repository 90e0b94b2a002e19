#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <vector>

#include "ImageGen.h"
#include "app/DeviceFacts.h"
#include "app/ImageStore.h"
#include "app/ProgramVersion.h"
#include "codec/ImageCodec.h"

namespace qvfw::app {
namespace {

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  std::iota(bytes.begin(), bytes.end(), uint8_t{1});
  return bytes;
}

constexpr uint8_t kUntouched = 0xEE;

TEST(ImageLoaders, LengthAndOffsetRules) {
  struct Case {
    const char* what;
    uint32_t offset, length;
    size_t destination;
    size_t copiedFrom, copied;  // image range that must arrive at destination[0..]
  };
  const Case cases[] = {
      {"length 0 copies to the end", 0, 0, 100, 0, 64},
      {"length 0 from an offset", 10, 0, 100, 10, 54},
      {"exact header", 0, 32, 100, 0, 32},
      {"offset and length inside", 5, 7, 100, 5, 7},
      {"up to the very end", 60, 4, 100, 60, 4},
      {"length past the end is cut", 60, 10, 100, 60, 4},
      {"offset at the end copies nothing", 64, 4, 100, 0, 0},
      {"offset beyond the end copies nothing", 1000, 0, 100, 0, 0},
      {"huge length does not wrap", 8, 0xFFFFFFFF, 100, 8, 56},
      {"destination smaller than the copy", 0, 0, 16, 0, 16},
  };
  MemoryImageStore store;
  const std::vector<uint8_t> image = Pattern(64);
  store.Put(std::string(kUpdateImageName), image);
  store.Put("QVS817_ROM1_MFG", image);
  for (const Case& c : cases) {
    for (bool mfg : {false, true}) {
      std::vector<uint8_t> dest(c.destination, kUntouched);
      const uint32_t size = mfg ? LoadMfgImage(store, dest, c.offset, c.length, 13)
                                : LoadUpdateImage(store, dest, c.offset, c.length);
      EXPECT_EQ(size, 64u) << c.what;
      for (size_t i = 0; i < dest.size(); ++i) {
        const uint8_t want = i < c.copied ? image[c.copiedFrom + i] : kUntouched;
        ASSERT_EQ(dest[i], want) << c.what << (mfg ? " (mfg)" : "") << " at " << i;
      }
    }
  }
}

TEST(CarriedVersion, ReadFromTheUpdateImageHeader) {
  struct Case {
    const char* what;
    std::vector<uint8_t> version;  // bytes 25..28; empty: no update image
    const char* carried;
  };
  const Case cases[] = {
      {"binary digits", {1, 2, 0, 3}, "01.02.00.03"},
      {"ASCII digits", {'1', '2', '0', '9'}, "01.02.00.09"},
      {"two-digit fields", {12, 34, 56, 78}, "12.34.56.78"},
      {"no update image", {}, "00.00.00.00"},
  };
  for (const Case& c : cases) {
    MemoryImageStore store;
    if (!c.version.empty()) {
      std::vector<uint8_t> image = Pattern(64);
      std::copy(c.version.begin(), c.version.end(), image.begin() + 25);
      store.Put(std::string(kUpdateImageName), image);
    }
    EXPECT_EQ(VersionLine("qvfw", store),
              std::string("qvfw ") + kBuildVersionText + " (carries firmware " + c.carried + ")")
        << c.what;
  }
}

TEST(ImageLoaders, MissingImageReturnsZeroAndLeavesDestination) {
  MemoryImageStore store;
  store.Put("QVS812_ROM0_MFG", Pattern(16));
  std::vector<uint8_t> dest(32, kUntouched);
  EXPECT_EQ(LoadUpdateImage(store, dest, 0, 0), 0u);
  EXPECT_EQ(LoadMfgImage(store, dest, 0, 0, 2), 0u);  // selects QVS814_ROM0_MFG, not carried
  EXPECT_EQ(dest, std::vector<uint8_t>(32, kUntouched));
}

TEST(ImageLoaders, SelectorsNameTheCarriedImages) {
  struct Case {
    int selector;
    const char* name;
    const char* model;
  };
  const Case selected[] = {
      {1, "QVS812_ROM0_MFG", "812"}, {2, "QVS814_ROM0_MFG", "814"},  {11, "QVS812_ROM1_MFG", "812"},
      {12, "QVS814_ROM1_MFG", "814"}, {13, "QVS817_ROM1_MFG", "817"}, {15, "QVS818_ROM1_MFG", "818"},
  };
  EmbeddedImageStore store;
  std::vector<std::vector<uint8_t>> seen;
  for (const Case& c : selected) {
    EXPECT_EQ(MfgImageName(c.selector), c.name);
    std::vector<uint8_t> image(65536);
    ASSERT_EQ(LoadMfgImage(store, image, 0, 0, c.selector), 65536u) << c.name;
    EXPECT_EQ(std::string(image.begin() + 21, image.begin() + 24), c.model) << c.name;
    for (const auto& other : seen) EXPECT_NE(other, image) << c.name << " repeats another image";
    seen.push_back(image);
  }
  for (int none : {0, 3, 10, 14, 16, 18, -1}) {
    std::vector<uint8_t> dest(8, kUntouched);
    EXPECT_EQ(LoadMfgImage(store, dest, 0, 0, none), 0u) << none;
    EXPECT_EQ(dest, std::vector<uint8_t>(8, kUntouched)) << none;
  }
}

uint32_t Stored(const std::vector<uint8_t>& image, uint32_t at) {
  return (uint32_t{image[at]} << 24) | (uint32_t{image[at + 1]} << 16) | (uint32_t{image[at + 2]} << 8) | image[at + 3];
}

uint32_t Crc(const std::vector<uint8_t>& image, uint32_t from, uint32_t to) {
  return codec::ImageCrc(std::span<const uint8_t>(image.data() + from, to - from));
}

TEST(CarriedUpdateImage, HasTheLayoutTheUpdateReliesOn) {
  EmbeddedImageStore store;
  std::vector<uint8_t> image(262144 + 16, kUntouched);
  ASSERT_EQ(LoadUpdateImage(store, image, 0, 0), 262144u);
  EXPECT_EQ(image[262144], kUntouched);  // nothing beyond the image
  image.resize(262144);

  EXPECT_EQ(std::string(image.begin() + 21, image.begin() + 24), "812");
  EXPECT_EQ(std::string(image.begin() + 25, image.begin() + 29), "1203");
  // The signature block the chip-type 15 image check reads.
  const std::vector<uint8_t> signature(image.begin() + 0xBFF0, image.begin() + 0xBFF7);
  EXPECT_EQ(signature, (std::vector<uint8_t>{0x55, 0xAA, 0xAA, 0x55, '8', '1', '2'}));
  for (uint32_t bank : {0u, 0x20000u}) {
    EXPECT_EQ(Stored(image, bank + 0x7FC), Crc(image, bank + 0x400, bank + 0x7FC)) << bank;
    EXPECT_EQ(Stored(image, bank + 0x1FFFC), Crc(image, bank, bank + 0x1FFFC)) << bank;
  }
  // Built by the generator at build time, byte for byte what it makes now.
  EXPECT_EQ(image, tools::MakeUpdateImage("812", "1203"));
}

TEST(ImageGenerator, IsDeterministicAndVersionsDiffer) {
  const auto a = tools::MakeUpdateImage("812", "1201");
  EXPECT_EQ(a, tools::MakeUpdateImage("812", "1201"));
  EXPECT_NE(a, tools::MakeUpdateImage("812", "1203"));
  EXPECT_EQ(std::string(a.begin() + 25, a.begin() + 29), "1201");
  EXPECT_EQ(tools::StoredCrc(a, 0x1FFFC), Crc(a, 0, 0x1FFFC));
  EXPECT_THROW(tools::MakeUpdateImage("81", "1201"), std::invalid_argument);
  EXPECT_THROW(tools::MakeUpdateImage("812", "12x1"), std::invalid_argument);
}

}  // namespace
}  // namespace qvfw::app
