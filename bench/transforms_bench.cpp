// Geometric transforms of a 6000 x 4000 24-bit photograph-like image through
// the processing component, without undo, rows in memory: a quarter turn,
// the two flips, and 30 degree rotations (the antialiased path: sampled
// bilinear, and bicubic; the three-shear rotation with and without
// blending). tools/transform_peers.sh times libvips on an image of the same
// size in the same run. Each at ThreadCount 1 and at the default (0: the
// hardware threads).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <limits>
#include <memory>

#include "bench/bench_support.h"
#include "core/kopxutils_settings.h"
#include "proc/pixoranproc.h"

namespace {

using namespace pixoran;

constexpr int32_t kWidth = 6000;
constexpr int32_t kHeight = 4000;

TPXBitmap& Photo() { return bench::SharedPhotoLike<kWidth, kHeight>(); }

// A copy of the photograph the component works on, without undo entries,
// at the thread count of the run's last argument.
struct Work {
  explicit Work(benchmark::State& state, int index) : saved(PXSettings().ThreadCount.load()) {
    const auto n = static_cast<int32_t>(state.range(index));
    PXSettings().ThreadCount = n;
    state.SetLabel(n == 1 ? "1 thread" : "default threads");
    image.MemoryThreshold = std::numeric_limits<int64_t>::max();
    image.Assign(&Photo());
    proc.SetAutoUndo(false);
    proc.AttachBitmap(&image);
  }
  ~Work() { PXSettings().ThreadCount = saved; }
  int32_t saved;
  TPXBitmap image;
  TPixoranProc proc;
};

void Pixels(benchmark::State& state) {
  state.counters["Mpx/s"] =
      benchmark::Counter(double(kWidth) * kHeight * state.iterations() / 1e6, benchmark::Counter::kIsRate);
}

// Each turn starts from the result of the one before: the same work.
void BM_QuarterTurn(benchmark::State& state) {
  Work w(state, 0);
  for (auto _ : state) {
    w.proc.Rotate(90, false, 0, -1);
    benchmark::DoNotOptimize(w.image.Scanline(0));
  }
  Pixels(state);
}

void BM_Flip(benchmark::State& state) {
  Work w(state, 1);
  const auto direction = static_cast<int32_t>(state.range(0));
  for (auto _ : state) {
    w.proc.Flip(direction);
    benchmark::DoNotOptimize(w.image.Scanline(0));
  }
  Pixels(state);
}

// 30 degrees from the original every time (the copy is not timed).
void Rotate30(benchmark::State& state, bool antiAlias, uint8_t mode) {
  Work w(state, 0);
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

BENCHMARK(BM_QuarterTurn)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Flip)->ArgsProduct({{0, 1}, {1, 0}})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Rotate30Bilinear)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Rotate30Bicubic)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Rotate30Shears)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Rotate30ShearsBlended)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
