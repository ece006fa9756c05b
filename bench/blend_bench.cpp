// Blend modes: one 1920 x 1080 photograph-like layer rendered 1:1 over
// another in each of the 38 modes, as a viewer composes two layers, against
// the opaque copy (mode 0 takes the plain row copy path). The destination
// is refilled outside the timed part so every mode blends the same pixels.
// Each mode at ThreadCount 1 (one thread, as before the pool) and at the
// default; each run's result is checked, outside the timing, against the
// mode applied pixel by pixel. x_copy: the mode's time as a multiple of the
// plain copy of the layer (mode 0) at the same thread count, timed beside
// it in the same iterations.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <string>

#include "bench/bench_support.h"
#include "core/kopxutils_settings.h"
#include "core/pxblend.h"
#include "core/pxrender.h"

namespace {

using namespace pixoran;

constexpr int32_t kW = 1920, kH = 1080;
using Clock = std::chrono::steady_clock;

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

// True when dest holds upper blended into lower by the mode, pixel by pixel
// (every 97th row, to keep the check short).
bool BlendDone(Layers& l, uint8_t mode) {
  for (int32_t y = 0; y < kH; y += 97) {
    const uint8_t* s = l.upper->Scanline(y);
    const uint8_t* d = l.lower->Scanline(y);
    const uint8_t* o = l.dest->Scanline(y);
    for (int32_t x = 0; x < kW; ++x) {
      uint8_t want[3] = {d[3 * x], d[3 * x + 1], d[3 * x + 2]};
      BlendPixel(s + 3 * x, want, mode);
      if (std::memcmp(want, o + 3 * x, 3) != 0) return false;
    }
  }
  return true;
}

// state.range(0): the mode; state.range(1): the thread count (0: the
// hardware threads).
void BM_Blend(benchmark::State& state) {
  Layers& l = Shared();
  const auto mode = static_cast<uint8_t>(state.range(0));
  const int32_t saved = PXSettings().ThreadCount.load();
  PXSettings().ThreadCount = static_cast<int32_t>(state.range(1));
  const TPXRenderRect r{0, 0, kW, kH, 0, 0, kW, kH};
  TPXRenderOptions o;
  o.BlendMode = mode;
  o.FreeTables = false;
  TPXRenderTables tables;
  TPXRenderOptions copy;
  copy.FreeTables = false;
  TPXRenderTables copyTables;
  double modeSeconds = 0.0, copySeconds = 0.0;
  const auto refill = [&l] {
    for (int32_t y = 0; y < kH; ++y) std::memcpy(l.dest->Scanline(y), l.lower->Scanline(y), 3 * kW);
  };
  for (auto _ : state) {
    state.PauseTiming();
    // The plain copy of the layer (mode 0), timed beside every run of the
    // mode, so the multiple holds whatever else the machine is doing.
    refill();
    const auto c0 = Clock::now();
    RenderToBitmap(*l.upper, *l.dest, r, copy, &copyTables);
    benchmark::ClobberMemory();
    copySeconds += std::chrono::duration<double>(Clock::now() - c0).count();
    refill();
    state.ResumeTiming();
    const auto t0 = Clock::now();
    RenderToBitmap(*l.upper, *l.dest, r, o, &tables);
    benchmark::ClobberMemory();
    modeSeconds += std::chrono::duration<double>(Clock::now() - t0).count();
    state.PauseTiming();
    const bool done = BlendDone(l, mode);
    state.ResumeTiming();
    if (!done) {
      state.SkipWithError("the layer was not blended");
      break;
    }
  }
  PXSettings().ThreadCount = saved;
  if (copySeconds > 0.0) state.counters["x_copy"] = modeSeconds / copySeconds;
  const char* kind = mode == 0                       ? "opaque copy"
                     : mode < kPXFirstPixelBlendMode ? "per channel"
                     : mode < 34                     ? "one channel"
                                                     : "hue/saturation/lightness";
  state.SetLabel(std::string(kind) + (state.range(1) == 1 ? ", 1 thread" : ", default threads"));
}

BENCHMARK(BM_Blend)
    ->ArgsProduct({benchmark::CreateDenseRange(0, kPXBlendModeCount - 1, 1), {1, 0}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
