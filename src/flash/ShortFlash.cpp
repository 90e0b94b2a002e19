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

bool Run::KeepRecovery(Result& failure) {
  if (j.options.skipRecovery || recovery_) return true;
  // Whatever part of it the run may change, the copy is of the whole flash: a partial one cannot
  // bring back what an erase of a larger unit clears.
  const uint32_t length = FlashBytes();
  if (length == 0) {
    failure = End(Result::Code::Failed, Stage::Save, "Flash size unknown!!",
                  "the flash's size is not known, so no recovery copy of the whole flash can be kept; nothing was "
                  "changed (--no-backup runs without one)");
    return false;
  }
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

uint32_t Run::FlashBytes() const {
  if (j.target.flashBytes > 0) return j.target.flashBytes;
  return j.target.flashSizeKiB * 1024;
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
