#pragma once
// The `qvfw` command line: global options, the session they configure, and the exit codes. It
// works on the core's values (device facts, outcomes, progress phases) and prints them as text
// or JSON; standard output carries the command's own output only.

#include <filesystem>
#include <istream>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/Engineering.h"
#include "app/Outcome.h"
#include "app/Wiring.h"
#include "cli/CliShell.h"
#include "platform/Diagnostics.h"
#include "platform/PassThrough.h"

namespace qvfw::cli {

enum ExitCode : int {
  kExitSuccess = 0,
  kExitDeviceFailed = 1,  // the operation failed on the device
  kExitUsage = 2,         // bad usage or bad input (missing or mismatched file, unknown flash size)
  kExitNoDevice = 3,      // no supported device
  kExitNotOffered = 4,    // a device is there, but nothing is offered for it
};

// The exit code an outcome stands for.
int ExitCodeOf(app::OutcomeCode code);

inline constexpr int kJsonSchemaVersion = 1;

struct GlobalOptions {
  bool trace = false;
  bool verbose = false;
  bool json = false;
  std::string device;  // "N" (an index of the list) or a device path; empty: item 0
  std::vector<std::string> devices;  // every -d given (update works on several at once)
  // Where the configuration and the exchange file live; empty: the working directory.
  std::filesystem::path workingDirectory;
  // Where a failed update keeps the bridge's identity; empty: the user's state directory.
  std::filesystem::path stateDirectory;
  // Where the per-device locks live; empty: devices are not locked.
  std::filesystem::path lockDirectory;
  // --force of update and recover: a serial number longer than the identity record carries is
  // written cut, and recover writes an identity whose serial number differs from the bridge's.
  bool force = false;
};

using app::PlatformParts;

// One run of the program against a machine: the command line's shell and the application built
// over the machine's parts.
class Session {
 public:
  Session(const GlobalOptions& options, const PlatformParts& parts, std::ostream& out, std::ostream& err,
          bool errIsTerminal);
  // A machine without discovery (tests): `backend` is the pass-through, the clock is real time.
  Session(const GlobalOptions& options, platform::PassThrough& backend, std::ostream& out, std::ostream& err,
          bool errIsTerminal);
  ~Session();
  // Reads the configuration and scans the machine; a started session removes the exchange file
  // of the working directory when it ends, as the window does when it closes.
  void Start();
  app::AppContext& ctx() { return app_->ctx(); }
  CliShell& shell() { return shell_; }
  const GlobalOptions& options() const { return options_; }

 private:
  GlobalOptions options_;
  CliShell shell_;
  platform::SteadyClock clock_;
  std::unique_ptr<app::Application> app_;
  bool started_ = false;
};

// `qvfw update` on a started session: the one-click update of the selected device, with an
// interrupt noted and told while the update finishes. Returns the exit code.
int UpdateCommand(Session& session, std::ostream& out, std::ostream& err, bool allowDowngrade = false);
// `qvfw update --all` or with several -d: the one-click update of every selected bridge at once,
// a summary line per bridge (or --json) at the end. `all`: every listed bridge; otherwise those
// the -d options name. Exit 0 when every selected bridge passed or already ran the carried
// firmware, 1 when any failed, 4 when none failed but some were not offered the update.
int UpdateAllCommand(Session& session, std::ostream& out, std::ostream& err, bool all, bool allowDowngrade = false);

// `qvfw erase | backup | program`: the engineering panel's Run with options from flags.
struct EngineeringRequest {
  enum class Kind { Erase, Backup, Program };
  Kind kind = Kind::Program;
  app::EngineeringOptions options;
  bool yes = false;  // --yes: the question before the flash is changed is answered
  bool force = false;  // --force: program an image that `check` refuses
};
int EngineeringCommand(Session& session, const EngineeringRequest& request, std::ostream& out, std::ostream& err);

// Where the question before an erase or a write reads its answer: standard input when it is a
// terminal (main sets it); nothing means no terminal, and such a command needs --yes.
void SetInteractiveInput(std::istream* in);

// Parses the command line and runs it; returns the exit code. `errIsTerminal` lets the progress
// bar and colours be drawn on standard error.
int Run(int argc, const char* const* argv, std::ostream& out, std::ostream& err, bool errIsTerminal);
// The same with the configuration and the exchange file kept in `workingDirectory`.
int Run(int argc, const char* const* argv, std::ostream& out, std::ostream& err, bool errIsTerminal,
        const std::filesystem::path& workingDirectory);

}  // namespace qvfw::cli
