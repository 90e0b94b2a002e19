#include "flash/ProcedureSupport.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "device/FlashDescriptor.h"

namespace qvfw::flash::support {

Result Finish(Host& host, Result::Code code, Stage stage, std::string_view status, std::string reason) {
  if (!status.empty()) host.SetStatus(status);
  Result r;
  r.code = code;
  r.stage = stage;
  r.statusText = std::string(status);
  r.reason = std::move(reason);
  return r;
}

bool KeepRecovery(Job& j, const RecoveryCopy& copy, Result& kept) {
  if (j.options.skipRecovery) return true;
  std::vector<uint8_t> bytes(copy.length);
  j.host.EnterStage(Stage::Save, copy.pieces);
  if (!copy.read(bytes)) {
    kept = Finish(j.host, Result::Code::Failed, Stage::Save, copy.readFailure,
                  std::string(copy.source) + " could not be read for its recovery copy; nothing was changed");
    return false;
  }
  const std::filesystem::path dir = StateDirectory(j.options);
  const auto saved = SaveRecoveryFile(dir, j.dev.path(), copy.address, bytes);
  if (!saved) {
    kept = Finish(j.host, Result::Code::Failed, Stage::Save, "Save recovery file fail!",
                  "the recovery copy could not be written to " + dir.string() + "; nothing was changed");
    return false;
  }
  kept.recoveryFile = *saved;
  return true;
}

namespace {

bool Blank(std::span<const uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0xFF; });
}

Result NvramFailure(Job& j, Result::Code code, std::string_view status, std::string reason) {
  return Finish(j.host, code, Stage::Save, status, std::move(reason) + "; nothing was changed");
}

// The region of a recovery copy the user named (or agreed to): whole, and not blank.
std::optional<Result> TakeFromCopy(Job& j, const std::string& file, uint32_t address, std::span<uint8_t> saved) {
  const auto bytes = device::ReadImageBytes(file);
  if (!bytes)
    return NvramFailure(j, Result::Code::BadInput, "Open NVRAM File Error!!", file + ": cannot be opened as a file");
  if (bytes->size() < uint64_t{address} + saved.size())
    return NvramFailure(j, Result::Code::BadInput, "Open NVRAM File Error!!",
                        file + ": " + std::to_string(bytes->size()) + " bytes do not reach the NVRAM region (" +
                            std::to_string(saved.size()) + " bytes at 0x" + [&] {
                              char hex[16];
                              std::snprintf(hex, sizeof hex, "%X", address);
                              return std::string(hex);
                            }() + ")");
  const auto region = std::span<const uint8_t>(*bytes).subspan(address, saved.size());
  if (Blank(region))
    return NvramFailure(j, Result::Code::BadInput, "Open NVRAM File Error!!", file + ": its NVRAM region is blank too");
  std::copy(region.begin(), region.end(), saved.begin());
  j.host.Trace("NVRAM taken from " + file);
  return std::nullopt;
}

}  // namespace

std::optional<Result> KeepNvram(Job& j, uint32_t address, std::span<uint8_t> saved,
                                const std::function<bool(std::span<uint8_t>)>& read) {
  if (!j.options.nvramFrom.empty()) return TakeFromCopy(j, j.options.nvramFrom, address, saved);
  if (!read(saved)) return NvramFailure(j, Result::Code::Failed, "Backup NVRAM command fail!", "the NVRAM region could not be read");
  // The NVRAM is kept across the erase from these bytes alone: a bit turned on the way would be
  // written back as the device's own.
  std::vector<uint8_t> again(saved.size());
  if (!read(again)) return NvramFailure(j, Result::Code::Failed, "Backup NVRAM command fail!", "the NVRAM region could not be read");
  if (!std::equal(again.begin(), again.end(), saved.begin())) {
    const auto m = std::mismatch(again.begin(), again.end(), saved.begin());
    char at[24];
    std::snprintf(at, sizeof at, "0x%X", static_cast<unsigned>(address + (m.first - again.begin())));
    return NvramFailure(j, Result::Code::Failed, "Backup NVRAM command fail!",
                        std::string("two reads of the NVRAM region differ at ") + at);
  }
  if (!Blank(saved)) return std::nullopt;
  // A blank NVRAM is what an interrupted erase leaves: an earlier copy may hold the real one.
  const auto copy = FindNvramCopy(StateDirectory(j.options), j.dev.path(), j.target.flashBytes, address,
                                  static_cast<uint32_t>(saved.size()));
  if (!copy) return std::nullopt;
  if (j.host.Confirm("Warning", "The NVRAM of this device is blank. The recovery copy " + copy->string() +
                                    " holds one. Write that NVRAM back instead of the blank one?"))
    return TakeFromCopy(j, copy->string(), address, saved);
  return NvramFailure(j, Result::Code::BadInput, "NVRAM blank, nothing written!",
                      "the device's NVRAM region is blank, and the recovery copy " + copy->string() +
                          " holds one: --nvram-from " + copy->string() +
                          " writes that one back (to keep the blank one, move the copy out of its folder)");
}

std::string BackupFileName(Job& j, std::string_view fallback) {
  if (!j.options.backupFile.empty()) return j.options.backupFile;
  j.host.Message("Message", "Default backup firmware as OldFalsh.bak!");
  return std::string(fallback);
}

std::optional<Result> RefuseBackupTarget(Job& j, const std::string& name, std::string_view failure) {
  const std::string why = NotARegularFile(name);
  if (why.empty()) return std::nullopt;
  return Finish(j.host, Result::Code::BadInput, Stage::ReadBack, failure, why + "; nothing was written");
}

Result WriteBackup(Job& j, const std::string& name, std::span<const uint8_t> bytes, std::string_view failure) {
  // The name is checked again: the flash was read meanwhile.
  if (auto refused = RefuseBackupTarget(j, name, failure)) return *refused;
  if (const int e = WriteWholeFile(name, bytes); e != 0)
    return Finish(j.host, Result::Code::Failed, Stage::ReadBack, failure, name + ": " + std::strerror(e));
  Result r = Finish(j.host, Result::Code::Done, Stage::ReadBack, "Read flash and backup success!");
  r.backupFile = name;
  return r;
}

bool AllErased(std::span<const uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0xFF; });
}

namespace {
std::string DiffersAt(uint32_t at) {
  char text[64];
  std::snprintf(text, sizeof text, "the flash differs from the image at 0x%X", at);
  return text;
}
}  // namespace

std::string FirstDifference(std::span<const uint8_t> flash, std::span<const uint8_t> image, uint32_t base) {
  const size_t n = std::min(flash.size(), image.size());
  const auto m = std::mismatch(flash.begin(), flash.begin() + static_cast<long>(n), image.begin());
  if (m.first == flash.begin() + static_cast<long>(n)) return {};
  return DiffersAt(static_cast<uint32_t>(base + (m.first - flash.begin())));
}

std::string FirstDifferenceOutsideHeaders(std::span<const uint8_t> flash, std::span<const uint8_t> image,
                                          uint32_t length) {
  for (uint32_t i = 0; i < length; ++i) {
    const bool header = (i >= 0x200 && i < 0x400) || (i >= 0x20200 && i < 0x20400);
    if (!header && flash[i] != image[i]) return DiffersAt(i);
  }
  return {};
}

uint32_t RoundUp(uint32_t v, uint32_t unit) { return (v + unit - 1) / unit * unit; }

void Sleep(Job& j, uint32_t ms) { j.dev.transport().Clock().Sleep(ms); }

}  // namespace qvfw::flash::support
