#pragma once
// The engineering panel's Run: the options as a value, the choice of procedure by chip family
// (rows tried from the top, the first that holds wins), and the run of the chosen procedure with
// its outcome. The window's handler and the command line both come through RunEngineering.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/AppContext.h"
#include "app/Outcome.h"
#include "flash/Options.h"

namespace qvfw::app {

using flash::EngineeringOptions;

enum class Procedure {
  None,              // the chip is not programmable: Run does nothing
  SizeRefusal,       // QVB789: the image is larger than the flash
  SizeUnknown,       // QVB789: the flash size is not known, so the image cannot be compared with it
  DiskFirmware,
  StepwisePage,
  Stepwise,
  EraseOnWrite,
  Loader,
  EraseOnWrite1394,
  WholeImage,
};

std::string_view ProcedureName(Procedure p);

struct DispatchInput {
  chips::ChipType chip = chips::ChipType::Unknown;
  uint8_t revision = 0;
  chips::FlashVendor vendor = chips::FlashVendor::Unknown;
  bool sst25 = false;
  bool memoryFlag505E = false;       // the QVS882 probe; asked only for that family
  bool pathHasSbp2 = false;          // attached over IEEE 1394
  std::optional<bool> imageFitsFlash;  // QVB789 with both only-options clear; nothing: size unknown
  EngineeringOptions options;
};

Procedure ChooseProcedure(const DispatchInput& in);

// The panel's options as they stand.
EngineeringOptions OptionsFromForm(const AppContext& ctx);

// What Run ended with: the outcome, and the files it wrote.
struct EngineeringOutcome {
  Outcome outcome;
  std::string recoveryFile;  // the copy of the flash kept before it was changed; empty: none
  std::string backupFile;    // the file a backup wrote
  bool refusedImageSize = false;  // the image is larger than the flash: Run stays disabled

  OutcomeCode code() const { return outcome.code; }
};

// What `check` says of an image for a device, and what `program` requires before it starts: the
// signature check the window's Run needs for the device's chip, then the image against the size
// of the flash (the facts' size, else the flash's JEDEC answer). A device that keeps its firmware
// on its disk has no flash size to compare with.
struct ImageVerdict {
  enum class Kind { Fits, CannotOpen, NotForChip, TooLarge, UnknownFlashSize };
  Kind kind = Kind::Fits;
  std::string text;  // the window's words for it ("The firmware file seems not match this chip!")
  std::optional<uint32_t> flashKiB;
  uint64_t imageBytes = 0;

  bool Fits() const { return kind == Kind::Fits; }
};
ImageVerdict CheckImage(AppContext& ctx, const DeviceFacts& facts, const std::string& image);

// The procedure Run would start for device `record` with `options`.
Procedure PlannedProcedure(AppContext& ctx, size_t record, const EngineeringOptions& options);
// The run will write an image without an NVRAM head from address 0, over the device's NVRAM,
// which it does not keep (the page-program procedure): the question before it says so.
bool WritesOverNvram(AppContext& ctx, size_t record, const EngineeringOptions& options);

// Runs what Run runs for device `record` (its facts are those the last check found) with
// `options`. Status texts, "." marks and boxes go to the panel; progress to ctx.progress.
EngineeringOutcome RunEngineering(AppContext& ctx, size_t record, const EngineeringOptions& options);

// The dual-bank repair of the firmware-choice check: for a QVS876 or QVS879 on a flash of at
// least 128 KiB, once per listed device (its record's RecoveryDone), a bank without a valid
// image is rewritten from the one with a valid image. Run is disabled meanwhile. The report of a
// repair that was needed (done or not); nothing when the banks needed none or were not looked at.
std::optional<BankRepairReport> RecoverFirmwareBank(AppContext& ctx, const device::Device& dev, size_t record,
                                                    const FlashFacts& flash);

}  // namespace qvfw::app
