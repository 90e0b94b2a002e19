#include "platform/ProcessLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

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
  for (uint32_t waited = 0;; waited += 100) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) break;
    if (errno != EWOULDBLOCK && errno != EINTR) {
      if (refusal) *refusal = {"cannot lock " + what + ": " + std::strerror(errno), 0};
      ::close(fd);
      return nullptr;
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

}  // namespace qvfw::platform
