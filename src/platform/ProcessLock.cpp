#include "platform/ProcessLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/Files.h"

namespace qvfw::platform {
namespace {

// The process id the holder wrote, or 0.
long HolderOf(int fd) {
  char text[32] = {};
  const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
  if (n <= 0) return 0;
  const long pid = std::strtol(text, nullptr, 10);
  return pid > 0 ? pid : 0;
}

}  // namespace

ProcessLock::~ProcessLock() {
  if (fd_ >= 0) ::close(fd_);  // closing the last descriptor releases the lock
}

std::unique_ptr<ProcessLock> ProcessLock::Acquire(const std::filesystem::path& file, const std::string& what,
                                                  Clock& clock, uint32_t waitMs, Refusal* refusal) {
  bool ownFile = true;
  int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0 && (errno == EROFS || errno == EACCES || errno == EPERM)) {
    // Nothing may be written here: the file may still be there to lock, else the folder.
    fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      fd = ::open(file.parent_path().empty() ? "." : file.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      ownFile = false;
    }
  }
  if (fd < 0) {
    if (refusal) *refusal = {"cannot lock " + what + ": " + file.string() + ": " + std::strerror(errno), 0};
    return nullptr;
  }
  auto untrusted = [&](const std::string& why) {
    if (refusal) {
      *refusal = {};
      refusal->untrusted = true;
      refusal->message = "cannot lock " + what + ": " + why + "; it is not trusted (remove it once no qvfw runs)";
    }
    ::close(fd);
    return nullptr;
  };
  if (ownFile) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return untrusted(file.string() + " cannot be examined");
    if (st.st_uid != ::geteuid())
      return untrusted(file.string() + " belongs to user " + std::to_string(st.st_uid) + ", not to this one");
  }
  long deadNamed = 0;
  for (uint32_t waited = 0;; waited += 100) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) break;
    if (errno != EWOULDBLOCK && errno != EINTR) {
      if (refusal) *refusal = {"cannot lock " + what + ": " + std::strerror(errno), 0};
      ::close(fd);
      return nullptr;
    }
    // A lock is held, and a process that has ended holds none: whoever holds this one does not
    // say who it is. (A new holder writes its id just after it takes the lock, so the file may
    // name its ended predecessor for a moment: it must still do so a poll later.)
    const long named = ownFile ? HolderOf(fd) : 0;
    if (named > 0 && !ProcessAlive(named)) {
      if (named == deadNamed)
        return untrusted(file.string() + " is held in the name of process " + std::to_string(named) +
                         ", which is not running");
      deadNamed = named;
    } else {
      deadNamed = 0;
    }
    if (waited >= waitMs) {
      const long holder = ownFile ? HolderOf(fd) : 0;
      if (refusal) {
        refusal->holder = holder;
        refusal->busy = true;
        refusal->message = what + " is in use by " +
                           (holder ? "process " + std::to_string(holder) : std::string("another process")) +
                           "; try again once it has finished";
      }
      ::close(fd);
      return nullptr;
    }
    clock.Sleep(100);
  }
  if (ownFile) {
    const std::string pid = std::to_string(static_cast<long>(::getpid())) + "\n";
    // Only the holder writes; a failure here leaves the lock held, the holder unnamed.
    if (::ftruncate(fd, 0) == 0) (void)!::pwrite(fd, pid.data(), pid.size(), 0);
  }
  return std::unique_ptr<ProcessLock>(new ProcessLock(fd));
}

std::filesystem::path DeviceLockFolder() { return ::geteuid() == 0 ? "/run/qvfw" : "/run/lock"; }

std::optional<std::string> PrepareLockFolder(const std::filesystem::path& folder) {
  // A folder that cannot be made is no danger: no lock file can be taken there either, which the
  // lock itself reports.
  if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) return std::nullopt;
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0) return std::nullopt;
  if (!S_ISDIR(st.st_mode)) return folder.string() + " is not a folder, so locks there cannot be trusted";
  if (::geteuid() == 0 && (st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return folder.string() + " is not a folder only root may write (owner " + std::to_string(st.st_uid) + ", mode " +
           mode + "), so locks there cannot be trusted";
  }
  return std::nullopt;
}

}  // namespace qvfw::platform
