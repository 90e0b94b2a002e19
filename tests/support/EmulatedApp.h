#pragma once
// An application context over an emulated machine, working in a fresh directory.

#include <algorithm>
#include <string>
#include <vector>

#include "app/AppContext.h"
#include "app/ImageStore.h"
#include "support/EmulatedRig.h"
#include "support/RecordingShell.h"
#include "support/Tap.h"
#include "support/TempDir.h"

namespace qvfw::testing {

struct EmulatedApp : EmulatedRig {
  TempDir dir;
  RecordingShell shell;
  app::MemoryImageStore images;
  Tap log{machine};
  app::AppContext ctx{app::PlatformServices{log, clock, diag, &machine, &machine}, shell, images};

  EmulatedApp() {
    ctx.transport.SetClock(clock);
    ctx.workingDirectory = dir.path();
    ctx.state.KeepNvram = 1;
  }
  // The carried update image with the given version bytes 25..28.
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
