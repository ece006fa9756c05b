// Geometric transforms of a 6000 x 4000 24-bit photograph-like image through
// the processing component, without undo, rows in memory: a quarter turn,
// the two flips, and 30 degree rotations (the antialiased path: sampled
// bilinear, and bicubic; the three-shear rotation with and without
// blending). tools/transform_peers.sh times libvips on an image of the same
// size in the same run.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <limits>
#include <memory>

#include "bench/bench_support.h"
#include "proc/pixoranproc.h"

namespace {

using namespace pixoran;

constexpr int32_t kWidth = 6000;
constexpr int32_t kHeight = 4000;

TPXBitmap& Photo() { return bench::SharedPhotoLike<kWidth, kHeight>(); }

// A copy of the photograph the component works on, without undo entries.
struct Work {
  Work() {
    image.MemoryThreshold = std::numeric_limits<int64_t>::max();
    image.Assign(&Photo());
    proc.SetAutoUndo(false);
    proc.AttachBitmap(&image);
  }
  TPXBitmap image;
  TPixoranProc proc;
};

void Pixels(benchmark::State& state) {
  state.counters["Mpx/s"] =
      benchmark::Counter(double(kWidth) * kHeight * state.iterations() / 1e6, benchmark::Counter::kIsRate);
}

// Each turn starts from the result of the one before: the same work.
void BM_QuarterTurn(benchmark::State& state) {
  Work w;
  for (auto _ : state) {
    w.proc.Rotate(90, false, 0, -1);
    benchmark::DoNotOptimize(w.image.Scanline(0));
  }
  Pixels(state);
}

void BM_Flip(benchmark::State& state) {
  Work w;
  const auto direction = static_cast<int32_t>(state.range(0));
  for (auto _ : state) {
    w.proc.Flip(direction);
    benchmark::DoNotOptimize(w.image.Scanline(0));
  }
  Pixels(state);
}

// 30 degrees from the original every time (the copy is not timed).
void Rotate30(benchmark::State& state, bool antiAlias, uint8_t mode) {
  Work w;
  for (auto _ : state) {
    state.PauseTiming();
    w.image.Assign(&Photo());
    state.ResumeTiming();
    w.proc.Rotate(30, antiAlias, mode, 0);
    benchmark::DoNotOptimize(w.image.Scanline(0));
  }
  Pixels(state);
}

void BM_Rotate30Bilinear(benchmark::State& state) { Rotate30(state, true, 1); }
void BM_Rotate30Bicubic(benchmark::State& state) { Rotate30(state, true, 2); }
void BM_Rotate30Shears(benchmark::State& state) { Rotate30(state, false, 0); }
void BM_Rotate30ShearsBlended(benchmark::State& state) { Rotate30(state, true, 0); }

BENCHMARK(BM_QuarterTurn)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Flip)->ArgName("direction")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Rotate30Bilinear)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Rotate30Bicubic)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Rotate30Shears)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Rotate30ShearsBlended)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
