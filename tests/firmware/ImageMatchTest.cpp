#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "device/FlashDescriptor.h"
#include "firmware/ImageMatch.h"
#include "support/SpecialFiles.h"
#include "support/TempDir.h"

namespace qvfw::firmware {
namespace {

namespace fs = std::filesystem;
using V = std::vector<uint8_t>;

// A small image: `size` bytes of 0xFF with blocks placed at offsets.
struct Image {
  size_t size = 0x10000;
  std::vector<std::pair<size_t, V>> blocks;
  V Bytes() const {
    V b(size, 0xFF);
    for (const auto& [at, bytes] : blocks)
      for (size_t i = 0; i < bytes.size() && at + i < size; ++i) b[at + i] = bytes[i];
    return b;
  }
};

V Full(const std::string& sig, uint8_t b8 = 0) {
  V v = {0x55, 0xAA, 0xAA, 0x55};
  v.insert(v.end(), sig.begin(), sig.end());
  v.push_back(b8);
  v.push_back(0);
  return v;
}
V Short(const std::string& sig, uint8_t b8 = 0) {
  V v = Full(sig, b8);
  v[2] = v[3] = 0;
  return v;
}
V Raw(std::initializer_list<uint8_t> first4, const std::string& sig) {
  V v(first4);
  v.insert(v.end(), sig.begin(), sig.end());
  return v;
}

class ImageMatchTest : public ::testing::Test {
 protected:
  fs::path dir = fs::temp_directory_path() / ("qvfw-img-" + std::to_string(::getpid()));
  void SetUp() override { fs::create_directories(dir); }
  void TearDown() override { fs::remove_all(dir); }
  fs::path Write(const V& bytes, const std::string& name = "fw.bin") {
    const fs::path p = dir / name;
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return p;
  }
};

TEST_F(ImageMatchTest, SignatureRowsAndEdgeCases) {
  struct Case {
    const char* name;
    int type;  // the family's code
    uint8_t revision;
    Image image;
    bool fits;
  };
  const std::vector<Case> cases = {
      {"1 rev 1 magic", 1, 1, {0x10000, {{0, Raw({0, 0, 0, 0}, "\x5A\xA5\x0F\xF0")}}}, true},
      {"1 rev 1 text", 1, 1, {0x10000, {{0, Raw({0, 0, 0, 0}, "7780")}}}, false},
      {"1 rev 2 7781", 1, 2, {0x10000, {{0, Raw({0, 0, 0, 0}, "7781")}}}, true},
      {"1 rev 2 magic", 1, 2, {0x10000, {{0, Raw({0, 0, 0, 0}, "\x5A\xA5\x0F\xF0")}}}, false},
      {"2 no marker", 2, 0, {0x10000, {{0, Raw({1, 2, 3, 4}, "q81X")}}}, true},
      {"2 starts 77", 2, 0, {0x10000, {{0, Raw({1, 2, 3, 4}, "7712")}}}, false},
      {"35 as 2", 35, 0, {0x10000, {{0, Raw({1, 2, 3, 4}, "7712")}}}, false},
      {"3 always", 3, 0, {0x100, {}}, true},
      {"33 always", 33, 0, {0x100, {}}, true},
      {"5 rev 3", 5, 3, {0x10000, {{0, Raw({0, 0, 0, 0}, "7762")}}}, true},
      {"5 rev 2", 5, 2, {0x10000, {{0, Raw({0, 0, 0, 0}, "7762")}}}, false},
      {"6", 6, 0, {0x10000, {{0, Raw({0, 0, 0, 0}, "7469")}}}, true},
      {"7 rev 2 from offset 0", 7, 2, {0x10000, {{0, Full("784x", '1')}}}, true},
      {"7 rev 2 wrong byte 8", 7, 2, {0x10000, {{0, Full("784x", '2')}}}, false},
      {"7 rev 1 byte 8 zero", 7, 1, {0x10000, {{0, Full("784x", 0)}}}, true},
      {"7 rev 0 never", 7, 0, {0x10000, {{0, Full("784x", 0)}}}, false},
      {"7 from 0x1000", 7, 3, {0x10000, {{0x1000, Full("784x", '2')}}}, true},
      {"7 wrong key", 7, 1, {0x10000, {{0, Full("785x", 0)}}}, false},
      {"8 rev 1", 8, 1, {0x10000, {{0, Full("q787")}}}, true},
      {"8 rev 2", 8, 2, {0x10000, {{0, Full("7871")}}}, true},
      {"8 rev 3", 8, 3, {0x10000, {{0, Full("7871")}}}, false},
      {"8 short marker", 8, 1, {0x10000, {{0, Short("q787")}}}, false},
      {"9 at 0x1000", 9, 0, {0x10000, {{0x1000, Full("7810")}}}, true},
      {"10 as 9", 10, 0, {0x10000, {{0, Full("7812")}}}, true},
      {"9 unmarked signature at 0", 9, 0, {0x10000, {{0, Raw({0, 0, 0, 0}, "7815")}}}, true},
      {"11 with E9 AC 67", 11, 0, {0x10000, {{0x80, Raw({0xE9, 0xAC, 0x67, 0}, "7891")}}}, true},
      {"11 without E9 AC 67", 11, 0, {0x10000, {{0, Full("7891")}, {0x80, Raw({0xE9, 0xAC, 0x66, 0}, "7891")}}}, false},
      {"12", 12, 0, {0x10000, {{0x1000, Full("8821")}}}, true},
      {"13 exactly 0xC000, short marker", 13, 0, {0xC000, {{0xBFF0, Short("8761")}}}, true},
      {"13 full marker wrong key beats 0x1000", 13, 0, {0xC000, {{0xBFF0, Full("8771")}, {0x1000, Full("8761")}}}, false},
      {"13 no marker", 13, 0, {0xC000, {{0xBFF0, Raw({0x55, 0xAB, 0, 0}, "8761")}}}, false},
      {"13 short marker, key at 0x1000", 13, 0, {0xC000, {{0xBFF0, Short("0000")}, {0x1000, Full("8760")}}}, true},
      {"13 short marker, wrong key at 0x1000", 13, 0, {0xC000, {{0xBFF0, Short("8760")}, {0x1000, Full("8120")}}}, false},
      {"14", 14, 0, {0xC000, {{0xBFF0, Full("8161")}}}, true},
      {"15", 15, 0, {0x40000, {{0xBFF0, Full("8121")}}}, true},
      {"15 given a 16 image", 15, 0, {0x40000, {{0xBFF0, Full("8141")}}}, false},
      {"16", 16, 0, {0x40000, {{0xBFF0, Full("8141")}}}, true},
      {"17", 17, 0, {0x40000, {{0xBFF0, Full("8171")}}}, true},
      {"18", 18, 0, {0x40000, {{0xBFF0, Full("8181")}}}, true},
      {"27 at 0x7FF0", 27, 0, {0x8000, {{0x7FF0, Full("8791")}}}, true},
      {"27 at 0xBFF0 only", 27, 0, {0xC000, {{0xBFF0, Full("8791")}}}, false},
      {"28 at 0x4000", 28, 0, {0x8000, {{0x4000, Short("8262")}}}, true},
      {"30 any revision", 30, 7, {0x8000, {{0x4000, Short("776E")}}}, true},
      {"30 other text", 30, 1, {0x8000, {{0x4000, Short("776C")}}}, false},
      {"0 never", 0, 0, {0x10000, {}}, false},
      {"26 never", 26, 0, {0x10000, {{0, Full("8101")}}}, false},
      {"29 never", 29, 0, {0x10000, {}}, false},
      // A block past the end reads as zeros: no marker, so the image never matches by accident.
      {"15 image too short for its block", 15, 0, {0xBFF4, {{0xBFF0, {0x55, 0xAA, 0xAA, 0x55}}}}, false},
      {"2 empty file", 2, 0, {0, {}}, true},
  };
  for (const Case& c : cases) {
    const fs::path p = Write(c.image.Bytes());
    EXPECT_EQ(MatchFirmwareSignature(p, chips::ChipType(c.type), c.revision), c.fits ? ImageCheck::Fits : ImageCheck::DoesNotFit)
        << c.name;
  }
}

TEST_F(ImageMatchTest, SizeAgainstFlash) {
  const fs::path exact = Write(V(65536), "a.bin");
  const fs::path over = Write(V(65537), "b.bin");
  EXPECT_EQ(ImageFitsFlash(exact, 64), ImageCheck::Fits);
  EXPECT_EQ(ImageFitsFlash(over, 64), ImageCheck::DoesNotFit);
  EXPECT_EQ(ImageFitsFlash(over, 0x01000040), ImageCheck::DoesNotFit) << "only the low 24 bits count";
  EXPECT_EQ(ImageFitsFlash(over, 128), ImageCheck::Fits);
}

TEST_F(ImageMatchTest, MissingFileOrDirectoryCannotBeOpened) {
  EXPECT_EQ(MatchFirmwareSignature(dir / "none.bin", chips::ChipType::QV40779, 0), ImageCheck::CannotOpen);
  EXPECT_EQ(MatchFirmwareSignature(dir, chips::ChipType::QV40779, 0), ImageCheck::CannotOpen);
  EXPECT_EQ(ImageFitsFlash(dir / "none.bin", 64), ImageCheck::CannotOpen);
  EXPECT_EQ(ImageFitsFlash(dir, 64), ImageCheck::CannotOpen);
}

// An image is read only from a regular file of at most the largest flash's size: a FIFO, a
// link to /dev/zero or a folder cannot be opened as an image (and nothing waits or reads without
// end); a larger file fits no flash and is not read.
TEST(ImageReaders, SpecialFilesAreNoImage) {
  for (const testing::SpecialFile& f : testing::SpecialFiles(false)) {
    testing::TempDir dir;
    const fs::path image = dir.path() / "fw.bin";
    testing::MakeSpecialFile(f, image, device::kMaxImageFileSize);
    const ImageCheck expected = f.kind == testing::SpecialKind::OverSize ? ImageCheck::DoesNotFit : ImageCheck::CannotOpen;
    EXPECT_EQ(MatchFirmwareSignature(image, chips::ChipType::QV40779, 0), expected) << f.what;
    EXPECT_EQ(ImageFitsFlash(image, 0xFFFFFF), expected) << f.what;
    EXPECT_EQ(device::ReadImageBytes(image), std::nullopt) << f.what;
  }
}

}  // namespace
}  // namespace qvfw::firmware
