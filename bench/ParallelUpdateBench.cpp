// `qvfw update --all` on emulated machines of 1, 4, 16 and 64 QVS812 bridges, all on one USB 2.0
// host controller or each on a UASP port of its own. The wall and CPU time per iteration are the
// host's own cost (CPU of every thread); the counters give what the same work takes on hardware by
// the emulator's timing model:
//   hw_scan_s     the scan that lists the bridges (one after the other, as `qvfw` does)
//   hw_update_s   the update of all of them at once, from the first inspection to the last check
//   ratio         hw_update_s over the same figure for one bridge on the same link
//   passed        bridges that passed
//   peak_rss_MiB  the process's peak resident memory so far (run one size alone to read it)
#include <benchmark/benchmark.h>

#include "BenchSupport.h"

#include <stdlib.h>
#include <sys/resource.h>

#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <numeric>

#include "app/DeviceFacts.h"
#include "app/ImageStore.h"
#include "app/UpdateAll.h"
#include "app/Wiring.h"
#include "platform/Clock.h"
#include "sim/Machine.h"
#include "sim/Scenario.h"

namespace {

using namespace qvfw;

std::string Scenario(int bridges, const char* bus) {
  nlohmann::json disks = nlohmann::json::array();
  for (int i = 0; i < bridges; ++i) {
    disks.push_back({{"name", "b" + std::to_string(i)},
                     {"bus", bus},
                     {"chipType", 15},
                     {"flash", {{"part", "MXIC"}, {"sizeKiB", 512}}},
                     {"firmware", {{"generate", {{"version", "1201"}}}}},
                     {"usb", {{"vid", "0x284D"}, {"pid", "0x0812"}}},
                     {"serial", "QV812P" + std::to_string(100000 + i)}});
  }
  return nlohmann::json{{"disks", disks}}.dump();
}

struct Run {
  double scanS = 0, updateS = 0;
  size_t passed = 0;
};

Run UpdateAll(int bridges, const char* bus, const app::ImageStore& images, const std::filesystem::path& dir) {
  platform::VirtualClock clock;
  auto machine = sim::LoadScenario(Scenario(bridges, bus), clock);
  bench::QuietShell shell;
  app::WiringOptions wiring;
  wiring.workingDirectory = dir;
  wiring.stateDirectory = dir / "state";
  wiring.images = &images;
  app::Application application(app::PlatformParts{machine.get(), machine.get(), machine.get(), &clock}, shell, wiring);
  app::AppContext& ctx = application.ctx();
  Run r;
  const uint64_t start = clock.NowUs();
  ctx.scan = app::ScanDevices(ctx);
  const uint64_t scanned = clock.NowUs();
  std::vector<size_t> indices(ctx.scan.devices.size());
  std::iota(indices.begin(), indices.end(), size_t{0});
  const app::UpdateAllResult result = app::UpdateBridges(ctx, indices, {});
  r.scanS = double(scanned - start) / 1e6;
  r.updateS = double(clock.NowUs() - scanned) / 1e6;
  for (const auto& b : result.bridges) r.passed += b.outcome.code == app::OutcomeCode::Success ? 1 : 0;
  return r;
}

void BM_UpdateAll(benchmark::State& state, const char* bus) {
  const int bridges = static_cast<int>(state.range(0));
  const app::EmbeddedImageStore images;
  const bench::ScratchDir scratch;
  if (!scratch.ok()) {
    state.SkipWithError("no temporary folder");
    return;
  }
  const std::filesystem::path& dir = scratch.path();
  static std::map<std::string, double> one;  // one bridge's update time by bus
  if (!one.count(bus)) one[bus] = UpdateAll(1, bus, images, dir).updateS;
  Run last;
  for (auto _ : state) last = UpdateAll(bridges, bus, images, dir);
  state.counters["hw_scan_s"] = last.scanS;
  state.counters["hw_update_s"] = last.updateS;
  state.counters["ratio"] = last.updateS / one[bus];
  state.counters["passed"] = double(last.passed);
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  state.counters["peak_rss_MiB"] = double(usage.ru_maxrss) / 1024.0;
}

BENCHMARK_CAPTURE(BM_UpdateAll, usb2, "usb")
    ->Arg(1)->Arg(4)->Arg(16)->Arg(64)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK_CAPTURE(BM_UpdateAll, uasp, "uasp")
    ->Arg(1)->Arg(4)->Arg(16)->Arg(64)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

}  // namespace
