// Pixel-format conversion of a 12-megapixel photograph-like image: 24-bit to
// 8-bit grey, and 24-bit to 1 bit by ordered dither and by the threshold at
// the mean.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

#include "core/kopxutils_bitmap.h"

namespace {

using namespace pixoran;

constexpr int32_t kWidth = 4000;
constexpr int32_t kHeight = 3000;

// Smooth gradients plus noise, the same on every run.
TPXBitmap& Photo() {
  static std::unique_ptr<TPXBitmap> bmp = [] {
    auto b = std::make_unique<TPXBitmap>();
    b->MemoryThreshold = std::numeric_limits<int64_t>::max();
    b->Allocate(kWidth, kHeight, pxBGR24);
    uint32_t s = 12345;
    for (int32_t y = 0; y < kHeight; ++y) {
      uint8_t* p = b->Scanline(y);
      for (int32_t x = 0; x < kWidth; ++x, p += 3) {
        auto noise = [&] {
          s = s * 1664525u + 1013904223u;
          return static_cast<int32_t>((s >> 24) % 25) - 12;
        };
        const int32_t r = 40 + x * 180 / kWidth + (y * 60 / kHeight);
        const int32_t g = 220 - y * 200 / kHeight + ((x / 300) % 2) * 20;
        const int32_t bl = 128 + ((x - 2000) * (y - 1500)) / 60000;
        p[0] = static_cast<uint8_t>(std::clamp(bl + noise(), 0, 255));
        p[1] = static_cast<uint8_t>(std::clamp(g + noise(), 0, 255));
        p[2] = static_cast<uint8_t>(std::clamp(r + noise(), 0, 255));
      }
    }
    return b;
  }();
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
