#pragma once
// One process per bridge: every command that changes (or reads back) a bridge's flash holds an
// advisory lock named by the bridge's device number in the context's lock folder, and only while
// it works on the device. A second process waits a little, then is told which process holds it.
// A lock that another user could have planted or holds under a false name is not trusted: the
// work does not start, and the reason says which file is in the way.

#include <memory>
#include <string>

#include "app/AppContext.h"
#include "platform/ProcessLock.h"

namespace qvfw::app {

struct DeviceLockResult {
  std::shared_ptr<platform::ProcessLock> held;  // null when there is no lock folder
  bool granted = true;
  std::string refusal;  // when not granted: the reason, naming the holder
};

// The lock file's name for the device at `path`: "qvfw-<type>-<number>.lock" from its device
// number, or from the path itself when it has none.
std::string DeviceLockName(AppContext& ctx, const std::string& path);

// A lock this process already holds is shared, not taken twice (the bank check that an inspection
// within an update may run).
DeviceLockResult LockDevice(AppContext& ctx, const std::string& path);

// Removes the temporary files interrupted runs left: the exchange file's in `workDir` (when
// given) and those beside the kept identities and recovery copies in the state directory.
void RemoveStaleFiles(AppContext& ctx, const std::filesystem::path& workDir);

}  // namespace qvfw::app
