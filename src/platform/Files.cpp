#include "platform/Files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace qvfw::platform {

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}

bool UniqueFd::Close() {
  const int fd = fd_;
  fd_ = -1;
  return fd >= 0 && ::close(fd) == 0;
}

bool ReadAll(int fd, uint8_t* p, size_t n) {
  while (n) {
    const ssize_t r = ::read(fd, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

bool WriteAll(int fd, const uint8_t* p, size_t n) {
  while (n) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

namespace {
// Temporary names come from the process id and a counter: unique among live processes, and
// nothing waits for the kernel's random pool (early after boot it may not be ready yet).
std::atomic<unsigned> g_temporaries{0};
}  // namespace

namespace {

// Writes `bytes` into a fresh file beside `target` and gives it the target name: replacing what
// stands there, or only when nothing does.
int PublishFile(const std::filesystem::path& target, std::span<const uint8_t> bytes, mode_t mode, bool replace) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".%ld-%u.new", static_cast<long>(::getpid()), g_temporaries++);
    std::filesystem::path temp = target;
    temp += suffix;
    // O_EXCL refuses any name that exists, a planted link included.
    UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!fd.valid()) {
      if (errno == EEXIST) continue;
      return errno;
    }
    int error = 0;
    if (!WriteAll(fd.get(), bytes.data(), bytes.size()) || ::fsync(fd.get()) != 0) error = errno ? errno : EIO;
    if (!fd.Close() && error == 0) error = errno;
    if (error == 0) {
      if (replace) {
        if (::rename(temp.c_str(), target.c_str()) != 0) error = errno;
      } else if (::link(temp.c_str(), target.c_str()) != 0) {
        // A second name fails when the target name is taken, whatever stands there. A file
        // system without hard links gets the same promise from a rename that never replaces.
        error = errno;
        if (error == EPERM || error == ENOTSUP || error == EOPNOTSUPP || error == EMLINK) {
          error = ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0 ? 0 : errno;
        }
      }
    }
    // After a rename the fresh name is gone already; after a link, or a failure, it goes now.
    if (!replace || error != 0) ::unlink(temp.c_str());
    return error;
  }
  return EEXIST;
}

}  // namespace

int ReplaceFile(const std::filesystem::path& target, std::span<const uint8_t> bytes, mode_t mode) {
  return PublishFile(target, bytes, mode, true);
}

int CreateNewFile(const std::filesystem::path& target, std::span<const uint8_t> bytes, mode_t mode) {
  return PublishFile(target, bytes, mode, false);
}

std::optional<FileIdentity> IdentityOf(const std::filesystem::path& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
  return FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

std::optional<std::vector<uint8_t>> ReadWholeFile(const std::filesystem::path& path, size_t size) {
  // O_NONBLOCK: a FIFO under the name opens at once (and is then refused) instead of waiting for
  // a writer; a regular file reads as it would otherwise.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0 ||
      static_cast<uint64_t>(st.st_size) != size)
    return std::nullopt;
  std::vector<uint8_t> bytes(size);
  if (!ReadAll(fd.get(), bytes.data(), bytes.size())) return std::nullopt;
  return bytes;
}

FileRead ReadRegularFile(const std::filesystem::path& path, uint64_t maxSize) {
  FileRead r;
  r.limit = maxSize;
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) {
    r.error = errno;
    r.failure = FileRead::Failure::Missing;
    return r;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    r.error = errno;
    r.failure = FileRead::Failure::Unreadable;
    return r;
  }
  if (!S_ISREG(st.st_mode)) {
    r.failure = FileRead::Failure::NotRegular;
    return r;
  }
  r.size = static_cast<uint64_t>(st.st_size);
  ReadOpenedFile(r, [&](uint8_t* into, size_t room, int& error) -> int64_t {
    for (;;) {
      const ssize_t n = ::read(fd.get(), into, room);
      if (n >= 0) return n;
      if (errno != EINTR) {
        error = errno;
        return -1;
      }
    }
  });
  return r;
}

bool RemoveFile(const std::filesystem::path& path) { return ::unlink(path.c_str()) == 0; }

bool ProcessAlive(long pid) { return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH; }

long CurrentProcessId() { return static_cast<long>(::getpid()); }
}  // namespace qvfw::platform
