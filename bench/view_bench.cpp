// The image viewer's repaint: a 1920 x 1080 client showing a 6000 x 4000
// photograph-like picture at fit zoom and at 100 %, offscreen. A repaint
// composes the back buffer (background rule, layer through the renderer,
// coordinate tables) and then copies it to the screen; the two are timed
// apart. The peer is the renderer alone doing the same drawing into a
// platform bitmap with its tables kept, as render_bench measures it.
//
// Zoom and scroll steps, with a selection present (a rectangle, or a
// rectangle with a wand's region added, whose outline is the mask's own
// edge): wheel notches (8 % each, at the client centre) from the fit zoom up
// to the largest zoom the view takes, and scrolling across the picture a
// wheel step at a time at several zooms. Each step is the view's own work
// (zoom or origin change, layout, tables) plus the whole repaint of the
// shown window (composing, the copy to the screen, the marching ants), and
// is checked: the screen's pixel under the client centre must be the
// picture's pixel the conversions name there. Reported: the slowest step,
// the median, the step at 1600 %, and resident memory at the start, at
// 1600 %, at the peak and at the end (flat: nothing grows with the zoom).
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QWidget>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "bench/bench_qt.h"
#include "bench/bench_support.h"
#include "platform/controls.h"
#include "view/pixoranview.h"

namespace {

using namespace pixoran;

constexpr int32_t kW = 1920, kH = 1080;

struct BenchView : TPixoranView {
  using TPixoranView::AntsTick;
  using TPixoranView::DrawLayersToBackBuffer;
  BenchView() {
    OnPaint = [this](TObject*) { ++Paints; };
  }
  int Paints = 0;
};

QApplication& App() { return bench::QtApp(); }

std::unique_ptr<TPXBitmap>& Picture() {
  static std::unique_ptr<TPXBitmap> p = bench::MakePhotoLike(6000, 4000);
  return p;
}

// A view whose client is exactly 1920 x 1080 (no frame, no bars).
std::unique_ptr<BenchView> MakeView(bool fit) {
  App();
  auto v = std::make_unique<BenchView>();
  v->SetBorderStyle(bsNone);
  v->SetScrollBars(ssNone);
  v->SetBounds(0, 0, kW, kH);
  v->GetPXBitmap()->MemoryThreshold = int64_t{1} << 40;
  v->GetPXBitmap()->SetLocation(pxInMemory);
  v->GetPXBitmap()->Assign(Picture().get());
  v->Update();
  if (fit) v->ZoomToFit();
  else v->SetViewXY(2000, 1500);
  v->BackBuffer().SetPixelFormat(pf24bit);
  v->BackBuffer().SetSize(v->ClientWidth(), v->ClientHeight());
  return v;
}

// A shown view with a selection: a rectangle over most of the picture, and
// with mixed a wand's region added at the centre (outlined by the mask).
std::unique_ptr<BenchView> MakeSelectedView(bool mixed) {
  auto v = MakeView(true);
  v->SelectionBase = pxsbBitmap;
  v->Select(100, 100, 5899, 3899);
  if (mixed) {
    v->MagicWandMode = 1;
    v->MagicWandTolerance = 40;
    v->MagicWandSelect(3000, 2000, 1);
  }
  v->Show();
  QApplication::processEvents();
  v->Widget()->repaint();
  return v;
}

// The screen's pixel at a client point against the picture's pixel the
// conversions name there; a point on an outline counts as drawn.
bool ShowsPicture(BenchView& v, int32_t cx, int32_t cy) {
  const int32_t ix = v.ScreenToBitmapX(cx), iy = v.ScreenToBitmapY(cy);
  TPXBitmap& p = *Picture();
  const uint8_t* row = v.ScreenBuffer().ScanLine(cy);
  if (!row || v.ScreenBuffer().Width() != v.ClientWidth()) return false;
  const uint8_t* got = row + 4 * int64_t{cx};
  uint8_t want[3];
  if (ix < 0 || iy < 0 || ix >= p.Width() || iy >= p.Height()) {
    // Past the picture (its half-pixel margin at the top zooms): the background.
    const TColor b = ColorToRGB(v.Background());
    want[0] = static_cast<uint8_t>(b >> 16), want[1] = static_cast<uint8_t>(b >> 8), want[2] = static_cast<uint8_t>(b);
  } else {
    std::memcpy(want, p.Scanline(iy) + 3 * int64_t{ix}, 3);
  }
  if (got[0] == want[0] && got[1] == want[1] && got[2] == want[2]) return true;
  if (std::getenv("VIEW_BENCH_DEBUG"))
    std::fprintf(stderr, "client %d,%d image %d,%d got %d %d %d want %d %d %d origin %d,%d\n", cx, cy, ix, iy, got[0],
                 got[1], got[2], want[0], want[1], want[2], v.ViewX(), v.ViewY());
  auto near = [](int32_t a, int32_t b) { return std::abs(a - b) <= 1; };
  for (int32_t edge : {100, 5900})
    if (near(v.BitmapToScreenX(edge), cx)) return true;
  for (int32_t edge : {100, 3900})
    if (near(v.BitmapToScreenY(edge), cy)) return true;
  // The mask's own edge is dashed in black and white.
  return (got[0] == 0 && got[1] == 0 && got[2] == 0) || (got[0] == 255 && got[1] == 255 && got[2] == 255);
}

// The centre and four points around it, wherever the picture lies.
bool StepDrawn(BenchView& v) {
  const int32_t cx = v.ClientWidth() / 2, cy = v.ClientHeight() / 2;
  for (const auto& [dx, dy] :
       {std::pair{0, 0}, std::pair{-401, -203}, std::pair{397, 211}, std::pair{-13, 307}, std::pair{611, -5}})
    if (!ShowsPicture(v, cx + dx, cy + dy)) return false;
  return true;
}

void Compose(benchmark::State& state, bool fit) {
  auto v = MakeView(fit);
  const TRect all = Rect(0, 0, v->ClientWidth(), v->ClientHeight());
  for (auto _ : state) {
    v->DrawLayersToBackBuffer(v->BackBuffer(), all);
    benchmark::ClobberMemory();
  }
  state.counters["fps"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.SetLabel("zoom " + std::to_string(v->Zoom()));
}

// The renderer alone: same rectangles, same options, tables kept.
void Renderer(benchmark::State& state, bool fit) {
  auto v = MakeView(fit);
  TBitmap dest;
  dest.SetPixelFormat(pf24bit);
  dest.SetSize(v->ClientWidth(), v->ClientHeight());
  const TPXRenderRect r{v->VisibleColumn(), v->VisibleRow(), v->VisibleImageWidth(),  v->VisibleImageHeight(),
                        v->OffsetX(),       v->OffsetY(),    v->VisibleClientWidth(), v->VisibleClientHeight()};
  TPXRenderOptions o;
  o.RowCopy = true;
  o.FreeTables = false;
  o.FillTransparent = true;
  TPXRenderTables tables;
  for (auto _ : state) {
    RenderToTBitmap(*v->GetPXBitmap(), dest, r, o, &tables);
    benchmark::ClobberMemory();
  }
  state.counters["fps"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// Resident memory now, in megabytes.
double ResidentMB() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * 4096.0 / (1 << 20);
}

struct TStepTimes {
  double MaxMs = 0, MaxMB = 0;
  std::vector<double> All;
  int Steps = 0, Undrawn = 0;
  // The median step: load on the machine shows in the slowest one.
  double MedianMs() {
    if (All.empty()) return 0;
    std::nth_element(All.begin(), All.begin() + All.size() / 2, All.end());
    return All[All.size() / 2];
  }
  // One step and the repaint of the window after it, checked.
  template <class F>
  double Run(BenchView& v, F step) {
    const int paints = v.Paints;
    const auto t0 = std::chrono::steady_clock::now();
    step();
    v.Widget()->repaint();
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    if (v.Paints != paints + 1 || !StepDrawn(v)) ++Undrawn;
    MaxMs = std::max(MaxMs, ms);
    All.push_back(ms);
    MaxMB = std::max(MaxMB, ResidentMB());
    ++Steps;
    return ms;
  }
};

void BM_ViewWheelZoomFitToMax(benchmark::State& state) {
  auto v = MakeSelectedView(state.range(0) != 0);
  TStepTimes t;
  double at1600 = 0, startMB = 0, maxZoom = 0, mbAt1600 = 0;
  for (auto _ : state) {
    state.PauseTiming();
    v->ZoomToFit();
    v->Widget()->repaint();
    startMB = ResidentMB();
    t = TStepTimes{};
    state.ResumeTiming();
    for (;;) {
      const double before = v->Zoom();
      const double ms = t.Run(*v, [&] { v->ApplyMouseWheel(-120, kW / 2, kH / 2, false); });
      if (v->Zoom() == before) break;  // the largest zoom the view takes
      if (before < 1600.0 && v->Zoom() >= 1600.0) {
        at1600 = ms;
        mbAt1600 = ResidentMB();
      }
      maxZoom = v->Zoom();
    }
  }
  state.counters["notches"] = t.Steps - 1;
  state.counters["undrawn"] = t.Undrawn;
  state.counters["max_step_ms"] = t.MaxMs;
  state.counters["median_step_ms"] = t.MedianMs();
  state.counters["step_1600_ms"] = at1600;
  state.counters["max_zoom"] = maxZoom;
  state.counters["start_MB"] = startMB;
  state.counters["at1600_MB"] = mbAt1600;
  state.counters["peak_MB"] = t.MaxMB;
  state.counters["end_MB"] = ResidentMB();
  if (t.Undrawn > 0) state.SkipWithError("a step did not draw the picture");
}

void BM_ViewScrollAcross(benchmark::State& state) {
  const double zoom = static_cast<double>(state.range(0));
  auto v = MakeSelectedView(state.range(1) != 0);
  v->SetZoom(zoom);
  v->MouseWheelParams().Action = mwaScroll;  // percent of the client, 8 % a notch
  TStepTimes t;
  int32_t mx = 0, my = 0;
  v->GetMaxViewXY(mx, my);
  const double startMB = ResidentMB();
  for (auto _ : state) {
    // Top-left to the bottom, then across to the right on a diagonal of
    // wheel steps, then back with the bars' page steps.
    v->SetViewXY(0, 0);
    for (int i = 0; i < 40; ++i) t.Run(*v, [&] { v->ApplyMouseWheel(-120, 0, 0, false); });
    for (int i = 0; i < 40; ++i) t.Run(*v, [&] { v->ApplyMouseWheel(-120, 0, 0, true); });
    const int32_t step = std::max(mx / 40, 1);
    for (int32_t x = mx; x > 0; x -= step)
      t.Run(*v, [&] { v->SetViewXY(x, my - x / std::max(mx / std::max(my, 1), 1)); });
  }
  state.counters["max_step_ms"] = t.MaxMs;
  state.counters["median_step_ms"] = t.MedianMs();
  state.counters["steps"] = t.Steps;
  state.counters["undrawn"] = t.Undrawn;
  state.counters["peak_add_MB"] = t.MaxMB - startMB;
  if (t.Undrawn > 0) state.SkipWithError("a step did not draw the picture");
}

// One tick of the marching ants and the repaint it asks for, at the fit
// zoom and at 1 000 000 %: the rectangle's edges, or a wand's region
// matched by colour over the whole picture (its mask's own edge).
void BM_ViewAntsTick(benchmark::State& state) {
  auto v = MakeSelectedView(false);
  if (state.range(0) != 0) {
    v->MagicWandMode = 2;
    v->MagicWandTolerance = 60;
    v->MagicWandSelect(3000, 2000, 0);
  }
  v->SetZoom(static_cast<double>(state.range(1)));
  v->Widget()->repaint();
  for (auto _ : state) {
    v->AntsTick();
    v->Widget()->repaint();
  }
}

void BM_ViewComposeFit(benchmark::State& s) { Compose(s, true); }
void BM_ViewCompose100(benchmark::State& s) { Compose(s, false); }
void BM_RendererFit(benchmark::State& s) { Renderer(s, true); }
void BM_Renderer100(benchmark::State& s) { Renderer(s, false); }

// The copy to the screen: the 24-bit back buffer drawn as it is, against
// the control's path (rows to 32 bits, then drawn), onto a 32-bit surface
// like the offscreen window's.
void BM_ScreenCopy24Direct(benchmark::State& state) {
  App();
  TBitmap back;
  back.SetPixelFormat(pf24bit);
  back.SetSize(kW, kH);
  QImage surface(kW, kH, QImage::Format_RGB32);
  for (auto _ : state) {
    QPainter p(&surface);
    p.drawImage(QPoint(0, 0), back.Image());
  }
}

void BM_ScreenCopyVia32(benchmark::State& state) {
  App();
  TBitmap back, screen;
  back.SetPixelFormat(pf24bit);
  back.SetSize(kW, kH);
  screen.SetPixelFormat(pf32bit);
  screen.SetSize(kW, kH);
  QImage surface(kW, kH, QImage::Format_RGB32);
  for (auto _ : state) {
    CopyRect24To32(back, screen, Rect(0, 0, kW, kH));
    QPainter p(&surface);
    p.setCompositionMode(QPainter::CompositionMode_Source);
    p.drawImage(QPoint(0, 0), screen.Image());
  }
}

void BM_RowsTo32Only(benchmark::State& state) {
  App();
  TBitmap back, screen;
  back.SetPixelFormat(pf24bit);
  back.SetSize(kW, kH);
  screen.SetPixelFormat(pf32bit);
  screen.SetSize(kW, kH);
  for (auto _ : state) {
    CopyRect24To32(back, screen, Rect(0, 0, kW, kH));
    benchmark::ClobberMemory();
  }
}

// Argument: 0 a rectangle selection, 1 a rectangle with a wand's region added.
BENCHMARK(BM_ViewWheelZoomFitToMax)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(1);
// Arguments: the zoom, and the selection as above.
BENCHMARK(BM_ViewScrollAcross)
    ->ArgsProduct({{50, 100, 1600, 100000, 3000000}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
// Arguments: 0 the rectangle, 1 a wand's region; the zoom (27 is the fit).
BENCHMARK(BM_ViewAntsTick)->ArgsProduct({{0, 1}, {27, 1000000}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ViewComposeFit)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RendererFit)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ViewCompose100)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Renderer100)->Unit(benchmark::kMillisecond);
// Qt converts the 24-bit image on several threads: the CPU column counts them all.
BENCHMARK(BM_ScreenCopy24Direct)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScreenCopyVia32)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RowsTo32Only)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
