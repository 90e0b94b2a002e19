#include "platform/ProcessLock.h"

// No lock on the window platform yet: every lock is granted, so two processes there are not kept
// apart (a named mutex per device number would do it).

namespace qvfw::platform {

ProcessLock::~ProcessLock() = default;

std::unique_ptr<ProcessLock> ProcessLock::Acquire(const std::filesystem::path&, const std::string&, Clock&, uint32_t,
                                                  Refusal*) {
  return std::unique_ptr<ProcessLock>(new ProcessLock(-1));
}

std::filesystem::path DeviceLockFolder() { return "/run/lock"; }

std::optional<std::string> PrepareLockFolder(const std::filesystem::path&) { return std::nullopt; }

}  // namespace qvfw::platform
