#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <fstream>
#include <vector>

#include "app/ExchangeFile.h"
#include "platform/Diagnostics.h"
#include "app/UpdateImage.h"
#include "codec/ImageCodec.h"
#include "support/SpecialFiles.h"

namespace qvfw::app {
namespace {

namespace fs = std::filesystem;

uint32_t BigEndianAt(const std::vector<uint8_t>& v, size_t at) {
  return static_cast<uint32_t>(v[at]) << 24 | v[at + 1] << 16 | v[at + 2] << 8 | v[at + 3];
}

ExchangeBlock Sample(const std::string& serial, uint16_t vid = 0x1234, uint16_t pid = 0x0A05) {
  ExchangeBlock b;
  for (size_t i = 0; i < 512; ++i) b.bytes[i] = static_cast<uint8_t>(i * 7 + 1);
  b.bytes[512] = static_cast<uint8_t>(vid >> 8);
  b.bytes[513] = static_cast<uint8_t>(vid);
  b.bytes[514] = static_cast<uint8_t>(pid >> 8);
  b.bytes[515] = static_cast<uint8_t>(pid);
  std::copy(serial.begin(), serial.end(), b.bytes.begin() + 516);
  return b;
}

TEST(UpdateImage, SpliceCopiesTheAreaAndRecomputesBothCheckValues) {
  std::vector<uint8_t> content(0x40000, 0x3C);
  const ExchangeBlock saved = Sample("S1");
  SpliceConfiguration(content, saved);
  // The last four bytes of the area give way to the check value at 0x7FC.
  EXPECT_TRUE(std::equal(saved.bytes.begin(), saved.bytes.begin() + 0x1FC, content.begin() + 0x600));
  EXPECT_EQ(content[0x5FF], 0x3C);
  EXPECT_EQ(content[0x800 - 4 - 1], saved.bytes[0x1FB]);
  EXPECT_EQ(BigEndianAt(content, 0x7FC), codec::ImageCrcBitwise({content.data() + 0x400, 0x3FC}));
  EXPECT_EQ(BigEndianAt(content, 0x1FFFC), codec::ImageCrcBitwise({content.data(), 0x1FFFC}));
  EXPECT_EQ(content[0x20000], 0x3C) << "the second bank is left alone";
}

TEST(UpdateImage, IdentityRecordSerialRules) {
  struct Case {
    std::string serial;
    std::string written;
  };
  const Case cases[] = {
      {"ABCDEFGHIJKLMNOPQRSTUVWXY", "ABCDEFGHIJKLMNOPQRST"},  // 25 characters: the first 20
      {"12345", "12345               "},                       // 5 characters and 15 spaces
      {"", "                    "},
      // A character the 20th byte would split is left out whole (é is C3 A9, € is E2 82 AC).
      {"ABCDEFGHIJKLMNOPQRS\xC3\xA9", "ABCDEFGHIJKLMNOPQRS "},
      {"ABCDEFGHIJKLMNOPQR\xC3\xA9Z", "ABCDEFGHIJKLMNOPQR\xC3\xA9"},
      {"ABCDEFGHIJKLMNOPQR\xE2\x82\xAC", "ABCDEFGHIJKLMNOPQR  "},
      {"ABCDEFGHIJKLMNOPQRST\xC3\xA9", "ABCDEFGHIJKLMNOPQRST"},
  };
  for (const Case& c : cases) {
    const auto r = BuildIdentityRecord(c.serial);
    EXPECT_EQ(r[0], 0x42);
    EXPECT_TRUE(std::all_of(r.begin() + 1, r.begin() + 52, [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(std::string(r.begin() + 52, r.end()), c.written);
  }
}

TEST(UpdateImage, IdsAndStandbyArithmetic) {
  EXPECT_EQ(IdsToWrite(Sample("", 0x1058, 0x1234)).vid, 0x284D);
  EXPECT_EQ(IdsToWrite(Sample("", 0x1058, 0x1234)).pid, 0x0814);
  EXPECT_EQ(IdsToWrite(Sample("", 0x1234, 0x0A05)).vid, 0x1234);
  EXPECT_EQ(IdsToWrite(Sample("", 0x1234, 0x0A05)).pid, 0x0A05);
  EXPECT_EQ(StandbyMinutes(3000), 5);
  EXPECT_EQ(StandbyMinutes(500), 0);
  EXPECT_EQ(StandbyMinutes(-700), -1);
}

TEST(UpdateImage, DualBankHeaders) {
  std::vector<uint8_t> image(0x40000);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i ^ (i >> 9));
  const std::vector<uint8_t> before = image;
  PrepareDualBankImage(image);
  for (size_t base : {size_t{0}, size_t{0x20000}}) {
    EXPECT_EQ(BigEndianAt(image, base + 0x200), 0x5AC369E1u);
    EXPECT_EQ(BigEndianAt(image, base + 0x204), 0u);
    EXPECT_EQ(BigEndianAt(image, base + 0x208), BigEndianAt(before, base + 0x1FFFC));
    EXPECT_EQ(BigEndianAt(image, base + 0x3FC), codec::ImageCrcBitwise({image.data() + base, 0x3FC}));
    EXPECT_EQ(image[base + 0x20C], before[base + 0x20C]);
  }
}

class ExchangeFileTest : public ::testing::Test {
 protected:
  fs::path dir = fs::temp_directory_path() / ("qvfw-xchg-" + std::to_string(::getpid()));
  void SetUp() override { fs::create_directories(dir); }
  void TearDown() override { fs::remove_all(dir); }
  std::unique_ptr<OwnExchangeFile> Create(const ExchangeBlock& block, std::vector<fs::path> folders = {}) {
    if (folders.empty()) folders = {dir};
    return OwnExchangeFile::Create(folders, "ExChangeData.tmp", block, diagnostics, &why);
  }
  std::string Contents(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
  }
  platform::CapturingDiagnostics diagnostics;
  std::string why;
};

TEST_F(ExchangeFileTest, RoundTripsScrambledAndTheRunRemovesItsOwn) {
  const ExchangeBlock saved = Sample("QV123");
  {
    const auto file = Create(saved);
    ASSERT_TRUE(file) << why;
    EXPECT_EQ(file->path(), dir / "ExChangeData.tmp");
    std::ifstream in(file->path(), std::ios::binary);
    std::vector<uint8_t> raw((std::istreambuf_iterator<char>(in)), {});
    std::vector<uint8_t> expected(4096);
    codec::ScrambleBlock(saved.bytes.data(), expected.data(), 4096);
    EXPECT_EQ(raw, expected);
    EXPECT_TRUE(file->ReadsBack());
    const auto back = ReadExchangeBlock(file->path());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->Serial(), "QV123");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1) << "no temporary file left";
  }
  EXPECT_TRUE(fs::is_empty(dir)) << "the run's own file goes with it";
}

// Whatever stands at the name (another run's file, a link, a folder) stays as it is: the run
// takes a name of its own, and reads and removes only that.
TEST_F(ExchangeFileTest, ATakenNameIsLeftAloneAndTheRunTakesItsOwn) {
  const auto first = Create(Sample("FIRST"));
  ASSERT_TRUE(first);
  const std::string firstBytes = Contents(first->path());
  {
    const auto second = Create(Sample("SECOND"));
    ASSERT_TRUE(second) << why;
    EXPECT_NE(second->path(), first->path());
    EXPECT_EQ(second->path().filename().string().rfind("ExChangeData.", 0), 0u);
    EXPECT_EQ(second->path().extension(), ".tmp");
    EXPECT_EQ(ReadExchangeBlock(second->path())->Serial(), "SECOND");
    EXPECT_TRUE(first->ReadsBack()) << "the first run's file is untouched";
  }
  EXPECT_EQ(Contents(first->path()), firstBytes);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);

  fs::create_directory(dir / "other");
  const fs::path victim = dir / "other" / "victim";
  std::ofstream(victim) << "precious";
  std::error_code ec;
  fs::create_symlink(victim, dir / "other" / "ExChangeData.tmp", ec);
  if (ec) GTEST_SKIP() << "no symbolic links here: " << ec.message();
  {
    const auto beside = Create(Sample("X"), {dir / "other"});
    ASSERT_TRUE(beside) << why;
    EXPECT_NE(beside->path(), dir / "other" / "ExChangeData.tmp");
  }
  EXPECT_TRUE(fs::is_symlink(dir / "other" / "ExChangeData.tmp"));
  EXPECT_EQ(Contents(victim), "precious");
}

// A file replaced under the run's name is no longer the run's: it does not read back, and the
// run leaves it when it ends.
TEST_F(ExchangeFileTest, AReplacedFileNoLongerReadsBackAndStays) {
  std::string replacement(4096, 'r');
  {
    const auto file = Create(Sample("MINE"));
    ASSERT_TRUE(file);
    fs::remove(file->path());
    std::ofstream(file->path(), std::ios::binary) << replacement;
    EXPECT_FALSE(file->ReadsBack());
  }
  EXPECT_EQ(Contents(dir / "ExChangeData.tmp"), replacement);
}

// A folder that cannot take the file passes to the next one; when none can, the reason names them.
TEST_F(ExchangeFileTest, TheNextFolderTakesItAndNoFolderIsSaid) {
  {
    const auto file = Create(Sample("X"), {dir / "missing-folder", dir});
    ASSERT_TRUE(file) << why;
    EXPECT_EQ(file->path(), dir / "ExChangeData.tmp");
    ASSERT_EQ(diagnostics.lines.size(), 1u);
    EXPECT_NE(diagnostics.lines[0].find("missing-folder"), std::string::npos) << diagnostics.lines[0];
  }
  EXPECT_FALSE(Create(Sample("X"), {dir / "missing-folder", dir / "missing-too"}));
  EXPECT_NE(why.find("missing-folder"), std::string::npos) << why;
  EXPECT_NE(why.find("missing-too"), std::string::npos) << why;
  EXPECT_TRUE(fs::is_empty(dir));
}

// The exchange file is one block of a regular file; anything else under its name is no block,
// found at once: a FIFO does not block the reader, /dev/zero is not read.
TEST_F(ExchangeFileTest, SpecialFilesUnderTheNameAreNoBlock) {
  for (const testing::SpecialFile& f : testing::SpecialFiles(false)) {
    const fs::path file = dir / "ExChangeData.tmp";
    fs::remove_all(file);
    testing::MakeSpecialFile(f, file, kExchangeBlockSize);
    EXPECT_FALSE(ReadExchangeBlock(file)) << f.what;
  }
}

}  // namespace
}  // namespace qvfw::app
