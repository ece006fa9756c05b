// Resampling a 6000 x 4000 photograph-like image: reduced to 1500 x 1000 and
// enlarged to 9000 x 6000 with the kernel (Lanczos3, Triangle), fixed-point
// linear and area bicubic filters, rows in memory; each at ThreadCount 1 (one
// thread, as before the pool) and at the default (every hardware thread).
// Also filling a new 72 MB bitmap, which shows what huge pages save on the
// first touch of fresh storage.
//
// Two modes instead of the benchmarks, for a peak-memory reading under
// /usr/bin/time -v:
//   --reduce-once FILTER THREADS: builds the source, reduces it once to
//     1500 x 1000 and exits;
//   --workload IN.jpg OUT.jpg THREADS: the processing component's load ->
//     crop (5% off each side, through a selection) -> Lanczos3 reduction to
//     1500 x 1000 -> save at quality 75, without undo entries. An IN that does
//     not exist is first written from the photograph-like source.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "bench/bench_qt.h"
#include "bench/bench_support.h"
#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_settings.h"
#include "core/pxmask.h"
#include "core/pxresample.h"
#include "core/pxview.h"
#include "io/pixoranio.h"
#include "platform/system.h"
#include "proc/pixoranproc.h"
#include "proc/pxselection.h"

namespace {

using namespace pixoran;

constexpr int32_t kWidth = 6000;
constexpr int32_t kHeight = 4000;

// The photograph-like source, built once.
TPXBitmap& Photo() { return bench::SharedPhotoLike<kWidth, kHeight>(); }

// state.range(0): the filter, state.range(1): the thread count (0: the
// hardware threads).
void Run(benchmark::State& state, int32_t w, int32_t h) {
  const auto filter = static_cast<TResampleFilter>(state.range(0));
  TPXBitmap& src = Photo();  // built before the timing
  const int32_t saved = PXSettings().ThreadCount.load();
  PXSettings().ThreadCount = static_cast<int32_t>(state.range(1));
  TPXBitmap dst;
  dst.MemoryThreshold = std::numeric_limits<int64_t>::max();
  dst.Allocate(w, h, pxBGR24);
  for (auto _ : state) {
    ResampleBitmap(src, dst, filter);
    benchmark::DoNotOptimize(dst.Scanline(h / 2));
  }
  PXSettings().ThreadCount = saved;
  state.counters["src_Mpx/s"] =
      benchmark::Counter(double(kWidth) * kHeight * state.iterations() / 1e6, benchmark::Counter::kIsRate);
  state.SetLabel(state.range(1) == 1 ? "1 thread" : "default threads");
}

void BM_Reduce(benchmark::State& state) { Run(state, 1500, 1000); }
void BM_Enlarge(benchmark::State& state) { Run(state, 9000, 6000); }

void Filters(benchmark::internal::Benchmark* b) {
  b->ArgNames({"filter", "threads"});
  for (TResampleFilter f : {rfLanczos3, rfBicubic, rfFastLinear, rfTriangle})
    for (int threads : {1, 0}) b->Args({f, threads});
  b->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(BM_Reduce)->Apply(Filters);
BENCHMARK(BM_Enlarge)->Apply(Filters);

// A new 24-bit bitmap (6000 x 4000, 72 MB, or 9000 x 6000, 162 MB)
// allocated and filled once per iteration: the cost of the first touch of
// its pages.
void BM_FillNewBitmap(benchmark::State& state) {
  const auto w = static_cast<int32_t>(state.range(0)), h = static_cast<int32_t>(state.range(1));
  for (auto _ : state) {
    TPXBitmap b;
    b.MemoryThreshold = std::numeric_limits<int64_t>::max();
    b.Allocate(w, h, pxBGR24);
    for (int32_t y = 0; y < h; ++y) std::memset(b.Scanline(y), y & 0xFF, static_cast<size_t>(b.RowLen()));
    benchmark::DoNotOptimize(b.Scanline(h / 2));
  }
}
BENCHMARK(BM_FillNewBitmap)->Args({kWidth, kHeight})->Args({9000, 6000})->Unit(benchmark::kMillisecond)->UseRealTime();

// A viewer with a rectangular selection, as the processing component sees one.
class TRectSelectionView : public TPXView, public TPXSelectionSource {
 public:
  TPXBitmap* GetPXBitmap() override { return &bitmap; }
  TPXMask* GetSelectionMask() override { return &mask; }
  bool HasSelection() override { return true; }
  TPXPoint* GetSelectionPoints() override { return nullptr; }
  int32_t GetSelectionPointCount() override { return 0; }
  void SaveSelectionToStream(TStream&) override {}
  bool LoadSelectionFromStream(TStream&) override { return false; }

  void Select(int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
    mask.Allocate(bitmap.Width(), bitmap.Height(), 1);
    for (int32_t y = y1; y <= y2; ++y) mask.FillSpan(1, x1, y, x2);
    mask.SyncBox();
  }

  TPXBitmap bitmap;
  TPXMask mask;
};

int Workload(const std::string& in, const std::string& out) {
  bench::QtApp();
  TPixoranIO io;
  if (!PathExists(in)) {
    io.SetAttachedPXBitmap(&Photo());
    io.Params().JPEGQuality = 90;
    io.SaveToFile(in);
    io.SetAttachedPXBitmap(nullptr);
  }
  TRectSelectionView view;
  io.SetAttachedPXBitmap(&view.bitmap);
  io.LoadFromFile(in);
  if (view.bitmap.Width() <= 0) return 1;
  const int32_t w = view.bitmap.Width(), h = view.bitmap.Height();
  view.Select(w / 20, h / 20, w - w / 20 - 1, h - h / 20 - 1);
  TPixoranProc proc;
  proc.SetAutoUndo(false);
  proc.SetAttachedPixoran(&view);
  proc.CropSel();
  proc.Resample(1500, 1000, rfLanczos3);
  if (proc.Aborting()) return 1;
  io.Params().JPEGQuality = 75;
  io.SaveToFile(out);
  io.SetAttachedPXBitmap(nullptr);
  return view.bitmap.Width() == 1500 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "--workload") {
    PXSettings().ThreadCount = std::atoi(argv[4]);
    return Workload(argv[2], argv[3]);
  }
  if (argc == 4 && std::string(argv[1]) == "--reduce-once") {
    PXSettings().ThreadCount = std::atoi(argv[3]);
    TPXBitmap& src = Photo();
    TPXBitmap dst;
    dst.Allocate(1500, 1000, pxBGR24);
    const bool ok = ResampleBitmap(src, dst, static_cast<TResampleFilter>(std::atoi(argv[2])));
    return ok && dst.Width() == 1500 ? 0 : 1;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
