// Erase, backup and programming on emulated bridges, as Run and `qvfw erase | backup | program`
// run them. The wall time per iteration is the host's own cost; the counters give what the same
// work takes on hardware by the emulator's timing model, beside the floor of the flash:
//   hw_total_ms    virtual time of the operation (the recovery copy is skipped: see hw_recovery_ms)
//   host_wait_ms   of it, the program's own waits: status polling plus fixed pauses
//   poll_ms        of those, the 10 ms status polls
//   fixed_ms       of those, the fixed pauses (500 ms after an erase, 1000 ms before verifying)
//   floor_ms       the flash's own work (erases by the largest unit the part has, one page program
//                  per page) plus the bytes that must cross the link (with one command per 8 KiB)
//   hw_recovery_ms the recovery copy of the whole flash, measured in a separate run
//   passed         1 when the operation verified
// The loader (QVS810) and disk-area (QV40776 without flash) programs add their own counters:
//   erase_pause_ms, sleep_1ms_ms, sleep_20ms_ms, sleep_3ms_ms   the loader's fixed pauses, each summed
//   floor_ms       loader: the whole-chip erase, one page program per 256 bytes and the commands the
//                  loader needs (B2 + 2 x B3 per 512 bytes written, B6 + B5 per 512 read) with their
//                  payload at the link's rate; disk area: the 64 KiB written and read back at the
//                  link's rate and the disk's media rate, with one head positioning per transfer
#include <benchmark/benchmark.h>

#include "BenchSupport.h"

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#include "app/AppContext.h"
#include "app/Engineering.h"
#include "app/ImageStore.h"
#include "app/MainPresenter.h"
#include "app/Wiring.h"
#include "platform/Clock.h"
#include "sim/Bridge.h"
#include "sim/Flash.h"
#include "sim/Machine.h"

namespace {

using namespace qvfw;

using bench::HostClock;
using bench::QuietShell;
using bench::ScratchDir;

enum class Op { Erase, Backup, Program, ProgramBuffer };

struct Setup {
  uint8_t chip;
  const char* maker;
  uint32_t kib;
  uint32_t imageBytes;
};

struct Run {
  double totalMs = 0, waitMs = 0, pollMs = 0;
  bool passed = false;
};

// The application on an emulated machine, its main window open for as long as the value lives,
// and one engineering run on the machine's first bridge.
class Session {
 public:
  Session(sim::Machine& machine, HostClock& host, const std::filesystem::path& dir)
      : wiring_(Wiring(dir, images_)),
        application_(app::PlatformParts{&machine, &machine, &machine, &host}, shell_, wiring_) {
    app::ConstructMainWindow(application_.ctx());
  }
  ~Session() { app::CloseMainWindow(application_.ctx()); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Options that keep their recovery copies (unless `recovery` is false) below `dir`.
  static app::EngineeringOptions Options(const std::filesystem::path& dir, bool recovery) {
    app::EngineeringOptions o;
    o.skipRecovery = !recovery;
    o.stateDirectory = dir / "state";
    return o;
  }

  // Runs `o`; true when the outcome is a success (a failure is told with QVFW_BENCH_VERBOSE set).
  bool Execute(const app::EngineeringOptions& o) {
    const app::EngineeringOutcome outcome = app::RunEngineering(application_.ctx(), 0, o);
    if (outcome.code() != app::OutcomeCode::Success && ::getenv("QVFW_BENCH_VERBOSE"))
      std::fprintf(stderr, "%s: %s\n", outcome.outcome.statusText.c_str(), outcome.outcome.reason.c_str());
    return outcome.code() == app::OutcomeCode::Success;
  }

 private:
  static app::WiringOptions Wiring(const std::filesystem::path& dir, const app::MemoryImageStore& images) {
    app::WiringOptions wiring;
    wiring.workingDirectory = dir;
    wiring.images = &images;
    return wiring;
  }

  QuietShell shell_;
  const app::MemoryImageStore images_;
  app::WiringOptions wiring_;
  app::Application application_;
};

Run Once(const Setup& s, Op op, bool recovery, const std::filesystem::path& dir) {
  platform::VirtualClock clock;
  HostClock host(clock);
  sim::Machine machine(clock);
  sim::BridgeConfig config = sim::FamilyConfig(s.chip);
  config.bootCheck = false;
  machine.AddBridge("b0", platform::Bus::Usb, config, std::make_unique<sim::SpiFlash>(sim::FlashPreset(s.maker, s.kib)));
  machine.BridgeAt(0)->flash()->data().assign(s.kib * 1024, 0x00);
  Session session(machine, host, dir);

  app::EngineeringOptions o = Session::Options(dir, recovery);
  o.eraseOnly = op == Op::Erase;
  o.backupOnly = op == Op::Backup;
  o.readWriteBuffer = op == Op::ProgramBuffer;
  o.backupFile = (dir / "backup.bin").string();
  o.firmwareFile = (dir / "image.bin").string();
  const uint64_t start = clock.NowMs(), slept = host.slept, polled = host.polled;
  Run r;
  r.passed = session.Execute(o);
  r.totalMs = double(clock.NowMs() - start);
  r.waitMs = double(host.slept - slept);
  r.pollMs = double(host.polled - polled);
  return r;
}

double FloorMs(const Setup& s, Op op) {
  const sim::FlashPart part = sim::FlashPreset(s.maker, s.kib);
  const sim::TimingModel link = sim::TimingModel::UsbBulkOnly();
  auto transfer = [&](double bytes) {
    return (bytes / 8192.0 * link.link.commandOverheadUs + bytes * 1e6 / double(link.link.bytesPerSecond)) / 1000.0;
  };
  uint32_t largest = 0;
  for (const sim::EraseOp& e : part.erases) largest = std::max(largest, e.unit);
  const double size = op == Op::Backup || op == Op::Erase ? double(std::min<uint32_t>(s.kib * 1024, 0x80000)) : s.imageBytes;
  switch (op) {
    case Op::Backup: return transfer(size);
    case Op::Erase: return part.timing.chipEraseUs / 1000.0 + transfer(size);  // erase, then the blank check
    default:
      return (size / largest) * part.timing.blockEraseUs / 1000.0 + (size / part.pageSize) * part.timing.pageProgramUs / 1000.0 +
             transfer(2 * size);  // write, then read back
  }
}

void Measure(benchmark::State& state, Setup s, Op op) {
  const ScratchDir scratch;
  if (!scratch.ok()) {
    state.SkipWithError("no temporary folder");
    return;
  }
  const std::filesystem::path& dir = scratch.path();
  scratch.WriteImage("image.bin", s.imageBytes);
  Run sum;
  double passed = 0;
  for (auto _ : state) {
    const Run r = Once(s, op, false, dir);
    sum.totalMs += r.totalMs;
    sum.waitMs += r.waitMs;
    sum.pollMs += r.pollMs;
    passed += r.passed ? 1 : 0;
  }
  const double n = double(state.iterations());
  state.counters["hw_total_ms"] = sum.totalMs / n;
  state.counters["host_wait_ms"] = sum.waitMs / n;
  state.counters["poll_ms"] = sum.pollMs / n;
  state.counters["fixed_ms"] = (sum.waitMs - sum.pollMs) / n;
  state.counters["floor_ms"] = FloorMs(s, op);
  state.counters["hw_recovery_ms"] = op == Op::Backup ? 0.0 : Once(s, op, true, dir).totalMs - sum.totalMs / n;
  state.counters["passed"] = passed / n;
}

// ---- the loader (QVS810, 256 KiB image) and the disk-resident firmware area (64 KiB image) ----

struct Modeled {
  double totalMs = 0;
  std::map<uint32_t, uint64_t> sleeps;
  bool passed = false;
};

Modeled ProgramOnce(bool loader, const std::filesystem::path& dir, bool recovery) {
  platform::VirtualClock clock;
  HostClock host(clock);
  sim::Machine machine(clock);
  if (loader) {
    machine.AddBridge("b0", platform::Bus::Usb, sim::FamilyConfig(26),
                      std::make_unique<sim::SpiFlash>(sim::FlashPreset("GIGADEVICE", 512)));
    machine.BridgeAt(0)->flash()->data().assign(512 * 1024, 0x00);
  } else {
    sim::BridgeConfig c = sim::FamilyConfig(30, 1);
    c.hasFlash = false;
    c.disk.sectors = 976773168;
    // The marker that puts the area at the capacity rounded up to 256 blocks (flag 0).
    const uint32_t r = 976773168u / 256 * 256 + 256 + 257;
    c.reservedArea.assign(512, 0);
    for (int i = 0; i < 4; ++i) c.reservedArea[151 + i] = static_cast<uint8_t>(r >> (24 - 8 * i));
    machine.AddBridge("b0", platform::Bus::Usb, c, std::make_unique<sim::SpiFlash>(sim::FlashPreset("WINBOND", 64)));
  }
  Session session(machine, host, dir);
  app::EngineeringOptions o = Session::Options(dir, recovery);
  o.firmwareFile = (dir / (loader ? "loader.bin" : "disk.bin")).string();
  const uint64_t start = machine.ElapsedUs();
  const auto before = host.byLength;
  Modeled m;
  m.passed = session.Execute(o);
  m.totalMs = double(machine.ElapsedUs() - start) / 1000.0;
  for (const auto& [length, total] : host.byLength) m.sleeps[length] = total - (before.count(length) ? before.at(length) : 0);
  return m;
}

double LoaderFloorMs() {
  const sim::FlashPart part = sim::FlashPreset("GIGADEVICE", 512);
  const sim::TimingModel t = sim::TimingModel::UsbBulkOnly();
  const double blocks = 0x40000 / 512.0;
  const double commands = blocks * 3 + blocks * 2 + 1;
  const double bytes = 2.0 * 0x40000;
  return part.timing.chipEraseUs / 1000.0 + (0x40000 / part.pageSize) * part.timing.pageProgramUs / 1000.0 +
         (commands * t.link.commandOverheadUs + bytes * 1e6 / double(t.link.bytesPerSecond)) / 1000.0;
}

double DiskFloorMs() {
  const sim::TimingModel t = sim::TimingModel::UsbBulkOnly();
  const sim::DiskTiming d;
  const double bytes = 2.0 * 0x10000;
  return (2.0 * t.link.commandOverheadUs + bytes * 1e6 / double(t.link.bytesPerSecond) + 2.0 * d.accessUs +
          bytes * 1e6 / double(d.mediaBytesPerSecond)) /
         1000.0;
}

void MeasureProgram(benchmark::State& state, bool loader) {
  const ScratchDir scratch;
  if (!scratch.ok()) {
    state.SkipWithError("no temporary folder");
    return;
  }
  const std::filesystem::path& dir = scratch.path();
  scratch.WriteImage(loader ? "loader.bin" : "disk.bin", loader ? 0x40000 : 0x10000);
  Modeled sum;
  double passed = 0;
  for (auto _ : state) {
    const Modeled m = ProgramOnce(loader, dir, false);
    sum.totalMs += m.totalMs;
    for (const auto& [length, total] : m.sleeps) sum.sleeps[length] += total;
    passed += m.passed ? 1 : 0;
  }
  const double n = double(state.iterations());
  state.counters["hw_total_ms"] = sum.totalMs / n;
  if (loader) {
    state.counters["erase_pause_ms"] = double(sum.sleeps[5000]) / n;
    state.counters["sleep_1ms_ms"] = double(sum.sleeps[1]) / n;
    state.counters["sleep_20ms_ms"] = double(sum.sleeps[20]) / n;
    state.counters["sleep_3ms_ms"] = double(sum.sleeps[3]) / n;
  }
  state.counters["floor_ms"] = loader ? LoaderFloorMs() : DiskFloorMs();
  state.counters["hw_recovery_ms"] = ProgramOnce(loader, dir, true).totalMs - sum.totalMs / n;
  state.counters["passed"] = passed / n;
}

const Setup kQvs876{13, "MXIC", 64, 0x10000};
const Setup kQvs812{15, "WINBOND", 512, 0x80000};
// The buffer path carries what the bridge's buffer holds: a 256 KiB dual-bank image (a 512 KiB one
// does not fit there: the run refuses it before it erases, and measures the refusal).
const Setup kQvs812Buffer{15, "WINBOND", 512, 0x40000};

// The older bridges: a 64 KiB image through the whole-image procedure (QV40778) and through the
// stepwise one (QVB784, whose image goes behind the 4 KiB NVRAM: 80 KiB of a 128 KiB flash).
const Setup kQv40778{1, "WINBOND", 64, 0x10000};
const Setup kQvb784{7, "WINBOND", 128, 0x10000};

BENCHMARK_CAPTURE(Measure, qv40778_program_whole_image, kQv40778, Op::Program)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(Measure, qvb784_program_stepwise, kQvb784, Op::Program)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(Measure, qvs876_erase, kQvs876, Op::Erase)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(Measure, qvs876_backup, kQvs876, Op::Backup)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(Measure, qvs876_program, kQvs876, Op::Program)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(Measure, qvs812_erase, kQvs812, Op::Erase)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(Measure, qvs812_backup, kQvs812, Op::Backup)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(Measure, qvs812_program_direct, kQvs812, Op::Program)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(Measure, qvs812_program_buffer_512k, kQvs812, Op::ProgramBuffer)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK_CAPTURE(Measure, qvs812_program_buffer_256k, kQvs812Buffer, Op::ProgramBuffer)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(MeasureProgram, qvs810_loader_program_256k, true)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(MeasureProgram, qv40776_disk_area_program_64k, false)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
