#pragma once
// The engineering panel's handlers: the firmware-choice check that runs after every refresh and
// on every change of device or file, the Load File action, the option boxes and Run.

#include "app/AppContext.h"

namespace qvfw::app {

// Puts the refresh and the "RD Version" handler into the start-up sequence.
void InstallHandlers(AppContext& ctx);

// `UpdateBtnCheck`: identifies the selected device again, decides whether Run may be pressed,
// fills the chip, flash, version, status and drive fields, and shows the options that fit.
void UpdateBtnCheck(AppContext& ctx);

// `LoadBtnClick`: chooses a firmware file and checks it against the selected device.
void LoadBtnClick(AppContext& ctx);

// `RdCheckBoxClick`: checked shows the engineering options and grows the window by their
// panel; cleared hides them and runs the firmware-choice check.
void RdCheckBoxClick(AppContext& ctx);
// `EraseOnlyCheckClick` for the box with `tag` (0 erase-only, 1 backup-only), after its
// checked state changed.
void EraseOnlyCheckClick(AppContext& ctx, int tag);
void NVRAMCheckClick(AppContext& ctx);
void BackupBtnClick(AppContext& ctx);
// `UpdateBtnClick` (Run).
void UpdateBtnClick(AppContext& ctx);

// The height `RdPanel` adds to the window when revealed.
inline constexpr int kRdPanelHeight = 300;


}  // namespace qvfw::app
