// Paint-path speed: a 6000 x 4000 picture into a 1920 x 1080 back buffer, at
// fit zoom and at 100%, opaque, at half opacity and through an alpha
// channel, as a viewer repaints (step and row tables kept between frames).
// The memcpy case is the floor: 1080 rows of 1920 pixels copied plainly.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <random>

#include "core/kopxutils_bitmap.h"
#include "core/pxrender.h"

namespace {

using namespace pixoran;

constexpr int32_t kSrcW = 6000, kSrcH = 4000, kDstW = 1920, kDstH = 1080;

struct Images {
  TPXBitmap source, dest;
  Images() {
    source.MemoryThreshold = dest.MemoryThreshold = int64_t{1} << 40;
    source.Allocate(kSrcW, kSrcH, pxBGR24);
    dest.Allocate(kDstW, kDstH, pxBGR24);
    std::mt19937 rng(1);
    for (int32_t y = 0; y < kSrcH; ++y) {
      uint8_t* r = source.Scanline(y);
      for (int32_t i = 0; i < source.RowLen(); ++i) r[i] = static_cast<uint8_t>(rng());
    }
    TPXBitmap* a = source.GetAlphaChannel();
    for (int32_t y = 0; y < kSrcH; ++y) {
      uint8_t* r = a->Scanline(y);
      for (int32_t x = 0; x < kSrcW; ++x) r[x] = static_cast<uint8_t>(x + y);
    }
    a->Full = false;
  }
};

Images& Shared() {
  static Images images;
  return images;
}

enum Mode { Opaque = 0, Half = 1, Alpha = 2 };

void Render(benchmark::State& state, bool fit) {
  Images& im = Shared();
  const auto mode = static_cast<Mode>(state.range(0));
  TPXRenderRect r;
  if (fit) {
    // 6000 x 4000 fitted into 1920 x 1080: 1620 x 1080, centred.
    r = TPXRenderRect{0, 0, kSrcW, kSrcH, (kDstW - 1620) / 2, 0, 1620, kDstH};
  } else {
    r = TPXRenderRect{2000, 1500, kDstW, kDstH, 0, 0, kDstW, kDstH};
  }
  TPXRenderOptions o;
  o.Opacity = mode == Half ? 128 : 255;
  o.UseAlpha = mode == Alpha;
  o.RowCopy = true;
  o.FreeTables = false;
  TPXRenderTables tables;
  for (auto _ : state) {
    RenderToBitmap(im.source, im.dest, r, o, &tables);
    benchmark::ClobberMemory();
  }
  state.counters["fps"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.SetLabel(mode == Opaque ? "opacity 255" : mode == Half ? "opacity 128" : "alpha channel");
}

void BM_RenderFit(benchmark::State& state) { Render(state, true); }
void BM_Render100(benchmark::State& state) { Render(state, false); }

void BM_MemcpyRows(benchmark::State& state) {
  Images& im = Shared();
  for (auto _ : state) {
    for (int32_t y = 0; y < kDstH; ++y)
      std::memcpy(im.dest.Scanline(y), im.source.Scanline(1500 + y) + 3 * 2000, 3 * kDstW);
    benchmark::ClobberMemory();
  }
  state.counters["fps"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_MemcpyRows)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Render100)->Arg(Opaque)->Arg(Half)->Arg(Alpha)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RenderFit)->Arg(Opaque)->Arg(Half)->Arg(Alpha)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
