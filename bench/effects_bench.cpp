// The program's pixel effects on a 6000 x 4000 24-bit platform bitmap,
// each against a plain copy of the same image in the same binary (the
// "Copy" benchmark): lighten, darken, mosaic, tile and twist, each at
// ThreadCount 1 and at the default. The processing component's wave and
// sphere lens on the same picture as a TPXBitmap, per megapixel.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

#include "app/ProEffectImage.h"
#include "bench/bench_support.h"
#include "core/kopxutils_settings.h"
#include "proc/pxfilters.h"

namespace {

using namespace pixoran;
using namespace tolvaren;

constexpr int32_t kWidth = 6000;
constexpr int32_t kHeight = 4000;

const TBitmap& Photo() {
  static std::unique_ptr<TBitmap> bmp = [] {
    auto px = bench::MakePhotoLike(kWidth, kHeight);
    auto b = std::make_unique<TBitmap>();
    b->SetPixelFormat(pf24bit);
    b->SetSize(kWidth, kHeight);
    for (int32_t y = 0; y < kHeight; ++y) std::memcpy(b->ScanLine(y), px->Scanline(y), size_t{kWidth} * 3);
    return b;
  }();
  return *bmp;
}

// The thread count of a run, from its last argument (0: the hardware
// threads), for the length of the benchmark.
class Threads {
 public:
  Threads(benchmark::State& state, int index) : saved_(PXSettings().ThreadCount.load()) {
    const auto n = static_cast<int32_t>(state.range(index));
    PXSettings().ThreadCount = n;
    state.SetLabel(n == 1 ? "1 thread" : "default threads");
  }
  ~Threads() { PXSettings().ThreadCount = saved_; }

 private:
  int32_t saved_;
};

void SetPixels(benchmark::State& state) { state.SetItemsProcessed(state.iterations() * int64_t{kWidth} * kHeight); }

// The yardstick: a deep copy of the picture.
void Copy(benchmark::State& state) {
  Photo();  // built before the timing, not in the first timed copy
  for (auto _ : state) {
    TBitmap b;
    b.Assign(Photo());
    benchmark::DoNotOptimize(b.ScanLine(0));
  }
  SetPixels(state);
}
BENCHMARK(Copy)->Unit(benchmark::kMillisecond);

// The in-place effects keep working on one copy: their cost does not depend
// on the content.
void Lighten(benchmark::State& state) {
  Threads threads(state, 0);
  TBitmap b;
  b.Assign(Photo());
  for (auto _ : state) BitmapLighten(b, 100);
  SetPixels(state);
}
BENCHMARK(Lighten)->Arg(1)->Arg(0)->UseRealTime()->Unit(benchmark::kMillisecond);

void Darken(benchmark::State& state) {
  Threads threads(state, 0);
  TBitmap b;
  b.Assign(Photo());
  for (auto _ : state) BitmapDarken(b, 100);
  SetPixels(state);
}
BENCHMARK(Darken)->Arg(1)->Arg(0)->UseRealTime()->Unit(benchmark::kMillisecond);

void Mosaic(benchmark::State& state) {
  Threads threads(state, 1);
  TBitmap b;
  b.Assign(Photo());
  for (auto _ : state) BitmapMosaic(b, static_cast<int32_t>(state.range(0)));
  SetPixels(state);
}
BENCHMARK(Mosaic)->ArgsProduct({{5, 20}, {1, 0}})->UseRealTime()->Unit(benchmark::kMillisecond);

void Tile(benchmark::State& state) {
  Threads threads(state, 1);
  Photo();  // built before the timing
  for (auto _ : state) {
    TBitmap dest;
    BitmapTile(Photo(), dest, static_cast<int32_t>(state.range(0)));
    benchmark::DoNotOptimize(dest.ScanLine(0));
  }
  SetPixels(state);
}
BENCHMARK(Tile)->ArgsProduct({{2, 10}, {1, 0}})->UseRealTime()->Unit(benchmark::kMillisecond);

void Twist(benchmark::State& state) {
  Threads threads(state, 0);
  TBitmap dest;
  dest.Assign(Photo());
  for (auto _ : state) BitmapTwist(Photo(), dest, 161);  // track-bar position 20
  SetPixels(state);
}
BENCHMARK(Twist)->Arg(1)->Arg(0)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(2);

// Wave and lens (the program's settings: the whole picture in the lens box)
// on a fresh copy each time; "ms/MP" is the time per megapixel in
// milliseconds (the library prints it with the unit "s").
void Distortion(benchmark::State& state, bool wave) {
  Threads threads(state, 0);
  TPXBitmap& photo = bench::SharedPhotoLike<kWidth, kHeight>();
  TPXBitmap b;
  b.MemoryThreshold = std::numeric_limits<int64_t>::max();
  for (auto _ : state) {
    state.PauseTiming();
    b.Assign(&photo);
    state.ResumeTiming();
    if (wave) WaveRect(b, 5, 5, false, 10);
    else LensRect(b, 0, 0, 2 * kWidth, 2 * kHeight, 2.0);
    benchmark::DoNotOptimize(b.Scanline(0));
  }
  SetPixels(state);
  state.counters["ms/MP"] = benchmark::Counter(double(state.iterations()) * kWidth * kHeight / 1e9,
                                               benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
void Wave(benchmark::State& state) { Distortion(state, true); }
void Lens(benchmark::State& state) { Distortion(state, false); }
BENCHMARK(Wave)->Arg(1)->Arg(0)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(Lens)->Arg(1)->Arg(0)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
