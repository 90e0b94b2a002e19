// The one-click update and each engineering procedure on the emulator, with faults the input
// chooses (kind, the command they strike, how often), judged by one oracle:
//  - a success means the device runs what was programmed and keeps its identity: the flash (or,
//    for the one-click update, the running version) is what a fault-free run leaves (past the
//    image, old or erased bytes may remain where a retry erased less), and the USB ids and serial
//    number are the ones the device had;
//  - a failure leaves the recovery copy equal to the flash as it was (without a copy, the flash is
//    unchanged), and the exchange file, when one was written, equal to the identity the device
//    held.
#include <stdlib.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FuzzAbort.h"
#include "app/Engineering.h"
#include "app/ExchangeFile.h"
#include "app/MainPresenter.h"
#include "app/OneClick.h"
#include "app/Wiring.h"
#include "platform/Clock.h"
#include "platform/Diagnostics.h"
#include "sim/Bridge.h"
#include "sim/Flash.h"
#include "sim/Machine.h"
#include "sim/Scenario.h"
#include "support/RecordingShell.h"

using namespace qvfw;

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

struct Procedure {
  const char* name;
  uint8_t chip;
  const char* maker;
  uint32_t kib;
  bool erase;
  uint32_t imageSize;
  uint8_t revision;
};

// The one-click update first (index 0), then one row per engineering procedure.
const Procedure kProcedures[] = {
    {"one-click update", 15, "MXIC", 512, false, 0, 0},
    {"erase-on-write QVS876", 13, "MXIC", 64, false, 0xC000, 0},
    {"erase-on-write QVS812", 15, "WINBOND", 128, false, 0xC000, 0},
    {"erase QVS876", 13, "MXIC", 64, true, 0, 0},
    {"erase-on-write QVB787 over 1394", 8, "WINBOND", 64, false, 0xC000, 0},
    {"stepwise QVB784", 7, "WINBOND", 64, false, 0x5000, 0},
    {"whole image QV40778", 1, "WINBOND", 64, false, 0x5000, 0},
    {"erase QV40776 (whole image)", 5, "MXIC", 64, true, 0, 0},
    {"loader QVS810", 26, "GIGADEVICE", 256, false, 0x40000, 0},
};
constexpr size_t kProcedureCount = std::size(kProcedures);

Bytes Pattern(size_t size, uint8_t seed) {
  Bytes v(size);
  for (size_t i = 0; i < size; ++i) v[i] = static_cast<uint8_t>(i * 7 + seed + (i >> 8));
  return v;
}

Bytes ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

fs::path FreshFolder() {
  std::string templ = (fs::temp_directory_path() / "qvfw-fuzz-procedure-XXXXXX").string();
  if (::mkdtemp(templ.data()) == nullptr) std::abort();
  return templ;
}

// One bridge and the application over it, in a folder of its own.
struct Bench {
  explicit Bench(const Procedure& p) : dir(FreshFolder()) {
    if (&p == &kProcedures[0]) {
      machine = sim::LoadScenario(sim::PresetScenarioJson("default"), clock);
    } else {
      machine = std::make_unique<sim::Machine>(clock);
      sim::BridgeConfig c = sim::FamilyConfig(p.chip, p.revision);
      c.bootCheck = false;
      machine->AddBridge("b0", p.chip == 8 ? platform::Bus::Ieee1394 : platform::Bus::Usb, std::move(c),
                         std::make_unique<sim::SpiFlash>(sim::FlashPreset(p.maker, p.kib)));
      machine->BridgeAt(0)->flash()->data() = Pattern(p.kib * 1024, 0x31);
    }
    app::WiringOptions w;
    w.diagnostics = &diagnostics;
    w.workingDirectory = dir;
    w.stateDirectory = dir / "state";
    application = std::make_unique<app::Application>(app::PlatformParts{machine.get(), machine.get(), machine.get(), &clock},
                                                     shell, w);
    app::AppContext& ctx = application->ctx();
    ctx.state.KeepNvram = 1;
    app::ConstructMainWindow(ctx);
    sim::Bridge& b = *machine->BridgeAt(0);
    before = b.flash()->data();
    vid = b.NextVid();
    pid = b.NextPid();
    serial = b.NextSerial();
  }
  ~Bench() {
    application.reset();
    std::error_code ec;
    fs::remove_all(dir, ec);
  }

  struct Result {
    bool success = false;
    std::string recoveryFile;
  };
  Result Run(const Procedure& p) {
    app::AppContext& ctx = application->ctx();
    if (&p == &kProcedures[0]) return {app::YesBtnClick(ctx).Succeeded(), {}};
    app::EngineeringOptions o;
    o.eraseOnly = p.erase;
    o.stateDirectory = ctx.stateDirectory;
    if (!p.erase) {
      const Bytes image = Pattern(p.imageSize, 9);
      o.firmwareFile = (dir / "image.bin").string();
      std::ofstream(o.firmwareFile, std::ios::binary)
          .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    }
    const app::EngineeringOutcome out = app::RunEngineering(ctx, 0, o);
    return {out.outcome.Succeeded(), out.recoveryFile};
  }

  fs::path dir;
  platform::VirtualClock clock;
  platform::NullDiagnostics diagnostics;
  testing::RecordingShell shell;
  std::unique_ptr<sim::Machine> machine;
  std::unique_ptr<app::Application> application;
  Bytes before;
  uint16_t vid = 0, pid = 0;
  std::string serial;
};

// What a fault-free run leaves: its command count, the flash, the running version.
struct CleanRun {
  uint64_t first = 0, commands = 0;
  Bytes flash;
  std::array<uint8_t, 4> version{};
};

const CleanRun& Clean(size_t index) {
  static std::map<size_t, CleanRun> runs;
  auto it = runs.find(index);
  if (it != runs.end()) return it->second;
  Bench b(kProcedures[index]);
  CleanRun r;
  r.first = b.machine->CommandCount(0);
  FUZZ_CHECK(b.Run(kProcedures[index]).success);
  r.commands = b.machine->CommandCount(0) - r.first;
  r.flash = b.machine->BridgeAt(0)->flash()->data();
  r.version = b.machine->BridgeAt(0)->RunningVersion();
  return runs.emplace(index, std::move(r)).first->second;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t index = data[0] % kProcedureCount;
  const Procedure& p = kProcedures[index];
  const CleanRun& clean = Clean(index);

  Bench b(p);
  FUZZ_CHECK(b.machine->CommandCount(0) == clean.first);
  // Up to four faults of 5 bytes each: kind, command (two bytes, within the clean run and a
  // little past it), times, and a detail (sense, short length or stall).
  for (size_t at = 1; at + 5 <= size && at < 1 + 4 * 5; at += 5) {
    static constexpr sim::Fault::Kind kKinds[] = {
        sim::Fault::Kind::FailCommand, sim::Fault::Kind::Unplug,        sim::Fault::Kind::ShortTransfer,
        sim::Fault::Kind::BecomingReady, sim::Fault::Kind::Stall,       sim::Fault::Kind::TransportError,
    };
    sim::Fault f;
    f.kind = kKinds[data[at] % std::size(kKinds)];
    f.atCommand = clean.first + (uint64_t{data[at + 1]} << 8 | data[at + 2]) % (clean.commands + 8);
    f.times = data[at + 3] % 3;
    f.bytes = data[at + 4];
    f.stallMs = uint32_t{data[at + 4]} * 100;
    if (data[at + 4] & 1) f.sense = {0x02, 0x04, 0x01};
    b.machine->AddFault(0, f);
  }
  const Bench::Result result = b.Run(p);
  sim::Bridge& bridge = *b.machine->BridgeAt(0);
  const Bytes& flash = bridge.flash()->data();
  if (result.success) {
    FUZZ_CHECK(bridge.NextVid() == b.vid && bridge.NextPid() == b.pid && bridge.NextSerial() == b.serial);
    if (index == 0) FUZZ_CHECK(bridge.RunningVersion() == clean.version);
    else {
      // The image's range holds what a fault-free run leaves. Past it, how much a procedure
      // erases depends on the erase unit it ended up using (a retry may erase in smaller
      // units), so a byte there is what a fault-free run leaves, what was there, or erased.
      const size_t image = p.erase ? flash.size() : p.imageSize;
      for (size_t i = 0; i < flash.size(); ++i) {
        const bool ok = flash[i] == clean.flash[i] || (i >= image && (flash[i] == b.before[i] || flash[i] == 0xFF));
        if (!ok)
          std::fprintf(stderr, "the flash differs from a fault-free run's at 0x%zx: %02x (fault-free: %02x, before: %02x)\n",
                       i, flash[i], clean.flash[i], b.before[i]);
        FUZZ_CHECK(ok);
      }
    }
  } else if (!result.recoveryFile.empty()) {
    FUZZ_CHECK(ReadFile(result.recoveryFile) == b.before);
  } else if (index != 0) {
    FUZZ_CHECK(flash == b.before);
  }
  if (index == 0) {
    // The exchange file holds the configuration area and the ids and serial number as read.
    if (const auto saved = app::ReadExchangeBlock(b.dir / app::kExchangeFileName)) {
      FUZZ_CHECK(std::equal(b.before.begin() + 0x600, b.before.begin() + 0x800, saved->bytes.begin()));
      FUZZ_CHECK(saved->Vid() == b.vid && saved->Pid() == b.pid && saved->Serial() == b.serial);
    }
  }
  return 0;
}
