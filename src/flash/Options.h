#pragma once
// The engineering options as one value: the window's Run handler reads it from the panel's boxes
// and edits, the command line builds it from its flags. Procedures read nothing else.

#include <filesystem>
#include <string>

namespace qvfw::flash {

struct EngineeringOptions {
  bool eraseOnly = false;        // "Erase All Flash Only "
  bool backupOnly = false;       // "Backup Old Firmware Only"
  bool includeNvram = false;     // "Include 4K NVRAM": the 4 KiB NVRAM area is rewritten too
  bool readWriteBuffer = false;  // "Read/Write Buffer" (the buffer family)
  bool productSnInCode = true;   // "Setting ProductSN(In-Code)"
  std::string backupFile;        // "Backup FileName "; empty: "oldFlash.bak"
  std::string firmwareFile;      // "Firmware File "
  // The disk-resident firmware area may be written where it lies inside the disk's user area.
  bool forceUserArea = false;
  // No recovery copy of the flash before it is changed.
  bool skipRecovery = false;
  // The file is a copy of the flash as it was (a recovery copy, a backup): its bytes go back as
  // they are, with no RAM-download header stamped over the banks' header areas.
  bool writeAsIs = false;
  // The NVRAM the run keeps comes from this recovery copy of the flash (a whole copy from address
  // 0, as the state directory keeps them) instead of from the device.
  std::string nvramFrom;
  // Where recovery copies go; empty: the state directory of the user (see Recovery.h).
  std::filesystem::path stateDirectory;
};

}  // namespace qvfw::flash
