#pragma once
// The `qvfw` command line: global options, the session they configure, and the exit codes.

#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "app/AppContext.h"
#include "app/ImageStore.h"
#include "cli/CliShell.h"
#include "platform/Clock.h"
#include "platform/Diagnostics.h"
#include "platform/PassThrough.h"

namespace qvfw::cli {

enum ExitCode : int {
  kExitSuccess = 0,
  kExitDeviceFailed = 1,  // the operation failed on the device
  kExitUsage = 2,         // bad usage or bad input (missing or mismatched file)
  kExitNoDevice = 3,      // no supported device
};

struct GlobalOptions {
  std::optional<std::string> sim;  // --sim[=DIR]; an empty string selects the default machine
  bool trace = false;
  bool verbose = false;
  int device = 0;                  // index into the device list
};

// What a machine offers the program; null members are absent (no discovery, the real clock).
struct PlatformParts {
  platform::PassThrough* passThrough = nullptr;
  platform::DiskEnumerator* disks = nullptr;
  platform::DeviceMonitor* monitor = nullptr;
  platform::Clock* clock = nullptr;
};

// One run of the program against a machine: the platform bundle the options ask for, the
// command line's shell and the application context over them.
class Session {
 public:
  Session(const GlobalOptions& options, const PlatformParts& parts, std::ostream& out, std::ostream& err,
          bool outIsTerminal);
  // `backend` is the machine's pass-through; `--trace` wraps it, `-v` routes diagnostics to `err`.
  Session(const GlobalOptions& options, platform::PassThrough& backend, std::ostream& out, std::ostream& err,
          bool outIsTerminal);
  // The machine's own devices, through the SCSI generic pass-through.
  Session(const GlobalOptions& options, std::ostream& out, std::ostream& err, bool outIsTerminal);
  ~Session();
  // The start-up sequence of the main window, as the window runs it. A started session closes
  // the window when it ends (the exchange file goes with it).
  void Start();
  app::AppContext& ctx() { return *ctx_; }
  CliShell& shell() { return shell_; }
  const GlobalOptions& options() const { return options_; }

 private:
  void Bind(platform::PassThrough& backend, platform::DiskEnumerator* disks = nullptr,
            platform::DeviceMonitor* monitor = nullptr, platform::Clock* clock = nullptr);

  GlobalOptions options_;
  CliShell shell_;
  platform::NullDiagnostics quiet_;
  platform::Diagnostics& diagnostics_;
  std::unique_ptr<platform::PassThrough> native_;
  std::unique_ptr<platform::PassThrough> tracing_;
  std::unique_ptr<platform::DiskEnumerator> nativeDisks_;
  std::unique_ptr<platform::DeviceMonitor> nativeMonitor_;
  platform::SteadyClock clock_;
  app::EmbeddedImageStore images_;
  std::unique_ptr<app::AppContext> ctx_;
  bool started_ = false;
};

// `qvfw update` on a started session: the one-click update of the selected device (`-d`), with
// an interrupt noted and told while the update finishes. Returns the exit code.
int UpdateCommand(Session& session, std::ostream& err);

// Parses the command line and runs it; returns the exit code.
int Run(int argc, const char* const* argv, std::ostream& out, std::ostream& err, bool outIsTerminal);

}  // namespace qvfw::cli
