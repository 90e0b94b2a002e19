#pragma once
// The machine a front end works on: this computer's own bridges, or the emulated machine that
// `--sim` (built in) or `--sim=DIR` (kept in DIR) names. Both programs choose it the same way.

#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "app/Wiring.h"
#include "platform/Clock.h"
#include "platform/Diagnostics.h"

namespace qvfw::frontend {

// Another process holds the persistent machine's folder (what() names it).
class MachineBusy : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Machine {
 public:
  // `sim`: nothing for the real machine; an empty path for the built-in emulated machine, or
  // the folder of a persistent one, which stays locked to this process from here until the
  // Machine is gone (load, change and save in one hand), after a short wait for another one;
  // the temporary files an interrupted run left there are removed. Throws MachineBusy when
  // another process keeps it, std::exception with the reason when the emulated machine cannot
  // be set up. `nativeMonitor`: the real machine watches device arrival with the backend's own
  // monitor; a front end that takes the notifications itself asks for none.
  static std::unique_ptr<Machine> Open(const std::optional<std::filesystem::path>& sim, platform::Diagnostics& diag,
                                       bool nativeMonitor = true);
  virtual ~Machine() = default;

  const app::PlatformParts& parts() const { return parts_; }
  // The emulated machine's clock, which runs on virtual time; null for the real machine.
  virtual platform::VirtualClock* virtualClock() { return nullptr; }
  // Writes a persistent emulated machine back; nothing otherwise.
  virtual void Save() {}
  // Where failed updates keep identities: a persistent emulated machine keeps its own beside it
  // ("DIR/state"); empty means the user's state directory.
  virtual std::filesystem::path StateDirectory() const { return {}; }
  // Where the per-device locks are kept (empty: none are taken).
  virtual std::filesystem::path LockDirectory() const { return {}; }

 protected:
  app::PlatformParts parts_;
};

}  // namespace qvfw::frontend
