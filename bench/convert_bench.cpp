// Pixel-format conversion of a 12-megapixel photograph-like image: 24-bit to
// 8-bit grey, and 24-bit to 1 bit by ordered dither and by the threshold at
// the mean.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

#include "bench/bench_support.h"
#include "core/kopxutils_bitmap.h"

namespace {

using namespace pixoran;

constexpr int32_t kWidth = 4000;
constexpr int32_t kHeight = 3000;

// The photograph-like source, built once.
TPXBitmap& Photo() {
  static std::unique_ptr<TPXBitmap> bmp = bench::MakePhotoLike(kWidth, kHeight);
  return *bmp;
}

// A fresh in-memory copy of the photograph, outside the timing.
void Reload(TPXBitmap& work) {
  TPXBitmap& src = Photo();
  work.MemoryThreshold = std::numeric_limits<int64_t>::max();
  if (work.PixelFormat() != pxBGR24 || work.Width() != kWidth || work.Height() != kHeight)
    work.Allocate(kWidth, kHeight, pxBGR24);
  for (int32_t y = 0; y < kHeight; ++y) std::memcpy(work.Scanline(y), src.Scanline(y), kWidth * 3);
}

void Convert(benchmark::State& state, TPXPixelFormat to, uint8_t bwConversion) {
  TPXBitmap work;
  for (auto _ : state) {
    state.PauseTiming();
    Reload(work);
    work.BWConversion = bwConversion;
    state.ResumeTiming();
    work.SetPixelFormat(to);
    benchmark::DoNotOptimize(work.Scanline(0));
  }
  state.SetItemsProcessed(state.iterations() * int64_t{kWidth} * kHeight);
}

void BM_ConvertBGR24ToGray8(benchmark::State& state) { Convert(state, pxGray8, 1); }
void BM_ConvertBGR24ToBW1Ordered(benchmark::State& state) { Convert(state, pxBW1, 0); }
void BM_ConvertBGR24ToBW1Threshold(benchmark::State& state) { Convert(state, pxBW1, 1); }

BENCHMARK(BM_ConvertBGR24ToGray8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConvertBGR24ToBW1Ordered)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConvertBGR24ToBW1Threshold)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
