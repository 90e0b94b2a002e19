#pragma once
// The erase-on-write procedure: the bridges whose flash writes carry their own erase request
// (QVB788, QVS882 in part, the storage line QVS876..QVS818 and QVS879). Erase everything, back
// the flash up to a file, or program an image with read-back verification, keeping the 4 KiB
// NVRAM region unless it is included, storing the image checksum, writing two banks where the
// flash holds two and ending with a chip reset or the power-cycle message.
//
// Every operation first keeps the flash it is about to change as a recovery file (unless the
// options skip it) and returns a Result whose status text is the panel's.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

#include "chips/ChipFamilies.h"
#include "device/Transport.h"
#include "flash/Host.h"
#include "flash/Options.h"
#include "flash/Settings.h"

namespace qvfw::flash {

// What the procedure knows of the device (the firmware-choice check found it).
struct Target {
  chips::ChipType chip = chips::ChipType::Unknown;
  uint8_t revision = 0;
  chips::FlashVendor vendor = chips::FlashVendor::Unknown;
  uint32_t flashSizeKiB = 0;  // 0: not known
  int chipResetMode = 0;      // configuration key "ChipReset"
  int amicClass = -1;         // the AMIC probe's class; -1: not an AMIC part
  int atmelClass = -1;        // the ATMEL probe's class; -1: not an ATMEL part
  bool sst25 = false;         // an SST 25-series part that programs by words
  // The whole flash in bytes as the run found it just before it started (the facts' size, else
  // the flash's JEDEC answer); 0: not known. The recovery copy covers this much.
  uint32_t flashBytes = 0;
};

struct Result {
  enum class Code { Done, Failed, BadInput };
  Code code = Code::Failed;
  Stage stage = Stage::Save;  // the stage reached
  std::string statusText;     // what the status field says at the end
  std::string reason;         // empty when done
  std::optional<std::filesystem::path> recoveryFile;
  std::optional<std::filesystem::path> backupFile;

  bool Done() const { return code == Code::Done; }
};

struct Job {
  const device::Device& dev;
  Target target;
  const EngineeringOptions& options;
  Settings& settings;
  Host& host;
  // The main window's flag: the image starts with a 4 KiB NVRAM head (kept between runs).
  uint32_t& imageHasNvram;
};

// The entry: erase-only, backup-only, or programming, as the options say.
Result EraseOnWriteProcedure(Job& job);

// QVB787 over IEEE 1394: 256-byte short writes whose erase flag clears the 32 KiB block at 0 or
// 0x8000; the device keeps a 1 KiB NVRAM at 0x8000.
Result EraseOnWrite1394Procedure(Job& job);
bool WriteFlashRangeShort(Job& job, uint32_t address, std::span<const uint8_t> data);
Result Erase1394(Job& job);
Result Program1394(Job& job);

Result EraseWholeFlash(Job& job);
Result BackupFlashToFile(Job& job, uint32_t excludedNvram);
Result ProgramImage(Job& job);

// The range reader and writer (status "ReadFlash...", one "." per piece).
bool ReadFlashRange(Job& job, uint32_t address, std::span<uint8_t> out);
bool WriteFlashRange(Job& job, uint32_t address, std::span<const uint8_t> data, uint8_t eraseMode);
bool EraseByOverwrite(Job& job, uint32_t length);

// The erase-mode byte the range writer sends for a piece at `address` under mode `m`, advancing
// the counters; 0 when no erase is requested. `clipTo` receives the next erase boundary (0: none).
uint8_t EraseRequest(Settings& s, chips::FlashVendor vendor, uint8_t m, uint32_t address, uint32_t& clipTo);

// The flash length backups and erase checks cover: 0x10000, or more on a storage-line flash
// larger than 64 KiB.
uint32_t FlashImageLength(const Target& t, const Settings& s);

}  // namespace qvfw::flash
