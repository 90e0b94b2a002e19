// Whole-file replacement on every OS (POSIX calls on Linux, CreateFile/MoveFileEx on the window
// platform): the same contract, the same tests.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/Files.h"
#include "support/TempDir.h"

namespace qvfw::platform {
namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::span<const uint8_t> Bytes(const std::string& s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }

size_t Entries(const fs::path& dir) { return static_cast<size_t>(std::distance(fs::directory_iterator(dir), {})); }

TEST(ReplaceFile, CreatesAndReplacesWholeLeavingNothingBeside) {
  testing::TempDir dir;
  const fs::path target = dir.path() / "ExChangeData.tmp";
  ASSERT_EQ(ReplaceFile(target, Bytes("first, and longer")), 0);
  EXPECT_EQ(Read(target), "first, and longer");
  ASSERT_EQ(ReplaceFile(target, Bytes("second")), 0);
  EXPECT_EQ(Read(target), "second");
  EXPECT_EQ(Entries(dir.path()), 1u);
}

TEST(ReplaceFile, MissingFolderFailsWithItsErrorAndLeavesNothing) {
  testing::TempDir dir;
  const fs::path target = dir.path() / "absent" / "file.bin";
  EXPECT_EQ(ReplaceFile(target, Bytes("x")), ENOENT);
  EXPECT_EQ(Entries(dir.path()), 0u);
}

TEST(ReplaceFile, AFolderAtTheNameStaysAndTheFreshFileGoes) {
  testing::TempDir dir;
  const fs::path target = dir.path() / "name";
  fs::create_directory(target);
  EXPECT_NE(ReplaceFile(target, Bytes("x")), 0);
  EXPECT_TRUE(fs::is_directory(target));
  EXPECT_EQ(Entries(dir.path()), 1u);
}

TEST(ReplaceFile, AHardLinkAtTheNameIsReplacedNotWrittenThrough) {
  testing::TempDir dir;
  const fs::path other = dir.Write("other", "keep me");
  const fs::path target = dir.path() / "target";
  std::error_code ec;
  fs::create_hard_link(other, target, ec);
  if (ec) GTEST_SKIP() << "no hard links here: " << ec.message();
  ASSERT_EQ(ReplaceFile(target, Bytes("new")), 0);
  EXPECT_EQ(Read(target), "new");
  EXPECT_EQ(Read(other), "keep me");
}

TEST(ReplaceFile, ASymbolicLinkAtTheNameIsReplacedNotFollowed) {
  testing::TempDir dir;
  const fs::path other = dir.Write("other", "keep me");
  const fs::path target = dir.path() / "target";
  std::error_code ec;
  fs::create_symlink(other, target, ec);
  if (ec) GTEST_SKIP() << "no symbolic links here: " << ec.message();
  ASSERT_EQ(ReplaceFile(target, Bytes("new")), 0);
  EXPECT_FALSE(fs::is_symlink(target));
  EXPECT_EQ(Read(target), "new");
  EXPECT_EQ(Read(other), "keep me");
}

TEST(ReadWholeFile, OnlyARegularFileOfTheSizeAsked) {
  testing::TempDir dir;
  const fs::path file = dir.Write("block", std::string(16, 'b'));
  const auto bytes = ReadWholeFile(file, 16);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(std::string(bytes->begin(), bytes->end()), std::string(16, 'b'));
  EXPECT_EQ(ReadWholeFile(file, 15), std::nullopt);
  EXPECT_EQ(ReadWholeFile(file, 17), std::nullopt);
  EXPECT_EQ(ReadWholeFile(dir.path() / "absent", 16), std::nullopt);
  EXPECT_EQ(ReadWholeFile(dir.path(), 0), std::nullopt);
  const fs::path empty = dir.Write("empty", "");
  EXPECT_EQ(ReadWholeFile(empty, 0), std::vector<uint8_t>{});
}

TEST(ReadWholeFile, NeverFollowsALink) {
  testing::TempDir dir;
  const fs::path file = dir.Write("block", std::string(16, 'b'));
  std::error_code ec;
  fs::create_symlink(file, dir.path() / "link", ec);
  if (ec) GTEST_SKIP() << "no symbolic links here: " << ec.message();
  EXPECT_EQ(ReadWholeFile(dir.path() / "link", 16), std::nullopt);
}

TEST(RemoveFile, TakesAFileOrALinkItselfNeverAFolder) {
  testing::TempDir dir;
  const fs::path file = dir.Write("file", "x");
  EXPECT_TRUE(RemoveFile(file));
  EXPECT_FALSE(fs::exists(file));
  EXPECT_FALSE(RemoveFile(file));
  fs::create_directory(dir.path() / "folder");
  EXPECT_FALSE(RemoveFile(dir.path() / "folder"));
  EXPECT_TRUE(fs::is_directory(dir.path() / "folder"));

  const fs::path target = dir.Write("target", "keep me");
  std::error_code ec;
  fs::create_symlink(target, dir.path() / "link", ec);
  if (ec) GTEST_SKIP() << "no symbolic links here: " << ec.message();
  EXPECT_TRUE(RemoveFile(dir.path() / "link"));
  EXPECT_FALSE(fs::is_symlink(dir.path() / "link"));
  EXPECT_EQ(Read(target), "keep me");
}

}  // namespace
}  // namespace qvfw::platform
