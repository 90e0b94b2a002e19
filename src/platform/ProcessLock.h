#pragma once
// One process at a time on a bridge or an emulated machine's folder: an advisory lock on a file
// (flock on POSIX systems), which the kernel releases when the process ends however it ends. The
// holder writes its process id into the file, so that a process that finds it taken can say who
// holds it.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/Clock.h"

namespace qvfw::platform {

class ProcessLock {
 public:
  ~ProcessLock();
  ProcessLock(const ProcessLock&) = delete;
  ProcessLock& operator=(const ProcessLock&) = delete;

  struct Refusal {
    std::string message;     // what stood in the way, for the user
    long holder = 0;         // the process id that holds the lock; 0 when not known
    bool busy = false;       // another process holds it (otherwise the lock could not be set up)
    bool untrusted = false;  // the lock file is not one this user's runs made or hold (below)
  };

  // Takes the lock on `file` (created when missing, never through a link), trying again every
  // 100 ms on `clock` for up to `waitMs`. Where the file cannot be created (a read-only folder),
  // the folder itself is locked: the process id is then not recorded. `what` names the locked
  // thing in the refusal ("the machine in DIR", "the bridge /dev/sg2").
  //
  // A lock file is trusted only when it belongs to the user this process runs as, and a holder
  // only while the process it names runs: a file another user made (in a folder every user may
  // write) or a lock held under the name of a process that has ended is refused at once, as
  // `untrusted`, and never waited for.
  static std::unique_ptr<ProcessLock> Acquire(const std::filesystem::path& file, const std::string& what, Clock& clock,
                                              uint32_t waitMs, Refusal* refusal);

 private:
  explicit ProcessLock(int fd) : fd_(fd) {}
  int fd_;
};

// How long a second process waits for a lock before it gives up.
inline constexpr uint32_t kLockWaitMs = 3000;

// Where the per-device locks of this computer's own bridges live: as root a folder only root may
// write ("/run/qvfw"), so that no other user can plant or hold a lock there; otherwise the
// system's shared lock folder.
std::filesystem::path DeviceLockFolder();

// Makes `folder` when it is missing (mode 0755) and tells whether locks in it can be trusted: it
// must be a folder (not a link), and as root one that root owns and only root may write. Nothing
// when they can (or when the folder cannot be made at all), else the reason.
std::optional<std::string> PrepareLockFolder(const std::filesystem::path& folder);

}  // namespace qvfw::platform
