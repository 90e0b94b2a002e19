// Whole-file replacement on every OS (POSIX calls on Linux, CreateFile/MoveFileEx on the window
// platform): the same contract, the same tests.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/Files.h"
#include "support/SpecialFiles.h"
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

TEST(ReadWholeFile, AFifoIsRefusedWithoutWaitingForAWriter) {
#if defined(_WIN32)
  GTEST_SKIP() << "no FIFOs here";
#else
  testing::TempDir dir;
  testing::MakeSpecialFile({testing::SpecialKind::Fifo, "a FIFO"}, dir.path() / "fifo", 0);
  EXPECT_EQ(ReadWholeFile(dir.path() / "fifo", 0), std::nullopt);
#endif
}

TEST(ReadRegularFile, TakesARegularFileUpToTheLimit) {
  testing::TempDir dir;
  const fs::path file = dir.Write("file", std::string(100, 'r'));
  FileRead r = ReadRegularFile(file, 100);
  ASSERT_TRUE(r.ok()) << r.Reason();
  EXPECT_EQ(std::string(r.bytes.begin(), r.bytes.end()), std::string(100, 'r'));
  r = ReadRegularFile(dir.Write("empty", ""), 100);
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r.bytes.empty());
  r = ReadRegularFile(file, 99);
  EXPECT_EQ(r.failure, FileRead::Failure::TooLarge);
  EXPECT_EQ(r.Reason(), "is larger than 99 bytes");
  EXPECT_TRUE(r.bytes.empty());
  r = ReadRegularFile(dir.path() / "absent", 100);
  EXPECT_EQ(r.failure, FileRead::Failure::Missing);
  EXPECT_EQ(r.error, ENOENT);
}

TEST(ReadRegularFile, ALinkToARegularFileIsFollowed) {
  testing::TempDir dir;
  const fs::path file = dir.Write("file", "abc");
  std::error_code ec;
  fs::create_symlink(file, dir.path() / "link", ec);
  if (ec) GTEST_SKIP() << "no symbolic links here: " << ec.message();
  const FileRead r = ReadRegularFile(dir.path() / "link", 100);
  ASSERT_TRUE(r.ok()) << r.Reason();
  EXPECT_EQ(std::string(r.bytes.begin(), r.bytes.end()), "abc");
}

// Nothing but a regular file is read, and never past the limit: a FIFO does not block, a link to
// /dev/zero is not read into memory, a folder is refused, an over-size file is not read at all.
TEST(ReadRegularFile, SpecialFilesAreRefusedWithTheirReason) {
  constexpr uint64_t kLimit = 1 << 20;
  for (const testing::SpecialFile& f : testing::SpecialFiles(false)) {
    testing::TempDir dir;
    const fs::path path = dir.path() / "input";
    testing::MakeSpecialFile(f, path, kLimit);
    const FileRead r = ReadRegularFile(path, kLimit);
    const bool over = f.kind == testing::SpecialKind::OverSize;
    EXPECT_EQ(r.failure, over ? FileRead::Failure::TooLarge : FileRead::Failure::NotRegular) << f.what;
    EXPECT_EQ(r.Reason(), over ? "is larger than 1048576 bytes" : "is not a regular file") << f.what;
    EXPECT_TRUE(r.bytes.empty()) << f.what;
  }
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
