#pragma once
// The one-click update of a QVS812 bridge to the carried image, keeping what makes the device
// itself: its configuration area, USB ids, serial number and standby timer.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/AppContext.h"
#include "app/Engineering.h"
#include "app/ExchangeFile.h"
#include "app/Outcome.h"

namespace qvfw::app {

// `YesBtnClick`: the whole flow, told on the status line and `ProgressBar2`, with the result
// left on the line for a second. Returns the outcome for whoever pressed it (the window ignores it).
Outcome YesBtnClick(AppContext& ctx);

struct OneClickOptions {
  // A serial number longer than the 20 characters the identity record carries is written cut to
  // them instead of refused.
  bool force = false;
};

// The flow on the device of table record `record`, from the chip check to the restored standby
// timer: the status line and `ProgressBar2` follow it as the window shows them, the phases go to
// `ctx.progress`, and the result comes back as a value. `UpdateBusy` is the caller's. Nothing is
// written to the device unless its identity was read whole, saved in this run's own exchange
// file and kept in the state directory.
Outcome RunOneClick(AppContext& ctx, size_t record, const OneClickOptions& options = {});

// Saves the device's identity into this run's own exchange file (`ctx.exchange`). Fails, writing
// nothing, unless the configuration area, the USB ids and the serial number (an empty one
// included) were all read and the file could be created (in the working directory, else in the
// state directory). `why` (may be null) receives the reason of a failure.
bool BackupIdentity(AppContext& ctx, const device::Device& dev, std::string* why = nullptr);
// Builds the new flash content from the carried image and `saved`, programs it (through the
// manufacturing firmware in RAM when `ramDownload`), verifies it and writes the identity back.
bool ProgramCarriedImage(AppContext& ctx, const device::Device& dev, const ExchangeBlock& saved, bool ramDownload,
                         uint32_t flashKiB, std::string* why = nullptr);
// The same with this run's saved identity, once its exchange file has read back exactly what the
// run wrote, and the device's flash size.
bool ProgramEmbeddedImage(AppContext& ctx, const device::Device& dev, std::string* why = nullptr);
// What a restarted bridge must show to be taken for the one that left.
struct ReturnExpected {
  std::string serial;           // reported as the identity record carries it (when not empty)
  bool carriedFirmware = true;  // runs the carried firmware; otherwise any firmware at all
};

// Restarts the bridge and waits until it has left and come back, taking the first device events
// as they come (the restart's removal and arrival), within the outer limit of a 2000 ms pause and
// 60 rounds of 500 ms. The returned bridge is a bridge of the same family that is none of
// `others` (the other listed bridges) and shows what `expected` asks for; a lone candidate that
// runs other firmware is taken only at the end of the wait. On success the record that held its
// old path holds the new one, which also goes to `backPath`; `verified` tells whether it was seen
// running the expected firmware.
bool WaitForReattach(AppContext& ctx, const device::Device& dev, const std::vector<std::string>& others,
                     const ReturnExpected& expected, std::string* backPath = nullptr, std::string* why = nullptr,
                     bool* verified = nullptr);

struct RecoverOptions {
  // The identity to write: a file the user names (checked, never removed), instead of the one
  // kept for the bridge in the state directory.
  std::optional<std::filesystem::path> identityFile;
  // Writes an identity whose serial number differs from the one the bridge reports, and a serial
  // number longer than the identity record carries.
  bool force = false;
};

// Brings back a bridge of the buffer family that a failed update left on its boot code (or whose
// firmware version cannot be read): the carried image through the manufacturing firmware in RAM,
// with the configuration area and identity kept for it (or read from the named file, then kept
// too before anything is written), verified, the identity written, restarted and checked like the
// update's second half.
Outcome RunRecover(AppContext& ctx, size_t record, const RecoverOptions& options = {});

// Writes a whole image of the flash back (the recovery copy an erase or a failed program kept,
// or a backup) into a bridge of the buffer family that runs its boot code, where neither `program`
// (the flash does not answer) nor the update (no version to compare) can reach it: the bridge's
// manufacturing firmware goes into its RAM, after which its flash answers and identifies itself;
// the image, no larger than that flash, is then programmed whole as `program --include-nvram`
// programs it (a recovery copy of the flash as it stands first, the write verified), and the
// bridge must restart running firmware with the ids it had. Its identity is not rewritten.
EngineeringOutcome RunRecoverImage(AppContext& ctx, size_t record, const std::filesystem::path& image);

// Whether `recover` is offered for a device: a bridge of the buffer family whose firmware
// version cannot be read or that runs its boot code.
bool RecoverOffered(const DeviceFacts& facts);
// The window's "Recover firmware..." entry: `RunRecover` on the selected device, told on the
// status line like the update; a refusal (no identity kept for it) is told in a box.
Outcome RecoverClick(AppContext& ctx);

// True while the flash is being written or the identity restored: a front end that is asked to
// stop then lets the flow finish first.
inline bool InCriticalSection(const AppContext& ctx) { return ctx.criticalDepth > 0; }

}  // namespace qvfw::app
