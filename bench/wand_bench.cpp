// The magic wand on a 6000 x 4000 photograph-like picture from its centre at
// tolerance 10, in each mode (outline polygon, flood fill into a 1-bit mask,
// global colour match), with the work memory each call takes at its peak;
// and the marching ants' repaint of a 1920 x 1080 viewer whose rectangle
// selection covers half the client, against a repaint of the whole window.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <QApplication>
#include <QWidget>
#include <atomic>
#include <cstdlib>

#include "bench/bench_qt.h"
#include "bench/bench_support.h"
#include "core/pxmask.h"
#include "view/pixoranview.h"
#include "view/pxmagicwand.h"

// Peak heap bytes of the calls being measured: the C allocation functions
// are wrapped, and count only while a measurement runs.
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
}

namespace {
std::atomic<bool> gMeasuring{false};
std::atomic<int64_t> gCurrent{0}, gPeak{0};

void Count(int64_t delta) {
  const int64_t now = gCurrent.fetch_add(delta) + delta;
  int64_t peak = gPeak.load();
  while (now > peak && !gPeak.compare_exchange_weak(peak, now)) {}
}
}  // namespace

extern "C" {
void* malloc(size_t n) {
  void* p = __libc_malloc(n);
  if (p && gMeasuring) Count(static_cast<int64_t>(malloc_usable_size(p)));
  return p;
}
void* calloc(size_t n, size_t s) {
  void* p = __libc_calloc(n, s);
  if (p && gMeasuring) Count(static_cast<int64_t>(malloc_usable_size(p)));
  return p;
}
void* realloc(void* old, size_t n) {
  const int64_t before = old && gMeasuring ? static_cast<int64_t>(malloc_usable_size(old)) : 0;
  void* p = __libc_realloc(old, n);
  if (p && gMeasuring) Count(static_cast<int64_t>(malloc_usable_size(p)) - before);
  return p;
}
void free(void* p) {
  if (p && gMeasuring) Count(-static_cast<int64_t>(malloc_usable_size(p)));
  __libc_free(p);
}
}

namespace {

using namespace pixoran;

constexpr int32_t kW = 6000, kH = 4000;

TPXBitmap& Photo() { return bench::SharedPhotoLike<kW, kH>(); }

// A flat picture: the region is the whole image (the outline grid's worst case).
TPXBitmap& Flat() {
  static std::unique_ptr<TPXBitmap> flat = [] {
    auto b = std::make_unique<TPXBitmap>();
    b->MemoryThreshold = std::numeric_limits<int64_t>::max();
    b->Allocate(kW, kH, pxBGR24);
    b->Fill(0x808080);
    return b;
  }();
  return *flat;
}

// Arguments: tolerance, and 1 for the flat picture.
TPXBitmap& Picture(const benchmark::State& state) { return state.range(1) ? Flat() : Photo(); }

// Runs fn with the heap counted; gives its peak in bytes above the start.
template <class Fn>
int64_t PeakOf(Fn&& fn) {
  gCurrent = 0;
  gPeak = 0;
  gMeasuring = true;
  fn();
  gMeasuring = false;
  return gPeak.load();
}

void BM_WandPolygon(benchmark::State& state) {
  TPXBitmap& b = Picture(state);
  const int32_t tol = static_cast<int32_t>(state.range(0));
  size_t points = 0;
  for (auto _ : state) {
    std::vector<TPXPoint> poly = MagicWandPolygon(b, kW / 2, kH / 2, tol, false);
    points = poly.size();
    benchmark::DoNotOptimize(poly.data());
  }
  const int64_t peak = PeakOf([&] { benchmark::DoNotOptimize(MagicWandPolygon(b, kW / 2, kH / 2, tol, false)); });
  state.counters["points"] = static_cast<double>(points);
  state.counters["peakMB"] = static_cast<double>(peak) / (1 << 20);
}

template <bool Flood>
void WandIntoMask(benchmark::State& state) {
  TPXBitmap& b = Picture(state);
  const int32_t tol = static_cast<int32_t>(state.range(0));
  TPXMask mask;
  mask.Allocate(kW, kH, 1);
  for (auto _ : state) {
    state.PauseTiming();
    mask.Clear();
    state.ResumeTiming();
    if (Flood) MagicWandFloodFill(b, kW / 2, kH / 2, 1, mask, tol, false);
    else MagicWandColorMatch(b, kW / 2, kH / 2, 1, mask, tol);
    benchmark::ClobberMemory();
  }
  int64_t selected = 0;
  for (int32_t y = 0; y < kH; ++y)
    for (int32_t x = 0; x < kW; ++x) selected += mask.GetPixel(x, y) != 0;
  mask.Clear();
  const int64_t peak = PeakOf([&] {
    if (Flood) MagicWandFloodFill(b, kW / 2, kH / 2, 1, mask, tol, false);
    else MagicWandColorMatch(b, kW / 2, kH / 2, 1, mask, tol);
  });
  state.counters["pixels"] = static_cast<double>(selected);
  state.counters["peakMB"] = static_cast<double>(peak) / (1 << 20);
}

void BM_WandFloodFill(benchmark::State& state) { WandIntoMask<true>(state); }
void BM_WandColorMatch(benchmark::State& state) { WandIntoMask<false>(state); }

QApplication& App() { return bench::QtApp(); }

struct AntsView : TPixoranView {
  using TPixoranView::AntsTick;
};

// A shown 1920 x 1080 client over a 1920 x 1080 picture with a centred
// rectangle selection of half its area.
std::unique_ptr<AntsView> MakeAntsView() {
  App();
  auto v = std::make_unique<AntsView>();
  v->SetBorderStyle(bsNone);
  v->SetScrollBars(ssNone);
  v->SetBounds(0, 0, 1920, 1080);
  v->GetPXBitmap()->Assign(&bench::SharedPhotoLike<1920, 1080>());
  v->Update();
  v->Show();
  v->SelectionBase = pxsbBitmap;
  v->Select(281, 158, 1639, 922);  // 1358 x 764
  v->Widget()->repaint();
  return v;
}

void BM_AntsRepaint(benchmark::State& state) {
  auto v = MakeAntsView();
  int64_t paints = 0;
  v->OnPaint = [&](TObject*) { ++paints; };
  for (auto _ : state) {
    v->AntsTick();  // invalidates the outline's rectangle
    QApplication::processEvents();
  }
  state.counters["paints"] = static_cast<double>(paints) / static_cast<double>(state.iterations());
}

void BM_WholeWindowRepaint(benchmark::State& state) {
  auto v = MakeAntsView();
  int64_t paints = 0;
  v->OnPaint = [&](TObject*) { ++paints; };
  for (auto _ : state) {
    v->Invalidate();
    QApplication::processEvents();
  }
  state.counters["paints"] = static_cast<double>(paints) / static_cast<double>(state.iterations());
}

// Tolerance 10 is the goal's case; 40 reaches most of the photograph.
BENCHMARK(BM_WandPolygon)->Args({10, 0})->Args({40, 0})->Args({10, 1})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WandFloodFill)->Args({10, 0})->Args({40, 0})->Args({10, 1})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WandColorMatch)->Args({10, 0})->Args({40, 0})->Args({10, 1})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AntsRepaint)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WholeWindowRepaint)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
