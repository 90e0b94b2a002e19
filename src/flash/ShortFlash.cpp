#include "flash/ShortFlash.h"

#include <algorithm>

#include "device/FlashOps.h"
#include "flash/ProcedureSupport.h"
#include "flash/WholeImage.h"

namespace qvfw::flash::shortflash {

Result Run::End(Result::Code code, Stage stage, std::string_view status, std::string reason) const {
  Result r = support::Finish(j.host, code, stage, status, std::move(reason));
  r.recoveryFile = recovery_;
  return r;
}

bool Run::KeepRecovery(uint32_t atLeast, Result& failure) {
  if (j.options.skipRecovery || recovery_) return true;
  uint32_t length = FlashBytes();
  if (j.target.flashSizeKiB == 0) length = std::max({length, atLeast, j.settings.FlashImageSize});
  const uint32_t unit = j.settings.TransferUnit;
  support::RecoveryCopy copy;
  copy.length = length;
  copy.pieces = support::RoundUp(length, unit) / unit;
  copy.read = [&](std::span<uint8_t> bytes) { return ReadFlashChunked(j, 0, bytes, length); };
  Result kept;
  if (!support::KeepRecovery(j, copy, kept)) {
    failure = kept;
    return false;
  }
  recovery_ = kept.recoveryFile;
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

void Run::Sleep(uint32_t ms) const { support::Sleep(j, ms); }

}  // namespace qvfw::flash::shortflash
