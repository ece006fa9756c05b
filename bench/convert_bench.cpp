// Pixel-format conversion of a 12-megapixel photograph-like image: 24-bit to
// 8-bit grey, and 24-bit to 1 bit by ordered dither and by the threshold at
// the mean. Each at ThreadCount 1 (one thread, as before the pool) and at
// the default (every hardware thread); each run's result is checked against
// the one-thread result outside the timing.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

#include "bench/bench_support.h"
#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_settings.h"

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

// FNV-1a over the used bytes of every row.
uint64_t RowsHash(TPXBitmap& b) {
  uint64_t h = 1469598103934665603ull;
  const size_t used = (static_cast<size_t>(b.Width()) * static_cast<size_t>(b.BitCount()) + 7) / 8;
  for (int32_t y = 0; y < b.Height(); ++y) {
    const uint8_t* r = b.Scanline(y);
    for (size_t i = 0; i < used; ++i) h = (h ^ r[i]) * 1099511628211ull;
  }
  return h;
}

// The result one thread gives, for the check.
uint64_t Expected(TPXPixelFormat to, uint8_t bwConversion) {
  const int32_t saved = PXSettings().ThreadCount.load();
  PXSettings().ThreadCount = 1;
  TPXBitmap work;
  Reload(work);
  work.BWConversion = bwConversion;
  work.SetPixelFormat(to);
  PXSettings().ThreadCount = saved;
  return RowsHash(work);
}

// state.range(0): the thread count (0: the hardware threads).
void Convert(benchmark::State& state, TPXPixelFormat to, uint8_t bwConversion) {
  const uint64_t expected = Expected(to, bwConversion);
  const int32_t saved = PXSettings().ThreadCount.load();
  PXSettings().ThreadCount = static_cast<int32_t>(state.range(0));
  TPXBitmap work;
  for (auto _ : state) {
    state.PauseTiming();
    Reload(work);
    work.BWConversion = bwConversion;
    state.ResumeTiming();
    work.SetPixelFormat(to);
    benchmark::DoNotOptimize(work.Scanline(0));
    state.PauseTiming();
    if (work.PixelFormat() != to || RowsHash(work) != expected) {
      state.SkipWithError("conversion result differs from one thread's");
      state.ResumeTiming();
      break;
    }
    state.ResumeTiming();
  }
  PXSettings().ThreadCount = saved;
  state.SetItemsProcessed(state.iterations() * int64_t{kWidth} * kHeight);
  state.SetLabel(state.range(0) == 1 ? "1 thread" : "default threads");
}

void BM_ConvertBGR24ToGray8(benchmark::State& state) { Convert(state, pxGray8, 1); }
void BM_ConvertBGR24ToBW1Ordered(benchmark::State& state) { Convert(state, pxBW1, 0); }
void BM_ConvertBGR24ToBW1Threshold(benchmark::State& state) { Convert(state, pxBW1, 1); }

// Grey conversion of the 6000 x 4000 picture the other benchmarks share, at
// the thread count PIXORAN_THREADS gives: tools/transform_peers.sh times
// libvips's conversion of the same picture beside it.
void BM_ConvertPhoto24MPToGray8(benchmark::State& state) {
  TPXBitmap& src = bench::SharedPhotoLike<6000, 4000>();
  TPXBitmap work;
  work.MemoryThreshold = std::numeric_limits<int64_t>::max();
  for (auto _ : state) {
    state.PauseTiming();
    work.Assign(&src);
    state.ResumeTiming();
    work.SetPixelFormat(pxGray8);
    benchmark::DoNotOptimize(work.Scanline(0));
  }
  state.SetItemsProcessed(state.iterations() * int64_t{6000} * 4000);
}

BENCHMARK(BM_ConvertPhoto24MPToGray8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ConvertBGR24ToGray8)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ConvertBGR24ToBW1Ordered)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ConvertBGR24ToBW1Threshold)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
