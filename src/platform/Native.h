#pragma once
// The backend of the OS the program runs on, for the front ends to bind without naming it:
// SG_IO on SCSI generic nodes, udev disks and a udev monitor on Linux; SCSI pass-through direct,
// SetupAPI disks with drive letters and a message-only window's device notifications on the
// window platform.

#include <filesystem>
#include <memory>

#include "platform/Diagnostics.h"
#include "platform/Disks.h"
#include "platform/PassThrough.h"

namespace qvfw::platform {

struct NativePlatform {
  std::unique_ptr<PassThrough> passThrough;
  std::unique_ptr<DiskEnumerator> disks;
  std::unique_ptr<DeviceMonitor> monitor;  // null unless asked for
  // Where the bridges' locks are kept (/run/lock; %ProgramData%\qvfw, which only administrators
  // may write); empty when there is none to use, the reason told to the diagnostics.
  std::filesystem::path lockDirectory;
};

// `diag` must outlive the parts. On the window platform the monitor's window belongs to the
// calling thread, which must also be the one that drains it.
NativePlatform MakeNativePlatform(Diagnostics& diag, bool withMonitor);

}  // namespace qvfw::platform
