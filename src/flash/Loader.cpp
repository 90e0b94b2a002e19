#include "flash/Loader.h"

#include <algorithm>
#include <span>
#include <string>
#include <vector>

#include "device/Commands.h"
#include "device/FlashDescriptor.h"
#include "device/FlashOps.h"
#include "flash/ProcedureSupport.h"

namespace qvfw::flash {
namespace {

using support::Finish;
using support::kPowerCycle;
using support::RoundUp;
using support::Sleep;

constexpr int kWholeFlash = 3;

// The flash's size in bytes as the run found it before it started; 0 when unknown.
uint32_t FlashBytes(const Job& j) {
  if (j.target.flashBytes > 0) return j.target.flashBytes;
  return j.target.flashSizeKiB * 1024;
}

// The whole flash, kept before the first erase (which clears all of it).
bool KeepRecovery(Job& j, uint32_t flashBytes, Result& r) {
  if (!j.options.skipRecovery && flashBytes == 0) {
    r = Finish(j.host, Result::Code::Failed, Stage::Save, "Flash size unknown!!",
               "the flash's size is not known, so no complete recovery copy can be kept before the whole "
               "flash is erased; nothing was changed (--no-backup runs without one)");
    return false;
  }
  support::RecoveryCopy copy;
  copy.length = flashBytes;
  copy.pieces = flashBytes / kLoaderBlock;
  copy.read = [&](std::span<uint8_t> bytes) { return LoaderRead(j, bytes); };
  return support::KeepRecovery(j, copy, r);
}

Result Erase(Job& j) {
  j.host.SetStatus("Start Erase only!");
  Result r;
  if (!KeepRecovery(j, FlashBytes(j), r)) return r;
  support::CriticalSection critical(j.host);
  j.host.EnterStage(Stage::Erase, 0);
  Result out;
  if (device::EraseFlashRam(j.dev, 0, 0, kWholeFlash)) {
    out = Finish(j.host, Result::Code::Done, Stage::Erase, "Erase flash command success!");
    j.host.Message("Message", kPowerCycle);
  } else {
    out = Finish(j.host, Result::Code::Failed, Stage::Erase, "Erase flash command fail!", "the erase command was refused");
  }
  out.recoveryFile = r.recoveryFile;
  return out;
}

Result Backup(Job& j) {
  const std::string name = support::BackupFileName(j);
  if (auto refused = support::RefuseBackupTarget(j, name)) return *refused;
  j.host.SetStatus("Backup ...");
  std::vector<uint8_t> bytes(kLoaderBackupLength);
  j.host.EnterStage(Stage::ReadBack, kLoaderBackupLength / kLoaderBlock);
  if (!LoaderRead(j, bytes))
    return Finish(j.host, Result::Code::Failed, Stage::ReadBack, "Read Back to Backup Error!!", "the flash could not be read");
  return support::WriteBackup(j, name, bytes);
}

Result Program(Job& j) {
  const auto file = device::ReadImageBytes(j.options.firmwareFile);
  if (!file || file->empty())
    return Finish(j.host, Result::Code::BadInput, Stage::Save, "Open File Error!!",
                  j.options.firmwareFile + (file ? ": the file is empty" : ": cannot be opened as a file"));
  if (file->size() > 0x1000000)
    return Finish(j.host, Result::Code::BadInput, Stage::Save, "FW size > flash size!!",
                  j.options.firmwareFile + ": larger than any flash of this bridge");
  // The header stamp reads and writes up to offset 0x3FFFF: a shorter image goes padded with zeros.
  const uint32_t length = std::max(RoundUp(static_cast<uint32_t>(file->size()), kLoaderStep), kLoaderBackupLength);
  const uint32_t flashBytes = FlashBytes(j);
  if (flashBytes > 0 && length > flashBytes)
    return Finish(j.host, Result::Code::BadInput, Stage::Save, "FW size > flash size!!",
                  "the image (padded to " + std::to_string(length / 1024) + " KiB) is larger than the flash (" +
                      std::to_string(flashBytes / 1024) + " KiB)");
  std::vector<uint8_t> image(length, 0);
  std::copy(file->begin(), file->end(), image.begin());
  j.host.SetStatus("Programming");
  j.host.StampRamDownloadHeader(image);

  Result r;
  if (!KeepRecovery(j, flashBytes, r)) return r;
  support::CriticalSection critical(j.host);
  std::vector<uint8_t> back(length);
  std::string failure, reason;
  for (int attempt = 0; attempt < 3; ++attempt) {
    j.host.SetStatus("Programming");
    j.host.EnterStage(Stage::Program, length / kLoaderBlock);
    if (!LoaderWrite(j, image)) {
      failure = "Write Bin File fail!";
      reason = "a RAM-buffer or flash command was refused while writing";
      j.host.SetStatus(failure);
      continue;
    }
    j.host.EnterStage(Stage::ReadBack, length / kLoaderBlock);
    if (!LoaderRead(j, back)) {
      failure = "Read FW fail!";
      reason = "the flash could not be read back";
      j.host.SetStatus(failure);
      continue;
    }
    if (std::string diff = support::FirstDifferenceOutsideHeaders(back, image, length); !diff.empty()) {
      failure = "Data compare fail !!";
      reason = diff;
      j.host.SetStatus(failure);
      continue;
    }
    Result done = support::WithRecovery(Finish(j.host, Result::Code::Done, Stage::ReadBack, "Programming Success!!"), r);
    j.host.Message("Message", kPowerCycle);
    return done;
  }
  return support::WithRecovery(
      Finish(j.host, Result::Code::Failed, Stage::ReadBack, failure, reason + " (three attempts)"), r);
}

}  // namespace

bool LoaderWrite(Job& j, std::span<const uint8_t> image) {
  if (!device::EraseFlashRam(j.dev, 0, 0, kWholeFlash)) return false;
  Sleep(j, 5000);
  std::vector<uint8_t> padded(RoundUp(static_cast<uint32_t>(image.size()), kLoaderBlock), 0);
  std::copy(image.begin(), image.end(), padded.begin());
  uint32_t p = 0;
  for (uint32_t done = 0; done < padded.size(); done += kLoaderBlock) {
    const auto block = std::span<const uint8_t>(padded).subspan(done, kLoaderBlock);
    if (!device::WriteRamBuffer(j.dev, kLoaderRamBuffer, 1, block)) return false;
    Sleep(j, 1);
    if (!device::ProgramFlashFromRam(j.dev, 0, p, kLoaderStep, kLoaderRamAddress)) return false;
    p += kLoaderStep;
    Sleep(j, 20);
    if (!device::ProgramFlashFromRam(j.dev, 0, p, kLoaderStep, kLoaderRamAddress + kLoaderStep)) return false;
    p += kLoaderStep;
    j.host.AppendStatus(".");
    j.host.Step();
    j.host.Pump();
  }
  return true;
}

bool LoaderRead(Job& j, std::span<uint8_t> out) {
  j.host.SetStatus("ReadFlash...");
  std::vector<uint8_t> scratch(RoundUp(static_cast<uint32_t>(out.size()), kLoaderBlock), 0);
  for (uint32_t p = 0; p < scratch.size(); p += kLoaderBlock) {
    if (!device::ReadFlashToRam(j.dev, 0, p, kLoaderBlock, kLoaderRamAddress)) return false;
    Sleep(j, 3);
    if (!device::ReadRamBuffer(j.dev, kLoaderRamBuffer, 1, std::span(scratch).subspan(p, kLoaderBlock))) return false;
    Sleep(j, 3);
    j.host.AppendStatus(".");
    j.host.Step();
    j.host.Pump();
  }
  std::copy_n(scratch.begin(), out.size(), out.begin());
  return true;
}

Result LoaderProcedure(Job& j) {
  j.settings.TransferUnit = 8192;
  if (j.options.eraseOnly) return Erase(j);
  if (j.options.backupOnly) return Backup(j);
  return Program(j);
}

}  // namespace qvfw::flash
