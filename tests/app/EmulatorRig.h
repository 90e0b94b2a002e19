#pragma once
// An application context over an emulated machine on a virtual clock, with a tap between host
// and machine that keeps every request and can act just before a chosen one reaches the bus.
// The exchange file goes into a fresh directory per test.

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/TempDir.h"
#include "app/AppContext.h"
#include "app/FirmwareChoice.h"
#include "app/ImageStore.h"
#include "app/MainPresenter.h"
#include "platform/Clock.h"
#include "platform/Diagnostics.h"
#include "sim/Scenario.h"
#include "support/RecordingShell.h"
#include "support/Tap.h"

namespace qvfw::testing {

// One bridge of chip type 15 with the family's own identity; `extra` adds fields.
inline std::string OneBridge(std::string_view extra = {}, std::string_view flash = R"("MXIC")") {
  std::string disk = R"({ "name": "bridge0", "bus": "usb", "chipType": 15, "flash": )" + std::string(flash) +
                     R"(, "firmware": { "generate": { "version": "1201" } }, "volumes": [ "E" ])";
  if (!extra.empty()) disk += ", " + std::string(extra);
  return R"({ "disks": [ )" + disk + " } ] }";
}

struct EmulatorRig {
  explicit EmulatorRig(const std::string& scenario = sim::PresetScenarioJson("default"),
                       const app::ImageStore* store = nullptr)
      : machine(sim::LoadScenario(scenario, clock)),
        tap(*machine),
        ctx(app::PlatformServices{tap, clock, diagnostics, machine.get(), machine.get()}, shell,
            store ? *store : embedded) {
    ctx.transport.SetClock(clock);
    ctx.workingDirectory = dir.path();
    app::InstallHandlers(ctx);
  }
  // The start-up of the main window: its refresh lists the machine's bridges.
  EmulatorRig& Start() {
    app::ConstructMainWindow(ctx);
    return *this;
  }
  size_t Disk(std::string_view name = "bridge0") const { return *machine->FindDisk(name); }
  sim::Bridge& BridgeOf(std::string_view name = "bridge0") { return *machine->BridgeAt(Disk(name)); }
  // The texts the status line showed, in order.
  std::vector<std::string> StatusLines() const {
    std::vector<std::string> out;
    for (const auto& n : shell.notices)
      if (n.control == "devpnl") out.push_back(n.text);
    return out;
  }
  std::vector<int> Progress() const {
    std::vector<int> out;
    for (const auto& [name, position] : shell.progress)
      if (name == "ProgressBar2") out.push_back(position);
    return out;
  }
  std::filesystem::path ExchangeFile() const { return dir.path() / "ExChangeData.tmp"; }

  TempDir dir;
  platform::VirtualClock clock;
  std::unique_ptr<sim::Machine> machine;
  Tap tap;
  platform::CapturingDiagnostics diagnostics;
  RecordingShell shell;
  app::EmbeddedImageStore embedded;
  app::AppContext ctx;
};

}  // namespace qvfw::testing
