#pragma once
// The one-click update of a QVS812 bridge to the carried image, keeping what makes the device
// itself: its configuration area, USB ids, serial number and standby timer.

#include <string>
#include <vector>

#include "app/AppContext.h"
#include "app/Outcome.h"

namespace qvfw::app {

// `YesBtnClick`: the whole flow, told on the status line and `ProgressBar2`, with the result
// left on the line for a second. Returns the outcome for whoever pressed it (the window ignores it).
Outcome YesBtnClick(AppContext& ctx);

// The flow on the device of table record `record`, from the chip check to the restored standby
// timer: the status line and `ProgressBar2` follow it as the window shows them, the phases go to
// `ctx.progress`, and the result comes back as a value. `UpdateBusy` is the caller's.
Outcome RunOneClick(AppContext& ctx, size_t record);

// Saves the device's identity into the exchange file.
bool BackupIdentity(AppContext& ctx, const device::Device& dev);
// Builds the new flash content, programs and verifies it and writes the identity back.
bool ProgramEmbeddedImage(AppContext& ctx, const device::Device& dev);
// Restarts the bridge and waits for it to come back; on success the record that held its old
// path holds the new one, which also goes to `backPath`. `others` are the paths of the other
// listed bridges, which are never taken for it.
bool WaitForReattach(AppContext& ctx, const device::Device& dev, const std::vector<std::string>& others,
                     std::string* backPath = nullptr);

// True while the flash is being written or the identity restored: a front end that is asked to
// stop then lets the flow finish first.
inline bool InCriticalSection(const AppContext& ctx) { return ctx.criticalDepth > 0; }

}  // namespace qvfw::app
