#include "flash/WholeImage.h"

#include <algorithm>
#include <vector>

#include "device/Commands.h"
#include "device/FlashDescriptor.h"
#include "device/FlashOps.h"
#include "flash/ProcedureSupport.h"
#include "flash/ShortFlash.h"

namespace qvfw::flash {
namespace {

using chips::ChipType;
using chips::FlashVendor;

// The whole-image procedure's power-cycle text differs by a space from the other boxes'.
constexpr std::string_view kPowerCycleSpaced = "Please Turn-Off the Power and Turn-On Again !";
constexpr uint32_t kSleepAfterErase = 500;
constexpr uint32_t kSleepBeforeVerify = 1000;
// The sector scan of the QVB789 on the flash that answers 8C 21 15.
constexpr uint32_t kScanSteps = 512;
constexpr uint32_t kScanStep = 0x8000;
constexpr uint32_t kScanRead = 0x4000;

bool SmallSectorAmic(int amicClass) { return amicClass == 1 || amicClass == 3 || amicClass == 5; }

uint32_t Pieces(uint32_t length, uint32_t unit) { return (length + unit - 1) / unit; }

// After an erase: the pause the bridge needs, then a status wait; a flash still busy shows
// `busyText` and the run goes on.
void SettleAfterErase(shortflash::Run& run, std::string_view busyText) {
  run.Sleep(kSleepAfterErase);
  if (!device::WaitFlashReady(run.j.dev)) run.j.host.SetStatus(busyText);
}

Result Program(shortflash::Run& run) {
  Job& j = run.j;
  const Target& t = j.target;
  const auto file = device::ReadImageBytes(j.options.firmwareFile);
  if (!file || file->empty())
    return run.End(Result::Code::BadInput, Stage::Save, "Open File Error!!",
                   j.options.firmwareFile + (file ? ": the file is empty" : ": cannot be opened as a file"));
  const uint32_t unit = j.settings.TransferUnit;
  const uint32_t f = static_cast<uint32_t>(file->size());
  const uint32_t z = support::RoundUp(std::max<uint32_t>(f, 0x8000), unit);
  const uint32_t steps = z / unit;
  if (Result refused = run.RefuseBeyondFlash(z); !refused.Done()) return refused;
  std::vector<uint8_t> image(z, 0);
  std::copy(file->begin(), file->end(), image.begin());

  if (!device::WaitFlashReady(j.dev)) j.host.Trace("0.1 Device initial not ready!!");

  // A small image keeps the 512-byte NVRAM block behind it: read before the erase, written back
  // after the image. Only images of at most 32 KiB (z == 0x8000) write it back.
  const bool small = z <= 0x8000;
  std::vector<uint8_t> nvram(kWholeImageNvramSize, 0);
  if (z <= 0x10000) {
    if (small) {
      // Kept across the erase: read twice, the reads must agree (writing back a block that was never
      // read, or read wrong, would replace the device's NVRAM).
      bool read = false;
      auto failed = support::KeepNvram(j, kWholeImageNvram, nvram, [&](std::span<uint8_t> into) {
        return read = device::ReadFlash(j.dev, kWholeImageNvram, into);
      });
      j.host.Trace(read || !j.options.nvramFrom.empty() ? "NVRAM O.K." : "NVRAM fail");
      if (failed) return run.End(failed->code, failed->stage, failed->statusText, failed->reason);
    } else {
      j.host.Trace(device::ReadFlash(j.dev, kWholeImageNvram, nvram) ? "NVRAM O.K." : "NVRAM fail");
    }
    if (t.amicClass != -1 && t.amicClass != 4 && !SmallSectorAmic(t.amicClass))
      return run.Fail(Stage::Save, "Not Support this AMIC Flash Type!!",
                      "this AMIC flash (class " + std::to_string(t.amicClass) + ") is not supported; nothing was changed");
  }

  Result failure;
  if (!run.KeepRecovery(failure)) return failure;
  support::CriticalSection critical(j.host);

  j.host.EnterStage(Stage::Erase, 0);
  constexpr std::string_view kBusy = "Not ready after Erase flash success";
  const auto refused = [&] { return run.Fail(Stage::Erase, "Erase command fail!!", "the flash erase was refused"); };
  if (z <= 0x10000) {
    if (SmallSectorAmic(t.amicClass)) {
      // The small sectors at the bottom of the part, then the one that ends a 64 KiB image.
      for (uint32_t a : {0x0000u, 0x1000u, 0x3000u, 0x7000u})
        if (device::EraseFlashSector(j.dev, a)) SettleAfterErase(run, kBusy);
      if (f > 0x8000) {
        if (!device::EraseFlashSector(j.dev, 0xF000)) return refused();
        SettleAfterErase(run, kBusy);
      }
    } else {
      if (!device::EraseFlashSector(j.dev, 0)) return refused();
      SettleAfterErase(run, kBusy);
      if (f > 0x8000) {
        if (!device::EraseFlashSector(j.dev, 0x8000)) return refused();
        SettleAfterErase(run, kBusy);
      }
    }
  } else {
    if (!device::EraseFlashChip(j.dev)) return refused();
    SettleAfterErase(run, kBusy);
  }

  std::vector<uint8_t> back(z);
  j.host.EnterStage(Stage::Erase, 1);
  if (!device::ReadFlash(j.dev, 0, back))
    return run.Fail(Stage::Erase, "Read Back Erased Flash Error!!", "the erased flash could not be read back");
  j.host.Step();
  if (!support::AllErased(back)) return run.Fail(Stage::Erase, "Data not 0xff !!", "the flash is not blank after the erase");

  j.host.SetStatus("Programming");
  j.host.EnterStage(Stage::Program, steps + (small ? 1 : 0));
  bool written = true;
  for (uint32_t i = 0; i < steps && written; ++i) {
    written = device::WriteFlash(j.dev, i * unit, std::span<const uint8_t>(image).subspan(i * unit, unit));
    if (!written) break;
    j.host.AppendStatus(".");
    j.host.Step();
    j.host.Pump();
  }
  if (small) {
    if (!device::WriteFlash(j.dev, kWholeImageNvram, nvram))
      return run.Fail(Stage::Program, "Write NVRAM back command fail!",
                      "the NVRAM block was not written back (the recovery file holds it)");
    j.host.Trace("write NVRAM O.K.");
    j.host.Step();
  }
  if (!written) return run.Fail(Stage::Program, "Programming Fail!!", "a flash write was refused");

  // The verification covers the written-back NVRAM block too: it follows a small image directly.
  std::vector<uint8_t> expected = image;
  if (small) expected.insert(expected.end(), nvram.begin(), nvram.end());
  run.Sleep(kSleepBeforeVerify);
  device::WaitFlashReady(j.dev);
  back.assign(expected.size(), 0);
  j.host.EnterStage(Stage::ReadBack, 1);
  if (!device::ReadFlash(j.dev, 0, back)) return run.Fail(Stage::ReadBack, "Read Fail!!\r\n", "the flash could not be read back");
  j.host.Step();
  if (std::string diff = support::FirstDifference(back, expected, 0); !diff.empty())
    return run.Fail(Stage::ReadBack, "Compare Fail!!\r\n\r\n", diff);
  Result done = run.Done(Stage::ReadBack, "Programming Success!!");
  j.host.Message("Message", kPowerCycleSpaced);
  return done;
}

}  // namespace

bool ReadFlashChunked(Job& j, uint32_t address, std::span<uint8_t> buffer, uint32_t length) {
  if (!device::WaitFlashReady(j.dev)) j.host.Trace("0.1 Device initial not ready!!");
  const uint32_t unit = j.settings.TransferUnit;
  const uint32_t steps = Pieces(length, unit);
  j.host.SetStatus("ReadFlash...");
  j.host.Pump();
  std::vector<uint8_t> scratch(static_cast<size_t>(steps) * unit);
  for (uint32_t i = 0; i < steps; ++i) {
    device::WaitFlashReady(j.dev);
    if (!device::ReadFlash(j.dev, address + i * unit, std::span(scratch).subspan(i * unit, unit))) return false;
    j.host.AppendStatus(".");
    j.host.Step();
    j.host.Pump();
  }
  std::copy_n(scratch.begin(), std::min<size_t>(length, buffer.size()), buffer.begin());
  return true;
}

bool EraseSectorsChunked(Job& j, uint32_t length) {
  if (!device::WaitFlashReady(j.dev)) j.host.Trace("0.1 Device initial not ready!!");
  const uint32_t unit = j.settings.TransferUnit;
  const uint32_t steps = Pieces(length, unit);
  j.host.SetStatus("Erase...");
  j.host.Pump();
  for (uint32_t i = 0; i < steps; ++i) {
    if (!device::WaitFlashReady(j.dev) && i > 0) j.host.Trace("Not ready after Erase flash success");
    if (!device::EraseFlashSector(j.dev, i * unit)) return false;
    j.host.AppendStatus(".");
    j.host.Step();
    j.host.Pump();
  }
  return true;
}

Result EraseFlashVerified(Job& j) {
  shortflash::Run run(j);
  const Target& t = j.target;
  const uint32_t length = j.settings.FlashImageSize;
  Result failure;
  if (!run.KeepRecovery(failure)) return failure;
  j.host.SetStatus("Start Erase only!");
  device::WaitFlashReady(j.dev);

  support::CriticalSection critical(j.host);
  j.host.EnterStage(Stage::Erase, Pieces(length, j.settings.TransferUnit));
  const bool chipFirst = t.atmelClass != -1 || t.chip == ChipType::QVB789;
  if (!(chipFirst && device::EraseFlashChip(j.dev)) && !EraseSectorsChunked(j, length))
    return run.Fail(Stage::Erase, "Erase command fail!!", "the flash erase was refused");
  SettleAfterErase(run, "Not ready after Erase flash cmd success");
  if (t.chip == ChipType::QVB789 && t.vendor == FlashVendor::Sst) device::SpiChipErase(j.dev);
  for (int i = 0; i < 5 && !device::WaitFlashReady(j.dev); ++i) {
  }

  uint8_t id[4] = {};
  const bool scan = t.chip == ChipType::QVB789 && device::SpiReadId(j.dev, 0x9F, id) && id[0] == 0x8C &&
                    id[1] == 0x21 && id[2] == 0x15;
  if (scan) {
    // This part takes a sector erase at every 32 KiB step, each checked blank on its own.
    j.host.SetStatus("Erasing");
    j.host.EnterStage(Stage::Erase, kScanSteps);
    std::vector<uint8_t> back(kScanRead);
    for (uint32_t i = 0; i < kScanSteps; ++i) {
      const uint32_t a = i * kScanStep;
      j.host.AppendStatus(".");
      j.host.Step();
      j.host.Pump();
      device::WaitFlashReady(j.dev);
      if (!device::EraseFlashSector(j.dev, a)) continue;
      for (uint32_t half : {a, a + kScanRead}) {
        device::WaitFlashReady(j.dev);
        if (!device::ReadFlash(j.dev, half, back))
          return run.Fail(Stage::ReadBack, "Read back after erase fail!!", "an erased sector could not be read back");
        if (!support::AllErased(back)) return run.Fail(Stage::ReadBack, "Data not 0xff !!", "a sector is not blank after its erase");
      }
    }
  } else {
    std::vector<uint8_t> back(length);
    j.host.EnterStage(Stage::ReadBack, 1);
    // Without a read-back nothing says the flash is blank.
    if (!device::ReadFlash(j.dev, 0, back))
      return run.Fail(Stage::ReadBack, "Read Back Erased Flash Error!!", "the erased flash could not be read back");
    j.host.Step();
    if (!support::AllErased(back)) return run.Fail(Stage::ReadBack, "Data not 0xff !!", "the flash is not blank after the erase");
  }
  return run.Done(Stage::ReadBack, "Erase flash all success!");
}

Result BackupFlash(Job& j, uint32_t excludedHead) {
  shortflash::Run run(j);
  const Target& t = j.target;
  const std::string name = support::BackupFileName(j, "oldflash.bak");
  if (auto refused = support::RefuseBackupTarget(j, name)) return *refused;
  uint32_t length = j.settings.FlashImageSize;
  if (t.chip == ChipType::QVB789) {
    // Its whole flash; a size that is not known would give an empty file called a backup.
    if (t.flashSizeKiB == 0)
      return run.End(Result::Code::BadInput, Stage::ReadBack, "Read Back to Backup Error!!",
                     "the flash size of this chip is not known, so the backup length is not either");
    length = t.flashSizeKiB * 1024;
  }
  j.host.SetStatus("Backup ...");
  std::vector<uint8_t> bytes(length);
  bool ok;
  if (t.chip == ChipType::QVB789) {
    j.host.EnterStage(Stage::ReadBack, Pieces(length, j.settings.TransferUnit));
    ok = ReadFlashChunked(j, 0, bytes, length);
  } else {
    j.host.EnterStage(Stage::ReadBack, 1);
    ok = device::ReadFlash(j.dev, 0, bytes);
    j.host.Step();
  }
  if (!ok) return run.Fail(Stage::ReadBack, "Read Back to Backup Error!!", "the flash could not be read");
  const std::span<const uint8_t> keep = std::span<const uint8_t>(bytes).subspan(std::min(excludedHead, length));
  return support::WriteBackup(j, name, keep);
}

Result WholeImageProcedure(Job& j) {
  shortflash::Run run(j);
  const Target& t = j.target;
  if (t.atmelClass != -1) {
    device::SpiWriteEnable(j.dev);
    if (!device::WaitFlashStatusSet(j.dev, 0x02))
      return run.Fail(Stage::Save, "Enable ATMEL flash write enable fail!!", "the ATMEL flash did not set its write-enable latch");
  }
  if (t.vendor == FlashVendor::StEonMxic || t.vendor == FlashVendor::Mxic) device::UnprotectFlash(j.dev);
  if (j.options.eraseOnly) {
    Result r = EraseFlashVerified(j);
    if (r.Done()) j.host.Message("Message", support::kPowerCycle);
    return r;
  }
  if (j.options.backupOnly) return BackupFlash(j, 0);
  return Program(run);
}

}  // namespace qvfw::flash
