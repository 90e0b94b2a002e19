#include "cli/Cli.h"

#include <CLI/CLI.hpp>

#include "app/MainPresenter.h"
#include "app/ProgramVersion.h"
#include "platform/TracingPassThrough.h"
#include "platform/linux/SgPassThrough.h"

namespace qvfw::cli {
namespace {

constexpr const char* kExitCodesHelp =
    "Exit codes:\n"
    "  0  success\n"
    "  1  the operation failed on the device\n"
    "  2  bad usage or bad input (missing or mismatched file)\n"
    "  3  no supported device\n";

}  // namespace

Session::Session(const GlobalOptions& options, platform::PassThrough& backend, std::ostream& out, std::ostream& err,
                 bool outIsTerminal)
    : options_(options),
      shell_(out, err, outIsTerminal, options.verbose),
      diagnostics_(options.verbose ? static_cast<platform::Diagnostics&>(shell_) : quiet_) {
  Bind(backend);
}

Session::Session(const GlobalOptions& options, std::ostream& out, std::ostream& err, bool outIsTerminal)
    : options_(options),
      shell_(out, err, outIsTerminal, options.verbose),
      diagnostics_(options.verbose ? static_cast<platform::Diagnostics&>(shell_) : quiet_),
      native_(std::make_unique<platform::linux_os::SgPassThrough>(diagnostics_)) {
  Bind(*native_);
}

void Session::Bind(platform::PassThrough& backend) {
  platform::PassThrough* passThrough = &backend;
  if (options_.trace) {
    tracing_ = std::make_unique<platform::TracingPassThrough>(
        backend, [this](const std::string& line) { shell_.ErrorLine(line); });
    passThrough = tracing_.get();
  }
  const app::PlatformServices services{*passThrough, clock_, diagnostics_, nullptr, nullptr};
  ctx_ = std::make_unique<app::AppContext>(services, shell_, images_);
}

Session::~Session() {
  if (started_) {
    app::CloseMainWindow(*ctx_);
    app::DestroyMainWindow(*ctx_);
  }
  shell_.Finish();
}

void Session::Start() {
  started_ = true;
  app::ConstructMainWindow(*ctx_);
}

int Run(int argc, const char* const* argv, std::ostream& out, std::ostream& err, bool /*outIsTerminal*/) {
  CLI::App app{"qvfw - firmware update tool for Qavion QV4077x bridge controllers"};
  app.set_version_flag("--version", std::string("qvfw ") + app::kBuildVersionText);
  app.footer(kExitCodesHelp);

  GlobalOptions options;
  std::string simDir;
  CLI::Option* sim = app.add_option("--sim", simDir, "Run against the emulated machine (optionally from DIR)")
                         ->expected(0, 1)
                         ->type_name("[=DIR]");
  app.add_flag("--trace", options.trace, "Trace every SCSI request on standard error");
  app.add_flag("-v", options.verbose, "Diagnostics on standard error");
  app.add_option("-d,--device", options.device, "Work on device N of the device list (default 0)")
      ->type_name("N")
      ->check(CLI::Range(0, static_cast<int>(app::kDeviceTableSize) - 1));

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e, out, err);
    return code == 0 ? kExitSuccess : kExitUsage;
  }
  if (sim->count() > 0) {
    options.sim = simDir;
    err << "qvfw: --sim: the emulated machine is not available in this build\n";
    return kExitUsage;
  }
  // Commands arrive here as subcommands; without one there is nothing to do but explain.
  out << app.help();
  return kExitSuccess;
}

}  // namespace qvfw::cli
