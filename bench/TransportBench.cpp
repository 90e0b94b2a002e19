// Host-side cost of one command through the layer: build the CDB, fill the request, run it on
// a backend that answers at once, judge the result.
#include <benchmark/benchmark.h>

#include "device/Commands.h"

namespace {

using namespace qvfw;

class NullPassThrough final : public platform::PassThrough {
 public:
  platform::ScsiResult Execute(std::string_view, const platform::ScsiRequest& r) override {
    benchmark::DoNotOptimize(r.data);
    platform::ScsiResult res;
    res.opened = res.ioctlOk = true;
    res.transferred = r.length;
    return res;
  }
};

struct Bench {
  NullPassThrough backend;
  platform::NullDiagnostics diag;
  device::Transport transport{backend, diag};
  device::Device dev{transport, "/dev/sg1"};
};

void BM_NoDataCommand(benchmark::State& state) {
  Bench b;
  for (auto _ : state) benchmark::DoNotOptimize(device::EraseFlashSector(b.dev, 0x10000));
}
BENCHMARK(BM_NoDataCommand);

void BM_ReadFlashStatus(benchmark::State& state) {
  Bench b;
  uint8_t status = 0;
  for (auto _ : state) benchmark::DoNotOptimize(device::ReadFlashStatus(b.dev, status));
}
BENCHMARK(BM_ReadFlashStatus);

void BM_ReadMemory4(benchmark::State& state) {
  Bench b;
  uint8_t out[4];
  for (auto _ : state) benchmark::DoNotOptimize(device::ReadMemory(b.dev, 0x506A, out));
}
BENCHMARK(BM_ReadMemory4);

// A plain data transfer passes through an aligned bounce buffer: its cost grows with the size.
void BM_ReadFlashLong(benchmark::State& state) {
  Bench b;
  std::vector<uint8_t> out(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(device::ReadFlashLong(b.dev, 0, out));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ReadFlashLong)->Arg(512)->Arg(65536);

void BM_ReadBufferSense(benchmark::State& state) {
  Bench b;
  uint8_t out[512];
  for (auto _ : state) benchmark::DoNotOptimize(device::QV_ReadBuffer(b.dev, 0x02, 0x01, 0x600, out, sizeof out));
}
BENCHMARK(BM_ReadBufferSense);

}  // namespace
