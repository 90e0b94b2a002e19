#include "app/Wiring.h"

#include <stdexcept>

#include "app/FirmwareChoice.h"
#include "platform/TracingPassThrough.h"

namespace qvfw::app {

Application::Application(const PlatformParts& parts, Shell& shell, const WiringOptions& options) {
  if (!parts.passThrough || !parts.clock) throw std::invalid_argument("a machine needs a pass-through and a clock");
  platform::PassThrough* passThrough = parts.passThrough;
  if (options.trace) {
    tracing_ = std::make_unique<platform::TracingPassThrough>(
        *parts.passThrough, [trace = options.trace](const std::string& line) { trace(line); });
    passThrough = tracing_.get();
  }
  platform::Diagnostics& diagnostics = options.diagnostics ? *options.diagnostics : quiet_;
  const PlatformServices services{*passThrough, *parts.clock, diagnostics, parts.disks, parts.monitor};
  ctx_ = std::make_unique<AppContext>(services, shell, options.images ? *options.images : embedded_);
  ctx_->transport.SetClock(*parts.clock);
  ctx_->workingDirectory = options.workingDirectory;
  ctx_->stateDirectory = options.stateDirectory;
  ctx_->lockDirectory = options.lockDirectory;
  InstallHandlers(*ctx_);
}

Application::~Application() = default;

}  // namespace qvfw::app
