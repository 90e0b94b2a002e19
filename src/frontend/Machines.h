#pragma once
// The machine a front end works on: this computer's own bridges, the emulated machine that
// `--sim` (built in) or `--sim=DIR` (kept in DIR) names, or a recording that `--replay FILE`
// plays back; `--record FILE` keeps a recording of whichever it is. Both programs choose it the
// same way.

#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/Wiring.h"
#include "platform/Clock.h"
#include "platform/Diagnostics.h"

namespace qvfw::frontend {

// Another process holds the persistent machine's folder (what() names it).
class MachineBusy : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What the user asked for.
struct MachineChoice {
  // Nothing: this computer's own bridges; an empty path: the built-in emulated machine; a folder:
  // a persistent one.
  std::optional<std::filesystem::path> sim;
  // A recording to make of the whole run (empty: none), and whether what identifies the units and
  // the user is taken out of it (docs/recording.md).
  std::filesystem::path record;
  bool recordAnonymous = false;
  // A recording to play back as the machine (empty: none), and whether identification queries
  // may come in another order than recorded.
  std::filesystem::path replay;
  bool replayRelaxed = false;
  // For the recording's header: the program's version line, its name and its command (the
  // arguments without those that choose the machine).
  std::string program;
  std::string frontEnd;
  std::vector<std::string> args;
  // The files the command reads that shape what it sends (an image, an identity, the
  // configuration): `path` as the command names it, `file` where it is. A recording keeps them
  // as they are when the machine is opened; one that cannot be read is left out.
  struct Input {
    std::string path;
    std::filesystem::path file;
  };
  std::vector<Input> inputs;
  // The real machine watches device arrival with the backend's own monitor; a front end that
  // takes the notifications itself asks for none.
  bool nativeMonitor = true;
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
  // The same for every choice. `--replay` takes the place of `--sim` and of the real machine
  // (std::invalid_argument when both are asked for); std::exception with the reason when the
  // recording cannot be read (a recording cut short or changed is refused).
  static std::unique_ptr<Machine> Open(const MachineChoice& choice, platform::Diagnostics& diag);
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
  // "native", "emulated" or "replay".
  virtual const char* Kind() const = 0;
  // A replay's first difference from its recording, once there was one (the machine is gone from
  // then on); nothing otherwise.
  virtual std::optional<std::string> Difference() const { return std::nullopt; }
  // Ends the run with the program's exit code: a recording is written, a replay checks that the
  // run asked for everything recorded and ended as recorded. Returns what went wrong (the
  // recording could not be written; the replay's difference), nothing when all is well.
  virtual std::optional<std::string> Finish(int exitCode) {
    (void)exitCode;
    return std::nullopt;
  }

 protected:
  app::PlatformParts parts_;
};

}  // namespace qvfw::frontend
