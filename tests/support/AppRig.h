#pragma once
// The one rig the application tests run on: an emulated machine (from a scenario, or built in
// code), the virtual clock, a tap that keeps every request between host and machine, a recording
// shell and a fresh working directory, with the application wired over them exactly as the
// programs wire it (app::Application).

#include <algorithm>
#include <array>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/ImageStore.h"
#include "app/MainPresenter.h"
#include "app/Wiring.h"
#include "device/Transport.h"
#include "platform/Clock.h"
#include "platform/Diagnostics.h"
#include "sim/Bridge.h"
#include "sim/Flash.h"
#include "sim/Machine.h"
#include "sim/Scenario.h"
#include "support/EmulatedRig.h"
#include "support/RecordingShell.h"
#include "support/Tap.h"
#include "support/TempDir.h"

namespace qvfw::testing {

// One bridge of chip type 15 with the family's own identity; `extra` adds fields.
inline std::string OneBridge(std::string_view extra = {}, std::string_view flash = R"("MXIC")") {
  std::string disk = R"({ "name": "bridge0", "bus": "usb", "chipType": 15, "flash": )" + std::string(flash) +
                     R"(, "firmware": { "generate": { "version": "1201" } }, "volumes": [ "E" ])";
  if (!extra.empty()) disk += ", " + std::string(extra);
  return R"({ "disks": [ )" + disk + " } ] }";
}

struct AppRig {
  enum class Images { Embedded, InMemory };

  // `scenario` empty: a machine without disks, to be built in code with AddBridge. The carried
  // images are the program's own, `store`, or (InMemory) the rig's `images`, empty at first.
  explicit AppRig(std::string_view scenario = {}, const app::ImageStore* store = nullptr,
                  Images images = Images::Embedded)
      : owned(scenario.empty() ? std::make_unique<sim::Machine>(clock) : sim::LoadScenario(scenario, clock)),
        machine(*owned),
        tap(machine),
        application(app::PlatformParts{&tap, &machine, &machine, &clock}, shell,
                    Wiring(store ? store : images == Images::InMemory ? &this->images : nullptr)),
        ctx(application.ctx()),
        direct(machine, diagnostics) {
    direct.SetClock(clock);
  }

  // The start-up of the main window: its refresh lists the machine's bridges.
  AppRig& Start() {
    app::ConstructMainWindow(ctx);
    return *this;
  }

  // Building the machine in code.
  size_t AddBridge(sim::BridgeConfig config, sim::FlashPart part = sim::FlashPreset("WINBOND", 512),
                   platform::Bus bus = platform::Bus::Usb) {
    return AddBridgeTo(machine, std::move(config), std::move(part), bus);
  }
  size_t AddPlainDisk(platform::Bus bus = platform::Bus::Usb) { return AddPlainDiskTo(machine, bus); }
  void FailAlways(size_t disk, std::vector<uint8_t> prefix) { FailAlwaysOn(machine, disk, std::move(prefix)); }

  size_t Disk(std::string_view name = "bridge0") const { return *machine.FindDisk(name); }
  sim::Bridge& BridgeOf(std::string_view name = "bridge0") { return *machine.BridgeAt(Disk(name)); }
  // A device reached past the tap, for a test's own commands.
  device::Device Dev(size_t disk = 0) { return device::Device(direct, machine.CurrentPath(disk)); }
  sim::SpiFlash& Flash(size_t disk = 0) { return *machine.BridgeAt(disk)->flash(); }

  // The carried update image (in the rig's own store) with the given version bytes 25..28.
  void CarryVersion(std::vector<uint8_t> version) {
    std::vector<uint8_t> image(4096, 0x00);
    std::copy(version.begin(), version.end(), image.begin() + 25);
    images.Put(std::string(app::kUpdateImageName), std::move(image));
  }
  std::vector<std::string> MessageTexts() const {
    std::vector<std::string> out;
    for (const auto& m : shell.messages) out.push_back(m.caption + ": " + m.text);
    return out;
  }
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
  std::unique_ptr<sim::Machine> owned;
  sim::Machine& machine;
  Tap tap;
  platform::CapturingDiagnostics diagnostics;
  RecordingShell shell;
  app::MemoryImageStore images;
  app::Application application;
  app::AppContext& ctx;
  device::Transport direct;

 private:
  app::WiringOptions Wiring(const app::ImageStore* store) {
    app::WiringOptions w;
    w.diagnostics = &diagnostics;
    w.workingDirectory = dir.path();
    w.stateDirectory = dir.path() / "state";
    w.images = store;
    return w;
  }
};

// The application over a machine built in code, carrying only the images a test puts in.
struct EmulatedApp : AppRig {
  EmulatedApp() : AppRig({}, nullptr, Images::InMemory) { ctx.state.KeepNvram = 1; }
};

// A QVS812 whose chip information reports the version in bytes 12..15 as given; byte 6 says
// whether they are characters (2) or numbers (1).
inline sim::BridgeConfig Qvs812WithVersion(uint8_t kind, std::array<uint8_t, 4> version) {
  sim::BridgeConfig c = sim::FamilyConfig(15);
  c.versionFromImage = false;
  c.bootCheck = false;
  c.chipInfo[6] = kind;
  for (size_t i = 0; i < 4; ++i) c.chipInfo[12 + i] = version[i];
  return c;
}

}  // namespace qvfw::testing
