// The image check value (slicing-by-8, beside one table per byte and one bit at a time) and the
// exchange-block scrambler (table-driven against the bit-by-bit reference), over the sizes the
// tool uses them on: the exchange block (4 KiB), a bank (128 KiB) and a whole update image
// (256 KiB).

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "codec/ImageCodec.h"

namespace {

std::vector<uint8_t> Data(size_t size) {
  std::vector<uint8_t> bytes(size);
  std::mt19937 rng(1);
  for (auto& b : bytes) b = static_cast<uint8_t>(rng());
  return bytes;
}

template <uint32_t (*Crc)(std::span<const uint8_t>)>
void BM_ImageCrc(benchmark::State& state) {
  const auto data = Data(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(Crc(data));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

template <void (*Scramble)(const uint8_t*, uint8_t*, size_t)>
void BM_ScrambleBlock(benchmark::State& state) {
  const auto data = Data(static_cast<size_t>(state.range(0)));
  std::vector<uint8_t> out(data.size());
  for (auto _ : state) {
    Scramble(data.data(), out.data(), data.size());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

}  // namespace

BENCHMARK(BM_ImageCrc<qvfw::codec::ImageCrc>)->Name("ImageCrc/slicing8")->Arg(4096)->Arg(128 << 10)->Arg(256 << 10);
BENCHMARK(BM_ImageCrc<qvfw::codec::ImageCrcBytewise>)->Name("ImageCrc/bytewise")->Arg(4096)->Arg(128 << 10)->Arg(256 << 10);
BENCHMARK(BM_ImageCrc<qvfw::codec::ImageCrcBitwise>)->Name("ImageCrc/bitwise")->Arg(4096)->Arg(128 << 10)->Arg(256 << 10);
BENCHMARK(BM_ScrambleBlock<qvfw::codec::ScrambleBlock>)->Name("ScrambleBlock/table")->Arg(4096)->Arg(256 << 10);
BENCHMARK(BM_ScrambleBlock<qvfw::codec::ScrambleBlockBitwise>)->Name("ScrambleBlock/bitwise")->Arg(4096)->Arg(256 << 10);
