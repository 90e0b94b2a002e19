// Host-side cost of one command through the layer: build the CDB, fill the request, run it on
// a backend that answers at once, judge the result.
#include <benchmark/benchmark.h>

#include <cstring>

#include "device/Commands.h"
#include "platform/Recording.h"
#include "platform/SessionRecorder.h"

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

// The same commands with the run recorded (--record): what the recorder adds to each request,
// which is copying what went out and what came back and reading the clock twice. A recording
// grows with every request, so these runs have a fixed length.
// A device's reply is seldom zeros, and the recorder keeps a reply without its trailing zeros:
// this backend fills what it answers, so a reply is copied whole.
class FillingPassThrough final : public platform::PassThrough {
 public:
  platform::ScsiResult Execute(std::string_view, const platform::ScsiRequest& r) override {
    if (r.dataIn && r.data) std::memset(r.data, 0xA5, r.length);
    platform::ScsiResult res;
    res.opened = res.ioctlOk = true;
    res.transferred = r.length;
    return res;
  }
};

struct RecordedBench {
  FillingPassThrough backend;
  platform::SteadyClock clock;
  platform::LaneClock lanes{clock};
  platform::SessionRecorder recorder{backend, nullptr, nullptr, lanes};
  platform::NullDiagnostics diag;
  device::Transport transport{recorder, diag};
  device::Device dev{transport, "/dev/sg1"};
};

void BM_Recorded_NoDataCommand(benchmark::State& state) {
  RecordedBench b;
  for (auto _ : state) benchmark::DoNotOptimize(device::EraseFlashSector(b.dev, 0x10000));
}
BENCHMARK(BM_Recorded_NoDataCommand)->Iterations(200000);

void BM_Recorded_ReadFlashStatus(benchmark::State& state) {
  RecordedBench b;
  uint8_t status = 0;
  for (auto _ : state) benchmark::DoNotOptimize(device::ReadFlashStatus(b.dev, status));
}
BENCHMARK(BM_Recorded_ReadFlashStatus)->Iterations(200000);

void BM_Recorded_ReadMemory4(benchmark::State& state) {
  RecordedBench b;
  uint8_t out[4];
  for (auto _ : state) benchmark::DoNotOptimize(device::ReadMemory(b.dev, 0x506A, out));
}
BENCHMARK(BM_Recorded_ReadMemory4)->Iterations(200000);

void BM_FilledReadFlashLong(benchmark::State& state) {
  FillingPassThrough backend;
  platform::NullDiagnostics diag;
  device::Transport transport{backend, diag};
  device::Device dev{transport, "/dev/sg1"};
  std::vector<uint8_t> out(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(device::ReadFlashLong(dev, 0, out));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_FilledReadFlashLong)->Arg(512)->Arg(65536);

void BM_Recorded_ReadFlashLong(benchmark::State& state) {
  RecordedBench b;
  std::vector<uint8_t> out(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(device::ReadFlashLong(b.dev, 0, out));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Recorded_ReadFlashLong)->Arg(512)->Iterations(20000);
BENCHMARK(BM_Recorded_ReadFlashLong)->Arg(65536)->Iterations(2000);

void BM_Recorded_WriteFlash(benchmark::State& state) {
  RecordedBench b;
  std::vector<uint8_t> data(static_cast<size_t>(state.range(0)), 0x5A);
  for (auto _ : state) benchmark::DoNotOptimize(device::WriteFlash(b.dev, 0, data));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Recorded_WriteFlash)->Arg(512)->Iterations(20000);
BENCHMARK(BM_Recorded_WriteFlash)->Arg(65536)->Iterations(2000);

void BM_WriteFlash(benchmark::State& state) {
  Bench b;
  std::vector<uint8_t> data(static_cast<size_t>(state.range(0)), 0x5A);
  for (auto _ : state) benchmark::DoNotOptimize(device::WriteFlash(b.dev, 0, data));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_WriteFlash)->Arg(512)->Arg(65536);

// Writing the file when the program ends, and reading it for a replay: per request of 512 bytes
// of data out (hex, JSON).
platform::SessionRecording WritesOf(size_t count, size_t bytes) {
  RecordedBench b;
  std::vector<uint8_t> data(bytes);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
  for (size_t i = 0; i < count; ++i) device::WriteFlash(b.dev, static_cast<uint32_t>(i * bytes), data);
  platform::SessionRecording rec;
  rec.calls = b.recorder.Calls();
  return rec;
}

void BM_FormatRecording(benchmark::State& state) {
  const platform::SessionRecording rec = WritesOf(1000, static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(platform::FormatRecording(rec));
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_FormatRecording)->Arg(512)->Unit(benchmark::kMillisecond);

void BM_ParseRecording(benchmark::State& state) {
  const std::string text = platform::FormatRecording(WritesOf(1000, static_cast<size_t>(state.range(0))));
  for (auto _ : state) benchmark::DoNotOptimize(platform::ParseRecording(text));
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_ParseRecording)->Arg(512)->Unit(benchmark::kMillisecond);

}  // namespace
