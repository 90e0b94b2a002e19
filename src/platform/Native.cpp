#include "platform/Native.h"

#ifdef _WIN32
#include "platform/windows/LockFolder.h"
#include "platform/windows/SetupApiDisks.h"
#include "platform/windows/SptdPassThrough.h"
#else
#include "platform/ProcessLock.h"
#include "platform/linux/SgPassThrough.h"
#include "platform/linux/UdevDisks.h"
#endif

namespace qvfw::platform {

NativePlatform MakeNativePlatform(Diagnostics& diag, bool withMonitor) {
  NativePlatform native;
#ifdef _WIN32
  native.passThrough = std::make_unique<windows_os::SptdPassThrough>(diag);
  native.disks = std::make_unique<windows_os::SetupApiDiskEnumerator>(diag);
  if (withMonitor) native.monitor = std::make_unique<windows_os::WindowsDeviceMonitor>(diag);
  std::string why;
  native.lockDirectory = windows_os::AdministratorsLockFolder(&why);
  if (native.lockDirectory.empty()) diag.Line("no device locks: " + why);
#else
  native.passThrough = std::make_unique<linux_os::SgPassThrough>(diag);
  native.disks = std::make_unique<linux_os::UdevDiskEnumerator>(diag);
  if (withMonitor) native.monitor = std::make_unique<linux_os::UdevDeviceMonitor>(diag);
  native.lockDirectory = DeviceLockFolder();
#endif
  return native;
}

}  // namespace qvfw::platform
