#include "app/DeviceLock.h"

#include <cctype>
#include <map>
#include <mutex>

#include "app/ExchangeFile.h"
#include "app/KeptIdentity.h"
#include "platform/Files.h"

namespace qvfw::app {

std::string DeviceLockName(AppContext& ctx, const std::string& path) {
  if (ctx.disks) {
    if (const auto n = ctx.disks->GetStorageDeviceNumber(path))
      return "qvfw-" + std::to_string(n->deviceType) + "-" + std::to_string(n->deviceNumber) + ".lock";
  }
  std::string name = "qvfw-";
  for (char c : path) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name + ".lock";
}

DeviceLockResult LockDevice(AppContext& ctx, const std::string& path) {
  // Shared by the workers of a parallel update; each works on a bridge of its own.
  static std::mutex mutex;
  static std::map<std::filesystem::path, std::weak_ptr<platform::ProcessLock>> held;
  DeviceLockResult r;
  if (ctx.lockDirectory.empty()) return r;
  const std::filesystem::path file = ctx.lockDirectory / DeviceLockName(ctx, path);
  {
    std::lock_guard guard(mutex);
    if ((r.held = held[file].lock())) return r;
  }
  // A folder whose locks another user could plant or hold guards nothing: the work does not start.
  if (const auto distrust = platform::PrepareLockFolder(ctx.lockDirectory)) {
    r.granted = false;
    r.refusal = "cannot lock the device " + path + ": " + *distrust;
    return r;
  }
  // Not under the mutex: the wait for another process sleeps on the clock, where other workers
  // take their turn.
  platform::ProcessLock::Refusal refusal;
  r.held = platform::ProcessLock::Acquire(file, "the device " + path, ctx.clock, platform::kLockWaitMs, &refusal);
  if (!r.held && !refusal.busy && !refusal.untrusted) {
    // No lock can be set up there (no /run/lock, say): the work goes on unguarded, as before.
    ctx.diagnostics.Line(refusal.message + "; going on without the device lock");
  } else if (!r.held) {
    r.granted = false;
    r.refusal = refusal.message;
  } else {
    std::lock_guard guard(mutex);
    held[file] = r.held;
  }
  return r;
}

void RemoveStaleFiles(AppContext& ctx, const std::filesystem::path& workDir) {
  size_t removed = 0;
  if (!workDir.empty()) removed += platform::RemoveStaleTemporaries(workDir, kExchangeFilePrefix);
  removed += platform::RemoveStaleTemporaries(StateDirectory(ctx), "");
  if (removed) ctx.diagnostics.Line("Removed " + std::to_string(removed) + " temporary file(s) an interrupted run left");
}

}  // namespace qvfw::app
