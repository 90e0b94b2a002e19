#include "flash/ShortFlash.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "device/FlashDescriptor.h"
#include "device/FlashOps.h"
#include "flash/Recovery.h"
#include "flash/WholeImage.h"

namespace qvfw::flash::shortflash {

Result Run::End(Result::Code code, Stage stage, std::string_view status, std::string reason) const {
  if (!status.empty()) j.host.SetStatus(status);
  Result r;
  r.code = code;
  r.stage = stage;
  r.statusText = std::string(status);
  r.reason = std::move(reason);
  r.recoveryFile = recovery_;
  return r;
}

bool Run::KeepRecovery(uint32_t atLeast, Result& failure) {
  if (j.options.skipRecovery || recovery_) return true;
  uint32_t length = FlashBytes();
  if (j.target.flashSizeKiB == 0) length = std::max({length, atLeast, j.settings.FlashImageSize});
  std::vector<uint8_t> bytes(RoundUp(length, j.settings.TransferUnit));
  j.host.EnterStage(Stage::Save, static_cast<uint32_t>(bytes.size() / j.settings.TransferUnit));
  if (!ReadFlashChunked(j, 0, bytes, length)) {
    failure = Fail(Stage::Save, "Read flash for recovery fail!",
                   "the flash could not be read for its recovery copy; nothing was changed");
    return false;
  }
  const std::filesystem::path dir =
      j.options.stateDirectory.empty() ? DefaultStateDirectory() : j.options.stateDirectory;
  auto saved = SaveRecoveryFile(dir, j.dev.path(), 0, std::span<const uint8_t>(bytes).first(length));
  if (!saved) {
    failure = Fail(Stage::Save, "Save recovery file fail!",
                   "the recovery copy could not be written to " + dir.string() + "; nothing was changed");
    return false;
  }
  recovery_ = *saved;
  return true;
}

uint32_t Run::FlashBytes() {
  if (j.target.flashSizeKiB > 0) return j.target.flashSizeKiB * 1024;
  if (!probedSize_) {
    // These families report no size: the flash's JEDEC capacity code tells it where it gives one
    // (0x10 is 64 KiB, each step doubles).
    probedSize_ = 0;
    uint8_t id[4] = {};
    if (device::SpiReadId(j.dev, 0x9F, id) && id[0] != 0x00 && id[0] != 0xFF && id[2] >= 0x10 && id[2] <= 0x18)
      probedSize_ = 64u * 1024 << (id[2] - 0x10);
  }
  return *probedSize_;
}

Result Run::RefuseBeyondFlash(uint32_t needed) {
  const uint32_t have = FlashBytes();
  if (have == 0 || needed <= have) {
    Result fits;
    fits.code = Result::Code::Done;
    return fits;
  }
  return End(Result::Code::BadInput, Stage::Save, "The firmware file size is bigger than the flash size!",
             "the image needs " + std::to_string(needed / 1024) + " KiB of flash, the flash holds " +
                 std::to_string(have / 1024) + " KiB");
}

void Run::Sleep(uint32_t ms) const { j.dev.transport().Clock().Sleep(ms); }

bool AllErased(std::span<const uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0xFF; });
}

std::string FirstDifference(std::span<const uint8_t> flash, std::span<const uint8_t> image, uint32_t base) {
  const size_t n = std::min(flash.size(), image.size());
  const auto m = std::mismatch(flash.begin(), flash.begin() + static_cast<long>(n), image.begin());
  if (m.first == flash.begin() + static_cast<long>(n)) return {};
  char at[64];
  std::snprintf(at, sizeof at, "the flash differs from the image at 0x%X",
                static_cast<unsigned>(base + (m.first - flash.begin())));
  return at;
}

uint32_t RoundUp(uint32_t v, uint32_t unit) { return (v + unit - 1) / unit * unit; }

}  // namespace qvfw::flash::shortflash
