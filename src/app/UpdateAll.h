#pragma once
// The one-click update of many bridges at once: one worker per bridge, each with a context of its
// own (identity, exchange file, lock, progress, outcome), all at the same time. On real hardware
// the workers are threads; on the emulated machine each has its own timeline on the virtual
// clock, so a run reports the time the same bridges would take together.

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/AppContext.h"
#include "app/Outcome.h"

namespace qvfw::app {

// One bridge of the run.
struct BridgeUpdate {
  size_t index = 0;       // in the scan's list
  std::string path;       // as the scan listed it
  std::string backPath;   // where it came back after its restart (empty when it did not)
  std::optional<std::string> serial;
  std::string from;       // the firmware it ran ("" when unknown)
  std::string to;         // the carried firmware's version
  bool updated = false;   // the update ran on it (false: skipped, or the run was refused)
  Readiness readiness = Readiness::NoDevice;  // what the one-click check said of it before the run
  Outcome outcome;        // Success, Failed, AlreadyCurrent or NotOffered (skipped, with the reason)
};

struct UpdateAllResult {
  std::vector<BridgeUpdate> bridges;  // in the order asked for
  // Set when the run was refused before anything was written (two bridges that could not be
  // told apart after their restart); no bridge was updated then.
  std::string refusal;
};

struct UpdateAllOptions {
  bool allowDowngrade = false;  // program the carried firmware over newer firmware too
  bool force = false;           // write serial numbers cut to what the identity record carries
  // Called with a bridge's position in the result and its progress, and once more with its
  // result when it has ended. Calls come one at a time, from the workers' threads; they must not
  // wait on the clock.
  std::function<void(size_t, const ProgressView&)> progress;
  std::function<void(size_t, const BridgeUpdate&)> finished;
};

// Inspects the listed devices `indices` (every one at the same time), then updates every one that
// is offered the update, all at the same time. Bridges already current or not offered the update
// are reported and skipped. A failure on one bridge does not stop or touch the others; each
// worker waits for its own bridge's return by that bridge's serial number. Refused, with nothing
// written, when two bridges to update report the same serial number, or one of several reports
// none.
UpdateAllResult UpdateBridges(AppContext& ctx, std::span<const size_t> indices, const UpdateAllOptions& options);

}  // namespace qvfw::app
