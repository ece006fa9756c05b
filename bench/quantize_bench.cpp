// Quantizing a 12-megapixel photograph-like image: building the palette and
// mapping every pixel.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "bench/bench_support.h"
#include "core/kopxutils_bitmap.h"
#include "core/neurquant.h"

namespace {

using namespace pixoran;

constexpr int32_t kWidth = 4000;
constexpr int32_t kHeight = 3000;

// The photograph-like source, built once.
TPXBitmap& Photo() {
  static std::unique_ptr<TPXBitmap> bmp = bench::MakePhotoLike(kWidth, kHeight);
  return *bmp;
}

// Init, then every pixel through ColorIndex.
void BM_QuantizeColorIndex(benchmark::State& state) {
  TPXBitmap& bmp = Photo();
  const int32_t n = static_cast<int32_t>(state.range(0));
  std::vector<TBGR> palette(256);
  for (auto _ : state) {
    TPXQuantizer q;
    q.Init(bmp, palette, n);
    int64_t sum = 0;
    for (int32_t y = 0; y < kHeight; ++y) {
      const uint8_t* p = bmp.Scanline(y);
      for (int32_t x = 0; x < kWidth; ++x, p += 3) sum += q.ColorIndex(p[0] | (p[1] << 8) | (p[2] << 16));
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * int64_t{kWidth} * kHeight);
}
BENCHMARK(BM_QuantizeColorIndex)->Arg(256)->Arg(16)->Unit(benchmark::kMillisecond);

// Init, then every row through MapRow (what writers use).
void BM_QuantizeMapRow(benchmark::State& state) {
  TPXBitmap& bmp = Photo();
  const int32_t n = static_cast<int32_t>(state.range(0));
  std::vector<TBGR> palette(256);
  std::vector<uint8_t> indices(kWidth);
  for (auto _ : state) {
    TPXQuantizer q;
    q.Init(bmp, palette, n);
    for (int32_t y = 0; y < kHeight; ++y) {
      q.MapRow(bmp.Scanline(y), indices.data(), kWidth);
      benchmark::DoNotOptimize(indices.data());
    }
  }
  state.SetItemsProcessed(state.iterations() * int64_t{kWidth} * kHeight);
}
BENCHMARK(BM_QuantizeMapRow)->Arg(256)->Arg(16)->Unit(benchmark::kMillisecond);

// Palette building alone.
void BM_QuantizeInit(benchmark::State& state) {
  TPXBitmap& bmp = Photo();
  const int32_t n = static_cast<int32_t>(state.range(0));
  std::vector<TBGR> palette(256);
  for (auto _ : state) {
    TPXQuantizer q;
    q.Init(bmp, palette, n);
    benchmark::DoNotOptimize(palette.data());
  }
}
BENCHMARK(BM_QuantizeInit)->Arg(256)->Arg(16)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
