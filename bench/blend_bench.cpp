// Blend modes: one 1920 x 1080 photograph-like layer rendered 1:1 over
// another in each of the 38 modes, as a viewer composes two layers, against
// the opaque copy (mode 0 takes the plain row copy path). The destination
// is refilled outside the timed part so every mode blends the same pixels.
#include <benchmark/benchmark.h>

#include <cstring>

#include "bench/bench_support.h"
#include "core/pxblend.h"
#include "core/pxrender.h"

namespace {

using namespace pixoran;

constexpr int32_t kW = 1920, kH = 1080;

struct Layers {
  std::unique_ptr<TPXBitmap> upper = bench::MakePhotoLike(kW, kH);
  std::unique_ptr<TPXBitmap> lower = bench::MakePhotoLike(kW, kH);
  std::unique_ptr<TPXBitmap> dest = bench::MakePhotoLike(kW, kH);
  Layers() {
    // The upper layer mirrored, so the two layers differ pixel by pixel.
    for (int32_t y = 0; y < kH; ++y) {
      uint8_t* r = upper->Scanline(y);
      for (int32_t x = 0; x < kW / 2; ++x)
        for (int c = 0; c < 3; ++c) std::swap(r[3 * x + c], r[3 * (kW - 1 - x) + c]);
    }
  }
};

Layers& Shared() {
  static Layers l;
  return l;
}

void BM_Blend(benchmark::State& state) {
  Layers& l = Shared();
  const auto mode = static_cast<uint8_t>(state.range(0));
  const TPXRenderRect r{0, 0, kW, kH, 0, 0, kW, kH};
  TPXRenderOptions o;
  o.BlendMode = mode;
  o.FreeTables = false;
  TPXRenderTables tables;
  for (auto _ : state) {
    state.PauseTiming();
    for (int32_t y = 0; y < kH; ++y) std::memcpy(l.dest->Scanline(y), l.lower->Scanline(y), 3 * kW);
    state.ResumeTiming();
    RenderToBitmap(*l.upper, *l.dest, r, o, &tables);
    benchmark::ClobberMemory();
  }
  state.SetLabel(mode == 0                       ? "opaque copy"
                 : mode < kPXFirstPixelBlendMode ? "per channel"
                 : mode < 34                     ? "one channel"
                                                 : "hue/saturation/lightness");
}

BENCHMARK(BM_Blend)->DenseRange(0, kPXBlendModeCount - 1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
