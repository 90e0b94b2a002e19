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

}  // namespace
}  // namespace qvfw::platform
