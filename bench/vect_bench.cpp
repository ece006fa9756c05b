// The vector layer's repaint: a 1920 x 1080 viewer over a photograph-like
// picture holding 1,000 mixed objects (lines with arrow heads, boxes,
// ellipses, arcs, texts, rulers, polylines, angles, labelled lines and
// bitmaps), composed into the back buffer as a repaint does. Plain: each
// object straight onto the buffer. Alpha: every object through the work
// bitmap with its alpha (opacity, some with soft shadows), once at 1x and
// once supersampled 2x. The objects alone (no picture) are timed too.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <cstdlib>

#include "bench/bench_qt.h"
#include "bench/bench_support.h"
#include "view/pxvect.h"

namespace {

using namespace pixoran;

constexpr int32_t kW = 1920, kH = 1080, kObjects = 1000;

struct BenchVect : TPixoranVect {
  using TPixoranVect::DrawLayersToBackBuffer;
};

QApplication& App() { return bench::QtApp(); }

std::unique_ptr<BenchVect> MakeVect(int kindOnly = -1) {
  App();
  auto v = std::make_unique<BenchVect>();
  v->SetBorderStyle(bsNone);
  v->SetScrollBars(ssNone);
  v->SetBounds(0, 0, kW, kH);
  v->GetPXBitmap()->MemoryThreshold = int64_t{1} << 40;
  v->GetPXBitmap()->SetLocation(pxInMemory);
  v->GetPXBitmap()->Assign(&bench::SharedPhotoLike<kW, kH>());
  v->Update();
  v->BackBuffer().SetPixelFormat(pf24bit);
  v->BackBuffer().SetSize(v->ClientWidth(), v->ClientHeight());
  TPXLogFont lf;
  lf.Height = -16;
  SetLogFontFaceName(lf, "Noto Sans CJK SC");
  auto icon = bench::MakePhotoLike(48, 32);
  uint32_t s = 7;
  auto rnd = [&](int32_t n) {
    s = s * 1664525u + 1013904223u;
    return static_cast<int32_t>((s >> 8) % static_cast<uint32_t>(n));
  };
  static const TPXVObjectKind kKinds[] = {pxokLine,  pxokBox,      pxokEllipse, pxokArc,       pxokText,
                                          pxokRuler, pxokPolyline, pxokAngle,   pxokLineLabel, pxokBitmap};
  for (int32_t i = 0; i < kObjects; ++i) {
    TPXVObject o;
    o.Kind = kindOnly >= 0 ? kKinds[kindOnly] : kKinds[i % 10];
    o.X1 = rnd(kW - 220), o.Y1 = rnd(kH - 220);
    o.X2 = o.X1 + 20 + rnd(200), o.Y2 = o.Y1 + 20 + rnd(200);
    o.PenColor = RGBColor(static_cast<uint8_t>(rnd(256)), static_cast<uint8_t>(rnd(256)), 0);
    o.PenWidth = 1 + rnd(3);
    o.BrushColor = RGBColor(0, static_cast<uint8_t>(rnd(256)), 200);
    o.BrushStyle = rnd(2) ? bsSolid : bsClear;
    o.Opacity = 128 + rnd(128);
    o.Shadow = TPXVSoftShadow{i % 20 == 1, 3.0, 4, 4};
    o.Font = lf;
    o.EndShape = 2;
    o.ArcStart = 0.3, o.ArcEnd = 2.5;
    if (o.Kind == pxokText || o.Kind == pxokLineLabel) o.Text = i % 20 < 10 ? "标注文字" : "Label 12";
    if (o.Kind == pxokRuler) o.RulerStyle = static_cast<uint8_t>(i % 4), o.Y2 = o.Y1 + rnd(40);
    if (o.Kind == pxokPolyline) {
      for (int32_t k = 0; k < 12; ++k) o.Points.push_back(TPXPoint{rnd(100), rnd(100)});
      o.PointBounds = Rect(0, 0, 99, 99);
    }
    if (o.Kind == pxokAngle) {
      o.AnglePoints[0] = {o.X1, o.Y2};
      o.AnglePoints[1] = {o.X1 + 40, o.Y2};
      o.AnglePoints[2] = {o.X2, o.Y1};
    }
    const int32_t h = v->AddObject(o);
    if (o.Kind == pxokBitmap) v->SetObjBitmap(h, icon.get());
  }
  return v;
}

void Repaint(benchmark::State& state, bool alpha, bool antialias) {
  auto v = MakeVect();
  v->SetObjAlphaDrawing(alpha);
  v->SetObjAntialias(antialias);
  const TRect all = Rect(0, 0, v->ClientWidth(), v->ClientHeight());
  for (auto _ : state) {
    v->DrawLayersToBackBuffer(v->BackBuffer(), all);
    benchmark::ClobberMemory();
  }
  state.counters["fps"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["drawn"] = v->DrawnCount();
}

// The objects alone, onto a buffer that already holds the picture.
void ObjectsOnly(benchmark::State& state, bool alpha, int kindOnly = -1) {
  auto v = MakeVect(kindOnly);
  v->SetObjAlphaDrawing(alpha);
  TBitmap& buffer = v->BackBuffer();
  for (auto _ : state) {
    v->DrawObjectsToBitmap(*v->GetPXBitmap(), pxdmScreen, false, buffer);
    benchmark::ClobberMemory();
  }
  state.counters["fps"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_VectRepaintPlain(benchmark::State& s) { Repaint(s, false, false); }
void BM_VectRepaintAlpha(benchmark::State& s) { Repaint(s, true, false); }
void BM_VectRepaintAlpha2x(benchmark::State& s) { Repaint(s, true, true); }
void BM_VectObjectsPlain(benchmark::State& s) { ObjectsOnly(s, false); }
void BM_VectObjectsAlpha(benchmark::State& s) { ObjectsOnly(s, true); }
// 1,000 objects of one kind (the index into the mix: line, box, ellipse,
// arc, text, ruler, polyline, angle, labelled line, bitmap).
void BM_VectObjectsOfKind(benchmark::State& s) { ObjectsOnly(s, false, static_cast<int>(s.range(0))); }

}  // namespace

BENCHMARK(BM_VectRepaintPlain)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_VectRepaintAlpha)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_VectRepaintAlpha2x)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_VectObjectsPlain)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_VectObjectsAlpha)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_VectObjectsOfKind)->DenseRange(0, 9)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
