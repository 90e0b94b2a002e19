#include "flash/EraseOnWrite.h"


#include <algorithm>
#include <array>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "device/FlashDescriptor.h"
#include "device/Commands.h"
#include "device/FlashOps.h"
#include "device/HostMistakes.h"
#include "codec/ImageChecksum.h"
#include "flash/ProcedureSupport.h"

namespace qvfw::flash {
namespace {

using chips::ChipType;
using chips::FlashVendor;
using support::AllErased;
using support::Finish;
using support::kPowerCycle;
using support::RoundUp;
using support::Sleep;
using support::WithRecovery;

constexpr uint32_t kNvramSize = 4096;
constexpr uint32_t kBank = 0x10000;
constexpr std::string_view kAutoReset = "Chip Auto reset, Please wait device re-attached!";

bool Qvs81x(ChipType t) { return t >= ChipType::QVS812 && t <= ChipType::QVS818; }
bool StorageLine(ChipType t) { return (t >= ChipType::QVS876 && t <= ChipType::QVS818) || t == ChipType::QVS879; }
// The chips whose code area ends before an NVRAM region and carries the image checksum.
bool ChecksumChip(ChipType t) { return t == ChipType::QVS876 || t == ChipType::QVS813 || t == ChipType::QVS879; }

// Keeps the whole flash as a recovery file before anything is changed: the third programming
// attempt and the whole-flash erase clear all of it. A flash whose size is not known gets no
// partial copy: the run stops unless the options skip the copy.
bool KeepRecovery(Job& j, Result& r) {
  if (j.options.skipRecovery) return true;
  if (j.target.flashBytes == 0) {
    r = Finish(j.host, Result::Code::Failed, Stage::Save, "Flash size unknown!!",
               "the flash's size is not known, so no recovery copy of the whole flash can be kept; nothing was "
               "changed (--no-backup runs without one)");
    return false;
  }
  support::RecoveryCopy copy;
  copy.length = j.target.flashBytes;
  copy.pieces = (copy.length + j.settings.TransferUnit - 1) / j.settings.TransferUnit;
  copy.read = [&](std::span<uint8_t> bytes) { return ReadFlashRange(j, 0, bytes); };
  return support::KeepRecovery(j, copy, r);
}

// Reads the NVRAM region at `address` into `saved` (twice, within a Save stage of `pieces`
// transfers each), or takes it from where the options say; the failed outcome when it could not
// be kept (nothing was changed yet).
std::optional<Result> SaveNvram(Job& j, uint32_t address, std::span<uint8_t> saved, uint32_t pieces) {
  j.host.EnterStage(Stage::Save, 2 * pieces);
  return support::KeepNvram(j, address, saved, [&](std::span<uint8_t> into) { return ReadFlashRange(j, address, into); });
}

// The flash holds what it should, but the bridge did not take the reset that starts it: the device
// runs its old code until its power is cycled, so the run is not a success.
Result ResetRefused(Job& j, Result r) {
  j.host.Message("Message", kPowerCycle);
  r.code = Result::Code::Failed;
  r.reason = "the flash was written and verified, but the bridge did not take the reset command: turn its power off and on";
  return r;
}

// Sends a restart command; true when the bridge took it. A bridge that restarts drops off the bus
// right after its status, and the host's transport may then fail the command although the bridge
// carried it out (usb-storage reports a host error, with SCSI status GOOD). An answer lost that
// way is judged by whether the bridge is still there: one that no longer answers at its path is
// restarting; one that answers did not restart. A CHECK CONDITION is a refusal, and a command that
// never reached the bridge (its path could not be opened) restarted nothing.
bool RestartTaken(const device::Device& dev, const std::function<bool()>& send) {
  dev.transport().ClearFailure();
  if (send()) return true;
  const auto& failure = dev.transport().LastFailure();
  if (!failure || !failure->result.opened) return false;
  if (failure->result.ioctlOk && failure->result.osError == 0) return false;
  std::array<uint8_t, 36> inquiry{};
  return !device::Inquiry(dev, inquiry);
}

}  // namespace

uint32_t FlashImageLength(const Target& t, const Settings& s) {
  uint32_t length = s.FlashImageSize;
  if (StorageLine(t.chip) && t.flashSizeKiB > 64) {
    if (Qvs81x(t.chip)) length = std::min<uint32_t>(t.flashSizeKiB * 1024, 0x80000);
    else length = 0x20000;
  }
  return length;
}

bool ReadFlashRange(Job& j, uint32_t address, std::span<uint8_t> out) {
  j.host.SetStatus("ReadFlash...");
  if (out.empty()) return false;
  const uint32_t rounded = RoundUp(static_cast<uint32_t>(out.size()), 512);
  std::vector<uint8_t> scratch(rounded);
  bool ok = false;
  for (uint32_t done = 0; done < rounded;) {
    const uint32_t piece = std::min(rounded - done, j.settings.TransferUnit);
    device::WaitFlashReady(j.dev);
    ok = device::ReadFlashLong(j.dev, address + done, std::span(scratch).subspan(done, piece));
    if (!ok) break;
    done += piece;
    j.host.AppendStatus(".");
    j.host.Step();
    j.host.Pump();
  }
  std::copy_n(scratch.begin(), out.size(), out.begin());
  return ok;
}

uint8_t EraseRequest(Settings& s, FlashVendor vendor, uint8_t m, uint32_t a, uint32_t& clipTo) {
  const uint8_t low = m & 0x7F;
  bool erase = false;
  clipTo = 0;
  if (low == 1 || low == 4) {
    if (a >= s.SectorEraseUnit * s.SectorCounter) {
      ++s.SectorCounter;
      erase = true;
    }
    clipTo = s.SectorEraseUnit * s.SectorCounter;
  } else if (low == 2 || low == 5) {
    if (a >= s.BlockEraseUnit * s.BlockCounter) {
      ++s.BlockCounter;
      erase = true;
    }
    clipTo = s.BlockEraseUnit * s.BlockCounter;
  } else if (low == 3 || low == 6 || low == 7) {
    erase = a == 0;
  }
  if (!erase) return 0;
  uint8_t request = m & 7;
  if (a == 0 && vendor == FlashVendor::Mxic) request |= 0x80;
  return request;
}

bool WriteFlashRange(Job& j, uint32_t address, std::span<const uint8_t> data, uint8_t eraseMode) {
  const uint32_t rounded = RoundUp(static_cast<uint32_t>(data.size()), 512);
  std::vector<uint8_t> scratch(rounded, 0);
  std::copy(data.begin(), data.end(), scratch.begin());
  for (uint32_t done = 0; done < rounded;) {
    const uint32_t a = address + done;
    uint32_t piece = std::min(rounded - done, j.settings.TransferUnit);
    if (a == 0 && piece > 4096) piece = 4096;
    uint32_t clipTo = 0;
    const uint8_t request = EraseRequest(j.settings, j.target.vendor, eraseMode, a, clipTo);
    if (clipTo > a && a + piece >= clipTo) piece = clipTo - a;
    device::WaitFlashReady(j.dev);
    const auto bytes = std::span<const uint8_t>(scratch).subspan(done, piece);
    bool ok;
    if (Qvs81x(j.target.chip) && request >= 1 && request <= 3) {
      ok = device::WriteFlashLong(j.dev, request, a, {}) && device::WriteFlashLong(j.dev, 0, a, bytes);
    } else {
      ok = device::WriteFlashLong(j.dev, request, a, bytes);
    }
    if (!ok) return false;
    done += piece;
    j.host.AppendStatus(".");
    j.host.Step();
    j.host.Pump();
  }
  return true;
}

bool EraseByOverwrite(Job& j, uint32_t length) {
  std::vector<uint8_t> ff(length, 0xFF);
  j.host.SetStatus("Erase...");
  return WriteFlashRange(j, 0, ff, 1);
}

Result EraseWholeFlash(Job& j) {
  const ChipType t = j.target.chip;
  const FlashVendor v = j.target.vendor;
  j.host.SetStatus("Start Erase only!");
  j.settings.BlockCounter = 0;
  j.settings.SectorCounter = 0;
  if (t == ChipType::QVS882) device::PrepareFlashWrite(j.dev);
  const uint32_t nvram = chips::Family(t).nvramAddress;
  const uint32_t length = FlashImageLength(j.target, j.settings);

  std::vector<uint8_t> saved;
  if (!j.options.includeNvram) {
    saved.resize(kNvramSize);
    if (auto failed = SaveNvram(j, nvram, saved, 1)) return *failed;
  }
  Result r;
  if (!KeepRecovery(j, r)) return r;

  uint8_t mode = 3;
  if (v == FlashVendor::Mxic) mode = 0x83;
  else if (v == FlashVendor::Eon || v == FlashVendor::Atmel) mode = 2;
  const uint32_t eraseLength = Qvs81x(t) ? 0 : j.settings.EraseOnlyLength;
  const std::vector<uint8_t> ff(eraseLength, 0xFF);

  support::CriticalSection critical(j.host);
  j.host.EnterStage(Stage::Erase, 0);
  if (!device::WriteFlashLong(j.dev, mode, 0, ff))
    return WithRecovery(Finish(j.host, Result::Code::Failed, Stage::Erase, "Erase command fail!!", "the erase request was refused"), r);
  Sleep(j, 500);
  if (v == FlashVendor::Atmel) {
    device::WriteFlashLong(j.dev, mode, 0x8000, ff);
    Sleep(j, 500);
  }
  std::vector<uint8_t> check(length);
  j.host.EnterStage(Stage::ReadBack, (length + j.settings.TransferUnit - 1) / j.settings.TransferUnit);
  bool readOk = ReadFlashRange(j, 0, check);
  if (readOk && !AllErased(check)) {
    bool second;
    if (v == FlashVendor::Mxic) {
      device::WaitFlashReady(j.dev);
      second = device::WriteFlashLong(j.dev, mode & 0x7F, 0, ff);
    } else {
      j.settings.SectorCounter = 0;
      second = EraseByOverwrite(j, length);
    }
    if (second) {
      Sleep(j, 500);
      j.host.SetStatus("Erase flash all success!");
    }
    readOk = ReadFlashRange(j, 0, check);
    if (readOk && !AllErased(check))
      return WithRecovery(
          Finish(j.host, Result::Code::Failed, Stage::ReadBack, "Data not 0xff !!", "the flash is not blank after a second erase"), r);
  }
  // The NVRAM goes back also when the blank check could not be read: the erase was taken, and
  // the NVRAM lives nowhere else but in the recovery file.
  bool nvramBack = true;
  if (!saved.empty()) {
    device::WaitFlashReady(j.dev);
    j.host.EnterStage(Stage::Program, 1);
    nvramBack = WriteFlashRange(j, nvram, saved, 0);
  }
  Result out;
  if (!nvramBack) {
    out = Finish(j.host, Result::Code::Failed, Stage::Program, "Write NVRAM back command fail!",
                 readOk ? "the flash is erased but its NVRAM was not written back (the recovery file holds it)"
                        : "the erased flash could not be read back, and its NVRAM was not written back (the recovery "
                          "file holds it)");
  } else if (!readOk) {
    // Without a read-back nothing says the flash is blank.
    out = Finish(j.host, Result::Code::Failed, Stage::ReadBack, "Read command fail!",
                 saved.empty() ? "the erased flash could not be read back"
                               : "the erased flash could not be read back (its NVRAM was written back)");
  } else {
    out = Finish(j.host, Result::Code::Done, Stage::ReadBack, "Erase flash all success!");
  }
  out.recoveryFile = r.recoveryFile;
  return out;
}

Result BackupFlashToFile(Job& j, uint32_t excludedNvram) {
  const ChipType t = j.target.chip;
  const uint32_t length = FlashImageLength(j.target, j.settings);
  const std::string name = support::BackupFileName(j);
  if (auto refused = support::RefuseBackupTarget(j, name)) return *refused;
  j.host.SetStatus("Backup ...");
  std::vector<uint8_t> bytes(length);
  j.host.EnterStage(Stage::ReadBack, (length + j.settings.TransferUnit - 1) / j.settings.TransferUnit);
  bool ok;
  std::span<const uint8_t> keep(bytes);
  if (j.options.readWriteBuffer && Qvs81x(t)) {
    // The buffer reads as much as it holds; the rest of the file would be zeros called flash.
    if (const auto capacity = j.host.BufferCapacity(j.dev); capacity && length > *capacity)
      return Finish(j.host, Result::Code::BadInput, Stage::ReadBack, "Read Back to Backup Error!!",
                    "the bridge's download buffer reads " + std::to_string(*capacity / 1024) + " KiB, the flash holds " +
                        std::to_string(length / 1024) + " KiB; nothing was written (without --buffer it is read directly)");
    ok = j.host.BufferRead(j.dev, bytes);
  } else {
    ok = ReadFlashRange(j, 0, bytes);
    if (excludedNvram > 0) {
      if (t == ChipType::QVB788 || t == ChipType::QVB788Alias || t == ChipType::QVS882) keep = keep.subspan(excludedNvram);
      else if (t == ChipType::QVS876 || t == ChipType::QVS813) keep = keep.first(0xC000);
      else if (t == ChipType::QVS879) keep = keep.first(0x8000);
    }
  }
  if (!ok) return Finish(j.host, Result::Code::Failed, Stage::ReadBack, "Read Back to Backup Error!!", "the flash could not be read");
  return support::WriteBackup(j, name, keep);
}

Result ProgramImage(Job& j) {
  const ChipType t = j.target.chip;
  const FlashVendor v = j.target.vendor;
  const chips::ChipFamily& family = chips::Family(t);
  const bool q81x = Qvs81x(t);
  const bool bufferPath = q81x && j.options.readWriteBuffer;
  const uint32_t nvram = family.nvramAddress;

  std::vector<uint8_t> saved;
  if (!q81x) {
    if (t == ChipType::QVS882) device::PrepareFlashWrite(j.dev);
    j.imageHasNvram = 1;
    if (!j.options.includeNvram) {
      saved.resize(kNvramSize);
      if (auto failed = SaveNvram(j, nvram, saved, 1)) return *failed;
    }
  }
  const auto file = device::ReadImageBytes(j.options.firmwareFile);
  if (!file || file->empty())
    return Finish(j.host, Result::Code::BadInput, Stage::Save, "Open File Error!!",
                  j.options.firmwareFile + (file ? ": the file is empty" : ": cannot be opened as a file"));
  const uint32_t size = static_cast<uint32_t>(file->size());
  uint32_t length = RoundUp(size, 256);
  const uint32_t flashBytes = j.target.flashSizeKiB * 1024;
  // Compared in bytes: the content buffer below is the flash's size, so an image longer by less
  // than a KiB must not pass either.
  if (q81x && length > flashBytes)
    return Finish(j.host, Result::Code::BadInput, Stage::Save, "FW size > flash size!!",
                  "the image is larger than the flash (" + std::to_string(j.target.flashSizeKiB) + " KiB)");
  const bool doubled = q81x && size == 0x20000;
  if (doubled && flashBytes < 0x40000)
    return Finish(j.host, Result::Code::BadInput, Stage::Save, "FW size > flash size!!",
                  "a 128 KiB image is written twice and needs 256 KiB of flash");

  uint32_t bufferLength = q81x ? flashBytes : length;
  if (ChecksumChip(t)) bufferLength = std::max(bufferLength, nvram + kNvramSize);  // short images go padded
  bufferLength = std::max(bufferLength, kNvramSize);
  bufferLength = RoundUp(bufferLength, 8192);
  std::vector<uint8_t> image(bufferLength, 0);

  if (!q81x && j.imageHasNvram && j.options.includeNvram) {
    std::copy(file->begin(), file->end(), image.begin());
  } else if (StorageLine(t)) {
    std::copy(file->begin(), file->end(), image.begin());
    if (!saved.empty()) std::copy(saved.begin(), saved.end(), image.begin() + nvram);
    if (doubled) {
      std::copy(file->begin(), file->end(), image.begin() + 0x20000);
      length *= 2;
    }
  } else if (!saved.empty()) {
    std::copy(saved.begin(), saved.end(), image.begin());
    if (size > kNvramSize) std::copy(file->begin() + kNvramSize, file->end(), image.begin() + kNvramSize);
  } else {
    std::copy(file->begin(), file->end(), image.begin());
  }

  int banks = 1;
  if (ChecksumChip(t)) {
    if (t != ChipType::QVS813) {
      banks = j.target.flashSizeKiB > 127 ? 2 : 1;
      length = std::min(length, kBank);
    }
    if (size <= kBank) codec::StoreImageChecksum(image, family.codeAreaEnd);
  }

  // The download buffer takes the image whole or the bridge programs only its first part, after
  // an erase of all of the flash.
  if (bufferPath) {
    if (const auto capacity = j.host.BufferCapacity(j.dev); capacity && length > *capacity)
      return Finish(j.host, Result::Code::BadInput, Stage::Save, "FW size > flash size!!",
                    "the image (" + std::to_string(length / 1024) + " KiB) is larger than the bridge's download buffer (" +
                        std::to_string(*capacity / 1024) + " KiB); nothing was changed (without --buffer it is written "
                        "directly)");
  }

  Result r;
  if (!KeepRecovery(j, r)) return r;
  support::CriticalSection critical(j.host);

  j.host.SetStatus("Programming");
  j.settings.BlockCounter = 0;
  j.settings.SectorCounter = 0;
  if (v == FlashVendor::Mxic) {
    device::WaitFlashReady(j.dev);
    const bool ok = q81x ? (bufferPath ? true : device::WriteFlashLong(j.dev, 2, 0, {}))
                         : device::WriteFlashLong(j.dev, 2, 0, std::span<const uint8_t>(image).first(4096));
    if (ok && !(q81x && bufferPath)) Sleep(j, 500);
  }
  const uint8_t mode = v == FlashVendor::Amic ? 3 : j.settings.DefaultWriteEraseMode;

  std::string failure, reason;
  bool programmed = false;
  if (!bufferPath) {
    if (q81x && !j.options.writeAsIs && device::SupportsReadBuffer(j.dev)) j.host.StampRamDownloadHeader(image);
    // Where the NVRAM was saved, the write reaches over it: the erase requests of the write clear
    // whole erase units, and the device's unit may be as large as the bank.
    uint32_t writeLength = length;
    if (!saved.empty() && ChecksumChip(t)) writeLength = std::max(writeLength, nvram + kNvramSize);
    std::vector<uint8_t> back(writeLength);
    bool allBanks = true;
    for (int k = 0; k < banks; ++k) {
      const uint32_t start = k == 0 ? 0 : kBank;
      if (k == 1 && size > 0x1FFFF) std::copy_n(image.begin() + kBank, kBank, image.begin());
      bool ok = false;
      for (int attempt = 0; attempt < 3 && !ok; ++attempt) {
        const uint8_t m = attempt == 0 ? mode : attempt == 1 ? 1 : 3;
        // Each attempt erases anew from the bank's start.
        j.settings.BlockCounter = start / j.settings.BlockEraseUnit;
        j.settings.SectorCounter = start / j.settings.SectorEraseUnit;
        j.host.SetStatus("Programming");
        const uint32_t pieces = (writeLength + j.settings.TransferUnit - 1) / j.settings.TransferUnit + 1;
        j.host.EnterStage(Stage::Program, pieces);
        if (!WriteFlashRange(j, start, std::span<const uint8_t>(image).first(writeLength), m)) {
          failure = "Write Bin File fail!";
          reason = "a flash write was refused";
          j.host.SetStatus(failure);
          continue;
        }
        device::WaitFlashReady(j.dev);
        j.host.EnterStage(Stage::ReadBack, pieces);
        if (!ReadFlashRange(j, start, back)) {
          failure = "Read command fail!";
          reason = "the flash could not be read back";
          j.host.SetStatus(failure);
          continue;
        }
        if (std::string diff = support::FirstDifference(back, image, start); !diff.empty()) {
          failure = "Data compare fail !!";
          reason = diff;
          j.host.SetStatus(failure);
          continue;
        }
        ok = true;
      }
      allBanks = allBanks && ok;
    }
    programmed = allBanks;
  } else {
    uint8_t info[16] = {};
    if (!device::ReadChipInfo(j.dev, info))
      return WithRecovery(Finish(j.host, Result::Code::Failed, Stage::Program, "", "the chip information did not answer"), r);
    const bool plain = info[6] == 3;
    if (!plain) j.host.StampRamDownloadHeader(image);
    const uint32_t compareLength = std::min<uint32_t>(plain ? 0x20000 : length, bufferLength);
    std::vector<uint8_t> back(bufferLength);
    for (int attempt = 0; attempt < 3 && !programmed; ++attempt) {
      j.host.SetStatus("Programming");
      bool ok = true;
      for (int pass = 0; pass < 2 && ok; ++pass) {
        j.host.EnterStage(Stage::Program, 0);
        if (!j.host.BufferProgram(j.dev, image)) {
          failure = "Write Bin File fail!";
          reason = "WRITE BUFFER was refused";
          ok = false;
        } else if (j.host.EnterStage(Stage::ReadBack, 0); !j.host.BufferRead(j.dev, back)) {
          failure = "Read FW fail!";
          reason = "READ BUFFER was refused";
          ok = false;
        } else if (std::string diff = support::FirstDifferenceOutsideHeaders(back, image, compareLength);
                   !diff.empty()) {
          failure = "Data compare fail !!";
          reason = diff;
          ok = false;
        }
        if (!ok) j.host.SetStatus(failure);
      }
      programmed = ok;
    }
  }
  if (!programmed) return WithRecovery(Finish(j.host, Result::Code::Failed, Stage::ReadBack, failure, reason), r);

  Result done = WithRecovery(Finish(j.host, Result::Code::Done, Stage::ReadBack, "Programming Success!!"), r);
  if (StorageLine(t)) {
    bool reset = true;
    if (!bufferPath) reset = RestartTaken(j.dev, [&] { return device::ResetChip(j.dev); });
    else if (j.target.chipResetMode == 1)
      reset = RestartTaken(j.dev, [&] { return device::QV_WriteBuffer(j.dev, 0, 0x0F, nullptr, 0, 0); });
    if (!reset) return ResetRefused(j, done);
    j.host.Message("Message", j.target.chipResetMode == 1 ? kAutoReset : kPowerCycle);
  } else {
    j.host.Message("Message", kPowerCycle);
  }
  return done;
}

bool WriteFlashRangeShort(Job& j, uint32_t address, std::span<const uint8_t> data) {
  const uint32_t rounded = RoundUp(static_cast<uint32_t>(data.size()), 256);
  std::vector<uint8_t> scratch(rounded, 0);
  std::copy(data.begin(), data.end(), scratch.begin());
  for (uint32_t done = 0; done < rounded;) {
    const uint32_t a = address + done;
    const uint32_t piece = std::min(rounded - done, j.settings.TransferUnit);
    device::WaitFlashReady(j.dev);
    if (!device::WriteFlashShort(j.dev, a == 0 || a == 0x8000, a, std::span<const uint8_t>(scratch).subspan(done, piece)))
      return false;
    done += piece;
    j.host.Step();
    if ((address + done) % 0x800 == 0x100) j.host.AppendStatus(".");
    j.host.Pump();
  }
  return true;
}

namespace {
constexpr uint32_t k1394Nvram = 0x8000;
constexpr uint32_t k1394NvramSize = 1024;
}  // namespace

Result Erase1394(Job& j) {
  j.host.SetStatus("Start Erase only!");
  std::vector<uint8_t> saved(k1394NvramSize);
  if (auto failed = SaveNvram(j, k1394Nvram, saved, 4)) return *failed;
  Result r;
  if (!KeepRecovery(j, r)) return r;
  support::CriticalSection critical(j.host);
  j.host.EnterStage(Stage::Erase, 0);
  const std::vector<uint8_t> ff(256, 0xFF);
  device::WriteFlashShort(j.dev, true, 0, ff);
  Sleep(j, 500);
  if (!device::WriteFlashShort(j.dev, true, k1394Nvram, ff))
    return WithRecovery(Finish(j.host, Result::Code::Failed, Stage::Erase, "Erase flash command fail!", "the erase request was refused"), r);
  j.host.SetStatus("Erase flash all success!");
  std::vector<uint8_t> check(0x10000);
  j.host.EnterStage(Stage::ReadBack, 0x10000 / j.settings.TransferUnit);
  if (!ReadFlashRange(j, 0, check)) {
    // The erase was taken: the NVRAM goes back although nothing says the flash is blank.
    j.host.EnterStage(Stage::Program, k1394NvramSize / j.settings.TransferUnit);
    const bool back = WriteFlashRangeShort(j, k1394Nvram, saved);
    return WithRecovery(Finish(j.host, Result::Code::Failed, back ? Stage::ReadBack : Stage::Program,
                               back ? "Read command fail!" : "Write NVRAM back command fail!",
                               back ? "the erased flash could not be read back (its NVRAM was written back)"
                                    : "the erased flash could not be read back, and its NVRAM was not written back "
                                      "(the recovery file holds it)"),
                        r);
  }
  if (!AllErased(check))
    return WithRecovery(Finish(j.host, Result::Code::Failed, Stage::ReadBack, "Data not 0xff !!", "the flash is not blank after the erase"), r);
  j.host.EnterStage(Stage::Program, k1394NvramSize / j.settings.TransferUnit);
  if (!WriteFlashRangeShort(j, k1394Nvram, saved))
    return WithRecovery(Finish(j.host, Result::Code::Failed, Stage::Program, "Write NVRAM back command fail!",
                               "the flash is erased but its NVRAM was not written back (the recovery file holds it)"), r);
  return WithRecovery(Finish(j.host, Result::Code::Done, Stage::Program, "Erase flash all success!"), r);
}

Result Program1394(Job& j) {
  const auto file = device::ReadImageBytes(j.options.firmwareFile);
  if (!file || file->empty())
    return Finish(j.host, Result::Code::BadInput, Stage::Save, "Open File Error!!",
                  j.options.firmwareFile + (file ? ": the file is empty" : ": cannot be opened as a file"));
  const uint32_t size = static_cast<uint32_t>(file->size());
  const uint32_t length = RoundUp(std::max<uint32_t>(size, 0x8000), 256);
  std::vector<uint8_t> image(RoundUp(std::max(length, k1394Nvram + k1394NvramSize), 8192), 0);
  std::copy(file->begin(), file->end(), image.begin());
  Result r;
  const auto ending = [&](Result f) {
    f.recoveryFile = r.recoveryFile;
    j.host.Message("Message", kPowerCycle);
    return f;
  };
  if (length <= 0x8000) {
    std::vector<uint8_t> saved(k1394NvramSize);
    if (auto failed = SaveNvram(j, k1394Nvram, saved, 4)) return ending(*failed);
    std::copy(saved.begin(), saved.end(), image.begin() + k1394Nvram);
  }
  if (!KeepRecovery(j, r)) return ending(r);
  support::CriticalSection critical(j.host);
  j.host.SetStatus("Programming");
  j.host.EnterStage(Stage::Program, length / j.settings.TransferUnit);
  if (!WriteFlashRangeShort(j, 0, std::span<const uint8_t>(image).first(length)))
    return ending(Finish(j.host, Result::Code::Failed, Stage::Program, "Write Bin File fail!", "a flash write was refused"));
  device::WaitFlashReady(j.dev);
  std::vector<uint8_t> back(length);
  j.host.EnterStage(Stage::ReadBack, length / j.settings.TransferUnit);
  if (!ReadFlashRange(j, 0, back))
    return ending(Finish(j.host, Result::Code::Failed, Stage::ReadBack, "Read command fail!", "the flash could not be read back"));
  if (std::string diff = support::FirstDifference(back, image, 0); !diff.empty())
    return ending(Finish(j.host, Result::Code::Failed, Stage::ReadBack, "Data compare fail !!", diff));
  return ending(Finish(j.host, Result::Code::Done, Stage::ReadBack, "Programming Success!!"));
}

Result EraseOnWrite1394Procedure(Job& j) {
  if (device::Makes(device::HostMistake::LongFormOn1394)) return EraseOnWriteProcedure(j);
  j.settings.TransferUnit = 256;
  if (j.options.eraseOnly) {
    Result r = Erase1394(j);
    j.host.Message("Message", kPowerCycle);
    return r;
  }
  if (j.options.backupOnly) return BackupFlashToFile(j, 0);
  return Program1394(j);
}

Result EraseOnWriteProcedure(Job& j) {
  j.settings.TransferUnit = 8192;
  if (j.options.eraseOnly) {
    Result r = EraseWholeFlash(j);
    if (!r.Done()) return r;
    if (StorageLine(j.target.chip)) {
      if (!RestartTaken(j.dev, [&] { return device::ResetChip(j.dev); })) return ResetRefused(j, r);
      j.host.Message("Message", kAutoReset);
    } else {
      j.host.Message("Message", kPowerCycle);
    }
    return r;
  }
  if (j.options.backupOnly) return BackupFlashToFile(j, j.options.includeNvram ? 0 : kNvramSize);
  return ProgramImage(j);
}

}  // namespace qvfw::flash
