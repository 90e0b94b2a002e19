#include "flash/DiskFirmware.h"

#include <algorithm>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "device/Commands.h"
#include "device/FlashDescriptor.h"
#include "device/DiskArea.h"
#include "flash/ProcedureSupport.h"

namespace qvfw::flash {
namespace {

using support::Finish;
using support::kPowerCycle;
using support::WithRecovery;

// The area marker: 0x55, R big-endian, 0xAA at bytes 150..155 of the area's first block.
constexpr size_t kMarkerAt = 150;
constexpr size_t kMarkerSize = 6;

std::string Hex(uint64_t v) {
  char b[24];
  std::snprintf(b, sizeof b, "0x%llX", static_cast<unsigned long long>(v));
  return b;
}

bool SectorSizeUsable(uint32_t s) { return s >= 512 && s <= kDiskStep && (s & (s - 1)) == 0; }

// Why the area may not be touched (an outcome), or nothing when it may. `bytes` are those the
// operation will write from the area's start; 0 for an operation that only reads.
std::optional<Result> Refusal(Job& j, const DiskArea& a, uint64_t bytes) {
  if (!SectorSizeUsable(a.sectorSize))
    return Finish(j.host, Result::Code::Failed, Stage::Save, "Sector size error!!",
                  "the disk reports a logical sector of " + std::to_string(a.sectorSize) +
                      " bytes, which the firmware area cannot be addressed in; nothing was changed");
  if (!a.start)
    return Finish(j.host, Result::Code::Failed, Stage::Save, "Firmware area address error!!",
                  "the firmware area's start computed from " + Hex(a.reservedLba) + " on a disk of " +
                      std::to_string(a.sectorCount) + " blocks would lie below block 0; nothing was changed");
  if (bytes == 0) return std::nullopt;
  const uint64_t end = a.UserAreaEnd();
  if (end == 0)
    return Finish(j.host, Result::Code::Failed, Stage::Save, "Read HDD capacity fail!!",
                  "the disk's capacity could not be read, so the firmware area cannot be told apart from user "
                  "data; nothing was changed");
  const uint64_t first = *a.start, last = first + bytes / a.sectorSize - 1;
  if (first >= end) return std::nullopt;
  const std::string where = "blocks " + std::to_string(first) + " to " + std::to_string(last);
  if (j.options.forceUserArea) return std::nullopt;
  if (j.host.Confirm("Warning", "The firmware area of this disk (" + where +
                                    ") lies inside the space the computer uses for data: the bridge reports no "
                                    "reserved area. Writing it overwrites the end of the disk's last partition. "
                                    "Write it anyway?"))
    return std::nullopt;
  return Finish(j.host, Result::Code::BadInput, Stage::Save, "Firmware area in user data, nothing written!",
                "the firmware area (" + where + ") lies inside the disk's user area (blocks 0 to " +
                    std::to_string(end - 1) +
                    "): the bridge reports no reserved area, and writing there would overwrite the end of the "
                    "last partition. It is written only when asked for explicitly (--force-user-area)");
}

// Reads `out` from block `lba` on in 64 KiB transfers.
bool ReadBlocks(Job& j, const DiskArea& a, uint64_t lba, std::span<uint8_t> out) {
  for (size_t done = 0; done < out.size(); done += kDiskStep, lba += a.BlocksPerStep()) {
    if (!device::AtaReadDmaExt(j.dev, lba, out.subspan(done, kDiskStep), a.sectorSize)) return false;
    j.host.Step();
    j.host.Pump();
  }
  return true;
}

// The blocks about to change, kept before the first write.
bool KeepRecovery(Job& j, const DiskArea& a, uint32_t bytes, Result& r) {
  support::RecoveryCopy copy;
  copy.length = bytes;
  copy.address = *a.start;
  copy.pieces = bytes / kDiskStep;
  copy.read = [&](std::span<uint8_t> kept) { return ReadBlocks(j, a, *a.start, kept); };
  copy.readFailure = "Read HDD for recovery fail!";
  copy.source = "the firmware area";
  return support::KeepRecovery(j, copy, r);
}

}  // namespace

DiskArea ReadDiskArea(const device::Device& dev, chips::ChipType chip) {
  DiskArea a;
  a.sectorSize = device::GetLogicalSectorSize(dev);
  a.reservedLba = device::GetReservedAreaLba(dev, chip, &a.reserved);
  a.sectorCount = device::GetDiskSectorCount(dev);
  a.flag = device::ReservedAreaFlag(dev);
  a.lastLba = device::GetLastLba(dev);
  a.start = device::DiskAreaStart(a.reservedLba, a.sectorCount, a.flag);
  return a;
}

Result EraseDiskFirmware(Job& j) {
  const DiskArea a = ReadDiskArea(j.dev, j.target.chip);
  if (auto refused = Refusal(j, a, kDiskStep)) return *refused;
  const uint64_t x = *a.start;
  Result kept;
  if (!KeepRecovery(j, a, kDiskStep, kept)) return kept;

  std::vector<uint8_t> zeros(kDiskStep, 0), back(kDiskStep, 0);
  // The same answer R was formed with: a second query could be refused and lose the marker.
  if (a.reserved) {
    std::vector<uint8_t> sector(a.sectorSize, 0);
    if (!device::AtaReadDmaExt(j.dev, x, sector, a.sectorSize))
      return WithRecovery(Finish(j.host, Result::Code::Failed, Stage::Save, "Read area marker from HDD fail!!",
                                 "the firmware area's first block could not be read; nothing was changed"),
                          kept);
    std::copy_n(sector.begin() + kMarkerAt, kMarkerSize, zeros.begin() + kMarkerAt);
  }
  support::CriticalSection critical(j.host);
  j.host.EnterStage(Stage::Erase, 1);
  if (!device::AtaWriteDmaExt(j.dev, x, zeros, a.sectorSize))
    return WithRecovery(Finish(j.host, Result::Code::Failed, Stage::Erase, "Erase data in HDD fail!!",
                               "the disk refused the write of the erased area at block " + std::to_string(x)),
                        kept);
  j.host.Step();
  j.host.EnterStage(Stage::ReadBack, 1);
  if (!device::AtaReadDmaExt(j.dev, x, back, a.sectorSize))
    return WithRecovery(Finish(j.host, Result::Code::Failed, Stage::ReadBack, "Read back data in HDD fail!!",
                               "the erased area could not be read back"),
                        kept);
  j.host.Step();
  if (back != zeros)
    return WithRecovery(Finish(j.host, Result::Code::Failed, Stage::ReadBack, "Compare data in HDD fail!!",
                               "the area read back differs from what was written"),
                        kept);
  return WithRecovery(Finish(j.host, Result::Code::Done, Stage::ReadBack, "Erase all data in HDD success!!"), kept);
}

Result BackupDiskFirmware(Job& j) {
  const std::string name = support::BackupFileName(j);
  if (auto refused = support::RefuseBackupTarget(j, name, "Read Back to Backup Error!!")) return *refused;
  j.host.SetStatus("Backup ...");
  const DiskArea a = ReadDiskArea(j.dev, j.target.chip);
  if (auto refused = Refusal(j, a, 0)) return *refused;
  std::vector<uint8_t> bytes(kDiskStep, 0);
  j.host.EnterStage(Stage::ReadBack, 1);
  if (!ReadBlocks(j, a, *a.start, bytes))
    return Finish(j.host, Result::Code::Failed, Stage::ReadBack, "Read HDD to Backup Error!!",
                  "the firmware area could not be read; no backup file was written");
  // This procedure's status text for a backup file that cannot be written is its read failure's.
  return support::WriteBackup(j, name, bytes, "Read Back to Backup Error!!");
}

Result ProgramDiskFirmware(Job& j) {
  const DiskArea a = ReadDiskArea(j.dev, j.target.chip);
  const auto file = device::ReadImageBytes(j.options.firmwareFile);
  if (!file || file->empty())
    return Finish(j.host, Result::Code::BadInput, Stage::Save, "Open File Error!!",
                  j.options.firmwareFile + (file ? ": the file is empty" : ": cannot be opened as a file"));
  if (file->size() > 0x1000'0000)
    return Finish(j.host, Result::Code::BadInput, Stage::Save, "Open File Error!!",
                  j.options.firmwareFile + ": the file is far larger than a firmware area");
  const auto length = static_cast<uint32_t>((file->size() + kDiskStep - 1) / kDiskStep * kDiskStep);
  std::vector<uint8_t> image(length, 0);
  std::copy(file->begin(), file->end(), image.begin());

  j.host.SetStatus("Programming");
  const uint32_t r = a.reservedLba;
  const uint8_t marker[kMarkerSize] = {0x55, uint8_t(r >> 24), uint8_t(r >> 16), uint8_t(r >> 8), uint8_t(r), 0xAA};
  std::copy(std::begin(marker), std::end(marker), image.begin() + kMarkerAt);

  if (auto refused = Refusal(j, a, length)) return *refused;
  Result kept;
  if (!KeepRecovery(j, a, length, kept)) return kept;

  const bool large = a.sectorCount >= (uint64_t{1} << 32);
  const std::string_view writeFail = large ? "Write Data SCSI16 To HDD FAIL!!" : "Write Data To HDD FAIL!!";
  const std::string_view readFail = large ? "Read Data SCSI16 From HDD FAIL!!" : "Read Data From HDD FAIL!!";
  support::CriticalSection critical(j.host);
  std::vector<uint8_t> out(kDiskStep), back(kDiskStep);
  uint64_t lba = *a.start;
  j.host.SetStatus("Programming");
  j.host.EnterStage(Stage::Program, 2 * (length / kDiskStep));
  for (uint32_t at = 0; at < length; at += kDiskStep, lba += a.BlocksPerStep()) {
    std::fill(back.begin(), back.end(), 0);
    std::copy_n(image.begin() + at, kDiskStep, out.begin());
    if (!device::AtaWriteDmaExt(j.dev, lba, out, a.sectorSize))
      return WithRecovery(Finish(j.host, Result::Code::Failed, Stage::Program, writeFail,
                                 "the disk refused the write at block " + std::to_string(lba)),
                          kept);
    j.host.Step();
    if (!device::AtaReadDmaExt(j.dev, lba, back, a.sectorSize))
      return WithRecovery(Finish(j.host, Result::Code::Failed, Stage::Program, readFail,
                                 "the disk refused the read-back at block " + std::to_string(lba)),
                          kept);
    j.host.Step();
    if (back != out)
      return WithRecovery(Finish(j.host, Result::Code::Failed, Stage::ReadBack, "Compare Data in HDD FAIL!!",
                                 "the area read back at block " + std::to_string(lba) + " differs from the image"),
                          kept);
    j.host.AppendStatus(".");
    j.host.Pump();
  }
  return WithRecovery(Finish(j.host, Result::Code::Done, Stage::ReadBack, "Programming Success!!"), kept);
}

Result DiskFirmwareProcedure(Job& j) {
  if (j.options.eraseOnly) {
    Result r = EraseDiskFirmware(j);
    if (r.Done()) j.host.Message("Message", kPowerCycle);
    return r;
  }
  if (j.options.backupOnly) return BackupDiskFirmware(j);
  Result r = ProgramDiskFirmware(j);
  if (r.Done()) j.host.Message("Message", kPowerCycle);
  return r;
}

}  // namespace qvfw::flash
