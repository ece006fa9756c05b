// Resampling a 6000 x 4000 photograph-like image: reduced to 1500 x 1000 and
// enlarged to 9000 x 6000 with the kernel (Lanczos3, Triangle), fixed-point
// linear and area bicubic filters. Single thread, rows in memory.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>

#include "bench/bench_support.h"
#include "core/kopxutils_bitmap.h"
#include "core/pxresample.h"

namespace {

using namespace pixoran;

constexpr int32_t kWidth = 6000;
constexpr int32_t kHeight = 4000;

// The photograph-like source, built once.
TPXBitmap& Photo() { return bench::SharedPhotoLike<kWidth, kHeight>(); }

void Run(benchmark::State& state, TResampleFilter filter, int32_t w, int32_t h) {
  TPXBitmap& src = Photo();
  TPXBitmap dst;
  dst.MemoryThreshold = std::numeric_limits<int64_t>::max();
  dst.Allocate(w, h, pxBGR24);
  for (auto _ : state) {
    ResampleBitmap(src, dst, filter);
    benchmark::DoNotOptimize(dst.Scanline(h / 2));
  }
  state.counters["src_Mpx/s"] =
      benchmark::Counter(double(kWidth) * kHeight * state.iterations() / 1e6, benchmark::Counter::kIsRate);
}

void BM_Reduce(benchmark::State& state) { Run(state, static_cast<TResampleFilter>(state.range(0)), 1500, 1000); }
void BM_Enlarge(benchmark::State& state) { Run(state, static_cast<TResampleFilter>(state.range(0)), 9000, 6000); }

void Filters(benchmark::internal::Benchmark* b) {
  b->ArgName("filter");
  for (TResampleFilter f : {rfLanczos3, rfBicubic, rfFastLinear, rfTriangle}) b->Arg(f);
  b->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(BM_Reduce)->Apply(Filters);
BENCHMARK(BM_Enlarge)->Apply(Filters);

}  // namespace

BENCHMARK_MAIN();
