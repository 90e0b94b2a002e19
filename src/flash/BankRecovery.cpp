#include "flash/BankRecovery.h"

#include <algorithm>
#include <vector>

#include "codec/ImageChecksum.h"
#include "flash/Recovery.h"

namespace qvfw::flash {

bool BankImageValid(std::span<const uint8_t> bank, chips::ChipType chip) {
  const chips::ChipFamily& family = chips::Family(chip);
  if (!family.Is(chips::kStorageLine)) return false;
  // The signature block is looked for at 0xBFF0 in every family, QVS879 included, although its
  // images carry theirs at 0x7FF0: such a bank is never taken as valid, so nothing is rewritten.
  return codec::StorageBankValid(bank, family.modelKey, 0xBFF0, chip == chips::ChipType::QVS879 ? 0x8000 : 0xC000);
}

BankRecovery RecoverFirmwareBank(Job& j) {
  BankRecovery out;
  std::vector<uint8_t> read(kFirmwareBankSize), good(kFirmwareBankSize);
  uint32_t target = 0;
  j.host.EnterStage(Stage::ReadBack, 2 * kFirmwareBankSize / j.settings.TransferUnit);
  if (!ReadFlashRange(j, 0, read)) {
    out.result.reason = "bank 0 could not be read";
    return out;
  }
  j.host.SetStatus("");
  const bool v0 = BankImageValid(read, j.target.chip);
  if (v0) {
    good = read;
    target = kFirmwareBankSize;
  }
  std::fill(read.begin(), read.end(), 0);
  if (!ReadFlashRange(j, kFirmwareBankSize, read)) {
    out.result.reason = "bank 1 could not be read";
    return out;
  }
  j.host.SetStatus("");
  const bool v1 = BankImageValid(read, j.target.chip);
  if (v1) {
    good = read;
    target = 0;
  }
  out.looked = true;
  out.result.code = Result::Code::Done;
  if (v0 == v1) return out;

  // Nothing lost: the flash as it was, before the bank is rewritten.
  if (!j.options.skipRecovery) {
    std::vector<uint8_t> whole(std::max<uint32_t>(j.target.flashSizeKiB * 1024, 2 * kFirmwareBankSize));
    const bool ok = ReadFlashRange(j, 0, whole);
    j.host.SetStatus("");
    const auto dir = j.options.stateDirectory.empty() ? DefaultStateDirectory() : j.options.stateDirectory;
    const auto saved = ok ? SaveRecoveryFile(dir, j.dev.path(), 0, whole) : std::nullopt;
    if (!saved) {
      out.result.code = Result::Code::Failed;
      out.result.reason = "no recovery copy of the flash could be kept, so the broken bank was left alone";
      return out;
    }
    out.result.recoveryFile = *saved;
  }
  j.host.Critical(true);
  bool ok = false;
  for (const uint8_t mode : {uint8_t{2}, uint8_t{1}}) {
    // Each attempt erases anew from the bank's start.
    j.settings.BlockCounter = target / j.settings.BlockEraseUnit;
    j.settings.SectorCounter = target / j.settings.SectorEraseUnit;
    std::fill(read.begin(), read.end(), 0);
    out.wrote = true;
    j.host.EnterStage(Stage::Program, kFirmwareBankSize / j.settings.TransferUnit + 1);
    if (!WriteFlashRange(j, target, good, mode)) continue;
    const bool back = ReadFlashRange(j, target, read);
    j.host.SetStatus("");
    if (back && read == good) {
      ok = true;
      break;
    }
  }
  j.host.Critical(false);
  out.result.code = ok ? Result::Code::Done : Result::Code::Failed;
  out.result.statusText = ok ? "FW Recovery successful!!" : "FW Recovery Fail!!";
  if (!ok) out.result.reason = "the broken bank could not be rewritten from the good one";
  j.host.SetStatus(out.result.statusText);
  return out;
}

}  // namespace qvfw::flash
