// The image viewer's repaint: a 1920 x 1080 client showing a 6000 x 4000
// photograph-like picture at fit zoom and at 100 %, offscreen. A repaint
// composes the back buffer (background rule, layer through the renderer,
// coordinate tables) and then copies it to the screen; the two are timed
// apart. The peer is the renderer alone doing the same drawing into a
// platform bitmap with its tables kept, as render_bench measures it.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <cstdlib>

#include "bench/bench_qt.h"
#include "bench/bench_support.h"
#include "platform/controls.h"
#include "view/pixoranview.h"

namespace {

using namespace pixoran;

constexpr int32_t kW = 1920, kH = 1080;

struct BenchView : TPixoranView {
  using TPixoranView::DrawLayersToBackBuffer;
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
  if (fit)
    v->ZoomToFit();
  else
    v->SetViewXY(2000, 1500);
  v->BackBuffer().SetPixelFormat(pf24bit);
  v->BackBuffer().SetSize(v->ClientWidth(), v->ClientHeight());
  return v;
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
  const TPXRenderRect r{v->VisibleColumn(),  v->VisibleRow(),          v->VisibleImageWidth(),
                        v->VisibleImageHeight(), v->OffsetX(),         v->OffsetY(),
                        v->VisibleClientWidth(), v->VisibleClientHeight()};
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
