// The one-click update of the default emulated machine, start-up included, as `qvfw --sim update`
// runs it. The wall time per iteration is the host's own cost; the counters give what the same
// update takes on hardware by the emulator's timing model, phase by phase, beside the floor that
// model sets for the transfers alone:
//   hw_*_ms     virtual time of each phase of the update (identity backup, programming, read-back,
//               identity write, restart with the wait, id check, timer restore and the result shown)
//   host_wait_ms  of the total, the program's own fixed waits (sleeps of the flow and transport)
//   hw_device_ms  the rest: the time the device itself takes for the commands
//   floor_link_ms  the transfers alone: every command of the update at the link's cost (overhead
//                  plus bytes at its rate)
//   floor_flash_ms the flash's own work: one chip erase and one page program per programmed page
// The two floors are not added: the model lets the link run while the flash programs.
#include <benchmark/benchmark.h>

#include "BenchSupport.h"

#include <stdlib.h>

#include <filesystem>
#include <memory>

#include "app/AppContext.h"
#include "app/FirmwareChoice.h"
#include "app/ImageStore.h"
#include "app/MainPresenter.h"
#include "app/OneClick.h"
#include "app/Wiring.h"
#include "platform/Clock.h"
#include "platform/Diagnostics.h"
#include "sim/Machine.h"
#include "sim/Scenario.h"

namespace {

using namespace qvfw;

using bench::HostClock;
using bench::QuietShell;

enum Phase { kBackup, kProgram, kReadBack, kIdentity, kRestart, kPhases };

// Counts the update's commands and bytes and notes the virtual time at each phase's first command.
class PhaseTap final : public platform::PassThrough {
 public:
  PhaseTap(platform::PassThrough& inner, platform::VirtualClock& clock) : inner_(inner), clock_(clock) {}
  platform::ScsiResult Execute(std::string_view path, const platform::ScsiRequest& r) override {
    if (counting) {
      const auto& c = r.cdb;
      Phase p = phase;
      if (c[0] == 0x3C && c[1] == 0x03 && phase == kBackup) p = kProgram;  // the descriptor opens programming
      if (c[0] == 0x3C && c[1] == 0x01 && c[2] == 0x00 && phase == kProgram) p = kReadBack;
      if (c[0] == 0xC3) p = kIdentity;
      if (c[0] == 0xFF && c[1] == 0x04 && c[2] == 0x26) p = kRestart;
      if (p != phase) {
        phase = p;
        startMs[p] = clock_.NowMs();
      }
      ++commands;
      bytes += r.length;
      if (c[0] == 0x3B && c[1] == 0x0E) programmed += r.length;
    }
    return inner_.Execute(path, r);
  }
  bool counting = false;
  Phase phase = kBackup;
  uint64_t startMs[kPhases] = {};
  uint64_t commands = 0, bytes = 0, programmed = 0;

 private:
  platform::PassThrough& inner_;
  platform::VirtualClock& clock_;
};

void BM_OneClickUpdateDefaultMachine(benchmark::State& state) {
  const char* names[kPhases] = {"hw_backup_ms", "hw_program_ms", "hw_readback_ms", "hw_identity_ms", "hw_restart_ms"};
  double phaseMs[kPhases] = {}, totalMs = 0, hostWaitMs = 0, linkMs = 0, flashMs = 0, passed = 0;
  const app::EmbeddedImageStore images;
  // The exchange file goes to a folder of this run's own.
  const bench::ScratchDir scratch;
  if (!scratch.ok()) {
    state.SkipWithError("no temporary folder");
    return;
  }
  const std::filesystem::path& workDir = scratch.path();
  for (auto _ : state) {
    platform::VirtualClock clock;
    HostClock host(clock);
    auto machine = sim::DefaultMachine(clock);
    PhaseTap tap(*machine, clock);
    QuietShell shell;
    app::WiringOptions wiring;
    wiring.workingDirectory = workDir;
    wiring.stateDirectory = workDir / "state";
    wiring.images = &images;
    app::Application application(app::PlatformParts{&tap, machine.get(), machine.get(), &host}, shell, wiring);
    app::AppContext& ctx = application.ctx();
    app::ConstructMainWindow(ctx);

    tap.counting = true;
    tap.startMs[kBackup] = clock.NowMs();
    const uint64_t slept = host.slept;
    const app::Outcome outcome = app::YesBtnClick(ctx);
    const uint64_t endMs = clock.NowMs();
    tap.counting = false;
    passed += outcome.code == app::OutcomeCode::Success ? 1 : 0;
    app::CloseMainWindow(ctx);

    for (int p = 0; p < kPhases; ++p) phaseMs[p] += double((p + 1 < kPhases ? tap.startMs[p + 1] : endMs) - tap.startMs[p]);
    totalMs += double(endMs - tap.startMs[kBackup]);
    hostWaitMs += double(host.slept - slept);

    const size_t disk = *machine->FindDisk("bridge0");
    const sim::TimingModel link = sim::TimingModel::UsbBulkOnly();
    linkMs += (double(tap.commands) * link.link.commandOverheadUs + double(tap.bytes) * 1e6 / double(link.link.bytesPerSecond)) /
              1000.0;
    const sim::FlashPart& part = machine->BridgeAt(disk)->flash()->part();
    flashMs += (double(part.timing.chipEraseUs) + double(tap.programmed / part.pageSize) * part.timing.pageProgramUs) / 1000.0;
    benchmark::DoNotOptimize(ctx.state.ExpectedVid);
  }
  const double n = double(state.iterations());
  for (int p = 0; p < kPhases; ++p) state.counters[names[p]] = phaseMs[p] / n;
  state.counters["hw_total_ms"] = totalMs / n;
  state.counters["host_wait_ms"] = hostWaitMs / n;
  state.counters["floor_link_ms"] = linkMs / n;
  state.counters["floor_flash_ms"] = flashMs / n;
  state.counters["hw_device_ms"] = (totalMs - hostWaitMs) / n;
  state.counters["passed"] = passed / n;
}
BENCHMARK(BM_OneClickUpdateDefaultMachine)->Unit(benchmark::kMillisecond);

}  // namespace
