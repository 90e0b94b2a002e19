#include "flash/ProcedureSupport.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

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

std::string BackupFileName(Job& j, std::string_view fallback) {
  if (!j.options.backupFile.empty()) return j.options.backupFile;
  j.host.Message("Message", "Default backup firmware as OldFalsh.bak!");
  return std::string(fallback);
}

Result WriteBackup(Job& j, const std::string& name, std::span<const uint8_t> bytes, std::string_view failure) {
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
