#include "flash/Stepwise.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>
#include <vector>

#include "device/Commands.h"
#include "device/FlashDescriptor.h"
#include "device/FlashOps.h"
#include "flash/ProcedureSupport.h"
#include "flash/ShortFlash.h"
#include "flash/WholeImage.h"

namespace qvfw::flash {
namespace {

using chips::ChipType;
using chips::FlashVendor;

constexpr uint8_t kMagic[4] = {0x55, 0xAA, 0xAA, 0x55};
constexpr uint8_t kMagic789[4] = {0xE9, 0xAC, 0x67, 0x32};
// A QVB789 image with a head brings these bytes of the NVRAM region itself.
constexpr uint32_t kImageOwnedFrom = 128, kImageOwnedTo = 208;

// The families whose images always start with the NVRAM head.
bool HeadAlways(ChipType t) {
  const unsigned c = chips::Code(t);
  return (c >= 12 && c <= 18) || c == 27;
}

bool BlockAt(std::span<const uint8_t> image, size_t offset, const uint8_t (&magic)[4], std::string_view key, bool needKey) {
  if (offset > image.size() || image.size() - offset < 10) return false;
  const uint8_t* block = image.data() + offset;
  if (std::memcmp(block, magic, 4) != 0) return false;
  return !needKey || (key.size() >= 3 && std::memcmp(block + 4, key.data(), 3) == 0);
}

// Both procedures: erase in 32 KiB steps, then write and verify 16 KiB steps. `page` selects the
// variant that programs through raw SPI from the image's first byte and carries no NVRAM.
Result Stepwise(Job& j, bool page) {
  shortflash::Run run(j);
  const Target& t = j.target;
  const ChipType chip = t.chip;
  j.imageHasNvram = HeadAlways(chip) || ImageHasNvramHead(j.options.firmwareFile, chip) ? 1 : 0;
  // Keep the device's NVRAM unless the image brings its own and the user asked to include it.
  const bool keep = !page && !(j.imageHasNvram && j.options.includeNvram);

  std::vector<uint8_t> nvram;
  if (keep) {
    nvram.assign(kStepNvramSize, 0);
    const auto read = [&](std::span<uint8_t> into) {
      device::WaitFlashReady(j.dev);
      return device::ReadFlash(j.dev, 0, into);
    };
    if (auto failed = support::KeepNvram(j, 0, nvram, read)) return *failed;
  }
  if (!page && t.atmelClass != -1) {
    device::SpiWriteEnable(j.dev);
    if (!device::WaitFlashStatusSet(j.dev, 0x02))
      return run.Fail(Stage::Save, "Enable ATMEL flash write enable fail!!", "the ATMEL flash did not set its write-enable latch");
  }
  const bool unprotect = page ? t.vendor == FlashVendor::Mxic
                              : (t.vendor == FlashVendor::StEonMxic || t.vendor == FlashVendor::Mxic) &&
                                    chip != ChipType::QVB789;
  if (unprotect) device::UnprotectFlash(j.dev);

  if (j.options.eraseOnly) {
    if (chip == ChipType::QVS882) device::PrepareFlashWrite(j.dev);
    Result r = EraseFlashVerified(j);
    // The NVRAM goes back whenever the erase may have reached it, also after a failed check.
    if (!page && !j.options.includeNvram && r.stage != Stage::Save) {
      device::WaitFlashReady(j.dev);
      if (!device::WriteFlash(j.dev, 0, nvram)) {
        j.host.SetStatus("Write NVRAM back command fail!");
        r.code = Result::Code::Failed;
        r.stage = Stage::Program;
        r.statusText = "Write NVRAM back command fail!";
        r.reason = "the flash is erased but its NVRAM was not written back (the recovery file holds it)";
      }
    }
    if (r.Done()) j.host.Message("Message", support::kPowerCycle);
    return r;
  }
  if (j.options.backupOnly) return BackupFlash(j, !page && !j.options.includeNvram ? kStepNvramSize : 0);

  const auto file = device::ReadImageBytes(j.options.firmwareFile);
  if (!file || file->empty())
    return run.End(Result::Code::BadInput, Stage::Save, "Open File Error!!",
                   j.options.firmwareFile + (file ? ": the file is empty" : ": cannot be opened as a file"));
  // With its head skipped, such an image would leave the code area erased and call it programmed.
  if (j.imageHasNvram && keep && file->size() <= kStepNvramSize)
    return run.End(Result::Code::BadInput, Stage::Save, "Open File Error!!",
                   j.options.firmwareFile + ": the image holds nothing beyond its 4 KiB NVRAM head");
  const uint32_t d = std::max<uint32_t>(static_cast<uint32_t>(file->size()), kStepWriteSize);
  const uint32_t total = support::RoundUp(page || j.imageHasNvram ? d : d + kStepNvramSize, kStepWriteSize);
  const uint32_t eraseSteps = (total + kStepEraseSize - 1) / kStepEraseSize;
  if (Result refused = run.RefuseBeyondFlash(total); !refused.Done()) return refused;
  if (chip == ChipType::QVS882) device::PrepareFlashWrite(j.dev);

  Result failure;
  if (!run.KeepRecovery(failure)) return failure;
  support::CriticalSection critical(j.host);

  j.host.SetStatus("Erasing");
  j.host.EnterStage(Stage::Erase, eraseSteps);
  if (page && chip == ChipType::QVB789 && t.vendor == FlashVendor::Sst) device::SpiChipErase(j.dev);
  std::vector<uint8_t> back(kStepWriteSize);
  for (uint32_t q = 0; q < eraseSteps; ++q) {
    const uint32_t a = q * kStepEraseSize;
    device::WaitFlashReady(j.dev);
    if (!device::EraseFlashSector(j.dev, a)) return run.Fail(Stage::Erase, "Erase command fail!!", "the flash erase was refused");
    j.host.AppendStatus(".");
    j.host.Step();
    for (uint32_t half : {a, a + kStepWriteSize}) {
      device::WaitFlashReady(j.dev);
      if (!device::ReadFlash(j.dev, half, back))
        return run.Fail(Stage::Erase, "Read back after erase fail!!", "an erased step could not be read back");
      if (!support::AllErased(back)) return run.Fail(Stage::Erase, "Data not 0xff !!", "the flash is not blank after the erase");
    }
  }

  j.host.SetStatus("Programming");
  j.host.EnterStage(Stage::Program, total / kStepWriteSize);
  size_t position = 0;
  if (j.imageHasNvram && keep) {
    if (chip == ChipType::QVB789 && file->size() >= kImageOwnedTo)
      std::copy(file->begin() + kImageOwnedFrom, file->begin() + kImageOwnedTo, nvram.begin() + kImageOwnedFrom);
    position = kStepNvramSize;  // the image's own head is not written
  }
  const auto take = [&](std::span<uint8_t> into) {
    const size_t n = std::min(into.size(), file->size() - std::min(position, file->size()));
    std::fill(into.begin(), into.end(), 0);
    std::copy_n(file->begin() + static_cast<long>(position), n, into.begin());
    position += n;
    return n;
  };
  // One step: write, read back, compare.
  const auto step = [&](uint32_t w, std::span<const uint8_t> bytes, Result& out) {
    bool ok;
    if (page) {
      ok = device::SpiProgram(j.dev, w, bytes.data(), static_cast<uint32_t>(bytes.size()), chips::Code(t.vendor), t.sst25);
      j.host.Pump();
    } else {
      device::WaitFlashReady(j.dev);
      ok = device::WriteFlash(j.dev, w, bytes);
    }
    if (!ok) {
      out = run.Fail(Stage::Program, "Write command fail!", "a flash write was refused");
      return false;
    }
    device::WaitFlashReady(j.dev);
    std::vector<uint8_t> check(bytes.size());
    if (!device::ReadFlash(j.dev, w, check)) {
      out = run.Fail(Stage::ReadBack, "Write command fail!", "a written step could not be read back");
      return false;
    }
    if (std::string diff = support::FirstDifference(check, bytes, w); !diff.empty()) {
      out = run.Fail(Stage::ReadBack, "Data compare fail !!", diff);
      return false;
    }
    j.host.AppendStatus(".");
    j.host.Step();
    return true;
  };

  std::vector<uint8_t> write(kStepWriteSize), slice(kStepWriteSize);
  std::vector<uint8_t> carry = nvram;
  uint32_t w = 0;
  Result out;
  for (;;) {
    if (keep) {
      if (take(slice) == 0) break;
      std::copy(carry.begin(), carry.end(), write.begin());
      std::copy_n(slice.begin(), kStepWriteSize - kStepNvramSize, write.begin() + kStepNvramSize);
    } else if (take(write) == 0) {
      break;
    }
    if (!step(w, write, out)) return out;
    if (keep) std::copy(slice.end() - kStepNvramSize, slice.end(), carry.begin());
    w += kStepWriteSize;
  }
  // The last carry: what the last full slice pushed past its step.
  if (keep && w != total && !step(w, carry, out)) return out;

  Result done = run.Done(Stage::ReadBack, "Programming Success!!");
  j.host.Message("Message", support::kPowerCycle);
  return done;
}

}  // namespace

bool ImageHasNvramHead(const std::string& imageFile, ChipType chip) {
  const auto image = device::ReadImageBytes(imageFile);
  if (!image) return false;
  const std::string_view key = chips::ChipModelKey(chip);
  // A signature block at the very start: the image begins with code, not with an NVRAM head.
  if (BlockAt(*image, 0, kMagic, key, false)) return false;
  if (BlockAt(*image, kStepNvramSize, kMagic, key, true)) return true;
  return chip == ChipType::QVB789 && BlockAt(*image, kImageOwnedFrom, kMagic789, key, true);
}

Result StepwiseProcedure(Job& j) { return Stepwise(j, false); }
Result StepwisePageProcedure(Job& j) { return Stepwise(j, true); }

}  // namespace qvfw::flash
