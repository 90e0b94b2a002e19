#pragma once
// Small pieces every procedure shares: ending a run with its status text, the recovery copy kept
// before the device is first changed, the backup file written on request, and marking the stretch
// in which the device is being changed.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "flash/EraseOnWrite.h"
#include "flash/Recovery.h"

namespace qvfw::flash::support {

inline constexpr std::string_view kPowerCycle = "Please Turn-Off the Power and Turn-On Again!";

// Shows `status` (when not empty) and returns the result that carries it.
Result Finish(Host& host, Result::Code code, Stage stage, std::string_view status, std::string reason = {});

// `out` with the recovery file `kept` names (every outcome after the copy was kept names it).
inline Result WithRecovery(Result out, const Result& kept) {
  out.recoveryFile = kept.recoveryFile;
  return out;
}

// While alive, a front end asked to stop waits for the device's change to finish.
class CriticalSection {
 public:
  explicit CriticalSection(Host& host) : host_(host) { host_.Critical(true); }
  ~CriticalSection() { host_.Critical(false); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

 private:
  Host& host_;
};

inline std::filesystem::path StateDirectory(const EngineeringOptions& o) {
  return o.stateDirectory.empty() ? DefaultStateDirectory() : o.stateDirectory;
}

// What a procedure keeps before it first changes the device.
struct RecoveryCopy {
  uint32_t length = 0;   // bytes kept
  uint64_t address = 0;  // where they start: a flash offset, or the first block of a disk area
  uint32_t pieces = 0;   // the transfers of the Save stage
  // Fills the span (`length` bytes) from the device; false when it could not.
  std::function<bool(std::span<uint8_t>)> read;
  // The status text and what was being read, for a read that fails.
  std::string_view readFailure = "Read flash for recovery fail!";
  std::string_view source = "the flash";
};

// Reads the copy within the Save stage and writes it as a new recovery file in the state
// directory. True with the file in `kept.recoveryFile`, or at once when the options skip the copy;
// false with `kept` the failed outcome (nothing was changed).
bool KeepRecovery(Job& j, const RecoveryCopy& copy, Result& kept);

// The NVRAM a run keeps: `saved.size()` bytes of the flash at `address`, read twice with `read`
// (the two reads must agree), or taken from the recovery copy the options name. A blank region is
// not kept silently while a recovery copy of this device in the state directory holds one: the
// host is asked whether to take that copy's, and the run stops when it does not. The failed
// outcome (nothing was changed yet), or nothing when `saved` holds what to keep.
std::optional<Result> KeepNvram(Job& j, uint32_t address, std::span<uint8_t> saved,
                                const std::function<bool(std::span<uint8_t>)>& read);

// The backup file's name: the options' own, else `fallback`, which a message box announces.
std::string BackupFileName(Job& j, std::string_view fallback = "oldFlash.bak");
// The refusal of a backup file name that stands for something other than a regular file (a
// device, a FIFO, a socket, a folder, a link to one), with `failure` as its status text; nothing
// when the name may take the file.
std::optional<Result> RefuseBackupTarget(Job& j, const std::string& name,
                                         std::string_view failure = "Open Backup File Error!!");
// Writes `bytes` as the backup file `name`: the done outcome naming it, or the failed one with
// `failure` as its status text.
Result WriteBackup(Job& j, const std::string& name, std::span<const uint8_t> bytes,
                   std::string_view failure = "Open Backup File Error!!");

bool AllErased(std::span<const uint8_t> bytes);
// "the flash differs from the image at 0x…" for the first difference, or empty when equal.
std::string FirstDifference(std::span<const uint8_t> flash, std::span<const uint8_t> image, uint32_t base);
// The same over the first `length` bytes, passing over the RAM-download header areas of the two
// 128 KiB halves (the bridge keeps its own there).
std::string FirstDifferenceOutsideHeaders(std::span<const uint8_t> flash, std::span<const uint8_t> image,
                                          uint32_t length);
uint32_t RoundUp(uint32_t v, uint32_t unit);
void Sleep(Job& j, uint32_t ms);

}  // namespace qvfw::flash::support
