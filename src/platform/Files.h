#pragma once
// File handling for what the tool writes as root: descriptors released on every path, and files
// replaced whole, never written through a link planted in their place. Files.cpp implements it
// with POSIX calls, windows/WinFiles.cpp with the window platform's (C runtime descriptors,
// CreateFile and MoveFileEx).

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qvfw::platform {

// Owns a file descriptor (POSIX, or the C runtime's on the window platform); closes it on
// destruction.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd();
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now and tells whether the close succeeded (a late write error shows here).
  bool Close();

 private:
  int fd_;
};

bool ReadAll(int fd, uint8_t* data, size_t size);
bool WriteAll(int fd, const uint8_t* data, size_t size);

// Writes `bytes` into a fresh file created beside `target` (exclusively, never through a link),
// flushes it and renames it over `target`, which replaces whatever stood under that name (a link
// itself, never what it points to). Returns 0, or the errno of the step that failed, in which
// case the fresh file is gone and `target` is as it was. The mode applies on POSIX systems only.
int ReplaceFile(const std::filesystem::path& target, std::span<const uint8_t> bytes, mode_t mode = 0600);

// Writes `bytes` as a new file under `target` only when nothing at all stands there (a file, a
// link, a folder): the file is written and flushed under a fresh name beside it and then given
// the target name in one step that fails when the name is taken, so the name never shows a half
// file and never replaces anything. Returns 0, EEXIST when the name is taken, or the errno of the
// step that failed; on failure nothing this call made is left.
int CreateNewFile(const std::filesystem::path& target, std::span<const uint8_t> bytes, mode_t mode = 0600);

// Which file a name stands for, the name itself (a link is not followed): its file system and
// its number there. Two names with the same identity are the same file.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};
std::optional<FileIdentity> IdentityOf(const std::filesystem::path& path);

// The contents of the regular file at `path` when it holds exactly `size` bytes; nullopt when
// nothing is there, or a link (never followed), a folder or a device, a file of another size, or
// one that cannot be read.
std::optional<std::vector<uint8_t>> ReadWholeFile(const std::filesystem::path& path, size_t size);

// A file read whole, for the files the tool takes as input (configuration, machine descriptions,
// flash contents, images): only a regular file is read (a link to one is followed; the check is
// made on the opened file, so nothing can be swapped in after it), never more than a limit that
// fits what the file is for. A FIFO is opened without waiting for a writer, and a device or a
// folder is refused before a byte is read.
struct FileRead {
  enum class Failure { None, Missing, NotRegular, TooLarge, Unreadable };
  Failure failure = Failure::None;
  int error = 0;          // errno of the step that failed (Missing, Unreadable)
  uint64_t size = 0;      // the file's size as it stood when opened (also when TooLarge)
  uint64_t limit = 0;
  std::vector<uint8_t> bytes;

  bool ok() const { return failure == Failure::None; }
  // Why the file was not read, as a phrase that follows its name: "is not a regular file",
  // "is larger than 65536 bytes", "cannot be opened: No such file or directory".
  std::string Reason() const;
};
FileRead ReadRegularFile(const std::filesystem::path& path, uint64_t maxSize);

// What each platform's ReadRegularFile does once it has opened a regular file and put its size in
// `r.size` (and `r.limit`): refuses it when larger than the limit, else reads it with `readSome`
// to the end but never past the limit, so a file that grows while it is read is refused too.
// `readSome(into, room, error)` returns the bytes it read, 0 at the end, or -1 with `error` set.
void ReadOpenedFile(FileRead& r, const std::function<int64_t(uint8_t* into, size_t room, int& error)>& readSome);

// Removes the name `path`: a file, or a link itself (never what it points to); never a folder.
// Returns whether a name was removed.
bool RemoveFile(const std::filesystem::path& path);

// Whether the process `pid` still runs (true when that cannot be told).
bool ProcessAlive(long pid);
// This process's id.
long CurrentProcessId();

// Removes what an interrupted ReplaceFile left in `folder`: the names "<prefix>….<token>.new"
// (files and links, never folders) whose token names a process that has ended, or is one of the
// random tokens of earlier versions. Returns how many were removed.
size_t RemoveStaleTemporaries(const std::filesystem::path& folder, std::string_view prefix);

}  // namespace qvfw::platform
