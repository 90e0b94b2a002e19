#pragma once
// One way to build the application over a machine's platform parts: the command line, the
// window, the benchmarks and the tests all start here, so clock, transport, tracing and handler
// wiring are the same for everyone.

#include <filesystem>
#include <functional>
#include <memory>
#include <string_view>

#include "app/AppContext.h"
#include "app/ImageStore.h"

namespace qvfw::app {

// What a machine offers the program. A null disk enumerator or monitor means the machine has
// none; the clock is required.
struct PlatformParts {
  platform::PassThrough* passThrough = nullptr;
  platform::DiskEnumerator* disks = nullptr;
  platform::DeviceMonitor* monitor = nullptr;
  platform::Clock* clock = nullptr;
};

struct WiringOptions {
  platform::Diagnostics* diagnostics = nullptr;        // null: diagnostics are dropped
  std::function<void(std::string_view)> trace;         // set: one line per SCSI request
  std::filesystem::path workingDirectory;              // empty: the process's working directory
  std::filesystem::path stateDirectory;                // empty: $XDG_STATE_HOME/qvfw, /var/lib/qvfw as root
  std::filesystem::path lockDirectory;                 // empty: devices are not locked
  const ImageStore* images = nullptr;                  // null: the images compiled into the program
};

class Application {
 public:
  Application(const PlatformParts& parts, Shell& shell, const WiringOptions& options);
  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  AppContext& ctx() { return *ctx_; }

 private:
  platform::NullDiagnostics quiet_;
  EmbeddedImageStore embedded_;
  std::unique_ptr<platform::PassThrough> tracing_;
  std::unique_ptr<AppContext> ctx_;
};

}  // namespace qvfw::app
