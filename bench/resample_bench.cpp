// Resampling a 6000 x 4000 photograph-like image: reduced to 1500 x 1000 and
// enlarged to 9000 x 6000 with the kernel (Lanczos3, Triangle), fixed-point
// linear and area bicubic filters. Single thread, rows in memory.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>

#include "core/kopxutils_bitmap.h"
#include "core/pxresample.h"

namespace {

using namespace pixoran;

constexpr int32_t kWidth = 6000;
constexpr int32_t kHeight = 4000;

// Smooth gradients, hard edges and fine texture with noise, the same on every run.
TPXBitmap& Photo() {
  static std::unique_ptr<TPXBitmap> bmp = [] {
    auto b = std::make_unique<TPXBitmap>();
    b->MemoryThreshold = std::numeric_limits<int64_t>::max();
    b->Allocate(kWidth, kHeight, pxBGR24);
    uint32_t s = 12345;
    for (int32_t y = 0; y < kHeight; ++y) {
      uint8_t* p = b->Scanline(y);
      for (int32_t x = 0; x < kWidth; ++x, p += 3) {
        s = s * 1664525u + 1013904223u;
        const int32_t noise = static_cast<int32_t>((s >> 24) % 21) - 10;
        const int32_t edge = ((x / 700 + y / 500) % 2) * 40;
        const int32_t texture = static_cast<int32_t>(25 * std::sin(x * 0.05) * std::cos(y * 0.031));
        p[0] = static_cast<uint8_t>(std::clamp(60 + x * 120 / kWidth + edge + noise, 0, 255));
        p[1] = static_cast<uint8_t>(std::clamp(200 - y * 150 / kHeight + texture + noise, 0, 255));
        p[2] = static_cast<uint8_t>(std::clamp(90 + ((x - 3000) * (y - 2000)) / 90000 + edge + noise, 0, 255));
      }
    }
    return b;
  }();
  return *bmp;
}

void Run(benchmark::State& state, TResampleFilter filter, int32_t w, int32_t h) {
  TPXBitmap& src = Photo();
  TPXBitmap dst;
  dst.MemoryThreshold = std::numeric_limits<int64_t>::max();
  dst.Allocate(w, h, pxBGR24);
  for (auto _ : state) {
    ResampleBitmap(src, dst, filter);
    benchmark::DoNotOptimize(dst.Scanline(h / 2));
  }
  state.counters["src_Mpx/s"] = benchmark::Counter(double(kWidth) * kHeight * state.iterations() / 1e6,
                                                  benchmark::Counter::kIsRate);
}

void BM_Reduce(benchmark::State& state) {
  Run(state, static_cast<TResampleFilter>(state.range(0)), 1500, 1000);
}
void BM_Enlarge(benchmark::State& state) {
  Run(state, static_cast<TResampleFilter>(state.range(0)), 9000, 6000);
}

void Filters(benchmark::internal::Benchmark* b) {
  b->ArgName("filter");
  for (TResampleFilter f : {rfLanczos3, rfBicubic, rfFastLinear, rfTriangle}) b->Arg(f);
  b->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(BM_Reduce)->Apply(Filters);
BENCHMARK(BM_Enlarge)->Apply(Filters);

}  // namespace

BENCHMARK_MAIN();
